// Zernike term table and the surface / term-matrix kernels built on it.
//
// Every term is written once, as a scalar function in the exact evaluation
// grouping of its row; the row kernels below are generated from the table
// entries by templates, so the compiler inlines and vectorises each term
// without changing a single rounding (no contraction, IEEE + and *).
#include "pupil.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace zelnor {
namespace {

// ---------------------------------------------------------------------------
// The terms. r2 = x*x + y*y; chains evaluate left to right; parentheses group.

inline double zernike_piston(double, double) { return 1.0; }
inline double zernike_tilt_x(double x, double) { return x; }
inline double zernike_tilt_y(double, double y) { return y; }
inline double zernike_defocus(double x, double y) {
    const double r2 = x * x + y * y;
    return r2 + r2 - 1.0;
}
inline double zernike_astig_0(double x, double y) { return x * x - y * y; }
inline double zernike_astig_45(double x, double y) { return (x + x) * y; }
inline double zernike_coma_x(double x, double y) {
    const double r2 = x * x + y * y;
    return r2 * (3.0 * x) - (x + x);
}
inline double zernike_coma_y(double x, double y) {
    const double r2 = x * x + y * y;
    return r2 * (3.0 * y) - (y + y);
}
inline double zernike_spherical(double x, double y) {
    const double r2 = x * x + y * y;
    return 1.0 - r2 * 6.0 + r2 * r2 * 6.0;
}
inline double zernike_trefoil_x(double x, double y) {
    const double xx = x * x, yy = y * y;
    return xx * x - yy * (3.0 * x);
}
inline double zernike_trefoil_y(double x, double y) {
    const double xx = x * x, yy = y * y;
    return xx * 3.0 * y - yy * y;
}
inline double zernike_astig2_0(double x, double y) {
    const double xx = x * x, yy = y * y, r2 = x * x + y * y;
    return yy * 3.0 - xx * 3.0 + xx * 4.0 * r2 - yy * 4.0 * r2;
}
inline double zernike_astig2_45(double x, double y) {
    const double r2 = x * x + y * y;
    return r2 * (8.0 * x * y) - 6.0 * x * y;
}
inline double zernike_coma2_x(double x, double y) {
    const double r2 = x * x + y * y;
    return 3.0 * x - 12.0 * x * r2 + 10.0 * x * r2 * r2;
}
inline double zernike_coma2_y(double x, double y) {
    const double r2 = x * x + y * y;
    return 3.0 * y - 12.0 * y * r2 + 10.0 * y * r2 * r2;
}
inline double zernike_spherical2(double x, double y) {
    const double r2 = x * x + y * y;
    return r2 * 12.0 - 1.0 - r2 * 30.0 * r2 + r2 * 20.0 * r2 * r2;
}
inline double zernike_tetrafoil_x(double x, double y) {
    const double xx = x * x, yy = y * y;
    return yy * y * y + (xx * x * x - 6.0 * x * x * y * y);
}
inline double zernike_tetrafoil_y(double x, double y) {
    return 4.0 * x * x * x * y - 4.0 * x * y * y * y;
}
inline double zernike_trefoil2_x(double x, double y) {
    const double r2 = x * x + y * y;
    return 5.0 * x * x * x * r2 + (12.0 * x * y * y - 4.0 * x * x * x) - 15.0 * x * y * y * r2;
}
inline double zernike_trefoil2_y(double x, double y) {
    const double r2 = x * x + y * y;
    return 15.0 * x * x * y * r2 + (4.0 * y * y * y - 12.0 * x * x * y) - 5.0 * y * y * y * r2;
}
inline double zernike_astig3_0(double x, double y) {
    const double xx = x * x, yy = y * y, r2 = x * x + y * y;
    return yy * 20.0 * r2 + (xx * 6.0 - yy * 6.0 - xx * 20.0 * r2) + xx * 15.0 * (r2 * r2) -
           yy * 15.0 * (r2 * r2);
}
inline double zernike_astig3_45(double x, double y) {
    const double r2 = x * x + y * y;
    return 12.0 * x * y - 40.0 * x * y * r2 + r2 * r2 * (30.0 * x * y);
}
inline double zernike_coma3_x(double x, double y) {
    const double r2 = x * x + y * y;
    return 30.0 * x * r2 - 4.0 * x - 60.0 * x * (r2 * r2) + r2 * r2 * r2 * (35.0 * x);
}
inline double zernike_coma3_y(double x, double y) {
    const double r2 = x * x + y * y;
    return 30.0 * y * r2 - 4.0 * y - 60.0 * y * (r2 * r2) + r2 * r2 * r2 * (35.0 * y);
}
inline double zernike_spherical3(double x, double y) {
    const double r2 = x * x + y * y;
    return 1.0 - r2 * 20.0 + r2 * r2 * 90.0 - r2 * r2 * r2 * 140.0 + r2 * r2 * r2 * r2 * 70.0;
}
inline double zernike_pentafoil_x(double x, double y) {
    const double xx = x * x, yy = y * y;
    return xx * x * x * x - xx * x * 10.0 * yy + yy * y * y * (5.0 * x);
}
inline double zernike_pentafoil_y(double x, double y) {
    const double xx = x * x, yy = y * y;
    return xx * x * x * 5.0 * y - xx * 10.0 * (yy * y) + yy * y * y * y;
}
inline double zernike_tetrafoil2_x(double x, double y) {
    const double xx = x * x, yy = y * y, r2 = x * x + y * y;
    return xx * 30.0 * yy - xx * x * x * 5.0 - yy * y * y * 5.0 + xx * x * x * 6.0 * r2 -
           xx * 36.0 * yy * r2 + yy * y * y * 6.0 * r2;
}
inline double zernike_tetrafoil2_y(double x, double y) {
    const double xx = x * x, yy = y * y, r2 = x * x + y * y;
    return 20.0 * x * (yy * y) - xx * x * 20.0 * y + xx * x * 24.0 * y * r2 - 24.0 * x * (yy * y) * r2;
}
// Fringe terms 30 to 36 are not provided: their slots hold this one function.
inline double zernike_none(double, double) { return 0.0; }

using ZernikeTerm = double (*)(double x, double y);

// Slot k is Fringe term k + 1, unnormalised.
constexpr ZernikeTerm ZernikeTermTable[ZERNIKE_SLOTS] = {
    zernike_piston,      zernike_tilt_x,      zernike_tilt_y,       zernike_defocus,
    zernike_astig_0,     zernike_astig_45,    zernike_coma_x,       zernike_coma_y,
    zernike_spherical,   zernike_trefoil_x,   zernike_trefoil_y,    zernike_astig2_0,
    zernike_astig2_45,   zernike_coma2_x,     zernike_coma2_y,      zernike_spherical2,
    zernike_tetrafoil_x, zernike_tetrafoil_y, zernike_trefoil2_x,   zernike_trefoil2_y,
    zernike_astig3_0,    zernike_astig3_45,   zernike_coma3_x,      zernike_coma3_y,
    zernike_spherical3,  zernike_pentafoil_x, zernike_pentafoil_y,  zernike_tetrafoil2_x,
    zernike_tetrafoil2_y, zernike_none,       zernike_none,         zernike_none,
    zernike_none,        zernike_none,        zernike_none,         zernike_none,
};

// ---------------------------------------------------------------------------
// Row kernels: one loop per table entry, the term inlined into it.

#define ZELNOR_INLINE inline __attribute__((always_inline))

// sum[i] = sum[i] + term(xs[i], y) * coefficient
template <ZernikeTerm Term>
ZELNOR_INLINE void accumulate_row(const double* xs, double y, double coefficient, double* sum,
                                  std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        sum[i] = sum[i] + Term(xs[i], y) * coefficient;
    }
}

