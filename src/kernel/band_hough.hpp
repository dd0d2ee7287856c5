// Band Hough accumulator: the native kernel behind HoughTransform.score_map.
//
// Every pixel adds its value to each (r, theta) cell whose r lies within a band of half-width
// `width` r steps around the pixel's own r at that theta; each cell ends as sum / sqrt(count).
//
// Build with -ffp-contract=off: the band edges must be rounded exactly as written, and the
// AVX-512/AVX2 clones below would otherwise fuse multiply-adds.
#pragma once

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#define HOUGH_HAVE_FORK
#endif

namespace hough {

using pixmap = double*;

namespace detail {

// Run-time dispatch to AVX-512 / AVX2 code where the CPU has it. ThreadSanitizer builds run the
// ifunc resolver before the sanitizer runtime is up and crash, so they get the portable code.
// GCC announces ThreadSanitizer with __SANITIZE_THREAD__, Clang (before 15) only through
// __has_feature.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define HOUGH_THREAD_SANITIZER
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(HOUGH_THREAD_SANITIZER)
#define HOUGH_TARGET_CLONES
#else
#define HOUGH_TARGET_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#endif

// Theta values handled together by one thread: one AVX-512 vector of band edges per pixel.
constexpr std::size_t kLanes = 8;
// Pixels whose band edges are computed before they are scattered; keeps the index buffer in L1.
constexpr std::size_t kChunk = 64;

// Sum and count of one accumulator, added with one 128-bit operation.
typedef double cell_t __attribute__((vector_size(16)));

// a * b, throwing std::bad_alloc when the product does not fit in size_t.
inline std::size_t checked_mul(std::size_t a, std::size_t b) {
    if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) throw std::bad_alloc();
    return a * b;
}

inline std::size_t checked_add(std::size_t a, std::size_t b) {
    if (b > std::numeric_limits<std::size_t>::max() - a) throw std::bad_alloc();
    return a + b;
}

// Per-call constants of the binning loop.
//
// A band edge is t = (d -/+ h) / dr + 0.5 and its cell index floor(t); the band of one pixel at
// one theta covers the cells [floor(t_lo), floor(t_hi)) clipped to [0, Nr). Most bands span
// exactly w = 2 * width cells (when that is a whole number); such a band is accumulated once,
// in the band-start accumulator P[floor(t_lo)], instead of once per cell, and every other
// band goes cell by cell into D. Cell k is then
//     ((0 + P[k - w + 1]) + ... + P[k]) + D[k],
// where each P and D holds its contributions summed in row-major pixel order. Counts are
// exact integers; the sums differ from a cell-by-cell accumulation only by summation order.
struct band_grid {
    std::size_t Nr;
    std::size_t w;  // standard band span in cells; 0 when 2 * width is not a whole number <= Nr
    double r0, dr, h;
    double inv_dr;  // 1 / dr, for the fast edge estimate
    double tol;     // an estimate this close to an integer is recomputed by division
    bool fast;      // whether the fast estimate may be used at all
};

// One accumulator column per lane: P (offset by w, so that bands starting up to w cells below
// the grid still land inside) and D. P[0] and P[Nr + w] collect bands that miss the grid.
struct lane_cols {
    cell_t* p[kLanes];
    cell_t* d[kLanes];
    bool live[kLanes];
    std::size_t n;  // lanes in use: those past n are all dead
};

// Bins all pixels into the kLanes theta columns of one block. Lanes without a live theta point
// at a scratch column and are given finite sin/cos, so that no lane ever computes NaN.
//
// Fast path (w > 0): only the lower edge is evaluated, estimated without division as
// t' = A - B * x_i with A = ((s * y_j - r0) / dr - (h / dr - 0.5)) + w and B = c / dr (w is
// added so that the index stays non-negative). Every intermediate of both this estimate and
// the defined computation of t_lo and t_hi is bounded by m cells (see the caller), and each of
// the few roundings on either side is at most u = 2^-53 relative, so t' - w, t_lo and
// t_hi - w all lie within 32um of each other (t_hi - t_lo = 2h/dr = w up to one rounding).
// When every t' of a chunk is farther than tol = 128um from an integer, floor(t') - w is
// floor(t_lo) and floor(t') is floor(t_hi) for every pixel: the chunk is binned from the
// estimate. Otherwise the chunk is redone with the defined division. The distance to the
// nearest integer, |c - ((c + 2^52) - 2^52)| for c in [0.5, 2^51], is computed exactly.
template <class Index>
[[gnu::always_inline]] inline void bin_block_impl(const double* input, std::size_t Nx,
                                                  std::size_t Ny, const double* x, const double* y,
                                                  const double* sin_t, const double* cos_t,
                                                  const band_grid& g, const lane_cols& cols) {
    // GCC vector extensions: each clone lowers them to its own vector width.
    typedef double vd __attribute__((vector_size(kLanes * sizeof(double))));
    typedef Index vk __attribute__((vector_size(kLanes * sizeof(Index))));

    vd s, c;
    for (std::size_t e = 0; e < kLanes; ++e) {
        s[e] = sin_t[e];
        c[e] = cos_t[e];
    }
    const Index w = static_cast<Index>(g.w);
    const double nr = static_cast<double>(g.Nr), wd = static_cast<double>(g.w);
    const vd r0 = g.r0 - vd{};
    // Fast path: indices floor(t') in [0, Nr + w].
    const vd inv_dr = g.inv_dr - vd{};
    const vd b = c * inv_dr;
    const vd lo_off = (g.h * g.inv_dr - 0.5) - wd - vd{};
    const double top_fast = nr + wd + 0.5;
    const double tol = g.tol;
    const bool fast = g.fast && g.w > 0;
    vk k_lo[kChunk], k_hi[kChunk];
    alignas(64) Index k_fast[kLanes][kChunk];

    for (std::size_t j = 0; j < Ny; ++j) {
        const double* row = input + j * Nx;
        const vd sy = s * y[j];
        const vd a_lo = (sy - r0) * inv_dr - lo_off;

        for (std::size_t i0 = 0; i0 < Nx; i0 += kChunk) {
            const std::size_t n = std::min(kChunk, Nx - i0);

            if (fast) {
                // Lane by lane, pixels innermost: a plain loop that the compiler vectorises
                // across pixels for each clone's own width.
                bool near = false;
                for (std::size_t e = 0; e < cols.n; ++e) {
                    const double a = a_lo[e], be = b[e];
                    Index* k = k_fast[e];
                    int lane_near = 0;
                    for (std::size_t p = 0; p < n; ++p) {
                        double t = a - be * x[i0 + p];
                        t = 0.5 < t ? t : 0.5;
                        t = t < top_fast ? t : top_fast;
                        lane_near |= std::fabs(t - ((t + 0x1p52) - 0x1p52)) <= tol;
                        k[p] = static_cast<Index>(t);
                    }
                    near |= lane_near != 0 && cols.live[e];
                }
                if (!near) {
                    // Lanes innermost: independent columns, so several read-modify-write
                    // chains stay in flight when consecutive pixels hit the same accumulator.
                    for (std::size_t p = 0; p < n; ++p) {
                        const cell_t add = {row[i0 + p], 1.0};
                        for (std::size_t e = 0; e < cols.n; ++e) cols.p[e][k_fast[e][p]] += add;
                    }
                    continue;
                }
            }

            // The defined computation, edge by edge. Edges are clipped to [-w, Nr + w] before
            // the conversion; beyond those bounds an edge only bounds bands that miss the grid
            // (a band clipped to span w lands in P[0] or P[Nr + w], which no cell reads).
            for (std::size_t p = 0; p < n; ++p) {
                for (std::size_t e = 0; e < kLanes; ++e) {
                    const double d = (sy[e] - c[e] * x[i0 + p]) - g.r0;
                    const double t_lo = (d - g.h) / g.dr + 0.5;
                    const double t_hi = (d + g.h) / g.dr + 0.5;
                    k_lo[p][e] = static_cast<Index>(std::floor(std::clamp(t_lo, -wd, nr + wd))) + w;
                    k_hi[p][e] = static_cast<Index>(std::floor(std::clamp(t_hi, -wd, nr + wd))) + w;
                }
            }
            const Index first = w, last = w + static_cast<Index>(g.Nr);
            for (std::size_t p = 0; p < n; ++p) {
                const cell_t add = {row[i0 + p], 1.0};
                for (std::size_t e = 0; e < cols.n; ++e) {
                    const Index lo = k_lo[p][e], hi = k_hi[p][e];
                    if (w > 0 && hi - lo == w) {
                        cols.p[e][lo] += add;
                    } else {
                        for (Index k = std::max(lo, first); k < std::min(hi, last); ++k)
                            cols.d[e][k - first] += add;
                    }
                }
            }
        }
    }
}

HOUGH_TARGET_CLONES inline void bin_block32(const double* input, std::size_t Nx, std::size_t Ny,
                                            const double* x, const double* y, const double* sin_t,
                                            const double* cos_t, const band_grid& g,
                                            const lane_cols& cols) {
    bin_block_impl<std::int32_t>(input, Nx, Ny, x, y, sin_t, cos_t, g, cols);
}

// Grids too large for 32-bit cell indices.
inline void bin_block64(const double* input, std::size_t Nx, std::size_t Ny, const double* x,
                        const double* y, const double* sin_t, const double* cos_t,
                        const band_grid& g, const lane_cols& cols) {
    bin_block_impl<std::int64_t>(input, Nx, Ny, x, y, sin_t, cos_t, g, cols);
}

}  // namespace detail

