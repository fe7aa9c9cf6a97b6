// The reliability-sorted unwrapper: pixel roughness, edges, their ordering
// and the merging of pixel groups (Herraez et al., 2002), all in float32.
//
// The grid is a torus: row -1 is row H-1 and column -1 is column W-1, also
// for grids of one row or column, where the pixel's own row or column then
// serves as its neighbour.
#include "unwrap.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>

namespace zelnor {
namespace {

constexpr float PI_F = 3.14159274101257324f;      // bits 0x40490FDB
constexpr float TWO_PI_F = 6.28318548202514648f;  // bits 0x40C90FDB

// Roughness of a pixel that is never scored: far above any scored value
// (at most 16 pi^2 for phases in [-pi, pi]), with a random part so that the
// edges between such pixels sort in random order. Sums stay below 2^24.
constexpr int UNSCORED_BASE = 9999999;

constexpr std::uint8_t VALID = 255;

// One record per pixel, in flat order: what the merge needs, in 16 bytes
// for 32-bit indices (roughness and masks live in their own arrays). A group
// is a tree whose root is its leader: `leader` is the parent (the pixel
// itself on the root), `cycles` the whole periods relative to the parent (on
// the root: its own), and `members` the group's size, kept on the root. The
// decisions and cycles are those of groups kept as member lists relabelled on
// every join; the trees spare the relabelling walks.
template <class Index>
struct UnwrapPixel {
    Index leader;
    std::uint32_t cycles;  // two's complement, wrapping like a signed 32-bit count
    Index members;
    float phase_value;
};

// Which neighbour an edge leads to; stored in the two low bits of `ends`.
enum EdgeKind : unsigned { ROW = 0, ROW_WRAP = 1, COLUMN = 2, COLUMN_WRAP = 3 };

// One record per pair of adjacent valid pixels: the sort key and the first
// end with the kind of the pair, 8 bytes for 32-bit indices, so the sort moves
// little memory. The second end follows from the first and the kind, and the
// jump is taken from the two ends' phases when the edge is merged (phases do
// not change before all edges are merged).
template <class Index>
struct UnwrapEdge {
    float roughness;
    Index ends;  // first * 4 + kind
};

// Offsets from an edge's first end to its second, by kind, modulo the index width.
template <class Index>
struct EdgeGeometry {
    Index offset[4];
    EdgeGeometry(std::size_t rows, std::size_t cols) {
        const std::size_t n = rows * cols;
        offset[ROW] = 1;
        offset[ROW_WRAP] = static_cast<Index>(Index(0) - static_cast<Index>(cols - 1));
        offset[COLUMN] = static_cast<Index>(cols);
        offset[COLUMN_WRAP] = static_cast<Index>(static_cast<Index>(cols) - static_cast<Index>(n));
    }
    Index first(Index ends) const { return ends >> 2; }
    Index second(Index ends) const { return static_cast<Index>((ends >> 2) + offset[ends & 3]); }
};

inline float wrap_difference(float x) {
    if (x > PI_F) {
        return x - TWO_PI_F;
    }
    if (x < -PI_F) {
        return x + TWO_PI_F;
    }
    return x;
}

// -1: the second end lies a period below the first; +1: above; NaN gives 0.
inline std::int32_t edge_jump(float a, float b) {
    const float d = a - b;
    if (d > PI_F) {
        return -1;
    }
    if (d < -PI_F) {
        return 1;
    }
    return 0;
}

// Whether some valid pixel has a valid right or lower neighbour inside the
// image (pairs across the border do not count).
bool has_adjacent_pair(const std::uint8_t* mask, std::size_t rows, std::size_t cols) {
    for (std::size_t r = 0; r < rows; ++r) {
        const std::uint8_t* row = mask + r * cols;
        const std::uint8_t* below = r + 1 < rows ? row + cols : nullptr;
        for (std::size_t c = 0; c < cols; ++c) {
            if (row[c] != VALID) {
                continue;
            }
            if ((c + 1 < cols && row[c + 1] == VALID) || (below != nullptr && below[c] == VALID)) {
                return true;
            }
        }
    }
    return false;
}

// Neighbour rows and columns of (r, c) on the torus.
struct TorusStep {
    std::size_t up, down, left, right;
    TorusStep(std::size_t r, std::size_t c, std::size_t rows, std::size_t cols)
        : up(r == 0 ? rows - 1 : r - 1), down(r + 1 == rows ? 0 : r + 1),
          left(c == 0 ? cols - 1 : c - 1), right(c + 1 == cols ? 0 : c + 1) {}
};

// The corners are never scored; every other pixel is, on the torus.
inline bool is_corner(std::size_t r, std::size_t c, std::size_t rows, std::size_t cols) {
    return (r == 0 || r + 1 == rows) && (c == 0 || c + 1 == cols);
}

// 255 where a non-corner pixel and its eight neighbours all have mask 255.
void build_inner_mask(const std::uint8_t* mask, std::uint8_t* inner, std::size_t cols, std::size_t rows) {
    for (std::size_t r = 0; r < rows; ++r) {
        const TorusStep rs(r, 0, rows, cols);
        const std::uint8_t* up = mask + rs.up * cols;
        const std::uint8_t* mid = mask + r * cols;
        const std::uint8_t* down = mask + rs.down * cols;
        for (std::size_t c = 0; c < cols; ++c) {
            if (is_corner(r, c, rows, cols)) {
                continue;
            }
            const std::size_t cl = c == 0 ? cols - 1 : c - 1;
            const std::size_t cr = c + 1 == cols ? 0 : c + 1;
            const bool all = (up[cl] & up[c] & up[cr] & mid[cl] & mid[c] & mid[cr] & down[cl] & down[c] &
                              down[cr]) == VALID;
            if (all) {
                inner[r * cols + c] = VALID;
            }
        }
    }
}

// Every record in its initial state, one rand() per pixel in flat order.
template <class Index>
void init_pixels(const float* phase, UnwrapPixel<Index>* pixels, float* roughness, std::size_t rows,
                 std::size_t cols) {
    const std::size_t n = rows * cols;
    for (std::size_t k = 0; k < n; ++k) {
        pixels[k] = UnwrapPixel<Index>{static_cast<Index>(k), 0, 1, phase[k]};
        // Low 15 bits: the same range wherever RAND_MAX is larger than 32767.
        roughness[k] = static_cast<float>(UNSCORED_BASE + std::rand() % 32768);
    }
}

// Sum of the squared wrapped second differences along the four lines through
// the pixel, in float32, in a fixed order.
inline float pixel_roughness(float v, float left, float right, float up, float down, float upleft,
                             float downright, float upright, float downleft) {
    const float s1 = wrap_difference(left - v) - wrap_difference(v - right);
    const float s2 = wrap_difference(up - v) - wrap_difference(v - down);
    const float s3 = wrap_difference(upleft - v) - wrap_difference(v - downright);
    const float s4 = wrap_difference(upright - v) - wrap_difference(v - downleft);
    return ((s1 * s1 + s2 * s2) + s3 * s3) + s4 * s4;
}

void compute_roughness(const float* phase, const std::uint8_t* inner, float* roughness, std::size_t cols,
                       std::size_t rows) {
    for (std::size_t r = 0; r < rows; ++r) {
        const TorusStep rs(r, 0, rows, cols);
        const float* up = phase + rs.up * cols;
        const float* mid = phase + r * cols;
        const float* down = phase + rs.down * cols;
        const std::uint8_t* inner_row = inner + r * cols;
        float* row = roughness + r * cols;
        auto score = [&](std::size_t c, std::size_t cl, std::size_t cr) {
            if (inner_row[c] == VALID) {
                row[c] = pixel_roughness(mid[c], mid[cl], mid[cr], up[c], down[c], up[cl], down[cr],
                                                   up[cr], down[cl]);
            }
        };
        // Interior columns without index wrapping; the two border columns apart.
        for (std::size_t c = 1; c + 1 < cols; ++c) {
            score(c, c - 1, c + 1);
        }
        const bool border_row = r == 0 || r + 1 == rows;
        if (!border_row) {
            score(0, cols - 1, cols == 1 ? 0 : 1);
            if (cols > 1) {
                score(cols - 1, cols - 2, 0);
            }
        }
    }
}

// Appends edges in building order. Edges whose key is NaN (from NaN or
// infinite phases) are stacked from the back of the array so that they can
// be placed after all others without sorting them.
template <class Index>
struct EdgeBuilder {
    const std::uint8_t* mask;
    const float* roughness;
    UnwrapEdge<Index>* edges;
    std::size_t capacity;
    std::size_t unordered = 0;

