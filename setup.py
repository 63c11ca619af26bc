"""Builds and installs Korvane.rand the way every C extension is built:
distutils' Extension, compiled and linked by the interpreter's own compiler
with its own flags (through setuptools where pip brings it). It needs the
interpreter's headers and a C++11 compiler; no CMake, and no libcrypto: the
module binds to the interpreter's own when it is imported.

    python2.7 -m pip install .       # in a clone or the unpacked tarball
    python3 -m pip install .         # rand.abi3.so, for every Python 3 from 3.6
    python2.7 setup.py install
    python2.7 -m pip install Korvane-1.1.0.tar.gz

The sources, the C++ flags and the export list are the files that the
project's CMake build reads too. Runs under plain distutils, and under
setuptools as old as 0.9.8 (RHEL 7); Python 3.12 and later have no
distutils, and setuptools alone serves there.
"""
import glob
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
EXPORT_MAP = 'src/exports.map'
# On Python 3 the module uses the stable ABI of 3.6 (src/py_compat.h says
# so): one rand.abi3.so for every Python 3 from 3.6 on, in a wheel tagged so.
PYTHON3 = sys.version_info[0] >= 3
LIMITED_API_TAG = 'cp36'
# What every install carries beside the module.
DOCUMENTS = ('LICENSE', 'RATIONALE')


def read_text(name):
    with open(os.path.join(HERE, name)) as document:
        return document.read()


def read_lines(name):
    """The lines of a file of the project, without comments and blank lines."""
    with open(os.path.join(HERE, name)) as listing:
        return [line.strip() for line in listing if line.strip() and not line.startswith('#')]


def dpkg_buildflags_settings():
    """(environment, expression of the flags to drop) with which the project
    takes dpkg-buildflags' hardening, as the CMake build reads them too."""
    environment = dict(os.environ)
    unwanted = None
    for line in read_lines('src/dpkg-buildflags.txt'):
        key, _, value = line.partition(': ')
        if key == 'environment':
            name, _, setting = value.partition('=')
            environment[name] = setting
        elif key == 'drop':
            unwanted = re.compile(value)
    return environment, unwanted


def debian_hardening():
    """(compile flags, link flags) of dpkg-buildflags with every hardening
    feature on, as the project's own builds take them; none where it is not
    installed."""
    environment, unwanted = dpkg_buildflags_settings()
    flags = {}
    for kind in ('CPPFLAGS', 'CXXFLAGS', 'LDFLAGS'):
        try:
            process = subprocess.Popen(['dpkg-buildflags', '--get', kind], env=environment,
                                       stdout=subprocess.PIPE)
        except OSError:
            return [], []
        output = process.communicate()[0]
        if not isinstance(output, str):  # Python 3, which can run sdist
            output = output.decode('ascii', 'replace')
        if process.returncode != 0:
            return [], []
        flags[kind] = [flag for flag in output.split() if not unwanted.match(flag)]
    return flags['CPPFLAGS'] + flags['CXXFLAGS'], flags['LDFLAGS']


def remove_flag(command, flag):
    while flag in command:
        command.remove(flag)


def build_tools():
    """(setup, Extension, the command classes, setuptools' version or None):
    setuptools' where pip brought it, else plain distutils'. Imported only
    to build: the metadata below serves without either (scripts/build-sdist
    and build-wheel read it, also under Python 3)."""
    try:
        from setuptools import Extension, setup
        from setuptools.command.build_ext import build_ext
        from setuptools.command.build_py import build_py
        import setuptools
        version = tuple(int(part) for part in setuptools.__version__.split('.')[:2] if part.isdigit())
    except ImportError:
        try:
            from distutils.core import Extension, setup
            from distutils.command.build_ext import build_ext
            from distutils.command.build_py import build_py
        except ImportError:  # Python 3.12 and later, without setuptools
            sys.exit('Python %d.%d builds C extensions with setuptools alone: install it first '
                     '(pip install setuptools)' % sys.version_info[:2])
        version = None

    class BuildExt(build_ext):
        """build_ext, less two of the interpreter's flags: one that is for C
        alone, and -pthread at the link, which before glibc 2.34 would bind the
        module's open, read and send to libpthread's copies, and have it need
        libpthread, which it does not use. On Python 3 the module is named
        for the stable ABI, rand.abi3.so, as setuptools' py_limited_api
        names it, and as distutils alone does not."""

        def build_extensions(self):
            for command in (self.compiler.compiler_so, self.compiler.compiler):
                remove_flag(command, '-Wstrict-prototypes')
            remove_flag(self.compiler.linker_so, '-pthread')
            build_ext.build_extensions(self)

        def get_ext_filename(self, name):
            filename = build_ext.get_ext_filename(self, name)
            if PYTHON3:
                filename = filename[:-len(filename.split('.', 1)[1])] + 'abi3.so'
            return filename

    class BuildPy(build_py):
        """build_py, which also puts the licence and RATIONALE, to which the
        module's docstring sends its reader, into the package."""

        def document_paths(self):
            return [(os.path.join(HERE, name), os.path.join(self.build_lib, 'Korvane', name))
                    for name in DOCUMENTS]

        def run(self):
            build_py.run(self)
            for source, target in self.document_paths():
                self.copy_file(source, target)

        def get_outputs(self, *args, **kwargs):
            return (build_py.get_outputs(self, *args, **kwargs) +
                    [target for _, target in self.document_paths()])

    return setup, Extension, {'build_ext': BuildExt, 'build_py': BuildPy}, version


