// Poisson counts for the networks' external drive: Knuth's product-of-uniforms method for
// small means, transformed rejection for large ones.
#pragma once
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "rng.hpp"

namespace poisson {

// Largest mean drawn by one product run. Beyond ~708 exp(-mean) is no longer a normal double
// and the product stops near 745 draws whatever the mean; a larger finite mean is drawn by
// transformed rejection, whose expected number of uniforms does not grow with the mean.
inline constexpr double kMaxRunMean = 700.0;

// Counts of one mean >= 0 from a generator, with U the uniform draws of the generator in order.
// A mean up to kMaxRunMean (and an infinite one, whose run ends when the product underflows)
// is k = -1, p = 1; repeat { p *= U; k += 1 } until p <= exp(-mean). A larger finite mean is
// drawn by transformed rejection with squeeze (two uniforms per trial, about 1.15 trials per
// count), the count saturating at 2^64 - 1 where it cannot be represented.
//
// The uniforms are drawn ahead in blocks, and for every buffered position the number of the
// first four products from there that stay above the limit is worked out at once: a run
// that ends within four draws (almost every run of a small mean) is then one table read
// instead of a loop whose exit branch is unpredictable. The counts and the sequence of
// uniforms are exactly those of drawing one uniform at a time; the generator only runs ahead
// by the uniforms still buffered.
class Knuth {
public:
    Knuth(double mean, rng::Xoshiro256pp gen) : gen_(gen) {
        if (mean > kMaxRunMean && std::isfinite(mean)) large_ = Rejection(mean);
        else limit_ = std::exp(-mean);
    }

    double limit() const { return limit_; }
    // Whether counts are drawn by rejection (a finite mean above kMaxRunMean).
    bool rejection() const { return large_.mean > 0.0; }

    uint64_t draw() { return Reader(*this).draw(); }

    // A loop of draws keeps its reading position here, in a local of its own, and hands it
    // back when it ends (stores through other pointers in the loop cannot then force it
    // to be reloaded from the record).
    class Reader {
    public:
        explicit Reader(Knuth& k) : k_(k), pos_(k.pos_) {}
        Reader(const Reader&) = delete;
        ~Reader() { k_.pos_ = pos_; }

        uint64_t draw() { return k_.rejection() ? draw_rejection() : draw_run(); }

    private:
        double uniform() {
            if (pos_ == kBlock) pos_ = k_.refill(pos_);
            return k_.u_[pos_++];
        }

        uint64_t draw_rejection();

        uint64_t draw_run() {
            if (pos_ + 4 > kBlock) pos_ = k_.refill(pos_);
            const unsigned m = k_.lead_[pos_];
            if (m < 4) {
                pos_ += m + 1;
                return m;
            }
            const double* u = k_.u_.data();
            double p = ((u[pos_] * u[pos_ + 1]) * u[pos_ + 2]) * u[pos_ + 3];
            pos_ += 4;
            for (uint64_t k = 4;; ++k) {
                if (pos_ == kBlock) pos_ = k_.refill(pos_);
                p *= u[pos_++];
                if (p <= k_.limit_) return k;
            }
        }

        Knuth& k_;
        std::size_t pos_;
    };

private:
    static constexpr std::size_t kBlock = 1024;

    // The constants of the rejection method for one mean (mean 0: not in use).
    struct Rejection {
        Rejection() = default;
        explicit Rejection(double mu);
        double mean = 0.0, log_mean = 0.0, a = 0.0, b = 0.0, log_inv_alpha = 0.0, v_r = 0.0;
        double whole = 0.0, frac = 0.0;  // floor(mean) and mean - floor(mean), both exact
    };

    // Keeps the uniforms from pos on, fills the rest of the block, recounts the leads, and
    // returns the new reading position.
    std::size_t refill(std::size_t pos);

    double limit_ = 1.0;
    Rejection large_;
    rng::Xoshiro256pp gen_;
    std::size_t pos_ = kBlock;  // empty: the first draw fills the block
    std::array<double, kBlock> u_{};
    std::array<uint8_t, kBlock> lead_{};
};

}  // namespace poisson
