// Phase unwrapping: the kernels of the unwrap subsystem.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelnor {
namespace {

// Fast flood-fill unwrapper

// Half a period of the flood fill: a plain decimal constant, deliberately not
// the full double-precision pi, so results match the established arithmetic.
constexpr double FAST_UNWRAP_HALF_PERIOD = 3.14159265;

// Unwraps the rows x cols wrapped phase map `surface` inside `mask` (a pixel
// is inside when its byte is non-zero) into `out`, all row-major. A
// breadth-first fill from the first mask pixel in flat order shifts each
// reached pixel by whole periods to within half a period of the pixel that
// reached it; the map is then centred on the mid-range of the reached values
// and multiplied by `scale`. Pixels outside the mask become 0.0; mask pixels
// outside the seed's region keep their wrapped values, centred and scaled.
// False (with `out` not fully written) when the work memory cannot be had.
bool fast_unwrap_kernel(const std::uint8_t* mask, const double* surface, std::size_t rows,
                        std::size_t cols, double scale, double* out);

// Reliability-sorted unwrapper

// Number of edges built by the run in progress; 0 whenever no run is in progress.
std::size_t edge_count = 0;

// Unwraps a float32 phase map of rows x cols inside a uint8 mask (255 = valid)
// along the order of decreasing reliability; writes all rows*cols elements of
// `out`. Inputs are only read. Draws one rand() per pixel unless no two valid
// pixels touch side by side or one above the other, in which case `out` is a
// copy of `phase` and nothing is drawn. False when the work memory cannot be
// obtained (nothing drawn, `out` unwritten).
bool unwrap_core(const float* phase, float* out, const std::uint8_t* mask, std::size_t rows,
                 std::size_t cols);

}  // namespace
}  // namespace zelnor
