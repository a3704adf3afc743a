#include "binding/errors.hpp"

namespace tabrix::py {

namespace {

ProcessOnce panic_type;
InternedName add_note_name("add_note");
InternedName builtins_name("builtins");
InternedName int_name("int");

PyObject* exception_class(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::Value: return PyExc_ValueError;
        case ErrorKind::Type: return PyExc_TypeError;
        case ErrorKind::Overflow: return PyExc_OverflowError;
        case ErrorKind::Runtime: return PyExc_RuntimeError;
        case ErrorKind::Recursion: return PyExc_RecursionError;
        case ErrorKind::Memory: return PyExc_MemoryError;
        case ErrorKind::Panic: return panic_exception_type();
    }
    return PyExc_SystemError;
}

}  // namespace

PyObject* panic_exception_type() {
    return panic_type.get([] {
        return PyErr_NewExceptionWithDoc(
            "tabrix.PanicException",
            "An internal fault of tabrix: a broken invariant, such as a dict that changed size while it "
            "was being read.",
            PyExc_BaseException, nullptr);
    });
}

void PendingError::raise() && {
    if (captured_) {
        PyErr_SetRaisedException(captured_.release());
        return;
    }
    if (deferred_.kind == ErrorKind::Memory) {
        PyErr_NoMemory();
        return;
    }
    PyObject* cls = exception_class(deferred_.kind);
    if (cls == nullptr) return;  // creating the class failed; its error is set
    // Messages are UTF-8; "replace" keeps a message raisable whatever it holds.
    Ref message(PyUnicode_DecodeUTF8(deferred_.message.data(), static_cast<Py_ssize_t>(deferred_.message.size()),
                                     "replace"));
    if (!message) return;
    Ref exception(PyObject_CallOneArg(cls, message.get()));
    if (!exception) return;
    PyErr_SetRaisedException(exception.release());
}

void add_parameter_note(const char* parameter) {
    Ref exception(PyErr_GetRaisedException());
    if (!exception) return;
    Ref note(PyUnicode_FromFormat("while processing '%s'", parameter));
    PyObject* method = note ? add_note_name.get() : nullptr;
    if (method != nullptr) {
        Ref result(PyObject_CallMethodOneArg(exception.get(), method, note.get()));
        // A failing add_note must not hide the original error.
        if (!result) PyErr_Clear();
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exception.release());
}

PyObject* builtin_int(PyObject* text) {
    PyObject* module_name = builtins_name.get();
    PyObject* attribute = module_name ? int_name.get() : nullptr;
    if (attribute == nullptr) return nullptr;
    Ref builtins(PyImport_GetModule(module_name));  // sys.modules, without the import machinery
    if (!builtins) {
        if (PyErr_Occurred()) return nullptr;
        builtins = Ref(PyImport_Import(module_name));
        if (!builtins) return nullptr;
    }
    Ref int_type(PyObject_GetAttr(builtins.get(), attribute));
    if (!int_type) return nullptr;
    return PyObject_CallOneArg(int_type.get(), text);
}

}  // namespace tabrix::py
