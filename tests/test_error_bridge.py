"""The exported error-queue helpers, called through ctypes as a C caller would."""
import sys
import unittest

from support import (crypto, error_queue_to_list, exception_from_error_queue, flush_error_queue,
                     workers)

NOT_SEEDED = crypto.RAND_R_PRNG_NOT_SEEDED
NO_TEXT = 999  # a RAND reason code libcrypto has no text for


class Raised(Exception):
    pass


class ErrorQueueTest(unittest.TestCase):

    def setUp(self):
        crypto.clear_queue()

    def test_queue_becomes_triples_earliest_first(self):
        crypto.queue_error(NOT_SEEDED)
        crypto.queue_error(NO_TEXT)
        self.assertEqual(error_queue_to_list(),
                         [crypto.expected_triple('PRNG not seeded'), crypto.expected_triple(None)])
        self.assertTrue(crypto.queue_is_empty())
        self.assertEqual(error_queue_to_list(), [])

    def test_unknown_library_has_none_for_every_text(self):
        crypto.queue_error(1, library=120)
        self.assertEqual(error_queue_to_list(), [(None, None, None)])

    def test_list_owns_the_only_reference_to_each_triple(self):
        for _ in range(3):
            crypto.queue_error(NOT_SEEDED)
        errors = error_queue_to_list()
        # One reference is the argument of getrefcount itself.
        self.assertEqual(sys.getrefcount(errors), 2)
        for index in range(3):
            self.assertEqual(sys.getrefcount(errors[index]), 2)

    def test_flush_empties_the_queue_and_raises_nothing(self):
        crypto.queue_error(NOT_SEEDED)
        crypto.queue_error(NO_TEXT)
        flush_error_queue()  # a pending exception would be raised here by ctypes
        self.assertTrue(crypto.queue_is_empty())
        flush_error_queue()

    def test_exception_carries_the_list_as_its_single_argument(self):
        for queued, expected in [((), []), ((NOT_SEEDED,), [crypto.expected_triple('PRNG not seeded')])]:
            for reason in queued:
                crypto.queue_error(reason)
            with self.assertRaises(Raised) as raised:
                exception_from_error_queue(Raised)
            self.assertEqual(raised.exception.args, (expected,))
            self.assertTrue(crypto.queue_is_empty())

    def test_errors_stay_with_their_thread(self):
        # The queue is per thread: another thread's errors are not drained.
        seen = []
        crypto.queue_error(NOT_SEEDED)
        with workers(lambda: seen.append(error_queue_to_list())):
            pass
        self.assertEqual(seen, [[]])
        self.assertEqual(len(error_queue_to_list()), 1)


if __name__ == '__main__':
    unittest.main()
