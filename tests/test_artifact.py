"""The built shared library itself: its interface, its dependencies, its CPU.

Runs on the build machine against KORVANE_MODULE, built for KORVANE_TARGET
(x86_64, armhf or aarch64): rand.so for Python 2.7, or rand.abi3.so for
Python 3's stable ABI. readelf reads ELF files of any architecture.
"""
import os
import re
import subprocess
import unittest

MODULE = os.environ.get('KORVANE_MODULE') or os.path.join(
    os.path.dirname(__file__), '..', 'Korvane', 'rand.so')
TARGET = os.environ.get('KORVANE_TARGET', 'x86_64')
PYTHON3 = MODULE.endswith('.abi3.so')
SANITIZED = os.environ.get('KORVANE_SANITIZED') == '1'
# Built with dpkg-buildflags' hardening, as everything the project ships is.
HARDENED = os.environ.get('KORVANE_HARDENED', '1') == '1'
# Whether the module links libpython. What the project ships never does:
# the interpreter that loads it provides those symbols, static or shared,
# as for its own extensions. A source build does what the interpreter's own
# distutils does: upstream's links a shared libpython, Debian's never.
LINKS_LIBPYTHON = os.environ.get('KORVANE_LINKS_LIBPYTHON', '0') == '1'
# Whether the module is built as the wheels' are, for the oldest systems of
# its target: a source build for this machine alone asks for what this
# machine's C library has (since glibc 2.34, dlopen's GLIBC_2.34).
FOR_OLDEST_SYSTEMS = os.environ.get('KORVANE_FOR_OLDEST_SYSTEMS', '1') == '1'
# The RUNPATH a user's build asked for (build_ext --rpath), if any.
RUNPATH = os.environ.get('KORVANE_RUNPATH', '')
# The module the project's own CMake build shipped for the same system,
# beside which a source build of it must look the same.
SHIPPED_MODULE = os.environ.get('KORVANE_SHIPPED_MODULE', '')
# The newest symbol versions each target's module may ask for: those of the
# manylinux policy its wheel is tagged with (manylinux1 on x86-64,
# manylinux2014 on aarch64), so that a package index takes it and pip puts
# it on any glibc system the tag promises; for 32-bit ARM, whose wheel
# keeps piwheels' linux_ tags, the oldest C library among the systems it
# is for.
NEWEST_VERSIONS = {
    'x86_64': {'GLIBC': (2, 5), 'GCC': (4, 2, 0)},
    'aarch64': {'GLIBC': (2, 17), 'GCC': (4, 7, 0)},
    'armhf': {'GLIBC': (2, 17)},
}
# The libraries a manylinux policy lets a module need (the loader itself is
# not counted): never libcrypto, which the module binds to at load time, nor
# libpython, which the interpreter provides.
POLICY_LIBRARIES = {'libc.so.6', 'libm.so.6', 'libdl.so.2', 'libpthread.so.0', 'librt.so.1',
                    'libgcc_s.so.1', 'libresolv.so.2', 'libnsl.so.1', 'libutil.so.1',
                    'libanl.so.1', 'libatomic.so.1', 'libz.so.1'}
# musl's one C library (Debian's musl-dev), which a musl system's loader
# (Alpine's) gives the x86-64 module for the libc.so.6 it needs.
MUSL_LIBC = '/usr/lib/x86_64-linux-musl/libc.so'

# The entry point is the interpreter's: PyInit_rand for Python 3.
EXPORTS = {
    'PyInit_rand' if PYTHON3 else 'initrand': 'FUNC', 'rand_Error': 'OBJECT', 'error_queue_to_list': 'FUNC',
    'flush_error_queue': 'FUNC', 'exception_from_error_queue': 'FUNC',
    'PyKorvane_LongToHex': 'FUNC',
}
# Instructions that ARMv6 (the ARM1176 of a Raspberry Pi 1 or Zero) lacks:
# ARMv6T2 and ARMv7 ones, and those of VFPv3 and NEON, which name d16-d31 or
# a q register, or move an immediate into a VFP register.
ARMV7_MNEMONICS = {'movw', 'movt', 'dmb', 'dsb', 'isb', 'ubfx', 'sbfx', 'bfi', 'bfc', 'rbit',
                   'mls', 'sdiv', 'udiv', 'pldw'}
NEWER_VFP_OPERANDS = re.compile(r'\b(d(1[6-9]|2[0-9]|3[01])|q[0-9]+)\b')
VFP_IMMEDIATE_MOVE = re.compile(r'^[sd][0-9]+, #')
# An ARM instruction's mnemonic may end in its condition.
CONDITIONS = re.compile(r'(eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|al)$')

