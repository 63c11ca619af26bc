/* Helpers exported with C linkage beside the module's entry point: libcrypto's
 * error queue as Python objects, and integers as hexadecimal text. Every
 * function runs with the interpreter lock held; errors are those of the
 * calling thread's queue. A caller that comes before anything imported
 * Korvane.rand has the error-queue helpers bind the module to the process's
 * libcrypto first, as the import does (importing the interpreter's _ssl):
 * where it cannot, there is no queue to empty, and the bind's ImportError
 * (or its RuntimeWarning, where the program made warnings errors) is what
 * they report. */
#ifndef KORVANE_HELPERS_H
#define KORVANE_HELPERS_H

#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Empties the queue into a new list of (library, function, reason) tuples,
 * earliest error first; a part without text is None. Returns null with
 * MemoryError pending if the list cannot be built (the queue is emptied
 * all the same), or with the bind's exception pending. */
PyObject *error_queue_to_list(void);

/* Empties the queue and discards what it held; leaves the interpreter's
 * pending exception, if any, as it was, and raises nothing: a bind that
 * fails leaves no queue to empty, and its exception is dropped. */
void flush_error_queue(void);

/* Empties the queue and makes `type`, with the error list as its single
 * argument, the pending exception (MemoryError instead if the list cannot
 * be built, or the bind's exception). The caller then returns null to the
 * interpreter. */
void exception_from_error_queue(PyObject *type);

/* Returns the text of `"%x" % (object,)`, or null with an exception pending. */
PyObject *PyKorvane_LongToHex(PyObject *object);

#ifdef __cplusplus
}
#endif

#endif /* KORVANE_HELPERS_H */
