// Failures the Python suite cannot provoke: the interpreter running out of
// memory inside the helpers, module initialisation failing half-way, the
// kernel's answers to getrandom, a child that the kernel gives no entropy
// (or something else that sits at /dev/urandom), a fork in the middle of a
// draw or of the reseed, and what the module wipes on the way.
// The interpreter is embedded; its calls and the C library's that fail are
// wrapped at link time (-Wl,--wrap=NAME), and libcrypto's in the module's
// table once it is bound, so the module's own code runs unchanged. The
// libcrypto is the interpreter's, or KORVANE_LIBCRYPTO's where that names
// one, loaded for all to see as an executable's would be. One source for
// Python 2.7 and for Python 3, whose module it links as it is built for
// each: what the two tell apart is in the first lines below.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <initializer_list>
#include <sched.h>
#include <sys/mount.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../src/helpers.h"
#include "../src/libcrypto.h"

// The module's entry point; the call with which it makes text, wrapped
// (tests.cmake names it too); the type of its byte strings; the format of
// a byte string for Py_BuildValue; the type of an exception's name.
#if PY_MAJOR_VERSION >= 3
#define TEXT_CALL PyUnicode_FromString
#define BYTES "y"
using ByteString = PyBytesObject;
using ExceptionName = const char *;
#else
#define TEXT_CALL PyString_FromString
#define BYTES "s"
using ByteString = PyStringObject;
using ExceptionName = char *;
#endif
#define WRAPPED(call) WRAPPED_NAME(__wrap_, call)
#define REAL(call) WRAPPED_NAME(__real_, call)
#define WRAPPED_NAME(prefix, call) JOINED(prefix, call)
#define JOINED(prefix, call) prefix##call

extern "C" {
extern PyObject *rand_Error;
#if PY_MAJOR_VERSION >= 3
PyMODINIT_FUNC PyInit_rand(void);
#else
PyMODINIT_FUNC initrand(void);
#endif
int c_caller_flushes_quietly(void);

PyObject *__real_PyList_New(Py_ssize_t size);
PyObject *REAL(TEXT_CALL)(const char *text);
PyObject *__real_PyErr_NewException(ExceptionName name, PyObject *base, PyObject *dict);
int __real_PyModule_AddObject(PyObject *module, const char *name, PyObject *value);
long __real_syscall(long number, ...);
int __real_open(const char *path, int flags, ...);
}

using korvane::libcrypto;