// out[i] = term(xs[i], y)
template <ZernikeTerm Term>
ZELNOR_INLINE void evaluate_row(const double* xs, double y, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = Term(xs[i], y);
    }
}

template <std::size_t... Slot>
ZELNOR_INLINE void accumulate_slot(std::size_t slot, const double* xs, double y, double coefficient,
                                   double* sum, std::size_t n, std::index_sequence<Slot...>) {
    ((slot == Slot ? accumulate_row<ZernikeTermTable[Slot]>(xs, y, coefficient, sum, n) : void()), ...);
}

template <std::size_t... Slot>
ZELNOR_INLINE void evaluate_slot(std::size_t slot, const double* xs, double y, double* out, std::size_t n,
                                 std::index_sequence<Slot...>) {
    ((slot == Slot ? evaluate_row<ZernikeTermTable[Slot]>(xs, y, out, n) : void()), ...);
}

// Wider vector units where the processor has them, chosen once at load time;
// the arithmetic per element is the same IEEE operations in every clone.
// ZELNOR_NO_TARGET_CLONES builds one version for the compiler's target only.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(ZELNOR_NO_TARGET_CLONES)
#define ZELNOR_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default"), noinline))
#else
#define ZELNOR_VECTOR_CLONES __attribute__((noinline))
#endif

