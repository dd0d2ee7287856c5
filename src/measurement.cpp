// Streak measurement: signal-to-noise ratio, ramp model and streak fit.
#include "methods.hpp"

namespace kestrova::methods {

py::object snr(Frame&, py::handle, float, float, float) {
    raise(PyExc_NotImplementedError, "HoughTransform.snr");
}

py::object fit(Frame&, py::handle, float, float, float) {
    raise(PyExc_NotImplementedError, "HoughTransform.fit");
}

py::object ramp_sigmoid(Frame&, py::handle, Array, Array) {
    raise(PyExc_NotImplementedError, "HoughTransform.ramp_sigmoid");
}

}  // namespace kestrova::methods