    void add(std::size_t first, std::size_t second, EdgeKind kind) {
        if (mask[first] != VALID || mask[second] != VALID) {
            return;
        }
        const float key = roughness[first] + roughness[second];
        const Index ends = static_cast<Index>(static_cast<Index>(first) * 4 + kind);
        if (key == key) {
            edges[edge_count - unordered] = UnwrapEdge<Index>{key, ends};
        } else {
            edges[capacity - 1 - unordered] = UnwrapEdge<Index>{key, ends};
            ++unordered;
        }
        ++edge_count;
    }

    // Moves the NaN-keyed edges, in building order, behind the others; returns
    // the number of edges to sort.
    std::size_t gather_unordered() {
        const std::size_t ordered = edge_count - unordered;
        UnwrapEdge<Index>* back = edges + capacity - unordered;
        std::reverse(back, edges + capacity);
        std::memmove(static_cast<void*>(edges + ordered), back, unordered * sizeof(UnwrapEdge<Index>));
        return ordered;
    }
};

template <class Index>
void add_row_edges(EdgeBuilder<Index>& out, std::size_t cols, std::size_t rows) {
    for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t base = r * cols;
        for (std::size_t c = 0; c + 1 < cols; ++c) {
            out.add(base + c, base + c + 1, ROW);
        }
    }
    for (std::size_t r = 0; r < rows; ++r) {
        out.add(r * cols + cols - 1, r * cols, ROW_WRAP);
    }
}

template <class Index>
void add_column_edges(EdgeBuilder<Index>& out, std::size_t cols, std::size_t rows) {
    for (std::size_t k = 0; k + cols < rows * cols; ++k) {
        out.add(k, k + cols, COLUMN);
    }
    const std::size_t last_row = (rows - 1) * cols;
    for (std::size_t c = 0; c < cols; ++c) {
        out.add(last_row + c, c, COLUMN_WRAP);
    }
}

// Block size of the partition scans.
constexpr int PARTITION_BLOCK = 128;

// Splits lo..hi around `pivot` (keys below it first) and returns the first
// index of the upper part. The two-sided scan of a textbook partition swaps
// the k-th key >= pivot from the left with the k-th key < pivot from the
// right for as long as the first lies left of the second; this does the same
// swaps in the same order, but finds the candidates a block at a time
// without branches, so it moves every record exactly as that scan does.
template <class Index>
std::ptrdiff_t partition_edges(UnwrapEdge<Index>* e, std::ptrdiff_t lo, std::ptrdiff_t hi, float pivot) {
    constexpr int B = PARTITION_BLOCK;
    std::uint8_t left_offsets[B];
    std::uint8_t right_offsets[B];
    int left_count = 0, left_start = 0, right_count = 0, right_start = 0;
    std::ptrdiff_t l = lo;     // unscanned: l..r-1, less a pending block on either side
    std::ptrdiff_t r = hi + 1;
    while (r - l >= std::ptrdiff_t{2} * B) {
        if (left_count == 0) {
            left_start = 0;
            for (int k = 0; k < B; ++k) {
                left_offsets[left_count] = static_cast<std::uint8_t>(k);
                left_count += !(e[l + k].roughness < pivot);
            }
        }
        if (right_count == 0) {
            right_start = 0;
            for (int k = 0; k < B; ++k) {
                right_offsets[right_count] = static_cast<std::uint8_t>(k);
                right_count += e[r - 1 - k].roughness < pivot;
            }
        }
        const int pairs = std::min(left_count, right_count);
        for (int k = 0; k < pairs; ++k) {
            std::swap(e[l + left_offsets[left_start + k]], e[r - 1 - right_offsets[right_start + k]]);
        }
        left_count -= pairs;
        right_count -= pairs;
        left_start += pairs;
        right_start += pairs;
        if (left_count == 0) {
            l += B;
        }
        if (right_count == 0) {
            r -= B;
        }
    }
    // The rest with the plain scans, resumed where they would stand: at the
    // first pending candidate of each side, or at the edge of the unscanned part.
    std::ptrdiff_t i = left_count > 0 ? l + left_offsets[left_start] : l;
    std::ptrdiff_t j = right_count > 0 ? r - 1 - right_offsets[right_start] : r - 1;
    while (i <= j) {
        while (e[i].roughness < pivot) {
            ++i;
        }
        while (e[j].roughness >= pivot) {
            --j;
        }
        if (i < j) {
            std::swap(e[i], e[j]);
            ++i;
            --j;
        }
    }
    return i;
}

// Quicksort by ascending key of the inclusive range lo..hi; no key is NaN.
// Median of three, a pivot that is a key of the range strictly above the key
// left at lo, and a two-sided partition. It is not stable: its order of equal
// keys decides merges, so it must stay exactly this algorithm. The smaller
// part is sorted by recursion and the larger one by iteration; the parts are
// disjoint, so that order does not change the result and bounds the stack.
template <class Index>
void sort_edges(UnwrapEdge<Index>* e, std::ptrdiff_t lo, std::ptrdiff_t hi) {
    while (lo < hi) {
        const std::ptrdiff_t mid = lo + (hi - lo) / 2;
        if (e[lo].roughness > e[mid].roughness) {
            std::swap(e[lo], e[mid]);
        }
        if (e[lo].roughness > e[hi].roughness) {
            std::swap(e[lo], e[hi]);
        }
        if (e[mid].roughness > e[hi].roughness) {
            std::swap(e[mid], e[hi]);
        }
        float pivot;
        if (e[mid].roughness > e[lo].roughness) {
            pivot = e[mid].roughness;
        } else if (e[hi].roughness > e[mid].roughness) {
            pivot = e[hi].roughness;
        } else {
            std::ptrdiff_t p = lo + 1;
            while (p < hi && e[p].roughness == e[lo].roughness) {
                ++p;
            }
            if (p >= hi) {
                return;  // all keys equal: left in building order
            }
            if (e[lo].roughness > e[p].roughness) {
                std::swap(e[lo], e[p]);
            }
            pivot = e[p].roughness;
        }
        const std::ptrdiff_t i = partition_edges(e, lo, hi, pivot);
        if (i - lo < hi - i) {
            sort_edges(e, lo, i - 1);
            lo = i;
        } else {
            sort_edges(e, i, hi);
            hi = i - 1;
        }
    }
}

// Root of x's group, with x's whole periods; points x and the pixels on its
// way straight at the root, keeping every pixel's total.
template <class Index>
inline Index find_leader(UnwrapPixel<Index>* px, Index x, std::uint32_t& cycles) {
    Index root = x;
    std::uint32_t above_root = 0;
    while (px[root].leader != root) {
        above_root += px[root].cycles;
        root = px[root].leader;
    }
    cycles = above_root + px[root].cycles;
    while (px[x].leader != root && x != root) {
        const Index next = px[x].leader;
        const std::uint32_t own = px[x].cycles;
        px[x].leader = root;
        px[x].cycles = above_root;
        above_root -= own;
        x = next;
    }
    return root;
}

// Shifts every pixel of group `gone` by delta and makes it part of group `keep`.
template <class Index>
inline void absorb(UnwrapPixel<Index>* px, Index keep, Index gone, std::uint32_t delta) {
    px[gone].leader = keep;
    px[gone].cycles = px[gone].cycles + delta - px[keep].cycles;
    px[keep].members += px[gone].members;
}

// Joins groups along the edges in sorted order. A lone second end joins the
// first end's group, else a lone first end the second's; else the smaller
// group (on a tie the group of the edge's first end) is absorbed into the
// other. Absorbed pixels are shifted so that the two ends differ by -jump
// periods; the surviving group keeps its cycles.
template <class Index>
void merge_groups(const UnwrapEdge<Index>* edges, std::size_t count, UnwrapPixel<Index>* px,
                  const EdgeGeometry<Index>& geometry) {
    // The ends of the edges ahead are fetched early: the sorted order visits
    // pixels in no spatial order, and the merge would otherwise wait on memory.
    constexpr std::size_t AHEAD = 12;
    for (std::size_t k = 0; k < count; ++k) {
        if (k + AHEAD < count) {
            const Index ahead = edges[k + AHEAD].ends;
            __builtin_prefetch(&px[geometry.first(ahead)], 1);
            __builtin_prefetch(&px[geometry.second(ahead)], 1);
        }
        const Index pi = geometry.first(edges[k].ends);
        const Index qi = geometry.second(edges[k].ends);
        std::uint32_t cp;
        std::uint32_t cq;
        const Index gp = find_leader(px, pi, cp);
        const Index gq = find_leader(px, qi, cq);
        if (gp == gq) {
            continue;
        }
        const std::uint32_t jump = static_cast<std::uint32_t>(edge_jump(px[pi].phase_value, px[qi].phase_value));
        const Index mp = px[gp].members;
        const Index mq = px[gq].members;
        if (mq == 1 || (mp != 1 && mp > mq)) {
            absorb(px, gp, gq, cp - cq - jump);
        } else {
            absorb(px, gq, gp, cq - cp + jump);
        }
    }
}

// The unwrapped phase of every pixel, written to `out`: its whole periods,
// rounded to float32, added to its wrapped phase.
template <class Index>
void apply_cycles(UnwrapPixel<Index>* pixels, std::size_t n, float* out) {
    for (std::size_t k = 0; k < n; ++k) {
        std::uint32_t total;
        find_leader(pixels, static_cast<Index>(k), total);
        const auto cycles = static_cast<std::int32_t>(total);
        out[k] = static_cast<float>(cycles) * TWO_PI_F + pixels[k].phase_value;
    }
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

template <class T>
using Buffer = std::unique_ptr<T, FreeDeleter>;

// n objects of T, or null when the size overflows or memory is short.
template <class T>
T* allocate(std::size_t n, bool zeroed) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
        return nullptr;
    }
    void* p = zeroed ? std::calloc(n, sizeof(T)) : std::malloc(n * sizeof(T));
    return static_cast<T*>(p);
}