namespace {

// Which wrapped call fails: the n-th from now (1 is the next), or none (0).
struct Countdown {
    int remaining = 0;
    bool fires() { return remaining > 0 && --remaining == 0; }
};
Countdown list_new_failure, build_value_failure, string_failure, new_exception_failure,
    add_object_failure;
// What the kernel answers the module's getrandom calls: the bytes; ENOSYS
// (before 3.17, or a seccomp filter that refuses it); EAGAIN (a pool not
// yet initialised, early in boot) or EINTR to the next call only, the bytes
// after that, so that a module that waited for the pool would show it by
// its calls instead of hanging here. And whether the process can open a
// descriptor.
enum class Getrandom { works, missing, not_ready_once, interrupted_once };
struct Kernel {
    Getrandom getrandom;
    bool descriptors;
};
constexpr Kernel kernel_as_it_is{Getrandom::works, true};
constexpr Kernel no_entropy_left{Getrandom::missing, false};
Kernel kernel = kernel_as_it_is;
// The module's getrandom calls so far, those among them that asked anything
// but GRND_NONBLOCK (GRND_RANDOM drains the blocking pool on older
// kernels), its attempts to open /dev/urandom, those among them that a
// program exec'd meanwhile (from a signal handler, or another thread) would
// inherit, and the last descriptor it opened.
int getrandom_calls = 0;
int getrandom_calls_with_other_flags = 0;
int urandom_opens = 0;
int urandom_opens_kept_across_exec = 0;
int last_opened = -1;
// While `clock_told`, the monotonic clock reads to the module: the start,
// then 9.997 s on and a millisecond more at each reading up to 10 s, then
// an hour on; how often it was read so far.
bool clock_told = false;
timespec clock_start{};
int clock_readings = 0;
// Where a signal handler forks once during a draw, the child into a new pid
// namespace where the system allows it: right after getrandom has filled
// the reseed's buffer, right after RAND_seed has taken it, right before
// RAND_bytes, or inside RAND_bytes (libcrypto 1.0 alone shows its inside,
// through the lock callback); what the child's kernel gives it from then
// on; what that fork returned (0 in the child).
enum class ForkPoint { none, inside_the_read, inside_the_reseed, before_the_draw, inside_the_draw };
ForkPoint fork_point = ForkPoint::none;
Kernel kernel_after_the_fork = kernel_as_it_is;
pid_t forked = -1;
void fork_here(ForkPoint here) {
    if (fork_point != here) {
        return;
    }
    fork_point = ForkPoint::none;
    unshare(CLONE_NEWPID);
    forked = fork();
    getrandom_calls = 0;
    if (forked == 0) {
        kernel = kernel_after_the_fork;
    }
}

// A buffer the module handed to libcrypto: the last one it wiped, and the
// last one RAND_seed took (which clears the wipe: one before it does not
// count).
struct Span {
    const void *start;
    size_t length;
};
Span last_wipe{};
Span last_seed{};
bool is_last_wipe(const void *start, size_t length) {
    return start != nullptr && last_wipe.start == start && last_wipe.length == length;
}

// As much as the module mixes in at each reseed.
constexpr size_t reseed_size = 32;
bool reseed_was_wiped() {
    return last_seed.length == reseed_size && is_last_wipe(last_seed.start, reseed_size);
}

// Whether the string that bytes() drew into went back to the allocator
// during the call, and if so whether all of it had just been wiped.
enum class Freed { kept, wiped, not_wiped };
const unsigned char *drawn_into = nullptr;
Freed draw_freed = Freed::kept;
freefunc free_string = nullptr;
void inspecting_free(void *object) {
    auto *string = static_cast<ByteString *>(object);
    if (reinterpret_cast<unsigned char *>(string->ob_sval) == drawn_into) {
        draw_freed = is_last_wipe(string->ob_sval, static_cast<size_t>(Py_SIZE(string)))
                         ? Freed::wiped
                         : Freed::not_wiped;
    }
    free_string(object);
}

// The order in which initialisation reached the calls of interest.
char events[16];
void clear_events() {
    std::memset(events, 0, sizeof events);
}
void record(char event) {
    const size_t length = strlen(events);
    if (length + 1 < sizeof events) {
        events[length] = event;
    }
}

// The list that PyList_New made last, and whether it has been freed.
PyObject *last_list = nullptr;
bool last_list_freed = false;
destructor free_list = nullptr;
void noting_list_dealloc(PyObject *list) {
    last_list_freed = last_list_freed || list == last_list;
    free_list(list);
}

int checks_passed = 0;
int checks_failed = 0;

void check(bool condition, const char *what, int line) {
    if (condition) {
        ++checks_passed;
        return;
    }
    ++checks_failed;
    std::printf("FAILED line %d: %s\n", line, what);
}
#define CHECK(condition) check((condition), #condition, __LINE__)

bool memory_error_pending() {
    return PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_MemoryError);
}

// What the tests call of libcrypto themselves, from the library that the
// module bound to, with the generations' own signatures; and the real
// functions behind the module's table entries that the tests wrap.
struct RandMethod { // RAND_METHOD: seed, bytes, cleanup, add, pseudorand, status
    void (*seed)();
    int (*bytes)(unsigned char *buffer, int count);
    void (*cleanup)();
    void (*add)();
    int (*pseudorand)(unsigned char *buffer, int count);
    int (*status)();
};
struct TestCalls {
    bool is_1_0;
    unsigned long (*ERR_peek_error)();
    void (*ERR_put_error)(int library, int function, int reason, const char *file, int line);
    void (*ERR_new)();
    void (*ERR_set_debug)(const char *file, int line, const char *function);
    void (*ERR_set_error)(int library, int reason, const char *format, ...);
    int (*RAND_set_rand_method)(const RandMethod *method);
    void (*CRYPTO_set_locking_callback)(void (*lock)(int, int, const char *, int));
    void (*RAND_seed)(const void *buffer, int length);
    int (*RAND_bytes)(unsigned char *buffer, int count);
    void (*ERR_load_RAND_strings)();
    void (*OPENSSL_cleanse)(void *buffer, size_t length);
};
TestCalls real{};

template <typename Function> void look_up(void *library, const char *name, Function **function) {
    void *address = dlsym(library, name);
    std::memcpy(function, &address, sizeof address);
}

// The library behind the module's table, once it is bound.
void look_up_test_calls() {
    Dl_info info{};
    dladdr(reinterpret_cast<void *>(libcrypto.RAND_bytes), &info);
    void *library = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    unsigned long (*version)() = nullptr;
    look_up(library, "OpenSSL_version_num", &version);
    if (version == nullptr) {
        look_up(library, "SSLeay", &version);
    }
    real.is_1_0 = version() < 0x10100000UL;
    look_up(library, "ERR_peek_error", &real.ERR_peek_error);
    look_up(library, "ERR_put_error", &real.ERR_put_error);
    look_up(library, "ERR_new", &real.ERR_new);
    look_up(library, "ERR_set_debug", &real.ERR_set_debug);
    look_up(library, "ERR_set_error", &real.ERR_set_error);
    look_up(library, "RAND_set_rand_method", &real.RAND_set_rand_method);
    look_up(library, "CRYPTO_set_locking_callback", &real.CRYPTO_set_locking_callback);
    real.RAND_seed = libcrypto.RAND_seed;
    real.RAND_bytes = libcrypto.RAND_bytes;
    real.ERR_load_RAND_strings = libcrypto.ERR_load_RAND_strings;
    real.OPENSSL_cleanse = libcrypto.OPENSSL_cleanse;
}

