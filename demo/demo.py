"""A short tour of Korvane.rand: run by `make demo`, or as
`python2.7 demo/demo.py` once the module is built in the checkout
(`make build`, or `python2.7 setup.py build_ext -i`)."""
import os
import shutil
import sys
import tempfile

# The checkout, where the module is built, and its tests' fixtures.
CHECKOUT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [CHECKOUT, os.path.join(CHECKOUT, 'tests')]

import Korvane  # noqa: E402
from Korvane import rand  # noqa: E402
from support import crypto, egd_daemon  # noqa: E402  (a local daemon, in a child process)


def say(what, result):
    print('%-58s %r' % (what, result))


print('Korvane.rand %s, loaded from %s' % (Korvane.__version__, rand.__file__))
print('by Python %s (%s), with %s\n' % (sys.version.split()[0], sys.executable, crypto.VERSION_TEXT))
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
    say('%d random bytes from bytes(), in hex' % count, rand.bytes(count).encode('hex'))
say('bytes(0) gives the empty string', rand.bytes(0))
try:
    rand.bytes(-1)
except ValueError as error:
    say('bytes(-1) raises ValueError', str(error))
say('Failures of the PRNG are raised as', rand.Error)
