"""Which libcrypto Korvane.rand binds to, given what the process has.

Each case runs in a fresh interpreter, set up as it says with copies of this
suite's libcrypto (renamed inside where it needs: another soname, another
needed library, a function gone). The interpreter then queues an error on
the libcrypto the module must have taken and sees the module drain it, and
counts the libcryptos mapped: two would be two generators. Also what the
package itself does on reload, and in a zip archive."""
import ast
import ctypes
import os
import shutil
import struct
import subprocess
import tempfile
import unittest
import zipfile

from support import INTERPRETER, crypto, rand
import Korvane  # noqa: I100  (from where support found it)

PARENT = os.path.dirname(os.path.dirname(os.path.abspath(Korvane.__file__)))
# The libcrypto this suite runs on: a copy of it stands for the one a case needs.
LIBCRYPTO = crypto.lib._name
STAND_IN = os.environ.get('KORVANE_STAND_IN_HASHLIB')
# The sonames the module knows, newest first, as its ImportError lists them.
SONAMES = ['libcrypto.so.3', 'libcrypto.so.1.1', 'libcrypto.so.1.0.2', 'libcrypto.so.1.0.0',
           'libcrypto.so.10']
# Required by the module, never called by libcrypto itself: a copy of
# libcrypto without it still loads.
MISSING = 'RAND_write_file'

DT_NEEDED, DT_SONAME, SHT_DYNAMIC = 1, 14, 6


def dynamic_names(contents):
    """{tag: [(offset in the file, name)]} of the names in an ELF shared
    object's dynamic section, and (offset, bytes) of its string table,
    read through the section headers (32 or 64 bits, either byte order)."""
    word = 'Q' if contents[4] == '\2' else 'I'
    order = '<' if contents[5] == '\1' else '>'
    shoff, = struct.unpack_from(order + word, contents, 0x28 if word == 'Q' else 0x20)
    shentsize, shnum = struct.unpack_from(order + 'HH', contents, 0x3a if word == 'Q' else 0x2e)
    # (name, type, flags, address, offset, size, link)
    sections = [struct.unpack_from(order + 'II' + word * 4 + 'I', contents,
                                   shoff + index * shentsize) for index in range(shnum)]
    dynamic = [section for section in sections if section[1] == SHT_DYNAMIC][0]
    strings_at, strings_size = sections[dynamic[6]][4:6]
    strings = contents[strings_at:strings_at + strings_size]
    entry = struct.calcsize(order + word * 2)
    names = {}
    for at in range(dynamic[4], dynamic[4] + dynamic[5], entry):
        tag, value = struct.unpack_from(order + word * 2, contents, at)
        if tag in (DT_NEEDED, DT_SONAME):
            names.setdefault(tag, []).append(
                (strings_at + value, strings[value:strings.index('\0', value)]))
    return names, (strings_at, strings)


def name_of_no_table(name):
    """A name of the same length as `name` that no table of sonames has."""
    return name[:-1] + ('8' if name.endswith('9') else '9')


def copy_renaming(source, destination, tag=None, symbol=None):
    """Copies the shared object `source` to `destination` with one name of
    its dynamic string table changed by name_of_no_table: `symbol`, else
    that of its `tag` entry that names a libcrypto (its soname, or the
    libcrypto it needs). Returns the new name."""
    with open(source, 'rb') as read:
        contents = read.read()
    names, (strings_at, strings) = dynamic_names(contents)
    if symbol is not None:
        at = strings.index('\0%s\0' % symbol) + 1 + strings_at
        name = symbol
    else:
        at, name = [(at, name) for at, name in names[tag] if name.startswith('libcrypto')][0]
    new = name_of_no_table(name)
    with open(destination, 'wb') as written:
        written.write(contents[:at] + new + contents[at + len(name):])
    os.chmod(destination, 0o755)
    return new