namespace detail {

// Whether this process may start the parallel region's threads. GCC's OpenMP runtime keeps its
// pool of worker threads across fork() although the workers themselves are not copied: the
// child's next parallel region waits for them forever. So the region runs threaded only in the
// process that ran it first (or while none has), and on one thread in a process forked after
// that; the result is the same, each theta column being summed in the same order.
inline bool threads_usable() {
#ifdef HOUGH_HAVE_FORK
    static std::atomic<pid_t> owner{0};
    const pid_t self = getpid();
    pid_t first = 0;
    return owner.compare_exchange_strong(first, self) || first == self;
#else
    return true;
#endif
}

// The kernel; `wide` forces 64-bit cell indices, which large grids need (and tests exercise).
inline pixmap generate(const double* input, std::size_t Nx, std::size_t Ny, double r0, double r1,
                       std::size_t Nr, double t0, double t1, std::size_t Nt, double width,
                       bool wide) {
    const std::size_t ncell = checked_mul(Nr, Nt);
    checked_mul(ncell, sizeof(double));
    std::unique_ptr<double[]> result(new double[ncell]());
    if (ncell == 0 || Nx == 0 || Ny == 0) return result.release();

    const double dr = (r1 - r0) / (Nr - 1.0);
    const double dt = (t1 - t0) / (Nt - 1.0);
    const double h = width * dr;
    // Without a finite, non-zero r step or a positive width every band edge is NaN or the
    // band is empty (d - h >= d + h after the division, by monotonic rounding), so no pixel
    // is binned and the all-zero map is the answer. This covers Nr == 1. Past this point r0,
    // dr and every d are finite, h is non-zero, and t_lo, t_hi are never NaN.
    if (!(std::isfinite(dr) && dr != 0.0 && width > 0.0)) return result.release();

    std::vector<double> sin_t(Nt), cos_t(Nt);
    std::vector<char> live(Nt);
    bool any_live = false;
    for (std::size_t l = 0; l < Nt; ++l) {
        const double theta = l * dt + t0;
        // A non-finite theta (always the case for Nt == 1) makes d NaN: its column stays 0.
        live[l] = std::isfinite(theta);
        any_live |= live[l] != 0;
        sin_t[l] = live[l] ? std::sin(theta) : 0.0;
        cos_t[l] = live[l] ? std::cos(theta) : 0.0;
    }
    if (!any_live) return result.release();

    std::vector<double> x(Nx), y(Ny);
    for (std::size_t i = 0; i < Nx; ++i) x[i] = (-(Nx - 1.0)) * 0.5 + i;
    for (std::size_t j = 0; j < Ny; ++j) y[j] = (-(Ny - 1.0)) * 0.5 + j;

    band_grid g;
    g.Nr = Nr;
    const double span = 2.0 * width;
    g.w = (span <= static_cast<double>(Nr) && span == std::floor(span))
              ? static_cast<std::size_t>(span)
              : 0;
    g.r0 = r0;
    g.dr = dr;
    g.h = h;
    g.inv_dr = 1.0 / dr;
    // Bound on every intermediate of the edge computations, in cells.
    const double m =
        ((Nx - 1.0) * 0.5 + (Ny - 1.0) * 0.5 + std::fabs(r0) + std::fabs(h)) / std::fabs(dr) +
        span + 2.0;
    g.tol = 0x1p-46 * m;
    // The error bound needs a normal 1/dr; an infinite m (huge width) disables the estimate.
    g.fast = std::isnormal(g.inv_dr) && g.tol < 0.25;

    // 32-bit indices while every clipped edge, up to Nr + 2w, fits.
    wide |= Nr > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max() / 4);

