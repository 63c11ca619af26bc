/* A stand-in for the interpreter's _hashlib and _ssl (copied under either
 * name): an extension that needs libcrypto by its soname and finds it only
 * through its RUNPATH, $ORIGIN/private, as a Python built against a private
 * OpenSSL prefix does. It calls nothing there and defines nothing else, so
 * a copy may need another file under another name (test_package changes
 * the name in the copy's dynamic string table). */
#include <Python.h>

static PyMethodDef no_methods[] = {{NULL, NULL, 0, NULL}};

PyMODINIT_FUNC init_hashlib(void) {
    Py_InitModule("_hashlib", no_methods);
}

PyMODINIT_FUNC init_ssl(void) {
    Py_InitModule("_ssl", no_methods);
}
