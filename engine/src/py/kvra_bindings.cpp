// KuramotoSolver, KVRAMetrics and py_phi_star.
#include <array>

#include "bindings.hpp"
#include "kvra/kuramoto.hpp"
#include "kvra/metrics.hpp"
#include "matrix.hpp"
#include "numpy.hpp"
#include "phi.hpp"

namespace py {

namespace {

using kvra::kuramoto::KuramotoSolver;
using kvra::metrics::KVRAMetrics;

// A sequence of exactly N floats. The length is checked before any element is converted, so
// a wrong length is reported as such even when the elements are not floats.
template <std::size_t N>
struct Fixed {
    std::array<double, N> v;
};

}  // namespace

template <std::size_t N>
struct Conv<Fixed<N>> {
    static Fixed<N> load(PyObject* o) {
        if (!PySequence_Check(o)) not_instance(o, "Sequence");
        const Py_ssize_t len = PySequence_Size(o);
        if (len < 0) raise_set();
        kvra::metrics::check_length(N, static_cast<std::size_t>(len));
        // The items as iteration gives them, held while they convert: a conversion that
        // changes the sequence cannot leave a stale length behind.
        Ref items = Ref::check(PySequence_Tuple(o));
        kvra::metrics::check_length(N, static_cast<std::size_t>(PyTuple_GET_SIZE(items.get())));
        Fixed<N> out;
        for (std::size_t i = 0; i < N; ++i)
            out.v[i] = Conv<double>::load(PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)));
        return out;
    }
};

namespace {

// The coupling matrix as the constructor and set_coupling accept it: N x N rows, or one row
// (flat or nested) of N*N values.
std::vector<double> coupling_of(Obj coupling, std::size_t n) {
    FlatMatrix m = extract_matrix_f64(coupling.ptr, "coupling");
    kvra::kuramoto::check_coupling_shape(n, m.rows, m.cols);
    return std::move(m.values);
}

// Conversion runs in parameter order, and `coupling` is taken as a plain object, so omega,
// phases and noise_amp are converted and checked before the coupling is looked at.
KuramotoSolver make_solver(std::vector<double> omega, Obj coupling, std::vector<double> phases,
                           double noise_amp) {
    kvra::kuramoto::check_new(omega.size(), phases.size());
    std::vector<double> k = coupling_of(coupling, omega.size());
    return KuramotoSolver(std::move(omega), std::move(k), std::move(phases), noise_amp);
}

double step_ssgf(KuramotoSolver& s, double dt, uint64_t seed, std::vector<double> w_flat,
                 double sigma_g, std::vector<double> h_flat, double pgbo_weight) {
    return s.step_ssgf(dt, seed, w_flat, h_flat, sigma_g, pgbo_weight);
}

std::vector<double> run_ssgf(KuramotoSolver& s, std::size_t n_steps, double dt, uint64_t seed,
                             std::vector<double> w_flat, double sigma_g,
                             std::vector<double> h_flat, double pgbo_weight) {
    return s.run_ssgf(n_steps, dt, seed, w_flat, h_flat, sigma_g, pgbo_weight);
}

// NumPy's shape and byte strides go to the engine unchanged: any layout is read in place.
double phi_star(np::Array<double, 2> data, std::size_t tau) {
    const auto v = data.view();
    return phi::phi_star(v.data, v.dim(0), v.dim(1), v.stride(0), v.stride(1), tau);
}

}  // namespace

Ref kuramoto_solver_class() {
    const std::vector<Arg> ssgf = {arg("dt"),          arg("seed", 0),   arg_default("w_flat"),
                                   arg("sigma_g", 0.0), arg_default("h_flat"), arg("pgbo_weight", 0.0)};
    std::vector<Arg> run_ssgf_args = {arg("n_steps")};
    run_ssgf_args.insert(run_ssgf_args.end(), ssgf.begin(), ssgf.end());
    return Class<KuramotoSolver>("KuramotoSolver")
        .init<&make_solver>({arg("omega"), arg("coupling"), arg("phases"), arg("noise_amp", 0.1)})
        .def<[](KuramotoSolver& s, double dt, uint64_t seed) { return s.step(dt, seed); }>(
            "step", {arg("dt"), arg("seed", 0)})
        .def<[](KuramotoSolver& s, std::size_t n_steps, double dt, uint64_t seed) {
            return s.run(n_steps, dt, seed);
        }>("run", {arg("n_steps"), arg("dt"), arg("seed", 0)})
        .def<&step_ssgf>("step_ssgf", ssgf)
        .def<&run_ssgf>("run_ssgf", run_ssgf_args)
        .def<[](const KuramotoSolver& s) { return s.phases; }>("get_phases")
        .def<[](KuramotoSolver& s, std::vector<double> phases) { s.set_phases(std::move(phases)); }>(
            "set_phases", {arg("phases")})
        .def<[](KuramotoSolver& s, Obj coupling) { s.set_coupling(coupling_of(coupling, s.n)); }>(
            "set_coupling", {arg("coupling")})
        .def<[](const KuramotoSolver& s) { return s.order_parameter(); }>("order_parameter")
        .def<[](KuramotoSolver& s, double f) { s.field_pressure = f; }>("set_field_pressure",
                                                                         {arg("f")})
        .build();
}

Ref kvra_metrics_class() {
    return Class<KVRAMetrics>("KVRAMetrics")
        .init<[] { return KVRAMetrics{}; }>()
        .def_static<[](Fixed<7> weights, Fixed<7> metrics) {
            return KVRAMetrics::global_coherence(weights.v, metrics.v);
        }>("global_coherence", {arg("weights"), arg("metrics")})
        .def_static<[](std::vector<double> phases_l4, Fixed<6> glyph_l7) {
            return KVRAMetrics::consciousness_index(phases_l4, glyph_l7.v);
        }>("consciousness_index", {arg("phases_l4"), arg("glyph_l7")})
        .build();
}

Ref phi_star_function() { return function<&phi_star>("py_phi_star", {arg("data"), arg("tau")}); }

}  // namespace py
