// Korvane.rand: thin wrappers over libcrypto's pseudo-random number generator.
#include "py_compat.h"

#include <climits>
#include <cmath>

#include "egd_client.h"
#include "fork_reseed.h"
#include "helpers.h"
#include "libcrypto.h"
#include "py_ref.h"

using korvane::BytesArgument;
using korvane::libcrypto;
using korvane::PathArgument;
using korvane::PyRef;
using korvane::reseed_if_due;

extern "C" {
// The module's exception type. It owns a reference of its own, so the type
// outlives Python code deleting or rebinding the module attribute `Error`.
PyObject *rand_Error = nullptr;
}

namespace {

PyDoc_STRVAR(rand_doc,
             "\n"
             "PRNG management routines, thin wrappers.\n"
             "See the file RATIONALE for a short explanation of why this module was written.\n");

PyDoc_STRVAR(rand_add_doc, "\n"
                           "Add data with a given entropy to the PRNG\n"
                           "\n"
                           "@param buffer: Buffer with random data\n"
                           "@param entropy: The entropy (in bytes) measurement of the buffer\n"
                           "@return: None\n");

// libcrypto counts a buffer in int: a longer one is refused, in the words
// of Python 2.7's parser, rather than cut short.
bool fits_an_int(Py_ssize_t length) {
    if (length <= INT_MAX) {
        return true;
    }
    PyErr_SetString(PyExc_OverflowError, "size does not fit in an int");
    return false;
}

PyObject *rand_add(PyObject * /*self*/, PyObject *args) {
    BytesArgument buffer;
    double entropy = 0;
    if (!PyArg_ParseTuple(args, KORVANE_BYTES "d:add", KORVANE_BYTES_TARGET(buffer), &entropy) ||
        !fits_an_int(buffer.length)) {
        return nullptr;
    }
    // libcrypto 1.0 takes a NaN for "no entropy yet" for good, and infinity
    // for any amount: refused like any argument the parser refuses.
    if (!std::isfinite(entropy)) {
        PyErr_Format(PyExc_ValueError, "add() argument 2 must be a finite number, not %s",
                     std::isnan(entropy) ? "nan"
                     : entropy > 0       ? "inf"
                                         : "-inf");
        return nullptr;
    }
    reseed_if_due();
    libcrypto.RAND_add(buffer.data, static_cast<int>(buffer.length), entropy);
    Py_RETURN_NONE;
}

PyDoc_STRVAR(rand_seed_doc, "\n"
                            "Alias for rand_add, with entropy equal to length\n"
                            "\n"
                            "@param buffer: Buffer with random data\n"
                            "@return: None\n");

PyObject *rand_seed(PyObject * /*self*/, PyObject *args) {
    BytesArgument buffer;
    if (!PyArg_ParseTuple(args, KORVANE_BYTES ":seed", KORVANE_BYTES_TARGET(buffer)) ||
        !fits_an_int(buffer.length)) {
        return nullptr;
    }
    reseed_if_due();
    libcrypto.RAND_seed(buffer.data, static_cast<int>(buffer.length));
    Py_RETURN_NONE;
}

PyDoc_STRVAR(rand_status_doc, "\n"
                              "Retrieve the status of the PRNG\n"
                              "\n"
                              "@return: True if the PRNG is seeded enough, false otherwise\n");

// Python callers get libcrypto's int as a long, never as a bool.
PyObject *rand_status(PyObject * /*self*/, PyObject *args) {
    if (!PyArg_ParseTuple(args, ":status")) {
        return nullptr;
    }
    reseed_if_due();
    return PyLong_FromLong(libcrypto.RAND_status());
}

PyDoc_STRVAR(rand_egd_doc,
             "\n"
             "Query an entropy gathering daemon (EGD) for random data and add it to the\n"
             "PRNG. I haven't found any problems when the socket is missing, the function\n"
             "just returns 0.\n"
             "\n"
             "@param path: The path to the EGD socket\n"
             "@param bytes: (optional) The number of bytes to read, default is 255\n"
             "@returns: The number of bytes read (NB: a value of 0 isn't necessarily an\n"
             "          error, check rand.status())\n");

// The interpreter's pending signal handlers run before each blocking call
// of the exchange and after each one that a signal interrupted; a handler
// that raises (Ctrl-C, a timeout) ends the exchange, and egd() raises its
// exception instead of returning a count.
bool signal_handlers_let_go_on() {
    return PyErr_CheckSignals() == 0;
}

// The exchange is the module's own on every libcrypto generation; the
// result is RAND_egd_bytes's: the number of bytes the daemon supplied, or 0
// when it supplied none or the PRNG is still not seeded.
PyObject *rand_egd(PyObject * /*self*/, PyObject *args) {
    PathArgument path;
    int bytes = 255;
    if (!PyArg_ParseTuple(args, KORVANE_PATH "|i:egd", KORVANE_PATH_TARGET(path), &bytes)) {
        return nullptr;
    }
    reseed_if_due();
    const korvane::EgdResult result =
        korvane::egd_query(path.get(), bytes, libcrypto.RAND_seed, &signal_handlers_let_go_on);
    if (result.interrupted) {
        return nullptr;
    }
    return PyLong_FromLong(result.supplied > 0 && libcrypto.RAND_status() == 1 ? result.supplied
                                                                               : 0);
}

PyDoc_STRVAR(rand_cleanup_doc, "\n"
                               "Erase the memory used by the PRNG.\n"
                               "\n"
                               "@return: None\n");

PyObject *rand_cleanup(PyObject * /*self*/, PyObject *args) {
    if (!PyArg_ParseTuple(args, ":cleanup")) {
        return nullptr;
    }
    reseed_if_due();
    // From libcrypto 1.1 on this is a no-op: the library manages and erases
    // its own state.
    libcrypto.RAND_cleanup();
    Py_RETURN_NONE;
}

PyDoc_STRVAR(rand_load_file_doc,
             "\n"
             "Seed the PRNG with data from a file\n"
             "\n"
             "@param filename: The file to read data from\n"
             "@param maxbytes: (optional) The number of bytes to read, default is\n"
             "                 to read the entire file\n"
             "@return: The number of bytes read\n");

PyObject *rand_load_file(PyObject * /*self*/, PyObject *args) {
    PathArgument filename;
    int maxbytes = -1;
    if (!PyArg_ParseTuple(args, KORVANE_PATH "|i:load_file", KORVANE_PATH_TARGET(filename),
                          &maxbytes)) {
        return nullptr;
    }
    reseed_if_due();
    return PyLong_FromLong(libcrypto.RAND_load_file(filename.get(), maxbytes));
}

PyDoc_STRVAR(rand_write_file_doc, "\n"
                                  "Save PRNG state to a file\n"
                                  "\n"
                                  "@param filename: The file to write data to\n"
                                  "@return: The number of bytes written\n");

PyObject *rand_write_file(PyObject * /*self*/, PyObject *args) {
    PathArgument filename;
    if (!PyArg_ParseTuple(args, KORVANE_PATH ":write_file", KORVANE_PATH_TARGET(filename))) {
        return nullptr;
    }
    // The file holds output of the PRNG, which another process may share
    // until this one has reseeded: libcrypto's failure value, as when the
    // file cannot be written.
    if (!reseed_if_due()) {
        return PyLong_FromLong(-1);
    }
    return PyLong_FromLong(libcrypto.RAND_write_file(filename.get()));
}

PyDoc_STRVAR(rand_bytes_doc, "\n"
                             "Get some randomm bytes as a string.\n"
                             "\n"
                             "@param num_bytes: The number of bytes to fetch\n"
                             "@return: A string of random bytes\n");

// RAND_bytes counts in int; a larger request is filled in pieces. A count of
// 0 still asks libcrypto once, so that an unusable PRNG fails every request.
bool fill_random(unsigned char *buffer, Py_ssize_t count) {
    do {
        const int piece = count < INT_MAX ? static_cast<int>(count) : INT_MAX;
        if (libcrypto.RAND_bytes(buffer, piece) != 1) {
            return false;
        }
        buffer += piece;
        count -= piece;
    } while (count > 0);
    return true;
}

// rand_Error is null only if the module's import failed half-way.
PyObject *error_type() {
    return rand_Error != nullptr ? rand_Error : PyExc_RuntimeError;
}

// Error, with what libcrypto queued and a reason of the module's own: this
// process has not mixed in entropy of its own, and may share its PRNG
// state with another process.
void raise_not_reseeded() {
    PyRef errors(error_queue_to_list());
    if (!errors) {
        return;
    }
    PyRef reason(Py_BuildValue("(sss)", "Korvane.rand", "bytes",
                               "PRNG not reseeded in this process: no entropy from the kernel"));
    if (!reason || PyList_Append(errors.get(), reason.get()) != 0) {
        return;
    }
    PyErr_SetObject(error_type(), errors.get());
}

enum class Draw { done, not_reseeded, failed };

// Bytes of this process's own. A signal handler may fork at any point of
// the draw, and the child then holds its parent's bytes, or its parent's
// state half-way through making them: the fork handler's mark tells, and
// the child reseeds and draws them again.
Draw draw_own_bytes(unsigned char *buffer, Py_ssize_t count) {
    do {
        if (!reseed_if_due()) {
            return Draw::not_reseeded;
        }
        if (!fill_random(buffer, count)) {
            return Draw::failed;
        }
    } while (korvane::reseed_pending);
    return Draw::done;
}

char num_bytes_keyword[] = "num_bytes";
char *bytes_keywords[] = {num_bytes_keyword, nullptr};

// Callers draw in loops, mostly as bytes(n) with a plain int. That call
// skips the general parser, which would accept it and yield the same count.
bool parse_plain_count(PyObject *args, const PyObject *keywords, Py_ssize_t *count) {
    if (keywords != nullptr) {
        return false;
    }
    PyObject *argument = korvane::only_argument(args);
    return argument != nullptr && korvane::plain_int_value(argument, count);
}

PyObject *rand_bytes(PyObject * /*self*/, PyObject *args, PyObject *keywords) {
    Py_ssize_t count = 0;
    if (!parse_plain_count(args, keywords, &count) &&
        !PyArg_ParseTupleAndKeywords(args, keywords, "n:bytes", bytes_keywords, &count)) {
        return nullptr;
    }
    if (count < 0) {
        PyErr_SetString(PyExc_ValueError, "num_bytes must not be negative");
        return nullptr;
    }
    // libcrypto writes straight into the new string, so the random bytes
    // never sit in a second buffer that is freed with them still in it.
    PyRef result(PyBytes_FromStringAndSize(nullptr, count));
    if (!result) {
        return nullptr;
    }
    auto *buffer = reinterpret_cast<unsigned char *>(korvane::byte_string_buffer(result.get()));
    const Draw drawn = draw_own_bytes(buffer, count);
    if (drawn == Draw::done) {
        return result.release();
    }
    // What a failed draw got, or a parent's bytes, never reach the
    // allocator's free memory.
    libcrypto.OPENSSL_cleanse(buffer, static_cast<size_t>(count));
    if (drawn == Draw::not_reseeded) {
        raise_not_reseeded();
    } else {
        exception_from_error_queue(error_type());
    }
    return nullptr;
}

// The interpreter tells keyword handlers apart by the flags, not the type.
constexpr auto with_keywords = METH_VARARGS | METH_KEYWORDS;

PyMethodDef rand_methods[] = {
    {"add", rand_add, METH_VARARGS, rand_add_doc},
    {"seed", rand_seed, METH_VARARGS, rand_seed_doc},
    {"status", rand_status, METH_VARARGS, rand_status_doc},
    {"egd", rand_egd, METH_VARARGS, rand_egd_doc},
    {"cleanup", rand_cleanup, METH_VARARGS, rand_cleanup_doc},
    {"load_file", rand_load_file, METH_VARARGS, rand_load_file_doc},
    {"write_file", rand_write_file, METH_VARARGS, rand_write_file_doc},
    {"bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rand_bytes)),
     with_keywords, rand_bytes_doc},
    {nullptr, nullptr, 0, nullptr},
};

char error_name[] = "Korvane.rand.Error";

// The module, filled, or null with an exception pending.
PyObject *make_module() {
    // First of all: no child of a process that imported the module may be
    // handed its parent's bytes.
    if (!korvane::watch_forks()) {
        PyErr_SetString(PyExc_ImportError,
                        "Korvane.rand cannot watch for forks: the C library takes no fork "
                        "handler (it has neither __register_atfork nor pthread_atfork)");
        return nullptr;
    }
    if (!korvane::bind_libcrypto()) {
        return nullptr;
    }
    PyRef module(korvane::create_module("rand", rand_doc, rand_methods));
    if (!module) {
        return nullptr;
    }
    rand_Error = PyErr_NewException(error_name, nullptr, nullptr);
    if (rand_Error == nullptr) {
        return nullptr;
    }
    // PyModule_AddObject takes over this second reference when it succeeds;
    // on failure the reference is still ours to release.
    Py_INCREF(rand_Error);
    if (PyModule_AddObject(module.get(), "Error", rand_Error) != 0) {
        Py_DECREF(rand_Error);
        return nullptr;
    }
    libcrypto.ERR_load_RAND_strings();
    return module.release();
}

} // namespace

KORVANE_MODULE_ENTRY(rand, make_module)
