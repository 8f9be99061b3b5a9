// Single spectra: one record of NPT values at the data block.
#include "common.hpp"

namespace ixar {

using namespace planning;

Plan planSingle(const File& file, const Selection& sel, const Prologue& p) {
    (void)file;
    Plan plan;
    plan.family = Family::Single;
    plan.npt = p.npt;
    plan.offsetToData = sel.offsetToData;
    plan.arrays.push_back({{p.npt}});
    plan.rows.push_back({sel.offsetToData, 0});
    return plan;
}

}  // namespace ixar
