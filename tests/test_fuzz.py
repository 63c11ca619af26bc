"""Hostile arguments for every method and exported helper, drawn at random.

Seeded and reproducible: KORVANE_FUZZ_SEED picks the sequence and
KORVANE_FUZZ_CALLS its length (20000 by default; a million for a long run).
A failure names the seed and the call, which replays it on its own.
"""
import os
import random
import shutil
import sys
import tempfile
import unittest

from support import (BUFFERS, LONG, crypto, error_queue_to_list, exception_from_error_queue,
                     flush_error_queue, long_to_hex, rand)

CALLS = int(os.environ.get('KORVANE_FUZZ_CALLS', '20000'))
SEED = int(os.environ.get('KORVANE_FUZZ_SEED', '20261208'))


class HostileError(Exception):
    """What the hostile objects' conversion methods raise."""


class Hostile(object):
    """Fails every conversion the argument parser may try."""

    def _fail(self, *args):
        raise HostileError('conversion refused')

    __int__ = __long__ = __float__ = __index__ = __str__ = __len__ = _fail
    # Python 3's: a path, a buffer (from 3.12), bytes.
    __fspath__ = __buffer__ = __bytes__ = _fail


class Classic:
    pass


HUGE = 2 ** 70
INTEGERS = [0, 1, -1, 255, 256, 2 ** 31 - 1, 2 ** 31, -2 ** 31, -2 ** 31 - 1, 2 ** 32, 2 ** 63 - 1,
            2 ** 63, -2 ** 63, 2 ** 64, HUGE, -HUGE, sys.maxsize, -sys.maxsize - 1, LONG(7), True, False]
FLOATS = [0.0, -0.0, 1.5, -1e308, 1e308, float('nan'), float('inf'), float('-inf')]
# Relative names only: write_file creates whatever it is given, in the
# scratch directory the test runs in.
TEXTS = [b'', b'seed', b'\0', b'a\0b', b'x' * 200, b'x' * 5000, b'\xff\xfe', bytes(bytearray(range(256))),
         u'', u'seed', u'\xe9', u'\U0001f600', u'a\0b', u'\udcff']
OBJECTS = [None, [], [1], (), (1, 2), {}, {'num_bytes': 1}, object(), Hostile(), Classic(),
           Classic, int, bytearray(b'abc'), memoryview(b'abc'), 1j, Ellipsis] + BUFFERS
VALUES = INTEGERS + FLOATS + TEXTS + OBJECTS

# What an argument error may be; anything else, or a crash, is a fault. The
# interpreter's parser converts old-style instances by attribute lookup,
# hence AttributeError.
EXPECTED = (TypeError, ValueError, OverflowError, UnicodeError, MemoryError, AttributeError,
            HostileError)

METHODS = ['add', 'seed', 'status', 'egd', 'cleanup', 'load_file', 'write_file', 'bytes']
KEYWORDS = ['num_bytes', 'bytes', 'buffer', 'path', 'bogus']
# Draws that would really succeed this big cost gigabytes, not insight.
LARGEST_DRAW = 1 << 20


def draw_count(args, keywords):
    counts = list(args[:1]) + list(keywords.values())
    return counts[0] if counts else None


def too_big_to_draw(args, keywords):
    count = draw_count(args, keywords)
    try:
        return LARGEST_DRAW < count < sys.maxsize - 64
    except Exception:
        return False


def random_call(chooser):
    """One (description, callable) pair."""
    kind = chooser.random()
    if kind < 0.85:
        name = chooser.choice(METHODS)
        args = tuple(chooser.choice(VALUES) for _ in range(chooser.choice([0, 1, 1, 2, 2, 3])))
        keywords = {}
        if chooser.random() < 0.2:
            keywords[chooser.choice(KEYWORDS)] = chooser.choice(VALUES)
        if name == 'bytes' and too_big_to_draw(args, keywords):
            args, keywords = (LARGEST_DRAW,), {}
        method = getattr(rand, name)
        return ('%s(*%r, **%r)' % (name, args, keywords), lambda: method(*args, **keywords))
    if kind < 0.93:
        value = chooser.choice(VALUES)
        return ('PyKorvane_LongToHex(%r)' % (value,), lambda: long_to_hex(value))
    if kind < 0.97:
        error_type = chooser.choice([ValueError, HostileError, rand.Error, KeyboardInterrupt])
        for _ in range(chooser.randint(0, 3)):
            crypto.queue_error(chooser.choice([crypto.RAND_R_PRNG_NOT_SEEDED, 999]))
        return ('exception_from_error_queue(%s)' % error_type.__name__,
                lambda: exception_from_error_queue(error_type))
    helper = chooser.choice([error_queue_to_list, flush_error_queue])
    return (helper.__name__ + '()', helper)


def unseeded_after_negative_entropy(error):
    """libcrypto's own answer to cleanup() and then add() of a negative
    estimate, which the module passes on as it is."""
    return crypto.NEGATIVE_ENTROPY_COUNTS and isinstance(error, rand.Error) and error.args[0] == [
        crypto.expected_triple('PRNG not seeded')]


class FuzzTest(unittest.TestCase):

    def setUp(self):
        self.home = os.getcwd()
        self.scratch = tempfile.mkdtemp(prefix='fuzz-')
        os.chdir(self.scratch)

    def tearDown(self):
        os.chdir(self.home)
        shutil.rmtree(self.scratch)
        crypto.clear_queue()

    def test_hostile_calls_raise_only_argument_errors(self):
        chooser = random.Random(SEED)
        for index in range(CALLS):
            description, call = random_call(chooser)
            try:
                call()
            except EXPECTED:
                pass
            except (rand.Error, KeyboardInterrupt) as error:
                if not (description.startswith('exception_from_error_queue') or
                        description.startswith('bytes') and unseeded_after_negative_entropy(error)):
                    raise
            except Exception as error:
                self.fail('seed %d, call %d: %s raised %r' % (SEED, index, description, error))
        # The PRNG still works after all that.
        self.assertEqual(len(rand.bytes(16)), 16)


if __name__ == '__main__':
    unittest.main()
