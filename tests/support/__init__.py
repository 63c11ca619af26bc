"""Shared fixtures of the test suite.

Importing this package puts the build under test (KORVANE_BUILD_DIR, which
tests/run --module-parent sets, else the repository root) first on sys.path
and imports the module from it. With 'installed', the module is the one the
interpreter's own path finds, as a system package installed it.

The suites run on Python 2.7 and on Python 3 alike; what the two tell
apart is here.
"""
import array
import contextlib
import ctypes
import os
import sys
import time
import traceback

try:
    import cPickle as pickle
except ImportError:
    import pickle

PY3 = sys.version_info[0] >= 3
# The type of every number the module returns: long on 2.7, int on 3.
LONG = int if PY3 else long


def messages(python2, *python3):
    """The texts the interpreter's own error may have: Python 2.7's, or on
    Python 3 any of PYTHON3 (its versions word some differently) where
    they differ from it."""
    return python3 if PY3 and python3 else (python2,)


# What add() and seed() take besides a byte string: on 2.7 a read-only
# buffer; on Python 3 any bytes-like object, read where it lies (bytearray)
# or through a copy (the others, a view with gaps in it among them).
if PY3:
    BUFFERS = [bytearray(b'bytearray'), memoryview(b'memoryview'), memoryview(b'a-v-i-e-w')[::2],
               memoryview(b'').cast('B'), array.array('H', [1, 2, 3])]
else:
    BUFFERS = [buffer(b'read-only buffer')]


def file_names(path):
    """PATH in each form that the methods take a file's name in: a str;
    on Python 3 also bytes and an os.PathLike, as open() takes them."""
    if not PY3:
        return [path]
    import pathlib
    return [path, os.fsencode(path), pathlib.PurePath(path)]


# A file's name as the C library takes it, and back: bytes on Python 3.
fsencode = getattr(os, 'fsencode', str)
fsdecode = getattr(os, 'fsdecode', str)

BUILD_DIR = os.environ.get('KORVANE_BUILD_DIR') or os.path.join(os.path.dirname(__file__), '..', '..')
if BUILD_DIR != 'installed':
    sys.path.insert(0, os.path.abspath(BUILD_DIR))

from Korvane import rand  # noqa: E402

# The module mixes in entropy of the process's own at its first use: done
# here, so that what a test's recording PRNG sees is what the test fed it.
rand.status()

# The command that starts another interpreter like this one (the tests'
# launcher, or an emulator and the interpreter), space-separated.
INTERPRETER = (os.environ.get('KORVANE_INTERPRETER') or sys.executable).split()

# A sanitizer run without the sanitizer would pass for the wrong reason.
if os.environ.get('KORVANE_SANITIZED') == '1' and not hasattr(ctypes.CDLL(None), '__asan_init'):
    raise RuntimeError('tests/run --sanitized, but the AddressSanitizer runtime is not loaded')

# The module's exported C helpers, called with the interpreter lock held and
# checked for a pending exception, as a C caller would.
exports = ctypes.PyDLL(rand.__file__)


def _bind(name, argtypes, restype):
    function = getattr(exports, name)
    function.argtypes = argtypes
    function.restype = restype
    return function


error_queue_to_list = _bind('error_queue_to_list', [], ctypes.py_object)
flush_error_queue = _bind('flush_error_queue', [], None)
exception_from_error_queue = _bind('exception_from_error_queue', [ctypes.py_object], None)
long_to_hex = _bind('PyKorvane_LongToHex', [ctypes.py_object], ctypes.py_object)


@contextlib.contextmanager
def workers(*targets):
    """Runs each target on a thread of its own for the duration. On the way
    out, waits for each to end, and for its system thread to be gone: until
    then it may hold a lock of the threading module, which a child that
    this process forks meanwhile would wait for forever (Python 2.7 takes
    them in the child), and under an emulator that takes a while."""
    # Imported only where threads are run: with threading imported, the
    # references to None that the leak checks count move in the middle of
    # their loops (seen with a Python 2.7.18 built from source).
    import threading
    tasks = len(os.listdir('/proc/self/task'))
    threads = [threading.Thread(target=target) for target in targets]
    for thread in threads:
        thread.start()
    try:
        yield threads
    finally:
        for thread in threads:
            thread.join()
        deadline = time.time() + 30
        while len(os.listdir('/proc/self/task')) > tasks and time.time() < deadline:
            time.sleep(0.001)


class Forked(object):
    """Runs function(*args) in a child process of its own, from the moment
    it is made, for a test that waits on something (a stalled daemon, a
    handler that sleeps) alongside others: in this process the waits would
    come in turn."""

    def __init__(self, function, *args):
        result_read, result_write = os.pipe()
        self._pid = os.fork()
        if self._pid == 0:
            try:
                os.close(result_read)
                # As at import: the module mixes in entropy of its own at
                # its first use in each process it is forked into.
                rand.status()
                try:
                    outcome = (True, function(*args))
                except BaseException:
                    outcome = (False, traceback.format_exc())
                with os.fdopen(result_write, 'wb') as result:
                    result.write(pickle.dumps(outcome))
            finally:
                os._exit(0)
        os.close(result_write)
        self._result = os.fdopen(result_read, 'rb')
        self._outcome = None

    def wait(self):
        """Waits for the child to end (also one that nobody asks for its result)."""
        if self._outcome is None:
            report = self._result.read()
            self._result.close()
            os.waitpid(self._pid, 0)
            # A child that died before it could report tells nothing.
            self._outcome = pickle.loads(report) if report else (False, 'the child died')

    def result(self):
        """What the function returned; what it raised, as an AssertionError
        with the child's traceback, so that the test fails with it."""
        self.wait()
        returned, value = self._outcome
        if not returned:
            raise AssertionError('in the child process:\n' + value)
        return value


class _Timespec(ctypes.Structure):
    _fields_ = [('tv_sec', ctypes.c_long), ('tv_nsec', ctypes.c_long)]


_clock_gettime = ctypes.CDLL(None, use_errno=True).clock_gettime
_CLOCK_MONOTONIC = 1


def monotonic():
    """Seconds on the clock by which the module times the daemon: unlike
    time.time(), it does not jump when the system's clock is set."""
    now = _Timespec()
    if _clock_gettime(_CLOCK_MONOTONIC, ctypes.byref(now)) != 0:
        raise OSError(ctypes.get_errno(), 'clock_gettime')
    return now.tv_sec + now.tv_nsec * 1e-9


def open_fds():
    """The process's open file descriptors."""
    fds = set()
    for fd in os.listdir('/proc/self/fd'):
        try:
            os.fstat(int(fd))
        except OSError:
            continue  # the listing's own, closed by now
        fds.add(fd)
    return fds
