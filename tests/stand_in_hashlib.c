/* A stand-in for the interpreter's _ssl and _hashlib (copied under either
 * name): an extension that needs libcrypto by its soname and finds it only
 * through its RUNPATH, $ORIGIN/private, as a Python built against a private
 * OpenSSL prefix does. A copy may need another file under another name
 * (test_package changes the name in the copy's dynamic string table).
 *
 * Its RAND_add and RAND_bytes call libcrypto's as the interpreter's ssl
 * does, through whatever the loader resolved them to for this module: so
 * test_package sees where ssl's calls land. The references are weak, so
 * that a copy whose libcrypto is no libcrypto (one linked in statically
 * and hidden, as far as the loader can tell) still loads. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

extern void RAND_add(const void *buffer, int length, double entropy) __attribute__((weak));
extern int RAND_bytes(unsigned char *buffer, int count) __attribute__((weak));

static PyObject *no_libcrypto(void) {
    PyErr_SetString(PyExc_RuntimeError, "this stand-in reaches no libcrypto");
    return NULL;
}

static PyObject *stand_in_rand_add(PyObject *self, PyObject *args) {
    const char *buffer;
    Py_ssize_t length;
    double entropy;
    (void)self;
    if (!PyArg_ParseTuple(args, "s#d:RAND_add", &buffer, &length, &entropy)) {
        return NULL;
    }
    if (RAND_add == NULL) {
        return no_libcrypto();
    }
    RAND_add(buffer, (int)length, entropy);
    Py_RETURN_NONE;
}

static PyObject *stand_in_rand_bytes(PyObject *self, PyObject *args) {
    int count;
    PyObject *result;
    (void)self;
    if (!PyArg_ParseTuple(args, "i:RAND_bytes", &count)) {
        return NULL;
    }
    if (RAND_bytes == NULL) {
        return no_libcrypto();
    }
    result = PyBytes_FromStringAndSize(NULL, count);
    if (result != NULL && RAND_bytes((unsigned char *)PyBytes_AS_STRING(result), count) != 1) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_RuntimeError, "RAND_bytes failed");
        return NULL;
    }
    return result;
}

static PyMethodDef methods[] = {
    {"RAND_add", stand_in_rand_add, METH_VARARGS, NULL},
    {"RAND_bytes", stand_in_rand_bytes, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

#if PY_MAJOR_VERSION >= 3
static struct PyModuleDef hashlib_module = {PyModuleDef_HEAD_INIT, "_hashlib", NULL, -1, methods,
                                            NULL, NULL, NULL, NULL};
static struct PyModuleDef ssl_module = {PyModuleDef_HEAD_INIT, "_ssl", NULL, -1, methods,
                                        NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__hashlib(void) {
    return PyModule_Create(&hashlib_module);
}

PyMODINIT_FUNC PyInit__ssl(void) {
    return PyModule_Create(&ssl_module);
}
#else
PyMODINIT_FUNC init_hashlib(void) {
    Py_InitModule("_hashlib", methods);
}

PyMODINIT_FUNC init_ssl(void) {
    Py_InitModule("_ssl", methods);
}
#endif
