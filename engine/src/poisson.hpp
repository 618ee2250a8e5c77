// Poisson counts by Knuth's product-of-uniforms method, for the networks' external drive.
#pragma once
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "rng.hpp"

namespace poisson {

// Largest mean of one product run. Beyond ~708 exp(-mean) is no longer a normal double and
// the product stops near 745 draws whatever the mean; a larger mean is drawn as the sum of
// equal runs of at most this mean (a sum of Poisson counts is a Poisson count).
inline constexpr double kMaxRunMean = 700.0;

// Runs needed for a mean: ceil(mean / kMaxRunMean), saturating.
inline uint64_t runs_for(double mean) {
    const double r = std::ceil(mean / kMaxRunMean);
    if (!(r < 18446744073709551616.0)) return UINT64_MAX;
    return static_cast<uint64_t>(r);
}

// Counts of one mean >= 0 from a generator. Each count is the sum over its runs of
// k = -1, p = 1; repeat { p *= U; k += 1 } until p <= limit, with U the uniform draws of the
// generator in order. A mean up to kMaxRunMean (and an infinite one, whose single run ends
// when the product underflows) is one run with limit exp(-mean).
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
        if (mean > kMaxRunMean && std::isfinite(mean)) {
            runs_ = runs_for(mean);
            mean = mean / static_cast<double>(runs_);
        }
        limit_ = std::exp(-mean);
    }

    double limit() const { return limit_; }
    uint64_t runs() const { return runs_; }

    uint64_t draw() { return Reader(*this).draw(); }

    // A loop of draws keeps its reading position here, in a local of its own, and hands it
    // back when it ends (stores through other pointers in the loop cannot then force it
    // to be reloaded from the record).
    class Reader {
    public:
        explicit Reader(Knuth& k) : k_(k), pos_(k.pos_) {}
        Reader(const Reader&) = delete;
        ~Reader() { k_.pos_ = pos_; }

        uint64_t draw() {
            uint64_t k = draw_run();
            for (uint64_t r = 1; r < k_.runs_; ++r) k += draw_run();
            return k;
        }

    private:
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

    // Keeps the uniforms from pos on, fills the rest of the block, recounts the leads, and
    // returns the new reading position.
    std::size_t refill(std::size_t pos);

    double limit_ = 1.0;
    uint64_t runs_ = 1;
    rng::Xoshiro256pp gen_;
    std::size_t pos_ = kBlock;  // empty: the first draw fills the block
    std::array<double, kBlock> u_{};
    std::array<uint8_t, kBlock> lead_{};
};

}  // namespace poisson
