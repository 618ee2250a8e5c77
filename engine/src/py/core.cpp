#include "core.hpp"

#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>

namespace py {

namespace {
PyObject* g_panic_type = nullptr;
PyObject* g_module = nullptr;

std::string type_name(PyObject* o) {
    Ref n = Ref::steal(PyType_GetName(Py_TYPE(o)));
    if (!n) {
        PyErr_Clear();
        return Py_TYPE(o)->tp_name;
    }
    const char* s = PyUnicode_AsUTF8(n.get());
    if (!s) {
        PyErr_Clear();
        return Py_TYPE(o)->tp_name;
    }
    return s;
}

PyObject* panic_type() {
    if (!g_panic_type) {
        g_panic_type = PyErr_NewExceptionWithDoc(
            "sc_dravik_engine.PanicException",
            "Raised when the engine stops on a violated precondition.", PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

void report(const std::string& thread, const char* file, unsigned line, const char* msg) {
    std::string one(msg);
    for (char& c : one)
        if (c == '\n') c = ' ';
    if (file)
        std::fprintf(stderr, "sc_dravik_engine: panic on thread %s at %s:%u: %s\n", thread.c_str(), file,
                     line, one.c_str());
    else  // a failure of the C++ runtime carries no source location
        std::fprintf(stderr, "sc_dravik_engine: panic on thread %s: %s\n", thread.c_str(), one.c_str());
    std::fflush(stderr);
}

std::string this_thread() {
    std::ostringstream s;
    s << std::this_thread::get_id();
    return s.str();
}

void set_panic_message(const char* msg) {
    PyObject* t = panic_type();
    if (!t) return;  // the error of the failed type creation stays set
    PyErr_SetString(t, msg);
}
}  // namespace

void raise(PyObject* type, const std::string& msg) {
    // Decoded with its length: a message may quote text that holds NUL characters.
    Ref text = Ref::check(PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace"));
    PyErr_SetObject(type, text.get());
    throw ErrorSet{};
}

void not_instance(PyObject* obj, const char* expected) {
    raise(PyExc_TypeError, "'" + type_name(obj) + "' object is not an instance of '" + expected + "'");
}

void set_panic(const engine::Panic& p) {
    const char* file = p.where.file_name();
    if (const char* slash = std::strrchr(file, '/')) {
        // Keep the path from the source tree's top on.
        if (const char* top = std::strstr(file, "engine/")) file = top;
        else file = slash + 1;
    }
    report(p.thread, file, p.where.line(), p.what());
    set_panic_message(p.what());
}

void set_panic_text(const char* msg) {
    report(this_thread(), nullptr, 0, msg);
    set_panic_message(msg);
}

void set_value_error(const std::string& msg) {
    PyObject* text = PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace");
    if (!text) return;
    PyErr_SetObject(PyExc_ValueError, text);
    Py_DECREF(text);
}

// ---------------------------------------------------------------- conversions

double load_f64(PyObject* o) {
    const double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) raise_set();
    return d;
}

uint64_t load_u64(PyObject* o) {
    if (PyLong_Check(o)) {
        const unsigned long long v = PyLong_AsUnsignedLongLong(o);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_set();
        return v;
    }
    Ref idx = Ref::check(PyNumber_Index(o));
    const unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_set();
    return v;
}

int64_t load_i64(PyObject* o) {
    const long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) raise_set();
    return v;
}

long load_long_in(PyObject* o, long lo, long hi) {
    const long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) raise_set();
    if (v < lo || v > hi) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return v;
}

bool load_bool(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False) return false;
    const char* tn = Py_TYPE(o)->tp_name;
    if (std::strcmp(tn, "numpy.bool_") == 0 || std::strcmp(tn, "numpy.bool") == 0) {
        const int r = PyObject_IsTrue(o);
        if (r < 0) raise_set();
        return r != 0;
    }
    not_instance(o, "PyBool");
}

Py_ssize_t sequence_hint(PyObject* o) {
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) not_instance(o, "Sequence");
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) {
        // Only a hint: a failed __len__ is ignored, but not an interrupt or an exit.
        if (PyErr_ExceptionMatches(PyExc_OverflowError) || !PyErr_ExceptionMatches(PyExc_Exception))
            raise_set();
        PyErr_Clear();
        return 0;
    }
    return n;
}

bool load_u8_buffer(PyObject* o, std::vector<uint8_t>& out) {
    if (PyBytes_Check(o)) {
        const auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(o));
        out.assign(p, p + PyBytes_GET_SIZE(o));
        return true;
    }
    if (PyByteArray_Check(o)) {
        const auto* p = reinterpret_cast<const uint8_t*>(PyByteArray_AS_STRING(o));
        out.assign(p, p + PyByteArray_GET_SIZE(o));
        return true;
    }
    return false;
}

void tuple_length_error(std::size_t want, Py_ssize_t got) {
    raise(PyExc_ValueError, "expected tuple of length " + std::to_string(want) +
                                ", but got tuple of length " + std::to_string(got));
}

// ---------------------------------------------------------------- declarations

