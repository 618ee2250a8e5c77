// Constructor arguments of a model record, written once: each argument's type, name and
// default. From the one list come the record's `Args` struct (what the constructor takes,
// defaults included) and a table of (name, member) pairs that the Python class reads for its
// argument matching and text signature, and that a network factory reads for its defaults.
//
//   struct LapicqueNeuron {
//       double v, tau;
//       SC_ARGS(LapicqueNeuron, (double, tau, 20.0))
//       explicit LapicqueNeuron(const Args& a) : v(0.0), tau(a.tau) {}
//   };
//
// SC_ARGS also gives the record its default constructor, built from the defaults.
#pragma once
#include <tuple>

namespace neurons {

// One constructor argument: its name and where it lives in the record's Args.
template <class A, class T>
struct Param {
    using type = T;
    const char* name;
    T A::*member;
};

template <class A, class T>
constexpr Param<A, T> param(const char* name, T A::*member) {
    return {name, member};
}

// Records with arguments declare `Args`; the rest are built from nothing.
template <class M>
concept HasArgs = requires { M::Args::params(); };

}  // namespace neurons

// SC_FOR_EACH(m, a, b, c) is m(a) m(b) m(c), for up to 256 items.
#define SC_PARENS ()
#define SC_EXPAND(...) SC_EXPAND3(SC_EXPAND3(SC_EXPAND3(SC_EXPAND3(__VA_ARGS__))))
#define SC_EXPAND3(...) SC_EXPAND2(SC_EXPAND2(SC_EXPAND2(SC_EXPAND2(__VA_ARGS__))))
#define SC_EXPAND2(...) SC_EXPAND1(SC_EXPAND1(SC_EXPAND1(SC_EXPAND1(__VA_ARGS__))))
#define SC_EXPAND1(...) __VA_ARGS__
#define SC_FOR_EACH(m, ...) __VA_OPT__(SC_EXPAND(SC_FOR_EACH_STEP(m, __VA_ARGS__)))
#define SC_FOR_EACH_STEP(m, a, ...) m(a) __VA_OPT__(SC_FOR_EACH_AGAIN SC_PARENS(m, __VA_ARGS__))
#define SC_FOR_EACH_AGAIN() SC_FOR_EACH_STEP

// SC_FOR_EACH_WITH(m, d, a, b) is m(d, a) m(d, b).
#define SC_FOR_EACH_WITH(m, d, ...) __VA_OPT__(SC_EXPAND(SC_FOR_EACH_WITH_STEP(m, d, __VA_ARGS__)))
#define SC_FOR_EACH_WITH_STEP(m, d, a, ...) \
    m(d, a) __VA_OPT__(SC_FOR_EACH_WITH_AGAIN SC_PARENS(m, d, __VA_ARGS__))
#define SC_FOR_EACH_WITH_AGAIN() SC_FOR_EACH_WITH_STEP

#define SC_ARG_MEMBER(type, name, value) type name = value;
#define SC_ARG_PARAM(type, name, value) ::neurons::param(#name, &Args::name),
#define SC_ARG_MEMBER_OF(t) SC_ARG_MEMBER t
#define SC_ARG_PARAM_OF(t) SC_ARG_PARAM t

// SC_ARGS(M, (type, name, default), ...): the record's constructor arguments, in order.
#define SC_ARGS(M, ...)                                                               \
    struct Args {                                                                     \
        SC_FOR_EACH(SC_ARG_MEMBER_OF, __VA_ARGS__)                                    \
        static constexpr auto params() { return std::tuple{SC_FOR_EACH(SC_ARG_PARAM_OF, __VA_ARGS__)}; } \
    };                                                                                \
    M() : M(Args{}) {}
