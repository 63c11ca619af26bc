/* A C caller of the exported helpers: src/helpers.h must serve C as well
 * as C++, and the names must link as C names. */
#include "../src/helpers.h"

int c_caller_flushes_quietly(void) {
    flush_error_queue();
    return PyErr_Occurred() == NULL;
}
