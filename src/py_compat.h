// The module's one view of the interpreter's C interface: Python 2.7's, or
// the stable ABI of Python 3.6 (Py_LIMITED_API), so that one rand.abi3.so
// serves every Python 3 from 3.6 on. Every source of the module includes
// this instead of <Python.h>, and before anything that includes that; what
// differs between the two interfaces is here alone, so that a handler reads
// the same on both.
#ifndef KORVANE_PY_COMPAT_H
#define KORVANE_PY_COMPAT_H

#ifdef Py_PYTHON_H
#error "py_compat.h must come before <Python.h>: it decides which interface that gives"
#endif

// The version alone: the one header of the interpreter's that declares
// nothing else.
#include <patchlevel.h>
#if PY_MAJOR_VERSION >= 3
#define Py_LIMITED_API 0x03060000
#endif
// Lengths of "#" formats are Py_ssize_t (Python 3.10 refuses the others).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>

namespace korvane {

// The module itself, created with its methods and docstring: a new
// reference, or null with an exception pending.
inline PyObject *create_module(const char *name, const char *doc, PyMethodDef *methods) {
#if PY_MAJOR_VERSION >= 3
    // The interpreter keeps a pointer to the definition for good.
    static PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, nullptr, nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};
    definition.m_name = name;
    definition.m_doc = doc;
    definition.m_methods = methods;
    return PyModule_Create(&definition);
#else
    // Borrowed: sys.modules holds the module.
    PyObject *module = Py_InitModule4(name, methods, doc, nullptr, PYTHON_API_VERSION);
    Py_XINCREF(module);
    return module;
#endif
}

// The entry point that the interpreter looks up, PyInit_NAME or initNAME,
// around `make_module`, which returns create_module's reference, filled,
// or null with an exception pending.
#if PY_MAJOR_VERSION >= 3
#define KORVANE_MODULE_ENTRY(name, make_module)                                                    \
    PyMODINIT_FUNC PyInit_##name(void) {                                                           \
        return make_module();                                                                      \
    }
#else
#define KORVANE_MODULE_ENTRY(name, make_module)                                                    \
    PyMODINIT_FUNC init##name(void) {                                                              \
        PyObject *module = make_module();                                                          \
        Py_XDECREF(module);                                                                        \
    }
#endif

// Text, as the interpreter's %-formatting makes it: str on both.
inline PyObject *text_from_string(const char *text) {
#if PY_MAJOR_VERSION >= 3
    return PyUnicode_FromString(text);
#else
    return PyString_FromString(text);
#endif
}

inline PyObject *format_text(PyObject *format, PyObject *arguments) {
#if PY_MAJOR_VERSION >= 3
    return PyUnicode_Format(format, arguments);
#else
    return PyString_Format(format, arguments);
#endif
}

// A path the interpreter holds as text (a module's __file__), as the bytes
// that the file system takes: a new reference to a byte string, which
// PyBytes_AsString reads, or null with an exception pending.
inline PyObject *file_system_path(PyObject *path) {
#if PY_MAJOR_VERSION >= 3
    return PyUnicode_EncodeFSDefault(path);
#else
    Py_INCREF(path);
    return path;
#endif
}

// The characters of a new byte string, which the caller fills.
inline char *byte_string_buffer(PyObject *bytes) {
#if PY_MAJOR_VERSION >= 3
    return PyBytes_AsString(bytes);
#else
    return PyString_AS_STRING(bytes);
#endif
}

// The value of `argument` when it is a plain int that fits: the count of
// the common call bytes(n), without the general parser.
inline bool plain_int_value(PyObject *argument, Py_ssize_t *value) {
#if PY_MAJOR_VERSION >= 3
    if (!PyLong_CheckExact(argument)) {
        return false;
    }
    *value = PyLong_AsSsize_t(argument);
    // Too large: the parser says so in its own words.
    if (*value == -1 && PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        return false;
    }
    return true;
#else
    if (!PyInt_CheckExact(argument)) {
        return false;
    }
    // A Python int is a C long, which is as wide as Py_ssize_t on both targets.
    static_assert(sizeof(long) == sizeof(Py_ssize_t), "an int must fit the count");
    *value = PyInt_AS_LONG(argument);
    return true;
#endif
}

// The only positional argument of `args`, if it has exactly one.
inline PyObject *only_argument(PyObject *args) {
#if PY_MAJOR_VERSION >= 3
    return PyTuple_Size(args) == 1 ? PyTuple_GetItem(args, 0) : nullptr;
#else
    return PyTuple_GET_SIZE(args) == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
#endif
}

