"""The package's choice of build: which build of Korvane.rand a wheel loads,
read off the process, and what it says where it cannot load the right one."""
import ctypes
import os
import shutil
import struct
import subprocess
import tempfile
import unittest
import zipfile

from support import INTERPRETER, rand
import Korvane  # noqa: I100  (from where support found it)

PACKAGE = os.path.dirname(os.path.abspath(Korvane.__file__))
SONAMES = [soname for soname, _ in Korvane._LIBCRYPTO_BUILDS]
BUILD_SONAME = [name for name in Korvane._needed_libraries(rand.__file__)
                if name.startswith('libcrypto.so.')][0]
# A build of another soname, newest first: this build's copy under its name.
OTHER_SONAME = [soname for soname in SONAMES if soname != BUILD_SONAME][0]
STAND_IN = os.environ.get('KORVANE_STAND_IN_HASHLIB')
PROVIDERS = dict(Korvane._LIBCRYPTO_BUILDS)


def loader_says(path):
    """What this system's loader says of the shared object at `path`, which
    does not load: glibc's and musl's words differ."""
    try:
        ctypes.CDLL(path)
    except OSError as error:
        return str(error)
    raise AssertionError('%s loads' % path)


# musl's loader knows a library that is loaded by its file's name alone.
GLIBC = hasattr(ctypes.CDLL(None), 'gnu_get_libc_version')


def mapped_libcrypto():
    """The file of the libcrypto that this process (the build's) has mapped."""
    with open('/proc/self/maps') as maps:
        paths = set(line.split()[-1] for line in maps if 'libcrypto' in line)
    return [path for path in paths if Korvane._dynamic(path)[0] == BUILD_SONAME][0]


def elf(wide=True, big=False, needed=('libcrypto.so.1.1', 'libc.so.6'), soname='libk.so.1',
        **damage):
    """A shared object with no section headers: one PT_LOAD over the whole
    file, a PT_DYNAMIC, and its dynamic entries and string table. `damage`
    overrides header fields (phoff, phentsize, phnum), the dynamic segment's
    (offset, filesz), DT_STRTAB (strtab), a name's offset (soname_at) or
    the string table's bytes (strings)."""
    order = '>' if big else '<'
    word = 'Q' if wide else 'I'
    strings = '\0' + ''.join(name + '\0' for name in (soname,) + tuple(needed))
    strings = damage.get('strings', strings)
    base = 0x10000
    header_size, phentsize = (64, 56) if wide else (52, 32)
    phoff = header_size
    dynamic_at = phoff + 2 * phentsize
    tags = [(14, damage.get('soname_at', 1))]
    at = 2 + len(soname)
    for name in needed:
        tags.append((1, at))
        at += len(name) + 1
    strtab_at = dynamic_at + (len(tags) + 3) * struct.calcsize(order + word * 2)
    tags += [(5, damage.get('strtab', base + strtab_at)), (10, len(strings)), (0, 0)]
    dynamic = ''.join(struct.pack(order + word * 2, tag, value) for tag, value in tags)
    size = strtab_at + len(strings)

    def segment(kind, offset, address, filesz):
        if wide:
            return struct.pack(order + 'IIQQQQQQ', kind, 6, offset, address, address, filesz,
                               filesz, 8)
        return struct.pack(order + 'IIIIIIII', kind, offset, address, address, filesz, filesz, 6,
                           8)

    segments = (segment(1, 0, base, size) +
                segment(2, damage.get('offset', dynamic_at), base + dynamic_at,
                        damage.get('filesz', len(dynamic))))
    ident = '\x7fELF' + ('\2' if wide else '\1') + ('\2' if big else '\1') + '\1' + '\0' * 9
    fields = (3, 62, 1, 0, damage.get('phoff', phoff), 0, 0, header_size,
              damage.get('phentsize', phentsize), damage.get('phnum', 2), 0, 0, 0)
    header = ident + struct.pack(order + 'HHI' + word * 3 + 'IHHHHHH', *fields)
    return header + segments + dynamic + strings


