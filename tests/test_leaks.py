"""Leaks: many calls of every method, failure paths included, must leave
reference counts as they were and resident memory flat.

KORVANE_LEAK_CALLS sets the calls per loop (100000 by default).
"""
import gc
import itertools
import os
import shutil
import sys
import tempfile
import unittest

from support import BUFFERS, crypto, file_names, open_fds, rand

CALLS = int(os.environ.get('KORVANE_LEAK_CALLS', '100000'))
WARM_UP = 1000
# A leak of the smallest object per call would pass this after 100000 calls.
ALLOWED_GROWTH = 1 << 20
# AddressSanitizer holds freed memory back in quarantine: the process grows
# there whatever the module does, and the sanitizer itself finds misuse.
MEASURE_MEMORY = os.environ.get('KORVANE_SANITIZED') != '1'
PAGE = os.sysconf('SC_PAGE_SIZE')


def resident_bytes():
    with open('/proc/self/statm') as statm:
        return int(statm.read().split()[1]) * PAGE


class LeakTest(unittest.TestCase):

    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix='leaks-')
        crypto.clear_queue()

    def tearDown(self):
        shutil.rmtree(self.directory)
        crypto.clear_queue()

    def assert_no_leak(self, what, call, expected_error=None, watched=()):
        """Runs call() CALLS times; watched objects and None must keep their
        reference counts, the process its size and its descriptors."""
        def loop(times):
            for _ in itertools.repeat(None, times):
                try:
                    call()
                except expected_error or ():
                    pass
            # Python 2.7 keeps the last exception, and what it holds.
            if hasattr(sys, 'exc_clear'):
                sys.exc_clear()
            crypto.clear_queue()  # failing libcrypto calls queue errors
            # Garbage left by earlier tests holds references to None too;
            # freed in the middle of a loop, it would look like the module's.
            gc.collect()

        loop(WARM_UP)
        watched = (None, rand.Error) + tuple(watched)
        references = [sys.getrefcount(item) for item in watched]
        fds, before = open_fds(), resident_bytes()
        loop(CALLS)
        growth = resident_bytes() - before
        # A reference the module takes or drops on a path changes a count
        # by about the number of calls; the interpreter's own bookkeeping
        # (its exception state, the garbage of an import of its ssl, the
        # caches of Python 3.10 and 3.11 in their first thousands of
        # exceptions) may move None's by a few dozen in a loop of any length.
        moved = [sys.getrefcount(item) - count for item, count in zip(watched, references)]
        allowed = max(2, CALLS // 1000)
        self.assertTrue(all(abs(delta) <= allowed for delta in moved), '%s: %s' % (what, moved))
        if MEASURE_MEMORY:
            self.assertLess(growth, ALLOWED_GROWTH, '%s: resident memory grew %d bytes' % (what, growth))
        self.assertEqual(open_fds(), fds, what)

    def test_successful_calls(self):
        data = b'leak check data' * 4
        seed_file = os.path.join(self.directory, 'seed')
        rand.write_file(seed_file)
        # A row for each other buffer and each form of a name besides a
        # str's, whose row is load_file's.
        for what, call, watched in [
            ('add of %s' % type(other).__name__, lambda other=other: rand.add(other, 1.5), (other,))
            for other in BUFFERS] + [
            ('load_file of %r' % (name,), lambda name=name: rand.load_file(name, 64), (name,))
            for name in file_names(seed_file)[1:]] + [
            ('add', lambda: rand.add(data, 1.5), (data,)),
            ('seed', lambda: rand.seed(data), (data,)),
            ('status', rand.status, ()),
            ('cleanup', rand.cleanup, ()),
            ('bytes', lambda: rand.bytes(16), ()),
            ('bytes by keyword', lambda: rand.bytes(num_bytes=64), ()),
            ('load_file', lambda: rand.load_file(seed_file, 64), (seed_file,)),
            ('write_file', lambda: rand.write_file(seed_file), (seed_file,)),
        ]:
            self.assert_no_leak(what, call, watched=watched)

    def test_failing_calls(self):
        missing = os.path.join(self.directory, 'missing', 'file')
        names = file_names(missing)
        # What the buffer or the name became is let go of when a later
        # argument is refused.
        for what, call, error in [
            ('add of %s with a bad entropy' % type(other).__name__,
             lambda other=other: rand.add(other, 'y'), TypeError) for other in BUFFERS] + [
            ('load_file of %r with a bad limit' % (name,), lambda name=name: rand.load_file(name, 'y'),
             TypeError) for name in names] + [
            ('load_file of a missing file', lambda: rand.load_file(missing), None),
            ('write_file into a missing directory', lambda: rand.write_file(missing), None),
            ('egd without a daemon', lambda: rand.egd(missing), None),
            ('bytes with a negative count', lambda: rand.bytes(-1), ValueError),
            ('bytes with a bad keyword', lambda: rand.bytes(count=1), TypeError),
            ('add with a bad entropy', lambda: rand.add(b'x', 'y'), TypeError),
            ('add with an entropy of nan', lambda: rand.add(b'x', float('nan')), ValueError),
            ('load_file of a path with NUL', lambda: rand.load_file('a\0b'), (TypeError, ValueError)),
        ]:
            self.assert_no_leak(what, call, error, watched=(missing,) + tuple(names))

    def test_failing_prng(self):
        prng = crypto.FakePrng(bytes_result=0, queued_reasons=(crypto.RAND_R_PRNG_NOT_SEEDED,),
                               record=False)
        with crypto.installed(prng):
            self.assert_no_leak('bytes with a failing PRNG', lambda: rand.bytes(16), rand.Error)


if __name__ == '__main__':
    unittest.main()
