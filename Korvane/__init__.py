"""Korvane: libcrypto's pseudo-random number generator for Python 2.7 and 3 (see Korvane.rand)."""
import os

# Korvane.rand is compiled code, which loads from a directory alone.
try:
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), 'VERSION'), 'rb') as _version:
        __version__ = _version.read().strip()
except EnvironmentError as _error:
    raise ImportError('Korvane must be installed as a directory of files, not in a zip archive or '
                      'a frozen program (%s)' % _error)
# Read as bytes: as text, Python 3 would look up the locale's codec, a
# module of its own, at the first import.
if not isinstance(__version__, str):
    __version__ = __version__.decode('ascii')
