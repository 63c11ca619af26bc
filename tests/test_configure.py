"""The build's choice of libcrypto: any sane OPENSSL_ROOT_DIR prefix is taken
and no wrong one, every time, also in a build directory that a refused run
left behind.

Runs on the build machine: KORVANE_CMAKE configures KORVANE_SOURCE_DIR with
the x86-64 toolchain against the Debian 11 tree KORVANE_SYSROOT, whose
libcrypto 1.1 the prefixes are made of.
"""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

CMAKE = os.environ.get('KORVANE_CMAKE', 'cmake')
SOURCE_DIR = os.path.abspath(os.environ.get('KORVANE_SOURCE_DIR') or
                             os.path.join(os.path.dirname(__file__), '..'))
TREE = os.environ.get('KORVANE_SYSROOT', '')
TRIPLET = 'x86_64-linux-gnu'
TREE_LIBRARY = os.path.join(TREE, 'usr/lib', TRIPLET, 'libcrypto.so.1.1')


def make_prefix(prefix, parts):
    """Lays out `parts` of a libcrypto prefix: 'include', 'lib', 'lib64',
    'static' (lib/libcrypto.a alone), 'linked' (both as symbolic links to
    copies elsewhere), 'arm' (a lib/libcrypto.so whose ELF header says
    32-bit ARM)."""
    elsewhere = prefix + '.elsewhere'
    for part in parts:
        if part in ('include', 'linked'):
            headers = os.path.join(elsewhere if part == 'linked' else prefix, 'include', 'openssl')
            if not os.path.isdir(headers):
                shutil.copytree(os.path.join(TREE, 'usr/include/openssl'), headers)
                shutil.copy(os.path.join(TREE, 'usr/include', TRIPLET, 'openssl/opensslconf.h'),
                            headers)
        if part == 'linked':
            os.makedirs(os.path.join(prefix, 'include'))
            os.symlink(headers, os.path.join(prefix, 'include', 'openssl'))
            os.makedirs(os.path.join(prefix, 'lib'))
            os.symlink(TREE_LIBRARY, os.path.join(prefix, 'lib', 'libcrypto.so.1.1'))
            os.symlink('libcrypto.so.1.1', os.path.join(prefix, 'lib', 'libcrypto.so'))
        elif part in ('lib', 'lib64', 'static', 'arm'):
            directory = os.path.join(prefix, 'lib64' if part == 'lib64' else 'lib')
            os.makedirs(directory)
            if part == 'static':
                shutil.copy(os.path.join(TREE, 'usr/lib', TRIPLET, 'libcrypto.a'), directory)
                continue
            library = os.path.join(directory, 'libcrypto.so')
            shutil.copy(TREE_LIBRARY, library)
            if part == 'arm':
                with open(library, 'r+b') as elf:
                    elf.seek(4)
                    elf.write('\x01')  # 32-bit
                    elf.seek(18)
                    elf.write('\x28\x00')  # ARM


def found(path):
    """A run that configures with this libcrypto: relative to the prefix,
    or absolute; None for any."""
    return ('found', path)


def refused(pattern):
    """A run that stops with an error that this regular expression finds."""
    return ('refused', pattern)


def configured(pattern):
    """A run that configures, saying what this regular expression finds."""
    return ('configured', pattern)


# dpkg-buildflags as dpkg before 1.18.5 answers, with position-independent
# executables among the hardening, which a shared library must not take.
OLD_DPKG_BUILDFLAGS = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'support',
                                   'dpkg-buildflags-1.18')


