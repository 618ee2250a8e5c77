#include "matrix.hpp"

#include "numpy.hpp"

namespace py {

FlatMatrix extract_matrix_f64(PyObject* obj, const char* name) {
    const std::string n(name);
    // An exact 2-D float64 array is read from its buffer, with the checks of the row reading.
    if (FlatMatrix m; load_f64_ndarray_matrix(obj, m.values, m.rows, m.cols)) {
        if (m.rows == 0) throw engine::Error(n + " must not be an empty matrix.");
        if (m.cols == 0) throw engine::Error(n + " must not have zero columns.");
        return m;
    }
    if (auto rows = try_load<std::vector<std::vector<double>>>(obj)) {
        if (rows->empty()) throw engine::Error(n + " must not be an empty matrix.");
        FlatMatrix m;
        m.rows = rows->size();
        m.cols = rows->front().size();
        if (m.cols == 0) throw engine::Error(n + " must not have zero columns.");
        for (const auto& r : *rows)
            if (r.size() != m.cols) throw engine::Error(n + " must be a rectangular matrix.");
        m.values.reserve(engine::checked_mul(m.rows, m.cols));
        for (const auto& r : *rows) m.values.insert(m.values.end(), r.begin(), r.end());
        return m;
    }
    if (auto flat = try_load<std::vector<double>>(obj)) {
        if (flat->empty()) throw engine::Error(n + " must not be an empty vector.");
        FlatMatrix m;
        m.rows = 1;
        m.cols = flat->size();
        m.values = std::move(*flat);
        return m;
    }
    throw engine::Error(n + " must be a 1-D or 2-D float array.");
}

PyObject* Out<RowList>::make(const RowList& m) {
    const std::size_t need = engine::checked_mul(m.rows, m.cols);
    if (m.values.size() < need) engine::panic_index(need - 1, m.values.size());
    return list_by(m.rows, [&](std::size_t r) { return list_of(m.values.data() + r * m.cols, m.cols); });
}

}  // namespace py
