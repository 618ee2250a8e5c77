// NumPy arrays in and out, over the API table of NumPy's "_ARRAY_API" capsule.
// Only the documented table entries and the array object fields shared by NumPy 1.x and 2.x
// are used, so one build serves both.
#pragma once
#include <cstring>
#include <span>

#include "core.hpp"

namespace py::np {

// The array object's leading fields, identical in NumPy 1.x and 2.x.
struct ArrayFields {
    PyObject_HEAD
    char* data;
    int nd;
    Py_intptr_t* dimensions;
    Py_intptr_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

constexpr int C_CONTIGUOUS = 0x0001, F_CONTIGUOUS = 0x0002, ALIGNED = 0x0100, WRITEABLE = 0x0400;

inline constexpr const char* not_contiguous = "The given array is not contiguous or is misaligned.";

// Type numbers of the element types in use (x86-64 Linux: 64-bit ints are "long").
template <class T> constexpr int typenum = -1;
template <> inline constexpr int typenum<int8_t> = 1;
template <> inline constexpr int typenum<uint8_t> = 2;
template <> inline constexpr int typenum<int16_t> = 3;
template <> inline constexpr int typenum<uint16_t> = 4;
template <> inline constexpr int typenum<int32_t> = 5;
template <> inline constexpr int typenum<uint32_t> = 6;
template <> inline constexpr int typenum<int64_t> = 7;
template <> inline constexpr int typenum<uint64_t> = 8;
template <> inline constexpr int typenum<double> = 12;

template <class T> constexpr const char* dtype_name = "?";
template <> inline constexpr const char* dtype_name<int8_t> = "int8";
template <> inline constexpr const char* dtype_name<uint8_t> = "uint8";
template <> inline constexpr const char* dtype_name<int16_t> = "int16";
template <> inline constexpr const char* dtype_name<uint16_t> = "uint16";
template <> inline constexpr const char* dtype_name<int32_t> = "int32";
template <> inline constexpr const char* dtype_name<uint32_t> = "uint32";
template <> inline constexpr const char* dtype_name<int64_t> = "int64";
template <> inline constexpr const char* dtype_name<uint64_t> = "uint64";
template <> inline constexpr const char* dtype_name<double> = "float64";

// Loads the API table on first use; stops with a panic when NumPy cannot be reached.
void** api();

// Checks that obj is an ndarray of exactly nd dimensions and a dtype equivalent to typenum;
// otherwise raises the "is not an instance of" TypeError naming the wanted array type.
void check_array(PyObject* obj, int nd, int typenum, const char* expected);

// What an input array is at one moment: data pointer, shape, strides and flags, read after
// the array's type, dimension count and dtype were checked again. Python code that runs
// between conversion and use (a later argument's __index__, a NumPy allocation that runs a
// finaliser) can reassign an array's shape or dtype, so a view is taken where the data is
// read, with no Python code between taking it and reading.
template <class T, int D>
struct View {
    const T* data = nullptr;
    Py_intptr_t dims[D] = {};
    Py_intptr_t strides[D] = {};
    int flags = 0;

    // The view of an array object whose type, dimension count and dtype were just checked.
    static View of(const ArrayFields* f) {
        View v;
        v.data = reinterpret_cast<const T*>(f->data);
        for (int k = 0; k < D; ++k) {
            v.dims[k] = f->dimensions[k];
            v.strides[k] = f->strides[k];
        }
        v.flags = f->flags;
        return v;
    }

    std::size_t dim(int k) const { return static_cast<std::size_t>(dims[k]); }
    // Byte stride of dimension k.
    std::ptrdiff_t stride(int k) const { return static_cast<std::ptrdiff_t>(strides[k]); }
    std::size_t size() const {
        std::size_t n = 1;
        for (int k = 0; k < D; ++k) n *= dim(k);  // NumPy keeps the product within its size type
        return n;
    }
    // Element [i], or [r][c], by logical index, whatever the strides and alignment.
    T at(std::size_t i) const
        requires(D == 1)
    {
        return load(static_cast<std::ptrdiff_t>(i) * stride(0));
    }
    T at(std::size_t r, std::size_t c) const
        requires(D == 2)
    {
        return load(static_cast<std::ptrdiff_t>(r) * stride(0) + static_cast<std::ptrdiff_t>(c) * stride(1));
    }
    bool c_order() const { return flags & C_CONTIGUOUS; }
    bool readable_in_place() const {
        if (size() == 0) return true;
        return (flags & ALIGNED) && (flags & (C_CONTIGUOUS | F_CONTIGUOUS)) && data != nullptr;
    }
    // ValueError "{prefix}The given array is not ..." unless the array can be read in place.
    void require_in_place(const std::string& prefix) const {
        if (!readable_in_place()) raise(PyExc_ValueError, prefix + not_contiguous);
    }
    // The elements in memory order, or the error of require_in_place.
    std::span<const T> slice(const std::string& prefix) const {
        require_in_place(prefix);
        if (size() == 0) return {};
        return {data, size()};
    }
    // As slice, raising TypeError with the sentence alone.
    std::span<const T> slice_or_type_error() const {
        if (!readable_in_place()) raise(PyExc_TypeError, not_contiguous);
        if (size() == 0) return {};
        return {data, size()};
    }

private:
    T load(std::ptrdiff_t offset) const {
        T v;
        std::memcpy(&v, reinterpret_cast<const char*>(data) + offset, sizeof v);
        return v;
    }
};

// Input array parameter: an ndarray of element type T and exactly D dimensions, borrowed for
// the call. Its data is read only through view(), which checks the array again.
template <class T, int D>
struct Array {
    PyObject* obj = nullptr;

