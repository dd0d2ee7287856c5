// Construction of HoughTransform and its score map, the one method that runs the native kernel.
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include <unistd.h>

#include "boundary/buffer.hpp"
#include "kernel/band_hough.hpp"
#include "methods.hpp"

namespace kestrova {
namespace {

// score[n] = values[n] for every n: straight into the array's memory when score is a plain
// contiguous float64 array of that length, otherwise element by element as Python floats.
void copy_out(py::handle score, const double* values, int64_t count) {
    if (Py_TYPE(score.ptr()) == state.ndarray_type) {
        Py_buffer view;
        if (PyObject_GetBuffer(score.ptr(), &view,
                               PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0) {
            const bool fits = view.ndim == 1 && view.shape[0] == count &&
                              view.itemsize == sizeof(double) && native_format(view.format, "d");
            if (fits) std::memcpy(view.buf, values, static_cast<size_t>(count) * sizeof(double));
            PyBuffer_Release(&view);
            if (fits) return;
        } else {
            PyErr_Clear();
        }
    }
    for (int64_t n = 0; n < count; ++n) setitem(score, static_cast<long>(n), to_python(values[n]));
}

// Bytes of physical memory, or 0 when the system does not say.
double physical_memory() {
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0) return static_cast<double>(pages) * static_cast<double>(page);
#endif
    return 0.0;
}

}  // namespace

namespace methods {

py::object init(Frame& f, py::handle self, py::handle image, py::handle sigma) {
    f.at(lines::init_image);
    setattr(self, names.image, image);
    f.at(lines::init_sigma);
    setattr(self, names.sigma, sigma);
    f.at(lines::init_shape);
    auto [ny, nx] = unpack<2>(getattr(image, names.shape));
    f.at(lines::init_center);
    setattr(self, names.center, make_tuple(truediv(sub(ny, 1), 2.0), truediv(sub(nx, 1), 2.0)));
    f.at(lines::init_axis1);
    py::object columns =
        call_method(call(f.np(names.arange), nx), names.reshape, make_tuple(1, nx));
    setattr(self, names.axis1, sub(columns, getitem(getattr(self, names.center), 1)));
    f.at(lines::init_axis2);
    py::object rows = call_method(call(f.np(names.arange), ny), names.reshape, make_tuple(ny, 1));
    setattr(self, names.axis2, sub(rows, getitem(getattr(self, names.center), 0)));
    f.at(lines::init_radius);
    py::object squares = add(power(nx, 2), power(ny, 2));
    setattr(self, names.radius, truediv(call(f.np(names.sqrt), squares), 2.0));
    f.at(lines::init_append_x);
    py::object ends = call(f.np(names.array), make_list(-1, 1));
    setattr(self, names.append_x, mul(getattr(self, names.radius), ends));
    f.at(lines::init_append_y);
    setattr(self, names.append_y, call(f.np(names.zeros), 2));
    return borrow(Py_None);
}

py::object score_map(Frame& f, py::handle self, float r0, float r1, int32_t nr, float t0, float t1,
                     int32_t nt, float width) {
    f.at(lines::score_map_zeros);
    // Two negative counts make a positive product that NumPy would accept here and the kernel
    // would read as an enormous grid.
    if (nr < 0 && nt < 0) {
        raise(PyExc_ValueError, "score_map() needs nr and nt that are not negative (got %d and %d)",
              nr, nt);
    }
    // Formed in 64 bits: a 32-bit product can wrap to a small positive size.
    const int64_t cells = static_cast<int64_t>(nr) * nt;
    // The map is held twice at its peak, as the kernel's buffer and as its copy. Memory is
    // promised lazily, so a grid beyond the machine's memory would not fail to allocate: the
    // system would end the process once the map is written. Refused here instead.
    const double memory = physical_memory();
    if (memory > 0.0 && 2.0 * static_cast<double>(cells) * sizeof(double) > memory) {
        raise(PyExc_MemoryError, "score_map() grid of %d x %d cells needs more memory than %.0f GB",
              nr, nt, memory / 1e9);
    }
    py::object score = as_array(call(f.np(names.zeros), make_tuple(cells)));
    f.at(lines::score_map_input);
    py::object transposed = getattr(getattr(self, names.image), names.T);
    py::object numpy_input = as_array(
        call_kw(f.np(names.ascontiguousarray), {transposed}, {{names.dtype, f.np(names.float64)}}));
    Buffer2D input(numpy_input);
    f.at(lines::score_map_shape);
    auto [rows, columns] = unpack<2>(getattr(getattr(self, names.image), names.shape));
    const int32_t Nx = as_int32(rows);
    const int32_t Ny = as_int32(columns);
    // The image is read again for its shape; a shape that disagrees with the copy would make
    // the kernel read outside it.
    if (input.rows() != Ny || input.columns() != Nx) {
        raise(PyExc_ValueError,
              "image shape (%d, %d) does not match its float64 copy of shape (%zd, %zd)", Nx, Ny,
              input.columns(), input.rows());
    }
    f.at(lines::score_map_kernel);
    std::unique_ptr<double[]> result(hough::generate_hough_transformed_map(
        const_cast<double*>(input.data()), static_cast<size_t>(Nx), static_cast<size_t>(Ny), r0, r1,
        static_cast<size_t>(nr), t0, t1, static_cast<size_t>(nt), width));
    f.at(lines::score_map_copy);
    copy_out(score, result.get(), cells);
    result.reset();
    f.at(lines::score_map_reshape);
    return call_method(score, names.reshape, make_tuple(nr, nt));
}

}  // namespace methods

}  // namespace kestrova
