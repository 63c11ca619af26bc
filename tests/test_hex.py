"""The exported integer-to-hex helper, against Python's own "%x" operator."""
import sys
import unittest

from support import LONG, long_to_hex


def percent_x(value):
    try:
        return '%x' % (value,)
    except Exception as error:  # the helper must fail the same way
        return type(error)


class LongToHexTest(unittest.TestCase):
    VALUES = [0, 1, 255, 4096, LONG(255), -1, -255, LONG(-4096), sys.maxsize, -sys.maxsize - 1,
              2 ** 64 + 1, -(2 ** 100), True]

    def test_known_texts(self):
        for value, text in [(0, '0'), (255, 'ff'), (4096, '1000'), (LONG(255), 'ff'), (-255, '-ff'),
                            (2 ** 64 + 1, '10000000000000001')]:
            self.assertEqual(long_to_hex(value), text, value)

    def test_matches_the_percent_operator(self):
        for value in self.VALUES:
            result = long_to_hex(value)
            self.assertIs(type(result), str, value)
            self.assertEqual(result, percent_x(value), value)

    def test_non_numbers_fail_as_the_operator_does(self):
        # (255,) is one argument of "%x", not the argument tuple itself.
        for value in ['ff', None, [], object(), 1.5, (255,)]:
            expected = percent_x(value)
            if isinstance(expected, str):
                self.assertEqual(long_to_hex(value), expected)
            else:
                self.assertRaises(expected, long_to_hex, value)

    def test_no_reference_is_kept(self):
        value = 2 ** 200 + 12345  # a fresh object, shared with nobody
        before = sys.getrefcount(value)
        for _ in range(1000):
            long_to_hex(value)
            self.assertRaises(TypeError, long_to_hex, 'x')
        self.assertEqual(sys.getrefcount(value), before)


if __name__ == '__main__':
    unittest.main()
