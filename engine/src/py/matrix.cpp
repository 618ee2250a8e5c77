#include "matrix.hpp"

#include <cstring>
#include <optional>

#include "numpy.hpp"

namespace py {

namespace {

// A float64 ndarray of one or two dimensions, read by logical index. Reading it through the
// sequence rules would give the same rows (the iteration of an exact ndarray cannot be changed
// from Python), only with a Python float made for every element. Other objects, subclasses and
// other dtypes are left to the sequence rules.
std::optional<FlatMatrix> from_ndarray(PyObject* obj, const std::string& n) {
    if (std::strcmp(Py_TYPE(obj)->tp_name, "numpy.ndarray") != 0) return std::nullopt;  // no NumPy load otherwise
    FlatMatrix m;
    if (np::is_exact_array(obj, 2, np::typenum<double>)) {
        const auto v = np::Array<double, 2>{obj}.view();
        if (v.dim(0) == 0) throw engine::Error(n + " must not be an empty matrix.");
        if (v.dim(1) == 0) throw engine::Error(n + " must not have zero columns.");
        m.rows = v.dim(0);
        m.cols = v.dim(1);
        if (v.c_order()) {  // byte copy: the data need not be aligned
            m.values.resize(v.size());
            std::memcpy(m.values.data(), v.data, v.size() * sizeof(double));
        } else {
            m.values = np::logical_copy(v);
        }
        return m;
    }
    if (np::is_exact_array(obj, 1, np::typenum<double>)) {
        const auto v = np::Array<double, 1>{obj}.view();
        // An empty sequence reads as a matrix without rows.
        if (v.dim(0) == 0) throw engine::Error(n + " must not be an empty matrix.");
        m.rows = 1;
        m.cols = v.dim(0);
        m.values.resize(m.cols);
        const char* base = reinterpret_cast<const char*>(v.data);
        for (std::size_t i = 0; i < m.cols; ++i)
            std::memcpy(&m.values[i], base + static_cast<std::ptrdiff_t>(i) * v.stride(0), sizeof(double));
        return m;
    }
    return std::nullopt;
}

}  // namespace

FlatMatrix extract_matrix_f64(PyObject* obj, const char* name) {
    const std::string n(name);
    if (auto m = from_ndarray(obj, n)) return std::move(*m);
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
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(m.rows)));
    for (std::size_t r = 0; r < m.rows; ++r) {
        Ref row = Ref::check(PyList_New(static_cast<Py_ssize_t>(m.cols)));
        for (std::size_t c = 0; c < m.cols; ++c)
            PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(c),
                            Ref::check(PyFloat_FromDouble(m.values[r * m.cols + c])).release());
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(r), row.release());
    }
    return list.release();
}

}  // namespace py
