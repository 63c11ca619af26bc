// The libcrypto functions that the module calls, declared here, reached
// through one table that is filled once, at import, with the functions
// that the interpreter's own ssl calls: each name as the loader resolves
// it for the interpreter's _ssl (else _hashlib, else the executable). The
// module links no libcrypto and needs none of its headers, so that one
// build serves every generation (1.0.0 to 3.x, RHEL's libcrypto.so.10,
// LibreSSL) and the program keeps one generator whatever its interpreter
// was built against.
#ifndef KORVANE_LIBCRYPTO_H
#define KORVANE_LIBCRYPTO_H

#include <cstddef>

namespace korvane {

// libcrypto's own signatures, unchanged from 1.0.0 to 3.x. An entry that
// a generation lacks holds a stand-in that does what that generation's
// headers made of the call: RAND_cleanup and ERR_load_RAND_strings do
// nothing, ERR_func_error_string answers null. ERR_load_RAND_strings
// returns int from 1.1 on, which no caller reads.
struct Libcrypto {
    void (*RAND_add)(const void *buffer, int length, double entropy);
    void (*RAND_seed)(const void *buffer, int length);
    int (*RAND_status)();
    void (*RAND_cleanup)();
    int (*RAND_load_file)(const char *filename, long maxbytes);
    int (*RAND_write_file)(const char *filename);
    int (*RAND_bytes)(unsigned char *buffer, int count);
    unsigned long (*ERR_get_error)();
    const char *(*ERR_lib_error_string)(unsigned long code);
    const char *(*ERR_func_error_string)(unsigned long code);
    const char *(*ERR_reason_error_string)(unsigned long code);
    void (*ERR_load_RAND_strings)();
    void (*OPENSSL_cleanse)(void *buffer, size_t length);
};

// Null entries until bind_libcrypto() has succeeded; never changed after.
// It is constant-initialised where it is defined; clang-tidy takes this
// declaration for a definition.
extern Libcrypto libcrypto; // NOLINT(bugprone-dynamic-static-initializers)

// Fills the table, once per process; later calls return at once. Imports
// the interpreter's _ssl (else _hashlib) first, so that the import and a
// C caller of the helpers bind alike. Needs the interpreter lock. Where
// the interpreter's libcrypto cannot be reached (linked in statically),
// binds to the newest one the loader opens, with a RuntimeWarning. False,
// with ImportError pending, when the process has no libcrypto and none can
// be loaded, when the interpreter's lacks a function that the module
// cannot do without, or when two libraries offer libcrypto's functions
// and nothing says which the interpreter's ssl calls: those errors name
// the libraries. False too, with that exception pending, when the warning
// is made an error, or importing _ssl fails otherwise than by its absence.
bool bind_libcrypto();

} // namespace korvane

#endif // KORVANE_LIBCRYPTO_H
