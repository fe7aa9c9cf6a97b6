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

// The work memory of one fast_unwrap call: the fill's per-pixel states (with
// a padding row above and below) and its queue, owned and released by the call.
struct FastUnwrapJob {
    bool wide = false;  // 64-bit queue entries
    std::uint8_t* state = nullptr;
    void* queue = nullptr;

    FastUnwrapJob() = default;
    FastUnwrapJob(const FastUnwrapJob&) = delete;
    FastUnwrapJob& operator=(const FastUnwrapJob&) = delete;
    ~FastUnwrapJob();
};

// Allocates the work memory for a rows x cols image; false when it cannot be had.
bool fast_unwrap_prepare(FastUnwrapJob& job, std::size_t rows, std::size_t cols);

// Unwraps the rows x cols wrapped phase map `surface` inside `mask` (a pixel
// is inside when its byte is non-zero) into `out`, all row-major. A
// breadth-first fill from the first mask pixel in flat order shifts each
// reached pixel by whole periods to within half a period of the pixel that
// reached it; the map is then centred on the mid-range of the reached values
// and multiplied by `scale`. Pixels outside the mask become 0.0; mask pixels
// outside the seed's region keep their wrapped values, centred and scaled.
// Touches no Python object.
void fast_unwrap_kernel(FastUnwrapJob& job, const std::uint8_t* mask, const double* surface, std::size_t rows,
                        std::size_t cols, double scale, double* out);

// Reliability-sorted unwrapper

// The work of one unwrap call: its sizes and its work memory, owned and
// released by the call, so that calls on other threads never share state.
struct UnwrapJob {
    std::size_t rows = 0;
    std::size_t cols = 0;
    bool pairs = false;  // some valid pixel has a valid right or lower neighbour
    bool wide = false;   // 64-bit pixel indices
    void* roughness = nullptr;
    void* nodes = nullptr;
    void* edges = nullptr;
    void* marks = nullptr;

    UnwrapJob() = default;
    UnwrapJob(const UnwrapJob&) = delete;
    UnwrapJob& operator=(const UnwrapJob&) = delete;
    ~UnwrapJob();
};

// The three steps of unwrapping a float32 phase map of rows x cols inside a
// uint8 mask (255 = valid) along the order of decreasing reliability.
//
// unwrap_prepare looks for two valid pixels side by side or one above the
// other and, if there are, allocates the work memory; false when it cannot
// be obtained. unwrap_draw then draws one rand() per pixel in flat order
// (none when there is no such pair); the generator is shared with the whole
// process, so the caller holds the interpreter lock. unwrap_run does the rest
// without touching Python: it writes all rows*cols elements of `out`, 0.0
// where the mask byte is 0, the input phase where no pair exists or the byte
// is neither 0 nor 255, and the unwrapped phase elsewhere. Inputs are only read.
bool unwrap_prepare(UnwrapJob& job, const std::uint8_t* mask, std::size_t rows, std::size_t cols);
void unwrap_draw(UnwrapJob& job);
void unwrap_run(UnwrapJob& job, const float* phase, const std::uint8_t* mask, float* out);

}  // namespace
}  // namespace zelnor
