"""Random byte strings: bytes(num_bytes)."""
import os
import sys
import unittest

from support import LONG, crypto, messages, rand


class BytesTest(unittest.TestCase):

    def test_lengths(self):
        for count in (0, 1, 16, 1 << 20):
            for result in (rand.bytes(count), rand.bytes(num_bytes=count)):
                self.assertIs(type(result), bytes, count)
                self.assertEqual(len(result), count)

    def test_every_kind_of_count_gives_the_same_length(self):
        # A plain int takes a shorter way through argument parsing than the
        # others; they must not disagree.
        class Count(int):
            pass

        for count in (7, LONG(7), Count(7)):
            self.assertEqual(len(rand.bytes(count)), 7, type(count))
        self.assertEqual(len(rand.bytes(True)), 1)
        self.assertEqual(len(rand.bytes(*(5,), **{})), 5)

    def test_strings_are_fresh_and_differ(self):
        # Single characters are normally shared by the interpreter; a shared
        # one written in place would change every 'x' in the process.
        singles = [rand.bytes(1) for _ in range(64)]
        self.assertGreater(len(set(singles)), 1)
        self.assertNotEqual(rand.bytes(32), rand.bytes(32))

    def test_negative_count(self):
        for count in (-1, -2 ** 31, -sys.maxsize - 1):
            with self.assertRaises(ValueError) as raised:
                rand.bytes(count)
            self.assertEqual(str(raised.exception), 'num_bytes must not be negative')

    def test_argument_errors(self):
        missing = messages("Required argument 'num_bytes' (pos 1) not found",
                           "Required argument 'num_bytes' (pos 1) not found",
                           "bytes() missing required argument 'num_bytes' (pos 1)")
        cases = [
            ((), {}, TypeError, missing),
            ((1, 2), {}, TypeError, messages('bytes() takes at most 1 argument (2 given)')),
            ((), {'count': 1}, TypeError, missing),
            ((4,), {'count': 1}, TypeError, messages('bytes() takes at most 1 argument (2 given)')),
            ((1,), {'num_bytes': 1}, TypeError, messages('bytes() takes at most 1 argument (2 given)')),
            (('16',), {}, TypeError,
             messages('an integer is required', "'str' object cannot be interpreted as an integer")),
            ((None,), {}, TypeError,
             messages('an integer is required', "'NoneType' object cannot be interpreted as an integer")),
            ((1.0,), {}, TypeError,
             messages('integer argument expected, got float', 'integer argument expected, got float',
                      "'float' object cannot be interpreted as an integer")),
            ((sys.maxsize + 1,), {}, OverflowError,
             messages('Python int too large to convert to C long',
                      'Python int too large to convert to C ssize_t')),
        ]
        for args, keywords, error, expected in cases:
            with self.assertRaises(error) as raised:
                rand.bytes(*args, **keywords)
            self.assertIn(str(raised.exception), expected, (args, keywords))

    def test_counts_the_interpreter_cannot_hold(self):
        # Refused by the string allocation itself, before libcrypto is asked.
        with crypto.installed(crypto.FakePrng()) as prng:
            for count in (sys.maxsize, sys.maxsize - 16):
                self.assertRaises((OverflowError, MemoryError), rand.bytes, count)
        self.assertEqual(prng.bytes_calls, [])


class SecondPieceFails(crypto.FakePrng):
    def _bytes(self, buffer, length):
        self.bytes_result = 1 if not self.bytes_calls else 0
        return crypto.FakePrng._bytes(self, buffer, length)


@unittest.skipUnless(sys.maxsize > 2 ** 32 and os.environ.get('KORVANE_HUGE_TESTS') == '1',
                     'needs a 64-bit build and 2 GiB to spare: tests/run --huge')
class CountAboveAnIntTest(unittest.TestCase):
    COUNT = 2 ** 31 + 16

    def test_filled_in_pieces_that_libcrypto_can_count(self):
        with crypto.installed(crypto.FakePrng()) as prng:
            result = rand.bytes(self.COUNT)
        self.assertEqual(prng.bytes_calls, [2 ** 31 - 1, 17])
        self.assertEqual(len(result), self.COUNT)
        self.assertEqual(result.count(b'Z'), self.COUNT)  # every byte came from the PRNG

    def test_a_failing_piece_fails_the_whole_request(self):
        with crypto.installed(SecondPieceFails()) as prng:
            self.assertRaises(rand.Error, rand.bytes, self.COUNT)
        self.assertEqual(prng.bytes_calls, [2 ** 31 - 1, 17])


class FailingPrngTest(unittest.TestCase):

    def setUp(self):
        crypto.clear_queue()

    def test_failure_raises_error_with_the_queued_triples(self):
        reasons = (crypto.RAND_R_PRNG_NOT_SEEDED, 999)
        expected = [crypto.expected_triple('PRNG not seeded'), crypto.expected_triple(None)]
        for result in (0, -1, 2):
            with crypto.installed(crypto.FakePrng(bytes_result=result, queued_reasons=reasons)):
                with self.assertRaises(rand.Error) as raised:
                    rand.bytes(16)
                self.assertEqual(raised.exception.args, (expected,), result)
                self.assertTrue(crypto.queue_is_empty())

    def test_failure_with_nothing_queued_carries_an_empty_list(self):
        with crypto.installed(crypto.FakePrng(bytes_result=0)):
            for count in (0, 16):
                with self.assertRaises(rand.Error) as raised:
                    rand.bytes(count)
                self.assertEqual(raised.exception.args, ([],))

    def test_second_failure_carries_only_its_own_errors(self):
        prng = crypto.FakePrng(bytes_result=0, queued_reasons=(crypto.RAND_R_PRNG_NOT_SEEDED,))
        with crypto.installed(prng):
            for _ in range(2):
                with self.assertRaises(rand.Error) as raised:
                    rand.bytes(8)
                self.assertEqual(raised.exception.args,
                                 ([crypto.expected_triple('PRNG not seeded')],))

    def test_normal_prng_returns_afterwards(self):
        with crypto.installed(crypto.FakePrng(bytes_result=0)):
            self.assertRaises(rand.Error, rand.bytes, 4)
        self.assertEqual(len(rand.bytes(4)), 4)

    def test_a_successful_draw_returns_exactly_what_libcrypto_wrote(self):
        with crypto.installed(crypto.FakePrng()) as prng:
            self.assertEqual(rand.bytes(5), b'Z' * 5)
            self.assertEqual(rand.bytes(0), b'')
        self.assertEqual(prng.bytes_calls, [5, 0])


if __name__ == '__main__':
    unittest.main()