# Seen through `readelf -A`, these make the module an ARMv6 + VFPv2,
# hard-float library; an ARMv7 object linked in raises the first two.
ARMV6_ATTRIBUTES = [
    ('Tag_CPU_arch', 'v6'),
    ('Tag_THUMB_ISA_use', 'Thumb-1'),
    ('Tag_FP_arch', 'VFPv2'),
    ('Tag_ABI_VFP_args', 'VFP registers'),
]


def readelf_of(module, *options):
    return subprocess.check_output(['readelf', '-W'] + list(options) + [module])


def readelf(*options):
    return readelf_of(MODULE, *options)


def dynamic_symbols(module=MODULE, bindings=('GLOBAL', 'WEAK')):
    """(name, type, defined) for each dynamic symbol of those bindings."""
    symbols = []
    for line in readelf_of(module, '--dyn-syms').splitlines():
        fields = line.split()
        if len(fields) >= 8 and fields[0].endswith(':') and fields[4] in bindings:
            symbols.append((fields[7].split('@')[0], fields[3], fields[6] != 'UND'))
    return symbols


def needed_libraries(module=MODULE):
    return set(re.findall(r'\(NEEDED\).*\[(.+)\]', readelf_of(module, '-d')))


def exports(module=MODULE):
    return dict((name, kind) for name, kind, defined in dynamic_symbols(module) if defined)


