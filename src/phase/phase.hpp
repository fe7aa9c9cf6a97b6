// Interferograms, phase retrieval and wrapping: the kernels of the phase subsystem.
//
// Every kernel walks its pixels once, in memory order, over contiguous
// row-major data, and writes every element of its output.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelnor {
namespace {

#if defined(__GNUC__) && defined(__x86_64__)
// Kernels whose exact arithmetic maps onto wider registers carry an AVX2
// variant, chosen at run time; the baseline build stays plain x86-64.
#define ZELNOR_PHASE_AVX2 1
inline bool detect_avx2() {
    __builtin_cpu_init();
    return static_cast<bool>(__builtin_cpu_supports("avx2"));
}
inline bool detect_avx512() {
    __builtin_cpu_init();
    return static_cast<bool>(__builtin_cpu_supports("avx512f")) &&
           static_cast<bool>(__builtin_cpu_supports("avx512dq")) &&
           static_cast<bool>(__builtin_cpu_supports("avx512vl")) &&
           static_cast<bool>(__builtin_cpu_supports("avx512bw"));
}
inline bool cpu_has_avx2() {
    static const bool available = detect_avx2();
    return available;
}
inline bool cpu_has_avx512() {
    static const bool available = detect_avx512();
    return available;
}
#endif

// One fringe frame: out[i] = trunc(((sin(scale*surface[i] + shift) + 1) * 0.5) * peak)
// where mask[i] is non-zero, 0 elsewhere and wherever the sine is NaN.
void fill_interferogram(const std::uint8_t* mask, const double* surface, std::size_t n, double scale,
                        double shift, std::uint16_t peak, std::uint16_t* out);

// Wrapped phase in radians from 4, 5 or 7 phase-shifted frames (frames[0..count)),
// each of n pixels; out[i] = atan2(numerator, denominator) of the count's combination.
// Returns false, writing nothing, for any other count.
bool fill_phase(const std::uint16_t* const* frames, int count, std::size_t n, double* out);

// Binary angle (65536 units to the turn) of the integer vector (x, y), an
// approximation of atan2(y, x) * 32768 / pi by six shift-and-add rotations.
// Exact for every vector five uint16 frames can produce.
inline std::int16_t fixed_atan2(std::int64_t x, std::int64_t y);

// Five-frame integer phase: out[i] = fixed_atan2(I0 - 2*I2 + I4, 2*(I3 - I1)).
void fill_phase5(const std::uint16_t* const* frames, std::size_t n, std::int16_t* out);

// One period centred on zero: out[i] = x - floor(x/period + 0.5) * period.
void fill_wrap(const double* surface, std::size_t n, double period, double* out);

}  // namespace
}  // namespace zelnor
