"""Packaging for pip: `pip install .` with Python 2.7's own pip.

The module is built by the project's CMake build, the one place that knows
its sources, compiler flags and export list; this file only hands it the
interpreter and the directory to build into. CMake reads the rest from the
environment: OPENSSL_ROOT_DIR for another libcrypto, CMAKE_TOOLCHAIN_FILE
(with KORVANE_SYSROOT) for a Debian 11 tree.
"""
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))


class CMakeExtension(Extension):
    def __init__(self, name):
        Extension.__init__(self, name, sources=[])


def cached_source_dir(build_dir):
    """The source directory that an earlier CMake run in build_dir was for."""
    try:
        with open(os.path.join(build_dir, 'CMakeCache.txt')) as cache:
            for line in cache:
                if line.startswith('CMAKE_HOME_DIRECTORY:INTERNAL='):
                    return line.split('=', 1)[1].strip()
    except IOError:
        pass
    return None


class CMakeBuild(build_ext):
    def build_extension(self, extension):
        package_dir = os.path.dirname(os.path.abspath(self.get_ext_fullpath(extension.name)))
        build_dir = os.path.abspath(os.path.join(self.build_temp, 'cmake'))
        # pip copies a checkout, build directory and all, somewhere else:
        # CMake refuses a cache that names another source directory.
        cached = cached_source_dir(build_dir)
        if cached is not None and os.path.realpath(cached) != os.path.realpath(HERE):
            shutil.rmtree(build_dir)
        subprocess.check_call([
            'cmake', '-S', HERE, '-B', build_dir,
            '-DPYTHON_EXECUTABLE=' + sys.executable,
            '-DKORVANE_OUTPUT_DIR=' + package_dir,
            '-DKORVANE_TESTS=OFF',
        ])
        subprocess.check_call(['cmake', '--build', build_dir, '--target', 'rand'])


def version():
    with open(os.path.join(HERE, 'VERSION')) as version_file:
        return version_file.read().strip()


setup(
    name='Korvane',
    version=version(),
    description="Thin wrappers over libcrypto's pseudo-random number generator",
    packages=['Korvane'],
    ext_modules=[CMakeExtension('Korvane.rand')],
    cmdclass={'build_ext': CMakeBuild},
    zip_safe=False,
)
