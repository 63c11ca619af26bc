"""Which libcrypto Korvane.rand binds to, given what the process has.

Each case runs in a fresh interpreter, set up as it says with copies of this
suite's libcrypto (renamed inside where it needs: another soname, another
needed library, a function gone), the build's stand-in for the interpreter's
_ssl and _hashlib, and its stand-in for a library that defines a few of
libcrypto's names (a wrapper of another library, or an interposer). The
interpreter then queues an error on the libcrypto the module must have taken
and sees the module drain it; sees where the module's RAND_add and
RAND_bytes land, and where the stand-in _ssl's do (as the interpreter's ssl
calls them); counts the libcryptos mapped (two would be two generators); and
keeps what the import warned. Also what the package itself does on reload,
and in a zip archive."""
import ast
import ctypes
import os
import shutil
import struct
import subprocess
import tempfile
import unittest
import zipfile

from support import INTERPRETER, PY3, crypto, rand
import Korvane  # noqa: I100  (from where support found it)

PARENT = os.path.dirname(os.path.dirname(os.path.abspath(Korvane.__file__)))
# The libcrypto this suite runs on: a copy of it stands for the one a case needs.
LIBCRYPTO = crypto.lib._name
STAND_IN = os.environ.get('KORVANE_STAND_IN_HASHLIB')
# Beside it: the library that defines a few of libcrypto's names.
WRAPPER = STAND_IN and os.path.join(os.path.dirname(STAND_IN), 'stand_in_wrapper.so')
# The sonames the module knows, newest first, as its ImportError lists them.
SONAMES = ['libcrypto.so.3', 'libcrypto.so.1.1', 'libcrypto.so.1.0.2', 'libcrypto.so.1.0.0',
           'libcrypto.so.10']
# Required by the module.
MISSING = 'RAND_write_file'
# Past the number of objects the module once looked at.
MANY_OBJECTS = 520

DT_NEEDED, DT_SONAME, SHT_DYNAMIC, SHT_DYNSYM, STB_LOCAL = 1, 14, 6, 11, 0


def elf_sections(contents):
    """(byte order, word, [(name, type, flags, address, offset, size, link,
    info, alignment, entry size)]) of an ELF file's sections, 32 or 64
    bits, either byte order."""
    word = 'Q' if contents[4] == 2 else 'I'
    order = '<' if contents[5] == 1 else '>'
    shoff, = struct.unpack_from(order + word, contents, 0x28 if word == 'Q' else 0x20)
    shentsize, shnum = struct.unpack_from(order + 'HH', contents, 0x3a if word == 'Q' else 0x2e)
    header = order + 'II' + word * 4 + 'II' + word * 2
    return order, word, [struct.unpack_from(header, contents, shoff + index * shentsize)
                         for index in range(shnum)]


def dynamic_names(contents):
    """{tag: [(offset in the file, name)]} of the names in an ELF shared
    object's dynamic section (a bytearray), and (offset, bytes) of its
    string table."""
    order, word, sections = elf_sections(contents)
    dynamic = [section for section in sections if section[1] == SHT_DYNAMIC][0]
    strings_at, strings_size = sections[dynamic[6]][4:6]
    strings = contents[strings_at:strings_at + strings_size]
    entry = struct.calcsize(order + word * 2)
    names = {}
    for at in range(dynamic[4], dynamic[4] + dynamic[5], entry):
        tag, value = struct.unpack_from(order + word * 2, contents, at)
        if tag in (DT_NEEDED, DT_SONAME):
            names.setdefault(tag, []).append(
                (strings_at + value, bytes(strings[value:strings.index(b'\0', value)])))
    return names, (strings_at, strings)


def name_of_no_table(name, digit=b'9'):
    """A name of the same length as `name` that no table of sonames has."""
    return name[:-1] + (digit if not name.endswith(digit) else b'8')


