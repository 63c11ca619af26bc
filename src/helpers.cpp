#include "py_compat.h"

#include "helpers.h"

#include "libcrypto.h"
#include "py_ref.h"

using korvane::libcrypto;
using korvane::PyRef;

extern "C" PyObject *error_queue_to_list(void) {
    // A C caller may get here before anything imported the module.
    if (!korvane::bind_libcrypto()) {
        return nullptr;
    }
    PyRef errors(PyList_New(0));
    unsigned long code = 0;
    while ((code = libcrypto.ERR_get_error()) != 0) {
        // Once the list is lost the queue is still drained, so that these
        // errors cannot surface later in some unrelated exception.
        if (!errors) {
            continue;
        }
        const PyRef triple(Py_BuildValue("(sss)", libcrypto.ERR_lib_error_string(code),
                                         libcrypto.ERR_func_error_string(code),
                                         libcrypto.ERR_reason_error_string(code)));
        if (!triple || PyList_Append(errors.get(), triple.get()) != 0) {
            errors = PyRef();
        }
    }
    return errors.release();
}

extern "C" void flush_error_queue(void) {
    // Only the queue is emptied: a MemoryError from building the discarded
    // list, or the ImportError of a bind that found no libcrypto (and so no
    // queue), must not replace, or outlive, whatever the caller had pending.
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    const PyRef discarded(error_queue_to_list());
    PyErr_Restore(type, value, traceback);
}

extern "C" void exception_from_error_queue(PyObject *type) {
    const PyRef errors(error_queue_to_list());
    // Without its list, `type` would tell the caller less than the
    // MemoryError that is pending now.
    if (errors) {
        PyErr_SetObject(type, errors.get());
    }
}

extern "C" PyObject *PyKorvane_LongToHex(PyObject *object) {
    const PyRef arguments(Py_BuildValue("(O)", object));
    if (!arguments) {
        return nullptr;
    }
    const PyRef format(korvane::text_from_string("%x"));
    if (!format) {
        return nullptr;
    }
    return korvane::format_text(format.get(), arguments.get());
}
