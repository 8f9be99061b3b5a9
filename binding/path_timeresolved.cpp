// Time-resolved series: spectra with a z (time) value each, or traces with
// a label each, one row per record in store-table order.
#include "container/store3d.hpp"
#include "extract/bulk.hpp"
#include "extract.hpp"

namespace ixbind {

namespace {

// The record offsets of the block, in the order the table names them.
bool recordOffsets(Call& c, std::vector<int64_t>& offsets) {
    ixar::ReadFailures failures;
    return callCore(c.st, failures, [&] {
        offsets = ixar::buildOffsetMap(ixar::readStoreTable(c.file, c.sel.offsetToData, failures)).offset;
    });
}

}  // namespace

PyObject* raiseNoRows(State* st) {
    Ref none(PyList_New(0));
    if (none) raiseVia(PyObject_CallOneArg(st->vstack, none.get()));
    return nullptr;
}

bool readTraceRows(Call& c, const std::vector<int64_t>& offsets, int64_t npt, Ref& traces, Ref& labels) {
    State* st = c.st;
    ixar::ReadFailures failures;
    int32_t infoSize = 0;
    if (!callCore(st, failures, [&] { infoSize = ixar::readInfoSize(c.file, c.sel.offsetToData, failures); }))
        return false;
    if (offsets.empty()) return raiseNoRows(st);
    void* data = nullptr;
    traces = Ref(newArray(st, {static_cast<int64_t>(offsets.size()), npt}, true, false, &data));
    if (!traces) return false;
    std::vector<std::string> names;
    if (!callCore(st, failures, [&] {
            ixar::readTraces(c.file, c.sel.offsetToData, offsets, npt, infoSize, static_cast<float*>(data), names);
        }))
        return false;
    labels = Ref(labelList(names));
    return static_cast<bool>(labels);
}

PyObject* extractTimeResolved(Call& c, Prologue& p) {
    State* st = c.st;
    std::vector<int64_t> offsets;
    if (!recordOffsets(c, offsets)) return nullptr;
    if (offsets.empty()) return raiseNoRows(st);
    const auto count = static_cast<int64_t>(offsets.size());
    void *rows = nullptr, *times = nullptr;
    Ref spectra(newArray(st, {count, p.npt}, true, false, &rows));
    if (!spectra) return nullptr;
    Ref z(newArray(st, {count}, false, false, &times));
    if (!z) return nullptr;
    ixar::ReadFailures failures;
    if (!callCore(st, failures, [&] {
            ixar::readRecords(c.file, c.sel.offsetToData, offsets, p.npt, static_cast<float*>(rows),
                              static_cast<double*>(times), failures);
        }))
        return nullptr;
    return buildResult(st->classes[kTimeResolved], {{"dimension", c.dimensions},
                                                    {"dataType", c.dataBlockType},
                                                    {"deriv", c.deriv},
                                                    {"x", p.x.get()},
                                                    {"minY", p.MNY},
                                                    {"maxY", p.MXY},
                                                    {"parameters", p.parameters.get()},
                                                    {"z", z.get()},
                                                    {"spectra", spectra.get()}});
}

PyObject* extractTimeResolvedTraces(Call& c, Prologue& p) {
    std::vector<int64_t> offsets;
    Ref traces, labels;
    if (!recordOffsets(c, offsets) || !readTraceRows(c, offsets, p.npt, traces, labels)) return nullptr;
    return buildResult(c.st->classes[kTimeResolvedTRC], {{"dimension", c.dimensions},
                                                         {"dataType", c.dataBlockType},
                                                         {"deriv", c.deriv},
                                                         {"x", p.x.get()},
                                                         {"minY", p.MNY},
                                                         {"maxY", p.MXY},
                                                         {"parameters", p.parameters.get()},
                                                         {"labels", labels.get()},
                                                         {"traces", traces.get()}});
}

}  // namespace ixbind