# (what, the configure runs: each (parts to add to the prefix first, how
# the root is named ({root}: the prefix, {name}: its name alone), extra
# cache settings, how the run ends)). A row's runs share one build
# directory.
ROOT = '{root}'
TREE_LINK = TREE_LIBRARY.replace('.so.1.1', '.so')
ROWS = [
    ('complete prefix', [(['include', 'lib'], ROOT, [], found('lib/libcrypto.so'))]),
    ('trailing slash', [(['include', 'lib'], ROOT + '/', [], found('lib/libcrypto.so'))]),
    ('lib64 layout', [(['include', 'lib64'], ROOT, [], found('lib64/libcrypto.so'))]),
    ('symlink farm', [(['linked'], ROOT, [], found('lib/libcrypto.so'))]),
    ('half-made, then completed', [
        (['include'], ROOT, [], refused(r'OPENSSL_ROOT_DIR is .*, but libcrypto.s headers and '
                                        r'library are .*/include \(found\) and '
                                        r'.*bullseye.*libcrypto.so \(found\)')),
        (['lib'], ROOT, [], found('lib/libcrypto.so'))]),
    ('static library only', [
        (['include', 'static'], ROOT, [],
         refused(r'is only a static library, .*libcrypto\.a \(found\)'))]),
    ('built for another architecture', [
        (['include', 'arm'], ROOT, [],
         refused(r'is built for 32-bit ARM, but this build is for x86-64'))]),
    # The search prefers lib64/ to lib/: a library given is kept, also in
    # the next run.
    ('library given inside the root', [
        (['include', 'lib', 'lib64'], ROOT, ['-DOPENSSL_CRYPTO_LIBRARY={root}/lib/libcrypto.so'],
         found('lib/libcrypto.so')),
        ([], ROOT, [], found('lib/libcrypto.so'))]),
    ('library given outside the root', [
        (['include', 'lib'], ROOT, ['-DOPENSSL_CRYPTO_LIBRARY=' + TREE_LIBRARY],
         refused(r'given as OPENSSL_CRYPTO_LIBRARY'))]),
    ('relative root', [
        (['include', 'lib'], '{name}', [], refused(r'OPENSSL_ROOT_DIR is prefix\d+, a relative path'))]),
    # Whichever libcrypto the machine has: every path lies under /.
    ('the root directory as the root', [([], '/', [], found(None))]),
    ('dpkg-buildflags before 1.18.5', [
        (['include', 'lib'], ROOT, ['-DKORVANE_DPKG_BUILDFLAGS=' + OLD_DPKG_BUILDFLAGS],
         configured(r'Hardened as dpkg-buildflags says: (?!.*-f?(pie|PIE)\b).*-Bsymbolic-functions'))]),
    ('root dropped again', [
        (['include', 'lib'], ROOT, [], found('lib/libcrypto.so')),
        ([], '', [], found(TREE_LINK))]),
]


@unittest.skipUnless(os.path.isfile(TREE_LIBRARY), 'needs a Debian 11 amd64 tree: set KORVANE_SYSROOT')
class PrefixTest(unittest.TestCase):

    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix='configure-')

    def tearDown(self):
        shutil.rmtree(self.directory)

    def configure(self, build_dir, root, settings):
        command = [CMAKE, '-S', SOURCE_DIR, '-B', build_dir, '-DKORVANE_TESTS=OFF',
                   '-DCMAKE_TOOLCHAIN_FILE=' + os.path.join(SOURCE_DIR, 'cmake/debian11-x86_64.cmake'),
                   '-DKORVANE_SYSROOT=' + TREE, '-DOPENSSL_ROOT_DIR=' + root] + settings
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        output = process.communicate()[0]
        if process.returncode != 0:
            return None, ' '.join(output.split())
        with open(os.path.join(build_dir, 'CMakeCache.txt')) as cache:
            found = re.search(r'^OPENSSL_CRYPTO_LIBRARY:FILEPATH=(.*)$', cache.read(), re.M)
        return found.group(1), output

    def test_prefixes(self):
        for number, (what, runs) in enumerate(ROWS):
            prefix = os.path.join(self.directory, 'prefix%d' % number)
            build_dir = os.path.join(self.directory, 'build%d' % number)
            for parts, root, settings, ending in runs:
                make_prefix(prefix, parts)
                root = root.format(root=prefix, name=os.path.basename(prefix))
                library, output = self.configure(build_dir, root,
                                               [setting.format(root=prefix) for setting in settings])
                how, expected = ending
                if how == 'found' and expected is None:
                    self.assertIsNotNone(library, '%s: %s' % (what, output))
                elif how == 'found':
                    self.assertEqual(library, os.path.join(prefix, expected), '%s: %s' % (what, output))
                elif how == 'configured':
                    self.assertIsNotNone(library, '%s: %s' % (what, output))
                    self.assertRegexpMatches(output, expected, what)
                else:
                    self.assertIsNone(library, '%s: configured with %s' % (what, library))
                    self.assertRegexpMatches(output, expected, what)

if __name__ == '__main__':
    unittest.main()
