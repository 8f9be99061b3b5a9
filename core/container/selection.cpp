#include "selection.hpp"

namespace ixar {

const std::vector<DataBlockCode>& dataBlockCodes() {
    static const std::vector<DataBlockCode> codes = {
        {"REFL", 12, -1}, {"RAM", 10, -1},   {"SPOW", 14, 1}, {"RPOW", 14, 2}, {"SPH", 3, 1},
        {"RPH", 3, 2},    {"PAS", 17, -1},   {"LREFL", 15, -1}, {"KM", 6, -1},  {"SIFG", 2, 1},
        {"RIFG", 2, 2},   {"TR", 5, -1},     {"EMIS", 11, -1}, {"ATR", 16, -1}, {"TRARI", 18, -1},
        {"ABARI", 19, -1}, {"AB", 4, -1},    {"TRC", 7, -1},   {"SSC", 1, 1},   {"RSC", 1, 2},
    };
    return codes;
}

const std::vector<DerivativeCode>& derivativeCodes() {
    static const std::vector<DerivativeCode> codes = {{"NONE", 0}, {"1DER", 1}, {"2DER", 2}, {"NDER", 3}};
    return codes;
}

// paramType values of the blocks that accompany a data block.
namespace {
constexpr int kData = 0;
constexpr int kOwnParams = 1;
constexpr int kInstrument = 2;
constexpr int kAcquisition = 3;
constexpr int kFourier = 4;
constexpr int kSample = 10;
}  // namespace

Selection selectBlocks(const std::vector<DirEntry>& directory, const Request& q) noexcept {
    Selection s;
    for (const DirEntry& e : directory) {
        const BlockType& t = e.type;
        const int64_t at = e.byteOffset;
        const bool variantFits = t.sampleType == q.sample || q.sample == -1;
        // The first rule whose condition holds handles the entry, even when
        // none of its cases applies. complexType is never compared.
        if (t.dataType == q.data && t.derivType == q.derivative && t.extendType == q.extend && variantFits) {
            if (t.paramType == kData) s.offsetToData = at;
            else if (t.paramType == kOwnParams) s.offsetToParams = at;
        } else if (t.dataType == q.data && t.derivType == 0 && t.extendType == q.extend && variantFits) {
            // The underived block of a derivative request.
            if (t.paramType == kOwnParams) s.offsetToOriginalParams = at;
        } else if (t.paramType == kAcquisition) {
            s.offsetToAcqParams = at;
        } else if (t.paramType == kInstrument) {
            // Reference requests take only reference instrument blocks; sample
            // requests and types without variants also take the common one.
            if (t.sampleType == q.sample || (t.sampleType == 0 && (q.sample == 1 || q.sample == -1)))
                s.offsetToInstParams = at;
        } else if (t.paramType == kSample) {
            s.offsetToSampleParams = at;
        } else if (t.paramType == kFourier) {
            s.offsetToFTParams = at;
        } else if (t.extendType == kExtendAnnotation) {
            s.offsetToANNO = at;
        }
    }
    return s;
}

}  // namespace ixar