def copy_renaming(source, destination, tag, digit=b'9'):
    """Copies the shared object `source` to `destination` with the name of
    its `tag` entry that names a libcrypto (its soname, or the libcrypto it
    needs) changed by name_of_no_table. Returns the new name."""
    with open(source, 'rb') as read:
        contents = bytearray(read.read())
    names, _ = dynamic_names(contents)
    at, name = [(at, name) for at, name in names[tag] if name.startswith(b'libcrypto')][0]
    new = name_of_no_table(name, digit)
    contents[at:at + len(name)] = new
    with open(destination, 'wb') as written:
        written.write(contents)
    os.chmod(destination, 0o755)
    return str(new.decode('ascii'))


def hide_symbol(path, symbol):
    """Makes `symbol` of the shared object at `path` local: the loader's
    lookups (dlsym's among them) no longer find it, as where the library
    was built without it, while its own references to it still bind."""
    with open(path, 'rb') as read:
        contents = bytearray(read.read())
    order, word, sections = elf_sections(contents)
    symbols = [section for section in sections if section[1] == SHT_DYNSYM][0]
    strings_at = sections[symbols[6]][4]
    # (name, info) of each entry: the info byte follows the name in 64-bit
    # entries, the value and size in 32-bit ones.
    info_at = 4 if word == 'Q' else 12
    for at in range(symbols[4], symbols[4] + symbols[5], symbols[9]):
        name_at, = struct.unpack_from(order + 'I', contents, at)
        start = strings_at + name_at
        if contents[start:contents.index(b'\0', start)] == symbol.encode('ascii'):
            contents[at + info_at] = STB_LOCAL << 4 | contents[at + info_at] & 0xf
    with open(path, 'wb') as written:
        written.write(contents)


