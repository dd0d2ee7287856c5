// Line geometry: coordinates across and along a line, foot point, direction and extent.
#include "methods.hpp"

namespace kestrova::methods {

py::object dl(Frame&, py::handle, float, float) {
    raise(PyExc_NotImplementedError, "HoughTransform.dl");
}

py::object dm(Frame&, py::handle, float, float) {
    raise(PyExc_NotImplementedError, "HoughTransform.dm");
}

py::object p0(Frame&, py::handle, float, float) {
    raise(PyExc_NotImplementedError, "HoughTransform.p0");
}

py::object n0(Frame&, py::handle, float, float) {
    raise(PyExc_NotImplementedError, "HoughTransform.n0");
}

py::object dmlim(Frame&, py::handle, float, float) {
    raise(PyExc_NotImplementedError, "HoughTransform.dmlim");
}

py::object locate(Frame&, py::handle, float, float, float) {
    raise(PyExc_NotImplementedError, "HoughTransform.locate");
}

}  // namespace kestrova::methods
