// PGM files, noise and binning: the kernels of the image-file subsystem.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace zelnor {
namespace {

// ---- PGM files ("P5", 8 and 16 bit) ----

enum class PgmSaveStatus { ok, cannot_open, cannot_write };

// Writes a float64 image as an 8-bit PGM (maxval 255) through the fixed grey
// mapping of pgm_grey_level(). An existing regular file is replaced only by a
// complete new one; cannot_open when the file cannot be created, cannot_write
// when a write, the close or the final rename fails.
PgmSaveStatus write_pgm_float64(const char* path, const double* values, std::size_t rows, std::size_t cols,
                                double scale);

// Writes a uint16 image: maxval is the largest sample (at least 1), one byte
// per sample when that is at most 255, else two bytes, most significant first.
// Fails as write_pgm_float64().
PgmSaveStatus write_pgm_uint16(const char* path, const std::uint16_t* samples, std::size_t width,
                               std::size_t height);

// Reads one decimal header number of at most `limit` bytes, echoing every byte
// read to the C library's stdout. '#' comments run to the next line feed and
// may sit anywhere before the separator. Returns the bytes consumed, the
// separator included, or -1 (bad byte, or no separator within the limit).
std::int64_t read_pgm_number(std::FILE* file, std::uint64_t limit, std::uint32_t* value,
                             unsigned char separator);

enum class PgmLoadStatus { ok, cannot_open, cannot_load };

// An open PGM file whose header has been read and whose raster is known to be
// present in full. Closes its file on destruction.
struct PgmReader {
    PgmReader() = default;
    PgmReader(const PgmReader&) = delete;
    PgmReader& operator=(const PgmReader&) = delete;
    ~PgmReader() {
        if (file != nullptr) {
            std::fclose(file);
        }
    }

    std::FILE* file = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::size_t sample_bytes = 1;  // 1 (maxval <= 255) or 2
    std::size_t raster_bytes = 0;  // width * height * sample_bytes, > 0
};

// Opens `path` and reads its header. cannot_open when the file cannot be
// opened; cannot_load for anything that is not a complete binary PGM raster
// in a regular file. Takes no storage for the raster.
PgmLoadStatus open_pgm(const char* path, PgmReader& reader);

// Reads the raster into `out` (raster_bytes bytes), 16-bit samples converted
// to native order. False when the file yields fewer bytes than announced.
bool read_pgm_raster(PgmReader& reader, void* out);

// ---- noise and binning ----

// out[i] = (r / 32767.0 - 0.5) * amplitude + in[i], with one 15-bit rand()
// draw r per element in flat order.
void add_uniform_noise(const double* in, std::size_t n, double amplitude, double* out);

// Sums each factor x factor block of a rows x cols image into one element of
// the (rows / factor) x (cols / factor) result, in row-major order of the
// block's pixels; incomplete blocks at the bottom and right are dropped.
// factor must be at least 1.
void bin_image_sum(const double* in, std::size_t rows, std::size_t cols, std::size_t factor,
                   double* out);

}  // namespace
}  // namespace zelnor