# Run in a fresh interpreter with the case's directory and the package's
# first on the path: BEFORE, then the import, then AFTER; EXPECTED is the
# libcrypto the module must have bound to. Prints ('bound', the (library,
# reason) texts drained after one RAND error was queued there, libcryptos
# mapped, len(bytes(4))), ('not mapped',) or ('ImportError', its text, what
# the module's exported error_queue_to_list raises afterwards).
CHILD = r'''
import ctypes, imp, os, sys
sys.path[:0] = [%(directory)r, %(parent)r]


def loaded(name):
    return ctypes.CDLL(name, mode=4)  # RTLD_NOLOAD: only a library already mapped


def libcryptos_mapped():
    with open('/proc/self/maps') as maps:
        fields = [line.split(None, 5) for line in maps]
    return set(field[5].strip() for field in fields
               if len(field) == 6 and os.path.basename(field[5]).startswith('libcrypto.so'))


def drain():
    path = imp.find_module('rand', sys.modules['Korvane'].__path__)[1]
    helper = ctypes.PyDLL(path).error_queue_to_list
    helper.restype = ctypes.py_object
    return helper()


%(before)s
try:
    import Korvane.rand
except ImportError as error:
    try:
        drain()
        again = None
    except ImportError as later:
        again = str(later)
    print(repr(('ImportError', str(error), again)))
    sys.exit()
%(after)s
try:
    expected = %(expected)s
except OSError:
    print(repr(('not mapped',)))
    sys.exit()
if hasattr(expected, 'ERR_new'):  # 3.0
    expected.ERR_new()
    expected.ERR_set_debug('tests', 1, 'queue')
    expected.ERR_set_error(36, 100, None)  # RAND, PRNG not seeded
else:
    expected.ERR_put_error(36, 100, 100, 'tests', 1)
drained = [(library, reason) for library, _, reason in drain()]
print(repr(('bound', drained, len(libcryptos_mapped()), len(Korvane.rand.bytes(4)))))
'''
BOUND = ('bound', [('random number generator', 'PRNG not seeded')], 1, 4)
# The same where the case maps another libcrypto beside on purpose.
BOUND_BESIDE_ANOTHER = BOUND[:2] + (2, 4)
BLOCK = "sys.modules['_hashlib'] = sys.modules['_ssl'] = None"


# What the import, and the module's exported helper after it, say of the
# case's libcrypto.so.other without MISSING.
REFUSED = ('ImportError',) + ('Korvane.rand cannot use DIRECTORY/libcrypto.so.other: it has no '
                              + MISSING,) * 2


