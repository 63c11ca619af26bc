"""Korvane.rand.bytes side by side with its floor and its peer, in one run.

The floor is libcrypto's RAND_bytes called from C into a fresh buffer (the
rand_bytes_floor driver); the peer is os.urandom. Two tables:

- instructions per call, counted by valgrind's callgrind: the same for the
  same binaries and inputs from run to run, whatever else the machine is
  doing. Each figure is the difference between runs of N and 2N calls, so
  that start-up does not count; the Python loop's own cost, measured the
  same way with a call that does nothing, is subtracted from the module's.
- time per call, the best of several repetitions: what a user feels, but
  shared machines are noisy, so only large differences mean anything.

usage: bench.py [--quick] FLOOR_DRIVER [RUNNER...]
RUNNER is the command that runs this build's programs here (the Debian 11
tree's loader), if any; this interpreter and the driver are run by it.
--quick makes every size and count tiny: a check that the benchmark still
runs to the end, whose figures mean nothing.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import timeit

# The tests' binding finds the libcrypto that the module loaded.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests'))
from support import crypto, rand  # noqa: E402

QUICK = sys.argv[1:2] == ['--quick']
REPETITIONS = 1 if QUICK else 7
# (size, label, calls per timing repetition, goal for module/floor in time)
SIZES = [
    (16, '16 B', 200000, 1.15),
    (1 << 10, '1 KiB', 100000, 1.15),
    (1 << 20, '1 MiB', 300, 1.03),
    (64 << 20, '64 MiB', 5, 1.03),
]
# (size, label, N: the counted runs make N and 2N calls)
COUNTED_SIZES = [(16, '16 B', 2000), (1 << 10, '1 KiB', 2000), (1 << 20, '1 MiB', 20)]
# The module's overhead at 16 B, loop subtracted, as a share of the floor.
COUNTED_GOAL = 1.03
PEAK_REQUEST = 256 << 20
HUGE_REQUEST = 2 ** 31 + 16
if QUICK:
    SIZES = [(16, '16 B', 10, 1.15), (1 << 10, '1 KiB', 10, 1.15)]
    COUNTED_SIZES = [(16, '16 B', 2)]
    PEAK_REQUEST = 1 << 20
# Peak memory may grow by the string and a little more, never by a copy.
PEAK_GOAL = PEAK_REQUEST + (8 << 20)

# Counted in a fresh interpreter without site, the module imported from
# where this one found it. `f` is bytes, or abs: a call of the same shape
# that does nothing (abs of a small int returns the cached int).
COUNTED_LOOP = '''
import itertools, sys
sys.path.insert(0, %r)
from Korvane.rand import bytes
f = %s
for _ in itertools.repeat(None, %d):
    f(%d)
'''
MODULE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(sys.modules['Korvane'].__file__)))


def instructions(command):
    """Instructions that `command` executes, all of its process counted."""
    with tempfile.NamedTemporaryFile(prefix='callgrind-') as output:
        # Python 3 hashes text with a seed of its own in each process,
        # which moves its counts from run to run: one seed for every run.
        with open(os.devnull, 'w') as quiet:
            subprocess.check_call(['valgrind', '--tool=callgrind',
                                   '--callgrind-out-file=' + output.name] + command,
                                  stdout=quiet, stderr=quiet, env=dict(os.environ, PYTHONHASHSEED='0'))
        for line in output:
            if line.startswith(b'summary:'):
                return int(line.split()[1])
    raise RuntimeError('callgrind gave no summary for %r' % (command,))


def per_call(command_for, calls):
    """Instructions per call: runs of 2N and N calls, differenced."""
    return (instructions(command_for(2 * calls)) - instructions(command_for(calls))) / float(calls)


def counted_table(driver, runner):
    print('Instructions per call (valgrind callgrind; the same from run to run)\n')
    print('%-7s %12s %12s %12s %14s %14s' % ('size', 'module', 'loop', 'floor', 'module - loop',
                                             '(module-loop)/floor'))
    for size, label, calls in COUNTED_SIZES:
        def python(function):
            return lambda n: runner + [sys.executable, '-S', '-c',
                                       COUNTED_LOOP % (MODULE_PARENT, function, n, size)]
        module = per_call(python('bytes'), calls)
        loop = per_call(python('abs'), calls)
        floor = per_call(lambda n: runner + [driver, str(size), str(n), '1'], calls)
        ratio = (module - loop) / floor
        notes = ''
        if size == 16:
            notes = '   %s (<= %.2f)' % (verdict(ratio <= COUNTED_GOAL), COUNTED_GOAL)
        print('%-7s %12.0f %12.0f %12.0f %14.0f %19.3f%s' % (label, module, loop, floor,
                                                             module - loop, ratio, notes))


def best_per_call(import_function, size, calls):
    """`import_function` imports the function under test as f."""
    timer = timeit.Timer('f(%d)' % size, setup=import_function)
    return min(timer.repeat(REPETITIONS, calls)) / calls


def floor_per_call(driver, runner, size, calls):
    output = subprocess.check_output(runner + [driver, str(size), str(calls), str(REPETITIONS)])
    return float(output) / 1e9


def timed_table(driver, runner):
    print('\nTime per call (best of %d repetitions; read the ratios, not the times)\n'
          % REPETITIONS)
    print('%-7s %11s %11s %11s %13s %15s' % ('size', 'module', 'floor', 'os.urandom',
                                             'module/floor', 'urandom/module'))
    for size, label, calls, goal in SIZES:
        floor = floor_per_call(driver, runner, size, calls)
        module = best_per_call('from Korvane.rand import bytes as f', size, calls)
        peer = best_per_call('from os import urandom as f', size, calls)
        notes = verdict(module / floor <= goal and (size < 1024 or peer > module))
        print('%-7s %11s %11s %11s %13.3f %15.2f   %s (floor ratio <= %.2f%s)' % (
            label, show_time(module), show_time(floor), show_time(peer), module / floor,
            peer / module, notes, goal, ', faster than os.urandom' if size >= 1024 else ''))


# Imports timed inside fresh interpreters, run alternately, each timing
# the one statement: `import Korvane.rand` from a package laid out as an
# install lays it out, with this build's module (rand.so, or rand.abi3.so on
# Python 3); the interpreter's own `import hashlib`; and its `import _ssl`,
# which the module imports to find the interpreter's libcrypto. os is
# imported first, as site imports it in every interpreter that runs a
# program; -B has every .py module compiled afresh, as in a tree without
# .pyc files, and leaves none behind.
IMPORT_RUNS = 3 if QUICK else 41
# import Korvane.rand against import hashlib, on the same interpreter.
IMPORT_GOAL = 1.4
TIMED_IMPORT = '''
import os, sys, time
sys.path.insert(0, %r)
start = time.time()
import %s
print(time.time() - start)
'''
def package_copy(directory):
    """(label, module, directory that holds a Korvane package): the module
    and package under test, laid out as an install lays them out."""
    import Korvane
    package = os.path.dirname(os.path.abspath(Korvane.__file__))
    top = os.path.join(directory, 'installed', 'Korvane')
    os.makedirs(top)
    module = os.path.basename(rand.__file__)
    for name in (module, 'VERSION', '__init__.py'):
        source = rand.__file__ if name == module else os.path.join(package, name)
        os.symlink(source, os.path.join(top, name))
    return ('import Korvane.rand', 'Korvane.rand', os.path.dirname(top))


def import_table(runner):
    directory = tempfile.mkdtemp(prefix='korvane-import-')
    try:
        imports = [package_copy(directory), ('import hashlib', 'hashlib', directory)]
        try:
            __import__('_ssl')
            imports.append(('import _ssl', '_ssl', directory))
        except ImportError:
            pass
        times = [[] for _ in imports]
        for _ in range(IMPORT_RUNS):
            for (_, module, path), figures in zip(imports, times):
                figures.append(float(subprocess.check_output(
                    runner + [sys.executable, '-B', '-S', '-c', TIMED_IMPORT % (path, module)])))
    finally:
        shutil.rmtree(directory)
    medians = [sorted(figures)[len(figures) // 2] for figures in times]
    print('\nImports in a fresh interpreter (median of %d, alternately; each .py compiled afresh)\n'
          % IMPORT_RUNS)
    for (label, _, _), median in zip(imports, medians):
        print('%-50s %11s' % (label, show_time(median)))
    by_label = dict((label, median) for (label, _, _), median in zip(imports, medians))
    ratio = by_label['import Korvane.rand'] / by_label['import hashlib']
    print('%-50s %11.2f   %s (<= %.1f)' % ('Korvane.rand / hashlib', ratio, verdict(ratio <= IMPORT_GOAL),
                                         IMPORT_GOAL))


def in_fresh_interpreter(code):
    """Runs `code` in a new interpreter that imports the module from where
    this one found it."""
    prologue = 'import sys\nsys.path.insert(0, %r)\n' % MODULE_PARENT
    return subprocess.check_output([sys.executable, '-c', prologue + code]).strip()


def peak_growth():
    """Growth of the peak resident size for one bytes(PEAK_REQUEST), in bytes."""
    return int(in_fresh_interpreter(
        'import resource\n'
        'from Korvane import rand\n'
        'before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n'
        'data = rand.bytes(%d)\n'
        'print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024)\n'
        % PEAK_REQUEST))


def huge_request_seconds():
    """Time of one request above 2**31 bytes, its length checked."""
    return float(in_fresh_interpreter(
        'import time\n'
        'from Korvane import rand\n'
        'start = time.time()\n'
        'data = rand.bytes(%d)\n'
        'elapsed = time.time() - start\n'
        'assert len(data) == %d, len(data)\n'
        'print(elapsed)\n' % (HUGE_REQUEST, HUGE_REQUEST)))


def show_time(seconds):
    for unit, scale in (('s', 1), ('ms', 1e3), ('us', 1e6), ('ns', 1e9)):
        if abs(seconds) * scale >= 1:
            return '%.1f %s' % (seconds * scale, unit)
    return '%.1f ns' % (seconds * 1e9)


def verdict(met):
    return 'goal met' if met else 'GOAL MISSED'


def main(driver, runner):
    print('Korvane.rand.bytes(n) against RAND_bytes from C (the floor) and os.urandom(n)')
    print('libcrypto: %s; Python %s\n' % (crypto.VERSION_TEXT, sys.version.split()[0]))
    counted_table(driver, runner)
    timed_table(driver, runner)
    import_table(runner)

    growth = peak_growth()
    print('\npeak resident growth for one bytes(%d MiB): %.1f MiB   %s (<= %d MiB)' % (
        PEAK_REQUEST >> 20, growth / 1048576.0, verdict(growth <= PEAK_GOAL), PEAK_GOAL >> 20))
    if sys.maxsize > 2 ** 32 and not QUICK:
        seconds = huge_request_seconds()
        print('one bytes(2**31 + 16), length checked: %s (%.0f MiB/s)' % (
            show_time(seconds), HUGE_REQUEST / seconds / 1048576))


if __name__ == '__main__':
    arguments = sys.argv[2:] if QUICK else sys.argv[1:]
    if not arguments:
        sys.exit(__doc__)
    main(arguments[0], arguments[1:])