    static const char* expected() {
        static const std::string text =
            std::string("numpy.ndarray[") + dtype_name<T> + ", ndim=" + std::to_string(D) + "]";
        return text.c_str();
    }

    View<T, D> view() const {
        check_array(obj, D, typenum<T>, expected());
        return View<T, D>::of(reinterpret_cast<const ArrayFields*>(obj));
    }

    // Shorthands over a fresh view; each takes its own, so a caller that reads several facts
    // and then the data takes one view instead.
    std::size_t dim(int k) const { return view().dim(k); }
    std::size_t size() const { return view().size(); }
    std::span<const T> slice(const std::string& prefix) const { return view().slice(prefix); }
    std::span<const T> slice_or_type_error() const { return view().slice_or_type_error(); }
};

// The elements of a 2-D array of any strides, copied in row-major order by logical index.
template <class T>
std::vector<T> logical_copy(const View<T, 2>& a) {
    const std::size_t rows = a.dim(0), cols = a.dim(1);
    std::vector<T> out(rows * cols);
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t c = 0; c < cols; ++c) out[r * cols + c] = a.at(r, c);
    return out;
}

// As logical_copy, one vector per row.
template <class T>
std::vector<std::vector<T>> rows_of(const View<T, 2>& a) {
    std::vector<std::vector<T>> out(a.dim(0), std::vector<T>(a.dim(1)));
    for (std::size_t r = 0; r < out.size(); ++r)
        for (std::size_t c = 0; c < out[r].size(); ++c) out[r][c] = a.at(r, c);
    return out;
}

// A 2-D array as a row-major matrix: read in place when row-major, copied by logical index
// when column-major.
template <class T>
struct RowMajor {
    const T* data = nullptr;
    std::size_t rows = 0, cols = 0;
    std::vector<T> copy;
    std::span<const T> span() const { return {data, rows * cols}; }
};

template <class T>
RowMajor<T> row_major(const View<T, 2>& a, const std::string& prefix) {
    RowMajor<T> m;
    m.rows = a.dim(0);
    m.cols = a.dim(1);
    a.require_in_place(prefix);
    if (a.size() == 0) return m;
    if (a.c_order()) {
        m.data = a.data;
        return m;
    }
    m.copy = logical_copy(a);
    m.data = m.copy.data();
    return m;
}

// Adopts an engine buffer as the data of a new writeable array (no copy); the buffer's owner
// becomes the array's base, a "PySliceContainer".
Ref adopt(void* data, void* owner, void (*drop)(void*), int typenum, int nd, const Py_intptr_t* dims,
          std::size_t itemsize);

template <class T>
Ref array(std::vector<T>&& v) {
    if (v.capacity() == 0) v.reserve(1);  // a non-null data pointer even when empty
    auto* owner = new std::vector<T>(std::move(v));
    const Py_intptr_t dims[1] = {static_cast<Py_intptr_t>(owner->size())};
    return adopt(owner->data(), owner, [](void* p) { delete static_cast<std::vector<T>*>(p); },
                 typenum<T>, 1, dims, sizeof(T));
}

template <class T>
Ref array2d(std::vector<T>&& v, std::size_t rows, std::size_t cols) {
    if (v.capacity() == 0) v.reserve(1);
    auto* owner = new std::vector<T>(std::move(v));
    const Py_intptr_t dims[2] = {static_cast<Py_intptr_t>(rows), static_cast<Py_intptr_t>(cols)};
    return adopt(owner->data(), owner, [](void* p) { delete static_cast<std::vector<T>*>(p); },
                 typenum<T>, 2, dims, sizeof(T));
}

// A zero-filled array allocated by NumPy, to be written in place through data.
Ref zeros(int typenum, int nd, const Py_intptr_t* dims);

// As zeros, for element type T and a shape of sizes; an array whose bytes do not fit NumPy's
// index type cannot be allocated (MemoryError).
template <class T, class... N>
Ref zeros_of(N... sizes) {
    const std::size_t shape[] = {static_cast<std::size_t>(sizes)...};
    constexpr auto max = static_cast<std::size_t>(PY_SSIZE_T_MAX);
    Py_intptr_t dims[sizeof...(N)];
    bool empty = false;
    for (std::size_t k = 0; k < sizeof...(N); ++k) {
        if (shape[k] > max) throw std::bad_alloc();
        dims[k] = static_cast<Py_intptr_t>(shape[k]);
        empty = empty || shape[k] == 0;
    }
    std::size_t bytes = sizeof(T);
    for (std::size_t k = 0; k < sizeof...(N) && !empty; ++k)
        if (__builtin_mul_overflow(bytes, shape[k], &bytes) || bytes > max) throw std::bad_alloc();
    return zeros(typenum<T>, static_cast<int>(sizeof...(N)), dims);
}
template <class T>
T* data_of(const Ref& arr) {
    return reinterpret_cast<T*>(reinterpret_cast<ArrayFields*>(arr.get())->data);
}

}  // namespace py::np

namespace py {

// An exact 2-D float64 ndarray as a row-major matrix, read from its buffer by logical index;
// false for anything else.
bool load_f64_ndarray_matrix(PyObject* o, std::vector<double>& values, std::size_t& rows, std::size_t& cols);

template <class T, int D>
struct Conv<np::Array<T, D>> {
    static np::Array<T, D> load(PyObject* o) {
        np::check_array(o, D, np::typenum<T>, np::Array<T, D>::expected());
        return np::Array<T, D>{o};
    }
};

}  // namespace py
