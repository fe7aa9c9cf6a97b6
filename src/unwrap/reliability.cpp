// The reliability-sorted unwrapper: pixel roughness, edges, their ordering
// and the merging of pixel groups (Herraez et al., 2002), all in float32.
//
// The grid is a torus: row -1 is row H-1 and column -1 is column W-1, also
// for grids of one row or column, where the pixel's own row or column then
// serves as its neighbour.
#include "unwrap.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelnor {
namespace {

constexpr float PI_F = 3.14159274101257324f;      // bits 0x40490FDB
constexpr float TWO_PI_F = 6.28318548202514648f;  // bits 0x40C90FDB

// Roughness of a pixel that is never scored: far above any scored value
// (at most 16 pi^2 for phases in [-pi, pi]), with a random part so that the
// edges between such pixels sort in random order. Sums stay below 2^24.
constexpr int UNSCORED_BASE = 9999999;

constexpr std::uint8_t VALID = 255;

// One node per pixel, in flat order, 8 bytes for 32-bit indices. A group is
// a tree whose root is its leader: `up` is the parent, or on the root
// ROOT | members; `cycles` is the whole periods relative to the parent (on
// the root: its own). The decisions and cycles are those of groups kept as
// member lists relabelled on every join; the trees spare the relabelling
// walks, and the phases stay in the input array.
template <class Index>
struct UnwrapNode {
    Index up;
    std::uint32_t cycles;  // two's complement, wrapping like a signed 32-bit count
};

template <class Index>
constexpr Index ROOT = Index(1) << (sizeof(Index) * 8 - 1);

// Which neighbour an edge leads to.
enum EdgeKind : unsigned { ROW = 0, ROW_WRAP = 1, COLUMN = 2, COLUMN_WRAP = 3 };

// One record per pair of adjacent valid pixels: the sort key, and the first
// end with the kind of the pair and the jump packed as first*16 + kind*4 +
// jump+1, so an edge is 8 bytes with 32-bit indices and the merge reads no
// phase. The second end follows from the first and the kind.
template <class Index>
struct UnwrapEdge {
    float roughness;
    Index ends;
};

// Largest pixel count for 32-bit indices: first*16 must fit.
constexpr std::size_t NARROW_PIXELS = std::size_t(1) << 28;

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
    static Index pack(std::size_t first, unsigned kind, std::int32_t jump) {
        return static_cast<Index>((static_cast<Index>(first) << 4) | (kind << 2) | static_cast<unsigned>(jump + 1));
    }
    static Index first(Index ends) { return ends >> 4; }
    Index second(Index ends) const { return static_cast<Index>((ends >> 4) + offset[(ends >> 2) & 3]); }
    static std::uint32_t jump(Index ends) { return static_cast<std::uint32_t>(ends & 3) - 1u; }
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
    return static_cast<std::int32_t>(d < -PI_F) - static_cast<std::int32_t>(d > PI_F);
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

// The unscored roughness of every pixel, one rand() per pixel in flat order.
void draw_unscored(float* roughness, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
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

#if defined(__SSE2__)
// wrap_difference of four values: the same comparisons and the same one
// correction, chosen by masks.
inline __m128 wrap_difference4(__m128 x) {
    const __m128 above = _mm_cmpgt_ps(x, _mm_set1_ps(PI_F));
    const __m128 below = _mm_cmplt_ps(x, _mm_set1_ps(-PI_F));
    const __m128 lowered = _mm_sub_ps(x, _mm_set1_ps(TWO_PI_F));
    const __m128 raised = _mm_add_ps(x, _mm_set1_ps(TWO_PI_F));
    const __m128 r = _mm_or_ps(_mm_and_ps(above, lowered), _mm_andnot_ps(above, x));
    return _mm_or_ps(_mm_and_ps(below, raised), _mm_andnot_ps(below, r));
}

// pixel_roughness of four pixels side by side, the same operations in the same order.
inline __m128 pixel_roughness4(const float* up, const float* mid, const float* down) {
    const __m128 v = _mm_loadu_ps(mid);
    const __m128 s1 = _mm_sub_ps(wrap_difference4(_mm_sub_ps(_mm_loadu_ps(mid - 1), v)),
                                 wrap_difference4(_mm_sub_ps(v, _mm_loadu_ps(mid + 1))));
    const __m128 s2 = _mm_sub_ps(wrap_difference4(_mm_sub_ps(_mm_loadu_ps(up), v)),
                                 wrap_difference4(_mm_sub_ps(v, _mm_loadu_ps(down))));
    const __m128 s3 = _mm_sub_ps(wrap_difference4(_mm_sub_ps(_mm_loadu_ps(up - 1), v)),
                                 wrap_difference4(_mm_sub_ps(v, _mm_loadu_ps(down + 1))));
    const __m128 s4 = _mm_sub_ps(wrap_difference4(_mm_sub_ps(_mm_loadu_ps(up + 1), v)),
                                 wrap_difference4(_mm_sub_ps(v, _mm_loadu_ps(down - 1))));
    const __m128 sum = _mm_add_ps(_mm_add_ps(_mm_mul_ps(s1, s1), _mm_mul_ps(s2, s2)), _mm_mul_ps(s3, s3));
    return _mm_add_ps(sum, _mm_mul_ps(s4, s4));
}

// Scores the interior columns of one row four at a time, as far as eight
// mask bytes from column c-1 lie within the row; returns the next column.
inline std::size_t score_interior_sse2(const float* up, const float* mid, const float* down, const std::uint8_t* mu,
                                       const std::uint8_t* mm, const std::uint8_t* md, float* row,
                                       std::size_t cols) {
    std::size_t c = 1;
    for (; c + 7 <= cols; c += 4) {
        std::uint64_t a;
        std::uint64_t b;
        std::uint64_t d;
        std::memcpy(&a, mu + c - 1, 8);
        std::memcpy(&b, mm + c - 1, 8);
        std::memcpy(&d, md + c - 1, 8);
        const std::uint64_t column = a & b & d;
        // Byte j: the 3x3 block around column c+j (little-endian bytes).
        const std::uint64_t block = column & (column >> 8) & (column >> 16);
        __m128i lanes = _mm_cvtsi32_si128(static_cast<int>(static_cast<std::uint32_t>(block)));
        lanes = _mm_unpacklo_epi8(lanes, lanes);
        lanes = _mm_unpacklo_epi16(lanes, lanes);
        const __m128 inner = _mm_castsi128_ps(_mm_cmpeq_epi32(lanes, _mm_set1_epi32(-1)));
        const __m128 score = pixel_roughness4(up + c, mid + c, down + c);
        const __m128 kept = _mm_loadu_ps(row + c);
        _mm_storeu_ps(row + c, _mm_or_ps(_mm_and_ps(inner, score), _mm_andnot_ps(inner, kept)));
    }
    return c;
}
#endif

// Scores every pixel but the four corners whose mask byte and those of its
// eight torus neighbours are all 255; the others keep their unscored value.
void compute_roughness(const float* phase, const std::uint8_t* mask, float* roughness, std::size_t cols,
                       std::size_t rows) {
    for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t ru = r == 0 ? rows - 1 : r - 1;
        const std::size_t rd = r + 1 == rows ? 0 : r + 1;
        const float* up = phase + ru * cols;
        const float* mid = phase + r * cols;
        const float* down = phase + rd * cols;
        const std::uint8_t* mu = mask + ru * cols;
        const std::uint8_t* mm = mask + r * cols;
        const std::uint8_t* md = mask + rd * cols;
        float* row = roughness + r * cols;
        auto score = [&](std::size_t c, std::size_t cl, std::size_t cr) {
            const unsigned all = mu[cl] & mu[c] & mu[cr] & mm[cl] & mm[c] & mm[cr] & md[cl] & md[c] & md[cr];
            if (all == VALID) {
                row[c] = pixel_roughness(mid[c], mid[cl], mid[cr], up[c], down[c], up[cl], down[cr], up[cr],
                                         down[cl]);
            }
        };
        // Interior columns without index wrapping; the two border columns apart.
        std::size_t c = 1;
#if defined(__SSE2__)
        c = score_interior_sse2(up, mid, down, mu, mm, md, row, cols);
#endif
        for (; c + 1 < cols; ++c) {
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
    const float* phase;
    UnwrapEdge<Index>* edges;
    std::size_t capacity;
    std::size_t count = 0;
    std::size_t unordered = 0;

    void add(std::size_t first, std::size_t second, EdgeKind kind) {
        if (mask[first] != VALID || mask[second] != VALID) {
            return;
        }
        const float key = roughness[first] + roughness[second];
        const Index ends = EdgeGeometry<Index>::pack(first, kind, edge_jump(phase[first], phase[second]));
        if (key == key) {
            edges[count - unordered] = UnwrapEdge<Index>{key, ends};
        } else {
            edges[capacity - 1 - unordered] = UnwrapEdge<Index>{key, ends};
            ++unordered;
        }
        ++count;
    }

    // Moves the NaN-keyed edges, in building order, behind the others; returns
    // the number of edges to sort.
    std::size_t gather_unordered() {
        const std::size_t ordered = count - unordered;
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

// The sort's parts are inlined into each build of the sort (see sort_edges).
#if defined(__GNUC__)
#define ZELNOR_SORT_INLINE inline __attribute__((always_inline))
#else
#define ZELNOR_SORT_INLINE inline
#endif

// Marks the keys of lo..hi below `pivot`: bit j of words[j / 64] for record
// lo + j, with the bits past the range clear. Returns their count.
template <class Index>
ZELNOR_SORT_INLINE std::ptrdiff_t mark_below(const UnwrapEdge<Index>* e, std::ptrdiff_t lo, std::ptrdiff_t hi, float pivot,
                          std::uint64_t* words) {
    const std::ptrdiff_t m = hi - lo + 1;
    const UnwrapEdge<Index>* base = e + lo;
    std::ptrdiff_t below = 0;
    for (std::ptrdiff_t j = 0; j < m; j += 64) {
        const std::ptrdiff_t end = std::min<std::ptrdiff_t>(64, m - j);
        std::uint64_t word = 0;
        std::ptrdiff_t k = 0;
#if defined(__SSE2__)
        if constexpr (sizeof(UnwrapEdge<Index>) == 8) {
            // Four records in two registers; their keys side by side in one.
            const __m128 p = _mm_set1_ps(pivot);
            for (; k + 4 <= end; k += 4) {
                const float* at = &base[j + k].roughness;
                const __m128 keys = _mm_shuffle_ps(_mm_loadu_ps(at), _mm_loadu_ps(at + 4), _MM_SHUFFLE(2, 0, 2, 0));
                word |= static_cast<std::uint64_t>(_mm_movemask_ps(_mm_cmplt_ps(keys, p))) << k;
            }
        }
#endif
        for (; k < end; ++k) {
            word |= static_cast<std::uint64_t>(base[j + k].roughness < pivot) << k;
        }
        words[j / 64] = word;
        below += __builtin_popcountll(word);
    }
    return below;
}

// Splits lo..hi around `pivot` (keys below it first) and returns the first
// index of the upper part. The two-sided scan of a textbook partition swaps
// the k-th key >= pivot from the left with the k-th key < pivot from the
// right for as long as the first lies left of the second, and stops where
// the parts meet: at lo plus the count of keys below the pivot. So with that
// count known, the k-th key >= pivot left of the split is swapped with the
// k-th key < pivot right of it, for every k; this finds them in a bit map of
// the keys below the pivot, 64 at a time, and makes exactly those swaps.
// `words` holds a bit per record of the range.
template <class Index>
ZELNOR_SORT_INLINE std::ptrdiff_t partition_edges(UnwrapEdge<Index>* e, std::ptrdiff_t lo, std::ptrdiff_t hi, float pivot,
                               std::uint64_t* words) {
    const std::ptrdiff_t below = mark_below(e, lo, hi, pivot, words);
    UnwrapEdge<Index>* base = e + lo;
    // Left of the split the records whose bit is clear, right of it those
    // whose bit is set, each in the bits of one word at a time.
    const std::ptrdiff_t split_word = below / 64;
    const std::uint64_t split_bit = std::uint64_t{1} << (below % 64);
    std::ptrdiff_t lw = 0;
    std::uint64_t left = lw < split_word ? ~words[0] : ~words[0] & (split_bit - 1);
    std::ptrdiff_t rw = (hi - lo) / 64;
    std::uint64_t right = rw > split_word ? words[rw] : words[rw] & ~(split_bit - 1);
    for (;;) {
        while (left == 0) {
            if (++lw > split_word) {
                return lo + below;
            }
            left = lw < split_word ? ~words[lw] : ~words[lw] & (split_bit - 1);
        }
        while (right == 0) {
            --rw;
            right = rw > split_word ? words[rw] : words[rw] & ~(split_bit - 1);
        }
        const int pairs = std::min(__builtin_popcountll(left), __builtin_popcountll(right));
        for (int k = 0; k < pairs; ++k) {
            const int l = __builtin_ctzll(left);
            const int r = 63 - __builtin_clzll(right);
            left &= left - 1;
            right ^= std::uint64_t{1} << r;
            std::swap(base[lw * 64 + l], base[rw * 64 + r]);
        }
    }
}

// A comparator of a sorting network.
struct Comparator {
    std::uint8_t a;
    std::uint8_t b;
};

// Batcher's odd-even merge sort network for `size` (a power of two) inputs.
template <int size>
constexpr int batcher_length() {
    int count = 0;
    for (int p = 1; p < size; p <<= 1) {
        for (int k = p; k >= 1; k >>= 1) {
            for (int j = k % p; j + k < size; j += 2 * k) {
                for (int i = 0; i < k && i + j + k < size; ++i) {
                    count += (i + j) / (2 * p) == (i + j + k) / (2 * p);
                }
            }
        }
    }
    return count;
}

template <int size>
constexpr std::array<Comparator, batcher_length<size>()> batcher_network() {
    std::array<Comparator, batcher_length<size>()> net{};
    int count = 0;
    for (int p = 1; p < size; p <<= 1) {
        for (int k = p; k >= 1; k >>= 1) {
            for (int j = k % p; j + k < size; j += 2 * k) {
                for (int i = 0; i < k && i + j + k < size; ++i) {
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p)) {
                        net[count++] = Comparator{static_cast<std::uint8_t>(i + j),
                                                  static_cast<std::uint8_t>(i + j + k)};
                    }
                }
            }
        }
    }
    return net;
}

// Ranges up to this many edges are first tried with the sorting network.
constexpr int SMALL_SORT = 16;

// Sorts lo..hi (at most SMALL_SORT records) by key when its keys are all
// distinct, and returns whether it did. Distinct keys have one ascending
// order, which the quicksort reaches too, so any sort gives its result; with
// equal keys the range is left as it was. The keys are non-negative (sums
// of squares and unscored values), so their bits order them; a range with a
// sign bit set anywhere is left to the quicksort.
template <class Index>
ZELNOR_SORT_INLINE bool sort_if_distinct(UnwrapEdge<Index>* e, std::ptrdiff_t lo, std::ptrdiff_t hi) {
    if constexpr (sizeof(Index) != 4) {
        return false;
    } else {
        const std::ptrdiff_t m = hi - lo + 1;
        std::uint64_t a[SMALL_SORT];
        std::uint32_t signs = 0;
        for (std::ptrdiff_t k = 0; k < m; ++k) {
            std::uint32_t bits;
            std::memcpy(&bits, &e[lo + k].roughness, sizeof bits);
            signs |= bits;
            a[k] = (std::uint64_t{bits} << 32) | e[lo + k].ends;
        }
        if (signs >> 31) {
            return false;
        }
        for (std::ptrdiff_t k = m; k < SMALL_SORT; ++k) {
            a[k] = ~std::uint64_t{0};
        }
        static constexpr auto network = batcher_network<SMALL_SORT>();
#pragma GCC unroll 128
        for (const Comparator& c : network) {
            const std::uint64_t x = a[c.a];
            const std::uint64_t y = a[c.b];
            a[c.a] = x < y ? x : y;
            a[c.b] = x < y ? y : x;
        }
        bool distinct = true;
        for (std::ptrdiff_t k = 0; k + 1 < m; ++k) {
            distinct &= (a[k] >> 32) != (a[k + 1] >> 32);
        }
        if (!distinct) {
            return false;
        }
        for (std::ptrdiff_t k = 0; k < m; ++k) {
            const std::uint32_t bits = static_cast<std::uint32_t>(a[k] >> 32);
            std::memcpy(&e[lo + k].roughness, &bits, sizeof bits);
            e[lo + k].ends = static_cast<std::uint32_t>(a[k]);
        }
        return true;
    }
}

// Quicksort by ascending key of the inclusive range lo..hi; no key is NaN.
// Median of three, a pivot that is a key of the range strictly above the key
// left at lo, and a two-sided partition. It is not stable: its order of equal
// keys decides merges, so it must stay exactly this algorithm. The parts of
// a range are disjoint, so the order in which they are sorted does not change
// the result: the smaller one is sorted first and the larger one waits on a
// stack, which so holds at most log2 of the count. Small ranges whose keys
// all differ are sorted by a network instead (same result); once one turns
// out to hold equal keys, its parts skip that try.
template <class Index>
ZELNOR_SORT_INLINE void sort_edges(UnwrapEdge<Index>* e, std::ptrdiff_t first, std::ptrdiff_t last,
                                   std::uint64_t* words) {
    struct Range {
        std::ptrdiff_t lo;
        std::ptrdiff_t hi;
        bool try_network;
    };
    Range waiting[8 * sizeof(std::ptrdiff_t)];
    int count = 0;
    waiting[count++] = Range{first, last, true};
    while (count > 0) {
        const Range range = waiting[--count];
        std::ptrdiff_t lo = range.lo;
        std::ptrdiff_t hi = range.hi;
        bool try_network = range.try_network;
        while (lo < hi) {
            const std::ptrdiff_t mid = lo + (hi - lo) / 2;
            if (try_network && hi - lo < SMALL_SORT) {
                const float a = e[lo].roughness;
                const float b = e[mid].roughness;
                const float c = e[hi].roughness;
                if (a != b && b != c && a != c && sort_if_distinct(e, lo, hi)) {
                    break;
                }
                try_network = false;
            }
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
                    break;  // all keys equal: left in building order
                }
                if (e[lo].roughness > e[p].roughness) {
                    std::swap(e[lo], e[p]);
                }
                pivot = e[p].roughness;
            }
            const std::ptrdiff_t i = partition_edges(e, lo, hi, pivot, words);
            if (i - lo < hi - i) {
                waiting[count++] = Range{i, hi, try_network};
                hi = i - 1;
            } else {
                waiting[count++] = Range{lo, i - 1, try_network};
                lo = i;
            }
        }
    }
}

// The sort for 32-bit indices, also built for processors with population
// count and bit-scan instructions and AVX2, chosen at run time; both builds
// make the same comparisons and moves.
void sort_narrow_edges(UnwrapEdge<std::uint32_t>* e, std::ptrdiff_t last, std::uint64_t* words) {
    sort_edges(e, 0, last, words);
}

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
__attribute__((target("popcnt,bmi,bmi2,avx2"))) void sort_narrow_edges_v3(UnwrapEdge<std::uint32_t>* e,
                                                                       std::ptrdiff_t last, std::uint64_t* words) {
    sort_edges(e, 0, last, words);
}

bool detect_sort_v3() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
           __builtin_cpu_supports("avx2");
}
#endif

