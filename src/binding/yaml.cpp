// yaml.loads and yaml.dumps.
#include "binding/functions.hpp"

namespace tabrix::py {

namespace {

PyResult loads(PyObject*, Text) { return not_available("yaml", "loads"); }

PyResult dumps(PyObject*, PyObject*) { return not_available("yaml", "dumps"); }

}  // namespace

PyMethodDef yaml_functions[] = {
    {"loads", function<kLoadsSignature, loads>(), kFastCall, "loads(data)\n--\n\n"},
    {"dumps", function<kDumpsSignature, dumps>(), kFastCall, "dumps(obj)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tabrix::py
