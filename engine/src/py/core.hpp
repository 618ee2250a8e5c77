// The binding framework: one declaration per class or function gives argument matching,
// conversion, borrow handling, text signatures and result conversion.
//
// A declaration names a C++ callable as a template argument; its parameter types decide the
// conversion of each argument and, for methods, the borrow of self (const T& shared, T& exclusive):
//
//   py::Class<Lfsr16>("Lfsr16")
//       .init<[](uint16_t seed) { return Lfsr16::make(seed); }>({py::arg("seed", 44257)})
//       .def<[](Lfsr16& s) { return s.step(); }>("step")
//       .prop<[](const Lfsr16& s) { return s.reg; }>("reg")
//       .build(module);
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "error.hpp"

namespace py {

// ---------------------------------------------------------------- basics

// Thrown when a Python exception is set; the entry returns the failure value.
struct ErrorSet {};

[[noreturn]] inline void raise_set() { throw ErrorSet{}; }
[[noreturn]] void raise(PyObject* type, const std::string& msg);
[[noreturn]] void not_instance(PyObject* obj, const char* expected);

// Owned reference.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) { Py_XINCREF(p); return Ref(p); }
    // Takes a new reference from a C-API call, raising when it is null.
    static Ref check(PyObject* p) { if (!p) raise_set(); return Ref(p); }
    Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() { PyObject* p = p_; p_ = nullptr; return p; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// A parameter that takes any object, borrowed for the call.
struct Obj {
    PyObject* ptr = nullptr;
};

// Result wrapper: a bytes object.
struct Bytes {
    std::vector<uint8_t> data;
};

// Runs an entry body, turning every failure into a Python exception.
void set_panic(const engine::Panic& p);
void set_panic_text(const char* msg);
void set_value_error(const std::string& msg);

template <class F>
PyObject* guard(F&& f) noexcept {
    try {
        return f();
    } catch (const ErrorSet&) {
    } catch (const engine::Panic& p) {
        set_panic(p);
    } catch (const engine::Error& e) {
        set_value_error(e.text);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {  // a size beyond max_size(): a failed allocation too
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_panic_text(e.what());
    } catch (...) {
        set_panic_text("explicit panic");
    }
    return nullptr;
}

// As guard, for a body without a result in a slot that reports 0, or -1 with an error set.
template <class F>
int guard_status(F&& f) noexcept {
    PyObject* r = guard([&]() -> PyObject* {
        f();
        Py_RETURN_NONE;
    });
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

// ---------------------------------------------------------------- instances and borrows

template <class T>
struct Instance {
    PyObject_HEAD
    T value;
    Py_ssize_t borrow;  // >0: shared borrows, -1: exclusive
};

template <class T>
struct ClassInfo {
    static inline PyTypeObject* type = nullptr;
    static inline const char* name = "?";
};

template <class T>
Instance<T>* instance_of(PyObject* obj) {
    PyTypeObject* t = ClassInfo<T>::type;
    if (!t || Py_TYPE(obj) != t) not_instance(obj, ClassInfo<T>::name);
    return reinterpret_cast<Instance<T>*>(obj);
}

// Borrow holders own a strong reference to their object, so the object outlives the borrow
// even when nothing else holds it (an item built by a sequence's __getitem__).
template <class T>
class Shared {
public:
    explicit Shared(PyObject* obj) : inst_(instance_of<T>(obj)) {
        if (inst_->borrow < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++inst_->borrow;
        Py_INCREF(obj);
    }
    Shared(Shared&& o) noexcept : inst_(o.inst_) { o.inst_ = nullptr; }
    Shared(const Shared&) = delete;
    ~Shared() {
        if (!inst_) return;
        --inst_->borrow;
        Py_DECREF(object());
    }
    const T& get() const { return inst_->value; }
    operator const T&() const { return inst_->value; }
    PyObject* object() const { return reinterpret_cast<PyObject*>(inst_); }

private:
    Instance<T>* inst_;
};

template <class T>
class Exclusive {
public:
    explicit Exclusive(PyObject* obj) : inst_(instance_of<T>(obj)) {
        if (inst_->borrow != 0) raise(PyExc_RuntimeError, "Already borrowed");
        inst_->borrow = -1;
        Py_INCREF(obj);
    }
    Exclusive(Exclusive&& o) noexcept : inst_(o.inst_) { o.inst_ = nullptr; }
    Exclusive(const Exclusive&) = delete;
    ~Exclusive() {
        if (!inst_) return;
        inst_->borrow = 0;
        Py_DECREF(object());
    }
    T& get() const { return inst_->value; }
    operator T&() const { return inst_->value; }
    PyObject* object() const { return reinterpret_cast<PyObject*>(inst_); }

private:
    Instance<T>* inst_;
};

// A new Python object of a system class holding the record.
template <class T>
Ref make(T&& rec) {
    using R = std::remove_cvref_t<T>;
    PyTypeObject* t = ClassInfo<R>::type;
    PyObject* o = t->tp_alloc(t, 0);
    if (!o) raise_set();
    auto* inst = reinterpret_cast<Instance<R>*>(o);
    new (&inst->value) R(std::forward<T>(rec));
    inst->borrow = 0;
    return Ref::steal(o);
}

// ---------------------------------------------------------------- argument conversion

// Conv<T>::load(obj) returns the converted value or raises. The primary template converts an
// object of a system class: the record is copied under a shared borrow.
template <class T, class = void>
struct Conv {
    static constexpr bool record = true;
    static T load(PyObject* o) { return Shared<T>(o).get(); }
};

double load_f64(PyObject* o);
uint64_t load_u64(PyObject* o);
int64_t load_i64(PyObject* o);
long load_long_in(PyObject* o, long lo, long hi);
bool load_bool(PyObject* o);

template <>
struct Conv<double> {
    static double load(PyObject* o) {
        if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
        return load_f64(o);
    }
};
template <>
struct Conv<float> {
    static float load(PyObject* o) { return static_cast<float>(Conv<double>::load(o)); }
};
template <>
struct Conv<bool> {
    static bool load(PyObject* o) { return load_bool(o); }
};

// Value of a one-digit exact int, read without a call (the common case for small arguments).
inline bool small_int(PyObject* o, long& v) {
#if PY_VERSION_HEX < 0x030C0000
    if (!PyLong_CheckExact(o)) return false;
    const Py_ssize_t size = Py_SIZE(o);
    if (size == 0) { v = 0; return true; }
    if (size != 1 && size != -1) return false;
    const long d = static_cast<long>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]);
    v = size < 0 ? -d : d;
    return true;
#else
    (void)o; (void)v;
    return false;
#endif
}

template <class T>
struct Conv<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> {
    static T load(PyObject* o) {
        if (long v; small_int(o, v)) {
            if (v >= static_cast<long>(std::numeric_limits<T>::min()) &&
                (v < 0 || static_cast<unsigned long>(v) <= static_cast<unsigned long>(std::numeric_limits<T>::max())))
                return static_cast<T>(v);
        }
        if constexpr (sizeof(T) == 8) {
            if constexpr (std::is_unsigned_v<T>) return static_cast<T>(load_u64(o));
            else return static_cast<T>(load_i64(o));
        } else {
            return static_cast<T>(load_long_in(o, static_cast<long>(std::numeric_limits<T>::min()),
                                               static_cast<long>(std::numeric_limits<T>::max())));
        }
    }
};

template <>
struct Conv<std::string> {
    static std::string load(PyObject* o) {
        if (!PyUnicode_Check(o)) not_instance(o, "str");
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(o, &n);
        if (!s) raise_set();
        return std::string(s, static_cast<std::size_t>(n));
    }
};

template <>
struct Conv<Obj> {
    static Obj load(PyObject* o) { return Obj{o}; }
};

template <class T>
struct Conv<Shared<T>> {
    static Shared<T> load(PyObject* o) { return Shared<T>(o); }
};
template <class T>
struct Conv<Exclusive<T>> {
    static Exclusive<T> load(PyObject* o) { return Exclusive<T>(o); }
};

template <class T>
struct Conv<std::optional<T>> {
    static std::optional<T> load(PyObject* o) {
        if (o == Py_None) return std::nullopt;
        return Conv<T>::load(o);
    }
};

// Shared sequence checks; returns a length hint (0 when unknown).
Py_ssize_t sequence_hint(PyObject* o);
bool load_u8_buffer(PyObject* o, std::vector<uint8_t>& out);
// An exact float64 ndarray (1-D, or 2-D for rows) read from its buffer; false for anything
// else, which then takes the sequence path.
bool load_f64_ndarray(PyObject* o, std::vector<double>& out);
bool load_f64_ndarray_rows(PyObject* o, std::vector<std::vector<double>>& out);

// A sequence's __len__ is only a hint: reservations are capped, the vector grows past them.
inline constexpr std::size_t kReserveCap = std::size_t{1} << 16;

template <class T>
struct Conv<std::vector<T>> {
    static std::vector<T> load(PyObject* o) {
        std::vector<T> out;
        if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
            // The size is real here; re-read each turn, since a conversion can shrink a list.
            const bool list = PyList_CheckExact(o);
            out.reserve(static_cast<std::size_t>(list ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o)));
            for (Py_ssize_t i = 0; i < (list ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o)); ++i) {
                PyObject* item = list ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i);
                Py_INCREF(item);
                Ref hold = Ref::steal(item);
                out.push_back(Conv<T>::load(item));
            }
            return out;
        }
        if constexpr (std::is_same_v<T, uint8_t>) {
            if (load_u8_buffer(o, out)) return out;
        }
        if constexpr (std::is_same_v<T, double>) {
            if (load_f64_ndarray(o, out)) return out;
        }
        if constexpr (std::is_same_v<T, std::vector<double>>) {
            if (load_f64_ndarray_rows(o, out)) return out;
        }
        const Py_ssize_t hint = sequence_hint(o);
        // An array's length is true, so a length beyond memory fails here, at once.
        const bool true_length = std::strcmp(Py_TYPE(o)->tp_name, "numpy.ndarray") == 0;
        out.reserve(true_length ? static_cast<std::size_t>(hint)
                                : std::min(static_cast<std::size_t>(hint), kReserveCap));
        Ref it = Ref::check(PyObject_GetIter(o));
        while (PyObject* item = PyIter_Next(it.get())) {
            Ref hold = Ref::steal(item);
            out.push_back(Conv<T>::load(item));
        }
        if (PyErr_Occurred()) raise_set();
        return out;
    }
};

