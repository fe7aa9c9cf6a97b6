// Binary PGM ("P5") reading and writing.
#include "imageio.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>

namespace zelnor {
namespace {

// Header and samples are converted into one block of this size and written
// with one write() per block: a 1024 x 1024 file costs a few system
// calls rather than one per sample or per stdio buffer.
constexpr std::size_t PGM_BLOCK_BYTES = 1 << 20;
// Used when the block cannot be allocated: slower, same bytes.
constexpr std::size_t PGM_SMALL_BLOCK_BYTES = 1 << 12;
constexpr std::size_t PGM_HEADER_ROOM = 64;

// A 16-bit sample in big-endian byte order (the same operation converts back).
inline std::uint16_t to_big_endian(std::uint16_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return v;
#else
    return static_cast<std::uint16_t>((v << 8) | (v >> 8));
#endif
}

// Grey level of a float64 sample: the low 8 bits of trunc(v*127*s + 127),
// unclamped; NaN and truncations outside the int32 range give 0.
inline std::uint8_t pgm_grey_level(double v, double scale) {
    const double level = v * 127.0 * scale + 127.0;
    // A select rather than a branch, so that the loop over a chunk vectorises.
    const bool in_range = level > -2147483649.0 && level < 2147483648.0;
    const double safe = in_range ? level : 0.0;
    return static_cast<std::uint8_t>(static_cast<std::uint32_t>(static_cast<std::int32_t>(safe)));
}

// Writes all `size` bytes to `fd`, resuming after partial writes and signals.
bool write_all(int fd, const unsigned char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t done = ::write(fd, bytes, size);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (done == 0) {
            return false;
        }
        bytes += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

// The destination of one save. A regular file (or a path where nothing stands yet) is written
// to a temporary file beside it and renamed into place once complete, so a failed save never
// leaves a cut-off file where a complete one stood. Anything else (a FIFO, a terminal,
// /dev/stdout, /dev/full), or a writable file in a folder where no file can be created, is opened
// and written in place, as "wb" would.
class PgmDestination {
  public:
    PgmDestination() = default;
    PgmDestination(const PgmDestination&) = delete;
    PgmDestination& operator=(const PgmDestination&) = delete;
    ~PgmDestination() { abandon(); }

    bool open(const char* path) {
        target_ = path;
        if (target_.empty() || target_.back() == '/' || in_special_tree(path)) {
            return open_in_place(path);
        }
        struct stat info;
        const bool is_link = ::lstat(path, &info) == 0 && S_ISLNK(info.st_mode);
        if (::stat(path, &info) != 0) {
            if (errno != ENOENT) {
                return false;  // a folder on the way cannot be searched, a loop of links...
            }
            // A new file; a dangling link is followed and its target created, as "wb" does.
            return is_link ? open_in_place(path) : create_temporary();
        }
        if (!S_ISREG(info.st_mode)) {
            return open_in_place(path);
        }
        if (is_link) {
            // Replace the file the link names, not the link itself.
            char* resolved = ::realpath(path, nullptr);
            if (resolved == nullptr) {
                return false;
            }
            target_ = resolved;
            std::free(resolved);
        }
        // Only a file that "wb" could open is replaced: a read-only file stays as it is.
        const int probe = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC);
        if (probe < 0) {
            return false;
        }
        ::close(probe);
        if (!create_temporary()) {
            // A folder that admits no new entry still lets "wb" rewrite a writable file in it: so do we,
            // in place, which gives up only the all-or-nothing replacement.
            return (errno == EACCES || errno == EPERM) && open_in_place(target_.c_str());
        }
        // The replacement keeps the owner (where allowed) and the mode of the file it replaces.
        if (info.st_uid != ::geteuid() || info.st_gid != ::getegid()) {
            (void)::fchown(fd_, info.st_uid, info.st_gid);
        }
        (void)::fchmod(fd_, info.st_mode & 07777);
        return true;
    }

    bool write(const unsigned char* bytes, std::size_t size) { return write_all(fd_, bytes, size); }

    // Closes the file and, for a replaced file, renames it into place; false on any failure,
    // after which nothing of the temporary file remains.
    bool commit() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) {
            abandon();
            return false;
        }
        if (!temporary_.empty()) {
            if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
                abandon();
                return false;
            }
            temporary_.clear();
        }
        return true;
    }

  private:
    bool open_in_place(const char* path) {
        fd_ = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        return fd_ >= 0;
    }

    // Paths under /dev and /proc name streams and descriptors (/dev/stdout, /proc/self/fd/1),
    // which must be written in place even when they lead to a regular file.
    static bool in_special_tree(const char* path) {
        return std::strncmp(path, "/dev/", 5) == 0 || std::strncmp(path, "/proc/", 6) == 0;
    }

    bool create_temporary() {
        static std::atomic<unsigned> counter{0};
        const std::size_t slash = target_.rfind('/');
        const std::string folder = slash == std::string::npos ? std::string() : target_.substr(0, slash + 1);
        std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
        base.resize(base.size() < 64 ? base.size() : 64);  // room for the suffix within NAME_MAX
        for (int attempt = 0; attempt < 100; ++attempt) {
            char suffix[64];
            std::snprintf(suffix, sizeof suffix, ".%ld.%u.tmp", static_cast<long>(::getpid()),
                          counter.fetch_add(1, std::memory_order_relaxed));
            std::string name = folder;
            name.append(".").append(base).append(suffix);
            // Mode 0666 as "wb" creates files: the umask and default ACLs apply as usual.
            fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd_ >= 0) {
                temporary_ = std::move(name);
                return true;
            }
            if (errno != EEXIST) {
                return false;
            }
        }
        return false;
    }

    void abandon() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
        if (!temporary_.empty()) {
            ::unlink(temporary_.c_str());
            temporary_.clear();
        }
    }

    std::string target_;
    std::string temporary_;
    int fd_ = -1;
};