# (what, ELF file, its (soname, needed)): unknown is (None, []).
UNKNOWN = (None, [])
HUGE = 2 ** 63
ELF_FILES = [
    ('64-bit little-endian', elf(), ('libk.so.1', ['libcrypto.so.1.1', 'libc.so.6'])),
    ('64-bit big-endian', elf(big=True), ('libk.so.1', ['libcrypto.so.1.1', 'libc.so.6'])),
    ('32-bit little-endian', elf(wide=False), ('libk.so.1', ['libcrypto.so.1.1', 'libc.so.6'])),
    ('32-bit big-endian', elf(wide=False, big=True, needed=('libcrypto.so.10',)),
     ('libk.so.1', ['libcrypto.so.10'])),
    ('no soname', elf(soname='', needed=('libcrypto.so.3',)), ('', ['libcrypto.so.3'])),
    ('not ELF', 'just some text, long enough to be read as a header' * 2, UNKNOWN),
    ('empty', '', UNKNOWN),
    ('header alone', elf()[:64], UNKNOWN),
    ('program headers beyond the file', elf(phoff=1 << 20), UNKNOWN),
    ('program headers at a huge offset', elf(phoff=HUGE), UNKNOWN),
    ('huge program header table', elf(phentsize=0xffff, phnum=0xffff), UNKNOWN),
    ('program headers too small', elf(phentsize=8), UNKNOWN),
    ('no program headers', elf(phnum=0), UNKNOWN),
    ('dynamic segment beyond the file', elf(offset=1 << 20), UNKNOWN),
    ('dynamic segment at a huge offset', elf(offset=HUGE), UNKNOWN),
    ('dynamic segment of a huge size', elf(filesz=HUGE), UNKNOWN),
    ('string table unmapped', elf(strtab=0x900000), UNKNOWN),
    ('string table at a huge address', elf(strtab=HUGE), UNKNOWN),
    ('name beyond the string table', elf(soname_at=1 << 20), UNKNOWN),
    ('name at a huge offset', elf(soname_at=HUGE), UNKNOWN),
    ('a name without a NUL', elf(needed=(), strings='\0libk.so.1'), UNKNOWN),
]


class ElfReaderTest(unittest.TestCase):
    """Sonames read through program headers, whatever the file holds."""

    def test_names_or_unknown_never_an_exception(self):
        directory = tempfile.mkdtemp(prefix='korvane-elf-')
        self.addCleanup(shutil.rmtree, directory)
        for what, contents, expected in ELF_FILES:
            path = os.path.join(directory, 'object.so')
            with open(path, 'wb') as written:
                written.write(contents)
            self.assertEqual(Korvane._dynamic(path), expected, what)
        self.assertEqual(Korvane._dynamic(os.path.join(directory, 'missing.so')), UNKNOWN)

    def test_the_builds_own_files(self):
        # The libcrypto's own soname, and what the build needs.
        self.assertEqual(Korvane._dynamic(mapped_libcrypto())[0], BUILD_SONAME)
        self.assertIn(BUILD_SONAME, Korvane._dynamic(rand.__file__)[1])


MISSING = '%s: cannot open shared object file: No such file or directory'
# musl's loader says it so.
MUSL_MISSING = 'Error loading shared library %s: No such file or directory (needed by /p/rand.so)'
TWO = ('; the build for %s is loaded instead, so the process has two libcrypto libraries, each '
       'with a random number generator of its own. Korvane built from its source distribution '
       'uses the interpreter\'s.')