[[noreturn]] void tuple_length_error(std::size_t want, Py_ssize_t got);

template <class... Ts>
struct Conv<std::tuple<Ts...>> {
    static std::tuple<Ts...> load(PyObject* o) {
        if (!PyTuple_Check(o)) not_instance(o, "PyTuple");
        if (PyTuple_GET_SIZE(o) != static_cast<Py_ssize_t>(sizeof...(Ts)))
            tuple_length_error(sizeof...(Ts), PyTuple_GET_SIZE(o));
        return items(o, std::index_sequence_for<Ts...>{});
    }
    template <std::size_t... I>
    static std::tuple<Ts...> items(PyObject* o, std::index_sequence<I...>) {
        return std::tuple<Ts...>{Conv<Ts>::load(PyTuple_GET_ITEM(o, I))...};
    }
};
template <class A, class B>
struct Conv<std::pair<A, B>> {
    static std::pair<A, B> load(PyObject* o) {
        auto t = Conv<std::tuple<A, B>>::load(o);
        return {std::move(std::get<0>(t)), std::move(std::get<1>(t))};
    }
};

// Tries a conversion; on failure the Python error is cleared and nothing is returned. Only an
// Exception is a failed reading: KeyboardInterrupt, SystemExit and the like pass through.
template <class T>
std::optional<T> try_load(PyObject* o) {
    try {
        return Conv<T>::load(o);
    } catch (const ErrorSet&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
        return std::nullopt;
    }
}