// RAND, RAND_F_RAND_BYTES (RAND_F_SSLEAY_RAND_BYTES in 1.0), "PRNG not seeded".
constexpr int rand_library = 36;
constexpr int rand_bytes_function = 100;
constexpr int prng_not_seeded = 100;

void queue_errors(int count) {
    for (int i = 0; i < count; ++i) {
        if (real.ERR_put_error != nullptr) {
            real.ERR_put_error(rand_library, rand_bytes_function, prng_not_seeded, __FILE__,
                               __LINE__);
        } else { // 3.0
            real.ERR_new();
            real.ERR_set_debug(__FILE__, __LINE__, "queue_errors");
            real.ERR_set_error(rand_library, prng_not_seeded, nullptr);
        }
    }
}

// Calls the module's method `name` with the arguments `format` makes; the
// result or null.
PyObject *call_method(const char *name, const char *format, ...) {
    va_list values;
    va_start(values, format);
    PyObject *arguments = Py_VaBuildValue(format, values);
    va_end(values);
    PyObject *method = PyObject_GetAttrString(PyImport_AddModule("rand"), name);
    PyObject *result = arguments != nullptr && method != nullptr
                           ? PyObject_Call(method, arguments, nullptr)
                           : nullptr;
    Py_XDECREF(method);
    Py_XDECREF(arguments);
    return result;
}

// Calls the module's bytes(count), watching what becomes of the string it
// draws into; the result or null.
PyObject *call_bytes(int count) {
    drawn_into = nullptr;
    draw_freed = Freed::kept;
    free_string = PyBytes_Type.tp_free;
    PyBytes_Type.tp_free = inspecting_free;
    PyObject *result = call_method("bytes", "(i)", count);
    PyBytes_Type.tp_free = free_string;
    return result;
}

bool queue_is_empty() {
    return real.ERR_peek_error() == 0;
}

} // namespace

extern "C" {

PyObject *__wrap_PyList_New(Py_ssize_t size) {
    if (list_new_failure.fires()) {
        return PyErr_NoMemory();
    }
    last_list = __real_PyList_New(size);
    return last_list;
}

// Py_BuildValue, as PY_SSIZE_T_CLEAN names it.
PyObject *__wrap__Py_BuildValue_SizeT(const char *format, ...) {
    if (build_value_failure.fires()) {
        return PyErr_NoMemory();
    }
    va_list arguments;
    va_start(arguments, format);
    PyObject *value = Py_VaBuildValue(format, arguments);
    va_end(arguments);
    return value;
}

PyObject *WRAPPED(TEXT_CALL)(const char *text) {
    return string_failure.fires() ? PyErr_NoMemory() : REAL(TEXT_CALL)(text);
}

PyObject *__wrap_PyErr_NewException(ExceptionName name, PyObject *base, PyObject *dict) {
    record('N');
    return new_exception_failure.fires() ? PyErr_NoMemory()
                                         : __real_PyErr_NewException(name, base, dict);
}

int __wrap_PyModule_AddObject(PyObject *module, const char *name, PyObject *value) {
    record('A');
    if (add_object_failure.fires()) {
        PyErr_NoMemory();
        return -1;
    }
    return __real_PyModule_AddObject(module, name, value);
}

// The module's system calls: getrandom, the monotonic clock, and calls
// with at most three arguments, passed on as they are.
long __wrap_syscall(long number, ...) {
    va_list arguments;
    va_start(arguments, number);
    const long buffer = va_arg(arguments, long);
    const long length = va_arg(arguments, long);
    const long flags = va_arg(arguments, long);
    va_end(arguments);
    if (number == SYS_clock_gettime && clock_told) {
        const long milliseconds = clock_readings == 0   ? 0
                                  : clock_readings <= 4 ? 9996 + clock_readings
                                                        : 3600000;
        ++clock_readings;
        timespec now = clock_start;
        now.tv_sec += milliseconds / 1000;
        now.tv_nsec += milliseconds % 1000 * 1000000L;
        now.tv_sec += now.tv_nsec / 1000000000L;
        now.tv_nsec %= 1000000000L;
        // clock_gettime's arguments: the clock, then where the time goes.
        *reinterpret_cast<timespec *>(length) = now;
        return 0;
    }
    if (number != SYS_getrandom) {
        return __real_syscall(number, buffer, length, flags);
    }
    ++getrandom_calls;
    getrandom_calls_with_other_flags += flags != GRND_NONBLOCK ? 1 : 0;
    const Getrandom answer = kernel.getrandom;
    if (answer != Getrandom::missing) {
        kernel.getrandom = Getrandom::works;
    }
    if (answer != Getrandom::works) {
        errno = answer == Getrandom::missing          ? ENOSYS
                : answer == Getrandom::not_ready_once ? EAGAIN
                                                      : EINTR;
        return -1;
    }
    const long got = __real_syscall(number, buffer, length, flags);
    fork_here(ForkPoint::inside_the_read);
    return got;
}

int __wrap_open(const char *path, int flags, ...) {
    const bool urandom = std::strcmp(path, "/dev/urandom") == 0;
    urandom_opens += urandom ? 1 : 0;
    urandom_opens_kept_across_exec += urandom && (flags & O_CLOEXEC) == 0 ? 1 : 0;
    if (!kernel.descriptors) {
        errno = EMFILE;
        return -1;
    }
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(arguments, mode_t) : 0;
    va_end(arguments);
    last_opened = __real_open(path, flags, mode);
    return last_opened;
}

} // extern "C"

