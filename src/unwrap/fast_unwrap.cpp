// Fast flood-fill unwrapper: breadth-first fill from one seed pixel.
#include "unwrap.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace zelnor {
namespace {

// Per-pixel fill state, one byte each. A pixel not yet reached carries the
// ways it may still be entered; a reached pixel carries instead the side from
// which it was reached. Keeping the row bounds here spares the fill a division
// per pixel to find the column.
enum : std::uint8_t {
    FAST_ENTER_VERTICAL = 1,   // from the pixel above or below
    FAST_ENTER_AS_LEFT = 2,    // from its right-hand neighbour: not in the last column
    FAST_ENTER_AS_RIGHT = 4,   // from its left-hand neighbour: not in the first column
    FAST_ENTER_ANY = FAST_ENTER_VERTICAL | FAST_ENTER_AS_LEFT | FAST_ENTER_AS_RIGHT,
    FAST_REACHED_FROM_BELOW = 0x10,  // entered as the up neighbour of the pixel below
    FAST_REACHED_FROM_RIGHT = 0x20,
    FAST_REACHED_FROM_ABOVE = 0x30,
    FAST_REACHED_FROM_LEFT = 0x40,
    FAST_SEED = 0x80,
};

// Whole periods plus a half by which a pixel differs from its reference,
// before the floor.
inline double fast_unwrap_turns(double difference) {
    return (difference * 0.5) / FAST_UNWRAP_HALF_PERIOD + 0.5;
}

// The differences whose correction is zero periods: [lo, hi). The turns grow
// monotonically with the difference, so these form one interval, whose ends
// lie within a few units in the last place of -/+ half a period. Testing it
// spares the division and the floor for almost every pixel of clean data,
// with the same bits.
struct FastUnwrapNoShift {
    double lo;
    double hi;
};

inline double fast_unwrap_first_reaching(double start, double turns) {
    double d = start;
    if (fast_unwrap_turns(d) >= turns) {
        const double down = -std::numeric_limits<double>::infinity();
        while (fast_unwrap_turns(std::nextafter(d, down)) >= turns) {
            d = std::nextafter(d, down);
        }
    } else {
        const double up = std::numeric_limits<double>::infinity();
        while (fast_unwrap_turns(d) < turns) {
            d = std::nextafter(d, up);
        }
    }
    return d;
}

inline FastUnwrapNoShift fast_unwrap_no_shift() {
    return {fast_unwrap_first_reaching(-FAST_UNWRAP_HALF_PERIOD, 0.0),
            fast_unwrap_first_reaching(FAST_UNWRAP_HALF_PERIOD, 1.0)};
}

// Brings `value` to within half a period of `reference` by whole periods; a
// difference of exactly half a period ends half a period above the reference.
inline double fast_unwrap_correct(double reference, double value, FastUnwrapNoShift none) {
    const double difference = reference - value;
    const double k = (difference >= none.lo && difference < none.hi)
                         ? 0.0
                         : std::floor(fast_unwrap_turns(difference));
    return (k + k) * FAST_UNWRAP_HALF_PERIOD + value;
}

// The fill's work areas and the map it corrects in place. Index is the
// narrowest unsigned type that holds every flat pixel index of the image.
// `state` has a zero row of padding before and after the image, so no
// neighbour needs a bounds test: indices are formed modulo the range of Index,
// and a neighbour "above" the first row lands in the leading padding.
template <class Index>
struct FastUnwrapFill {
    double* data;
    std::uint8_t* state;
    Index* queue;
    Index queue_length;
    Index cols;

    std::uint8_t& state_of(Index n) { return state[static_cast<Index>(n + cols)]; }

    // Queues n if it may be entered the way `flag` names, without a branch:
    // the queue slot is written either way and kept only when n is entered.
    void offer(Index n, std::uint8_t flag, std::uint8_t reached) {
        std::uint8_t& slot = state_of(n);
        const std::uint8_t s = slot;
        const bool enter = (s & flag) != 0;
        queue[queue_length] = n;
        queue_length += enter;
        slot = enter ? reached : s;
    }