const char* keep(std::string s) { return (new std::string(std::move(s)))->c_str(); }

namespace {
unsigned g_generation = 1;
}

void begin_declarations() { ++g_generation; }

void bad_declaration(const std::string& where, const std::string& why) {
    raise(PyExc_SystemError, where + ": " + why);
}

void check_arity(const std::string& where, std::size_t names, std::size_t params) {
    if (names != params)
        bad_declaration(where, "the declaration names " + std::to_string(names) + " parameter" +
                                   (names == 1 ? "" : "s") + " but the callable takes " +
                                   std::to_string(params));
}

void refuse_default(const Signature& sig, std::size_t i, const char* why) {
    bad_declaration(sig.full_name, std::string("the default of '") + sig.cnames[i] + "' " + why);
}

void set_signature(Signature*& slot, Signature* sig) {
    sig->generation = g_generation;
    if (slot) {
        if (slot->generation == g_generation) {
            const std::string first = slot->full_name, second = sig->full_name;
            delete sig;
            bad_declaration(second, "its callable is already declared as " + first);
        }
        // The module body ran before in this process (a re-import): keep the first data.
        slot->generation = g_generation;
        delete sig;
        return;
    }
    slot = sig;
}

static Ref default_object(const Arg& a) {
    switch (a.kind) {
        case Arg::Kind::Int: return Ref::check(PyLong_FromLongLong(a.i));
        case Arg::Kind::UInt: return Ref::check(PyLong_FromUnsignedLongLong(a.u));
        case Arg::Kind::Float: return Ref::check(PyFloat_FromDouble(a.d));
        case Arg::Kind::Bool: return Ref::borrow(a.i ? Py_True : Py_False);
        case Arg::Kind::None: return Ref::borrow(Py_None);
        case Arg::Kind::Str: return Ref::check(PyUnicode_FromString(a.s));
        default: return Ref();
    }
}

Signature* make_signature(std::string full_name, const std::vector<Arg>& args) {
    auto* sig = new Signature;
    sig->full_name = std::move(full_name);
    for (const Arg& a : args) {
        PyObject* name = PyUnicode_InternFromString(a.name);
        if (!name) raise_set();
        sig->names.push_back(name);
        sig->cnames.push_back(a.name);
        sig->defaults.push_back(default_object(a).release());
        sig->optional.push_back(a.kind != Arg::Kind::Required);
        if (a.kind == Arg::Kind::Required) ++sig->required;
    }
    return sig;
}

std::string signature_text(const std::string& name, const std::vector<Arg>& args, bool method) {
    std::string s = name + "(";
    bool first = true;
    if (method) {
        s += "$self";
        first = false;
    }
    for (const Arg& a : args) {
        if (!first) s += ", ";
        first = false;
        s += a.name;
        if (a.kind == Arg::Kind::Required) continue;
        s += "=";
        if (a.kind == Arg::Kind::Str) {
            s += std::string("\"") + a.s + "\"";
            continue;
        }
        // Negative numbers and empty-value defaults are shown as "...".
        const bool negative = (a.kind == Arg::Kind::Int && a.i < 0) ||
                              (a.kind == Arg::Kind::Float && std::signbit(a.d));
        if (a.kind == Arg::Kind::Value || negative) {
            s += "...";
            continue;
        }
        Ref obj = default_object(a);
        Ref text = Ref::check(PyObject_Repr(obj.get()));
        const char* t = PyUnicode_AsUTF8(text.get());
        if (!t) raise_set();
        s += t;
    }
    return s + ")\n--\n\n";
}

static std::string quoted_list(const std::vector<const char*>& names) {
    std::string s;
    const std::size_t n = names.size();
    for (std::size_t i = 0; i < n; ++i) {
        s += "'";
        s += names[i];
        s += "'";
        if (n == 2 && i == 0) s += " and ";
        else if (n > 2 && i + 2 < n) s += ", ";
        else if (n > 2 && i + 2 == n) s += ", and ";
    }
    return s;
}

