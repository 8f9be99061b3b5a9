// Sizes and cuts of plans, and the helpers every planner shares.
#include "common.hpp"

#include <algorithm>

namespace ixar {

using namespace planning;

namespace planning {

const ParamValue& require(const MergedParams& params, const char* code) {
    const ParamValue* v = params.find(code);
    if (!v) throw Error(ErrorKind::Missing, code);
    return *v;
}

void checkSize(const File& file, const char* code, const ParamValue& v, int64_t bytesEach) {
    if (v.kind == ParamValue::Kind::Int && v.i > 0 && v.i > file.size() / bytesEach)
        throwDamaged(std::string(code) + " = " + std::to_string(v.i) + " claims more data than the file holds (" +
                     std::to_string(file.size()) + " bytes)");
}

Error failureWith(ErrorKind kind, std::initializer_list<int64_t> n, const ParamValue& a, const ParamValue& b) {
    Error e = numbered(kind, n);
    e.value = {a, b};
    return e;
}

void checkRecordSize(const StoreTable& t, int64_t npt, int64_t offsetToData) {
    if (t.records > 1 && int64_t{t.blockSize} < 4 * npt)
        throwDamaged(blockAt(offsetToData) + ": records of " + std::to_string(t.blockSize) + " bytes cannot hold " +
                     std::to_string(npt) + " values each");
}

}  // namespace planning



int64_t ArraySpec::elements() const noexcept {
    int64_t n = 1;
    for (int64_t d : shape) n = mul(n, d);
    return n;
}

int64_t ArraySpec::bytes() const noexcept { return mul(elements(), f64 ? 8 : 4); }

int64_t Plan::allocationBytes() const noexcept {
    int64_t total = 0;
    for (const ArraySpec& a : arrays) total = add(total, a.bytes());
    return total;
}

int64_t Plan::readBytes(int64_t fileSize) const noexcept {
    const int64_t label = labelBytes(infoSize, fileSize);
    return add(mul(static_cast<int64_t>(rows.size()), add(mul(4, npt), 8)),
               mul(static_cast<int64_t>(traces.size()), add(mul(4, npt), label)));
}

void Plan::cutAt(int64_t step) {
    if (step > failureStep) return;
    auto from = [step](const auto& v) { return v.step >= step; };
    std::erase_if(rows, from);
    std::erase_if(scatter, from);
    while (!arrays.empty() && arrays.back().step >= step) arrays.pop_back();
    while (!regions.empty() && regions.back().spectra >= arrays.size()) regions.pop_back();
    for (RegionPlan& r : regions) r.placed = std::clamp<int64_t>(step - r.firstStep, 0, r.placed);
    failure = Error(ErrorKind::External, "");
    failureStep = step;
}

}  // namespace ixar
