"""Makes an interpreter look like one whose executable brings the libcrypto
KORVANE_LIBCRYPTO names (a file), as a Python with ssl built in does: that
library loaded for all to see, and the interpreter's own _hashlib and _ssl
kept out, from the start, so that nothing maps their libcrypto beside it.
On PYTHONPATH, it runs in every interpreter the suite starts."""
import ctypes
import os
import sys

sys.modules['_hashlib'] = sys.modules['_ssl'] = None
ctypes.CDLL(os.environ['KORVANE_LIBCRYPTO'], mode=ctypes.RTLD_GLOBAL)
