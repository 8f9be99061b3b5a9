// Single spectra: one record of NPT values at the data block.
#include "common.hpp"
#include "family.hpp"

namespace ixar {

// (x): one record.
extern const FamilyPlanner kSingle{
    "single",
    [](const PlanRequest& req, const Prologue&, const Selection&) { return !req.is3D; },
    0,
    false,
    true,
    nullptr,
    nullptr,
    [](PlanContext& c) {
        Layout l = c.start();
        l.shape = {c.prologue.npt};
        l.arrays.push_back({l.shape});
        l.records = {c.sel.offsetToData};
        return l;
    },
    [](const Layout& l, Plan& plan) { readRows(l, -1, plan); },
};

}  // namespace ixar
