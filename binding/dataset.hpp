// Reading one selected data set: the core plans, this layer allocates the
// arrays the plan asks for, the core fills them, and a builder makes the
// result object.
#pragma once

#include "binding.hpp"
#include "container/selection.hpp"

namespace ixbind {

struct DataSetRequest {
    PyObject* dataType;  // the request's strings, upper-cased, as results carry them
    PyObject* dimension;
    PyObject* deriv;
    bool is3D;
    bool traces;      // a TRC request
    bool derivative;  // any derivative but NONE
};

PyObject* readDataSet(State* st, const ixar::File& file, const ixar::Selection& sel, const DataSetRequest& req);

}  // namespace ixbind