// Creates the file and writes the header and the n samples, which
// `convert(first, count, bytes)` turns into count * bytes_per_sample bytes.
template <class Convert>
PgmSaveStatus write_pgm(const char* path, std::size_t width, std::size_t height, unsigned maxval,
                        std::size_t n, std::size_t bytes_per_sample, Convert convert) {
    PgmDestination file;
    bool opened;
    try {
        opened = file.open(path);
    } catch (const std::exception&) {  // no memory for the path's copies: nothing created yet
        opened = false;
    }
    if (!opened) {
        return PgmSaveStatus::cannot_open;
    }
    // The header (at most 54 bytes) opens the first block.
    const std::size_t whole_file = PGM_HEADER_ROOM + n * bytes_per_sample;
    const std::size_t wanted = whole_file < PGM_BLOCK_BYTES ? whole_file : PGM_BLOCK_BYTES;
    std::unique_ptr<unsigned char[]> heap_block(new (std::nothrow) unsigned char[wanted]);
    unsigned char small_block[PGM_SMALL_BLOCK_BYTES];
    unsigned char* block = heap_block ? heap_block.get() : small_block;
    const std::size_t capacity = heap_block ? wanted : PGM_SMALL_BLOCK_BYTES;
    std::size_t used = static_cast<std::size_t>(std::snprintf(reinterpret_cast<char*>(block), capacity,
                                                              "P5\n%zu %zu\n%u\n", width, height, maxval));
    std::size_t first = 0;
    do {
        const std::size_t room = (capacity - used) / bytes_per_sample;
        const std::size_t count = n - first < room ? n - first : room;
        convert(first, count, block + used);
        if (!file.write(block, used + count * bytes_per_sample)) {
            return PgmSaveStatus::cannot_write;
        }
        first += count;
        used = 0;
    } while (first < n);
    return file.commit() ? PgmSaveStatus::ok : PgmSaveStatus::cannot_write;
}

PgmSaveStatus write_pgm_float64(const char* path, const double* values, std::size_t rows, std::size_t cols,
                      double scale) {
    return write_pgm(path, cols, rows, 255, rows * cols, 1,
                     [values, scale](std::size_t first, std::size_t count, unsigned char* out) {
                         const double* in = values + first;
                         for (std::size_t k = 0; k < count; ++k) {
                             out[k] = pgm_grey_level(in[k], scale);
                         }
                     });
}

// 16-bit samples as bytes, most significant first, none above maxval (the samples are the caller's,
// which another thread may change after maxval was found).
inline void store_big_endian(const std::uint16_t* in, std::size_t count, std::uint16_t maxval, unsigned char* out) {
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint16_t big = to_big_endian(in[k] < maxval ? in[k] : maxval);
        std::memcpy(out + 2 * k, &big, 2);
    }
}