// Whether the processor runs sort_narrow_edges_v3; first asked by
// unwrap_prepare, with the interpreter lock held.
bool sort_v3_available() {
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
    static const bool available = detect_sort_v3();
    return available;
#else
    return false;
#endif
}

template <class Index>
void sort_all_edges(UnwrapEdge<Index>* e, std::ptrdiff_t last, std::uint64_t* words) {
    if constexpr (sizeof(Index) == 4) {
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
        if (sort_v3_available()) {
            sort_narrow_edges_v3(e, last, words);
            return;
        }
#endif
        sort_narrow_edges(e, last, words);
    } else {
        sort_edges(e, 0, last, words);
    }
}

// Root of x's group, with x's whole periods; points x and the nodes on its
// way straight at the root, keeping every node's total.
template <class Index>
inline Index find_leader(UnwrapNode<Index>* px, Index x, std::uint32_t& cycles) {
    Index root = x;
    std::uint32_t above_root = 0;
    while (!(px[root].up & ROOT<Index>)) {
        above_root += px[root].cycles;
        root = px[root].up;
    }
    cycles = above_root + px[root].cycles;
    while (x != root && px[x].up != root) {
        const Index next = px[x].up;
        const std::uint32_t own = px[x].cycles;
        px[x].up = root;
        px[x].cycles = above_root;
        above_root -= own;
        x = next;
    }
    return root;
}