// A buffer argument (add, seed): its bytes and their count, as the
// parser's format KORVANE_BYTES and its targets KORVANE_BYTES_TARGET give
// them. Python 2.7 takes a str or a read-only buffer ("s#"); Python 3 a
// bytes-like object, and never a str, as hashlib and zlib refuse one.
class BytesArgument {
  public:
    BytesArgument() = default;
    BytesArgument(const BytesArgument &) = delete;
    BytesArgument &operator=(const BytesArgument &) = delete;
    BytesArgument(BytesArgument &&) = delete;
    BytesArgument &operator=(BytesArgument &&) = delete;
    ~BytesArgument() { Py_XDECREF(copy); }

    // The parser's targets, written through their addresses.
    // NOLINTBEGIN(misc-non-private-member-variables-in-classes)
    const char *data = nullptr;
    Py_ssize_t length = 0;
    // What the stable ABI reads only through a copy (a memoryview, an
    // array) is read from this copy, a new reference.
    PyObject *copy = nullptr;
    // NOLINTEND(misc-non-private-member-variables-in-classes)
};

#if PY_MAJOR_VERSION >= 3
// The "O&" converter of a BytesArgument.
inline int read_bytes_like(PyObject *object, void *target) {
    auto *argument = static_cast<BytesArgument *>(target);
    if (PyBytes_Check(object)) {
        argument->length = PyBytes_Size(object);
        argument->data = PyBytes_AsString(object);
        return 1;
    }
    if (PyByteArray_Check(object)) {
        argument->length = PyByteArray_Size(object);
        argument->data = PyByteArray_AsString(object);
        return 1;
    }
    PyObject *view = PyMemoryView_FromObject(object);
    if (view == nullptr) {
        // Python 3's own words for it, without memoryview's name.
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyObject *type_name =
                PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(object)), "__name__");
            if (type_name != nullptr) {
                PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not '%U'",
                             type_name);
                Py_DECREF(type_name);
            }
        }
        return 0;
    }
    // Measured before it is copied: a mapping of gigabytes that is refused
    // below must not be read into memory first.
    PyObject *size = PyObject_GetAttrString(view, "nbytes");
    argument->length = size != nullptr ? PyLong_AsSsize_t(size) : -1;
    Py_XDECREF(size);
    if (argument->length >= 0 && argument->length <= INT_MAX) {
        argument->copy = PyBytes_FromObject(view);
    }
    Py_DECREF(view);
    if (argument->copy == nullptr) {
        return PyErr_Occurred() != nullptr ? 0 : 1;
    }
    argument->data = PyBytes_AsString(argument->copy);
    return argument->data != nullptr ? 1 : 0;
}
#define KORVANE_BYTES "O&"
#define KORVANE_BYTES_TARGET(argument) &korvane::read_bytes_like, &(argument)
#else
#define KORVANE_BYTES "s#"
#define KORVANE_BYTES_TARGET(argument) &(argument).data, &(argument).length
#endif

// A path argument (egd, load_file, write_file), as the parser's format
// KORVANE_PATH and its target KORVANE_PATH_TARGET give it. Python 2.7
// takes a str ("s"); Python 3 a str, bytes or os.PathLike, encoded as
// open() encodes it, and an embedded NUL is its ValueError.
class PathArgument {
  public:
    PathArgument() = default;
    PathArgument(const PathArgument &) = delete;
    PathArgument &operator=(const PathArgument &) = delete;
    PathArgument(PathArgument &&) = delete;
    PathArgument &operator=(PathArgument &&) = delete;
    ~PathArgument() { Py_XDECREF(encoded); }

    const char *get() const { return encoded != nullptr ? PyBytes_AsString(encoded) : text; }

    // The parser's targets, written through their addresses.
    // NOLINTBEGIN(misc-non-private-member-variables-in-classes)
    // Python 3's: the converter's new reference to the encoded name, which
    // the converter releases itself when a later argument fails.
    PyObject *encoded = nullptr;
    // Python 2.7's: the str's own characters.
    const char *text = nullptr;
    // NOLINTEND(misc-non-private-member-variables-in-classes)
};

#if PY_MAJOR_VERSION >= 3
#define KORVANE_PATH "O&"
#define KORVANE_PATH_TARGET(argument) &PyUnicode_FSConverter, &(argument).encoded
#else
#define KORVANE_PATH "s"
#define KORVANE_PATH_TARGET(argument) &(argument).text
#endif

} // namespace korvane

#endif // KORVANE_PY_COMPAT_H
