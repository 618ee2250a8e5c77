// The shared matrix converter of the layer and oscillator classes.
#pragma once
#include "core.hpp"

namespace py {

struct FlatMatrix {
    std::vector<double> values;  // row-major
    std::size_t rows = 0, cols = 0;
};

// Reads obj as rows of floats, else as one flat row; messages name the argument.
FlatMatrix extract_matrix_f64(PyObject* obj, const char* name);

// A row-major result that goes to Python as a list of `rows` lists of `cols` floats. Fewer
// than rows * cols values stop the call (index out of bounds).
struct RowList {
    std::vector<double> values;
    std::size_t rows = 0, cols = 0;
};

template <>
struct Out<RowList> {
    static PyObject* make(const RowList& m);
};

}  // namespace py
