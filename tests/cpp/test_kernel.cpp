// Tests of the band Hough kernel against a direct, cell-by-cell evaluation of its formulas.
#include <omp.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <new>
#include <random>
#include <vector>

#include "kernel/band_hough.hpp"

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

// Cell range of one pixel at one theta, straight from the formulas: [lo, hi) as doubles
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
    const double d = (std::sin(theta) * y - std::cos(theta) * x) - a.r0;
    const double t_lo = (d - h) / dr + 0.5;
    const double t_hi = (d + h) / dr + 0.5;
    if (std::isnan(t_lo) || std::isnan(t_hi)) return {false, 0, 0};
    return {true, std::floor(t_lo), std::floor(t_hi)};
}

// Every contribution, summed in the kernel's order: a band spanning exactly w = 2 * width
// cells (when that is a whole number <= Nr) is summed, in pixel order (row j, then column i),
// into the accumulator of its first cell m; any other band cell by cell into D. Cell k is
// ((0 + P[k - w + 1]) + ... + P[k]) + D[k], divided by the square root of its count.
std::vector<double> naive(const std::vector<double>& img, const Args& a) {
    const double span = 2.0 * a.width;
    const double w = (span <= a.Nr && span == std::floor(span)) ? span : 0.0;
    std::vector<double> out(a.Nr * a.Nt, 0.0);
    for (std::size_t l = 0; l < a.Nt; ++l)
        for (std::size_t k = 0; k < a.Nr; ++k) {
            double S = 0.0, C = 0.0;
            // m = k + 1 stands for D: the bands that are not exactly w cells wide.
            for (double m = k - w + 1; m <= k + 1; ++m) {
                double s = 0.0, c = 0.0;
                for (std::size_t j = 0; j < a.Ny; ++j)
                    for (std::size_t i = 0; i < a.Nx; ++i) {
                        const Band b = band(a, i, j, l);
                        const bool grouped = w > 0 && b.hi - b.lo == w;
                        if (b.any &&
                            (m <= k ? grouped && b.lo == m : !grouped && b.lo <= k && k < b.hi)) {
                            s += img[j * a.Nx + i];
                            c += 1.0;
                        }
                    }
                S += s;
                C += c;
            }
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

// The kernel, with 32-bit and with 64-bit cell indices, against the direct evaluation bit for
// bit, on the image and on an image of ones (whose scores are sqrt(count): which cells each
// pixel reaches).
void compare_with_naive(const std::vector<double>& img, const Args& a, const char* what) {
    const int before = failures;
    for (const std::vector<double>& x : {img, std::vector<double>(img.size(), 1.0)}) {
        const std::vector<double> got = run(x, a);
        CHECK(same_bits(got, naive(x, a)));
        CHECK(same_bits(got, run(x, a, true)));
    }
    if (failures != before)
        std::fprintf(stderr,
                     "  in %s: Nx=%zu Ny=%zu r=[%.17g, %.17g] Nr=%zu t=[%.17g, %.17g] Nt=%zu "
                     "width=%.17g\n",
                     what, a.Nx, a.Ny, a.r0, a.r1, a.Nr, a.t0, a.t1, a.Nt, a.width);
}

void test_empty_and_degenerate() {
    std::mt19937_64 rng(1);
    std::vector<double> img = noise(6 * 5, rng);
    for (double width : {0.0, -0.0, -1.0, -kInf, kNaN})
        CHECK(all_zero(run(img, {6, 5, -4.0, 4.0, 9, 0.0, 3.0, 4, width})));
    // A subnormal width still gives a (tiny) band.
    const double tiny = std::numeric_limits<double>::denorm_min();
    compare_with_naive(img, {6, 5, -4.0, 4.0, 9, 0.0, 3.0, 4, tiny}, "subnormal width");

    // No pixels; a single r or theta value (0/0 or x/0 steps); NaN, infinite and equal grid
    // ends: NaN or infinite steps and edges feed nothing.
    for (Args a : {Args{0, 5, -4, 4, 9, 0, 3, 4, 1}, Args{6, 0, -4, 4, 9, 0, 3, 4, 1},
                   Args{6, 5, -4, 4, 1, 0, 3, 4, 1}, Args{6, 5, -4, 4, 9, 0, 3, 1, 1},
                   Args{6, 5, kNaN, 4, 9, 0, 3, 4, 1}, Args{6, 5, -4, kNaN, 9, 0, 3, 4, 1},
                   Args{6, 5, -kInf, 4, 9, 0, 3, 4, 1}, Args{6, 5, -4, kInf, 9, 0, 3, 4, 1},
                   Args{6, 5, 3, 3, 9, 0, 3, 4, 1}, Args{6, 5, -4, 4, 9, kNaN, 3, 4, 1},
                   Args{6, 5, -4, 4, 9, 0, kInf, 4, 1}, Args{6, 5, -4, 4, 9, -kInf, kInf, 4, 1}}) {
        const std::vector<double> out = run(img, a);
        CHECK(out.size() == a.Nr * a.Nt && all_zero(out) && all_zero(run(img, a, true)));
    }
    // Equal theta ends are a valid grid; a theta step that overflows part way leaves the
    // columns past the overflow at 0.
    compare_with_naive(img, {6, 5, -4.0, 4.0, 9, 0.7, 0.7, 4, 1.0}, "equal theta ends");
    compare_with_naive(img, {6, 5, -4.0, 4.0, 9, -1e308, 1.7e308, 4, 1.0}, "overflowing theta");
}

void test_wide_bands() {
    std::mt19937_64 rng(2);
    std::vector<double> img = noise(7 * 4, rng);
    double sum = 0.0;
    for (double v : img) sum += v;
    // Infinite width: every cell gets every pixel; 1e30: the same cells, found by clipping
    // rather than by a 1e30-cell loop.
    for (double width : {kInf, 1e30, 1e300}) {
        const Args a{7, 4, -3.0, 5.0, 11, -1.0, 2.0, 5, width};
        const auto start = std::chrono::steady_clock::now();
        const std::vector<double> all = run(img, a);
        CHECK(std::chrono::steady_clock::now() - start < std::chrono::seconds(1));
        for (double v : all) CHECK(std::fabs(v - sum / std::sqrt(28.0)) < 1e-12);
        compare_with_naive(img, a, "huge width");
    }
    for (double width : {2.0 * 11, 11.0, 5.5, 2.25})
        compare_with_naive(img, Args{7, 4, -3.0, 5.0, 11, -1.0, 2.0, 5, width}, "wide band");
}

void test_non_finite_pixels() {
    std::mt19937_64 rng(3);
    std::vector<double> img = noise(8 * 8, rng);
    img[19] = kNaN;
    img[40] = kInf;
    const Args a{8, 8, -6.0, 6.0, 13, 0.0, 3.1, 9, 1.0};
    bool some_nan = false, some_finite = false;
    for (double v : run(img, a)) (std::isnan(v) ? some_nan : some_finite) = true;
    CHECK(some_nan && some_finite);
    compare_with_naive(img, a, "non-finite pixels");
}

void test_threads_agree() {
    std::mt19937_64 rng(4);
    const Args a{61, 47, -40.0, 40.0, 121, 0.0, 3.14159, 37, 1.0};
    Args narrow = a;  // fewer theta columns than threads
    narrow.Nt = 3;
    std::vector<double> img = noise(a.Nx * a.Ny, rng, 100.0);
    const int saved = omp_get_max_threads();
    omp_set_num_threads(1);
    const std::vector<double> one = run(img, a), few = run(img, narrow);
    for (int n : {2, 7, 3}) {
        omp_set_num_threads(n);
        CHECK(same_bits(one, run(img, a)));
        CHECK(same_bits(few, run(img, narrow)));
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

}  // namespace

int main() {
    test_empty_and_degenerate();
    test_wide_bands();
    test_non_finite_pixels();
    test_threads_agree();
    test_random_grids();
    test_bad_alloc();
    if (failures) {
        std::fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    std::printf("all kernel checks passed\n");
    return 0;
}
