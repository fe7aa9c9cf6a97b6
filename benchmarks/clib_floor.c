/* The floor of the exact method: the C library's sin / atan2 alone over the
 * same pixels, with no reading of frames or masks. Built by bench_phase.py. */
#include <math.h>
#include <stddef.h>

void sin_loop(const double* phase, size_t n, double* out) {
    for (size_t i = 0; i < n; ++i) {
        out[i] = sin(phase[i]);
    }
}

void atan2_loop(const double* numerator, const double* denominator, size_t n, double* out) {
    for (size_t i = 0; i < n; ++i) {
        out[i] = atan2(numerator[i], denominator[i]);
    }
}