PgmSaveStatus write_pgm_uint16(const char* path, const std::uint16_t* samples, std::size_t width,
                     std::size_t height) {
    const std::size_t n = width * height;
    // maxval 0 is not a valid PGM: an all-zero (or empty) image is written with maxval 1.
    std::uint16_t maxval = 1;
    for (std::size_t i = 0; i < n; ++i) {
        maxval = samples[i] > maxval ? samples[i] : maxval;
    }
    if (maxval <= 255) {
        return write_pgm(path, width, height, maxval, n, 1,
                         [samples, maxval](std::size_t first, std::size_t count, unsigned char* out) {
                             const std::uint16_t* in = samples + first;
                             for (std::size_t k = 0; k < count; ++k) {
                                 out[k] = static_cast<unsigned char>(in[k] < maxval ? in[k] : maxval);
                             }
                         });
    }
    return write_pgm(path, width, height, maxval, n, 2,
                     [samples, maxval](std::size_t first, std::size_t count, unsigned char* out) {
                         store_big_endian(samples + first, count, maxval, out);
                     });
}

std::int64_t read_pgm_number(std::FILE* file, std::uint64_t limit, std::uint32_t* value,
                             unsigned char separator) {
    *value = 0;
    bool in_comment = false;
    std::uint64_t count = 0;
    while (count < limit) {
        const int c = std::getc(file);
        if (c == EOF) {
            return -1;  // the file shrank under us
        }
        ++count;
        std::putc(c, stdout);
        const unsigned char byte = static_cast<unsigned char>(c);
        if (in_comment) {
            in_comment = byte != '\n';
        } else if (byte == '#') {
            in_comment = true;
        } else if (byte == separator) {
            return static_cast<std::int64_t>(count);
        } else if (byte < '0' || byte > '9') {
            return -1;
        } else {
            *value = *value * 10u + static_cast<std::uint32_t>(byte - '0');
        }
    }
    return -1;
}

// Reads width, height and maxval, taking what they consume off `budget`.
bool read_pgm_header_numbers(std::FILE* file, std::uint64_t& budget, std::uint32_t* numbers) {
    const unsigned char separators[3] = {' ', '\n', '\n'};
    for (int k = 0; k < 3; ++k) {
        const std::int64_t used = read_pgm_number(file, budget, &numbers[k], separators[k]);
        if (used < 0) {
            return false;
        }
        budget -= static_cast<std::uint64_t>(used);
    }
    return true;
}

PgmLoadStatus open_pgm(const char* path, PgmReader& reader) {
    // Non-blocking, so that opening a FIFO returns at once instead of waiting for a writer.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return PgmLoadStatus::cannot_open;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return PgmLoadStatus::cannot_load;
    }
    reader.file = ::fdopen(fd, "rb");
    if (reader.file == nullptr) {
        ::close(fd);
        return PgmLoadStatus::cannot_load;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
    if (size <= 3) {
        return PgmLoadStatus::cannot_load;
    }
    char magic[3];
    if (std::fread(magic, 1, 3, reader.file) != 3) {
        return PgmLoadStatus::cannot_load;
    }
    if (std::memcmp(magic, "P5\n", 3) != 0) {
        std::fputs("unknown file format", stderr);
        std::fflush(stderr);
        return PgmLoadStatus::cannot_load;
    }
    std::uint64_t budget = size - 3;
    std::uint32_t numbers[3];
    // One call's echo stays in one piece when several threads load files at once.
    ::flockfile(stdout);
    const bool header_ok = read_pgm_header_numbers(reader.file, budget, numbers);
    std::fflush(stdout);  // the echo reaches the console before anything else happens
    ::funlockfile(stdout);
    if (!header_ok || budget == 0) {
        return PgmLoadStatus::cannot_load;
    }
    reader.width = numbers[0];
    reader.height = numbers[1];
    reader.sample_bytes = (numbers[2] & 0xFFFF) <= 255 ? 1 : 2;
    // The declared raster must be present in full before any storage is taken for it.
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(reader.width), reader.height, &bytes) ||
        __builtin_mul_overflow(bytes, static_cast<std::uint64_t>(reader.sample_bytes), &bytes) ||
        bytes == 0 || bytes > budget) {
        return PgmLoadStatus::cannot_load;
    }
    reader.raster_bytes = static_cast<std::size_t>(bytes);
    return PgmLoadStatus::ok;
}

bool read_pgm_raster(PgmReader& reader, void* out) {
    if (std::fread(out, 1, reader.raster_bytes, reader.file) != reader.raster_bytes) {
        return false;
    }
    if (reader.sample_bytes == 2) {
        // Stored most significant byte first.
        std::uint16_t* samples = static_cast<std::uint16_t*>(out);
        const std::size_t n = reader.raster_bytes / 2;
        for (std::size_t i = 0; i < n; ++i) {
            samples[i] = to_big_endian(samples[i]);
        }
    }
    return true;
}

}  // namespace
}  // namespace zelnor
