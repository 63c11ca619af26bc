"""Korvane: libcrypto's pseudo-random number generator for Python 2.7 (see Korvane.rand)."""
import imp
import os
import struct

_HERE = os.path.dirname(os.path.abspath(__file__))

with open(os.path.join(_HERE, 'VERSION')) as _version:
    __version__ = _version.read().strip()

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

_SHT_DYNAMIC = 6
_DT_NEEDED = 1


def _needed_libraries(path):
    """The libraries that the ELF shared object at `path` needs, as its
    dynamic section names them; none if it is no such file."""
    try:
        with open(path, 'rb') as elf:
            header = elf.read(64)
            if header[:4] != '\x7fELF':
                return []
            order = '<' if header[5] == '\x01' else '>'
            word = 'Q' if header[4] == '\x02' else 'I'
            wide = word == 'Q'
            # Where the section headers are, and their size and number.
            start, = struct.unpack_from(order + word, header, 40 if wide else 32)
            entry_size, count = struct.unpack_from(order + 'HH', header, 58 if wide else 46)
            elf.seek(start)
            table = elf.read(entry_size * count)
            # Each: name, type, flags, address, offset, size, link.
            sections = [struct.unpack_from(order + 'II' + word * 4 + 'I', table, entry_size * index)
                        for index in range(count)]

            def contents(section):
                elf.seek(section[4])
                return elf.read(section[5])

            for section in sections:
                if section[1] != _SHT_DYNAMIC:
                    continue
                names = contents(sections[section[6]])
                entries = contents(section)
                entry = order + word.lower() + word
                size = struct.calcsize(entry)
                tags = [struct.unpack_from(entry, entries, at)
                        for at in range(0, len(entries) - size + 1, size)]
                return [names[value:names.index('\0', value)]
                        for tag, value in tags if tag == _DT_NEEDED]
    except (EnvironmentError, IndexError, ValueError, struct.error):
        pass
    return []


def _interpreter_libcrypto():
    """The soname of the libcrypto that the interpreter's own hashlib or ssl
    links, whether it has loaded it yet or not; None where it has neither."""
    for name in ('_hashlib', '_ssl'):
        try:
            found, path, (_, _, kind) = imp.find_module(name)
        except ImportError:
            continue
        if found is not None:
            found.close()
        if kind == imp.C_EXTENSION:
            for library in _needed_libraries(path):
                if library.startswith('libcrypto.so.'):
                    return library
    return None


def _load_rand():
    """Loads the build of Korvane.rand for the libcrypto that the
    interpreter itself uses, so that the process has one PRNG; else the
    newest build that loads. None where the package holds no builds."""
    builds = [(soname, os.path.join(_HERE, soname, 'rand.so')) for soname, _ in _LIBCRYPTO_BUILDS]
    builds = [(soname, path) for soname, path in builds if os.path.exists(path)]
    if not builds:
        return None
    own = _interpreter_libcrypto()
    builds.sort(key=lambda build: build[0] != own)
    failures = []
    for soname, path in builds:
        try:
            return imp.load_dynamic(__name__ + '.rand', path)
        except ImportError as error:
            failures.append('  %s: %s' % (soname, error))
    providers = ['  %s: %s' % build for build in _LIBCRYPTO_BUILDS if build[0] in dict(builds)]
    raise ImportError('\n'.join(
        ['Korvane.rand: none of its builds loads here; each needs its libcrypto:'] + failures +
        ['Install one of these, or build Korvane from its source distribution:'] + providers))


_rand = _load_rand()
if _rand is not None:
    rand = _rand
del _rand
