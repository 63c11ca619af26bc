"""Korvane: libcrypto's pseudo-random number generator for Python 2.7 (see Korvane.rand)."""
# The interpreter's modules are asked for by their own names, never first
# as Korvane's.
from __future__ import absolute_import

import os

# Korvane.rand is compiled code, which loads from a directory alone.
try:
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), 'VERSION')) as _version:
        __version__ = _version.read().strip()
except EnvironmentError as _error:
    raise ImportError('Korvane must be installed as a directory of files, not in a zip archive or '
                      'a frozen program (%s)' % _error)

# Korvane.rand binds to the libcrypto that the interpreter's own hashlib
# (else ssl) uses, which importing it maps by the interpreter's own rules
# (its RUNPATH, ld.so.conf): so the program has one generator. Where the
# interpreter has neither, the module takes the executable's libcrypto, or
# loads the newest one the system has.
try:
    import _hashlib
    del _hashlib
except ImportError:
    try:
        import _ssl
        del _ssl
    except ImportError:
        pass