ZELNOR_VECTOR_CLONES
void accumulate_term(std::size_t slot, const double* xs, double y, double coefficient, double* sum,
                     std::size_t n) {
    accumulate_slot(slot, xs, y, coefficient, sum, n, std::make_index_sequence<ZERNIKE_SLOTS>());
}

ZELNOR_VECTOR_CLONES
void evaluate_term(std::size_t slot, const double* xs, double y, double* out, std::size_t n) {
    evaluate_slot(slot, xs, y, out, n, std::make_index_sequence<ZERNIKE_SLOTS>());
}

// ---------------------------------------------------------------------------
// Where the mask is set, row by row. A row whose inside pixels are one run
// (every row of a disc) is worked in place; any other row has the x of its
// inside pixels packed, so the term loops never touch an outside pixel.

struct MaskRow {
    std::size_t first;   // column of the first inside pixel
    std::size_t count;   // inside pixels in the row
    std::size_t packed;  // offset into the packed arrays when not one run
    bool one_run;
};

struct MaskLayout {
    std::unique_ptr<MaskRow[]> rows;
    std::unique_ptr<double[]> xs;         // x of every column (the grid walk)
    std::unique_ptr<double[]> ys;         // y of every row (the grid walk)
    std::unique_ptr<std::size_t[]> cols;  // packed columns of scattered rows
    std::unique_ptr<double[]> packed_xs;  // their x
    std::size_t widest = 0;               // most inside pixels in a scattered row

    // False when out of memory.
    bool build(const std::uint8_t* mask, std::size_t n_rows, std::size_t n_cols) {
        rows.reset(new (std::nothrow) MaskRow[n_rows]);
        xs.reset(new (std::nothrow) double[n_cols]);
        ys.reset(new (std::nothrow) double[n_rows]);
        if (!rows || !xs || !ys) {
            return false;
        }
        const PupilGrid grid(n_rows, n_cols);
        grid.column_coordinates(xs.get());
        double y = grid.first_y();
        std::size_t scattered = 0;
        for (std::size_t r = 0; r < n_rows; ++r) {
            ys[r] = y;
            y += grid.step_y;
            const std::uint8_t* m = mask + r * n_cols;
            std::size_t first = n_cols, last = 0, count = 0;
            for (std::size_t c = 0; c < n_cols; ++c) {
                if (m[c] != 0) {
                    first = count == 0 ? c : first;
                    last = c;
                    ++count;
                }
            }
            MaskRow& row = rows[r];
            row.first = first;
            row.count = count;
            row.one_run = count == 0 || last - first + 1 == count;
            row.packed = scattered;
            if (!row.one_run) {
                scattered += count;
                widest = count > widest ? count : widest;
            }
        }
        if (scattered == 0) {
            return true;
        }
        cols.reset(new (std::nothrow) std::size_t[scattered]);
        packed_xs.reset(new (std::nothrow) double[scattered]);
        if (!cols || !packed_xs) {
            return false;
        }
        for (std::size_t r = 0; r < n_rows; ++r) {
            if (rows[r].one_run) {
                continue;
            }
            const std::uint8_t* m = mask + r * n_cols;
            std::size_t k = rows[r].packed;
            // Bounded by the count above, and every slot filled, even if the caller's mask changes meanwhile.
            const std::size_t end = k + rows[r].count;
            for (std::size_t c = 0; c < n_cols && k < end; ++c) {
                if (m[c] != 0) {
                    cols[k] = c;
                    packed_xs[k] = xs[c];
                    ++k;
                }
            }
            for (; k < end; ++k) {
                cols[k] = rows[r].first;
                packed_xs[k] = xs[rows[r].first];
            }
        }
        return true;
    }
};

void fill_zeros(double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = 0.0;
    }
}

