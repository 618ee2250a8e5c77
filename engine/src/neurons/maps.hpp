// Neurons defined as discrete-time maps: one step is one iteration, with the input added to
// the fast variable x (y, where there is one, is the slow variable). There is no time step.
// Every iteration computes the new values from the values at entry before storing any of
// them. All maps but IbarzTanakaMapNeuron report the upward crossing of x_threshold by x and
// reset nothing. Each expression keeps its written grouping so that the Python class and the
// network's dispatch agree bit for bit.
#pragma once
#include <cmath>
#include <cstdint>

#include "neurons/kinetics.hpp"

namespace neurons::maps {

struct ChialvoMapNeuron {
    double x = 0.0;
    double y = 0.0;
    double a = 0.89;
    double b = 0.6;
    double c = 0.28;
    double k = 0.04;
    double x_threshold = 1.0;

    int32_t step(double current) {
        const double x_new = current + std::exp(y - x) * x * x + k;
        const double y_new = c + (a * y - b * x);
        const int32_t spike = crossed(x, x_new, x_threshold);
        x = x_new;
        y = y_new;
        return spike;
    }

    void reset() {
        x = 0.0;
        y = 0.0;
    }
};

struct RulkovMapNeuron {
    double x = -1.0;
    double y = -3.0;
    double alpha = 4.0;
    double sigma = -1.6;
    double mu = 0.001;
    double x_threshold = 0.0;

    int32_t step(double current) {
        double f;
        if (x <= 0.0)
            f = alpha / (1.0 - x) + y;
        else if (x < alpha + y)
            f = alpha + y;
        else
            f = -1.0;  // at or above alpha + y, and a NaN x
        const double x_new = f + current;
        const double y_new = (y - (x + 1.0) * mu) + mu * sigma;
        const int32_t spike = crossed(x, x_new, x_threshold);
        x = x_new;
        y = y_new;
        return spike;
    }

    void reset() {
        x = -1.0;
        y = -3.0;
    }
};

// Rulkov-type map with a linear right branch; threshold and reset instead of a crossing, so
// every iteration that reaches the level spikes.
struct IbarzTanakaMapNeuron {
    double x = -1.0;
    double y = -2.5;
    double alpha = 3.65;
    double k = 0.25;
    double mu = 0.0005;
    double sigma = -1.6;
    double x_threshold = 3.0;
    double x_reset = -1.0;

    int32_t step(double current) {
        const double f = x <= 0.0 ? alpha / (1.0 - x) : alpha + k * x;
        const double x_new = (f + y) + current;
        y = (y - (x + 1.0) * mu) + mu * sigma;
        if (x_new >= x_threshold) {
            x = x_reset;
            return 1;
        }
        x = x_new;
        return 0;
    }

    void reset() {
        x = -1.0;
        y = -2.5;
    }
};

// One-variable logistic map taken modulo 1, so x stays in [0, 1] for finite input.
struct MedvedevMapNeuron {
    double x = 0.0;
    double r = 3.5;
    double input_gain = 0.5;
    double x_threshold = 0.9;

    int32_t step(double current) {
        const double z = current * input_gain + (1.0 - x) * (r * x);
        const double x_new = z - std::floor(z);
        const int32_t spike = crossed(x, x_new, x_threshold);
        x = x_new;
        return spike;
    }

    void reset() { x = 0.0; }
};

// Logistic map with a slow recovery variable; x is limited to [-2, 2] (a NaN stays NaN).
struct CazellesMapNeuron {
    double x = 0.1;
    double y = 0.0;
    double r = 3.8;
    double b = 0.01;
    double a = 0.5;
    double x_threshold = 0.9;

    int32_t step(double current) {
        const double t = (1.0 - x) * r * x - y + current;
        const double x_new = t < -2.0 ? -2.0 : (t > 2.0 ? 2.0 : t);
        const double y_new = (x - a) * b + y;
        const int32_t spike = crossed(x, x_new, x_threshold);
        x = x_new;
        y = y_new;
        return spike;
    }

    void reset() {
        x = 0.1;
        y = 0.0;
    }
};

// Piecewise-linear map: x itself inside (-1, 1), its sign outside; a NaN x stays NaN.
struct CourageNekorkinMapNeuron {
    double x = 0.0;
    double y = 0.0;
    double alpha = 3.0;
    double eps = 0.001;
    double beta = 0.1;
    double x_threshold = 1.0;

    int32_t step(double current) {
        const double F = std::fabs(x) < 1.0 ? x : (x >= 1.0 ? 1.0 : (x <= -1.0 ? -1.0 : x));
        const double x_new = current + (alpha * F - y) + beta;
        const double y_new = y + eps * x;
        const int32_t spike = crossed(x, x_new, x_threshold);
        x = x_new;
        y = y_new;
        return spike;
    }

    void reset() {
        x = 0.0;
        y = 0.0;
    }
};

}  // namespace neurons::maps
