"""Korvane: libcrypto's pseudo-random number generator for Python 2.7 (see Korvane.rand)."""
