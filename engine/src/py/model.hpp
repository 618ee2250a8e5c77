// Model classes: a model record becomes a Python class through one line,
//
//   SC_MODEL(AlphaNeuron, step("exc_current", arg("inh_current", 0.0)), state(v, i_exc, i_inh));
//
// inside its family's registry block (SC_BLOCK). The constructor's parameters, defaults and
// text signature come from the record's SC_ARGS list (none when it has no Args); `step`
// binds the record's step (shared borrow when it is const) and defaults to step(current);
// `reset` is bound when the record has one; get_state reports the fields that `state` names,
// in order. Further parts: `no_state` (no get_state), `alias(name, member)` (a second name
// of a method without arguments), `method(member, args...)` (another method), and three
// get_state forms for array fields: `state_as(key, member)` (one key naming another member),
// `array_state(member)` (the member as a NumPy float64 array under its own name) and
// `array_get_state(member)` (get_state returns that array itself, not a dict).
#pragma once
#include "core.hpp"
#include "neurons/args.hpp"
#include "numpy.hpp"

namespace py {

// get_state values of array fields: fresh copies, so later steps never show through.
inline Ref array_copy(const std::vector<double>& v) { return np::array(std::vector<double>(v)); }
template <class V>
Ref state_dict(const char* key, const V& value) {
    DictBuilder d;
    d.set(key, value);
    return std::move(d.dict);
}
inline Ref array_state_dict(const char* key, const std::vector<double>& v) { return state_dict(key, array_copy(v)); }

// The constructor's parameter list, from the record's argument table, after `before` (for a
// function that builds the record from its last parameters).
template <class M>
std::vector<Arg> ctor_args(std::vector<Arg> before = {}) {
    std::vector<Arg> out = std::move(before);
    const typename M::Args defaults{};
    std::apply([&](auto... p) { (out.push_back(arg(p.name, defaults.*(p.member))), ...); },
               M::Args::params());
    return out;
}

// A constructor callable whose parameters are the argument table's types, in order.
template <class M, class Params>
struct ArgsInit;
template <class M, class... P>
struct ArgsInit<M, std::tuple<P...>> {
    static M make(typename P::type... values) {
        typename M::Args a;
        std::tuple<typename P::type...> v{values...};
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            constexpr auto params = M::Args::params();
            ((a.*(std::get<I>(params).member) = std::get<I>(v)), ...);
        }(std::index_sequence_for<P...>{});
        return M(a);
    }
};

template <class M>
class Model {
public:
    explicit Model(const char* name) : c_(name) {
        if constexpr (neurons::HasArgs<M>)
            c_.template init<&ArgsInit<M, decltype(M::Args::params())>::make>(ctor_args<M>());
        else
            c_.template init<[] { return M(); }>();
    }

    Model& step(std::vector<Arg> args) {
        c_.template def<&M::step>("step", std::move(args));
        step_ = true;
        return *this;
    }

    template <auto... Fields>
    Model& state(std::initializer_list<const char*> keys) {
        c_.template state<Fields...>(keys);
        return *this;
    }

    Model& no_state() { return *this; }

    template <auto F>
    Model& def(const char* name, std::vector<Arg> args = {}) {
        c_.template def<F>(name, std::move(args));
        return *this;
    }

    Ref build() {
        if (!step_) step({"current"});
        if constexpr (requires { &M::reset; }) c_.template def<&M::reset>("reset");
        return c_.build();
    }

private:
    Class<M> c_;
    bool step_ = false;
};

}  // namespace py

