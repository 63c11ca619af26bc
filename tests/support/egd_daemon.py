"""An entropy gathering daemon in a child process, well-behaved or hostile.

The module holds the interpreter lock for the whole exchange, so the daemon
cannot be a thread of the calling process.
"""
import contextlib
import errno
import os
import select
import shutil
import signal
import socket
import tempfile
import time

from support import pickle

# An answer that never comes: the daemon reads the request and then waits
# for the client to hang up.
SILENT = object()
# The moment the client waits in connect for room in the daemon's full
# backlog, for signal_client.
CONNECTING = object()


def data(length, start=0):
    """Recognisable daemon output: the bytes start, start+1, ... modulo 256."""
    return bytes(bytearray((start + i) % 256 for i in range(length)))


def reply(count, payload=None):
    """A count byte and, unless given, `count` bytes of data."""
    return bytes(bytearray([count])) + (data(count) if payload is None else payload)


def _read_exactly(connection, length):
    received = b''
    while len(received) < length:
        chunk = connection.recv(length - len(received))
        if not chunk:
            break
        received += chunk
    return received


def _socket_flags(pid):
    """{fd: open flags} of each socket that process `pid` has open."""
    flags = {}
    for fd in os.listdir('/proc/%d/fd' % pid):
        try:
            if not os.readlink('/proc/%d/fd/%s' % (pid, fd)).startswith('socket:'):
                continue
            with open('/proc/%d/fdinfo/%s' % (pid, fd)) as info:
                for line in info:
                    if line.startswith('flags:'):
                        flags[fd] = int(line.split()[1], 8)
        except (IOError, OSError):
            pass  # closed while we looked
    return flags


def _serve(connection, answers, drip, client_pid, signal_client, report):
    """Answers each request with the next of `answers`, then hangs up.

    Fills `report` with the requests received, as a string of their bytes,
    and the client's socket flags as they were while it waited for its
    first answer.
    """
    requests = b''
    for number, answer in enumerate(answers, 1):
        request = _read_exactly(connection, 2)
        requests += request
        report['requests'] = requests
        if 'client_socket_flags' not in report:
            report['client_socket_flags'] = _socket_flags(client_pid)
        if len(request) < 2:
            break
        if signal_client and signal_client[0] == number:
            os.kill(client_pid, signal_client[1])
        if answer is SILENT:
            connection.recv(1)
            break
        if drip:
            for at in range(len(answer)):
                connection.sendall(answer[at:at + 1])
                # A client that hangs up meanwhile ends the drip.
                if select.select([connection], [], [], drip)[0]:
                    break
        else:
            connection.sendall(answer)


class Daemon(object):
    """What the test sees of a daemon: its socket path and, once it has been
    stopped, whether a client connected, the requests it received and the
    open flags of the client's sockets ({fd: flags}) while it waited."""

    def __init__(self, path):
        self.path = path
        self.connected = False
        self.requests = b''
        self.client_socket_flags = {}


def _fill_backlog(path):
    """Client sockets that connect to `path` until its listener's backlog
    is full, so that the next client's connect waits."""
    fillers = []
    try:
        while True:
            filler = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            fillers.append(filler)
            filler.setblocking(False)
            filler.connect(path)
    except socket.error:
        fillers.pop().close()
    return fillers


def _wait_for_connect(pid, stop):
    """Waits until process `pid` waits in connect for room in a full
    backlog, as the kernel names where it sleeps; False if `stop` became
    readable first."""
    while True:
        with open('/proc/%d/wchan' % pid) as wchan:
            if wchan.read() == 'unix_wait_for_peer':
                return True
        if select.select([stop], [], [], 0.001)[0]:
            return False


def _await_client(listener, fillers, busy_for, signal_client, client_pid, stop):
    """Waits until the client has connected, and releases the backlog that
    `fillers` keep full first; False if `stop` became readable first."""
    if fillers:
        if signal_client and signal_client[0] is CONNECTING:
            if not _wait_for_connect(client_pid, stop):
                return False
            os.kill(client_pid, signal_client[1])
        if select.select([stop], [], [], busy_for or 0)[0]:
            return False
        for _ in fillers:
            listener.accept()[0].close()
    # A client that connected is in the backlog by the time the test stops
    # the daemon.
    return listener in select.select([listener, stop], [], [])[0]


@contextlib.contextmanager
def running(answers=None, drip=None, path_length=None, busy_for=None, signal_client=None):
    """Yields a Daemon that serves one client in a child process.

    `answers` lists what it sends back to each request, in order (None: it
    accepts and closes at once; SILENT: it never answers); `drip` sends
    them a byte per write, that many seconds apart;
    `path_length` makes the socket's path exactly that long;
    `busy_for` keeps its backlog full for that many seconds, so that a
    client's connect waits that long;
    `signal_client`, a (moment, signal number) pair, sends the client's
    process that signal once the daemon has read request number `moment`
    (1 for the first), before it answers; or, with CONNECTING, once the
    client waits in connect for room in the daemon's backlog, which stays
    full until then (and for `busy_for` seconds after).
    """
    directory = tempfile.mkdtemp(prefix='egd-')
    name = 'socket'
    if path_length is not None:
        name = 's' * (path_length - len(directory) - 1)
    daemon = Daemon(os.path.join(directory, name))
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    # Bound by its name within the directory: Python refuses a path that
    # fills the whole socket address, but clients may still try one.
    here = os.getcwd()
    os.chdir(directory)
    try:
        listener.bind(name)
    finally:
        os.chdir(here)
    listener.listen(1)
    waits_in_connect = signal_client is not None and signal_client[0] is CONNECTING
    fillers = _fill_backlog(daemon.path) if busy_for or waits_in_connect else []
    report_read, report_write = os.pipe()
    stop_read, stop_write = os.pipe()
    client_pid = os.getpid()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(report_read)
            os.close(stop_write)
            if _await_client(listener, fillers, busy_for, signal_client, client_pid, stop_read):
                connection, _ = listener.accept()
                os.write(report_write, b'C')
                report = {}
                _serve(connection, answers or (), drip, client_pid, signal_client, report)
                connection.close()
                os.write(report_write, pickle.dumps(report))
            status = 0
        finally:
            os._exit(status)
    listener.close()
    os.close(report_write)
    os.close(stop_read)
    try:
        yield daemon
    finally:
        _stop(pid, stop_write)
        for filler in fillers:
            filler.close()
        with os.fdopen(report_read, 'rb') as report:
            log = report.read()
        daemon.connected = log.startswith(b'C')
        if log[1:]:
            report = pickle.loads(log[1:])
            daemon.requests = report.get('requests', b'')
            daemon.client_socket_flags = report.get('client_socket_flags', {})
        shutil.rmtree(directory)


# Seconds the daemon may take to finish once the test is done with it. A
# working one takes milliseconds, also under an emulator; one that never
# got going (a child that an emulator deadlocked in fork) is killed, and
# its report is then empty, which the rows that need the daemon notice.
FINISH_LIMIT = 30


def _stop(pid, stop):
    """Tells the daemon that the test is done with it, and waits until it
    has finished with its client, or has seen that none connected."""
    os.close(stop)
    deadline = time.time() + FINISH_LIMIT
    while time.time() < deadline:
        if _reaped(pid, os.WNOHANG):
            return
        time.sleep(0.005)
    os.kill(pid, signal.SIGKILL)
    _reaped(pid, 0)


def _reaped(pid, options):
    """waitpid, retried when a test's timer signal interrupts it."""
    while True:
        try:
            return os.waitpid(pid, options)[0] == pid
        except OSError as error:
            if error.errno != errno.EINTR:
                raise
