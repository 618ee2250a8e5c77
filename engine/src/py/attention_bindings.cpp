// StochasticAttention.
#include "attention.hpp"
#include "bindings.hpp"
#include "matrix.hpp"

namespace py {

using attention::MatrixRef;
using attention::StochasticAttention;

namespace {

// Q, K and V are taken as plain objects and read in that order after the method's other
// arguments are converted, so a bad count or seed is reported before a bad matrix.
struct Qkv {
    FlatMatrix q, k, v;
    Qkv(Obj q_obj, Obj k_obj, Obj v_obj)
        : q(extract_matrix_f64(q_obj.ptr, "Q")), k(extract_matrix_f64(k_obj.ptr, "K")), v(extract_matrix_f64(v_obj.ptr, "V")) {}
    static MatrixRef ref(const FlatMatrix& m) { return {m.values, m.rows, m.cols}; }
    RowList rows(std::vector<double> out) const { return {std::move(out), q.rows, v.cols}; }
};

template <auto Form>
RowList single(const StochasticAttention& a, Obj q, Obj k, Obj v) {
    const Qkv m(q, k, v);
    return m.rows((a.*Form)(Qkv::ref(m.q), Qkv::ref(m.k), Qkv::ref(m.v)));
}

template <auto Form>
RowList heads(const StochasticAttention& a, Obj q, Obj k, Obj v, std::size_t n_heads) {
    const Qkv m(q, k, v);
    return m.rows((a.*Form)(Qkv::ref(m.q), Qkv::ref(m.k), Qkv::ref(m.v), n_heads));
}

RowList forward_sc(const StochasticAttention& a, Obj q, Obj k, Obj v, std::size_t length, uint64_t seed) {
    const Qkv m(q, k, v);
    return m.rows(a.forward_sc(Qkv::ref(m.q), Qkv::ref(m.k), Qkv::ref(m.v), length, seed));
}

}  // namespace

Ref stochastic_attention_class() {
    const std::vector<Arg> qkv = {arg("q"), arg("k"), arg("v")};
    const std::vector<Arg> qkv_heads = {arg("q"), arg("k"), arg("v"), arg("n_heads")};
    return Class<StochasticAttention>("StochasticAttention")
        .init<[](std::size_t dim_k, std::optional<double> temperature) {
            return StochasticAttention::make(dim_k, temperature);
        }>({arg("dim_k"), arg("temperature", None)})
        .def<&single<&StochasticAttention::forward>>("forward", qkv)
        .def<&single<&StochasticAttention::forward_softmax>>("forward_softmax", qkv)
        .def<&forward_sc>("forward_sc", {arg("q"), arg("k"), arg("v"), arg("length", 1024), arg("seed", 44257)})
        .def<&heads<&StochasticAttention::forward_multihead>>("forward_multihead", qkv_heads)
        .def<&heads<&StochasticAttention::forward_multihead_softmax>>("forward_multihead_softmax", qkv_heads)
        .build();
}

}  // namespace py
