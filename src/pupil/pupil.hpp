// Pupil grid, masks and Zernike surfaces: the kernels of the pupil subsystem.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelnor {
namespace {

// Normalised coordinates of the pixel centres of a rows x cols image: x along
// columns, y along rows, both inside (-1, 1); the first row has the most
// negative y. Coordinates are accumulated by repeated addition, never
// recomputed from the index, so every consumer sees the same bits.
struct PupilGrid {
    PupilGrid(std::size_t rows_, std::size_t cols_)
        : rows(rows_), cols(cols_),
          step_x(2.0 / static_cast<double>(cols_)),
          step_y(2.0 / static_cast<double>(rows_)) {}

    // x of every column, in order (identical for every row).
    void column_coordinates(double* xs) const {
        double x = step_x * 0.5 - 1.0;
        for (std::size_t c = 0; c < cols; ++c) {
            xs[c] = x;
            x += step_x;
        }
    }

    // y of row 0; the y of each further row is the previous one plus step_y.
    double first_y() const { return step_y * 0.5 - 1.0; }

    std::size_t rows;
    std::size_t cols;
    double step_x;
    double step_y;
};

// Circular mask: out[r*cols + c] = (limit >= x*x + y*y). False when the
// scratch row cannot be allocated (nothing written then).
bool fill_roundmask(std::uint8_t* out, std::size_t rows, std::size_t cols, double limit);

// Threshold mask: out[i] = (surface[i] >= threshold) for i < n.
void fill_threshold_mask(const double* surface, std::size_t n, double threshold, std::uint8_t* out);

// Slots of the Zernike term table: Fringe terms 1 to 29, then seven zero slots.
constexpr std::size_t ZERNIKE_SLOTS = 36;

// Surface from Fringe coefficients: out[r*cols + c] is the sum, in increasing
// slot order from 0.0, of term(x, y) * coefficient over the first
// min(n_coefficients, 36) slots whose coefficient is not equal to zero, at
// inside pixels; 0.0 outside. False when out of memory.
bool fill_zernike_surface(const double* coefficients, std::size_t n_coefficients, const std::uint8_t* mask,
                          std::size_t rows, std::size_t cols, double* out);

// Term matrix of `count` rows of rows*cols values: row k holds slot k's term at
// the inside pixels and 0.0 elsewhere; rows from 36 up are zeros. False when
// out of memory.
bool fill_zernike_matrix(const std::uint8_t* mask, std::size_t rows, std::size_t cols, std::size_t count,
                         double* out);

}  // namespace
}  // namespace zelnor