// ---------------------------------------------------------------- results

template <class T, class = void>
struct Out;  // Out<T>::make(value) -> new reference

template <class T>
PyObject* to_py(T&& v) {
    return Out<std::remove_cvref_t<T>>::make(std::forward<T>(v));
}

template <>
struct Out<Ref> {
    static PyObject* make(Ref r) { return r.release(); }
};
template <>
struct Out<bool> {
    static PyObject* make(bool b) { return PyBool_FromLong(b); }
};
template <class T>
struct Out<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> {
    static PyObject* make(T v) {
        if constexpr (std::is_signed_v<T>) return PyLong_FromLongLong(static_cast<long long>(v));
        else return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v));
    }
};
template <class T>
struct Out<T, std::enable_if_t<std::is_floating_point_v<T>>> {
    static PyObject* make(T v) { return PyFloat_FromDouble(static_cast<double>(v)); }
};
template <>
struct Out<std::string> {
    static PyObject* make(const std::string& s) {
        return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    }
};
template <>
struct Out<Bytes> {
    static PyObject* make(const Bytes& b) {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data.data()),
                                         static_cast<Py_ssize_t>(b.data.size()));
    }
};
template <class T>
struct Out<std::optional<T>> {
    static PyObject* make(std::optional<T> v) {
        if (!v) Py_RETURN_NONE;
        return to_py(std::move(*v));
    }
};
// A new list of n items, item(i) making item i (a new reference, or null with an error set).
template <class F>
PyObject* list_by(std::size_t n, F&& item) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* it = item(i);
        if (!it) { Py_DECREF(list); return nullptr; }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), it);
    }
    return list;
}
// A new list of n converted items.
template <class T>
PyObject* list_of(const T* items, std::size_t n) {
    return list_by(n, [&](std::size_t i) { return to_py(items[i]); });
}
template <class T>
struct Out<std::vector<T>> {
    static PyObject* make(const std::vector<T>& v) { return list_of(v.data(), v.size()); }
};
// A fixed-size array (a record's array field) is a list too.
template <class T, std::size_t N>
struct Out<std::array<T, N>> {
    static PyObject* make(const std::array<T, N>& v) { return list_of(v.data(), N); }
};
template <class... Ts>
struct Out<std::tuple<Ts...>> {
    static PyObject* make(std::tuple<Ts...> t) {
        return std::apply([](auto&&... x) { return tuple_of(to_py(std::move(x))...); }, std::move(t));
    }
    template <class... P>
    static PyObject* tuple_of(P... items) {
        PyObject* arr[] = {items...};
        for (PyObject* p : arr) {
            if (!p) { for (PyObject* q : arr) Py_XDECREF(q); return nullptr; }
        }
        PyObject* t = PyTuple_New(sizeof...(P));
        if (!t) { for (PyObject* q : arr) Py_DECREF(q); return nullptr; }
        for (std::size_t i = 0; i < sizeof...(P); ++i) PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), arr[i]);
        return t;
    }
};
template <class A, class B>
struct Out<std::pair<A, B>> {
    static PyObject* make(std::pair<A, B> p) {
        return Out<std::tuple<A, B>>::make(std::tuple<A, B>(std::move(p.first), std::move(p.second)));
    }
};

