// Bulk reads of spectra and traces straight into memory the caller owns
// (the final arrays). Nothing here needs the interpreter, so callers run
// these without holding it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../container/file.hpp"
#include "../container/store3d.hpp"

namespace ixar {

// The npt float32 values of a 2D data block.
void readSpectrum(const File& file, int64_t offsetToData, int64_t npt, float* out);

// An image cube (npy, npx, npt), zero-filled by the caller, filled record by
// record in store-table order: the n-th spectrum goes to row n / npx, column
// n % npx. Gaps skip bytes; the index values of the runs place nothing.
struct ImageStop {
    enum class Kind { None, ZeroDivision, Index };
    Kind kind = Kind::None;
    int64_t index = 0;  // running spectrum count where it stopped
    int64_t row = 0;    // the row that lies outside the cube (Index)
};
ImageStop fillImageCube(const File& file, const StoreTable& table, int64_t offsetToData, int64_t npt, int64_t npx,
                        int64_t npy, float* cube);

// Trace maps of an image TRC block: every record is one map of npy x npx
// values; out is (npy, npx, records), trace k at [:, :, k]. Labels come from
// byte 152 of each info record when it holds at least 152 bytes.
struct TraceStop {
    bool stopped = false;  // a trace did not hold npy * npx values
    int64_t trace = 0;
    int64_t values = 0;    // values that trace did hold
};
TraceStop fillImageTraces(const File& file, const StoreTable& table, int64_t offsetToData, int64_t npt, int64_t npx,
                          int64_t npy, float* out, std::vector<std::string>& labels);

// Spectra at the given offsets, one row of npt values each; with times, also
// the float64 at byte 136 behind each spectrum's values (a short one reads as
// 0 and is logged as a failed readDouble).
void readRecords(const File& file, int64_t offsetToData, const std::vector<int64_t>& offsets, int64_t npt,
                 float* rows, double* times, ReadFailures& failures);

// Traces at the given offsets, one row of npt values each, and their labels
// (none when infoSize is below 152).
void readTraces(const File& file, int64_t offsetToData, const std::vector<int64_t>& offsets, int64_t npt,
                int32_t infoSize, float* rows, std::vector<std::string>& labels);

// The same traces spread over the points of multi-region maps: point p
// takes the value at column targets[p].column of every trace, into
// targets[p].row[0 .. number of traces). No array of all traces is built.
struct TraceTarget {
    float* row;
    size_t column;
};
// With stop given, a trace cut short is recorded there instead of raising.
void readTracesScattered(const File& file, int64_t offsetToData, const std::vector<int64_t>& offsets, int64_t npt,
                         int32_t infoSize, const std::vector<TraceTarget>& targets, std::vector<std::string>& labels,
                         TraceStop* stop = nullptr);

}  // namespace ixar
