"""Builds and installs Korvane.rand the way every Python 2.7 C extension is
built: distutils' Extension, compiled and linked by the interpreter's own
compiler with its own flags (through setuptools where pip brings it). It
needs the interpreter's headers, libcrypto's headers and a C++11 compiler;
no CMake.

    python2.7 setup.py install
    python2.7 -m pip install Korvane-1.0.0.tar.gz

Another libcrypto is chosen with build_ext's own options:

    python2.7 setup.py build_ext --include-dirs=/opt/openssl/include \\
        --library-dirs=/opt/openssl/lib --rpath=/opt/openssl/lib install

The sources, the C++ flags and the export list are the files that the
project's CMake build reads too. Runs under plain distutils, and under
setuptools as old as 0.9.8 (RHEL 7).
"""
import os
import subprocess
import sysconfig

try:
    from setuptools import Extension, setup
    from setuptools.command.build_ext import build_ext
    import setuptools
    SETUPTOOLS_VERSION = tuple(int(part) for part in setuptools.__version__.split('.')[:2]
                               if part.isdigit())
except ImportError:
    from distutils.core import Extension, setup
    from distutils.command.build_ext import build_ext
    SETUPTOOLS_VERSION = None

HERE = os.path.dirname(os.path.abspath(__file__))
EXPORT_MAP = 'src/exports.map'


def read_lines(name):
    """The lines of a file of the project, without comments and blank lines."""
    with open(os.path.join(HERE, name)) as listing:
        return [line.strip() for line in listing if line.strip() and not line.startswith('#')]


def interpreter_library():
    """The directory of the interpreter's libpython2.7.so, or None. An
    interpreter built without a shared library (Python's own default, as in
    most installs in /opt) exports the C API from its executable, and the
    module must not link one."""
    setting = sysconfig.get_config_var
    if not setting('Py_ENABLE_SHARED'):
        return None
    library_dir = setting('LIBDIR') or ''
    for directory in (library_dir, os.path.join(library_dir, setting('MULTIARCH') or ''),
                      setting('LIBPL') or ''):
        if os.path.exists(os.path.join(directory, 'libpython2.7.so')):
            return directory
    return None


def debian_hardening():
    """(compile flags, link flags) of dpkg-buildflags with every hardening
    feature on, as the project's own builds take them, without its
    debugging and optimisation flags; none where it is not installed."""
    environment = dict(os.environ, DEB_BUILD_MAINT_OPTIONS='hardening=+all')
    flags = {}
    for kind in ('CPPFLAGS', 'CXXFLAGS', 'LDFLAGS'):
        try:
            process = subprocess.Popen(['dpkg-buildflags', '--get', kind], env=environment,
                                       stdout=subprocess.PIPE)
        except OSError:
            return [], []
        output = process.communicate()[0]
        if process.returncode != 0:
            return [], []
        flags[kind] = [flag for flag in output.split() if flag != '-g' and not flag.startswith('-O')]
    return flags['CPPFLAGS'] + flags['CXXFLAGS'], flags['LDFLAGS']


def remove_flag(command, flag):
    while flag in command:
        command.remove(flag)


class BuildExt(build_ext):
    """build_ext, with libpython's directory searched after those the user
    gives (--library-dirs): it is often the system's own library directory,
    which must not hide the libcrypto of another prefix. Less two of the
    interpreter's flags: one that is for C alone, and -pthread at the link,
    which before glibc 2.34 would bind the module's open, read and send to
    libpthread's copies, and have it need libpthread, which it does not
    use."""

    def finalize_options(self):
        build_ext.finalize_options(self)
        if LIBPYTHON_DIR is not None:
            self.library_dirs.append(LIBPYTHON_DIR)

    def build_extensions(self):
        for command in (self.compiler.compiler_so, self.compiler.compiler):
            remove_flag(command, '-Wstrict-prototypes')
        remove_flag(self.compiler.linker_so, '-pthread')
        build_ext.build_extensions(self)


def rand_extension():
    compile_flags, link_flags = debian_hardening()
    # Linked by the C driver, as C: the module needs no C++ runtime. With
    # libpython linked, -z defs turns any symbol that would need one into a
    # link error. --as-needed, as in the CMake build: the module needs only
    # the libraries it uses.
    link_flags += ['-Wl,--version-script=' + EXPORT_MAP, '-Wl,--as-needed']
    libraries = ['crypto']
    if LIBPYTHON_DIR is not None:
        libraries.append('python2.7')
        link_flags.append('-Wl,-z,defs')
    sources = read_lines('src/sources.txt')
    return Extension(
        'Korvane.rand',
        sources=sources,
        depends=[EXPORT_MAP] + sources,
        language='c',
        libraries=libraries,
        extra_compile_args=compile_flags + read_lines('src/cxxflags.txt'),
        extra_link_args=link_flags,
    )


# What the wheels and the source distribution say of themselves (the
# Debian packages' fields are debian/control's).
METADATA = dict(
    name='Korvane',
    version=read_lines('VERSION')[0],
    description="Thin wrappers over libcrypto's pseudo-random number generator",
    license='Apache License 2.0',
    platforms=['Linux'],
    classifiers=[
        'Development Status :: 5 - Production/Stable',
        'Intended Audience :: Developers',
        'License :: OSI Approved :: Apache Software License',
        'Operating System :: POSIX :: Linux',
        'Programming Language :: C++',
        'Programming Language :: Python :: 2',
        'Programming Language :: Python :: 2 :: Only',
        'Programming Language :: Python :: 2.7',
        'Programming Language :: Python :: Implementation :: CPython',
        'Topic :: Security :: Cryptography',
    ],
)
REQUIRES_PYTHON = '>=2.7, <3'

if __name__ == '__main__':
    LIBPYTHON_DIR = interpreter_library()
    os.chdir(HERE)
    options = dict(METADATA, packages=['Korvane'], ext_modules=[rand_extension()],
                   cmdclass={'build_ext': BuildExt})
    # Options that plain distutils and old setuptools do not know.
    if SETUPTOOLS_VERSION is not None:
        options['zip_safe'] = False
        if SETUPTOOLS_VERSION >= (24, 2):
            options['python_requires'] = REQUIRES_PYTHON
    setup(**options)
