// Reading one selected data set: the core plans, this layer allocates the
// arrays the plan asks for, the core fills them, and a builder makes the
// result object.
#pragma once

#include "binding.hpp"
#include "container/directory.hpp"
#include "container/selection.hpp"

namespace ixbind {

struct DataSetRequest {
    PyObject* dataType;  // the request's strings, upper-cased, as results carry them
    PyObject* dimension;
    PyObject* deriv;
    bool is3D;
    bool traces;      // a TRC request
    bool derivative;  // any derivative but NONE
    bool quiet;       // failed reads and notices not reported (the handle API)
};

// The request (type, dimension, derivative) upper-cased and checked, with the
// messages of getIxarData; false with an exception set.
bool validateRequest(State* st, PyObject* datablock, Ref strings[3], bool& is3D);
// The blocks a valid request selects; false with ValueError when the file
// has no such data set.
bool selectRequest(State* st, const std::vector<ixar::DirEntry>& directory, Ref strings[3], bool is3D, bool quiet,
                   ixar::Selection& sel, DataSetRequest& req);

// The result object of a selected data set.
PyObject* readDataSet(State* st, const ixar::File& file, const ixar::Selection& sel, const DataSetRequest& req);
// What the handle API needs to read parts of it: its family, shape,
// parameters, axes and where each row of its main array comes from.
PyObject* layoutOf(State* st, const ixar::File& file, const ixar::Selection& sel, const DataSetRequest& req);

}  // namespace ixbind