namespace {

// The module's table entries that the tests wrap.
void recording_load_strings() {
    record('L');
    real.ERR_load_RAND_strings();
}

void forking_seed(const void *buffer, int length) {
    real.RAND_seed(buffer, length);
    last_seed = {buffer, static_cast<size_t>(length)};
    last_wipe = {};
    fork_here(ForkPoint::inside_the_reseed);
}

void recording_cleanse(void *buffer, size_t length) {
    real.OPENSSL_cleanse(buffer, length);
    last_wipe = {buffer, length};
}

// libcrypto 1.0's lock of the PRNG state, and what the callback is told.
constexpr int crypto_lock_rand = 18;
constexpr int crypto_unlock = 2;
bool inside_a_draw = false;
void forking_lock(int mode, int type, const char * /*file*/, int /*line*/) {
    // The first time RAND_bytes lets go of the PRNG's lock, half-way.
    if (inside_a_draw && type == crypto_lock_rand && (mode & crypto_unlock) != 0) {
        inside_a_draw = false;
        fork_here(ForkPoint::inside_the_draw);
    }
}

int forking_bytes(unsigned char *buffer, int count) {
    drawn_into = buffer;
    fork_here(ForkPoint::before_the_draw);
    if (real.is_1_0) {
        inside_a_draw = fork_point == ForkPoint::inside_the_draw;
        real.CRYPTO_set_locking_callback(inside_a_draw ? forking_lock : nullptr);
    }
    return real.RAND_bytes(buffer, count);
}

// The libcrypto the process has: the interpreter's own, which the module
// finds through its _ssl, or KORVANE_LIBCRYPTO's, as an executable's, with
// the interpreter's _ssl and _hashlib kept out; then the module's table
// bound to it, with the wrapped entries in place.
bool bind_wrapped_libcrypto() {
    const char *libcrypto_file = std::getenv("KORVANE_LIBCRYPTO");
    if (libcrypto_file != nullptr && libcrypto_file[0] != '\0') {
        if (dlopen(libcrypto_file, RTLD_NOW | RTLD_GLOBAL) == nullptr) {
            std::printf("cannot load %s: %s\n", libcrypto_file, dlerror());
            return false;
        }
        for (const char *module : {"_ssl", "_hashlib"}) {
            PyDict_SetItemString(PyImport_GetModuleDict(), module, Py_None);
        }
    }
    if (!korvane::bind_libcrypto()) {
        PyErr_Print();
        return false;
    }
    look_up_test_calls();
    libcrypto.ERR_load_RAND_strings = recording_load_strings;
    libcrypto.RAND_seed = forking_seed;
    libcrypto.RAND_bytes = forking_bytes;
    libcrypto.OPENSSL_cleanse = recording_cleanse;
    return true;
}

} // namespace

