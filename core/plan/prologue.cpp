// The prologue of every data set (its merged parameters and its family),
// and the registry of family planners.
#include <stdexcept>

#include "common.hpp"
#include "family.hpp"

namespace ixar {

using namespace planning;

// Each family planner is defined in a file of its own.
extern const FamilyPlanner kSingle, kImage, kImageTraces, kTimeResolved, kTimeResolvedTraces, kMultiRegion,
    kMultiRegionTraces;

std::span<const Family> families() {
    // Asked in this order: single spectra for 2D requests; image maps when
    // all six mapping codes are there; series when a z axis is; trace
    // series for a trace request on a file without annotations;
    // multi-region maps otherwise.
    static constexpr Family kAll[] = {&kSingle,       &kImage,         &kImageTraces,
                                      &kTimeResolved, &kTimeResolvedTraces, &kMultiRegionTraces,
                                      &kMultiRegion};
    return kAll;
}

Prologue readPrologue(const File& file, const Selection& sel, const PlanRequest& req, ReadFailures& failures) {
    Prologue p;
    p.params.merge(readParams(file, sel.offsetToParams, failures));
    for (int64_t offset :
         {sel.offsetToAcqParams, sel.offsetToInstParams, sel.offsetToSampleParams, sel.offsetToFTParams})
        if (offset != -1) p.params.merge(readParams(file, offset, failures));
    const ParamValue& npt = require(p.params, "NPT");
    for (const char* code : {"FXV", "LXV", "MXY", "MNY"}) require(p.params, code);
    checkSize(file, "NPT", npt, 4);
    p.npt = npt.kind == ParamValue::Kind::Int ? npt.i : 0;
    for (Family f : families())
        if (f->takes(req, p, sel)) {
            p.family = f;
            p.notice = f->notice ? f->notice(req, p) : nullptr;
            return p;
        }
    throw std::logic_error("a data set no family takes");
}

Questions askFor(const File& file, const Selection& sel, const PlanRequest& req, Prologue& p, ReadFailures& failures) {
    Questions asked;
    const Answers none;
    PlanContext c{file, sel, req, p, asked, none, failures};
    if (p.family->ask) p.family->ask(c);
    return asked;
}

Layout planDataSet(const File& file, const Selection& sel, const PlanRequest& req, Prologue& p, Questions& asked,
                   const Answers& answers, ReadFailures& failures) {
    PlanContext c{file, sel, req, p, asked, answers, failures};
    return p.family->plan(c);
}

}  // namespace ixar
