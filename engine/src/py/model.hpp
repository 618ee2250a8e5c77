// Declarations of neuron model classes: a model is a record with a constructor, `step`,
// `reset` and state fields; its class is a few lines over the generic class builder.
#pragma once
#include "core.hpp"

namespace py {

// A model class whose constructor takes no arguments.
template <class M>
Class<M> model(const char* name) {
    Class<M> c(name);
    c.template init<[] { return M(); }>();
    return c;
}

// The single-current step every simple model shares.
inline std::vector<Arg> current_arg() { return {arg("current")}; }

}  // namespace py

// get_state over record fields named as their keys: SC_STATE(M, v, w) is
// .state<&M::v, &M::w>({"v", "w"}).
#define SC_PP_NARG(...) SC_PP_NARG_(__VA_ARGS__, 8, 7, 6, 5, 4, 3, 2, 1, 0)
#define SC_PP_NARG_(_1, _2, _3, _4, _5, _6, _7, _8, N, ...) N
#define SC_PP_CAT(a, b) SC_PP_CAT_(a, b)
#define SC_PP_CAT_(a, b) a##b
#define SC_FIELDS_1(M, a) &M::a
#define SC_FIELDS_2(M, a, ...) &M::a, SC_FIELDS_1(M, __VA_ARGS__)
#define SC_FIELDS_3(M, a, ...) &M::a, SC_FIELDS_2(M, __VA_ARGS__)
#define SC_FIELDS_4(M, a, ...) &M::a, SC_FIELDS_3(M, __VA_ARGS__)
#define SC_FIELDS_5(M, a, ...) &M::a, SC_FIELDS_4(M, __VA_ARGS__)
#define SC_FIELDS_6(M, a, ...) &M::a, SC_FIELDS_5(M, __VA_ARGS__)
#define SC_FIELDS_7(M, a, ...) &M::a, SC_FIELDS_6(M, __VA_ARGS__)
#define SC_FIELDS_8(M, a, ...) &M::a, SC_FIELDS_7(M, __VA_ARGS__)
#define SC_NAMES_1(a) #a
#define SC_NAMES_2(a, ...) #a, SC_NAMES_1(__VA_ARGS__)
#define SC_NAMES_3(a, ...) #a, SC_NAMES_2(__VA_ARGS__)
#define SC_NAMES_4(a, ...) #a, SC_NAMES_3(__VA_ARGS__)
#define SC_NAMES_5(a, ...) #a, SC_NAMES_4(__VA_ARGS__)
#define SC_NAMES_6(a, ...) #a, SC_NAMES_5(__VA_ARGS__)
#define SC_NAMES_7(a, ...) #a, SC_NAMES_6(__VA_ARGS__)
#define SC_NAMES_8(a, ...) #a, SC_NAMES_7(__VA_ARGS__)
#define SC_STATE(M, ...)                                                          \
    template state<SC_PP_CAT(SC_FIELDS_, SC_PP_NARG(__VA_ARGS__))(M, __VA_ARGS__)>( \
        {SC_PP_CAT(SC_NAMES_, SC_PP_NARG(__VA_ARGS__))(__VA_ARGS__)})