# Run in a fresh interpreter with the case's directory and the package's
# first on the path: BEFORE, then the import (its warnings kept), then
# AFTER, which may add to `result`; EXPECTED is the libcrypto the module
# must have bound to. Prints the result: {'drained': the (library, reason)
# texts drained after one RAND error was queued there, 'mapped': how many
# libcryptos are mapped, 'drawn': len(bytes(4)), 'module' and 'ssl': where
# the module's add() and bytes(), and the stand-in _ssl's RAND_add and
# RAND_bytes, land (None where there is no stand-in _ssl), 'warnings'}; or
# {'not mapped': EXPECTED}; or {'ImportError': its text, 'again': what the
# module's exported error_queue_to_list raises afterwards, 'flushed': what
# its flush_error_queue leaves pending}.
CHILD = r'''
import ctypes, os, re, sys, warnings
sys.path[:0] = [%(directory)r, %(parent)r]
DIRECTORY = %(directory)r
RTLD_NOLOAD = 4
loader = ctypes.CDLL(None)
loader.dlopen.argtypes = [ctypes.c_char_p, ctypes.c_int]
loader.dlopen.restype = ctypes.c_void_p
loader.dlclose.argtypes = [ctypes.c_void_p]


def loaded(name):
    return ctypes.CDLL(name, mode=RTLD_NOLOAD)  # only a library already mapped


def libcryptos_mapped():
    """By the names they were loaded by; each a library, not a file that
    merely has the name (the stand-in's for a libcrypto linked in)."""
    with open('/proc/self/maps') as maps:
        fields = [line.split(None, 5) for line in maps]
    paths = set(field[5].strip().replace(' (deleted)', '') for field in fields
                if len(field) == 6 and os.path.basename(field[5]).startswith('libcrypto.so'))
    return sorted(path for path in paths if hasattr(loaded(path), 'RAND_bytes'))


def named(path):
    return path if path.startswith(DIRECTORY) else os.path.basename(path)


def module_file():
    try:
        from importlib.util import find_spec
    except ImportError:  # Python 2.7
        import imp
        return imp.find_module('rand', sys.modules['Korvane'].__path__)[1]
    return find_spec('Korvane.rand').origin


def helper(name, result=ctypes.py_object):
    function = getattr(ctypes.PyDLL(module_file()), name)
    function.restype = result
    return function


def drain():
    return helper('error_queue_to_list')()


def queue_on(library):
    if hasattr(library, 'ERR_new'):  # 3.0
        library.ERR_new()
        library.ERR_set_debug(b'tests', 1, b'queue')
        library.ERR_set_error(36, 100, None)  # RAND, PRNG not seeded
    else:
        library.ERR_put_error(36, 100, 100, b'tests', 1)


DRAW = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_int)
ADD = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_int, ctypes.c_double)


class Method(ctypes.Structure):  # RAND_METHOD: seed, bytes, cleanup, add, pseudorand, status
    _fields_ = [('seed', DRAW), ('bytes', DRAW), ('cleanup', ctypes.CFUNCTYPE(None)), ('add', ADD),
                ('pseudorand', DRAW), ('status', ctypes.CFUNCTYPE(ctypes.c_int))]


def wrapper_draws():
    try:
        return loaded(os.path.join(DIRECTORY, 'stand_in_wrapper.so')).stand_in_draws()
    except (OSError, TypeError):
        return 0


def landing(add, draw):
    """Where add and draw land: the libcrypto whose PRNG takes each (every
    mapped one has a method that records what reaches it), or the wrapper,
    by its count of draws; 'unreachable' if they raise."""
    took = {}

    def method(name):
        def added(buffer, length, entropy):
            took['add'] = name
            return 1

        def drew(buffer, length):
            took['bytes'] = name
            ctypes.memset(buffer, 0x5a, length)
            return 1
        return Method(DRAW(lambda buffer, length: 1), DRAW(drew), ctypes.CFUNCTYPE(None)(lambda: None),
                      ADD(added), DRAW(drew), ctypes.CFUNCTYPE(ctypes.c_int)(lambda: 1))

    methods = [(loaded(path), method(named(path))) for path in libcryptos_mapped()]
    for library, installed in methods:
        library.RAND_set_rand_method(ctypes.byref(installed))
    draws = wrapper_draws()
    try:
        add(b'data', 1.0)
        draw(4)
    except RuntimeError:
        return 'unreachable'
    finally:
        for library, _ in methods:
            library.RAND_set_rand_method(None)
    if wrapper_draws() > draws:
        took['bytes'] = 'wrapper'
    return (took.get('add'), took.get('bytes'))


%(before)s
with warnings.catch_warnings(record=True) as warned:
    warnings.simplefilter('always')
    try:
        import Korvane.rand
    except ImportError as error:
        outcome = {'ImportError': str(error)}
        for name, call in [('again', drain), ('flushed', helper('flush_error_queue', None))]:
            try:
                call()
                outcome[name] = None
            except ImportError as later:
                outcome[name] = str(later)
        print(repr(outcome))
        sys.exit()
result = {}
%(after)s
try:
    expected = %(expected)s
except OSError:
    print(repr({'not mapped': %(expected)r}))
    sys.exit()
queue_on(expected)
result['drained'] = [(library, reason) for library, _, reason in drain()]
result['drawn'] = len(Korvane.rand.bytes(4))
result['module'] = landing(Korvane.rand.add, Korvane.rand.bytes)
ssl = sys.modules.get('_ssl')
result['ssl'] = landing(ssl.RAND_add, ssl.RAND_bytes) if hasattr(ssl, 'RAND_bytes') else None
result['mapped'] = len(libcryptos_mapped())
result['warnings'] = [re.sub(r'/[^ ]*/libcrypto\.so[.0-9]*', lambda path: named(path.group()),
                             str(warning.message)) for warning in warned]
print(repr(result))
'''
BLOCK = "sys.modules['_hashlib'] = sys.modules['_ssl'] = None"
# The interpreter's _ssl built into the executable: a module with no file.
BUILT_IN_SSL = "sys.modules['_ssl'] = type(sys)('_ssl')"
FOR_ALL_TO_SEE = ctypes.RTLD_GLOBAL
UNREACHABLE = ("Korvane.rand cannot reach the libcrypto of the interpreter's _ssl (%s), linked in "
               "statically or not exported; it uses %s instead, a second generator, which ssl does "
               "not share. To have one, build the interpreter's ssl against a shared libcrypto, or "
               "load its libcrypto for all to see (ctypes.RTLD_GLOBAL) before importing Korvane.rand")


