// The prologue of every data set: its merged parameters, its family and an image's mapping.
#include "common.hpp"

namespace ixar {

using namespace planning;

Prologue readPrologue(const File& file, const Selection& sel, bool is3D, bool traceRequest, ReadFailures& failures) {
    Prologue p;
    p.params.merge(readParams(file, sel.offsetToParams, failures));
    for (int64_t offset :
         {sel.offsetToAcqParams, sel.offsetToInstParams, sel.offsetToSampleParams, sel.offsetToFTParams})
        if (offset != -1) p.params.merge(readParams(file, offset, failures));
    const ParamValue& npt = require(p.params, "NPT");
    for (const char* code : {"FXV", "LXV", "MXY", "MNY"}) require(p.params, code);
    checkSize(file, "NPT", npt, 4);
    p.npt = npt.kind == ParamValue::Kind::Int ? npt.i : 0;
    if (!is3D) return p;

    // The family: image maps when all six mapping codes are there, series
    // when a z axis is, trace series for a trace request on a file without
    // annotations, multi-region maps otherwise.
    bool image = true;
    for (const char* code : {"AOX", "AOY", "NPX", "NPY", "DDX", "DDY"}) image = image && p.params.find(code);
    if (image) p.family = traceRequest ? Family::ImageTraces : Family::Image;
    else if (p.params.find("ZTX")) p.family = Family::TimeResolved;
    else if (sel.offsetToANNO == -1 && traceRequest) p.family = Family::TimeResolvedTraces;
    else p.family = traceRequest ? Family::MultiRegionTraces : Family::MultiRegion;
    return p;
}

bool takesOriginalMapping(const Prologue& p, bool derivative) noexcept {
    const ParamValue* npx = p.params.find("NPX");
    const ParamValue* npy = p.params.find("NPY");
    return derivative && npx && npy && (npx->equals(0) || npy->equals(0));
}

Mapping readMapping(const File& file, const Selection& sel, Prologue& p, bool derivative, ReadFailures& failures) {
    static constexpr const char* kCodes[6] = {"AOX", "AOY", "DDX", "DDY", "NPX", "NPY"};
    ParamValue m[6];
    if (takesOriginalMapping(p, derivative)) {
        if (sel.offsetToOriginalParams == -1)
            throwDamaged(blockAt(sel.offsetToData) +
                         ": the derivative image has no map size, and the file holds no parameter block of the "
                         "underived data to take the mapping from");
        ParamList original = readParams(file, sel.offsetToOriginalParams, failures);
        for (int i = 0; i < 6; ++i) {
            const ParamValue* v = findParam(original, kCodes[i]);
            if (!v) throw Error(ErrorKind::Missing, kCodes[i]);
            m[i] = *v;
        }
        for (int i = 0; i < 6; ++i) p.params.set(kCodes[i], m[i]);
    } else {
        for (int i = 0; i < 6; ++i) m[i] = require(p.params, kCodes[i]);
    }
    checkSize(file, "NPX", m[4], 1);
    checkSize(file, "NPY", m[5], 1);
    return {m[0], m[1], m[2], m[3], m[4], m[5]};
}

}  // namespace ixar
