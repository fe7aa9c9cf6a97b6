// Round and threshold masks.
#include "pupil.hpp"

#include <memory>
#include <new>

namespace zelnor {
namespace {

bool fill_roundmask(std::uint8_t* out, std::size_t rows, std::size_t cols, double limit) {
    if (rows == 0 || cols == 0) {
        return true;
    }
    const PupilGrid grid(rows, cols);
    std::unique_ptr<double[]> xx(new (std::nothrow) double[cols]);
    if (!xx) {
        return false;
    }
    // x*x per column once; the sum x*x + y*y is then one addition per pixel.
    grid.column_coordinates(xx.get());
    for (std::size_t c = 0; c < cols; ++c) {
        xx[c] = xx[c] * xx[c];
    }
    double y = grid.first_y();
    for (std::size_t r = 0; r < rows; ++r) {
        const double yy = y * y;
        std::uint8_t* row = out + r * cols;
        for (std::size_t c = 0; c < cols; ++c) {
            // Ordered comparison: a NaN limit or sum gives 0.
            row[c] = static_cast<std::uint8_t>(limit >= xx[c] + yy);
        }
        y += grid.step_y;
    }
    return true;
}

void fill_threshold_mask(const double* surface, std::size_t n, double threshold, std::uint8_t* out) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>(surface[i] >= threshold);
    }
}

}  // namespace
}  // namespace zelnor
