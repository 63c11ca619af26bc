"""The entropy gathering daemon: the exchange with well-behaved and hostile daemons."""
import os
import shutil
import socket
import tempfile
import unittest

from support import crypto, egd_daemon, open_fds, rand
from support.egd_daemon import data, reply

# (what happens, bytes asked for, the daemon's answers, result, bytes mixed
# in, requests the daemon saw). Requests are the command byte 1 and the
# number wanted; None for answers: the daemon accepts and closes.
SCENARIOS = [
    ('default request is 255', None, [reply(255)], 255, [data(255)], '\x01\xff'),
    ('large requests go in pieces', 300, [reply(255), reply(45)], 300, [data(255), data(45)],
     '\x01\xff\x01\x2d'),
    ('short replies are asked again', 10, [reply(4), reply(6)], 10, [data(4), data(6)],
     '\x01\x0a\x01\x06'),
    ('zero count ends the exchange', 10, [reply(4), reply(0)], 4, [data(4)], '\x01\x0a\x01\x06'),
    ('zero count at once', 10, [reply(0)], 0, [], '\x01\x0a'),
    ('accepts and closes', 10, None, 0, [], ''),
    ('hangs up before the count', 10, [''], 0, [], '\x01\x0a'),
    ('hangs up mid-reply', 10, [reply(10, data(5))], 0, [], '\x01\x0a'),
    ('hangs up after a whole reply', 20, [reply(10)], 10, [data(10)], '\x01\x14'),
    ('count above what was asked', 5, [reply(6)], 0, [], '\x01\x05'),
    ('count above after a good reply', 20, [reply(10), reply(11)], 10, [data(10)],
     '\x01\x14\x01\x0a'),
    ('garbage after the reply', 5, [reply(5) + 'garbage'], 5, [data(5)], '\x01\x05'),
    ('zero bytes asked', 0, [reply(5)], 0, [], ''),
    ('negative bytes asked', -7, [reply(5)], 0, [], ''),
]


# sun_path holds 108 bytes, the terminating NUL included.
LONGEST_SOCKET_PATH = 107


def egd(path, asked):
    return rand.egd(path) if asked is None else rand.egd(path, asked)


class DaemonExchangeTest(unittest.TestCase):

    def run_scenario(self, answers, asked, drip=False, prng=None):
        prng = prng or crypto.FakePrng()
        fds = open_fds()
        with egd_daemon.running(answers, drip=drip) as daemon:
            with crypto.installed(prng):
                result = egd(daemon.path, asked)
        self.assertEqual(open_fds(), fds, 'a descriptor was left open')
        self.assertIs(type(result), long)
        return result, prng.seeded, daemon.requests

    def test_scenarios(self):
        for what, asked, answers, result, mixed_in, requests in SCENARIOS:
            self.assertEqual(self.run_scenario(answers, asked), (result, mixed_in, requests), what)

    def test_drip_fed_replies_are_read_whole(self):
        self.assertEqual(self.run_scenario([reply(3), reply(7)], 10, drip=True),
                         (10, [data(3), data(7)], '\x01\x0a\x01\x07'))

    def test_nothing_counts_while_the_prng_is_unseeded(self):
        result, mixed_in, _ = self.run_scenario([reply(8)], 8, prng=crypto.FakePrng(status=0))
        self.assertEqual((result, mixed_in), (0, [data(8)]))

    def test_real_prng_takes_the_bytes(self):
        with egd_daemon.running([reply(255)]) as daemon:
            self.assertEqual(rand.egd(daemon.path), 255)


class UnreachableDaemonTest(unittest.TestCase):

    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix='egd-')

    def tearDown(self):
        shutil.rmtree(self.directory)

    def assert_no_exchange(self, path):
        fds = open_fds()
        self.assertEqual(repr(rand.egd(path)), '0L', path)
        self.assertEqual(open_fds(), fds, path)

    def test_paths_without_a_daemon_give_zero(self):
        regular_file = os.path.join(self.directory, 'file')
        open(regular_file, 'w').close()
        bound_but_closed = os.path.join(self.directory, 'stale')
        stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        stale.bind(bound_but_closed)
        stale.close()
        for path in [os.path.join(self.directory, 'missing'), regular_file, self.directory,
                     bound_but_closed, '']:
            self.assert_no_exchange(path)

    def test_longest_path_that_fits_a_socket_address_works(self):
        with egd_daemon.running([reply(255)], path_length=LONGEST_SOCKET_PATH) as daemon:
            self.assertEqual(rand.egd(daemon.path), 255)

    def test_overlong_path_is_not_truncated_to_another_socket(self):
        with egd_daemon.running([reply(255)], path_length=LONGEST_SOCKET_PATH) as daemon:
            # Cut to fit the address, this path would name the daemon's socket.
            self.assert_no_exchange(daemon.path + 'tail')
        self.assertFalse(daemon.connected)


if __name__ == '__main__':
    unittest.main()