    // Per thread: kLanes + 1 columns (the last takes dead lanes) of P (Nr + w + 1 cells) and
    // D (Nr cells), allocated before the parallel region. The column stride is an odd number
    // of cache lines, so that the lanes do not compete for the same cache sets.
    const bool threaded = threads_usable();
    const std::size_t nthreads =
        threaded ? static_cast<std::size_t>(std::max(1, omp_get_max_threads())) : 1;
    const std::size_t cells = checked_add(checked_add(Nr, g.w + 1), Nr);
    const std::size_t stride = checked_add(checked_mul(checked_add(cells, 7) / 8, 8), 4);
    const std::size_t per_thread = checked_mul(stride, kLanes + 1);
    checked_mul(checked_mul(per_thread, nthreads), sizeof(cell_t));
    std::unique_ptr<cell_t[]> acc(new cell_t[per_thread * nthreads]);

    // Fewer theta columns than kLanes per thread: narrower blocks, one per thread.
    const std::size_t lanes = std::clamp<std::size_t>((Nt + nthreads - 1) / nthreads, 1, kLanes);
    const std::size_t nblock = (Nt + lanes - 1) / lanes;
    const double* in = input;
    double* out = result.get();
    const std::size_t w = g.w;

    // At most nthreads threads, whatever the runtime's settings: each has its own accumulators.
#pragma omp parallel if (threaded) num_threads(static_cast<int>(nthreads))
    {
        cell_t* mine = acc.get() + per_thread * static_cast<std::size_t>(omp_get_thread_num());
#pragma omp for schedule(dynamic, 1)
        for (std::size_t blk = 0; blk < nblock; ++blk) {
            const std::size_t l0 = blk * lanes;
            const std::size_t nl = std::min(lanes, Nt - l0);
            std::fill(mine, mine + per_thread, cell_t{0.0, 0.0});
            alignas(64) double sb[kLanes], cb[kLanes];
            lane_cols cols;
            for (std::size_t e = 0; e < kLanes; ++e) {
                const bool on = e < nl && live[l0 + e];
                sb[e] = on ? sin_t[l0 + e] : 0.0;
                cb[e] = on ? cos_t[l0 + e] : 1.0;
                cols.p[e] = mine + (on ? e : kLanes) * stride;
                cols.d[e] = cols.p[e] + Nr + w + 1;
                cols.live[e] = on;
                cols.n = nl;
            }
            if (wide)
                bin_block64(in, Nx, Ny, x.data(), y.data(), sb, cb, g, cols);
            else
                bin_block32(in, Nx, Ny, x.data(), y.data(), sb, cb, g, cols);

            for (std::size_t e = 0; e < nl; ++e) {
                if (!live[l0 + e]) continue;
                const cell_t* p = cols.p[e];
                const cell_t* d = cols.d[e];
                for (std::size_t k = 0; k < Nr; ++k) {
                    // Bands starting at k - w + 1 .. k (P index + w), ascending; then D.
                    cell_t sc = {0.0, 0.0};
                    for (std::size_t q = k + 1; q < k + 1 + w; ++q) sc += p[q];
                    sc += d[k];
                    out[k * Nt + l0 + e] = sc[1] > 0.0 ? sc[0] / std::sqrt(sc[1]) : sc[0];
                }
            }
        }
    }
    return result.release();
}

}  // namespace detail

// Score map of an Ny x Nx image (row j, column i at input[j * Nx + i]) over Nr r values from
// r0 to r1 and Nt theta values from t0 to t1, both ends included. Cell (k, l) of the result,
// at k * Nt + l, is sum / sqrt(count) over the pixels whose band of half-width width * dr
// holds the centre of r interval k at theta l; cells no pixel reaches are 0.0. The result
// is allocated with new double[] and owned by the caller. Throws std::bad_alloc, having
// released everything else, when the buffers cannot be allocated.
//
// Deterministic: each theta column is accumulated by one thread in a fixed order (see
// detail::band_grid), so the result is bit-identical whatever the number of threads.
inline pixmap generate_hough_transformed_map(pixmap input, std::size_t const& Nx,
                                             std::size_t const& Ny, double const& r0,
                                             double const& r1, std::size_t const& Nr,
                                             double const& t0, double const& t1,
                                             std::size_t const& Nt, double const& width) {
    return detail::generate(input, Nx, Ny, r0, r1, Nr, t0, t1, Nt, width, false);
}

}  // namespace hough
