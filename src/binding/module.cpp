// The module's entry point: multi-phase initialization, and the execution
// step that builds the six format submodules and binds every function.
#include <cstring>

#include "binding/functions.hpp"

namespace tabrix::py {

namespace {

// Appends `name` to the target's __all__ (creating the list when there is
// none) and sets the attribute. `value` is borrowed.
int add_name(PyObject* target, PyObject* name, PyObject* value) {
    Ref all(PyObject_GetAttrString(target, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(target, "__all__", all.get()) < 0) return -1;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return -1;
    }
    if (PyList_Append(all.get(), name) < 0) return -1;
    return PyObject_SetAttr(target, name, value);
}

// Creates each function of `table` bound to `module` and adds it under its
// own __name__.
int add_functions(PyObject* module, PyMethodDef* table) {
    Ref module_name(PyObject_GetAttrString(module, "__name__"));
    if (!module_name) return -1;
    for (PyMethodDef* def = table; def->ml_name != nullptr; ++def) {
        Ref function(PyCMethod_New(def, module, module_name.get(), nullptr));
        if (!function) return -1;
        Ref name(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name) return -1;
        // A name starting with "_" is private: bound, but not listed in __all__.
        if (def->ml_name[0] == '_') {
            if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return -1;
        } else if (add_name(module, name.get(), function.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

struct Submodule {
    const char* name;
    PyMethodDef* functions;
    bool has_csv_stream;
};

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "expected a module object");
        return -1;
    }
    const Submodule submodules[] = {
        {"yaml", yaml_functions, false},   {"csv", csv_functions, true},
        {"tsv", tsv_functions, true},      {"toml", toml_functions, false},
        {"jsonc", jsonc_functions, false}, {"ini", ini_functions, false},
    };
    for (const Submodule& spec : submodules) {
        Ref name(PyUnicode_FromString(spec.name));
        if (!name) return -1;
        Ref submodule(PyModule_NewObject(name.get()));
        if (!submodule) return -1;
        if (spec.has_csv_stream) {
            PyObject* type = csv_stream_type();
            if (type == nullptr) return -1;
            Ref type_name(PyUnicode_FromString("CsvStream"));
            if (!type_name || add_name(submodule.get(), type_name.get(), type) < 0) return -1;
        }
        if (add_functions(submodule.get(), spec.functions) < 0) return -1;
        // Bound on the parent under the last dotted component of its name.
        const char* full_name = PyModule_GetName(submodule.get());
        if (full_name == nullptr) return -1;
        const char* last_dot = std::strrchr(full_name, '.');
        Ref short_name(PyUnicode_FromString(last_dot ? last_dot + 1 : full_name));
        if (!short_name || add_name(module, short_name.get(), submodule.get()) < 0) return -1;
    }
    return add_functions(module, interpolate_functions);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_native",     // m_name
    "",            // m_doc: tabrix._native.__doc__ is ""
    0,             // m_size: no per-module state
    nullptr,       // m_methods: every function is added by exec_module
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

}  // namespace tabrix::py

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&tabrix::py::module_definition); }
