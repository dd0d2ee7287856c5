// Tests of the band Hough kernel against a direct, cell-by-cell evaluation of its formulas.
#include <omp.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <random>
#include <vector>

#include "kernel/band_hough.hpp"

#ifdef HOUGH_HAVE_FORK
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#endif

namespace {

int failures = 0;

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            ++failures;                                                                   \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
        }                                                                                 \
    } while (0)

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Args {
    std::size_t Nx, Ny;
    double r0, r1;
    std::size_t Nr;
    double t0, t1;
    std::size_t Nt;
    double width;
};

std::vector<double> run(const std::vector<double>& img, const Args& a, bool wide = false) {
    std::unique_ptr<double[]> out(hough::detail::generate(img.data(), a.Nx, a.Ny, a.r0, a.r1, a.Nr,
                                                          a.t0, a.t1, a.Nt, a.width, wide));
    CHECK(out != nullptr);
    return std::vector<double>(out.get(), out.get() + a.Nr * a.Nt);
}

// Through the public entry point, as the extension module calls it.
std::vector<double> run_public(std::vector<double>& img, const Args& a) {
    std::unique_ptr<double[]> out(hough::generate_hough_transformed_map(
        img.data(), a.Nx, a.Ny, a.r0, a.r1, a.Nr, a.t0, a.t1, a.Nt, a.width));
    return std::vector<double>(out.get(), out.get() + a.Nr * a.Nt);
}

// Cell range of one pixel at one theta, straight from the formulas: [k_lo, k_hi) as doubles
// (possibly infinite), or nothing for a NaN edge.
struct Band {
    bool any;
    double lo, hi;
};

Band band(const Args& a, std::size_t i, std::size_t j, std::size_t l) {
    const double dr = (a.r1 - a.r0) / (a.Nr - 1.0);
    const double dt = (a.t1 - a.t0) / (a.Nt - 1.0);
    const double h = a.width * dr;
    const double x = (-(a.Nx - 1.0)) * 0.5 + i;
    const double y = (-(a.Ny - 1.0)) * 0.5 + j;
    const double theta = l * dt + a.t0;
    const double s = std::sin(theta), c = std::cos(theta);
    const double d = (s * y - c * x) - a.r0;
    const double t_lo = (d - h) / dr + 0.5;
    const double t_hi = (d + h) / dr + 0.5;
    if (std::isnan(t_lo) || std::isnan(t_hi)) return {false, 0, 0};
    return {true, std::floor(t_lo), std::floor(t_hi)};
}

// Every contribution summed cell by cell in pixel order (row j, then column i). Returns the
// scores; counts receives the number of contributions of each cell.
std::vector<double> naive_plain(const std::vector<double>& img, const Args& a,
                                std::vector<double>* counts = nullptr) {
    std::vector<double> S(a.Nr * a.Nt, 0.0), C(a.Nr * a.Nt, 0.0);
    for (std::size_t j = 0; j < a.Ny; ++j)
        for (std::size_t i = 0; i < a.Nx; ++i)
            for (std::size_t l = 0; l < a.Nt; ++l) {
                const Band b = band(a, i, j, l);
                if (!b.any) continue;
                for (std::size_t k = 0; k < a.Nr; ++k)
                    if (b.lo <= k && k < b.hi) {
                        S[k * a.Nt + l] += img[j * a.Nx + i];
                        C[k * a.Nt + l] += 1.0;
                    }
            }
    for (std::size_t n = 0; n < S.size(); ++n)
        if (C[n] > 0) S[n] /= std::sqrt(C[n]);
    if (counts) *counts = C;
    return S;
}

