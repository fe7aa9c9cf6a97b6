// Phase retrieval from phase-shifted frames: double-precision atan2 of the
// 4-, 5- and 7-frame combinations, and the integer five-frame binary angle.
#include "phase.hpp"

#include <cmath>

namespace zelnor {
namespace {

// The double nearest to -sqrt(3): the 7-frame numerator's weight.
constexpr double MINUS_SQRT3 = -1.7320508075688772;

// The integer combinations stay below 2^21 in magnitude, so forming them in
// int32 and converting once gives the same doubles as summing in double; a
// zero converts to +0.0, as a difference of equal doubles would.

void phase4(const std::uint16_t* const* f, std::size_t n, double* out) {
    const std::uint16_t* i0 = f[0];
    const std::uint16_t* i1 = f[1];
    const std::uint16_t* i2 = f[2];
    const std::uint16_t* i3 = f[3];
    for (std::size_t i = 0; i < n; ++i) {
        const double numerator = static_cast<double>(std::int32_t{i3[i]} - std::int32_t{i1[i]});
        const double denominator = static_cast<double>(std::int32_t{i0[i]} - std::int32_t{i2[i]});
        out[i] = std::atan2(numerator, denominator);
    }
}

void phase5_double(const std::uint16_t* const* f, std::size_t n, double* out) {
    const std::uint16_t* i0 = f[0];
    const std::uint16_t* i1 = f[1];
    const std::uint16_t* i2 = f[2];
    const std::uint16_t* i3 = f[3];
    const std::uint16_t* i4 = f[4];
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t a = i0[i], b = i1[i], c = i2[i], d = i3[i], e = i4[i];
        // Negated after conversion: a zero sum gives -0.0, and so -pi rather than +pi.
        const double numerator = -static_cast<double>(3 * b - 3 * c - d + e);
        const double denominator = static_cast<double>(a - b - 3 * c + 3 * d);
        out[i] = std::atan2(numerator, denominator);
    }
}

void phase7(const std::uint16_t* const* f, std::size_t n, double* out) {
    const std::uint16_t* i0 = f[0];
    const std::uint16_t* i1 = f[1];
    const std::uint16_t* i2 = f[2];
    const std::uint16_t* i3 = f[3];
    const std::uint16_t* i4 = f[4];
    const std::uint16_t* i5 = f[5];
    const std::uint16_t* i6 = f[6];
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t a = i0[i], b = i1[i], c = i2[i], d = i3[i], e = i4[i], g = i5[i], h = i6[i];
        // The negative weight turns a zero sum into -0.0.
        const double numerator = static_cast<double>(b + c - e - g) * MINUS_SQRT3;
        const double denominator = static_cast<double>(a + b - c - 2 * d - e + g + h);
        out[i] = std::atan2(numerator, denominator);
    }
}

bool fill_phase(const std::uint16_t* const* frames, int count, std::size_t n, double* out) {
    switch (count) {
        case 4:
            phase4(frames, n, out);
            return true;
        case 5:
            phase5_double(frames, n, out);
            return true;
        case 7:
            phase7(frames, n, out);
            return true;
        default:
            return false;
    }
}

// Selects without branches: an all-ones `mask` picks `a`, zero picks `b`.
// The tests are close to coin tosses on real fringes, and straight-line code
// lets the compiler work on several pixels per instruction.
inline std::int64_t select(std::int64_t mask, std::int64_t a, std::int64_t b) {
    return b ^ ((a ^ b) & mask);
}

inline std::int64_t all_ones_if(bool condition) {
    return -static_cast<std::int64_t>(condition);
}

// One vectoring step: rotate (x, y) by -atan(2^-k) when 2^k*y > x.
template <int k>
inline void cordic_step(std::int64_t& x, std::int64_t& y, std::int64_t& base, std::int64_t angle) {
    const std::int64_t xs = x * (std::int64_t{1} << k);
    const std::int64_t ys = y * (std::int64_t{1} << k);
    const std::int64_t taken = all_ones_if(ys > x);
    const std::int64_t nx = xs + y;
    const std::int64_t ny = ys - x;
    x = select(taken, nx, x);
    y = select(taken, ny, y);
    base += angle & taken;
}

