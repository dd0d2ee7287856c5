// C entry points to the package's kernel, for bench/score_map.py (loaded through ctypes).
#include <omp.h>

#include <new>

#include "../src/kernel/band_hough.hpp"

extern "C" double* kernel_score_map(double* input, std::size_t Nx, std::size_t Ny, double r0,
                                    double r1, std::size_t Nr, double t0, double t1, std::size_t Nt,
                                    double width) {
    try {
        return hough::generate_hough_transformed_map(input, Nx, Ny, r0, r1, Nr, t0, t1, Nt, width);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

extern "C" void kernel_free(double* p) { delete[] p; }

extern "C" void kernel_set_threads(int n) { omp_set_num_threads(n); }

extern "C" int kernel_max_threads() { return omp_get_max_threads(); }