// Ordered dict from key/value pairs (keys are interned on first use by the caller).
struct DictBuilder {
    Ref dict = Ref::check(PyDict_New());
    template <class V>
    DictBuilder& set(PyObject* key, V&& v) {
        Ref val = Ref::check(to_py(std::forward<V>(v)));
        if (PyDict_SetItem(dict.get(), key, val.get()) < 0) raise_set();
        return *this;
    }
    template <class V>
    DictBuilder& set(const char* key, V&& v) {
        Ref val = Ref::check(to_py(std::forward<V>(v)));
        if (PyDict_SetItemString(dict.get(), key, val.get()) < 0) raise_set();
        return *this;
    }
};

// ---------------------------------------------------------------- declarations

// One parameter: its name and, optionally, its default. A bare name converts to a required
// parameter, so an argument list can read {"current", arg("dt", 0.1)}.
struct Arg {
    enum class Kind { Required, Int, UInt, Float, Bool, None, Value, Str };
    const char* name;
    Kind kind = Kind::Required;
    long long i = 0;
    unsigned long long u = 0;
    double d = 0.0;
    const char* s = nullptr;  // a str default (a plain word, shown in double quotes)
    Arg(const char* n) : name(n) {}  // NOLINT: implicit on purpose
};
inline Arg arg(const char* n) { return Arg(n); }
template <class V>
Arg arg(const char* n, V v) {
    Arg a(n);
    if constexpr (std::is_same_v<V, bool>) { a.kind = Arg::Kind::Bool; a.i = v; }
    else if constexpr (std::is_same_v<V, std::nullptr_t>) a.kind = Arg::Kind::None;
    else if constexpr (std::is_convertible_v<V, const char*>) { a.kind = Arg::Kind::Str; a.s = v; }
    else if constexpr (std::is_floating_point_v<V>) { a.kind = Arg::Kind::Float; a.d = v; }
    else if constexpr (std::is_unsigned_v<V>) { a.kind = Arg::Kind::UInt; a.u = v; }
    else { a.kind = Arg::Kind::Int; a.i = v; }
    return a;
}
constexpr std::nullptr_t None = nullptr;
// A default that is the parameter type's empty value (shown as "...").
inline Arg arg_default(const char* n) { Arg a(n); a.kind = Arg::Kind::Value; return a; }