// Largest correction quotient: after the six steps y/x <= 1/32, so
// (y * 10427) / x <= 325, which fits in QUOTIENT_BITS bits.
constexpr int QUOTIENT_BITS = 9;

inline std::int16_t fixed_atan2(std::int64_t x_in, std::int64_t y_in) {
    // Half-turn fold: negate both components when y < 0.
    const std::int64_t flip = all_ones_if(y_in < 0);
    const std::int64_t hx = (x_in ^ flip) - flip;
    const std::int64_t hy = (y_in ^ flip) - flip;
    std::int64_t base = flip & -32768;
    // Quarter-turn fold into the first quadrant.
    const std::int64_t left = all_ones_if(hx < 0);
    std::int64_t x = select(left, hy, hx);
    std::int64_t y = select(left, -hx, hy);
    base += left & 16384;
    // atan(2^-k) in units of 2*pi/65536, rounded to the nearest integer.
    cordic_step<0>(x, y, base, 8192);
    cordic_step<1>(x, y, base, 4836);
    cordic_step<2>(x, y, base, 2555);
    cordic_step<3>(x, y, base, 1297);
    cordic_step<4>(x, y, base, 651);
    cordic_step<5>(x, y, base, 326);
    // q = (y * 10427) / x, truncating, by restoring division: the quotient is
    // short and every bit of it is a compare and a subtract. x is 0 only for
    // the zero vector, where y is 0 too; dividing by 1 then gives q = 0.
    const std::int64_t divisor = x + static_cast<std::int64_t>(x == 0);
    std::int64_t remainder = y * 10427;
    std::int64_t q = 0;
    for (int bit = QUOTIENT_BITS - 1; bit >= 0; --bit) {
        const std::int64_t part = divisor * (std::int64_t{1} << bit);
        const std::int64_t fits = all_ones_if(part <= remainder);
        remainder -= part & fits;
        q |= (std::int64_t{1} << bit) & fits;
    }
    // Low 16 bits of base + q, read as a signed binary angle.
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::uint64_t>(base + q)));
}

inline void phase5_pixels(const std::uint16_t* __restrict i0, const std::uint16_t* __restrict i1,
                          const std::uint16_t* __restrict i2, const std::uint16_t* __restrict i3,
                          const std::uint16_t* __restrict i4, std::size_t n, std::int16_t* __restrict out) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t x = std::int64_t{i0[i]} - 2 * std::int64_t{i2[i]} + std::int64_t{i4[i]};
        const std::int64_t y = 2 * (std::int64_t{i3[i]} - std::int64_t{i1[i]});
        out[i] = fixed_atan2(x, y);
    }
}

void phase5_scalar(const std::uint16_t* const* f, std::size_t n, std::int16_t* out) {
    phase5_pixels(f[0], f[1], f[2], f[3], f[4], n, out);
}

#ifdef ZELNOR_PHASE_AVX2
// The same code, compiled for four 64-bit lanes.
__attribute__((target("avx2"))) void phase5_avx2(const std::uint16_t* const* f, std::size_t n,
                                                 std::int16_t* out) {
    phase5_pixels(f[0], f[1], f[2], f[3], f[4], n, out);
}
__attribute__((target("avx512f,avx512dq,avx512vl,avx512bw"))) void phase5_avx512(
    const std::uint16_t* const* f, std::size_t n, std::int16_t* out) {
    phase5_pixels(f[0], f[1], f[2], f[3], f[4], n, out);
}
#endif

void fill_phase5(const std::uint16_t* const* frames, std::size_t n, std::int16_t* out) {
#ifdef ZELNOR_PHASE_AVX2
    if (cpu_has_avx512()) {
        phase5_avx512(frames, n, out);
        return;
    }
    if (cpu_has_avx2()) {
        phase5_avx2(frames, n, out);
        return;
    }
#endif
    phase5_scalar(frames, n, out);
}

}  // namespace
}  // namespace zelnor
