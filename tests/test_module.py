"""Module entry: what `import Korvane.rand` creates, and which libcrypto it binds to."""
import ctypes
import os
import shutil
import subprocess
import tempfile
import types
import unittest

import support
from support import crypto, exports, rand
import Korvane  # noqa: I100  (from where support found it)

# The libcrypto that the module must have bound to, as the only libcrypto of
# the process: the one that the interpreter's own hashlib and ssl use.
EXPECTED_LIBCRYPTO = os.environ.get('KORVANE_EXPECTED_LIBCRYPTO')

MODULE_DOC = (
    "\nPRNG management routines, thin wrappers.\n"
    "See the file RATIONALE for a short explanation of why this module was written.\n")

METHOD_DOCS = [
    ('add', "\nAdd data with a given entropy to the PRNG\n\n@param buffer: Buffer with random data\n"
            "@param entropy: The entropy (in bytes) measurement of the buffer\n@return: None\n"),
    ('seed', "\nAlias for rand_add, with entropy equal to length\n\n"
             "@param buffer: Buffer with random data\n@return: None\n"),
    ('status', "\nRetrieve the status of the PRNG\n\n"
               "@return: True if the PRNG is seeded enough, false otherwise\n"),
    ('egd', "\nQuery an entropy gathering daemon (EGD) for random data and add it to the\n"
            "PRNG. I haven't found any problems when the socket is missing, the function\n"
            "just returns 0.\n\n@param path: The path to the EGD socket\n"
            "@param bytes: (optional) The number of bytes to read, default is 255\n"
            "@returns: The number of bytes read (NB: a value of 0 isn't necessarily an\n"
            "          error, check rand.status())\n"),
    ('cleanup', "\nErase the memory used by the PRNG.\n\n@return: None\n"),
    ('load_file', "\nSeed the PRNG with data from a file\n\n"
                  "@param filename: The file to read data from\n"
                  "@param maxbytes: (optional) The number of bytes to read, default is\n"
                  "                 to read the entire file\n@return: The number of bytes read\n"),
    ('write_file', "\nSave PRNG state to a file\n\n@param filename: The file to write data to\n"
                   "@return: The number of bytes written\n"),
    ('bytes', "\nGet some randomm bytes as a string.\n\n"
              "@param num_bytes: The number of bytes to fetch\n@return: A string of random bytes\n"),
]

# In a fresh interpreter that first loaded, RTLD_GLOBAL, another object
# defining the module's exported names: whether the module's exported
# global is its Error, and what a failing bytes() raised.
INTERPOSED = r"""
import ctypes, sys
ctypes.CDLL(sys.argv[2])  # the module's libcrypto, wherever it was found
ctypes.CDLL(sys.argv[1], mode=ctypes.RTLD_GLOBAL)
from support import crypto, exports, rand
try:
    exported = ctypes.py_object.in_dll(exports, 'rand_Error').value is rand.Error
except ValueError:
    exported = None  # still null
with crypto.installed(crypto.FakePrng(bytes_result=0)):
    try:
        rand.bytes(1)
        raised = None
    except Exception as error:
        raised = type(error).__module__ + '.' + type(error).__name__
sys.stdout.write(repr((exported, raised)))
"""

# One valid call of each positional-only method, to which a keyword is added.
POSITIONAL_ONLY_CALLS = [
    ('add', (b'x', 1.0)), ('seed', (b'x',)), ('status', ()), ('egd', ('/nonexistent',)),
    ('cleanup', ()), ('load_file', ('/nonexistent',)), ('write_file', ('/nonexistent/x',)),
]


class ModuleEntryTest(unittest.TestCase):

    def test_docstrings_are_exact(self):
        self.assertEqual(rand.__doc__, MODULE_DOC)
        for name, doc in METHOD_DOCS:
            self.assertEqual(getattr(rand, name).__doc__, doc, name)

    def test_module_holds_exactly_the_eight_methods_and_error(self):
        public = sorted(name for name in dir(rand) if not name.startswith('__'))
        self.assertEqual(public, sorted([name for name, _ in METHOD_DOCS] + ['Error']))
        for name, _ in METHOD_DOCS:
            self.assertIsInstance(getattr(rand, name), types.BuiltinFunctionType, name)
        self.assertEqual(rand.__name__, 'Korvane.rand')

    def test_error_type(self):
        self.assertTrue(issubclass(rand.Error, Exception))
        self.assertEqual(rand.Error.__bases__, (Exception,))
        self.assertEqual(rand.Error.__name__, 'Error')
        self.assertEqual(rand.Error.__module__, 'Korvane.rand')

    def test_exported_global_is_the_error_attribute(self):
        self.assertIs(ctypes.py_object.in_dll(exports, 'rand_Error').value, rand.Error)

    def test_own_references_bind_to_the_module_itself(self):
        # A program that sets sys.setdlopenflags, or loads another copy of
        # the module (another build of the package), has that object's
        # definitions first in the process's global scope.
        directory = tempfile.mkdtemp(prefix='interposer-')
        try:
            interposer = os.path.join(directory, 'interposer.so')
            shutil.copy(rand.__file__, interposer)
            seen = subprocess.check_output(support.INTERPRETER + ['-c', INTERPOSED, interposer,
                                                                  crypto.lib._name],
                                           cwd=os.path.dirname(os.path.abspath(support.__file__)) +
                                           '/..')
        finally:
            shutil.rmtree(directory)
        self.assertEqual(seen.decode(), repr((True, 'Korvane.rand.Error')))

    def test_positional_only_methods_refuse_keywords(self):
        for name, args in POSITIONAL_ONLY_CALLS:
            with self.assertRaises(TypeError) as raised:
                getattr(rand, name)(*args, bogus=1)
            self.assertIn('%s() takes no keyword arguments' % name, str(raised.exception), name)

    def test_bytes_takes_its_argument_by_keyword(self):
        self.assertEqual(len(rand.bytes(num_bytes=4)), 4)

    def test_version_is_the_packages(self):
        with open(os.path.join(os.path.dirname(Korvane.__file__), 'VERSION')) as version:
            self.assertEqual(Korvane.__version__, version.read().strip())

    @unittest.skipUnless(EXPECTED_LIBCRYPTO, 'no libcrypto expected (KORVANE_EXPECTED_LIBCRYPTO)')
    def test_one_libcrypto_in_the_process(self):
        # Two libcryptos would be two PRNGs: what the program mixes into one,
        # the interpreter's ssl would never see.
        for name in ('hashlib', 'ssl'):
            try:
                __import__(name)
            except ImportError:
                pass  # an interpreter without, or whose libcrypto is gone
        self.assertEqual(os.path.basename(crypto.lib._name), EXPECTED_LIBCRYPTO)
        with open('/proc/self/maps') as maps:
            mapped = set(path for path in (line.split()[-1] for line in maps)
                         if os.path.basename(path).startswith('libcrypto.so'))
        self.assertEqual(len(mapped), 1, mapped)

if __name__ == '__main__':
    unittest.main()
