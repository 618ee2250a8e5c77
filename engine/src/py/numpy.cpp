#include "numpy.hpp"

#include <cstring>

namespace py::np {

namespace {

void** g_api = nullptr;

// Table entries (stable across NumPy 1.x and 2.x).
constexpr int API_ARRAY_TYPE = 2;
constexpr int API_DESCR_FROM_TYPE = 45;
constexpr int API_NEW = 93;
constexpr int API_EQUIV_TYPES = 182;
constexpr int API_ZEROS = 183;
constexpr int API_SET_BASE_OBJECT = 282;

using DescrFromType = PyObject* (*)(int);
using NewArray = PyObject* (*)(PyTypeObject*, int, const Py_intptr_t*, int, const Py_intptr_t*, void*,
                               int, int, PyObject*);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);
using Zeros = PyObject* (*)(int, const Py_intptr_t*, PyObject*, int);
using SetBaseObject = int (*)(PyObject*, PyObject*);

void* load_capsule() {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return nullptr;
    Ref lib = Ref::steal(PyImport_ImportModule("numpy.lib"));
    if (!lib) return nullptr;
    Ref npv = Ref::steal(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
    if (!npv) return nullptr;
    Ref parsed = Ref::steal(PyObject_CallOneArg(npv.get(), version.get()));
    if (!parsed) return nullptr;
    Ref major_obj = Ref::steal(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_obj) return nullptr;
    const long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) return nullptr;
    const char* name = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    Ref multiarray = Ref::steal(PyImport_ImportModule(name));
    if (!multiarray) return nullptr;
    Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule || !PyCapsule_CheckExact(capsule.get())) return nullptr;
    return PyCapsule_GetPointer(capsule.get(), nullptr);
}

PyTypeObject* array_type() { return static_cast<PyTypeObject*>(api()[API_ARRAY_TYPE]); }

PyObject* descr(int typenum) {
    PyObject* d = reinterpret_cast<DescrFromType>(api()[API_DESCR_FROM_TYPE])(typenum);
    if (!d) raise_set();
    return d;
}

// The owner of an adopted buffer.
struct SliceContainer {
    PyObject_HEAD
    void* owner;
    void (*drop)(void*);
};

void container_dealloc(PyObject* o) {
    auto* c = reinterpret_cast<SliceContainer*>(o);
    if (c->drop) c->drop(c->owner);
    PyTypeObject* tp = Py_TYPE(o);
    tp->tp_free(o);
    Py_DECREF(tp);
}

PyTypeObject* container_type() {
    static PyTypeObject* type = [] {
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(&container_dealloc)},
            {Py_tp_doc, const_cast<char*>("Owner of an engine buffer lent to a NumPy array.")},
            {0, nullptr}};
        static PyType_Spec sig = {"sc_dravik_engine.PySliceContainer", sizeof(SliceContainer), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
        return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&sig));
    }();
    if (!type) raise_set();
    return type;
}

}  // namespace

void** api() {
    if (!g_api) {
        void* p = load_capsule();
        if (!p) {
            PyErr_Clear();
            engine::panic("Failed to access NumPy array API capsule");
        }
        g_api = static_cast<void**>(p);
    }
    return g_api;
}

namespace {

// Whether obj is an ndarray (of exactly NumPy's type, or of a subclass too) with nd
// dimensions and a dtype equivalent to typenum.
bool is_array(PyObject* obj, int nd, int typenum, bool exact) {
    PyTypeObject* t = array_type();
    if (exact ? Py_TYPE(obj) != t : !PyObject_TypeCheck(obj, t)) return false;
    const auto* a = reinterpret_cast<const ArrayFields*>(obj);
    if (a->nd != nd) return false;
    PyObject* want = descr(typenum);
    const bool same = reinterpret_cast<EquivTypes>(api()[API_EQUIV_TYPES])(a->descr, want) != 0;
    Py_DECREF(want);
    return same;
}

// The view of o when o is exactly an ndarray of float64 with D dimensions. The type name is
// looked at first, so that NumPy is not loaded for objects that cannot be arrays.
template <int D>
std::optional<View<double, D>> exact_f64(PyObject* o) {
    if (std::strcmp(Py_TYPE(o)->tp_name, "numpy.ndarray") != 0) return std::nullopt;
    if (!is_array(o, D, typenum<double>, true)) return std::nullopt;
    return View<double, D>::of(reinterpret_cast<const ArrayFields*>(o));
}

}  // namespace

void check_array(PyObject* obj, int nd, int typenum, const char* expected) {
    if (!is_array(obj, nd, typenum, false)) not_instance(obj, expected);
}

}  // namespace py::np

namespace py {

bool load_f64_ndarray(PyObject* o, std::vector<double>& out) {
    const auto v = np::exact_f64<1>(o);
    if (!v) return false;
    out.resize(v->dim(0));
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = v->at(i);
    return true;
}

bool load_f64_ndarray_rows(PyObject* o, std::vector<std::vector<double>>& out) {
    const auto v = np::exact_f64<2>(o);
    if (!v) return false;
    out = np::rows_of(*v);
    return true;
}

bool load_f64_ndarray_matrix(PyObject* o, std::vector<double>& values, std::size_t& rows, std::size_t& cols) {
    const auto v = np::exact_f64<2>(o);
    if (!v) return false;
    rows = v->dim(0);
    cols = v->dim(1);
    values = np::logical_copy(*v);
    return true;
}

}  // namespace py

namespace py::np {

Ref adopt(void* data, void* owner, void (*drop)(void*), int typenum, int nd, const Py_intptr_t* dims,
          std::size_t itemsize) {
    // The container owns the buffer from here on, whatever fails below.
    PyTypeObject* ct = container_type();
    PyObject* c = ct->tp_alloc(ct, 0);
    if (!c) {
        drop(owner);
        raise_set();
    }
    auto* sc = reinterpret_cast<SliceContainer*>(c);
    sc->owner = owner;
    sc->drop = drop;
    Ref container = Ref::steal(c);
    Py_intptr_t strides[2];
    if (nd == 2) {
        strides[1] = static_cast<Py_intptr_t>(itemsize);
        strides[0] = dims[1] * strides[1];
    } else {
        strides[0] = static_cast<Py_intptr_t>(itemsize);
    }
    PyObject* arr = reinterpret_cast<NewArray>(api()[API_NEW])(
        array_type(), nd, dims, typenum, strides, data, 0, C_CONTIGUOUS | ALIGNED | WRITEABLE, nullptr);
    if (!arr) raise_set();
    Ref result = Ref::steal(arr);
    if (reinterpret_cast<SetBaseObject>(api()[API_SET_BASE_OBJECT])(arr, container.release()) < 0)
        raise_set();
    return result;
}

Ref zeros(int typenum, int nd, const Py_intptr_t* dims) {
    PyObject* d = descr(typenum);  // stolen by the call
    return Ref::check(reinterpret_cast<Zeros>(api()[API_ZEROS])(nd, dims, d, 0));
}

}  // namespace py::np