void match(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
           PyObject** slots) {
    const std::size_t np = sig.names.size();
    const std::size_t given = static_cast<std::size_t>(nargs);
    if (!kwnames && given <= np) {  // the common call: arguments by position, defaults after
        std::size_t i = 0;
        for (; i < given; ++i) slots[i] = args[i];
        for (; i < np; ++i) {
            if (!sig.optional[i]) break;
            slots[i] = sig.defaults[i];
        }
        if (i == np) return;
    }
    if (given > np) {
        const char* verb = given == 1 ? "was" : "were";
        std::string msg = sig.full_name + " takes ";
        if (sig.required == np) msg += std::to_string(np);
        else msg += "from " + std::to_string(sig.required) + " to " + std::to_string(np);
        msg += " positional arguments but " + std::to_string(given) + " " + verb + " given";
        raise(PyExc_TypeError, msg);
    }
    for (std::size_t i = 0; i < np; ++i) slots[i] = i < given ? args[i] : nullptr;
    bool filled_kw[64] = {};
    std::vector<bool> filled_kw_big;
    const bool big = np > 64;
    if (big) filled_kw_big.assign(np, false);
    if (kwnames) {
        const Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nk; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            std::size_t idx = np;
            for (std::size_t i = 0; i < np; ++i) {
                if (sig.names[i] == key) { idx = i; break; }
            }
            if (idx == np) {
                for (std::size_t i = 0; i < np; ++i) {
                    const int eq = PyUnicode_Compare(sig.names[i], key);
                    if (eq == -1 && PyErr_Occurred()) raise_set();
                    if (eq == 0) { idx = i; break; }
                }
            }
            if (idx == np) {
                // Quoted as the object it is: a name may hold NUL or lone surrogates.
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                             sig.full_name.c_str(), key);
                throw ErrorSet{};
            }
            const bool already = idx < given || (big ? filled_kw_big[idx] : filled_kw[idx]);
            if (already)
                raise(PyExc_TypeError, sig.full_name + " got multiple values for argument '" +
                                           sig.cnames[idx] + "'");
            if (big) filled_kw_big[idx] = true;
            else filled_kw[idx] = true;
            slots[idx] = args[nargs + k];
        }
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < np; ++i) {
        if (slots[i]) continue;
        if (sig.defaults[i]) slots[i] = sig.defaults[i];
        else if (!sig.optional[i]) missing.push_back(sig.cnames[i]);
    }
    if (!missing.empty()) {
        raise(PyExc_TypeError, sig.full_name + " missing " + std::to_string(missing.size()) +
                                   " required positional " +
                                   (missing.size() == 1 ? "argument" : "arguments") + ": " +
                                   quoted_list(missing));
    }
}

void rethrow_named(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw ErrorSet{};
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb) PyException_SetTraceback(v, tb);
    Ref cause = Ref::steal(v);
    Py_XDECREF(t);
    Py_XDECREF(tb);
    Ref text = Ref::check(PyObject_Str(cause.get()));
    Ref msg = Ref::check(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    Ref err = Ref::check(PyObject_CallOneArg(PyExc_TypeError, msg.get()));
    PyException_SetCause(err.get(), cause.release());
    PyErr_SetObject(PyExc_TypeError, err.get());
    throw ErrorSet{};
}

KwCall::KwCall(PyObject* args, PyObject* kwargs) {
    nargs = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < nargs; ++i) items.push_back(PyTuple_GET_ITEM(args, i));
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        kwnames = Ref::check(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SET_ITEM(kwnames.get(), k++, key);
            items.push_back(value);
        }
    }
}

std::vector<PyObject*> intern_all(std::initializer_list<const char*> keys) {
    std::vector<PyObject*> out;
    for (const char* k : keys) {
        PyObject* s = PyUnicode_InternFromString(k);
        if (!s) raise_set();
        out.push_back(s);
    }
    return out;
}

PyObject* build_type(const std::string& name, const std::string& doc, std::size_t basicsize,
                     std::vector<PyType_Slot> slots, std::vector<PyMethodDef> methods,
                     std::vector<PyGetSetDef> getsets) {
    bool has_new = false;
    for (const auto& s : slots) has_new |= s.slot == Py_tp_new;
    slots.push_back({Py_tp_doc, const_cast<char*>(keep(doc))});
    if (!methods.empty()) {
        methods.push_back({nullptr, nullptr, 0, nullptr});
        slots.push_back({Py_tp_methods, (new std::vector<PyMethodDef>(std::move(methods)))->data()});
    }
    if (!getsets.empty()) {
        getsets.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
        slots.push_back({Py_tp_getset, (new std::vector<PyGetSetDef>(std::move(getsets)))->data()});
    }
    slots.push_back({0, nullptr});
    auto* kept = new std::vector<PyType_Slot>(std::move(slots));
    auto* sig = new PyType_Spec{keep("sc_dravik_engine.sc_dravik_engine." + name),
                                 static_cast<int>(basicsize), 0,
                                 static_cast<unsigned>(
                                 Py_TPFLAGS_DEFAULT | (has_new ? 0 : Py_TPFLAGS_DISALLOW_INSTANTIATION)),
                                 kept->data()};
    return PyType_FromSpec(sig);
}

Ref new_function(PyMethodDef* def) {
    Ref modname;
    if (g_module) modname = Ref::check(PyModule_GetNameObject(g_module));
    return Ref::check(PyCFunction_NewEx(def, g_module, modname.get()));
}

Module::Module(PyObject* m) : m_(m) {
    set_current_module(m);
    begin_declarations();
}

void Module::add(const char* name, Ref obj) {
    if (!all_) {
        all_ = Ref::check(PyList_New(0));
        if (PyModule_AddObjectRef(m_, "__all__", all_.get()) < 0) raise_set();
    }
    Ref key = Ref::check(PyUnicode_FromString(name));
    if (PyList_Append(all_.get(), key.get()) < 0) raise_set();
    if (PyObject_SetAttr(m_, key.get(), obj.get()) < 0) raise_set();
}

void set_current_module(PyObject* m) { g_module = m; }

}  // namespace py
