// Wrapping into one period.
#include "phase.hpp"

#include <cmath>
#ifdef ZELNOR_PHASE_AVX2
#include <immintrin.h>
#endif

namespace zelnor {
namespace {

// Each operation is rounded on its own; the build forbids contracting to FMA.
inline double wrap_one(double x, double period) {
    const double turns = std::floor(x / period + 0.5);
    return x - turns * period;
}

void wrap_scalar(const double* surface, std::size_t n, double period, double* out) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = wrap_one(surface[i], period);
    }
}

#ifdef ZELNOR_PHASE_AVX2
// Four lanes of the same operations. floor has one correct result, so the
// rounding instruction gives the C library's bits, NaN and -0.0 included.
__attribute__((target("avx2"))) void wrap_avx2(const double* surface, std::size_t n, double period,
                                               double* out) {
    const __m256d p = _mm256_set1_pd(period);
    const __m256d half = _mm256_set1_pd(0.5);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d x = _mm256_loadu_pd(surface + i);
        const __m256d t = _mm256_add_pd(_mm256_div_pd(x, p), half);
        const __m256d turns = _mm256_round_pd(t, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
        _mm256_storeu_pd(out + i, _mm256_sub_pd(x, _mm256_mul_pd(turns, p)));
    }
    for (; i < n; ++i) {
        out[i] = wrap_one(surface[i], period);
    }
}
#endif

void fill_wrap(const double* surface, std::size_t n, double period, double* out) {
#ifdef ZELNOR_PHASE_AVX2
    if (cpu_has_avx2()) {
        wrap_avx2(surface, n, period, out);
        return;
    }
#endif
    wrap_scalar(surface, n, period, out);
}

}  // namespace
}  // namespace zelnor