// Matching data of one callable, built once when its class or function is declared.
struct Signature {
    std::string full_name;               // "Cls.meth()" or "func()"
    std::vector<PyObject*> names;        // interned parameter names
    std::vector<const char*> cnames;
    std::vector<PyObject*> defaults;     // default objects (nullptr: none or value-initialised)
    std::vector<bool> optional;          // has a default of either kind
    std::size_t required = 0;            // parameters without defaults
    unsigned generation = 0;             // run of the module body that declared it
};

Signature* make_signature(std::string full_name, const std::vector<Arg>& args);
std::string signature_text(const std::string& name, const std::vector<Arg>& args, bool method);

// A declaration that cannot be right is refused when it is built, with SystemError
// "{where}: {why}", so that importing the module checks every declaration.
[[noreturn]] void bad_declaration(const std::string& where, const std::string& why);
// Refuses an argument list whose length is not the callable's parameter count.
void check_arity(const std::string& where, std::size_t names, std::size_t params);
// Starts a new run of declarations (the module body, or a test's set of declarations); a
// callable may be declared once per run.
void begin_declarations();

// Fills slots[i] with the borrowed argument for parameter i or its default; nullptr stands for
// a default that is the parameter type's empty value.
void match(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
           PyObject** slots);

// Converts one argument; a TypeError is re-raised as "argument '{}': {}" with the cause kept.
[[noreturn]] void rethrow_named(const char* name);

template <class H>
H load_arg(PyObject* slot, const char* name) {
    if (!slot) {
        if constexpr (std::is_default_constructible_v<H>) return H{};
        else raise(PyExc_SystemError, "missing default");
    } else {
        try {
            return Conv<H>::load(slot);
        } catch (const ErrorSet&) {
            rethrow_named(name);
        }
    }
}

// ---------------------------------------------------------------- callable traits

template <class T>
struct CallOp;
template <class C, class R, class... A>
struct CallOp<R (C::*)(A...) const> {
    using Ret = R;
    using Args = std::tuple<A...>;
};

// Lambdas: the call operator's parameters. Member functions: the object comes first.
template <class T>
struct Traits : CallOp<decltype(&T::operator())> {};
template <class R, class... A>
struct Traits<R (*)(A...)> {
    using Ret = R;
    using Args = std::tuple<A...>;
};
template <class R, class... A>
struct Traits<R (*)(A...) noexcept> : Traits<R (*)(A...)> {};
template <class C, class R, class... A>
struct Traits<R (C::*)(A...) const> : Traits<R (*)(const C&, A...)> {};
template <class C, class R, class... A>
struct Traits<R (C::*)(A...) const noexcept> : Traits<R (*)(const C&, A...)> {};
template <class C, class R, class... A>
struct Traits<R (C::*)(A...)> : Traits<R (*)(C&, A...)> {};
template <class C, class R, class... A>
struct Traits<R (C::*)(A...) noexcept> : Traits<R (*)(C&, A...)> {};

template <auto F>
using TraitsOf = Traits<std::remove_cvref_t<decltype(F)>>;

// Records are the types without a converter of their own (only the primary Conv marks them).
template <class T>
concept Record = requires { Conv<std::remove_cv_t<T>>::record; };

// Holder of a converted argument: records passed by reference are borrowed, the rest by value.
template <class A>
struct HolderOf { using type = std::remove_cvref_t<A>; };
template <class T>
    requires Record<T>
struct HolderOf<const T&> { using type = Shared<T>; };
template <class T>
    requires(Record<T> && !std::is_const_v<T>)
struct HolderOf<T&> { using type = Exclusive<T>; };
template <class A>
using holder_t = typename HolderOf<A>::type;

template <class A, class H>
decltype(auto) pass(H& h) {
    if constexpr (std::is_lvalue_reference_v<A>) return static_cast<A>(h);
    else return static_cast<std::remove_cvref_t<A>>(std::move(h));
}

