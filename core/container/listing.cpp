#include "listing.hpp"

#include <algorithm>
#include <cstring>

namespace ixar {

namespace {

// dataType -> name. Types that exist for sample and reference have two
// names, chosen by sampleType 1 (sample) or 2 (reference); with any other
// sampleType they have none.
struct TypeName {
    int dataType;
    const char* any;        // name whatever the sampleType
    const char* sample;     // sampleType 1
    const char* reference;  // sampleType 2
};

constexpr TypeName kNames[] = {
    {12, "REFL", nullptr, nullptr}, {10, "RAM", nullptr, nullptr},   {14, nullptr, "SPOW", "RPOW"},
    {3, nullptr, "SPH", "RPH"},     {17, "PAS", nullptr, nullptr},   {15, "LREFL", nullptr, nullptr},
    {6, "KM", nullptr, nullptr},    {2, nullptr, "SIFG", "RIFG"},    {5, "TR", nullptr, nullptr},
    {11, "EMIS", nullptr, nullptr}, {16, "ATR", nullptr, nullptr},   {18, "TRARI", nullptr, nullptr},
    {19, "ABARI", nullptr, nullptr}, {4, "AB", nullptr, nullptr},    {7, "TRC", nullptr, nullptr},
    {1, nullptr, "SSC", "RSC"},
};

constexpr const char* kLeading[] = {"AB", "TR", "REFL", "ATR", "PAS", "RAM", "KM", "EMIS"};

bool isLeading(const char* name) noexcept {
    return std::any_of(std::begin(kLeading), std::end(kLeading),
                       [name](const char* k) { return std::strcmp(k, name) == 0; });
}

}  // namespace

const char* dataTypeName(const BlockType& type) noexcept {
    if (type.paramType != 1) return nullptr;
    for (const TypeName& n : kNames) {
        if (n.dataType != type.dataType) continue;
        if (n.any) return n.any;
        if (type.sampleType == 1) return n.sample;
        if (type.sampleType == 2) return n.reference;
        return nullptr;
    }
    return nullptr;
}

const char* derivativeName(int derivType) noexcept {
    static constexpr const char* kDeriv[] = {"NONE", "1DER", "2DER", "3DER"};
    return kDeriv[derivType & 3];
}

std::vector<ListingEntry> listContents(const std::vector<DirEntry>& directory) {
    std::vector<ListingEntry> leading, others;
    for (const DirEntry& e : directory) {
        const char* name = dataTypeName(e.type);
        if (!name) continue;
        ListingEntry item{name, e.type.extendType == kExtend3D, e.type.derivType};
        (isLeading(name) ? leading : others).push_back(item);
    }
    std::reverse(leading.begin(), leading.end());
    leading.insert(leading.end(), others.begin(), others.end());
    return leading;
}

}  // namespace ixar