// Joins groups along the edges in sorted order. A lone second end joins the
// first end's group, else a lone first end the second's; else the smaller
// group (on a tie the group of the edge's first end) is absorbed into the
// other. Absorbed pixels are shifted so that the two ends differ by -jump
// periods; the surviving group keeps its cycles.
template <class Index>
void merge_groups(const UnwrapEdge<Index>* edges, std::size_t count, UnwrapNode<Index>* px,
                  const EdgeGeometry<Index>& geometry) {
    // The ends of the edges ahead are fetched early: the sorted order visits
    // pixels in no spatial order, and the merge would otherwise wait on memory.
    // Two stages: the ends themselves far ahead, then, once they have
    // arrived, their parents (usually the roots).
    constexpr std::size_t AHEAD = 8;
    constexpr Index PARENT_BITS = static_cast<Index>(~ROOT<Index>);
    for (std::size_t k = 0; k < count; ++k) {
        if (k + 2 * AHEAD < count) {
            const Index ahead = edges[k + 2 * AHEAD].ends;
            __builtin_prefetch(&px[geometry.first(ahead)], 1);
            __builtin_prefetch(&px[geometry.second(ahead)], 1);
        }
        if (k + AHEAD < count) {
            const Index ahead = edges[k + AHEAD].ends;
            __builtin_prefetch(&px[px[geometry.first(ahead)].up & PARENT_BITS], 1);
            __builtin_prefetch(&px[px[geometry.second(ahead)].up & PARENT_BITS], 1);
        }
        const Index ends = edges[k].ends;
        std::uint32_t cp;
        std::uint32_t cq;
        const Index gp = find_leader(px, geometry.first(ends), cp);
        const Index gq = find_leader(px, geometry.second(ends), cq);
        if (gp == gq) {
            continue;
        }
        const std::uint32_t jump = EdgeGeometry<Index>::jump(ends);
        const Index mp = px[gp].up & PARENT_BITS;
        const Index mq = px[gq].up & PARENT_BITS;
        const bool keep_p = mq == 1 || (mp != 1 && mp > mq);
        const Index keep = keep_p ? gp : gq;
        const Index gone = keep_p ? gq : gp;
        const std::uint32_t delta = keep_p ? cp - cq - jump : cq - cp + jump;
        px[gone].up = keep;
        px[gone].cycles = px[gone].cycles + delta - px[keep].cycles;
        px[keep].up = static_cast<Index>(ROOT<Index> | (mp + mq));
    }
}