    // Enters the unreached mask neighbours of p in the order up, left, down,
    // right. Left and right stay within p's row.
    void visit_neighbours(Index p) {
        offer(p - cols, FAST_ENTER_VERTICAL, FAST_REACHED_FROM_BELOW);
        offer(p - 1, FAST_ENTER_AS_LEFT, FAST_REACHED_FROM_RIGHT);
        offer(p + cols, FAST_ENTER_VERTICAL, FAST_REACHED_FROM_ABOVE);
        offer(p + 1, FAST_ENTER_AS_RIGHT, FAST_REACHED_FROM_LEFT);
    }
};

// Fills from `seed` and returns the extremes of the reached values in lo, hi.
// A queued pixel is corrected when it leaves the queue rather than when it
// enters: nothing reads its value in between, and its reference (the pixel
// that reached it) is final by then, so the values are the same.
template <class Index>
void fast_unwrap_fill(FastUnwrapFill<Index>& fill, Index seed, double& lo, double& hi) {
    const Index cols = fill.cols;
    // Offset from a reached pixel to the one that reached it, by state code.
    const Index parent_offset[4] = {cols, 1, Index(0) - cols, Index(0) - 1};
    const FastUnwrapNoShift none = fast_unwrap_no_shift();
    fill.queue[0] = seed;
    fill.queue_length = 1;
    fill.state_of(seed) = FAST_SEED;
    hi = lo = fill.data[seed];
    fill.visit_neighbours(seed);
    for (Index j = 1; j < fill.queue_length; ++j) {
        const Index p = fill.queue[j];
        const Index parent = p + parent_offset[(fill.state_of(p) >> 4) - 1];
        const double v = fast_unwrap_correct(fill.data[parent], fill.data[p], none);
        fill.data[p] = v;
        fill.visit_neighbours(p);
        // Strict comparisons: a NaN never replaces an extreme.
        hi = v > hi ? v : hi;
        lo = v < lo ? v : lo;
    }
}

template <class Index>
void fast_unwrap_run(const std::uint8_t* mask, std::size_t rows, std::size_t cols, double scale, double* out,
                     std::uint8_t* state, Index* queue) {
    const std::size_t pixels = rows * cols;
    std::memset(state, 0, cols);
    std::memset(state + cols + pixels, 0, cols);
    // One pass sets every pixel's entry ways and finds the seed.
    std::size_t inside = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        const std::uint8_t* m = mask + r * cols;
        std::uint8_t* s = state + (r + 1) * cols;
        for (std::size_t c = 0; c < cols; ++c) {
            const bool set = m[c] != 0;
            s[c] = set ? FAST_ENTER_ANY : 0;
            inside += set;
        }
        s[0] &= static_cast<std::uint8_t>(~FAST_ENTER_AS_RIGHT);
        s[cols - 1] &= static_cast<std::uint8_t>(~FAST_ENTER_AS_LEFT);
    }

    double lo = 0.0;
    double hi = 0.0;
    if (inside > 0) {
        // The first pixel inside as the pass above saw it: the caller's mask may change meanwhile.
        std::size_t seed = 0;
        while (state[cols + seed] == 0) {
            ++seed;
        }
        FastUnwrapFill<Index> fill{out, state, queue, 0, static_cast<Index>(cols)};
        fast_unwrap_fill(fill, static_cast<Index>(seed), lo, hi);
    }

    const double centre = (hi + lo) * 0.5;
    for (std::size_t i = 0; i < pixels; ++i) {
        out[i] = mask[i] != 0 ? (out[i] - centre) * scale : 0.0;
    }
}

FastUnwrapJob::~FastUnwrapJob() {
    std::free(state);
    std::free(queue);
}

bool fast_unwrap_prepare(FastUnwrapJob& job, std::size_t rows, std::size_t cols) {
    const std::size_t pixels = rows * cols;
    if (pixels == 0) {
        return true;
    }
    // 32-bit indices (padding rows included) halve the queue's traffic below 4 Gpixels.
    job.wide = pixels + 2 * cols > std::numeric_limits<std::uint32_t>::max();
    const std::size_t entry = job.wide ? sizeof(std::size_t) : sizeof(std::uint32_t);
    // Each reached pixel is queued once, plus the one slot written and not
    // kept after the last; the sizes cannot overflow, as the image itself
    // holds pixels * 8 bytes. Pages of the queue that the fill never reaches
    // are never touched.
    job.state = static_cast<std::uint8_t*>(std::malloc(pixels + 2 * cols));
    job.queue = std::malloc((pixels + 1) * entry);
    return job.state != nullptr && job.queue != nullptr;
}

void fast_unwrap_kernel(FastUnwrapJob& job, const std::uint8_t* mask, const double* surface, std::size_t rows,
                        std::size_t cols, double scale, double* out) {
    const std::size_t pixels = rows * cols;
    if (pixels == 0) {
        return;
    }
    std::memcpy(out, surface, pixels * sizeof(double));
    if (job.wide) {
        fast_unwrap_run(mask, rows, cols, scale, out, job.state, static_cast<std::size_t*>(job.queue));
    } else {
        fast_unwrap_run(mask, rows, cols, scale, out, job.state, static_cast<std::uint32_t*>(job.queue));
    }
}

}  // namespace
}  // namespace zelnor
