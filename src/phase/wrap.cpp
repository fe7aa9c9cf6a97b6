// Wrapping into one period.
#include "phase.hpp"

#include <cmath>

namespace zelnor {
namespace {

void fill_wrap(const double* surface, std::size_t n, double period, double* out) {
    for (std::size_t i = 0; i < n; ++i) {
        const double x = surface[i];
        // Each operation rounded on its own; the build forbids contracting to FMA.
        const double turns = std::floor(x / period + 0.5);
        out[i] = x - turns * period;
    }
}

}  // namespace
}  // namespace zelnor