def hardening_report(module=MODULE):
    """hardening-check's verdicts, without the module's name."""
    process = subprocess.Popen(['hardening-check', '--nofortify', '--nocfprotection', module],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    report = process.communicate()[0]
    return process.returncode, report.split('\n', 1)[1]


class ArtifactTest(unittest.TestCase):

    def test_exports_exactly_the_six_symbols(self):
        self.assertEqual(exports(), EXPORTS)

    def test_needs_no_cxx_runtime(self):
        # __cxa_finalize is the C library's, called by the x86-64 start files.
        needs = [name for name, _, defined in dynamic_symbols()
                 if not defined and name != '__cxa_finalize']
        cxx = [name for name in needs if name.startswith(('_Z', '__cxa', '__gxx', '_Unwind'))]
        self.assertEqual(cxx, [])

    def test_libraries_it_needs(self):
        needed = needed_libraries()
        libpython = set(name for name in needed if name.startswith('libpython'))
        allowed = POLICY_LIBRARIES | libpython
        # ARM's stack guard lives in the loader.
        allowed |= {'armhf': {'ld-linux-armhf.so.3'}, 'aarch64': {'ld-linux-aarch64.so.1'}}.get(TARGET, set())
        if SANITIZED:
            allowed |= {name for name in needed if name.startswith(('libasan', 'libubsan'))}
        self.assertEqual(bool(libpython), LINKS_LIBPYTHON, needed)
        self.assertTrue(needed <= allowed, needed - allowed)

    @unittest.skipIf(PYTHON3, "Python 3's unicode has one width")
    def test_one_module_for_either_unicode_width(self):
        # The interpreter's headers rename the unicode calls after the width
        # they were built with; a module that calls none loads under cp27m
        # and cp27mu interpreters alike.
        needs = [name for name, _, defined in dynamic_symbols() if not defined]
        self.assertEqual([name for name in needs if name.startswith('PyUnicodeUCS')], [])

    def test_module_creation_call_fits_the_word_size(self):
        # Python 2.7's headers rename Py_InitModule4 on 64-bit builds; the
        # stable ABI's call is the same everywhere.
        expected = 'Py_InitModule4' if TARGET == 'armhf' else 'Py_InitModule4_64'
        if PYTHON3:
            expected = 'PyModule_Create2'
        needs = [name for name, _, defined in dynamic_symbols() if not defined]
        self.assertIn(expected, needs)

    @unittest.skipIf(SANITIZED, 'the sanitizers bring constructors of their own')
    def test_no_static_constructors(self):
        # Read off the section headers, which a stripped module keeps: the
        # start files' frame_dummy is the one entry allowed, where they are
        # linked (not on 32-bit ARM).
        match = re.search(r'\s\.init_array\s+\S+\s+\S+\s+\S+\s+(\S+)', readelf('-S'))
        size = int(match.group(1), 16) if match else 0
        self.assertLessEqual(size, 0 if TARGET == 'armhf' else 8)

    @unittest.skipUnless(HARDENED, "built without dpkg-buildflags' hardening")
    def test_hardened_as_debian_hardens(self):
        # Two of hardening-check's lines cannot say yes for this module, as
        # docs/hardening.md explains: fortification (no call the compiler could
        # check) and control-flow protection (not among dpkg-buildflags').
        status, report = hardening_report()
        self.assertEqual(status, 0, report)
        for line in ('Stack protected: yes', 'Read-only relocations: yes', 'Immediate binding: yes'):
            self.assertIn(line, report)

    @unittest.skipUnless(TARGET == 'armhf', 'ARM build only')
    def test_armv6_vfp_hard_float(self):
        attributes = readelf('-A')
        for tag, value in ARMV6_ATTRIBUTES:
            match = re.search(r'^\s*%s: (.*)$' % tag, attributes, re.MULTILINE)
            self.assertTrue(match, '%s missing from:\n%s' % (tag, attributes))
            self.assertEqual(match.group(1).strip(), value, tag)
        header = readelf('-h')
        self.assertRegexpMatches(header, r'Machine:\s+ARM')
        self.assertIn('hard-float ABI', header)

    def test_no_build_machine_path(self):
        # The module is found by the interpreter and its libraries by the
        # system's loader; a path of the build machine's means nothing where
        # the module is installed. Only a user may ask for one.
        paths = re.findall(r'\((?:RPATH|RUNPATH)\).*\[(.*)\]', readelf('-d'))
        self.assertEqual(paths, [RUNPATH] if RUNPATH else [])

    @unittest.skipUnless(SHIPPED_MODULE, 'no module of the project\'s own build to compare with')
    def test_a_source_build_is_what_the_project_ships(self):
        # setup.py and the CMake build read the same sources, flags and
        # export list: their modules for one system must not drift apart.
        self.assertEqual(exports(), exports(SHIPPED_MODULE))
        self.assertEqual(needed_libraries(), needed_libraries(SHIPPED_MODULE))
        if HARDENED:
            self.assertEqual(hardening_report(), hardening_report(SHIPPED_MODULE))

    @unittest.skipIf(SANITIZED, "the sanitizer runtime needs the build machine's C library")
    @unittest.skipUnless(FOR_OLDEST_SYSTEMS, "a source build for this machine's C library")
    def test_symbol_versions_within_the_wheel_tags_policy(self):
        # readelf -V's "Version needs" section: "Name: GLIBC_2.14" and the like.
        for library, newest in sorted(NEWEST_VERSIONS[TARGET].items()):
            versions = [tuple(int(part) for part in version.split('.'))
                        for version in re.findall(r'Name: %s_([0-9.]+)' % library, readelf('-V'))]
            self.assertTrue(all(version <= newest for version in versions),
                            '%s: %s, newer than %s' % (library, versions, newest))

    @unittest.skipUnless(TARGET == 'x86_64' and os.path.isfile(MUSL_LIBC),
                         "x86-64 build only, where musl's libc.so is installed (musl-dev)")
    @unittest.skipIf(SANITIZED, 'the sanitizer runtime is glibc\'s')
    def test_links_under_musl(self):
        # On Alpine the loader gives musl for libc.so.6, and a call into
        # glibc alone (__register_atfork, a fortified __*_chk) fails the
        # import. A weak reference may be missing: the module then does
        # without it.
        musl = exports(MUSL_LIBC)
        missing = [name for name, _, defined in dynamic_symbols(bindings=('GLOBAL',))
                   if not defined and not name.startswith(('Py', '_Py')) and name not in musl]
        self.assertEqual(missing, [], 'not in %s: %s' % (MUSL_LIBC, missing))

    @unittest.skipUnless(TARGET == 'armhf', 'ARM build only')
    def test_armv6_instructions_only(self):
        # The mapping symbols tell code from the data between functions,
        # which would read as arbitrary instructions; a stripped module has
        # none, and only its attributes speak for it.
        if not re.search(r'\s\$a(\.\d+)?$', readelf('--syms'), re.MULTILINE):
            self.skipTest('stripped: no mapping symbols to tell code from data')
        listing = subprocess.check_output(['arm-linux-gnueabihf-objdump', '-d', MODULE])
        newer = []
        for line in listing.splitlines():
            fields = line.split('\t')
            if len(fields) < 3 or not fields[0].strip().endswith(':'):
                continue
            mnemonic = fields[2].split('.')[0].strip()
            operands = fields[3].strip() if len(fields) > 3 else ''
            if (ARMV7_MNEMONICS & {mnemonic, CONDITIONS.sub('', mnemonic)} or
                    mnemonic.startswith('v') and NEWER_VFP_OPERANDS.search(operands) or
                    mnemonic == 'vmov' and VFP_IMMEDIATE_MOVE.match(operands)):
                newer.append(line.strip())
        self.assertEqual(newer, [])

    @unittest.skipUnless(TARGET == 'armhf', 'ARM build only')
    def test_no_armv7_start_files(self):
        # Debian's crti.o and crtbeginS.o would bring these sections along.
        sections = readelf('-S')
        for name in ('.init_array', '.fini_array', '.init', '.fini'):
            self.assertNotRegexpMatches(sections, r'\s%s\s' % re.escape(name))

    def test_machine(self):
        machine = {'x86_64': 'Advanced Micro Devices X86-64', 'armhf': 'ARM', 'aarch64': 'AArch64'}
        self.assertRegexpMatches(readelf('-h'), r'Machine:\s+%s\n' % machine[TARGET])


if __name__ == '__main__':
    unittest.main()
