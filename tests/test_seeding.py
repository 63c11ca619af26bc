"""Seeding and state: add, seed, status, cleanup, load_file, write_file."""
import mmap
import os
import shutil
import sys
import tempfile
import unittest

from support import crypto, rand

NUL_LADEN = 'a\0b\0\0c' + ''.join(map(chr, range(256)))


class FeedingTest(unittest.TestCase):

    def test_add_hands_over_the_whole_buffer_and_the_entropy(self):
        for buffer, entropy in [(NUL_LADEN, 3.5), ('', 0.0), ('x', 0), ('abc', -1.0)]:
            with crypto.installed(crypto.FakePrng()) as prng:
                self.assertIsNone(rand.add(buffer, entropy))
            self.assertEqual(prng.added, [(buffer, float(entropy))], repr(buffer))

    def test_entropy_that_is_no_finite_number_is_refused_and_the_prng_goes_on(self):
        # libcrypto 1.0 would take a NaN as "never seeded" for the rest of
        # the process; 1.1 would drop the data and queue an error.
        for entropy in (float('nan'), float('inf'), float('-inf')):
            self.assertRaises(ValueError, rand.add, 'x' * 32, entropy)
            self.assertEqual((rand.status(), len(rand.bytes(16)), crypto.queue_is_empty()),
                             (1, 16, True), entropy)

    def test_seed_hands_over_the_whole_buffer(self):
        for data in [NUL_LADEN, '', buffer('read-only buffer')]:
            with crypto.installed(crypto.FakePrng()) as prng:
                self.assertIsNone(rand.seed(data))
            self.assertEqual(prng.seeded, [str(data)], repr(data))

    @unittest.skipIf(sys.maxsize < 2 ** 32, 'a 32-bit process cannot map 2 GiB')
    def test_buffer_longer_than_an_int_is_refused_before_libcrypto(self):
        # The mapping is never touched, so this costs no memory.
        huge = mmap.mmap(-1, 2 ** 31 + 1)
        try:
            with crypto.installed(crypto.FakePrng()) as prng:
                for call in (lambda: rand.add(huge, 1.0), lambda: rand.seed(huge)):
                    self.assertRaises(OverflowError, call)
            self.assertEqual(prng.added + prng.seeded, [])
        finally:
            huge.close()


class StatusTest(unittest.TestCase):

    def test_status_is_libcrypto_value_as_a_long(self):
        for answer in (1, 0, -1):
            with crypto.installed(crypto.FakePrng(status=answer)):
                result = rand.status()
            self.assertIs(type(result), long)
            self.assertEqual(result, answer)

    def test_default_prng_is_seeded(self):
        self.assertEqual(repr(rand.status()), '1L')

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
        written = rand.write_file(self.path)
        self.assertIs(type(written), long)
        self.assertGreater(written, 0)
        self.assertEqual(os.path.getsize(self.path), written)
        # No limit reads the whole file; a limit is passed through.
        for args, expected in [((), written), ((100,), 100), ((-1,), written), ((0,), 0)]:
            result = rand.load_file(self.path, *args)
            self.assertIs(type(result), long, args)
            self.assertEqual(result, expected, args)

    def test_failures_are_values_and_stay_in_the_error_queue(self):
        cases = [
            (rand.write_file, (os.path.join(self.directory, 'missing', 'seed'),)),
            (rand.load_file, (os.path.join(self.directory, 'missing'),)),
        ]
        for method, args in cases:
            result = method(*args)
            self.assertIs(type(result), long, method.__name__)
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
            with self.assertRaises(TypeError) as raised:
                method(self.path + '\0tail')
            self.assertIn('%s() argument 1 must be string without null bytes' % method.__name__,
                          str(raised.exception))
        self.assertEqual(os.listdir(self.directory), [])


# Past an int, a 64-bit build still has a C long to hold the value; a
# 32-bit one has not, and the parser says so earlier.
if sys.maxsize > 2 ** 32:
    INT_TOO_BIG = 'signed integer is greater than maximum'
    INT_TOO_SMALL = 'signed integer is less than minimum'
else:
    INT_TOO_BIG = INT_TOO_SMALL = 'Python int too large to convert to C long'
NOT_A_BUFFER = 'argument 1 must be string or read-only buffer, not '


class ArgumentErrorTest(unittest.TestCase):
    # The interpreter's own words for each method's format: a format that
    # took None (z instead of s) or another type would say something else.
    CASES = [
        (lambda: rand.status(1), TypeError, 'status() takes exactly 0 arguments (1 given)'),
        (lambda: rand.cleanup(1), TypeError, 'cleanup() takes exactly 0 arguments (1 given)'),
        (lambda: rand.add('x'), TypeError, 'add() takes exactly 2 arguments (1 given)'),
        (lambda: rand.add('x', 'y'), TypeError, 'a float is required'),
        (lambda: rand.add(None, 1.0), TypeError, 'add() ' + NOT_A_BUFFER + 'None'),
        (lambda: rand.add('x', float('nan')), ValueError,
         'add() argument 2 must be a finite number, not nan'),
        (lambda: rand.add('x', 1e309), ValueError, 'add() argument 2 must be a finite number, not inf'),
        (lambda: rand.add('x', -1e309), ValueError,
         'add() argument 2 must be a finite number, not -inf'),
        (lambda: rand.seed(), TypeError, 'seed() takes exactly 1 argument (0 given)'),
        (lambda: rand.seed(1), TypeError, 'seed() ' + NOT_A_BUFFER + 'int'),
        (lambda: rand.seed(None), TypeError, 'seed() ' + NOT_A_BUFFER + 'None'),
        (lambda: rand.egd(), TypeError, 'egd() takes at least 1 argument (0 given)'),
        (lambda: rand.egd(None), TypeError, 'egd() argument 1 must be string, not None'),
        (lambda: rand.egd('/x', 2 ** 31), OverflowError, INT_TOO_BIG),
        (lambda: rand.egd('/x', 1, 2), TypeError, 'egd() takes at most 2 arguments (3 given)'),
        (lambda: rand.load_file(None), TypeError,
         'load_file() argument 1 must be string, not None'),
        (lambda: rand.load_file('/x', 1.5), TypeError, 'integer argument expected, got float'),
        (lambda: rand.load_file('/x', -2 ** 31 - 1), OverflowError, INT_TOO_SMALL),
        (lambda: rand.write_file(None), TypeError,
         'write_file() argument 1 must be string, not None'),
    ]

    def test_argument_errors_are_the_interpreters_naming_the_method(self):
        for call, error, message in self.CASES:
            with crypto.installed(crypto.FakePrng()) as prng:
                with self.assertRaises(error) as raised:
                    call()
            self.assertEqual(str(raised.exception), message)
            self.assertEqual(prng.added + prng.seeded, [], message)


if __name__ == '__main__':
    unittest.main()
