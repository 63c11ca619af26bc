"""The few libcrypto calls the tests need, through ctypes, and what the
tests may expect of the generation at hand: 1.0, 1.1 or 3.0.

The library is the one the process already has, asked of the loader as the
module asks it: the interpreter's _ssl's, else its _hashlib's, else the
executable's (KORVANE_LIBCRYPTO's, for the suites run on another
generation), else the one mapped, which the module loaded itself where the
interpreter has none. The error-bridge tests show that it is the module's.
"""
import contextlib
import ctypes
import os
import sys

# Imported for what importing does: the module binds to the process's libcrypto.
from support import fsdecode, fsencode, rand
del rand

ERR_LIB_RAND = 36
RAND_R_PRNG_NOT_SEEDED = 100
# RAND_F_RAND_BYTES from 1.1 on, RAND_F_SSLEAY_RAND_BYTES in 1.0.
RAND_F_RAND_BYTES = 100
_RTLD_LAZY, _RTLD_NOLOAD = 1, 4


class _SharedObjectInfo(ctypes.Structure):
    _fields_ = [('dli_fname', ctypes.c_char_p), ('dli_fbase', ctypes.c_void_p),
                ('dli_sname', ctypes.c_char_p), ('dli_saddr', ctypes.c_void_p)]


# The loader's own calls, on raw handles: a CDLL made for each candidate
# would leave garbage in cycles, which the leak checks would see freed.
_loader = ctypes.CDLL(None)
_loader.dlopen.argtypes = [ctypes.c_char_p, ctypes.c_int]
_loader.dlopen.restype = ctypes.c_void_p
_loader.dlsym.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
_loader.dlsym.restype = ctypes.c_void_p


def _mapped_libcryptos():
    with open('/proc/self/maps') as maps:
        paths = set(line.split()[-1] for line in maps)
    return sorted(path for path in paths if os.path.basename(path).startswith('libcrypto.so'))


def _process_libcrypto():
    """The libcrypto that the process's interpreter modules or executable
    lead to, else the one the module loaded itself, by its file's name as
    the loader knows it."""
    modules = [sys.modules.get(name) for name in ('_ssl', '_hashlib')]
    candidates = ([getattr(module, '__file__', None) for module in modules] + [None] +
                  _mapped_libcryptos())
    for index, path in enumerate(candidates):
        if path is None and index < len(modules):
            continue  # no such module, or one built into the executable
        handle = _loader.dlopen(path and fsencode(path), _RTLD_LAZY | (_RTLD_NOLOAD if path else 0))
        rand_bytes = handle and _loader.dlsym(handle, b'RAND_bytes')
        info = _SharedObjectInfo()
        if rand_bytes and _loader.dladdr(ctypes.c_void_p(rand_bytes), ctypes.byref(info)):
            return ctypes.CDLL(fsdecode(info.dli_fname))
    raise RuntimeError('the process has no libcrypto that the tests can find')


def _version_calls():
    """The library's (version number, version text) calls: named SSLeay in 1.0."""
    if hasattr(lib, 'OpenSSL_version_num'):
        return lib.OpenSSL_version_num, lib.OpenSSL_version
    return lib.SSLeay, lib.SSLeay_version


lib = _process_libcrypto()
_version_number, _version_text = _version_calls()
_version_number.restype = ctypes.c_ulong
_version_text.restype = ctypes.c_char_p
VERSION = _version_number()
VERSION_TEXT = _version_text(0).decode()
IS_1_0 = VERSION < 0x10100000
IS_3 = VERSION >= 0x30000000

