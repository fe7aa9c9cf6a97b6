// Uniform noise and block binning of float64 maps.
#include "imageio.hpp"

#include <cstdlib>

namespace zelnor {
namespace {

void add_uniform_noise(const double* in, std::size_t n, double amplitude, double* out) {
    for (std::size_t i = 0; i < n; ++i) {
        // rand() reduced to 15 bits, so the noise has 32768 levels on every platform.
        const int r = std::rand() % 32768;
        out[i] = (static_cast<double>(r) / 32767.0 - 0.5) * amplitude + in[i];
    }
}

void bin_image_sum(const double* in, std::size_t rows, std::size_t cols, std::size_t factor,
                   double* out) {
    const std::size_t out_rows = rows / factor;
    const std::size_t out_cols = cols / factor;
    for (std::size_t ro = 0; ro < out_rows; ++ro) {
        double* sums = out + ro * out_cols;
        for (std::size_t co = 0; co < out_cols; ++co) {
            sums[co] = 0.0;
        }
        // Row by row through the block, left to right within each row: every
        // sum takes its pixels in row-major order, starting from 0.0.
        for (std::size_t k = 0; k < factor; ++k) {
            const double* row = in + (ro * factor + k) * cols;
            if (factor == 2) {
                for (std::size_t co = 0; co < out_cols; ++co) {
                    sums[co] = sums[co] + row[2 * co] + row[2 * co + 1];
                }
                continue;
            }
            for (std::size_t co = 0; co < out_cols; ++co) {
                const double* block = row + co * factor;
                double sum = sums[co];
                for (std::size_t q = 0; q < factor; ++q) {
                    sum += block[q];
                }
                sums[co] = sum;
            }
        }
    }
}

}  // namespace
}  // namespace zelnor