SOURCE = 'Korvane can also be built from its source distribution.'
# (what, builds present, interpreter's libcrypto, {soname: loader's reason},
#  build loaded or None, the warning or the ImportError's text)
DECISIONS = [
    ('the interpreter\'s build', SONAMES, 'libcrypto.so.1.0.0', {}, 'libcrypto.so.1.0.0', None),
    ('RHEL\'s soname', SONAMES, 'libcrypto.so.10', {}, 'libcrypto.so.10', None),
    ('no libcrypto: the newest', SONAMES[1:], None, {}, 'libcrypto.so.1.1', None),
    ('no libcrypto: the newest that loads', SONAMES, None,
     {'libcrypto.so.3': MISSING % 'libcrypto.so.3'}, 'libcrypto.so.1.1', None),
    ('a soname without a build', SONAMES, 'libcrypto.so.1.0.2', {}, 'libcrypto.so.3',
     'Korvane.rand: this interpreter uses libcrypto.so.1.0.2, for which Korvane has no build'
     + TWO % 'libcrypto.so.3'),
    ('its build fails', SONAMES, 'libcrypto.so.1.1', {'libcrypto.so.1.1': '/p/rand.so: bad'},
     'libcrypto.so.3',
     'Korvane.rand: the build for libcrypto.so.1.1, which this interpreter uses, does not load '
     '(/p/rand.so: bad)' + TWO % 'libcrypto.so.3'),
    ('none loads, libcryptos missing', ['libcrypto.so.3', 'libcrypto.so.1.1', 'libcrypto.so.10'],
     'libcrypto.so.1.1',
     {'libcrypto.so.3': MISSING % 'libcrypto.so.3', 'libcrypto.so.1.1': '/p/rand.so: noexec',
      'libcrypto.so.10': MISSING % 'libcrypto.so.10'}, None,
     'Korvane.rand: none of its builds loads here:\n'
     '  the build for libcrypto.so.1.1: /p/rand.so: noexec\n'
     '  the build for libcrypto.so.3: ' + MISSING % 'libcrypto.so.3' + '\n'
     '  the build for libcrypto.so.10: ' + MISSING % 'libcrypto.so.10' + '\n'
     'Install the libcrypto of one of these builds:\n'
     '  libcrypto.so.3: ' + PROVIDERS['libcrypto.so.3'] + '\n'
     '  libcrypto.so.10: ' + PROVIDERS['libcrypto.so.10'] + '\n'
     'or build Korvane from its source distribution.'),
    ('none loads under musl, libcrypto missing', ['libcrypto.so.1.1'], None,
     {'libcrypto.so.1.1': MUSL_MISSING % 'libcrypto.so.1.1'}, None,
     'Korvane.rand: none of its builds loads here:\n'
     '  the build for libcrypto.so.1.1: ' + MUSL_MISSING % 'libcrypto.so.1.1' + '\n'
     'Install the libcrypto of one of these builds:\n'
     '  libcrypto.so.1.1: ' + PROVIDERS['libcrypto.so.1.1'] + '\n'
     'or build Korvane from its source distribution.'),
    ('none loads, for other reasons', ['libcrypto.so.1.1'], None,
     {'libcrypto.so.1.1': MISSING % 'libc.so.7'}, None,
     'Korvane.rand: none of its builds loads here:\n'
     '  the build for libcrypto.so.1.1: ' + MISSING % 'libc.so.7' + '\n' + SOURCE),
]

# (what, sonames mapped or None without /proc, what the interpreter needs,
#  the interpreter's libcrypto)
PICKS = [
    ('one mapped', ['libcrypto.so.10'], ['libcrypto.so.1.1'], 'libcrypto.so.10'),
    ('several: the one needed', ['libcrypto.so.1.1', 'libcrypto.so.3'],
     ['libc.so.6', 'libcrypto.so.3'], 'libcrypto.so.3'),
    ('several, none needed', ['libcrypto.so.1.1', 'libcrypto.so.3'], [], 'libcrypto.so.1.1'),
    ('none mapped', [], ['libcrypto.so.1.1'], None),
    ('no /proc: what is needed', None, ['libc.so.6', 'libcrypto.so.1.0.0'], 'libcrypto.so.1.0.0'),
    ('no /proc, nothing needed', None, ['libc.so.6'], None),
]


class DecisionTest(unittest.TestCase):
    """Which build, and what is said, given what the process has."""

    def test_decisions(self):
        for what, builds, own, reasons, loaded, text in DECISIONS:
            tried = []

            def load(soname):
                tried.append(soname)
                if soname in reasons:
                    raise ImportError(reasons[soname])
                return soname
            if loaded is None:
                with self.assertRaises(ImportError) as raised:
                    Korvane._choose(builds, own, load)
                self.assertEqual(str(raised.exception), text, what)
            else:
                self.assertEqual(Korvane._choose(builds, own, load), (loaded, text), what)
                self.assertEqual(tried[-1], loaded, what)

    def test_the_interpreters_libcrypto(self):
        for what, mapped, needed, expected in PICKS:
            self.assertEqual(Korvane._pick(mapped, lambda: needed), expected, what)


