"""The entropy gathering daemon: the exchange with well-behaved and hostile daemons."""
import contextlib
import ctypes
import os
import select
import shutil
import signal
import socket
import tempfile
import time
import unittest

from support import LONG, Forked, crypto, egd_daemon, file_names, monotonic, open_fds, rand, workers
from support.egd_daemon import CONNECTING, SILENT, data, reply

# (what happens, bytes asked for, the daemon's answers, result, bytes mixed
# in, requests the daemon saw). Requests are the command byte 1 and the
# number wanted; None for answers: the daemon accepts and closes. A daemon
# with answers to spare shows that no further request came.
SCENARIOS = [
    ('default request is 255', None, [reply(255), reply(0)], 255, [data(255)], b'\x01\xff'),
    ('large requests go in pieces', 300, [reply(255), reply(45)], 300, [data(255), data(45)],
     b'\x01\xff\x01\x2d'),
    ('short replies are asked again', 10, [reply(4), reply(6)], 10, [data(4), data(6)],
     b'\x01\x0a\x01\x06'),
    ('zero count ends the exchange', 10, [reply(4), reply(0)], 4, [data(4)], b'\x01\x0a\x01\x06'),
    ('zero count at once', 10, [reply(0)], 0, [], b'\x01\x0a'),
    ('accepts and closes', 10, None, 0, [], b''),
    ('hangs up before the count', 10, [b''], 0, [], b'\x01\x0a'),
    ('hangs up mid-reply', 10, [reply(10, data(5))], 0, [], b'\x01\x0a'),
    ('hangs up after a whole reply', 20, [reply(10)], 10, [data(10)], b'\x01\x14'),
    ('count above what was asked', 5, [reply(6)], 0, [], b'\x01\x05'),
    ('count above after a good reply', 20, [reply(10), reply(11)], 10, [data(10)],
     b'\x01\x14\x01\x0a'),
    ('garbage after the reply', 5, [reply(5) + b'garbage'], 5, [data(5)], b'\x01\x05'),
    ('zero bytes asked', 0, [reply(5)], 0, [], b''),
    ('negative bytes asked', -7, [reply(5)], 0, [], b''),
]


# Seconds after which the client leaves a daemon, however it answers.
STALL_LIMIT = 10
# Seconds between the bytes of a daemon that drips its replies.
DRIP = 0.002
# sun_path holds 108 bytes, the terminating NUL included.
LONGEST_SOCKET_PATH = 107
# The same on x86-64 and ARM Linux; Python 2.7's os module lacks it.
O_CLOEXEC = 0o2000000


def egd(path, asked):
    return rand.egd(path) if asked is None else rand.egd(path, asked)


class Timeout(Exception):
    pass


def raise_timeout(signal_number, frame):
    raise Timeout()


@contextlib.contextmanager
def timer_signals(handler, first=0, interval=0):
    """SIGALRM to `handler`, from a daemon that sends it or, if `first` is
    not 0, from a timer after `first` seconds, then every `interval`."""
    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, first, interval)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


class PrngAfterHangUp(crypto.FakePrng):
    """Takes each reply only once the daemon has hung up (the socket that
    the exchange opened reads as at its end), so that the next request
    meets a closed connection."""

    def __init__(self):
        crypto.FakePrng.__init__(self)
        self.fds = open_fds()

    def _seed(self, buffer, length):
        for fd in open_fds() - self.fds:
            select.select([int(fd)], [], [])
        return crypto.FakePrng._seed(self, buffer, length)


def silent_daemon():
    """A daemon that sends SIGALRM once it has the request, and never answers."""
    return egd_daemon.running([SILENT], signal_client=(1, signal.SIGALRM))


def full_backlog(**options):
    """A daemon whose backlog stays full, so that connecting to it waits."""
    return egd_daemon.running([reply(255)], busy_for=60, **options)


def full_backlog_sending_sigalrm():
    """A daemon whose backlog stays full, that sends SIGALRM once the
    client waits for room in it."""
    return full_backlog(signal_client=(CONNECTING, signal.SIGALRM))


@contextlib.contextmanager
def signal_while_a_reply_is_mixed_in():
    """A daemon that gives one short reply and then never answers again,
    and a PRNG that raises SIGINT while that reply is mixed in. Its seed
    function is C code, the interpreter's own PyErr_SetInterrupt, so that
    no Python runs (and no handler with it) until the module asks."""
    interrupting = crypto.FakePrng(seed_function=ctypes.pythonapi.PyErr_SetInterrupt)
    previous = signal.signal(signal.SIGINT, raise_timeout)
    try:
        with egd_daemon.running([reply(4), SILENT]) as daemon:
            with crypto.installed(interrupting):
                yield daemon
    finally:
        signal.signal(signal.SIGINT, previous)