// ---------------------------------------------------------------- entries

template <auto F>
struct SignatureSlot {
    static inline Signature* sig = nullptr;
};
// Stores the matching data of F. The slot is keyed by the callable, so one callable serves
// one declaration: a second declaration of it in the same run is refused.
void set_signature(Signature*& slot, Signature* sig);

template <auto F>
constexpr std::size_t arity_v = std::tuple_size_v<typename TraitsOf<F>::Args>;
template <auto F, std::size_t I>
using arg_t = std::tuple_element_t<I, typename TraitsOf<F>::Args>;

// Converts every default of the signature as its parameter would be converted at a call, so
// that a default of the wrong kind is refused at declaration, not at a user's call.
void refuse_default(const Signature& sig, std::size_t i, const char* why);
template <auto F, std::size_t Skip>
void check_defaults(const Signature& sig) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (
            [&] {
                using H = holder_t<arg_t<F, I + Skip>>;
                if (!sig.optional[I]) return;
                if (!sig.defaults[I]) {
                    if constexpr (!std::is_default_constructible_v<H>)
                        refuse_default(sig, I, "has no empty value");
                    return;
                }
                try {
                    H h = Conv<H>::load(sig.defaults[I]);
                    (void)h;
                } catch (const ErrorSet&) {
                    PyErr_Clear();
                    refuse_default(sig, I, "does not convert to its parameter's type");
                }
            }(),
            ...);
    }(std::make_index_sequence<arity_v<F> - Skip>{});
}

// The matching data of F for a declaration named `where`, checked and stored.
template <auto F, std::size_t Skip>
const Signature* declare(const std::string& where, const std::vector<Arg>& args) {
    check_arity(where, args.size(), arity_v<F> - Skip);
    Signature* sig = make_signature(where, args);
    check_defaults<F, Skip>(*sig);
    set_signature(SignatureSlot<F>::sig, sig);
    return sig;
}

// Runs F on the already-passed leading arguments and the converted slots, returning the result.
template <auto F, std::size_t Skip, class... Pre>
PyObject* call_with(PyObject** slots, const Signature* sig, Pre&&... pre) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) -> PyObject* {
        // Braced initialisation converts the arguments left to right.
        std::tuple<holder_t<arg_t<F, I + Skip>>...> held{
            load_arg<holder_t<arg_t<F, I + Skip>>>(slots[I], sig->cnames[I])...};
        (void)held;
        using R = typename TraitsOf<F>::Ret;
        if constexpr (std::is_void_v<R>) {
            std::invoke(F, std::forward<Pre>(pre)..., pass<arg_t<F, I + Skip>>(std::get<I>(held))...);
            Py_RETURN_NONE;
        } else {
            return to_py(
                std::invoke(F, std::forward<Pre>(pre)..., pass<arg_t<F, I + Skip>>(std::get<I>(held))...));
        }
    }(std::make_index_sequence<arity_v<F> - Skip>{});
}

template <auto F, std::size_t Skip>
PyObject* fast_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        const Signature* sig = SignatureSlot<F>::sig;
        PyObject* slots[arity_v<F> - Skip + 1];
        match(*sig, args, nargs, kwnames, slots);
        if constexpr (Skip == 1) {
            using A0 = arg_t<F, 0>;
            holder_t<A0> me(self);
            return call_with<F, 1>(slots, sig, pass<A0>(me));
        } else {
            return call_with<F, 0>(slots, sig);
        }
    });
}

template <auto F, std::size_t Skip>
PyObject* noargs_entry(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        if constexpr (Skip == 1) {
            using A0 = arg_t<F, 0>;
            holder_t<A0> me(self);
            return call_with<F, 1>(nullptr, nullptr, pass<A0>(me));
        } else {
            return call_with<F, 0>(nullptr, nullptr);
        }
    });
}

// Turns a (tuple, dict) call into the fast-call form for __new__.
struct KwCall {
    std::vector<PyObject*> items;
    Ref kwnames;
    Py_ssize_t nargs = 0;
    KwCall(PyObject* args, PyObject* kwargs);
};