# Run in a fresh interpreter: prints the build loaded, the libcrypto files
# mapped and each warning given, with the wheel-shaped package first on the
# path. PRELUDE runs first.
CHILD = r'''
import os, sys, warnings
sys.path.insert(0, %(directory)r)
%(prelude)s
warnings.simplefilter('always')
with warnings.catch_warnings(record=True) as given:
    import Korvane.rand
for warning in given:
    print('warning: %%s: %%s' %% (warning.category.__name__, warning.message))
print('loaded: ' + os.path.basename(os.path.dirname(Korvane.rand.__file__)))
Korvane.rand.bytes(4)
with open('/proc/self/maps') as maps:
    print('mapped: %%d' %% len(set(path for path in (line.split()[-1] for line in maps)
                                   if os.path.basename(path).startswith('libcrypto'))))
'''
BLOCKED = "sys.modules['_hashlib'] = sys.modules['_ssl'] = None"


class WheelTest(unittest.TestCase):
    """A wheel-shaped package made of this build, imported by a fresh
    interpreter."""

    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix='korvane-wheel-')
        self.addCleanup(shutil.rmtree, self.directory)
        self.package = os.path.join(self.directory, 'Korvane')
        os.mkdir(self.package)
        for name in ('__init__.py', 'VERSION'):
            shutil.copy(os.path.join(PACKAGE, name), self.package)

    def build(self, soname, contents=None):
        """Puts this build (or `contents`) at Korvane/SONAME/rand.so."""
        os.mkdir(os.path.join(self.package, soname))
        path = os.path.join(self.package, soname, 'rand.so')
        if contents is None:
            shutil.copy(rand.__file__, path)
        else:
            with open(path, 'wb') as written:
                written.write(contents)
        return path

    def run_child(self, prelude='', environment=None, code=CHILD):
        child = subprocess.Popen(
            INTERPRETER + ['-S', '-c', code % {'directory': self.directory, 'prelude': prelude}],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment or os.environ)
        out, err = child.communicate()
        return child.returncode, out.splitlines(), err

    def test_a_libcrypto_reached_through_hashlibs_runpath(self):
        # A Python built against a private prefix: its _hashlib finds its
        # libcrypto through its RUNPATH alone, which the build cannot, so
        # the package must have the interpreter's loaded first.
        if not STAND_IN:
            self.skipTest('no stand-in _hashlib (KORVANE_STAND_IN_HASHLIB)')
        self.build(BUILD_SONAME)
        os.mkdir(os.path.join(self.directory, 'private'))
        shutil.copy(mapped_libcrypto(), os.path.join(self.directory, 'private', BUILD_SONAME))
        for name in ('_hashlib.so', '_ssl.so'):
            shutil.copy(STAND_IN, os.path.join(self.directory, name))
        environment = dict(os.environ)
        environment.pop('LD_LIBRARY_PATH', None)
        for prelude in ('', 'import _hashlib'):
            status, out, err = self.run_child(prelude, environment)
            self.assertEqual((status, out), (0, ['loaded: ' + BUILD_SONAME, 'mapped: 1']),
                             (prelude, err))

    def test_the_libcrypto_mapped_by_an_executable(self):
        # _hashlib and _ssl built into the executable, which has the build's
        # libcrypto mapped: that build, not the newest; also where the file
        # mapped has another name than its soname, as RHEL 7's has.
        self.build(BUILD_SONAME)
        self.build(OTHER_SONAME)
        renamed = os.path.join(self.directory, 'libcrypto.so.1.0.2k')
        shutil.copy(mapped_libcrypto(), renamed)
        for library in (mapped_libcrypto(), renamed) if GLIBC else (mapped_libcrypto(),):
            prelude = 'import ctypes\nctypes.CDLL(%r)\n%s' % (library, BLOCKED)
            status, out, err = self.run_child(prelude)
            self.assertEqual((status, out), (0, ['loaded: ' + BUILD_SONAME, 'mapped: 1']),
                             (library, err))

    def test_no_libcrypto_of_its_own_takes_the_newest(self):
        self.build(BUILD_SONAME)
        self.build(OTHER_SONAME)
        newest = [soname for soname in SONAMES if soname in (BUILD_SONAME, OTHER_SONAME)][0]
        # Where the loader finds the build's libcrypto, also where only the
        # interpreter's own RUNPATH would have (a private prefix).
        found_at = os.path.dirname(mapped_libcrypto())
        environment = dict(os.environ, LD_LIBRARY_PATH=':'.join(
            [found_at] + filter(None, [os.environ.get('LD_LIBRARY_PATH')])))
        status, out, err = self.run_child(BLOCKED, environment)
        self.assertEqual((status, out), (0, ['loaded: ' + newest, 'mapped: 1']), err)

    def test_a_second_libcrypto_is_warned_of(self):
        # The interpreter's build is no ELF file: another build loads, and
        # the warning says which, and why.
        broken = self.build(BUILD_SONAME, 'no ELF file, but long enough to be read as one\n' * 4)
        self.build(OTHER_SONAME)
        prelude = 'import ctypes\nctypes.CDLL(%r)\n%s' % (mapped_libcrypto(), BLOCKED)
        status, out, err = self.run_child(prelude)
        self.assertEqual((status, out), (0, [
            'warning: RuntimeWarning: Korvane.rand: the build for %s, which this interpreter '
            'uses, does not load (%s)' % (BUILD_SONAME, loader_says(broken))
            + TWO % OTHER_SONAME,
            'loaded: ' + OTHER_SONAME, 'mapped: 1']), err)

    def test_no_build_loads(self):
        broken = self.build(BUILD_SONAME, 'no ELF file, but long enough to be read as one\n' * 4)
        lines = ['Korvane.rand: none of its builds loads here:',
                 '  the build for %s: %s' % (BUILD_SONAME, loader_says(broken))]
        # A copy that needs a libcrypto that is missing: RHEL's name, where
        # this build's soname is long enough to hold it.
        if len(BUILD_SONAME) >= len('libcrypto.so.10') and BUILD_SONAME != 'libcrypto.so.10':
            with open(rand.__file__, 'rb') as module:
                contents = module.read()
            name = BUILD_SONAME + '\0'
            self.assertIn(name, contents)
            needing = self.build('libcrypto.so.10', contents.replace(
                name, 'libcrypto.so.10'.ljust(len(name), '\0')))
            lines += ['  the build for libcrypto.so.10: ' + loader_says(needing),
                      'Install the libcrypto of one of these builds:',
                      '  libcrypto.so.10: ' + PROVIDERS['libcrypto.so.10'],
                      'or build Korvane from its source distribution.']
        else:
            lines.append(SOURCE)
        status, out, err = self.run_child(BLOCKED)
        self.assertNotEqual(status, 0)
        self.assertEqual(err.strip().splitlines()[-len(lines):],
                         ['ImportError: ' + lines[0]] + lines[1:], err)

    def test_reload_and_pkgutil_find_the_build(self):
        self.build(BUILD_SONAME)
        code = CHILD + ('import pkgutil\n'
                        'print([name for _, name, _ in pkgutil.iter_modules(Korvane.__path__)])\n'
                        'print(reload(Korvane.rand).__file__ == Korvane.rand.__file__)\n')
        status, out, err = self.run_child(code=code)
        self.assertEqual((status, out[-2:]), (0, ["['rand']", 'True']), err)

    def test_a_zip_archive_gives_an_import_error(self):
        archive = os.path.join(self.directory, 'korvane.zip')
        self.build(BUILD_SONAME)
        with zipfile.ZipFile(archive, 'w') as written:
            for name in ('__init__.py', 'VERSION', BUILD_SONAME + '/rand.so'):
                written.write(os.path.join(self.package, name), 'Korvane/' + name)
        code = ('import sys\nsys.path.insert(0, %r)\n'
                'try:\n    import Korvane\nexcept ImportError as error:\n'
                '    print(str(error).split(" (")[0])\n' % archive)
        status, out, err = self.run_child(code=code.replace('%', '%%'))
        self.assertEqual((status, out), (0, [
            'Korvane must be installed as a directory of files, not in a zip archive or a frozen '
            'program']), err)


if __name__ == '__main__':
    unittest.main()
