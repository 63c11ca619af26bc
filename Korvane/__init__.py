"""Korvane: libcrypto's pseudo-random number generator for Python 2.7 (see Korvane.rand)."""
from binascii import hexlify
import os
import sys

_HERE = os.path.dirname(os.path.abspath(__file__))

# Korvane.rand is compiled code, which loads from a directory alone.
try:
    with open(os.path.join(_HERE, 'VERSION')) as _version:
        __version__ = _version.read().strip()
except EnvironmentError as _error:
    raise ImportError('Korvane must be installed as a directory of files, not in a zip archive or '
                      'a frozen program (%s)' % _error)

# A wheel carries a build of Korvane.rand for each libcrypto that Linux
# systems have, in a directory named after the soname it links: newest
# first, with what provides each. A source build leaves one module, rand.so,
# beside this file instead, and the interpreter imports it as usual.
_LIBCRYPTO_BUILDS = [
    ('libcrypto.so.3', 'libssl3 (Debian 12, Ubuntu 22.04 and later) or openssl-libs (RHEL 9)'),
    ('libcrypto.so.1.1', 'libssl1.1 (Debian 10 and 11, Ubuntu 18.04 and 20.04) or '
                         'openssl-libs (RHEL 8)'),
    ('libcrypto.so.1.0.0', 'libssl1.0.0 (Debian 8, Ubuntu 14.04 and 16.04)'),
    ('libcrypto.so.10', 'openssl-libs (RHEL and CentOS 7, Amazon Linux 2)'),
]
_BUILT = dict(_LIBCRYPTO_BUILDS)

_PT_LOAD, _PT_DYNAMIC = 1, 2
_DT_NEEDED, _DT_STRTAB, _DT_STRSZ, _DT_SONAME = 1, 5, 10, 14
# No shared object's program headers or dynamic section come near this: a
# field that asks for more is damaged. Nor does a library's name the second.
_MOST_READ, _LONGEST_NAME = 1 << 16, 4096


def _integer(data, at, size, big):
    """The unsigned integer of `size` bytes at `at` of `data`."""
    field = data[at:at + size]
    if len(field) != size:
        raise ValueError('truncated')
    return int(hexlify(field if big else field[::-1]), 16)


def _dynamic(path):
    """(DT_SONAME, [DT_NEEDED...]) of the ELF shared object at `path`, read
    through its program headers, which a loadable object must have (its
    section headers are optional); (None, []) where it is no such file."""
    try:
        with open(path, 'rb') as elf:
            size = os.fstat(elf.fileno()).st_size
            header = elf.read(64)
            if header[:4] != '\x7fELF' or header[4:6] not in ('\1\1', '\1\2', '\2\1', '\2\2'):
                return None, []
            wide, big = header[4] == '\2', header[5] == '\2'
            word = 8 if wide else 4

            def number(data, at, length=word):
                return _integer(data, at, length, big)

            def read(offset, length):
                if length > _MOST_READ or offset + length > size:
                    raise ValueError('beyond the file')
                elf.seek(offset)
                return elf.read(length)

            step = number(header, 54 if wide else 42, 2)
            if step < (56 if wide else 32):
                return None, []
            table = read(number(header, 32 if wide else 28),
                         step * number(header, 56 if wide else 44, 2))
            # Offset, address and size in the file of each loaded segment,
            # and of the dynamic section.
            segments = {_PT_LOAD: [], _PT_DYNAMIC: []}
            for at in range(0, len(table) - step + 1, step):
                segments.get(number(table, at, 4), []).append(
                    [number(table, at + field) for field in ((8, 16, 32) if wide else (4, 8, 16))])
            offset, _, length = segments[_PT_DYNAMIC][0]
            entries = read(offset, length - length % (2 * word))
            values = {_DT_SONAME: [], _DT_NEEDED: [], _DT_STRSZ: []}
            for at in range(0, len(entries), 2 * word):
                if number(entries, at) == 0:
                    break
                values.setdefault(number(entries, at), []).append(number(entries, at + word))
            # The string table, found by its address in a loaded segment.
            address = values[_DT_STRTAB][0]
            strings = [at + address - start for at, start, span in segments[_PT_LOAD]
                       if start <= address < start + span][0]
            end = min([size] + [strings + table_size for table_size in values[_DT_STRSZ]])

            def name(at):
                text = read(strings + at, max(0, min(_LONGEST_NAME, end - strings - at)))
                return text[:text.index('\0')]

            return (map(name, values[_DT_SONAME]) + [None])[0], map(name, values[_DT_NEEDED])
    except (EnvironmentError, ValueError, IndexError, KeyError, OverflowError, MemoryError):
        return None, []


