// A 2D request: one spectrum of NPT float32 values, its x axis from FXV to
// LXV, and the merged parameters.
#include "extract/bulk.hpp"
#include "extract.hpp"

namespace ixbind {

PyObject* extractSingle(Call& c) {
    Prologue p{};
    p.parameters = Ref(mergedParameters(c));
    if (!p.parameters || !spectralAxis(c, p)) return nullptr;

    void* data = nullptr;
    Ref y(newArray(c.st, {p.npt}, true, false, &data));
    if (!y) return nullptr;
    ixar::ReadFailures failures;
    if (!callCore(c.st, failures,
                  [&] { ixar::readSpectrum(c.file, c.sel.offsetToData, p.npt, static_cast<float*>(data)); }))
        return nullptr;

    return buildResult(c.st->classes[kSingle], {{"dimension", c.dimensions},
                                                {"dataType", c.dataBlockType},
                                                {"deriv", c.deriv},
                                                {"x", p.x.get()},
                                                {"y", y.get()},
                                                {"minY", p.MNY},
                                                {"maxY", p.MXY},
                                                {"parameters", p.parameters.get()}});
}

}  // namespace ixbind
