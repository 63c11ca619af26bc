"""A short tour of Korvane.rand: run by `make demo`, or as
`python2.7 demo/demo.py` (or python3), against the module built in this
checkout (`make build`, or `python2.7 setup.py build_ext -i`) if there is
one, else against the one installed for this interpreter."""
import binascii
import os
import shutil
import sys
import tempfile

# The checkout, and its tests' fixtures (a local daemon, in a child
# process, and the libcrypto binding), which find the module: the
# checkout's build, or the installed one.
CHECKOUT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON, MODULE = ('python3', 'rand.abi3.so') if sys.version_info[0] >= 3 else ('python2.7', 'rand.so')
BUILT_HERE = os.path.exists(os.path.join(CHECKOUT, 'Korvane', MODULE))
os.environ.setdefault('KORVANE_BUILD_DIR', CHECKOUT if BUILT_HERE else 'installed')
sys.path.insert(0, os.path.join(CHECKOUT, 'tests'))
try:
    from support import crypto, egd_daemon  # noqa: E402
except ImportError as error:
    sys.exit('Korvane.rand is neither built in this checkout nor installed (%s): install it with\n'
             '    %s -m pip install .\n'
             'or build it in place with\n'
             '    %s setup.py build_ext -i' % (error, PYTHON, PYTHON))
import Korvane  # noqa: E402
from Korvane import rand  # noqa: E402


def say(what, result):
    print('%-58s %r' % (what, result))


def hexadecimal(data):
    return str(binascii.hexlify(data).decode('ascii'))


print('Korvane.rand %s, loaded from %s' % (Korvane.__version__, rand.__file__))
print('by Python %s (%s),' % (sys.version.split()[0], sys.executable))
print('bound to the libcrypto the interpreter uses: %s, %s\n' % (crypto.VERSION_TEXT, crypto.lib._name))
say('Is the PRNG seeded enough? status() gives', rand.status())
say('Mixing in 32 caller bytes with 4 bytes of entropy: add()', rand.add(os.urandom(32), 4.0))
say('Mixing in 16 bytes counted as all entropy: seed()', rand.seed(os.urandom(16)))

directory = tempfile.mkdtemp(prefix='korvane-demo-')
try:
    seed_file = os.path.join(directory, 'seed')
    say('Saving the PRNG state to a seed file: write_file() wrote', rand.write_file(seed_file))
    say('Loading it back: load_file() read', rand.load_file(seed_file))
    say('Loading only 100 bytes of it: load_file(name, 100) read', rand.load_file(seed_file, 100))
    say('A seed file that cannot be written: write_file() gives', rand.write_file(directory + '/no/seed'))
finally:
    shutil.rmtree(directory)

with egd_daemon.running([egd_daemon.reply(64)]) as daemon:
    say('Asking a local entropy daemon for 64 bytes: egd() got', rand.egd(daemon.path, 64))
say('Asking a daemon that is not there: egd() gives', rand.egd('/nonexistent/egd-socket'))

print('')
for count in (16, 32):
    say('%d random bytes from bytes(), in hex' % count, hexadecimal(rand.bytes(count)))
say('bytes(0) gives the empty string', rand.bytes(0))
try:
    rand.bytes(-1)
except ValueError as error:
    say('bytes(-1) raises ValueError', str(error))
say('Failures of the PRNG are raised as', rand.Error)


def drawn_in_a_child():
    """What a forked child draws first: its own bytes, not its parent's."""
    read_end, write_end = os.pipe()
    child = os.fork()
    if child == 0:
        os.write(write_end, rand.bytes(16))
        os._exit(0)
    os.close(write_end)
    os.waitpid(child, 0)
    with os.fdopen(read_end, 'rb') as pipe:
        return pipe.read()


first, second = drawn_in_a_child(), drawn_in_a_child()
say('Two forked children each draw 16 bytes, in hex', (hexadecimal(first), hexadecimal(second)))
say('Do they differ?', first != second)

print('')
say('Erasing the state (a no-op from libcrypto 1.1): cleanup()', rand.cleanup())
say('Drawing after it: bytes(16), in hex', hexadecimal(rand.bytes(16)))
