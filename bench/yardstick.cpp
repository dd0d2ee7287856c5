// Straightforward band Hough accumulator, the reference point for bench/score_map.py: rows in
// parallel, sin and cos taken for every evaluation, every cell update an atomic add.
#include <omp.h>

#include <cmath>
#include <cstddef>
#include <vector>

extern "C" double* yardstick_score_map(const double* input, std::size_t Nx, std::size_t Ny,
                                       double r0, double r1, std::size_t Nr, double t0, double t1,
                                       std::size_t Nt, double width) {
    std::vector<double> count(Nr * Nt, 0.0);
    double* score = new double[Nr * Nt]();
    const double dr = (r1 - r0) / (Nr - 1.0);
    const double dt = (t1 - t0) / (Nt - 1.0);
    const double h = width * dr;
    const long long n_lo = 0, n_hi = static_cast<long long>(Nr);

#pragma omp parallel for schedule(dynamic, 1)
    for (std::size_t j = 0; j < Ny; ++j) {
        const double y = (-(Ny - 1.0)) * 0.5 + j;
        for (std::size_t i = 0; i < Nx; ++i) {
            const double x = (-(Nx - 1.0)) * 0.5 + i;
            const double v = input[j * Nx + i];
            for (std::size_t l = 0; l < Nt; ++l) {
                const double theta = l * dt + t0;
                const double d = (std::sin(theta) * y - std::cos(theta) * x) - r0;
                const double lo = std::floor((d - h) / dr + 0.5);
                const double hi = std::floor((d + h) / dr + 0.5);
                if (!(lo < hi) || lo >= n_hi || hi <= n_lo) continue;
                const long long k0 = lo < n_lo ? n_lo : static_cast<long long>(lo);
                const long long k1 = hi > n_hi ? n_hi : static_cast<long long>(hi);
                for (long long k = k0; k < k1; ++k) {
#pragma omp atomic
                    score[k * Nt + l] += v;
#pragma omp atomic
                    count[k * Nt + l] += 1.0;
                }
            }
        }
    }
    for (std::size_t n = 0; n < Nr * Nt; ++n)
        if (count[n] > 0) score[n] /= std::sqrt(count[n]);
    return score;
}

extern "C" void yardstick_free(double* p) { delete[] p; }
