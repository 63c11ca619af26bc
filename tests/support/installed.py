"""Checks of an install, run by a package system's own interpreter
(scripts/test-packages); each exits with a message when it fails.

usage: installed.py at MODULE            Korvane.rand imports from MODULE
       installed.py version VERSION       Korvane is VERSION, with LICENSE and
                                         RATIONALE beside it
       installed.py none-left WHAT DIR... WHAT (an uninstall) left nothing in
                                         DIR... that names Korvane, nor an
                                         importable Korvane
       installed.py no-libcrypto DIR     with DIR's libcrypto.so.* removed, the
                                         ImportError says what to install
"""
import glob
import os
import re
import sys


def at(module):
    from Korvane import rand
    if rand.__file__ != module:
        sys.exit('Korvane.rand imports from %s, not %s' % (rand.__file__, module))


def version(expected):
    import Korvane
    from Korvane import rand
    if Korvane.__version__ != expected:
        sys.exit('Korvane is version %s, not %s' % (Korvane.__version__, expected))
    for document in ('LICENSE', 'RATIONALE'):
        if not os.path.isfile(os.path.join(os.path.dirname(rand.__file__), document)):
            sys.exit('no %s beside the module' % document)


def none_left(what, *tops):
    left = []
    for top in tops:
        for directory, subdirectories, files in os.walk(top):
            for name in subdirectories + files:
                path = os.path.join(directory, name)
                if 'korvane' in name.lower() or name.endswith('.pth') and 'korvane' in open(path).read().lower():
                    left.append(path)
    try:
        import Korvane
        left.append('an importable Korvane, ' + Korvane.__file__)
    except ImportError:
        pass
    if left:
        sys.exit('%s left behind: %s' % (what, ', '.join(sorted(set(left)))))


def no_libcrypto(directory):
    for library in glob.glob(os.path.join(directory, 'libcrypto.so.*')):
        os.remove(library)
    try:
        from Korvane import rand
        sys.exit('Korvane.rand imports without a libcrypto: ' + rand.__file__)
    except ImportError as error:
        if not re.search("needs libcrypto: this process has none loaded.*install OpenSSL's libcrypto", str(error)):
            sys.exit('without a libcrypto, the ImportError does not say what to install: %s' % error)


if __name__ == '__main__':
    {'at': at, 'version': version, 'none-left': none_left, 'no-libcrypto': no_libcrypto}[sys.argv[1]](*sys.argv[2:])