template <class T, auto F>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        KwCall call(args, kwargs);
        const Signature* sig = SignatureSlot<F>::sig;
        PyObject* slots[arity_v<F> + 1];
        match(*sig, call.items.data(), call.nargs, call.kwnames.get(), slots);
        return [&]<std::size_t... I>(std::index_sequence<I...>) -> PyObject* {
            std::tuple<holder_t<arg_t<F, I>>...> held{
                load_arg<holder_t<arg_t<F, I>>>(slots[I], sig->cnames[I])...};
            (void)held;
            T rec = std::invoke(F, pass<arg_t<F, I>>(std::get<I>(held))...);
            PyObject* o = type->tp_alloc(type, 0);
            if (!o) return nullptr;
            auto* inst = reinterpret_cast<Instance<T>*>(o);
            new (&inst->value) T(std::move(rec));
            inst->borrow = 0;
            return o;
        }(std::make_index_sequence<arity_v<F>>{});
    });
}

template <class T>
void dealloc_entry(PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    reinterpret_cast<Instance<T>*>(o)->value.~T();
    tp->tp_free(o);
    Py_DECREF(tp);
}

template <auto F>
PyObject* getter_entry(PyObject* self, void*) {
    return guard([&]() -> PyObject* {
        using A0 = arg_t<F, 0>;
        holder_t<A0> me(self);
        return to_py(std::invoke(F, pass<A0>(me)));
    });
}

// Property setter: S(T&, value) under the exclusive borrow; deleting the property is refused.
template <auto S>
int setter_entry(PyObject* self, PyObject* value, void*) {
    return guard_status([&] {
        if (!value) raise(PyExc_TypeError, "can't delete attribute");
        using A0 = arg_t<S, 0>;
        holder_t<A0> me(self);
        holder_t<arg_t<S, 1>> v = Conv<holder_t<arg_t<S, 1>>>::load(value);
        std::invoke(S, pass<A0>(me), pass<arg_t<S, 1>>(v));
    });
}

template <auto F>
Py_ssize_t len_entry(PyObject* self) {
    PyObject* r = guard([&]() -> PyObject* {
        using A0 = arg_t<F, 0>;
        holder_t<A0> me(self);
        return to_py(static_cast<std::size_t>(std::invoke(F, pass<A0>(me))));
    });
    if (!r) return -1;
    const Py_ssize_t n = PyLong_AsSsize_t(r);
    Py_DECREF(r);
    return n;
}

// Keys of a get_state dict, interned once per class.
std::vector<PyObject*> intern_all(std::initializer_list<const char*> keys);

template <class T, auto... Fields>
struct StateKeys {
    static inline std::vector<PyObject*> keys;
};

template <class T, auto... Fields>
PyObject* state_entry(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        Shared<T> me(self);
        const T& rec = me.get();
        DictBuilder d;
        std::size_t k = 0;
        (d.set(StateKeys<T, Fields...>::keys[k++], rec.*Fields), ...);
        return d.dict.release();
    });
}

// Strings that live as long as the type objects (for the whole process).
const char* keep(std::string s);

PyObject* build_type(const std::string& name, const std::string& doc, std::size_t basicsize,
                     std::vector<PyType_Slot> slots, std::vector<PyMethodDef> methods,
                     std::vector<PyGetSetDef> getsets);

template <class T>
class Class {
public:
    explicit Class(const char* name, const char* doc = "") : name_(name), doc_(doc) {}

    // Constructor: F converts its arguments into the record.
    template <auto F>
    Class& init(std::vector<Arg> args = {}) {
        declare<F, 0>(name_ + ".__new__()", args);
        slots_.push_back({Py_tp_new, reinterpret_cast<void*>(&new_entry<T, F>)});
        init_sig_ = signature_text(name_, args, false);
        return *this;
    }