template <class Index>
bool run_stages(const float* phase, float* out, const std::uint8_t* mask, std::size_t rows, std::size_t cols) {
    const std::size_t n = rows * cols;
    if (n > std::numeric_limits<std::size_t>::max() / 2) {
        return false;
    }
    Buffer<std::uint8_t> inner(allocate<std::uint8_t>(n, true));
    Buffer<float> roughness(allocate<float>(n, false));
    Buffer<UnwrapPixel<Index>> pixels(allocate<UnwrapPixel<Index>>(n, false));
    Buffer<UnwrapEdge<Index>> edges(allocate<UnwrapEdge<Index>>(2 * n, false));
    if (!inner || !roughness || !pixels || !edges) {
        return false;
    }
    build_inner_mask(mask, inner.get(), cols, rows);
    init_pixels(phase, pixels.get(), roughness.get(), rows, cols);
    compute_roughness(phase, inner.get(), roughness.get(), cols, rows);
    EdgeBuilder<Index> builder{mask, roughness.get(), edges.get(), 2 * n};
    add_row_edges(builder, cols, rows);
    add_column_edges(builder, cols, rows);
    const std::size_t ordered = builder.gather_unordered();
    if (ordered > 1) {
        sort_edges(edges.get(), 0, static_cast<std::ptrdiff_t>(ordered - 1));
    }
    merge_groups(edges.get(), edge_count, pixels.get(), EdgeGeometry<Index>(rows, cols));
    apply_cycles(pixels.get(), n, out);
    edge_count = 0;
    return true;
}

bool unwrap_core(const float* phase, float* out, const std::uint8_t* mask, std::size_t rows,
                 std::size_t cols) {
    const std::size_t n = rows * cols;
    if (!has_adjacent_pair(mask, rows, cols)) {
        std::copy(phase, phase + n, out);
        return true;
    }
    // 32-bit indices while an edge's first end and kind fit in 32 bits.
    if (n <= (std::size_t(1) << 30)) {
        return run_stages<std::uint32_t>(phase, out, mask, rows, cols);
    }
    return run_stages<std::uint64_t>(phase, out, mask, rows, cols);
}

}  // namespace
}  // namespace zelnor
