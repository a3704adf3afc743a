// The C API calls we use that only newer interpreters have, given their
// documented behaviour on older ones. On an interpreter that has a call, the
// real one is used; below its version, the equivalent here.
//
//   PyErr_GetRaisedException, PyErr_SetRaisedException   3.12
//   PyDict_GetItemRef, PyList_GetItemRef                   3.13
//   PyCriticalSection_Begin / _End                         3.13, used only on
//                                                          free-threaded builds
//                                                          (py::CriticalSection)
//   Py_mod_gil                                             3.13 (not declared below)
//   PyIter_NextItem, PyUnicodeWriter_*                     3.14
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <new>

#if PY_VERSION_HEX < 0x030B0000
#error "tabrix needs CPython 3.11 or newer"
#endif

// ---------------------------------------------------------------- 3.12
#if PY_VERSION_HEX < 0x030C0000
// Takes the current exception (a new reference, or NULL if none is set) and
// clears the error indicator.
static inline PyObject* PyErr_GetRaisedException(void) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == NULL) return NULL;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != NULL && value != NULL) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

// Makes `exc` (stolen) the current exception; NULL clears the indicator.
static inline void PyErr_SetRaisedException(PyObject* exc) {
    if (exc == NULL) {
        PyErr_Clear();
        return;
    }
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    PyObject* traceback = PyException_GetTraceback(exc);
    PyErr_Restore(type, exc, traceback);
}
#endif

// ---------------------------------------------------------------- 3.13
#if PY_VERSION_HEX < 0x030D0000
// 1 and a new reference when found, 0 and NULL when absent, -1 and NULL on error.
static inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
    PyObject* item = PyDict_GetItemWithError(dict, key);
    if (item != NULL) {
        *result = Py_NewRef(item);
        return 1;
    }
    *result = NULL;
    return PyErr_Occurred() ? -1 : 0;
}

// A new reference to list[index], or NULL with IndexError.
static inline PyObject* PyList_GetItemRef(PyObject* list, Py_ssize_t index) {
    PyObject* item = PyList_GetItem(list, index);
    Py_XINCREF(item);
    return item;
}
#endif

// ---------------------------------------------------------------- 3.14
#if PY_VERSION_HEX < 0x030E0000
// 1 with a new reference in *item, 0 at the end (StopIteration swallowed),
// -1 on error; *item is NULL unless 1 is returned.
static inline int PyIter_NextItem(PyObject* iter, PyObject** item) {
    iternextfunc next = Py_TYPE(iter)->tp_iternext;
    if (next == NULL) {
        *item = NULL;
        PyErr_Format(PyExc_TypeError, "expected an iterator, got '%s'", Py_TYPE(iter)->tp_name);
        return -1;
    }
    *item = next(iter);
    if (*item != NULL) return 1;
    if (!PyErr_Occurred()) return 0;
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

// A writer that collects UTF-8 and makes the str at the end.
struct PyUnicodeWriter {
    char* data;
    Py_ssize_t size;
    Py_ssize_t capacity;
};

static inline int tabrix_writer_reserve(PyUnicodeWriter* writer, Py_ssize_t more) {
    if (writer->capacity - writer->size >= more) return 0;
    Py_ssize_t wanted = writer->size + more;
    Py_ssize_t capacity = writer->capacity * 2 > wanted ? writer->capacity * 2 : wanted;
    char* data = static_cast<char*>(PyMem_Realloc(writer->data, static_cast<size_t>(capacity)));
    if (data == NULL) {
        PyErr_NoMemory();
        return -1;
    }
    writer->data = data;
    writer->capacity = capacity;
    return 0;
}

static inline PyUnicodeWriter* PyUnicodeWriter_Create(Py_ssize_t length) {
    if (length < 0) {
        PyErr_SetString(PyExc_ValueError, "length must be positive");
        return NULL;
    }
    auto* writer = static_cast<PyUnicodeWriter*>(PyMem_Malloc(sizeof(PyUnicodeWriter)));
    if (writer == NULL) {
        PyErr_NoMemory();
        return NULL;
    }
    *writer = PyUnicodeWriter{NULL, 0, 0};
    if (length > 0 && tabrix_writer_reserve(writer, length) < 0) {
        PyMem_Free(writer);
        return NULL;
    }
    return writer;
}

static inline void PyUnicodeWriter_Discard(PyUnicodeWriter* writer) {
    if (writer == NULL) return;
    PyMem_Free(writer->data);
    PyMem_Free(writer);
}

// `size` -1 means a NUL-terminated string.
static inline int PyUnicodeWriter_WriteUTF8(PyUnicodeWriter* writer, const char* str, Py_ssize_t size) {
    if (size < 0) size = static_cast<Py_ssize_t>(std::strlen(str));
    if (tabrix_writer_reserve(writer, size) < 0) return -1;
    std::memcpy(writer->data + writer->size, str, static_cast<size_t>(size));
    writer->size += size;
    return 0;
}

static inline int PyUnicodeWriter_WriteChar(PyUnicodeWriter* writer, Py_UCS4 ch) {
    if (ch > 0x10FFFF) {
        PyErr_SetString(PyExc_ValueError, "character must be in range(0x110000)");
        return -1;
    }
    char bytes[4];
    int length;
    if (ch < 0x80) {
        bytes[0] = static_cast<char>(ch);
        length = 1;
    } else if (ch < 0x800) {
        bytes[0] = static_cast<char>(0xC0 | (ch >> 6));
        bytes[1] = static_cast<char>(0x80 | (ch & 0x3F));
        length = 2;
    } else if (ch < 0x10000) {
        bytes[0] = static_cast<char>(0xE0 | (ch >> 12));
        bytes[1] = static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | (ch & 0x3F));
        length = 3;
    } else {
        bytes[0] = static_cast<char>(0xF0 | (ch >> 18));
        bytes[1] = static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        bytes[3] = static_cast<char>(0x80 | (ch & 0x3F));
        length = 4;
    }
    return PyUnicodeWriter_WriteUTF8(writer, bytes, length);
}

// Writes str(obj).
static inline int PyUnicodeWriter_WriteStr(PyUnicodeWriter* writer, PyObject* obj) {
    PyObject* text = PyObject_Str(obj);
    if (text == NULL) return -1;
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    int result = utf8 == NULL ? -1 : PyUnicodeWriter_WriteUTF8(writer, utf8, size);
    Py_DECREF(text);
    return result;
}

// The str, or NULL with an exception; the writer is gone either way.
static inline PyObject* PyUnicodeWriter_Finish(PyUnicodeWriter* writer) {
    PyObject* result = PyUnicode_DecodeUTF8(writer->data ? writer->data : "", writer->size, NULL);
    PyUnicodeWriter_Discard(writer);
    return result;
}
#endif