// Zeroes the outside pixels of a one-run row.
void zero_outside_run(double* row, const MaskRow& layout, std::size_t n_cols) {
    if (layout.count == 0) {
        fill_zeros(row, n_cols);
        return;
    }
    const std::size_t end = layout.first + layout.count;
    fill_zeros(row, layout.first);
    fill_zeros(row + end, n_cols - end);
}

// Scatters a packed row back to its columns over a zeroed row.
void scatter_row(const double* packed, const std::size_t* cols, std::size_t count, double* row,
                 std::size_t n_cols) {
    fill_zeros(row, n_cols);
    for (std::size_t k = 0; k < count; ++k) {
        row[cols[k]] = packed[k];
    }
}

bool fill_zernike_surface(const double* coefficients, std::size_t n_coefficients, const std::uint8_t* mask,
                          std::size_t n_rows, std::size_t n_cols, double* out) {
    if (n_rows == 0 || n_cols == 0) {
        return true;
    }
    // The slots that take part, in increasing order: zero coefficients cost
    // nothing, NaN ones (which compare unequal to zero) do take part.
    std::size_t used_slots[ZERNIKE_SLOTS];
    double used_values[ZERNIKE_SLOTS];
    std::size_t used = 0;
    const std::size_t limit = n_coefficients < ZERNIKE_SLOTS ? n_coefficients : ZERNIKE_SLOTS;
    for (std::size_t j = 0; j < limit; ++j) {
        if (!(coefficients[j] == 0.0)) {
            used_slots[used] = j;
            used_values[used] = coefficients[j];
            ++used;
        }
    }
    MaskLayout layout;
    if (!layout.build(mask, n_rows, n_cols)) {
        return false;
    }
    std::unique_ptr<double[]> sums(new (std::nothrow) double[layout.widest + 1]);
    if (!sums) {
        return false;
    }
    for (std::size_t r = 0; r < n_rows; ++r) {
        const MaskRow& row = layout.rows[r];
        double* out_row = out + r * n_cols;
        const bool in_place = row.one_run;
        const double* xs = in_place ? layout.xs.get() + row.first : layout.packed_xs.get() + row.packed;
        double* sum = in_place ? out_row + row.first : sums.get();
        if (in_place) {
            zero_outside_run(out_row, row, n_cols);
        }
        // Each pixel's sum starts at 0.0 and takes the slots in increasing order.
        fill_zeros(sum, row.count);
        for (std::size_t u = 0; u < used && row.count != 0; ++u) {
            accumulate_term(used_slots[u], xs, layout.ys[r], used_values[u], sum, row.count);
        }
        if (!in_place) {
            scatter_row(sum, layout.cols.get() + row.packed, row.count, out_row, n_cols);
        }
    }
    return true;
}

bool fill_zernike_matrix(const std::uint8_t* mask, std::size_t n_rows, std::size_t n_cols, std::size_t count,
                         double* out) {
    const std::size_t pixels = n_rows * n_cols;
    const std::size_t with_term = count < ZERNIKE_SLOTS ? count : ZERNIKE_SLOTS;
    // Slots beyond the table have no term: their rows are zeros.
    fill_zeros(out + with_term * pixels, (count - with_term) * pixels);
    if (pixels == 0 || with_term == 0) {
        return true;
    }
    MaskLayout layout;
    if (!layout.build(mask, n_rows, n_cols)) {
        return false;
    }
    std::unique_ptr<double[]> values(new (std::nothrow) double[layout.widest + 1]);
    if (!values) {
        return false;
    }
    for (std::size_t k = 0; k < with_term; ++k) {
        double* plane = out + k * pixels;
        for (std::size_t r = 0; r < n_rows; ++r) {
            const MaskRow& row = layout.rows[r];
            double* out_row = plane + r * n_cols;
            if (row.one_run) {
                zero_outside_run(out_row, row, n_cols);
                evaluate_term(k, layout.xs.get() + row.first, layout.ys[r], out_row + row.first, row.count);
            } else {
                evaluate_term(k, layout.packed_xs.get() + row.packed, layout.ys[r], values.get(), row.count);
                scatter_row(values.get(), layout.cols.get() + row.packed, row.count, out_row, n_cols);
            }
        }
    }
    return true;
}

}  // namespace
}  // namespace zelnor