// The result: every pixel's whole periods, rounded to float32, added to its
// wrapped phase; 0 where the mask byte is 0.
template <class Index>
void apply_cycles(UnwrapNode<Index>* px, const float* phase, const std::uint8_t* mask, std::size_t n,
                  float* out) {
    for (std::size_t k = 0; k < n; ++k) {
        std::uint32_t total;
        find_leader(px, static_cast<Index>(k), total);
        const auto cycles = static_cast<std::int32_t>(total);
        const float value = static_cast<float>(cycles) * TWO_PI_F + phase[k];
        out[k] = mask[k] == 0 ? 0.0f : value;
    }
}

template <class Index>
void run_stages(UnwrapJob& job, const float* phase, const std::uint8_t* mask, float* out) {
    const std::size_t rows = job.rows;
    const std::size_t cols = job.cols;
    const std::size_t n = rows * cols;
    float* roughness = static_cast<float*>(job.roughness);
    auto* nodes = static_cast<UnwrapNode<Index>*>(job.nodes);
    auto* edges = static_cast<UnwrapEdge<Index>*>(job.edges);
    compute_roughness(phase, mask, roughness, cols, rows);
    EdgeBuilder<Index> builder{mask, roughness, phase, edges, 2 * n};
    add_row_edges(builder, cols, rows);
    add_column_edges(builder, cols, rows);
    const std::size_t ordered = builder.gather_unordered();
    if (ordered > 1) {
        sort_all_edges(edges, static_cast<std::ptrdiff_t>(ordered - 1), static_cast<std::uint64_t*>(job.marks));
    }
    for (std::size_t k = 0; k < n; ++k) {
        nodes[k] = UnwrapNode<Index>{static_cast<Index>(ROOT<Index> | 1), 0};
    }
    merge_groups(edges, builder.count, nodes, EdgeGeometry<Index>(rows, cols));
    apply_cycles(nodes, phase, mask, n, out);
}

