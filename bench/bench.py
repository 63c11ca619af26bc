"""Korvane.rand.bytes side by side with its floor and its peer, in one run.

The floor is libcrypto's RAND_bytes called from C into a fresh buffer (the
rand_bytes_floor driver); the peer is os.urandom. Every figure is the best
of several repetitions, each of enough calls to be stable. The machine is
shared and noisy: read the ratios, not the times.

usage: bench.py FLOOR_DRIVER
"""
import os
import subprocess
import sys
import timeit

# The tests' binding finds the libcrypto that the module loaded.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests'))
from support import crypto  # noqa: E402

REPETITIONS = 7
# (size, label, calls per repetition, goal for module/floor)
SIZES = [
    (16, '16 B', 200000, 1.15),
    (1 << 10, '1 KiB', 100000, 1.15),
    (1 << 20, '1 MiB', 300, 1.03),
    (64 << 20, '64 MiB', 5, 1.03),
]
PEAK_REQUEST = 256 << 20
PEAK_GOAL = 264 << 20
HUGE_REQUEST = 2 ** 31 + 16


def best_per_call(import_function, size, calls):
    """`import_function` imports the function under test as f."""
    timer = timeit.Timer('f(%d)' % size, setup=import_function)
    return min(timer.repeat(REPETITIONS, calls)) / calls


def floor_per_call(driver, size, calls):
    output = subprocess.check_output([driver, str(size), str(calls), str(REPETITIONS)])
    return float(output) / 1e9


def in_fresh_interpreter(code):
    return subprocess.check_output([sys.executable, '-c', code]).strip()


def peak_growth():
    """Growth of the peak resident size for one bytes(256 MiB), in bytes."""
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
        if seconds * scale >= 1:
            return '%.1f %s' % (seconds * scale, unit)
    return '%.1f ns' % (seconds * 1e9)


def verdict(met):
    return 'goal met' if met else 'GOAL MISSED'


def main(driver):
    print('Korvane.rand.bytes(n) against RAND_bytes from C (the floor) and os.urandom(n)')
    print('libcrypto: %s; best of %d repetitions\n' % (crypto.VERSION_TEXT, REPETITIONS))
    print('%-7s %11s %11s %11s %13s %15s' % ('size', 'module', 'floor', 'os.urandom',
                                             'module/floor', 'urandom/module'))
    for size, label, calls, goal in SIZES:
        floor = floor_per_call(driver, size, calls)
        module = best_per_call('from Korvane.rand import bytes as f', size, calls)
        peer = best_per_call('from os import urandom as f', size, calls)
        notes = verdict(module / floor <= goal and (size < 1024 or peer > module))
        print('%-7s %11s %11s %11s %13.3f %15.2f   %s (floor ratio <= %.2f%s)' % (
            label, show_time(module), show_time(floor), show_time(peer), module / floor,
            peer / module, notes, goal, ', faster than os.urandom' if size >= 1024 else ''))

    growth = peak_growth()
    print('\npeak resident growth for one bytes(256 MiB): %.1f MiB   %s (<= 264 MiB)' % (
        growth / 1048576.0, verdict(growth <= PEAK_GOAL)))
    if sys.maxsize > 2 ** 32:
        seconds = huge_request_seconds()
        print('one bytes(2**31 + 16), length checked: %s (%.0f MiB/s)' % (
            show_time(seconds), HUGE_REQUEST / seconds / 1048576))


if __name__ == '__main__':
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