    // Method; its first parameter is self (const T& borrows shared, T& exclusive).
    template <auto F>
    Class& def(const char* name, std::vector<Arg> args = {}, const char* doc = "") {
        static_assert(arity_v<F> >= 1, "a method takes self first");
        const std::string where = name_ + "." + name + "()";
        const char* text = keep(signature_text(name, args, true) + doc);
        if constexpr (arity_v<F> == 1) {
            check_arity(where, args.size(), 0);
            methods_.push_back({name, reinterpret_cast<PyCFunction>(&noargs_entry<F, 1>), METH_NOARGS, text});
        } else {
            declare<F, 1>(where, args);
            methods_.push_back({name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_entry<F, 1>)),
                                METH_FASTCALL | METH_KEYWORDS, text});
        }
        return *this;
    }

    template <auto F>
    Class& def_static(const char* name, std::vector<Arg> args = {}, const char* doc = "") {
        const char* text = keep(signature_text(name, args, false) + doc);
        if constexpr (arity_v<F> == 0) {
            check_arity(name_ + "." + name + "()", args.size(), 0);
            methods_.push_back({name, reinterpret_cast<PyCFunction>(&noargs_entry<F, 0>), METH_NOARGS | METH_STATIC, text});
        } else {
            declare<F, 0>(name_ + "." + name + "()", args);
            methods_.push_back({name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_entry<F, 0>)),
                                METH_FASTCALL | METH_KEYWORDS | METH_STATIC, text});
        }
        return *this;
    }

    // Read-only property.
    template <auto F>
    Class& prop(const char* name, const char* doc = nullptr) {
        getsets_.push_back({name, &getter_entry<F>, nullptr, doc, nullptr});
        return *this;
    }

    // Read-write property: G reads under a shared borrow, S(T&, value) writes under the
    // exclusive one.
    template <auto G, auto S>
    Class& prop(const char* name, const char* doc = nullptr) {
        getsets_.push_back({name, &getter_entry<G>, &setter_entry<S>, doc, nullptr});
        return *this;
    }

    template <auto F>
    Class& repr() {
        slots_.push_back({Py_tp_repr, reinterpret_cast<void*>(&getter_entry_noclosure<F>)});
        return *this;
    }

    template <auto F>
    Class& len() {
        slots_.push_back({Py_sq_length, reinterpret_cast<void*>(&len_entry<F>)});
        return *this;
    }

    // get_state: a new dict of the named record fields, in order.
    template <auto... Fields>
    Class& state(std::initializer_list<const char*> keys) {
        if (keys.size() != sizeof...(Fields))
            bad_declaration(name_ + ".get_state()", std::to_string(keys.size()) + " keys for " +
                                                        std::to_string(sizeof...(Fields)) + " fields");
        StateKeys<T, Fields...>::keys = intern_all(keys);
        methods_.push_back({"get_state", &state_entry<T, Fields...>, METH_NOARGS,
                            "get_state($self)\n--\n\n"});
        return *this;
    }

    // Builds the type object; the class becomes usable from here on.
    Ref build() {
        if (ClassInfo<T>::type) return Ref::borrow(reinterpret_cast<PyObject*>(ClassInfo<T>::type));
        slots_.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_entry<T>)});
        ClassInfo<T>::name = keep(name_);
        PyObject* t = build_type(name_, init_sig_ + doc_, sizeof(Instance<T>), slots_, methods_, getsets_);
        if (!t) raise_set();
        Py_INCREF(t);  // the class info keeps the type for the whole process
        ClassInfo<T>::type = reinterpret_cast<PyTypeObject*>(t);
        return Ref::steal(t);
    }

private:
    template <auto F>
    static PyObject* getter_entry_noclosure(PyObject* self) { return getter_entry<F>(self, nullptr); }

    std::string name_, doc_, init_sig_;
    std::vector<PyType_Slot> slots_;
    std::vector<PyMethodDef> methods_;
    std::vector<PyGetSetDef> getsets_;
};

Ref new_function(PyMethodDef* def);

// Module function.
template <auto F>
Ref function(const char* name, std::vector<Arg> args = {}, const char* doc = "") {
    auto* def = new PyMethodDef{name, nullptr, 0, keep(signature_text(name, args, false) + doc)};
    if constexpr (arity_v<F> == 0) {
        check_arity(std::string(name) + "()", args.size(), 0);
        def->ml_meth = reinterpret_cast<PyCFunction>(&noargs_entry<F, 0>);
        def->ml_flags = METH_NOARGS;
    } else {
        declare<F, 0>(std::string(name) + "()", args);
        def->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_entry<F, 0>));
        def->ml_flags = METH_FASTCALL | METH_KEYWORDS;
    }
    return new_function(def);
}

void set_current_module(PyObject* m);

// The module being filled: each addition appends its name to __all__, then sets the attribute.
class Module {
public:
    explicit Module(PyObject* m);
    void add(const char* name, Ref obj);

private:
    PyObject* m_;
    Ref all_;
};

}  // namespace py
