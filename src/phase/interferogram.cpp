// Synthetic phase-shifting fringe frames.
#include "phase.hpp"

#include <cmath>

namespace zelnor {
namespace {

void fill_interferogram(const std::uint8_t* mask, const double* surface, std::size_t n, double scale,
                        double shift, std::uint16_t peak, std::uint16_t* out) {
    const double peak_d = static_cast<double>(peak);
    for (std::size_t i = 0; i < n; ++i) {
        if (mask[i] == 0) {
            out[i] = 0;
            continue;
        }
        const double p = scale * surface[i] + shift;
        const double value = ((std::sin(p) + 1.0) * 0.5) * peak_d;
        // The value lies in [0, peak]; a non-finite phase has a NaN sine, and
        // converting NaN to an integer is undefined, so it is stored as 0.
        out[i] = value == value ? static_cast<std::uint16_t>(static_cast<std::int32_t>(value)) : 0;
    }
}

}  // namespace
}  // namespace zelnor
