// Kuramoto phase oscillators integrated by explicit Euler steps, with seeded phase noise and
// the extended (SSGF) step: two extra weighted sine couplings and a field-pressure term.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kvra::kuramoto {

inline constexpr double kTwoPi = 6.283185307179586;

// Fills every entry of out with a standard normal value (Box-Muller on a fresh ChaCha8 seeded
// with seed). Pairs take the cosine and sine of one draw pair; an odd last entry takes the
// cosine of a pair of its own.
void fill_standard_normals(std::span<double> out, uint64_t seed);

// Order parameter R = |mean of exp(i theta)| of the given phases; 0.0 for no phases.
double order_parameter(std::span<const double> phases);

// Argument checks of the Python class, raising engine::Error with its messages.
// Constructor, after omega, phases and noise_amp are converted:
void check_new(std::size_t omega_len, std::size_t phases_len);
// Constructor and set_coupling, after the coupling matrix is converted to rows x cols:
void check_coupling_shape(std::size_t n, std::size_t rows, std::size_t cols);

struct KuramotoSolver {
    std::vector<double> omega;     // natural frequencies, N
    std::vector<double> coupling;  // K, row-major N x N; row i receives
    std::vector<double> phases;    // theta, N
    std::vector<double> velocity;  // scratch: phase velocities of the last step
    std::vector<double> noise;     // scratch: standard normals of the last step
    std::size_t n;
    double noise_amp;
    double field_pressure = 0.0;

    // Stops (panics) on an empty omega or on phase or coupling lengths that do not fit N.
    KuramotoSolver(std::vector<double> omega, std::vector<double> coupling,
                   std::vector<double> initial_phases, double noise_amp);

    // One plain Euler step; returns R of the new phases.
    double step(double dt, uint64_t seed);

    // One extended step. w_flat and h_flat are each empty or row-major N x N; a non-empty one
    // of the wrong length with a nonzero weight stops the call before any phase changes.
    double step_ssgf(double dt, uint64_t seed, std::span<const double> w_flat,
                     std::span<const double> h_flat, double sigma_g, double pgbo_weight);

    // n_steps steps; step k uses seed + k (wrapping), or 0 throughout when seed is 0.
    std::vector<double> run(std::size_t n_steps, double dt, uint64_t seed);
    std::vector<double> run_ssgf(std::size_t n_steps, double dt, uint64_t seed,
                                 std::span<const double> w_flat, std::span<const double> h_flat,
                                 double sigma_g, double pgbo_weight);

    // Replaces K; stops when the length is not N*N.
    void set_coupling(std::vector<double> c);

    // Replaces the phases as given (no wrapping); engine::Error on a length other than N.
    void set_phases(std::vector<double> p);

    double order_parameter() const { return kuramoto::order_parameter(phases); }

private:
    struct Terms;
    double advance(double dt, uint64_t seed, const Terms& terms);

    // Scratch of the sine rows: the oscillators in approximate phase order.
    std::vector<uint32_t> order_;
    std::vector<double> sorted_;
    std::vector<uint32_t> counts_;
};

}  // namespace kvra::kuramoto
