// Sampling along a line: band mask, pixels ordered along the line, cross-line profile.
#include "methods.hpp"

namespace kestrova::methods {

py::object mask(Frame&, py::handle, float, float, float) {
    raise(PyExc_NotImplementedError, "HoughTransform.mask");
}

py::object elements_along(Frame&, py::handle, float, float, float) {
    raise(PyExc_NotImplementedError, "HoughTransform.elements_along");
}

py::object profile(Frame&, py::handle, float, float, float, float, float) {
    raise(PyExc_NotImplementedError, "HoughTransform.profile");
}

}  // namespace kestrova::methods