// The same contributions in the kernel's summation order: a band spanning exactly w = 2 *
// width cells (when that is a whole number <= Nr) is summed, in pixel order, into the
// accumulator of its first cell m; any other band cell by cell into D. Cell k is
// ((0 + P[k - w + 1]) + ... + P[k]) + D[k].
std::vector<double> naive_grouped(const std::vector<double>& img, const Args& a) {
    const double span = 2.0 * a.width;
    const double w = (span <= a.Nr && span == std::floor(span)) ? span : 0.0;
    std::vector<double> out(a.Nr * a.Nt, 0.0);
    for (std::size_t l = 0; l < a.Nt; ++l)
        for (std::size_t k = 0; k < a.Nr; ++k) {
            double S = 0.0, C = 0.0;
            for (double m = k - w + 1; m <= k; ++m) {
                double s = 0.0, c = 0.0;
                for (std::size_t j = 0; j < a.Ny; ++j)
                    for (std::size_t i = 0; i < a.Nx; ++i) {
                        const Band b = band(a, i, j, l);
                        if (b.any && b.hi - b.lo == w && b.lo == m) {
                            s += img[j * a.Nx + i];
                            c += 1.0;
                        }
                    }
                S += s;
                C += c;
            }
            double s = 0.0, c = 0.0;
            for (std::size_t j = 0; j < a.Ny; ++j)
                for (std::size_t i = 0; i < a.Nx; ++i) {
                    const Band b = band(a, i, j, l);
                    if (b.any && !(w > 0 && b.hi - b.lo == w) && b.lo <= k && k < b.hi) {
                        s += img[j * a.Nx + i];
                        c += 1.0;
                    }
                }
            S += s;
            C += c;
            out[k * a.Nt + l] = C > 0 ? S / std::sqrt(C) : S;
        }
    return out;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

bool all_zero(const std::vector<double>& v) {
    for (double x : v)
        if (x != 0.0) return false;
    return true;
}

std::vector<double> noise(std::size_t n, std::mt19937_64& rng, double mean = 0.0) {
    std::normal_distribution<double> nd(mean, 1.0);
    std::vector<double> v(n);
    for (double& x : v) x = nd(rng);
    return v;
}

// The full comparison for one configuration: the cells each pixel reaches (counts, read back
// from an all-ones image as sqrt(count)) match the formulas exactly, the scores match the
// grouped summation bit for bit, and a plain cell-by-cell summation to rounding.
void compare_with_naive(const std::vector<double>& img, const Args& a, const char* what) {
    const int before = failures;
    const std::vector<double> ones(img.size(), 1.0);
    std::vector<double> count;
    naive_plain(ones, a, &count);
    const std::vector<double> got_ones = run(ones, a);
    for (std::size_t n = 0; n < count.size(); ++n) {
        const double expect = count[n] > 0 ? count[n] / std::sqrt(count[n]) : 0.0;
        CHECK(got_ones[n] == expect);
    }
    const std::vector<double> got = run(img, a);
    CHECK(same_bits(got, naive_grouped(img, a)));
    CHECK(same_bits(got, run(img, a, true)));
    const std::vector<double> plain = naive_plain(img, a);
    for (std::size_t n = 0; n < plain.size(); ++n) {
        // Summation-order differences: relative to the sum of magnitudes that fed the cell.
        const double scale = count[n] > 0 ? std::sqrt(count[n]) * 8.0 : 1.0;
        if (std::isnan(plain[n]))
            CHECK(std::isnan(got[n]));
        else if (std::isinf(plain[n]))
            CHECK(got[n] == plain[n]);
        else
            CHECK(std::fabs(got[n] - plain[n]) <= 1e-13 * scale);
    }
    if (failures != before)
        std::fprintf(stderr,
                     "  in %s: Nx=%zu Ny=%zu r=[%.17g, %.17g] Nr=%zu t=[%.17g, %.17g] Nt=%zu "
                     "width=%.17g\n",
                     what, a.Nx, a.Ny, a.r0, a.r1, a.Nr, a.t0, a.t1, a.Nt, a.width);
}

void test_single_pixel() {
    // x = y = 0, r0 = -2, dr = 1: d = 2 for every theta, so cells 1 and 2 get the pixel.
    std::vector<double> img{3.25};
    const Args a{1, 1, -2.0, 2.0, 5, 0.0, 3.0, 7, 1.0};
    const std::vector<double> out = run_public(img, a);
    for (std::size_t k = 0; k < 5; ++k)
        for (std::size_t l = 0; l < 7; ++l)
            CHECK(out[k * 7 + l] == (k == 1 || k == 2 ? 3.25 : 0.0));

    // width 0.5: the single cell floor(u), u = d / dr = 2.3.
    const std::vector<double> half = run(img, {1, 1, -2.3, 1.7, 5, 0.0, 3.0, 7, 0.5});
    for (std::size_t k = 0; k < 5; ++k)
        for (std::size_t l = 0; l < 7; ++l) CHECK(half[k * 7 + l] == (k == 2 ? 3.25 : 0.0));

    // A band reaching below the grid: u = 0 covers cells -1 and 0, only 0 exists.
    const std::vector<double> low = run(img, {1, 1, 0.0, 4.0, 5, 0.0, 3.0, 7, 1.0});
    for (std::size_t k = 0; k < 5; ++k)
        for (std::size_t l = 0; l < 7; ++l) CHECK(low[k * 7 + l] == (k == 0 ? 3.25 : 0.0));
    // and above it: u = 4 covers cells 3 and 4 of 5; u = 5 covers 4 (and 5, outside).
    const std::vector<double> high = run(img, {1, 1, -5.0, -1.0, 5, 0.0, 3.0, 7, 1.0});
    for (std::size_t k = 0; k < 5; ++k)
        for (std::size_t l = 0; l < 7; ++l) CHECK(high[k * 7 + l] == (k == 4 ? 3.25 : 0.0));
}

void test_empty_and_degenerate() {
    std::mt19937_64 rng(1);
    std::vector<double> img = noise(6 * 5, rng);
    const Args base{6, 5, -4.0, 4.0, 9, 0.0, 3.0, 4, 1.0};

    for (double width : {0.0, -1.0, -kInf, kNaN, -0.0, std::numeric_limits<double>::denorm_min()}) {
        Args a = base;
        a.width = width;
        const std::vector<double> out = run(img, a);
        // A subnormal width still gives a (tiny) band; compare that one with the formulas.
        if (width > 0)
            compare_with_naive(img, a, "subnormal width");
        else
            CHECK(out.size() == 9 * 4 && all_zero(out));
    }

    // No pixels; no r or theta values; a single r or theta value (0/0 or x/0 steps).
    for (Args a : {Args{0, 5, -4, 4, 9, 0, 3, 4, 1}, Args{6, 0, -4, 4, 9, 0, 3, 4, 1},
                   Args{6, 5, -4, 4, 1, 0, 3, 4, 1}, Args{6, 5, -4, 4, 9, 0, 3, 1, 1},
                   Args{6, 5, 2, 2, 1, 1, 1, 1, 1}}) {
        CHECK(all_zero(run(img, a)));
        CHECK(run(img, a).size() == a.Nr * a.Nt);
    }
    for (Args a : {Args{6, 5, -4, 4, 0, 0, 3, 4, 1}, Args{6, 5, -4, 4, 9, 0, 3, 0, 1},
                   Args{0, 0, -4, 4, 0, 0, 3, 0, 1}}) {
        std::unique_ptr<double[]> out(hough::generate_hough_transformed_map(
            img.data(), a.Nx, a.Ny, a.r0, a.r1, a.Nr, a.t0, a.t1, a.Nt, a.width));
        CHECK(out != nullptr);
    }

    // NaN, infinite and equal grid ends: NaN or infinite steps and edges feed nothing.
    for (Args a : {Args{6, 5, kNaN, 4, 9, 0, 3, 4, 1}, Args{6, 5, -4, kNaN, 9, 0, 3, 4, 1},
                   Args{6, 5, -kInf, 4, 9, 0, 3, 4, 1}, Args{6, 5, -4, kInf, 9, 0, 3, 4, 1},
                   Args{6, 5, 3, 3, 9, 0, 3, 4, 1}, Args{6, 5, -4, 4, 9, kNaN, 3, 4, 1},
                   Args{6, 5, -4, 4, 9, 0, kInf, 4, 1}, Args{6, 5, -4, 4, 9, -kInf, kInf, 4, 1}}) {
        CHECK(all_zero(run(img, a)));
        compare_with_naive(img, a, "non-finite grid");
    }
    // Equal theta ends are a valid grid: every column is the same.
    Args eq = base;
    eq.t1 = eq.t0 = 0.7;
    compare_with_naive(img, eq, "equal theta ends");
    // A theta step that overflows part way: the columns past the overflow stay 0.
    Args big = base;
    big.t0 = -1e308;
    big.t1 = 1.7e308;
    compare_with_naive(img, big, "overflowing theta");
}

void test_wide_bands() {
    std::mt19937_64 rng(2);
    std::vector<double> img = noise(7 * 4, rng);
    const Args base{7, 4, -3.0, 5.0, 11, -1.0, 2.0, 5, 1.0};

    // width = +inf: every cell of every column gets every pixel.
    Args a = base;
    a.width = kInf;
    const std::vector<double> all = run(img, a);
    double sum = 0.0;
    for (double v : img) sum += v;
    for (double v : all) CHECK(std::fabs(v - sum / std::sqrt(28.0)) < 1e-12);
    compare_with_naive(img, a, "infinite width");

    // width = 1e30: the same cells, computed by clipping rather than a 1e30-cell loop.
    a.width = 1e30;
    const auto start = std::chrono::steady_clock::now();
    const std::vector<double> huge = run(img, a);
    const double sec =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    CHECK(sec < 1.0);
    compare_with_naive(img, a, "width 1e30");
    for (double width : {1e300, 2.0 * 11, 11.0, 5.5, 2.25})
        compare_with_naive(img, Args{7, 4, -3.0, 5.0, 11, -1.0, 2.0, 5, width}, "wide band");
}

void test_nan_pixels() {
    std::mt19937_64 rng(3);
    std::vector<double> img = noise(8 * 8, rng);
    img[19] = kNaN;
    img[40] = kInf;
    const Args a{8, 8, -6.0, 6.0, 13, 0.0, 3.1, 9, 1.0};
    const std::vector<double> out = run(img, a);
    std::vector<double> count;
    naive_plain(img, a, &count);
    bool some_nan = false, some_finite = false;
    for (double v : out) (std::isnan(v) ? some_nan : some_finite) = true;
    CHECK(some_nan && some_finite);
    compare_with_naive(img, a, "NaN pixels");
}

void test_threads_agree() {
    std::mt19937_64 rng(4);
    const Args a{61, 47, -40.0, 40.0, 121, 0.0, 3.14159, 37, 1.0};
    std::vector<double> img = noise(a.Nx * a.Ny, rng, 100.0);
    const int saved = omp_get_max_threads();
    omp_set_num_threads(1);
    const std::vector<double> one = run(img, a);
    for (int n : {2, 7, 3}) {
        omp_set_num_threads(n);
        CHECK(same_bits(one, run(img, a)));
        Args narrow = a;  // fewer theta columns than threads
        narrow.Nt = 3;
        const std::vector<double> few = run(img, narrow);
        omp_set_num_threads(1);
        CHECK(same_bits(few, run(img, narrow)));
        omp_set_num_threads(n);
    }
    omp_set_num_threads(saved);
}

// Random images and grids: ascending and descending r grids, any theta range, integral and
// fractional widths, grids that cut through the image, and grids whose edges fall exactly on
// integers (half-integer pixel coordinates against whole-number r values).
void test_random_grids() {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> uni(0.0, 1.0);
    for (int trial = 0; trial < 120; ++trial) {
        Args a;
        a.Nx = 1 + rng() % 23;
        a.Ny = 1 + rng() % 19;
        const double radius = std::sqrt(double(a.Nx * a.Nx + a.Ny * a.Ny)) / 2;
        a.Nr = 2 + rng() % 40;
        a.Nt = 2 + rng() % 21;
        if (trial % 3 == 0) {
            a.r0 = std::round(-radius * uni(rng) * 1.5);
            a.r1 = a.r0 + double(a.Nr - 1) * (1 + rng() % 2) * 0.5;
            a.t0 = 0.0;
            a.t1 = (a.Nt - 1) * (M_PI / 2);
        } else {
            a.r0 = radius * (3 * uni(rng) - 1.5);
            a.r1 = radius * (3 * uni(rng) - 1.5);
            a.t0 = 8 * uni(rng) - 4;
            a.t1 = 8 * uni(rng) - 4;
        }
        if (trial % 4 == 1) std::swap(a.r0, a.r1);
        const double widths[] = {1.0, 0.5, 1.5, 2.0, 0.3, 1.7, 3.0, 0.25};
        a.width = widths[trial % 8];
        compare_with_naive(noise(a.Nx * a.Ny, rng, trial % 2 ? 0.0 : 50.0), a, "random grid");
    }
}

void test_bad_alloc() {
    std::vector<double> img{1.0};
    // Sizes whose byte counts overflow size_t: refused before anything is allocated.
    const std::size_t big = std::numeric_limits<std::size_t>::max() / 2;
    for (Args a : {Args{1, 1, -1, 1, big, 0, 1, 4, 1}, Args{1, 1, -1, 1, big / 2, 0, 1, 1, 1}}) {
        bool threw = false;
        try {
            std::unique_ptr<double[]> out(hough::generate_hough_transformed_map(
                img.data(), a.Nx, a.Ny, a.r0, a.r1, a.Nr, a.t0, a.t1, a.Nt, a.width));
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        CHECK(threw);
    }
}

// A process forked after the kernel has run threads still gets the same map, and in time: the
// OpenMP runtime's workers are not copied into the child.
void test_fork() {
#ifdef HOUGH_HAVE_FORK
    std::mt19937_64 rng(6);
    const Args a{41, 37, -30.0, 30.0, 61, 0.0, 3.14159, 29, 1.0};
    std::vector<double> img = noise(a.Nx * a.Ny, rng, 10.0);
    const std::vector<double> parent = run(img, a);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        alarm(30);  // a hang ends the child, which the parent reports
        const bool same = same_bits(parent, run(img, a)) && same_bits(parent, run(img, a));
        _exit(same && failures == 0 ? 0 : 1);
    }
    CHECK(child > 0);
    int status = 0;
    CHECK(waitpid(child, &status, 0) == child);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    CHECK(same_bits(parent, run(img, a)));  // and the parent keeps its threads
#endif
}

}  // namespace

int main() {
    test_single_pixel();
    test_empty_and_degenerate();
    test_wide_bands();
    test_nan_pixels();
    test_threads_agree();
    test_random_grids();
    test_bad_alloc();
    test_fork();
    if (failures) {
        std::fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    std::printf("all kernel checks passed\n");
    return 0;
}
