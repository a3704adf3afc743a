// interpolate(tree, env).
#include "binding/functions.hpp"

namespace tabrix::py {

namespace {

PyResult interpolate(PyObject*, PyObject*, Dict) { return not_available("tabrix._native", "interpolate"); }

}  // namespace

PyMethodDef interpolate_functions[] = {
    {"interpolate", function<kInterpolateSignature, interpolate>(), kFastCall, "interpolate(tree, env)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tabrix::py