# The rows of the two tests that run in child processes, from setUpClass.
# Under a quiet SIGALRM handler: (what happens, daemon options, SIGALRM's
# timer, seconds its handler sleeps, outcome of asking for 10 bytes of a
# daemon with two replies):
BOTH_REPLIES = (10, [data(3), data(7)], b'\x01\x0a\x01\x07')
QUIET_HANDLERS = [
    ('replies drip in', {'drip': DRIP}, (0.001, 0.001), 0, BOTH_REPLIES),
    ('connect waits for a full backlog', {'signal_client': (CONNECTING, signal.SIGALRM)}, (), 0,
     BOTH_REPLIES),
    ('a handler outlasts the stall limit in the last answer',
     {'drip': 0.02, 'signal_client': (2, signal.SIGALRM)}, (), STALL_LIMIT + 1, BOTH_REPLIES),
    ('a handler outlasts the stall limit before the last request',
     {'signal_client': (1, signal.SIGALRM)}, (), STALL_LIMIT + 1, (3, [data(3)], b'\x01\x0a')),
]
# On a worker thread: (what happens, the stalled daemon, result, bytes
# mixed in, requests):
STALLS_ON_A_WORKER = [
    ('silent after a reply', lambda: egd_daemon.running([reply(4), SILENT]), 4, [data(4)],
     b'\x01\xff\x01\xfb'),
    ('connection waits for a full backlog', full_backlog, 0, [], b''),
    ('trickles a byte every 3 s', lambda: egd_daemon.running([reply(255)], drip=3), 0, [],
     b'\x01\xff'),
]


class DaemonExchangeTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        # The rows that wait out the stall limit run at once, each in a
        # child process of its own, while the other tests go on: in this
        # process they would take turns (an exchange holds the interpreter
        # lock, a sleeping handler the main thread), a minute in all. The
        # children make the rows' checks on a case of their own; the tests
        # collect their outcomes.
        case = cls('run_scenario')
        cls.under_quiet_handlers = [Forked(case.check_an_exchange_under_a_quiet_handler, *row)
                                    for row in QUIET_HANDLERS]
        cls.stalled_on_a_worker = [Forked(case.check_a_stall_on_a_worker, *row)
                                   for row in STALLS_ON_A_WORKER]

    @classmethod
    def tearDownClass(cls):
        for row in cls.under_quiet_handlers + cls.stalled_on_a_worker:
            row.wait()

    def run_scenario(self, answers, asked, prng=None, **daemon_options):
        prng = prng or crypto.FakePrng()
        fds = open_fds()
        with egd_daemon.running(answers, **daemon_options) as daemon:
            with crypto.installed(prng):
                result = egd(daemon.path, asked)
        self.assertEqual(open_fds(), fds, 'a descriptor was left open')
        self.assertIs(type(result), LONG)
        return result, prng.seeded, daemon.requests

    def test_scenarios(self):
        for what, asked, answers, result, mixed_in, requests in SCENARIOS:
            self.assertEqual(self.run_scenario(answers, asked), (result, mixed_in, requests), what)

    def test_drip_fed_replies_are_read_whole(self):
        self.assertEqual(self.run_scenario([reply(3), reply(7)], 10, drip=DRIP),
                         (10, [data(3), data(7)], b'\x01\x0a\x01\x07'))

    def test_quiet_signal_handlers_do_not_cut_the_exchange_short(self):
        # Interrupted calls, connect among them, are retried once the
        # handler has run. A handler that runs past the stall limit in the
        # middle of the answer leaves it complete in the socket: it counts.
        # But no request goes out once the limit has passed, though the
        # daemon has answers to spare. SIGALRM comes from a timer, or from
        # the daemon at the moment named.
        for row in self.under_quiet_handlers:
            row.result()

    def check_an_exchange_under_a_quiet_handler(self, what, daemon_options, timer, pause,
                                                outcome):
        fired = []

        def handler(*_):
            fired.append(1)
            time.sleep(pause)

        with timer_signals(handler, *timer):
            self.assertEqual(self.run_scenario([reply(3), reply(7)], 10, **daemon_options),
                             outcome, what)
        self.assertTrue(fired, what)

    def test_a_raising_signal_handler_ends_a_stalled_exchange(self):
        # (what, the stall, requests the daemon saw): the daemon sends
        # SIGALRM while the client waits on it; in the last row the signal
        # comes from the PRNG. The exchange ends then, well before the stall
        # limit would end it, and no request may follow the signal.
        for what, stalled, requests in [
                ('daemon never answers', silent_daemon, b'\x01\xff'),
                ('connection waits for a full backlog', full_backlog_sending_sigalrm, b''),
                ('signal while a reply is mixed in', signal_while_a_reply_is_mixed_in,
                 b'\x01\xff')]:
            with stalled() as daemon:
                fds = open_fds()
                started = monotonic()
                with timer_signals(raise_timeout):
                    self.assertRaises(Timeout, rand.egd, daemon.path)
                self.assertLess(monotonic() - started, STALL_LIMIT / 2.0, what)
                self.assertEqual(open_fds(), fds, what)
            self.assertEqual(daemon.requests, requests, what)

    def test_a_stalled_daemon_is_left_at_the_stall_limit_on_any_thread(self):
        # Signal handlers run only on the main thread: on a worker, nothing
        # but the limit ends the wait, which is one for the whole exchange,
        # however the daemon dribbles. What was mixed in still counts.
        for row in self.stalled_on_a_worker:
            row.result()

    def check_a_stall_on_a_worker(self, what, stalled, result, mixed_in, requests):
        outcome = []

        def query():
            started = monotonic()
            outcome.append(rand.egd(daemon.path))
            outcome.append(monotonic() - started)

        fds = open_fds()
        with stalled() as daemon:
            with crypto.installed(crypto.FakePrng()) as prng:
                with workers(query):
                    pass
        self.assertEqual((outcome[0], prng.seeded, daemon.requests),
                         (result, mixed_in, requests), what)
        self.assertTrue(STALL_LIMIT - 0.5 < outcome[1] < STALL_LIMIT + 5, (what, outcome))
        self.assertEqual(open_fds(), fds, what)

    def test_a_daemon_hanging_up_cannot_kill_the_process(self):
        # A program that embeds the interpreter may leave SIGPIPE at its
        # default action, which ends the process.
        with egd_daemon.running([reply(10)]) as daemon:
            result_read, result_write = os.pipe()
            pid = os.fork()
            if pid == 0:
                try:
                    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
                    with crypto.installed(PrngAfterHangUp()):
                        os.write(result_write, repr(rand.egd(daemon.path, 20)).encode())
                finally:
                    os._exit(0)
            os.close(result_write)
            _, status = os.waitpid(pid, 0)
            with os.fdopen(result_read) as result:
                self.assertEqual((status, result.read()), (0, repr(LONG(10))))

    def test_the_socket_is_not_inherited_by_programs_the_process_starts(self):
        fds = open_fds()
        with egd_daemon.running([reply(8)]) as daemon:
            rand.egd(daemon.path, 8)
        client = [flags for fd, flags in daemon.client_socket_flags.items() if fd not in fds]
        self.assertEqual(len(client), 1, daemon.client_socket_flags)
        self.assertTrue(client[0] & O_CLOEXEC, oct(client[0]))

    def test_nothing_counts_while_the_prng_is_unseeded(self):
        result, mixed_in, _ = self.run_scenario([reply(8)], 8, prng=crypto.FakePrng(status=0))
        self.assertEqual((result, mixed_in), (0, [data(8)]))

    def test_real_prng_takes_the_bytes(self):
        # Whatever form the socket's name is given in.
        for form in range(len(file_names('/'))):
            with egd_daemon.running([reply(255)]) as daemon:
                path = file_names(daemon.path)[form]
                self.assertEqual(rand.egd(path), 255, repr(path))


class UnreachableDaemonTest(unittest.TestCase):

    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix='egd-')

    def tearDown(self):
        shutil.rmtree(self.directory)

    def assert_no_exchange(self, path):
        fds = open_fds()
        result = rand.egd(path)
        self.assertEqual((type(result), result), (LONG, 0), path)
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

    def test_paths_are_used_whole_or_not_at_all(self):
        # (daemon's path length, what the client adds to it, result): a path
        # that leaves no room for the NUL, or one cut to fit the address,
        # would name some other socket.
        for length, tail, result in [(LONGEST_SOCKET_PATH, '', 255),
                                     (LONGEST_SOCKET_PATH + 1, '', 0),
                                     (LONGEST_SOCKET_PATH, 'tail', 0)]:
            with egd_daemon.running([reply(255)], path_length=length) as daemon:
                fds = open_fds()
                self.assertEqual(rand.egd(daemon.path + tail), result, (length, tail))
                self.assertEqual(open_fds(), fds)
            self.assertEqual(daemon.connected, result > 0, (length, tail))


if __name__ == '__main__':
    unittest.main()
