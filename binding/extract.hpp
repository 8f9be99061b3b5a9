// getIxarData: what block selection hands to the extraction paths.
#pragma once

#include <string>
#include <vector>

#include "binding.hpp"
#include "extract/selection.hpp"

namespace ixbind {

struct Call {
    State* st;
    const ixar::File& file;
    PyObject* dataBlockType;  // the request, upper-cased
    PyObject* dimensions;
    PyObject* deriv;
    ixar::Selection sel;
};

// What the 3D prologue builds for every 3D family.
struct Prologue {
    Ref parameters;
    PyObject* NPT;  // borrowed from parameters (the paths keep parameters alive)
    PyObject* MXY;
    PyObject* MNY;
    Ref x;
    int64_t npt;    // NPT as a C integer, once numpy accepted it as a length
};

PyObject* extractSingle(Call& c);
PyObject* extractImage(Call& c, Prologue& p);
PyObject* extractTimeResolved(Call& c, Prologue& p);
PyObject* extractTimeResolvedTraces(Call& c, Prologue& p);
PyObject* extractMultiRegion(Call& c, Prologue& p);

// The traces at the given record offsets, one row each, and their labels
// (the info record size is read from the block header); false with an
// exception set, numpy's own when there are no records.
bool readTraceRows(Call& c, const std::vector<int64_t>& offsets, int64_t npt, Ref& traces, Ref& labels);

// numpy's error for stacking no rows at all; always nullptr.
PyObject* raiseNoRows(State* st);

// Merges the own, acquisition, instrument, sample and Fourier-transform
// parameter blocks, in that order, into a new dict.
PyObject* mergedParameters(Call& c);

// The x axis: NPT, FXV, LXV, MXY and MNY looked up in that order (KeyError
// for the first missing), a size check of NPT against the file, then
// numpy.linspace(FXV, LXV, NPT). Fills everything of p but parameters.
bool spectralAxis(Call& c, Prologue& p);

// Whether o == text, by the interpreter's comparison; -1 with an exception set.
int equalsText(PyObject* o, const char* text);

// The labels as a list of str.
PyObject* labelList(const std::vector<std::string>& labels);

// A C length of an int that numpy has already accepted as a length.
bool lengthOf(PyObject* n, int64_t& out);

// The interpreter's own exception for an operation that fails, such as
// numpy's reshape or indexing errors: the operation is run and must fail.
bool raiseVia(PyObject* result);

// A new float32 or float64 numpy array of the given shape (zero-filled
// when zeroed), and the address of its data. arrayOf takes the shape as a
// Python object, so that numpy judges whatever a file gives for it.
PyObject* arrayOf(State* st, PyObject* shape, bool float32, bool zeroed, void** data);
PyObject* newArray(State* st, std::initializer_list<int64_t> shape, bool float32, bool zeroed, void** data);

// Raises ValueError for a size parameter that claims more than the file
// holds (or does nothing when n is no int).
bool checkSize(Call& c, const char* code, PyObject* n, int64_t bytesEach);

}  // namespace ixbind
