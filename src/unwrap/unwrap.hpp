// Phase unwrapping: the kernels of the unwrap subsystem.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelnor {
namespace {

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