# What differs between the generations, as the tests see it:
# the function text of RAND's function code 100 (3.0 has none);
RAND_BYTES_FUNCTION_TEXT = None if IS_3 else 'SSLEAY_RAND_BYTES' if IS_1_0 else 'RAND_bytes'
# what load_file and write_file return for a file they cannot open (1.0's
# code returns the bytes done so far, 0; 1.1.1 rewrote it), and whether
# they queue an error then;
SEED_FILE_FAILURE = 0 if IS_1_0 else -1
SEED_FILE_FAILURES_QUEUE_ERRORS = not IS_1_0
# how much load_file reads of a device without a limit;
DEVICE_READ_WITHOUT_LIMIT = 2048 if IS_1_0 else 256
# whether cleanup() erases the state (and with it a PRNG method the program
# installed); from 1.1 on RAND_cleanup() does nothing.
CLEANUP_ERASES = IS_1_0
# whether an entropy estimate below zero counts against the seeding: after
# cleanup(), 1.0 then fails the next draw as unseeded (that one alone: the
# failed draw sets its count back to zero).
NEGATIVE_ENTROPY_COUNTS = IS_1_0
lib.ERR_peek_error.restype = ctypes.c_ulong
lib.ERR_get_error.restype = ctypes.c_ulong


def queue_error(reason, function=RAND_F_RAND_BYTES, library=ERR_LIB_RAND):
    """Puts one error on the calling thread's queue, as libcrypto itself would."""
    if IS_3:
        lib.ERR_new()
        lib.ERR_set_debug(b'tests', 1, b'queue_error')
        lib.ERR_set_error(library, reason, None)
    else:
        lib.ERR_put_error(library, function, reason, b'tests', 1)


def expected_triple(reason_text):
    """The triple a RAND error queued by queue_error turns into."""
    return ('random number generator', RAND_BYTES_FUNCTION_TEXT, reason_text)


def queue_is_empty():
    return lib.ERR_peek_error() == 0


def clear_queue():
    lib.ERR_clear_error()


_SEED = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_int)
_BYTES = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_int)
_CLEANUP = ctypes.CFUNCTYPE(None)
_ADD = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_int, ctypes.c_double)
_STATUS = ctypes.CFUNCTYPE(ctypes.c_int)


class _RandMethod(ctypes.Structure):
    _fields_ = [('seed', _SEED), ('bytes', _BYTES), ('cleanup', _CLEANUP),
                ('add', _ADD), ('pseudorand', _BYTES), ('status', _STATUS)]


class FakePrng(object):
    """A PRNG method that records what is fed to it and answers as told.

    `bytes_result` is what its bytes() returns (after queueing
    `queued_reasons` as RAND errors); `status` is what status() returns.
    With `record` false it keeps nothing, for loops of many calls;
    `events` has all of it in order: ('seed', data), ('add', data) and
    ('bytes', length).
    `seed_function`, a C function, takes the place of its recording seed().
    """

    def __init__(self, bytes_result=1, status=1, queued_reasons=(), record=True,
                 seed_function=None):
        self.bytes_result = bytes_result
        self.status = status
        self.queued_reasons = queued_reasons
        self.record = record
        self.seed_function = seed_function
        self.seeded = []
        self.added = []
        self.bytes_calls = []
        self.events = []

    def _seed(self, buffer, length):
        if self.record:
            self.seeded.append(ctypes.string_at(buffer, length))
            self.events.append(('seed', self.seeded[-1]))
        return 1

    def _add(self, buffer, length, entropy):
        if self.record:
            self.added.append((ctypes.string_at(buffer, length), entropy))
            self.events.append(('add', self.added[-1][0]))
        return 1

    def _bytes(self, buffer, length):
        if self.record:
            self.bytes_calls.append(length)
            self.events.append(('bytes', length))
        for reason in self.queued_reasons:
            queue_error(reason)
        if self.bytes_result == 1:
            ctypes.memset(buffer, 0x5a, length)
        return self.bytes_result

    def method(self):
        seed = _SEED(self._seed) if self.seed_function is None else ctypes.cast(
            self.seed_function, _SEED)
        return _RandMethod(seed, _BYTES(self._bytes), _CLEANUP(lambda: None),
                           _ADD(self._add), _BYTES(self._bytes), _STATUS(lambda: self.status))


@contextlib.contextmanager
def installed(prng):
    """Makes `prng` libcrypto's PRNG for the duration; the default comes back after."""
    method = prng.method()  # kept alive while installed
    if lib.RAND_set_rand_method(ctypes.byref(method)) != 1:
        raise RuntimeError('RAND_set_rand_method refused the test method')
    try:
        yield prng
    finally:
        lib.RAND_set_rand_method(None)
        clear_queue()
