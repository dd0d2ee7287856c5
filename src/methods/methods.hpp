// The bodies of HoughTransform's methods, grouped by what they do:
//   construction.cpp  construction and the score map
//   geometry.cpp      coordinates across and along a line, foot point, extent in the image
//   sampling.cpp      band mask, pixels along a line, cross-line profile
//   measurement.cpp   signal-to-noise ratio, ramp model, streak fit
// module.cpp makes the module and the class from them. Every body announces the source line of
// each statement with Frame::at (lines.hpp names them all).
#pragma once

#include <cstdint>

#include "boundary/function.hpp"
#include "lines.hpp"

namespace kestrova::methods {

py::object init(Frame& f, py::handle self, py::handle image, py::handle sigma);
py::object dl(Frame& f, py::handle self, float r, float theta);
py::object dm(Frame& f, py::handle self, float r, float theta);
py::object p0(Frame& f, py::handle self, float r, float theta);
py::object n0(Frame& f, py::handle self, float r, float theta);
py::object dmlim(Frame& f, py::handle self, float r, float theta);
py::object locate(Frame& f, py::handle self, float r, float theta, float dm);
py::object score_map(Frame& f, py::handle self, float r0, float r1, int32_t nr, float t0, float t1,
                     int32_t nt, float width);
py::object mask(Frame& f, py::handle self, float r, float theta, float w);
py::object elements_along(Frame& f, py::handle self, float r, float theta, float w);
py::object snr(Frame& f, py::handle self, float r, float theta, float w);
py::object fit(Frame& f, py::handle self, float r, float theta, float w);
py::object profile(Frame& f, py::handle self, float r, float theta, float dm1, float dm2, float w);
py::object ramp_sigmoid(Frame& f, py::handle self, Array x, Array p);

}  // namespace kestrova::methods
