"""Seeding and state: add, seed, status, cleanup, load_file, write_file."""
import mmap
import os
import shutil
import sys
import tempfile
import unittest

from support import BUFFERS, LONG, PY3, crypto, file_names, messages, rand

NUL_LADEN = b'a\0b\0\0c' + bytes(bytearray(range(256)))


class FeedingTest(unittest.TestCase):

    def test_add_hands_over_the_whole_buffer_and_the_entropy(self):
        for data, entropy in [(NUL_LADEN, 3.5), (b'', 0.0), (b'x', 0), (b'abc', -1.0)] + [
                (other, 2.0) for other in BUFFERS]:
            with crypto.installed(crypto.FakePrng()) as prng:
                self.assertIsNone(rand.add(data, entropy))
            self.assertEqual(prng.added, [(bytes(data), float(entropy))], repr(data))

    def test_entropy_that_is_no_finite_number_is_refused_and_the_prng_goes_on(self):
        # libcrypto 1.0 would take a NaN as "never seeded" for the rest of
        # the process; 1.1 would drop the data and queue an error.
        for entropy in (float('nan'), float('inf'), float('-inf')):
            self.assertRaises(ValueError, rand.add, b'x' * 32, entropy)
            self.assertEqual((rand.status(), len(rand.bytes(16)), crypto.queue_is_empty()),
                             (1, 16, True), entropy)

    def test_seed_hands_over_the_whole_buffer(self):
        for data in [NUL_LADEN, b''] + BUFFERS:
            with crypto.installed(crypto.FakePrng()) as prng:
                self.assertIsNone(rand.seed(data))
            self.assertEqual(prng.seeded, [bytes(data)], repr(data))

    @unittest.skipIf(sys.maxsize < 2 ** 32, 'a 32-bit process cannot map 2 GiB')
    def test_buffer_longer_than_an_int_is_refused_before_libcrypto(self):
        # The mapping is never touched, so this costs no memory.
        huge = mmap.mmap(-1, 2 ** 31 + 1)
        try:
            with crypto.installed(crypto.FakePrng()) as prng:
                for call in (lambda: rand.add(huge, 1.0), lambda: rand.seed(huge)):
                    with self.assertRaises(OverflowError) as raised:
                        call()
                    self.assertEqual(str(raised.exception), 'size does not fit in an int')
            self.assertEqual(prng.added + prng.seeded, [])
        finally:
            huge.close()


class StatusTest(unittest.TestCase):

    def test_status_is_libcrypto_value_as_a_long(self):
        for answer in (1, 0, -1):
            with crypto.installed(crypto.FakePrng(status=answer)):
                result = rand.status()
            self.assertIs(type(result), LONG)
            self.assertEqual(result, answer)

    def test_default_prng_is_seeded(self):
        self.assertEqual((type(rand.status()), rand.status()), (LONG, 1))

    def test_cleanup_returns_none_and_leaves_a_working_prng(self):
        self.assertIsNone(rand.cleanup())
        self.assertEqual(len(rand.bytes(32)), 32)

    def test_cleanup_erases_where_libcrypto_still_does(self):
        # libcrypto 1.0 erases the state and forgets an installed method,
        # so status() is the default PRNG's again; later ones keep both.
        with crypto.installed(crypto.FakePrng(status=7)):
            rand.cleanup()
            self.assertEqual(rand.status(), 1 if crypto.CLEANUP_ERASES else 7)


class SeedFileTest(unittest.TestCase):

    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix='seedfile-')
        self.path = os.path.join(self.directory, 'seed')
        crypto.clear_queue()

    def tearDown(self):
        shutil.rmtree(self.directory)
        crypto.clear_queue()

    def test_round_trip(self):
        names = file_names(self.path)
        if PY3:
            names.append(self.path + '\udcff')  # a name that is no text, as open() takes it
        for path in names:
            written = rand.write_file(path)
            self.assertIs(type(written), LONG)
            self.assertGreater(written, 0, repr(path))
            # The file that the interpreter's own functions name so.
            self.assertEqual(os.path.getsize(path), written, repr(path))
            # No limit reads the whole file; a limit is passed through.
            for args, expected in [((), written), ((100,), 100), ((-1,), written), ((0,), 0)]:
                result = rand.load_file(path, *args)
                self.assertIs(type(result), LONG, args)
                self.assertEqual(result, expected, (path, args))

    def test_failures_are_values_and_stay_in_the_error_queue(self):
        cases = [
            (rand.write_file, (os.path.join(self.directory, 'missing', 'seed'),)),
            (rand.load_file, (os.path.join(self.directory, 'missing'),)),
        ]
        for method, args in cases:
            result = method(*args)
            self.assertIs(type(result), LONG, method.__name__)
            self.assertEqual(result, crypto.SEED_FILE_FAILURE, method.__name__)
            # The wrappers pass libcrypto's result through and leave its
            # error queue alone.
            self.assertEqual(crypto.queue_is_empty(), not crypto.SEED_FILE_FAILURES_QUEUE_ERRORS,
                             method.__name__)
            crypto.clear_queue()

    def test_no_limit_lets_libcrypto_decide_how_much_of_a_device_to_read(self):
        # Without a limit libcrypto is told -1, and reads a device only so
        # far; a large count in its place would read /dev/zero for seconds.
        self.assertEqual(rand.load_file('/dev/zero'), crypto.DEVICE_READ_WITHOUT_LIMIT)

    def test_path_with_nul_is_refused_before_libcrypto(self):
        for method in (rand.write_file, rand.load_file, rand.egd):
            for path in file_names(self.path + '\0tail'):
                error = ValueError if PY3 else TypeError
                with self.assertRaises(error) as raised:
                    method(path)
                self.assertIn(str(raised.exception), messages(
                    '%s() argument 1 must be string without null bytes, not str' % method.__name__,
                    'embedded null byte'), repr(path))
        self.assertEqual(os.listdir(self.directory), [])


