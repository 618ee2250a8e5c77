// A test-only extension module: declarations that the binding framework must refuse when
// they are built. declare(name) builds the named declaration; a refused one raises
// SystemError, an accepted one returns the built object.
#include <cstring>

#include "core.hpp"

namespace {

struct Rec {
    int a = 0;
    int b = 0;
    int take(int x) { return a += x; }
    int get() const { return a; }
};

py::Ref build(const char* which) {
    using namespace py;
    begin_declarations();
    if (!std::strcmp(which, "fewer_names"))
        return Class<Rec>("Rec").def<&Rec::take>("take").build();
    if (!std::strcmp(which, "more_names"))
        return Class<Rec>("Rec").def<&Rec::take>("take", {"x", "y"}).build();
    if (!std::strcmp(which, "names_for_no_parameters"))
        return Class<Rec>("Rec").def<&Rec::get>("get", {"x"}).build();
    if (!std::strcmp(which, "constructor_names"))
        return Class<Rec>("Rec").init<[](int a) { return Rec{a, 0}; }>().build();
    if (!std::strcmp(which, "function_names"))
        return function<[](double x, double y) { return x + y; }>("add", {"x"});
    if (!std::strcmp(which, "declared_twice"))
        return Class<Rec>("Rec").def<&Rec::take>("take", {"x"}).def<&Rec::take>("add", {"y"}).build();
    if (!std::strcmp(which, "unsigned_default"))
        return function<[](uint64_t seed) { return seed; }>("draw", {arg("seed", -1)});
    if (!std::strcmp(which, "float_default_for_int"))
        return function<[](int32_t k) { return k; }>("shift", {arg("k", 0.5)});
    if (!std::strcmp(which, "narrow_default"))
        return function<[](uint8_t k) { return k; }>("byte", {arg("k", 300)});
    if (!std::strcmp(which, "none_default"))
        return function<[](double x) { return x; }>("value", {arg("x", None)});
    if (!std::strcmp(which, "no_empty_value"))
        return function<[](const Rec& r) { return r.a; }>("read", {arg_default("r")});
    if (!std::strcmp(which, "state_keys"))
        return Class<Rec>("Rec").state<&Rec::a>({"a", "b"}).build();
    if (!std::strcmp(which, "accepted"))
        return function<[](uint64_t seed, double x) { return static_cast<double>(seed) + x; }>(
            "accepted", {arg("seed", 7), arg("x", 0.5)});
    raise(PyExc_KeyError, which);
}

PyObject* declare(PyObject*, PyObject* name) {
    return py::guard([&]() -> PyObject* {
        const char* which = PyUnicode_AsUTF8(name);
        if (!which) py::raise_set();
        return build(which).release();
    });
}

PyMethodDef methods[] = {{"declare", &declare, METH_O, "declare(name)\n--\n\nBuilds one declaration."},
                         {nullptr, nullptr, 0, nullptr}};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "_sc_frame_check", nullptr, 0, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__sc_frame_check() {
    return PyModuleDef_Init(&definition);
}