namespace {

// Runs the module's entry point with `failure`, if any, firing at its next
// call; the module it made is sys.modules' rand, as Python 2.7's made it.
// True when it ended as it should: with MemoryError pending if a call
// failed, with nothing pending otherwise.
bool initialise(Countdown *failure) {
    clear_events();
    if (failure != nullptr) {
        failure->remaining = 1;
    }
#if PY_MAJOR_VERSION >= 3
    PyObject *module = PyInit_rand();
    if (module != nullptr && PyDict_SetItemString(PyImport_GetModuleDict(), "rand", module) != 0) {
        PyErr_Print();
    }
    Py_XDECREF(module);
#else
    initrand();
#endif
    const bool ended_well = failure != nullptr ? memory_error_pending() : !PyErr_Occurred();
    PyErr_Clear();
    return ended_well;
}

// Whether the pending exception is Error whose list holds `queued` triples
// of what libcrypto had queued before, then the module's own reason for
// refusing to draw.
bool refused_unreseeded(Py_ssize_t queued) {
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    bool refused = type == rand_Error && value != nullptr && PyList_Check(value) &&
                   PyList_GET_SIZE(value) == queued + 1;
    for (Py_ssize_t index = 0; refused && index <= queued; ++index) {
        PyObject *text = PyTuple_GetItem(PyList_GET_ITEM(value, index), index < queued ? 0 : 2);
#if PY_MAJOR_VERSION >= 3
        const char *characters =
            text != nullptr && PyUnicode_Check(text) ? PyUnicode_AsUTF8(text) : nullptr;
#else
        const char *characters =
            text != nullptr && PyString_Check(text) ? PyString_AS_STRING(text) : nullptr;
#endif
        refused = characters != nullptr &&
                  std::strstr(characters, index < queued ? "random number generator"
                                                         : "not reseeded") != nullptr;
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return refused;
}

// Puts `source` at /dev/urandom, in a mount namespace of this process's
// own. False where the system does not let this process make one (it
// needs root).
bool bind_over_urandom(const char *source) {
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount(source, "/dev/urandom", nullptr, MS_BIND, nullptr) == 0;
}

// A regular file that holds plenty of bytes at /dev/urandom, as in a
// container image made carelessly: every process there would read the
// same ones.
bool urandom_is_a_regular_file() {
    char stand_in[] = "/tmp/korvane-fault-injection-urandom-XXXXXX";
    const int fd = mkstemp(stand_in);
    const unsigned char bytes[256] = {};
    const bool written = fd >= 0 && write(fd, bytes, sizeof bytes) == sizeof bytes;
    if (fd >= 0) {
        close(fd);
    }
    const bool bound = written && bind_over_urandom(stand_in);
    unlink(stand_in);
    return bound;
}

// A character device, but not the kernel's random one.
bool urandom_is_dev_zero() {
    return bind_over_urandom("/dev/zero");
}

// What a child meets: the kernel's answer to getrandom and whether the
// child can open descriptors, what makes /dev/urandom what it is (null:
// the kernel's own); whether it can reseed then, and how it tries: its
// getrandom calls, and whether it opens /dev/urandom.
struct EntropyCase {
    const char *what;
    Kernel kernel;
    bool (*prepare)();
    bool reseeds;
    int getrandom_calls;
    bool opens_urandom;
};
constexpr Kernel no_getrandom{Getrandom::missing, true};
const EntropyCase entropy_cases[] = {
    {"getrandom", kernel_as_it_is, nullptr, true, 1, false},
    {"getrandom interrupted once", {Getrandom::interrupted_once, true}, nullptr, true, 2, false},
    // Only EINTR is retried: a pool may stay uninitialised for long.
    {"getrandom, pool not initialised", {Getrandom::not_ready_once, true}, nullptr, true, 1, true},
    {"no getrandom, the kernel's /dev/urandom", no_getrandom, nullptr, true, 1, true},
    {"no getrandom, no free descriptor", no_entropy_left, nullptr, false, 1, true},
    {"no getrandom, a regular file at /dev/urandom", no_getrandom, &urandom_is_a_regular_file,
     false, 1, true},
    {"no getrandom, /dev/zero at /dev/urandom", no_getrandom, &urandom_is_dev_zero, false, 1, true},
};

bool is_open(int fd) {
    return fd >= 0 && fcntl(fd, F_GETFD) != -1;
}

// A child that reads the kernel's entropy draws, wipes what it read once
// libcrypto has it, and asks the kernel no more. One that the kernel gives
// none must draw nothing from the state it shares with its parent, keep no
// descriptor of what it refused, and try again at its next call.
void check_child_entropy(const EntropyCase &child) {
    if (child.prepare != nullptr && !child.prepare()) {
        std::printf("skipped: %s: no mount namespace of its own (it needs root)\n", child.what);
        return;
    }
    const char seed_file[] = "/tmp/korvane-fault-injection-seed";
    unlink(seed_file);
    kernel = child.kernel;
    getrandom_calls = 0;
    urandom_opens = 0;
    last_opened = -1;
    constexpr int queued_before = 2;
    queue_errors(child.reseeds ? 0 : queued_before);
    PyObject *drawn = call_bytes(16);
    CHECK(getrandom_calls == child.getrandom_calls);
    CHECK(getrandom_calls_with_other_flags == 0);
    CHECK(urandom_opens == (child.opens_urandom ? 1 : 0) && !is_open(last_opened));
    CHECK(urandom_opens_kept_across_exec == 0);
    if (child.reseeds) {
        CHECK(drawn != nullptr && PyBytes_Size(drawn) == 16);
        Py_XDECREF(drawn);
        CHECK(reseed_was_wiped());
        // Reseeded once, the process stays off the kernel: its later calls
        // work where neither source is left (a chroot without /dev, a
        // seccomp filter that refuses getrandom).
        kernel = no_entropy_left;
        getrandom_calls = 0;
        urandom_opens = 0;
        const auto went_on = [](PyObject *result) {
            Py_XDECREF(result);
            PyErr_Clear();
            return result != nullptr;
        };
        CHECK(went_on(call_bytes(16)));
        CHECK(went_on(call_method("add", "(" BYTES "#d)", "x", Py_ssize_t{1}, 1.0)));
        CHECK(went_on(call_method("seed", "(" BYTES ")", "x")));
        CHECK(getrandom_calls == 0 && urandom_opens == 0);
        return;
    }
    CHECK(drawn == nullptr && refused_unreseeded(queued_before));
    CHECK(queue_is_empty());
    PyObject *written = call_method("write_file", "(s)", seed_file);
    CHECK(written != nullptr && PyLong_Check(written) && PyLong_AsLong(written) == -1);
    Py_XDECREF(written);
    struct stat status {};
    CHECK(stat(seed_file, &status) != 0 && errno == ENOENT);
    CHECK(queue_is_empty());
    kernel = kernel_as_it_is;
    drawn = call_bytes(16);
    CHECK(drawn != nullptr && PyBytes_Size(drawn) == 16);
    Py_XDECREF(drawn);
}

void test_child_entropy() {
    CHECK(initialise(nullptr));
    // The parent has done its own reseed. (Py_XDECREF names its argument
    // more than once: a call in it would run again.)
    PyObject *drawn = call_bytes(16);
    Py_XDECREF(drawn);
    for (const EntropyCase &entropy : entropy_cases) {
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            checks_failed = 0; // the child's own, for its exit status
            check_child_entropy(entropy);
            if (checks_failed > 0) {
                std::printf("  (child: %s)\n", entropy.what);
            }
            std::fflush(stdout);
            _exit(checks_failed == 0 ? 0 : 1);
        }
        int status = 0;
        CHECK(child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
              WEXITSTATUS(status) == 0);
    }
}

// What a process saw of the draw during which it forked (or was forked),
// and of the one after.
constexpr int after_fork_draw_size = 16;
struct Drawn {
    bool drew;
    unsigned char bytes[after_fork_draw_size];
    Freed freed;
};
struct AfterTheFork {
    bool forked_child;
    pid_t pid;
    int getrandom_calls; // from the fork to the end of the draw in progress
    Drawn in_progress;
    Drawn next;
};

Drawn draw() {
    Drawn result{};
    PyObject *drawn = call_bytes(after_fork_draw_size);
    result.drew = drawn != nullptr && PyBytes_Size(drawn) == after_fork_draw_size;
    if (result.drew) {
        std::memcpy(result.bytes, PyBytes_AS_STRING(drawn), after_fork_draw_size);
    }
    result.freed = draw_freed;
    Py_XDECREF(drawn);
    PyErr_Clear();
    return result;
}

// Where a signal handler forks, and whether the child's kernel gives it
// entropy from then on.
struct ForkCase {
    const char *what;
    ForkPoint point;
    bool child_gets_entropy;
};
const ForkCase fork_cases[] = {
    {"inside the read of the kernel's entropy", ForkPoint::inside_the_read, true},
    {"inside the reseed", ForkPoint::inside_the_reseed, true},
    {"right before the draw", ForkPoint::before_the_draw, true},
    {"inside the draw", ForkPoint::inside_the_draw, true},
    {"right before the draw, into a child without entropy", ForkPoint::before_the_draw, false},
    {"inside the draw, into a child without entropy", ForkPoint::inside_the_draw, false},
};

// A process that has a reseed due draws, and a signal handler forks where
// `fork_case` says. Each of the two reports that draw and the next.
void draw_with_a_fork(const ForkCase &fork_case, int pipe_end) {
    AfterTheFork report{};
    fork_point = fork_case.point;
    kernel_after_the_fork = fork_case.child_gets_entropy ? kernel_as_it_is : no_entropy_left;
    report.in_progress = draw();
    report.getrandom_calls = getrandom_calls;
    report.forked_child = forked == 0;
    report.pid = getpid();
    report.next = draw();
    CHECK(write(pipe_end, &report, sizeof report) == sizeof report);
    if (forked == 0) {
        std::fflush(stdout);
        _exit(0);
    }
    waitpid(forked, nullptr, 0);
}

bool same(const Drawn &one, const Drawn &other) {
    return std::memcmp(one.bytes, other.bytes, after_fork_draw_size) == 0;
}

// The child of a fork at any point before a draw completes must return
// bytes of its own from that very call, from a reseed of its own, and go
// on with a state of its own: on libcrypto 1.0 two processes with the same
// pid (as pids come round again) would otherwise draw the same bytes. A
// child that cannot reseed returns nothing, and wipes what it had drawn.
void check_fork_during_a_draw(const ForkCase &fork_case) {
    int reports[2];
    CHECK(pipe(reports) == 0);
    std::fflush(stdout);
    const pid_t helper = fork();
    if (helper == 0) {
        checks_failed = 0; // the children's own, for the exit status
        // The drawing process and the child forked during its draw are each
        // pid 1 of a namespace of their own: only their states tell them
        // apart.
        unshare(CLONE_NEWPID);
        const pid_t drawer = fork();
        if (drawer == 0) {
            draw_with_a_fork(fork_case, reports[1]);
            std::fflush(stdout);
            _exit(checks_failed == 0 ? 0 : 1);
        }
        int status = 0;
        waitpid(drawer, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    }
    close(reports[1]);
    AfterTheFork seen[2] = {};
    int count = 0;
    AfterTheFork report{};
    while (count < 2 && read(reports[0], &report, sizeof report) == sizeof report) {
        seen[count++] = report;
    }
    close(reports[0]);
    int status = 0;
    CHECK(waitpid(helper, &status, 0) == helper && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    CHECK(count == 2 && seen[0].forked_child != seen[1].forked_child);
    const AfterTheFork &child = seen[0].forked_child ? seen[0] : seen[1];
    const AfterTheFork &parent = seen[0].forked_child ? seen[1] : seen[0];
    CHECK(parent.in_progress.drew && parent.next.drew);
    if (!fork_case.child_gets_entropy) {
        CHECK(!child.in_progress.drew);
        CHECK(child.in_progress.freed == Freed::wiped);
        CHECK(!child.next.drew);
        return;
    }
    CHECK(child.in_progress.drew && child.next.drew);
    CHECK(child.getrandom_calls > 0); // it reseeded after the fork
    CHECK(!same(parent.in_progress, child.in_progress));
    CHECK(!same(parent.next, child.next));
    if (parent.pid != child.pid) {
        std::printf("note: no pid namespace (it needs root): the two processes' pids differ\n");
    }
}

// A daemon that takes the request and never answers is left at the first
// reading of the clock that is ten seconds or more from the start of the
// exchange, not later: the start, the connection, the request, the wait
// for the answer (a millisecond, what is left) and the reading of 10 s.
void test_stall_limit_is_exact() {
    const char path[] = "/tmp/korvane-fault-injection-egd";
    unlink(path);
    const int daemon = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path, sizeof path);
    CHECK(bind(daemon, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 &&
          listen(daemon, 1) == 0);
    __real_syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &clock_start);
    clock_readings = 0;
    clock_told = true;
    PyObject *supplied = call_method("egd", "(s)", path);
    clock_told = false;
    CHECK(supplied != nullptr && PyLong_AsLong(supplied) == 0);
    CHECK(clock_readings == 5);
    Py_XDECREF(supplied);
    close(daemon);
    unlink(path);
}

void test_fork_during_a_draw() {
    for (const ForkCase &fork_case : fork_cases) {
        // libcrypto 1.1 and 3 hold a lock through the draw, which a child
        // forked inside it could never take again.
        if (fork_case.point == ForkPoint::inside_the_draw && !real.is_1_0) {
            continue;
        }
        const int failed_before = checks_failed;
        check_fork_during_a_draw(fork_case);
        if (checks_failed > failed_before) {
            std::printf("  (a fork %s)\n", fork_case.what);
        }
    }
}

void test_initialisation() {
    CHECK(initialise(nullptr));
    CHECK(std::strcmp(events, "NAL") == 0); // strings loaded once, after Error was added
    // Exactly four owners: rand_Error, the module attribute, and the type's
    // own __mro__ tuple and __weakref__ descriptor. Without a reference of
    // its own, the global would dangle once the attribute was rebound.
    CHECK(Py_REFCNT(rand_Error) == 4);
    PyObject *module = PyImport_AddModule("rand");
    CHECK(module != nullptr && PyObject_GetAttrString(module, "Error") == rand_Error);
    Py_XDECREF(rand_Error); // the reference GetAttrString gave
    const Py_ssize_t references_with_attribute = Py_REFCNT(rand_Error);

    CHECK(initialise(&add_object_failure));
    CHECK(std::strcmp(events, "NA") == 0);
    // The global keeps the type; the reference meant for the attribute was
    // given back, not leaked.
    CHECK(rand_Error != nullptr && Py_REFCNT(rand_Error) == references_with_attribute - 1);

    CHECK(initialise(&new_exception_failure));
    CHECK(std::strcmp(events, "N") == 0);
    CHECK(rand_Error == nullptr);
}

int failing_bytes(unsigned char * /*buffer*/, int /*count*/) {
    queue_errors(1);
    return 0;
}

void test_bytes_without_error_type() {
    // rand_Error is null after the failed initialisation above.
    RandMethod failing{};
    failing.bytes = failing_bytes;
    real.RAND_set_rand_method(&failing);
    PyObject *result = call_bytes(8);
    real.RAND_set_rand_method(nullptr);
    CHECK(result == nullptr && PyErr_ExceptionMatches(PyExc_RuntimeError));
    CHECK(queue_is_empty());
    PyErr_Clear();
}

// A PRNG that fills the buffer, then reports failure all the same.
int filling_then_failing_bytes(unsigned char *buffer, int count) {
    std::memset(buffer, 0x5a, static_cast<size_t>(count));
    return 0;
}

void test_failed_draw_is_wiped_before_it_is_freed() {
    RandMethod failing{};
    failing.bytes = filling_then_failing_bytes;
    real.RAND_set_rand_method(&failing);
    PyObject *result = call_bytes(64);
    real.RAND_set_rand_method(nullptr);
    CHECK(result == nullptr && PyErr_Occurred());
    PyErr_Clear();
    // The bytes a failed draw got never reach the allocator's free memory.
    CHECK(draw_freed == Freed::wiped);
}

void test_error_list_without_memory() {
    free_list = PyList_Type.tp_dealloc;
    PyList_Type.tp_dealloc = noting_list_dealloc;
    for (Countdown *failure : {&list_new_failure, &build_value_failure}) {
        queue_errors(3);
        failure->remaining = failure == &list_new_failure ? 1 : 2;
        last_list_freed = false;
        PyObject *errors = error_queue_to_list();
        CHECK(errors == nullptr && memory_error_pending());
        CHECK(queue_is_empty()); // drained all the same
        PyErr_Clear();
    }
    PyList_Type.tp_dealloc = free_list;
    // The list dropped half-built, with its first triple, went back.
    CHECK(last_list_freed);
}

void test_flush_without_memory() {
    queue_errors(2);
    build_value_failure.remaining = 1;
    flush_error_queue();
    CHECK(!PyErr_Occurred() && queue_is_empty());

    // An exception the caller had pending is left as it was.
    PyErr_SetString(PyExc_KeyError, "pending");
    queue_errors(2);
    list_new_failure.remaining = 1;
    flush_error_queue();
    CHECK(PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_KeyError) && queue_is_empty());
    PyErr_Clear();
}

void test_helpers_from_c() {
    queue_errors(2);
    CHECK(c_caller_flushes_quietly() && queue_is_empty());
}

void test_exception_without_memory() {
    queue_errors(2);
    build_value_failure.remaining = 1;
    exception_from_error_queue(PyExc_ValueError);
    CHECK(memory_error_pending() && queue_is_empty());
    PyErr_Clear();
}

void test_hex_without_memory() {
    PyObject *value =
        PyLong_FromString(const_cast<char *>("123456789012345678901234567890"), nullptr, 10);
    const Py_ssize_t references = Py_REFCNT(value);
    for (Countdown *failure : {&build_value_failure, &string_failure}) {
        failure->remaining = 1;
        CHECK(PyKorvane_LongToHex(value) == nullptr && memory_error_pending());
        PyErr_Clear();
        CHECK(Py_REFCNT(value) == references); // the argument tuple was released
    }
    Py_DECREF(value);
}

} // namespace

int main() {
    Py_NoSiteFlag = 1;
    Py_Initialize();
    if (!bind_wrapped_libcrypto()) {
        std::printf("0 passed, 1 failed\n");
        return 1;
    }
    test_child_entropy();
    test_fork_during_a_draw();
    test_stall_limit_is_exact();
    test_initialisation();
    test_bytes_without_error_type();
    test_failed_draw_is_wiped_before_it_is_freed();
    test_error_list_without_memory();
    test_flush_without_memory();
    test_helpers_from_c();
    test_exception_without_memory();
    test_hex_without_memory();
    std::printf("%d passed, %d failed\n", checks_passed, checks_failed);
    return checks_failed == 0 ? 0 : 1;
}