# Past an int, a 64-bit build still has a C long to hold the value; a
# 32-bit one has not, and the parser says so earlier.
if sys.maxsize > 2 ** 32:
    INT_TOO_BIG = 'signed integer is greater than maximum'
    INT_TOO_SMALL = 'signed integer is less than minimum'
else:
    INT_TOO_BIG = INT_TOO_SMALL = 'Python int too large to convert to C long'
NOT_A_BUFFER = 'argument 1 must be string or read-only buffer, not '
NOT_A_PATH = 'argument 1 must be string, not None'
NOT_PATH_LIKE = 'expected str, bytes or os.PathLike object, not NoneType'


def not_bytes_like(name):
    return "a bytes-like object is required, not '%s'" % name


class ArgumentErrorTest(unittest.TestCase):
    # The interpreter's own words for each method's format: a format that
    # took None (z instead of s) or another type would say something else.
    CASES = [
        (lambda: rand.status(1), TypeError, messages('status() takes exactly 0 arguments (1 given)')),
        (lambda: rand.cleanup(1), TypeError, messages('cleanup() takes exactly 0 arguments (1 given)')),
        (lambda: rand.add(b'x'), TypeError, messages('add() takes exactly 2 arguments (1 given)')),
        (lambda: rand.add(b'x', 'y'), TypeError,
         messages('a float is required', 'must be real number, not str')),
        (lambda: rand.add(None, 1.0), TypeError,
         messages('add() ' + NOT_A_BUFFER + 'None', not_bytes_like('NoneType'))),
        (lambda: rand.add(b'x', float('nan')), ValueError,
         messages('add() argument 2 must be a finite number, not nan')),
        (lambda: rand.add(b'x', 1e309), ValueError,
         messages('add() argument 2 must be a finite number, not inf')),
        (lambda: rand.add(b'x', -1e309), ValueError,
         messages('add() argument 2 must be a finite number, not -inf')),
        (lambda: rand.seed(), TypeError, messages('seed() takes exactly 1 argument (0 given)')),
        (lambda: rand.seed(1), TypeError, messages('seed() ' + NOT_A_BUFFER + 'int', not_bytes_like('int'))),
        (lambda: rand.seed(None), TypeError,
         messages('seed() ' + NOT_A_BUFFER + 'None', not_bytes_like('NoneType'))),
        (lambda: rand.egd(), TypeError, messages('egd() takes at least 1 argument (0 given)')),
        (lambda: rand.egd(None), TypeError, messages('egd() ' + NOT_A_PATH, NOT_PATH_LIKE)),
        (lambda: rand.egd('/x', 2 ** 31), OverflowError, messages(INT_TOO_BIG)),
        (lambda: rand.egd('/x', 1, 2), TypeError, messages('egd() takes at most 2 arguments (3 given)')),
        (lambda: rand.load_file(None), TypeError, messages('load_file() ' + NOT_A_PATH, NOT_PATH_LIKE)),
        (lambda: rand.load_file('/x', 1.5), TypeError,
         messages('integer argument expected, got float', 'integer argument expected, got float',
                  "'float' object cannot be interpreted as an integer")),
        (lambda: rand.load_file('/x', -2 ** 31 - 1), OverflowError, messages(INT_TOO_SMALL)),
        (lambda: rand.write_file(None), TypeError, messages('write_file() ' + NOT_A_PATH, NOT_PATH_LIKE)),
    ]
    # Text is no buffer on Python 3, as zlib and hashlib refuse it too.
    if PY3:
        CASES += [
            (lambda: rand.add('x', 1.0), TypeError, (not_bytes_like('str'),)),
            (lambda: rand.seed('x'), TypeError, (not_bytes_like('str'),)),
        ]

    def test_argument_errors_are_the_interpreters_naming_the_method(self):
        for call, error, expected in self.CASES:
            with crypto.installed(crypto.FakePrng()) as prng:
                with self.assertRaises(error) as raised:
                    call()
            self.assertIn(str(raised.exception), expected)
            self.assertEqual(prng.added + prng.seeded, [], expected)


if __name__ == '__main__':
    unittest.main()
