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
        Plan plan = c.start();
        plan.arrays.push_back({{c.prologue.npt}});
        plan.rows.push_back({c.sel.offsetToData, 0});
        return plan;
    },
    [](const Plan& plan, Layout& l) { recordsByRow(plan, 1, l); },
    [](const Layout& l, Plan& plan) { readRows(l, -1, plan); },
};

}  // namespace ixar