// A second iteration family, so that a part's own list can be walked inside SC_MODEL's walk.
#define SC_EXPAND_B(...) SC_EXPAND_B3(SC_EXPAND_B3(SC_EXPAND_B3(SC_EXPAND_B3(__VA_ARGS__))))
#define SC_EXPAND_B3(...) SC_EXPAND_B2(SC_EXPAND_B2(SC_EXPAND_B2(SC_EXPAND_B2(__VA_ARGS__))))
#define SC_EXPAND_B2(...) SC_EXPAND_B1(SC_EXPAND_B1(SC_EXPAND_B1(SC_EXPAND_B1(__VA_ARGS__))))
#define SC_EXPAND_B1(...) __VA_ARGS__
#define SC_LIST_B(m, d, ...) __VA_OPT__(SC_EXPAND_B(SC_LIST_B_STEP(m, d, __VA_ARGS__)))
#define SC_LIST_B_STEP(m, d, a, ...) m(d, a) __VA_OPT__(, SC_LIST_B_AGAIN SC_PARENS(m, d, __VA_ARGS__))
#define SC_LIST_B_AGAIN() SC_LIST_B_STEP

#define SC_FIELD_PTR(M, f) &M::f
#define SC_FIELD_NAME(M, f) #f

// Each part of an SC_MODEL line becomes a call on the builder.
#define SC_MODEL_PART(M, part) SC_MODEL_PART_I(M, SC_MODEL_TAG_##part)
#define SC_MODEL_PART_I(M, ...) SC_MODEL_PART_II(M, __VA_ARGS__)
#define SC_MODEL_PART_II(M, tag, ...) SC_MODEL_DO_##tag(M __VA_OPT__(, ) __VA_ARGS__)

#define SC_MODEL_TAG_step(...) step, __VA_ARGS__
#define SC_MODEL_TAG_state(...) state, __VA_ARGS__
#define SC_MODEL_TAG_no_state no_state
#define SC_MODEL_TAG_alias(...) alias, __VA_ARGS__
#define SC_MODEL_TAG_method(...) method, __VA_ARGS__
#define SC_MODEL_TAG_state_as(...) state_as, __VA_ARGS__
#define SC_MODEL_TAG_array_state(...) array_state, __VA_ARGS__
#define SC_MODEL_TAG_array_get_state(...) array_get_state, __VA_ARGS__

#define SC_MODEL_DO_step(M, ...) .step({__VA_ARGS__})
#define SC_MODEL_DO_state(M, ...) \
    .template state<SC_LIST_B(SC_FIELD_PTR, M, __VA_ARGS__)>({SC_LIST_B(SC_FIELD_NAME, M, __VA_ARGS__)})
#define SC_MODEL_DO_no_state(M) .no_state()
#define SC_MODEL_DO_alias(M, name, member) .template def<&M::member>(#name)
#define SC_MODEL_DO_method(M, member, ...) .template def<&M::member>(#member __VA_OPT__(, {__VA_ARGS__}))
#define SC_MODEL_DO_state_as(M, key, member) \
    .template def<[](const M& m) { return ::py::state_dict(#key, m.member); }>("get_state")
#define SC_MODEL_DO_array_state(M, member) \
    .template def<[](const M& m) { return ::py::array_state_dict(#member, m.member); }>("get_state")
#define SC_MODEL_DO_array_get_state(M, member) \
    .template def<[](const M& m) { return ::py::array_copy(m.member); }>("get_state")

// The builder of class M under its Python name.
#define SC_MODEL_DECL_NAMED(M, name, ...) \
    ::py::Model<M>(name) SC_FOR_EACH_WITH(SC_MODEL_PART, M, __VA_ARGS__)

// A registry block: SC_BLOCK(trivial) { SC_MODEL(...); ... } defines trivial_block(Module&),
// which adds the block's classes in the order of its lines.
#define SC_BLOCK(name) void name##_block(::py::Module& sc_block)
#define SC_MODEL(M, ...) sc_block.add(#M, SC_MODEL_DECL_NAMED(M, #M __VA_OPT__(, ) __VA_ARGS__).build())
#define SC_MODEL_NAMED(M, name, ...) \
    sc_block.add(name, SC_MODEL_DECL_NAMED(M, name __VA_OPT__(, ) __VA_ARGS__).build())

// A model class that the module body adds at a place of its own: defines M_class().
#define SC_MODEL_CLASS(M, ...) \
    ::py::Ref M##_class() { return SC_MODEL_DECL_NAMED(M, #M __VA_OPT__(, ) __VA_ARGS__).build(); }