def bound(at, mapped=1, module=None, ssl=None, warnings=()):
    """The result of a module bound to `at` (DIRECTORY/..., or a base name),
    its calls landing there (or in `module`: (add's, bytes')); `ssl`: where
    the stand-in _ssl's land."""
    return {'drained': [('random number generator', 'PRNG not seeded')], 'mapped': mapped,
            'drawn': 4, 'module': module or (at, at), 'ssl': ssl, 'warnings': list(warnings)}


def refused(*texts):
    """An ImportError, from the import and the exported helper alike; the
    helper that only empties the queue raises nothing."""
    text = ''.join(texts)
    return {'ImportError': text, 'again': text, 'flushed': None}


class BindingTest(unittest.TestCase):
    """The libcrypto that the module takes, by what the process has."""
    longMessage = True
    maxDiff = None

    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix='korvane-package-')
        self.addCleanup(shutil.rmtree, self.directory)

    def path(self, *names):
        return os.path.join(self.directory, *names)

    def named(self, path):
        return path.replace(self.directory, 'DIRECTORY')

    def run_child(self, before='', expected='None', after='', environment=None):
        code = CHILD % dict(directory=self.directory, parent=PARENT, before=before,
                            expected=expected, after=after)
        # -S: no site, nor a sitecustomize that would set the process up
        # before the case does (the suites on another libcrypto have one).
        child = subprocess.Popen(INTERPRETER + ['-S', '-c', code], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, env=environment)
        out, err = child.communicate()
        if child.returncode != 0 or not out.strip():
            return ('exited', child.returncode, err.decode('utf-8', 'replace'))
        return ast.literal_eval(self.named(out.decode('utf-8').strip().splitlines()[-1]))

    def check(self, cases):
        """Runs each (what, make): make() makes the case's files in a fresh
        directory and returns its (before, expected, result[, environment]),
        the result naming that directory DIRECTORY."""
        for what, make in cases:
            shutil.rmtree(self.directory)
            os.mkdir(self.directory)
            case = make()
            self.assertEqual(self.run_child(case[0], case[1], environment=(case[3:] or [None])[0]),
                             case[2], what)

    def newest(self, environment=None):
        """The soname that the loader opens first of the module's, and the
        base name of the file it maps for it: the libcrypto that the module
        loads where it finds none."""
        probe = ('import ctypes, os\n'
                 'for soname in %r:\n'
                 '    try:\n'
                 '        ctypes.CDLL(soname)\n'
                 '    except OSError:\n'
                 '        continue\n'
                 '    paths = set(line.split()[-1] for line in open("/proc/self/maps"))\n'
                 '    print(repr((soname, [os.path.basename(path) for path in paths\n'
                 '                          if os.path.basename(path).startswith("libcrypto.so")][0])))\n'
                 '    break\n') % SONAMES
        return ast.literal_eval(subprocess.check_output(INTERPRETER + ['-S', '-c', probe],
                                                        env=environment).decode('ascii').strip())

    # The cases' files.

    def stand_in(self, module='_ssl', digit='9', soname_of_no_table=False, symbol=None,
                 needs=LIBCRYPTO):
        """The stand-in as the interpreter's `module`, its libcrypto a copy of
        `needs` (this suite's, by default) in private/, under a name that no
        library path has (the tree's launcher sets one), which its RUNPATH
        alone finds: under this libcrypto's own soname or one that no table
        has, or without `symbol`. Returns the copy's path."""
        if not os.path.isdir(self.path('private')):
            os.mkdir(self.path('private'))
        needed = copy_renaming(STAND_IN, self.path(module + '.so'), tag=DT_NEEDED, digit=digit.encode())
        private = self.path('private', needed)
        if soname_of_no_table:
            copy_renaming(needs, private, tag=DT_SONAME)
        else:
            shutil.copy(needs, private)
        if symbol:
            hide_symbol(private, symbol)
        return private

    def libcrypto_copy(self, symbol=None, name='libcrypto.so.other'):
        """A copy of this suite's libcrypto under a soname that no table has,
        and without `symbol` if one is named."""
        copy_renaming(LIBCRYPTO, self.path(name), tag=DT_SONAME)
        if symbol:
            hide_symbol(self.path(name), symbol)
        return self.path(name)

    def wrapper(self, name='stand_in_wrapper.so'):
        shutil.copy(WRAPPER, self.path(name))
        return self.path(name)

    def interpreter_module(self, module, **options):
        """The stand-in's libcrypto, its own: (before, expected, result)."""
        private = self.stand_in(module, **options)
        at = self.named(private)
        before = "sys.modules['_ssl'] = None" if module == '_hashlib' else ''
        return before, 'loaded(%r)' % private, bound(at, ssl=(at, at) if module == '_ssl' else None)

    def replaced(self):
        """_ssl's libcrypto, once mapped, replaced by another file, as an
        upgrade of the package leaves it."""
        private = self.stand_in(soname_of_no_table=True)
        shutil.copy(LIBCRYPTO, self.path('upgrade'))
        hide_symbol(self.path('upgrade'), MISSING)
        at = self.named(private)
        return ('\n'.join(['import _ssl', 'held = loaded(%r)' % private,
                           'os.rename(%r, %r)' % (self.path('upgrade'), private)]),
                'held', bound(at, ssl=(at, at)))

    def ssl_and_hashlib_apart(self, before):
        """_ssl and _hashlib on different libcryptos: _ssl's, which its ssl
        calls, however BEFORE set the process up."""
        own = self.stand_in('_ssl')
        self.stand_in('_hashlib', digit='7')
        at = self.named(own)
        mapped = 2 if '_hashlib' in before else 1
        return before, 'loaded(%r)' % own, bound(at, mapped, ssl=(at, at))

    def another_first(self):
        """_ssl's, after this suite's libcrypto was loaded as a library loads
        one for itself (not for all to see, which would interpose the
        copy's own calls), before it in the list of what is loaded."""
        private = self.stand_in()
        at = self.named(private)
        return 'ctypes.CDLL(%r)' % LIBCRYPTO, 'loaded(%r)' % private, bound(at, 2, ssl=(at, at))

    def interposed(self):
        """_ssl's, but for the names an LD_PRELOAD library defines: the
        module calls them as the interpreter's ssl does."""
        private = self.stand_in()
        preload = ':'.join(filter(None, [os.environ.get('LD_PRELOAD'), self.wrapper()]))
        at = self.named(private)
        return ('', 'loaded(%r)' % private, bound(at, module=(at, 'wrapper'), ssl=(at, 'wrapper')),
                dict(os.environ, LD_PRELOAD=preload))

    def unreachable(self):
        """An _ssl whose libcrypto no lookup reaches (its library is no
        libcrypto: linked in statically, as far as the loader can tell)."""
        self.stand_in(needs=rand.__file__)
        soname, newest = self.newest()
        return ('', 'loaded(%r)' % soname,
                bound(newest, ssl='unreachable', warnings=[UNREACHABLE % ('DIRECTORY/_ssl.so', newest)]))

    def loaded_by_ctypes(self, mode, symbol=None, beside=None, before=BLOCK):
        """A copy of this suite's libcrypto under a soname that no table has
        (or without `symbol`), loaded with `mode`, after `beside` (a file
        name for a shared object that is no libcrypto: this build's module
        will do); the interpreter's modules kept out, or BEFORE instead."""
        copy = self.libcrypto_copy(symbol)
        lines = [before]
        if beside:
            shutil.copy(rand.__file__, self.path(beside))
            lines.append('ctypes.CDLL(%r)' % self.path(beside))
        lines.append('ctypes.CDLL(%r, mode=%d)' % (copy, mode))
        return '\n'.join(lines), 'loaded(%r)' % copy, bound(self.named(copy))

    def passed_over(self, mode, *libraries):
        """LIBRARIES ('wrapper', 'libcrypto', 'many wrappers') loaded in that
        order with `mode`; the interpreter's modules kept out."""
        lines = [BLOCK]
        for library in libraries:
            if library == 'many wrappers':
                paths = [self.wrapper('stand_in_wrapper%d.so' % index) for index in range(MANY_OBJECTS)]
                lines.append('for path in %r: ctypes.CDLL(path, mode=%d)' % (paths, mode))
            else:
                path = self.wrapper() if library == 'wrapper' else self.libcrypto_copy()
                lines.append('ctypes.CDLL(%r, mode=%d)' % (path, mode))
        return '\n'.join(lines), 'loaded(%r)' % self.path('libcrypto.so.other'), bound(
            'DIRECTORY/libcrypto.so.other')

    def newest_beside(self, before, **result):
        """No libcrypto that the module can take; the newest loads beside."""
        soname, newest = self.newest()
        return before, 'loaded(%r)' % soname, bound(newest, **result)

    @unittest.skipUnless(STAND_IN, 'no stand-in _hashlib (KORVANE_STAND_IN_HASHLIB)')
    def test_an_interpreter_modules_libcrypto(self):
        self.check([
            ('_ssl\'s, by its RUNPATH alone', lambda: self.interpreter_module('_ssl')),
            ('_hashlib\'s, where there is no _ssl', lambda: self.interpreter_module('_hashlib')),
            ('_ssl\'s, of a soname no table has',
             lambda: self.interpreter_module('_ssl', soname_of_no_table=True)),
            ('_ssl\'s, of a soname no table has, replaced on disk since it was mapped',
             self.replaced),
            ('_ssl\'s, another library\'s loaded before', self.another_first),
            ('_ssl\'s, where _hashlib, imported first, has another',
             lambda: self.ssl_and_hashlib_apart('import _hashlib, _ssl')),
            ('_ssl\'s, where a C caller of a helper binds first',
             lambda: self.ssl_and_hashlib_apart('import Korvane\ndrain()')),
            ('an LD_PRELOAD library\'s, for the names it defines', self.interposed),
            ('_ssl\'s without ' + MISSING, lambda: (
                '', 'None', refused('Korvane.rand cannot use ', self.named(self.stand_in(symbol=MISSING)),
                                    ': it has no ' + MISSING))),
            ('none that _ssl\'s reaches: the newest, with a warning', self.unreachable),
        ])

    def test_a_libcrypto_loaded_otherwise(self):
        self.check([
            # As an executable's is: for all to see.
            ('the executable\'s', lambda: self.loaded_by_ctypes(FOR_ALL_TO_SEE)),
            ('the executable\'s, _ssl built into it',
             lambda: self.loaded_by_ctypes(FOR_ALL_TO_SEE, before=BUILT_IN_SSL)),
            # As a library loads one for itself, after a libcrypto++.
            ('another library\'s, a libcrypto++ mapped before it',
             lambda: self.loaded_by_ctypes(ctypes.RTLD_LOCAL, beside='libcrypto++.so.8')),
            # Not for all to see, where it would take the calls that the
            # newest makes of its own functions.
            ('the newest, one without %s passed over' % MISSING, lambda: self.newest_beside(
                '%s\nctypes.CDLL(%r)' % (BLOCK, self.libcrypto_copy(MISSING)), mapped=2)),
            ('the newest, _ssl built into an executable that does not export its libcrypto',
             lambda: self.newest_beside(BUILT_IN_SSL, warnings=[
                 UNREACHABLE % ('built in', self.newest()[1])])),
        ])

    def test_a_bound_libcrypto_is_held(self):
        # Whoever loaded it may close it: the module calls it for good.
        copy = self.libcrypto_copy()
        before = '%s\nheld = loader.dlopen(%r.encode(), %d)' % (BLOCK, copy, FOR_ALL_TO_SEE | 2)
        self.assertEqual(self.run_child(before, 'loaded(%r)' % copy, 'loader.dlclose(held)'),
                         bound(self.named(copy)))

    def test_a_function_text_that_the_library_lacks_is_none(self):
        # libcrypto 3 built without its deprecated functions.
        copy = self.libcrypto_copy('ERR_func_error_string')
        before = '%s\nctypes.CDLL(%r, mode=%d)' % (BLOCK, copy, FOR_ALL_TO_SEE)
        after = "queue_on(loaded(%r))\nresult['function'] = drain()[0][1]" % copy
        self.assertEqual(self.run_child(before, 'loaded(%r)' % copy, after),
                         dict(bound(self.named(copy)), function=None))

    @unittest.skipUnless(STAND_IN, 'no stand-in wrapper (KORVANE_STAND_IN_HASHLIB)')
    def test_a_library_with_a_few_of_the_names_is_no_libcrypto(self):
        self.check([
            ('the libcrypto loaded after it', lambda: self.passed_over(ctypes.RTLD_LOCAL, 'wrapper',
                                                                      'libcrypto')),
            ('the libcrypto loaded after %d of them' % MANY_OBJECTS,
             lambda: self.passed_over(ctypes.RTLD_LOCAL, 'many wrappers', 'libcrypto')),
            ('neither, both for all to see', lambda: self.passed_over(FOR_ALL_TO_SEE, 'wrapper',
                                                                     'libcrypto')[:2] + (refused(
                'Korvane.rand cannot tell which libcrypto this process uses: DIRECTORY/libcrypto.so.other '
                'and DIRECTORY/stand_in_wrapper.so both define its functions, and nothing says which one '
                'the interpreter\'s ssl calls; load only one of them'),)),
        ])

    def test_none_at_all_takes_the_newest_the_loader_opens(self):
        # Several installed on the library path: the newest, loaded for the
        # module alone, so that a library loaded later still binds its own.
        os.mkdir(self.path('installed'))
        for soname in ('libcrypto.so.1.1', 'libcrypto.so.3', SONAMES[-1]):
            shutil.copy(LIBCRYPTO, self.path('installed', soname))
        path = os.environ.get('LD_LIBRARY_PATH')
        environment = dict(os.environ, LD_LIBRARY_PATH=self.path('installed') + (':' + path if path else ''))
        after = "result['for all to see'] = hasattr(ctypes.CDLL(None), 'RAND_bytes')"
        self.assertEqual(self.run_child(BLOCK, 'loaded("libcrypto.so.3")', after, environment),
                         dict(bound('DIRECTORY/installed/libcrypto.so.3'), **{'for all to see': False}))

    def test_reload_keeps_the_binding(self):
        # Nothing kept out: the interpreter's libcrypto is the only one.
        after = ('import pkgutil\n'
                 'try:\n    from importlib import reload\nexcept ImportError:\n    pass  # a builtin\n'
                 'error, path = Korvane.rand.Error, Korvane.rand.__file__\n'
                 'reload(Korvane)\n'
                 'assert reload(Korvane.rand) is Korvane.rand\n'
                 'assert (Korvane.rand.Error, Korvane.rand.__file__) == (error, path)\n'
                 'assert ctypes.py_object.in_dll(ctypes.PyDLL(path), "rand_Error").value is error\n'
                 'assert [name for _, name, _ in pkgutil.iter_modules(Korvane.__path__)] == '
                 '["rand"]\n')
        result = self.run_child('', 'loaded(libcryptos_mapped()[0])', after)
        # The one libcrypto mapped, whichever the interpreter's is, where
        # Python 3's own ssl draws too (2.7's has no RAND_bytes).
        at = isinstance(result, dict) and os.path.basename(str(result.get('module', ('',))[0]))
        self.assertEqual(result, bound(at, ssl=(at, at) if PY3 else None))

    def test_a_zip_archive_gives_an_import_error(self):
        archive = self.path('korvane.zip')
        with zipfile.ZipFile(archive, 'w') as written:
            for name in ('__init__.py', 'VERSION', os.path.basename(rand.__file__)):
                written.write(os.path.join(PARENT, 'Korvane', name), 'Korvane/' + name)
        code = ('import sys\nsys.path.insert(0, %r)\n'
                'try:\n    import Korvane\nexcept ImportError as error:\n'
                '    print(str(error).split(" (")[0])\n' % archive)
        out = subprocess.check_output(INTERPRETER + ['-S', '-c', code]).decode('ascii')
        self.assertEqual(out.strip(), 'Korvane must be installed as a directory of files, not in '
                         'a zip archive or a frozen program')


if __name__ == '__main__':
    unittest.main()