template <class T>
void* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
        return nullptr;
    }
    return std::malloc(n * sizeof(T));
}

UnwrapJob::~UnwrapJob() {
    std::free(roughness);
    std::free(nodes);
    std::free(edges);
    std::free(marks);
}

bool unwrap_prepare(UnwrapJob& job, const std::uint8_t* mask, std::size_t rows, std::size_t cols) {
    job.rows = rows;
    job.cols = cols;
    job.pairs = has_adjacent_pair(mask, rows, cols);
    if (!job.pairs) {
        return true;
    }
    const std::size_t n = rows * cols;
    if (n > std::numeric_limits<std::size_t>::max() / 2) {
        return false;
    }
    job.wide = n > NARROW_PIXELS;
    sort_v3_available();
    job.roughness = allocate<float>(n);
    if (job.wide) {
        job.nodes = allocate<UnwrapNode<std::uint64_t>>(n);
        job.edges = allocate<UnwrapEdge<std::uint64_t>>(2 * n);
    } else {
        job.nodes = allocate<UnwrapNode<std::uint32_t>>(n);
        job.edges = allocate<UnwrapEdge<std::uint32_t>>(2 * n);
    }
    // A bit per edge for the partition, and a spare word.
    job.marks = allocate<std::uint64_t>(n / 32 + 2);
    return job.roughness != nullptr && job.nodes != nullptr && job.edges != nullptr && job.marks != nullptr;
}

void unwrap_draw(UnwrapJob& job) {
    if (job.pairs) {
        draw_unscored(static_cast<float*>(job.roughness), job.rows * job.cols);
    }
}

void unwrap_run(UnwrapJob& job, const float* phase, const std::uint8_t* mask, float* out) {
    if (!job.pairs) {
        const std::size_t n = job.rows * job.cols;
        for (std::size_t k = 0; k < n; ++k) {
            out[k] = mask[k] == 0 ? 0.0f : phase[k];
        }
    } else if (job.wide) {
        run_stages<std::uint64_t>(job, phase, mask, out);
    } else {
        run_stages<std::uint32_t>(job, phase, mask, out);
    }
}

}  // namespace
}  // namespace zelnor