class BindingTest(unittest.TestCase):
    """The libcrypto that the module takes, by what the process has."""
    longMessage = True

    def fresh_directory(self):
        self.directory = tempfile.mkdtemp(prefix='korvane-package-')
        self.addCleanup(shutil.rmtree, self.directory)

    def path(self, *names):
        return os.path.join(self.directory, *names)

    def run_child(self, before='', expected='None', after='', environment=None):
        code = CHILD % dict(directory=self.directory, parent=PARENT, before=before,
                            expected=expected, after=after)
        # -S: no site, nor a sitecustomize that would set the process up
        # before the case does (the suites on another libcrypto have one).
        child = subprocess.Popen(INTERPRETER + ['-S', '-c', code], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, env=environment)
        out, err = child.communicate()
        if child.returncode != 0 or not out.strip():
            return ('exited', child.returncode, err)
        return ast.literal_eval(out.strip().splitlines()[-1].replace(self.directory, 'DIRECTORY'))

    def check(self, cases):
        """Runs each (what, make, result): make() makes the case's files in
        a fresh directory and returns its (before, expected); the child's
        result names that directory DIRECTORY."""
        for what, make, result in cases:
            self.fresh_directory()
            before, expected = make()
            self.assertEqual(self.run_child(before, expected), result, what)

    # The cases' files.

    def interpreter_module(self, module, soname_of_no_table=False, replaced=False,
                           another_first=False):
        """The stand-in as the interpreter's `module`, its libcrypto a copy
        of this suite's in private/, under this libcrypto's own soname or
        one that no table has. The stand-in's copy needs it by a name that
        no library path has (the tree's launcher sets one), which its
        RUNPATH alone finds. `replaced`: once mapped, another file takes
        its place, as an upgrade of the package leaves it. `another_first`:
        this suite's libcrypto is loaded first, as a library loads one for
        itself (not for all to see, which would interpose the copy's own
        calls), and comes before the copy in the list of what is loaded."""
        os.mkdir(self.path('private'))
        needed = copy_renaming(STAND_IN, self.path(module + '.so'), tag=DT_NEEDED)
        private = self.path('private', needed)
        if soname_of_no_table:
            copy_renaming(LIBCRYPTO, private, tag=DT_SONAME)
        else:
            shutil.copy(LIBCRYPTO, private)
        before = ["sys.modules['_hashlib'] = None"] if module == '_ssl' else []
        if another_first:
            before.append('ctypes.CDLL(%r)' % LIBCRYPTO)
        if not replaced:
            return '\n'.join(before), 'loaded(%r)' % private
        copy_renaming(LIBCRYPTO, self.path('upgrade'), symbol=MISSING)
        before += ['import _hashlib', 'held = loaded(%r)' % private,
                   'os.rename(%r, %r)' % (self.path('upgrade'), private)]
        return '\n'.join(before), 'held'

    def loaded_by_ctypes(self, mode, symbol=None, beside=None):
        """A copy of this suite's libcrypto under a soname that no table has
        (or without `symbol`), loaded with `mode`, after `beside` (a file
        name for a shared object that is no libcrypto: this build's module
        will do); the interpreter's modules kept out."""
        copy = self.path('libcrypto.so.other')
        copy_renaming(LIBCRYPTO, copy, tag=DT_SONAME, symbol=symbol)
        before = [BLOCK]
        if beside:
            shutil.copy(rand.__file__, self.path(beside))
            before.append('ctypes.CDLL(%r)' % self.path(beside))
        before.append('ctypes.CDLL(%r, mode=%d)' % (copy, mode))
        return '\n'.join(before), 'loaded(%r)' % copy

    @unittest.skipUnless(STAND_IN, 'no stand-in _hashlib (KORVANE_STAND_IN_HASHLIB)')
    def test_an_interpreter_modules_libcrypto(self):
        self.check([
            ('_hashlib\'s, by its RUNPATH alone', lambda: self.interpreter_module('_hashlib'),
             BOUND),
            ('_ssl\'s, where there is no _hashlib, another library\'s loaded before',
             lambda: self.interpreter_module('_ssl', another_first=True), BOUND_BESIDE_ANOTHER),
            ('_hashlib\'s, of a soname no table has',
             lambda: self.interpreter_module('_hashlib', soname_of_no_table=True), BOUND),
            ('_hashlib\'s, of a soname no table has, replaced on disk since it was mapped',
             lambda: self.interpreter_module('_hashlib', soname_of_no_table=True, replaced=True),
             BOUND),
            ('_hashlib\'s, another library\'s loaded before',
             lambda: self.interpreter_module('_hashlib', another_first=True), BOUND_BESIDE_ANOTHER),
        ])

    def test_a_libcrypto_loaded_otherwise(self):
        self.check([
            # As an executable's is: for all to see.
            ('the executable\'s', lambda: self.loaded_by_ctypes(ctypes.RTLD_GLOBAL), BOUND),
            # As a library loads one for itself, after a libcrypto++.
            ('another library\'s, a libcrypto++ mapped before it',
             lambda: self.loaded_by_ctypes(ctypes.RTLD_LOCAL, beside='libcrypto++.so.8'), BOUND),
            ('one without ' + MISSING,
             lambda: self.loaded_by_ctypes(ctypes.RTLD_GLOBAL, symbol=MISSING), REFUSED),
        ])

    def test_none_at_all_takes_the_newest_the_loader_opens(self):
        # An older one on the library path too, under a soname no table
        # has, so that taking it instead shows.
        self.fresh_directory()
        os.mkdir(self.path('older'))
        copy_renaming(LIBCRYPTO, self.path('older', SONAMES[-1]), tag=DT_SONAME)
        environment = dict(os.environ, LD_LIBRARY_PATH=':'.join(
            [self.path('older')] + filter(None, [os.environ.get('LD_LIBRARY_PATH')])))
        newest = subprocess.check_output(INTERPRETER + ['-S', '-c', (
            'import ctypes\n'
            'for soname in %r:\n'
            '    try:\n'
            '        ctypes.CDLL(soname)\n'
            '    except OSError:\n'
            '        continue\n'
            '    print(soname)\n'
            '    break\n') % SONAMES], env=environment).strip()
        self.assertEqual(self.run_child(BLOCK, 'loaded(%r)' % newest, environment=environment),
                         BOUND, newest)

    def test_reload_keeps_the_binding(self):
        # Nothing kept out: the interpreter's libcrypto is the only one.
        self.fresh_directory()
        after = ('import pkgutil\n'
                 'error, path = Korvane.rand.Error, Korvane.rand.__file__\n'
                 'reload(Korvane)\n'
                 'assert reload(Korvane.rand) is Korvane.rand\n'
                 'assert (Korvane.rand.Error, Korvane.rand.__file__) == (error, path)\n'
                 'assert ctypes.py_object.in_dll(ctypes.PyDLL(path), "rand_Error").value is error\n'
                 'assert [name for _, name, _ in pkgutil.iter_modules(Korvane.__path__)] == '
                 '["rand"]\n')
        self.assertEqual(self.run_child('', 'loaded(list(libcryptos_mapped())[0])', after), BOUND)

    def test_a_zip_archive_gives_an_import_error(self):
        self.fresh_directory()
        archive = self.path('korvane.zip')
        with zipfile.ZipFile(archive, 'w') as written:
            for name in ('__init__.py', 'VERSION', os.path.basename(rand.__file__)):
                written.write(os.path.join(PARENT, 'Korvane', name), 'Korvane/' + name)
        code = ('import sys\nsys.path.insert(0, %r)\n'
                'try:\n    import Korvane\nexcept ImportError as error:\n'
                '    print(str(error).split(" (")[0])\n' % archive)
        out = subprocess.check_output(INTERPRETER + ['-S', '-c', code])
        self.assertEqual(out.strip(), 'Korvane must be installed as a directory of files, not in '
                         'a zip archive or a frozen program')


if __name__ == '__main__':
    unittest.main()