def _needed_libraries(path):
    """The libraries that the ELF shared object at `path` needs, as its
    dynamic section names them; none if it is no such file."""
    return _dynamic(path)[1]


def _pick(mapped, needed):
    """The interpreter's libcrypto, of `mapped`, the sonames of those mapped
    (None: not known): the one that needed() names, where several are;
    without /proc, the one it names. needed() lists what the interpreter's
    hashlib, ssl or executable needs."""
    if mapped is not None and len(mapped) < 2:
        return mapped[0] if mapped else None
    wanted = [library for library in needed() if library.startswith('libcrypto')]
    if mapped is None:
        return wanted[0] if wanted else None
    return ([soname for soname in mapped if soname in wanted] + mapped)[0]


def _interpreter_libcrypto():
    """The soname of the libcrypto that the interpreter uses, once its own
    hashlib (else ssl) has had it loaded by the interpreter's own rules (a
    RUNPATH of theirs, say); None where it has none. The file mapped may
    have another name: RHEL 7's libcrypto.so.1.0.2k is libcrypto.so.10."""
    module = None
    for name in ('_hashlib', '_ssl'):
        try:
            module = __import__(name)
            break
        except ImportError:
            pass
    try:
        with open('/proc/self/maps') as maps:
            paths = list(set(line.split(None, 5)[5].rstrip('\n')
                             for line in maps if 'libcrypto' in line))
        # A library replaced on disk since it was loaded (an upgrade under a
        # running program) is still the one in use.
        paths = [path[:-len(' (deleted)')] if path.endswith(' (deleted)') else path
                 for path in paths]
        # A file named as a build is that soname: read only the others.
        mapped = sorted(set(name if name in _BUILT else _dynamic(path)[0] or name
                            for path, name in zip(paths, map(os.path.basename, paths))
                            if name.startswith('libcrypto')))
    except (EnvironmentError, IndexError):
        mapped = None
    owner = getattr(module, '__file__', None) or sys.executable
    return _pick(mapped, lambda: _needed_libraries(owner))


def _second_libcrypto(own, loaded, failures):
    """The warning for a process that now has two libcryptos."""
    reasons = dict(failures)
    if own in reasons:
        why = ('the build for %s, which this interpreter uses, does not load (%s)'
               % (own, reasons[own]))
    else:
        why = 'this interpreter uses %s, for which Korvane has no build' % own
    return ('Korvane.rand: %s; the build for %s is loaded instead, so the process has two '
            'libcrypto libraries, each with a random number generator of its own. Korvane built '
            'from its source distribution uses the interpreter\'s.' % (why, loaded))


def _missing(soname, reason):
    """Whether the loader's `reason` says that the library `soname` is not
    there, as glibc's loader says it, or musl's."""
    return (reason.startswith(soname + ': cannot open shared object file') or
            reason.startswith('Error loading shared library %s: No such file' % soname))


def _none_loads(failures):
    """The text of the ImportError where no build loads."""
    lines = ['Korvane.rand: none of its builds loads here:']
    lines += ['  the build for %s: %s' % failure for failure in failures]
    missing = [soname for soname, reason in failures if _missing(soname, reason)]
    if missing:
        lines.append('Install the libcrypto of one of these builds:')
        lines += ['  %s: %s' % build for build in _LIBCRYPTO_BUILDS if build[0] in missing]
        lines.append('or build Korvane from its source distribution.')
    else:
        lines.append('Korvane can also be built from its source distribution.')
    return '\n'.join(lines)


def _choose(builds, own, load):
    """Loads, of `builds` (sonames, newest first), the build for `own`, the
    interpreter's libcrypto (None: it has none), else the newest that loads.
    load(soname) loads one or raises ImportError. Returns the module and the
    warning to give (None where the process keeps one libcrypto)."""
    failures = []
    for soname in sorted(builds, key=lambda soname: soname != own):
        try:
            module = load(soname)
        except ImportError as error:
            failures.append((soname, str(error)))
            continue
        if own is None or soname == own:
            return module, None
        return module, _second_libcrypto(own, soname, failures)
    raise ImportError(_none_loads(failures))


def _load_build(soname):
    """Imports Korvane.rand from the build for `soname`: the package's path
    leads there, so that reload() and pkgutil find it where it was loaded."""
    __path__[:] = [os.path.join(_HERE, soname), _HERE]
    __import__(__name__ + '.rand')
    return sys.modules[__name__ + '.rand']


def _load_rand():
    builds = [soname for soname, _ in _LIBCRYPTO_BUILDS
              if os.path.isfile(os.path.join(_HERE, soname, 'rand.so'))]
    if builds:
        _, warning = _choose(builds, _interpreter_libcrypto(), _load_build)
        if warning:
            import warnings
            warnings.warn(warning, RuntimeWarning)


_load_rand()
