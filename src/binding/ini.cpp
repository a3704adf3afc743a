// ini.loads and ini.dumps.
#include "binding/functions.hpp"

namespace tabrix::py {

namespace {

PyResult loads(PyObject*, Text) { return not_available("ini", "loads"); }

PyResult dumps(PyObject*, PyObject*) { return not_available("ini", "dumps"); }

}  // namespace

PyMethodDef ini_functions[] = {
    {"loads", function<kLoadsSignature, loads>(), kFastCall, "loads(data)\n--\n\n"},
    {"dumps", function<kDumpsSignature, dumps>(), kFastCall, "dumps(obj)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tabrix::py