def rand_extension(Extension):
    compile_flags, link_flags = debian_hardening()
    # Linked by the C driver, as C: the module needs no C++ runtime. Whether
    # it links libpython is the interpreter's distutils' own choice, as for
    # every extension (Debian's never does).
    link_flags += ['-Wl,--version-script=' + EXPORT_MAP] + read_lines('src/ldflags.txt')
    sources = read_lines('src/sources.txt')
    headers = sorted(glob.glob('src/*.h'))
    return Extension(
        'Korvane.rand',
        sources=sources,
        depends=[EXPORT_MAP, 'src/ldflags.txt', 'src/cxxflags.txt', 'src/dpkg-buildflags.txt'] +
        sources + headers,
        language='c',
        # The loader's calls, in libdl before glibc 2.34 (and in musl's libc).
        libraries=['dl'],
        extra_compile_args=compile_flags + read_lines('src/cxxflags.txt'),
        extra_link_args=link_flags,
    )


# What the wheels and the source distribution say of themselves (the
# Debian package's fields are debian/package's).
METADATA = dict(
    name='Korvane',
    version=read_lines('Korvane/VERSION')[0],
    description="Thin wrappers over libcrypto's pseudo-random number generator",
    long_description=read_text('README.md'),
    license='Apache License 2.0',
    platforms=['Linux'],
    classifiers=[
        'Development Status :: 5 - Production/Stable',
        'Intended Audience :: Developers',
        'License :: OSI Approved :: Apache Software License',
        'Operating System :: POSIX :: Linux',
        'Programming Language :: C++',
        'Programming Language :: Python :: 2',
        'Programming Language :: Python :: 2.7',
        'Programming Language :: Python :: 3',
        'Programming Language :: Python :: Implementation :: CPython',
        'Topic :: Security :: Cryptography',
    ],
)
REQUIRES_PYTHON = '>=2.7, !=3.0.*, !=3.1.*, !=3.2.*, !=3.3.*, !=3.4.*, !=3.5.*'
DESCRIPTION_CONTENT_TYPE = 'text/markdown'


def metadata_text():
    """The metadata file of a wheel (METADATA) and of the source
    distribution (PKG-INFO): its fields, then the README."""
    fields = METADATA
    lines = ['Metadata-Version: 2.1', 'Name: ' + fields['name'], 'Version: ' + fields['version'],
             'Summary: ' + fields['description'], 'License: ' + fields['license']]
    lines += ['Platform: ' + platform for platform in fields['platforms']]
    lines += ['Classifier: ' + classifier for classifier in fields['classifiers']]
    lines += ['Requires-Python: ' + REQUIRES_PYTHON,
              'Description-Content-Type: ' + DESCRIPTION_CONTENT_TYPE]
    return '\n'.join(lines) + '\n\n' + fields['long_description']


if __name__ == '__main__':
    os.chdir(HERE)
    setup, Extension, commands, setuptools_version = build_tools()
    options = dict(METADATA, packages=['Korvane'], package_data={'Korvane': ['VERSION']},
                   ext_modules=[rand_extension(Extension)], cmdclass=commands)
    # Options that plain distutils and old setuptools do not know.
    if setuptools_version is not None:
        options['zip_safe'] = False
        if setuptools_version >= (24, 2):
            options['python_requires'] = REQUIRES_PYTHON
        if setuptools_version >= (38, 6):
            options['long_description_content_type'] = DESCRIPTION_CONTENT_TYPE
        if PYTHON3:
            options['options'] = {'bdist_wheel': {'py_limited_api': LIMITED_API_TAG}}
    setup(**options)
