"""An entropy gathering daemon in a child process, well-behaved or hostile.

The module holds the interpreter lock for the whole exchange, so the daemon
cannot be a thread of the calling process.
"""
import contextlib
import cPickle
import errno
import os
import select
import shutil
import signal
import socket
import tempfile
import time

# An answer that never comes: the daemon reads the request and then waits
# for the client to hang up.
SILENT = object()


def data(length, start=0):
    """Recognisable daemon output: the bytes start, start+1, ... modulo 256."""
    return ''.join(chr((start + i) % 256) for i in range(length))


def reply(count, payload=None):
    """A count byte and, unless given, `count` bytes of data."""
    return chr(count) + (data(count) if payload is None else payload)


def _read_exactly(connection, length):
    received = ''
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


def _serve(connection, answers, drip, client_pid, report):
    """Answers each request with the next of `answers`, then hangs up.

    Fills `report` with the requests received, as a string of their bytes,
    and the client's socket flags as they were while it waited for its
    first answer.
    """
    requests = ''
    for answer in answers:
        request = _read_exactly(connection, 2)
        requests += request
        report['requests'] = requests
        if 'client_socket_flags' not in report:
            report['client_socket_flags'] = _socket_flags(client_pid)
        if len(request) < 2:
            break
        if answer is SILENT:
            connection.recv(1)
            break
        if drip:
            for byte in answer:
                connection.sendall(byte)
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
        self.requests = ''
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


@contextlib.contextmanager
def running(answers=None, drip=None, path_length=None, busy_for=None):
    """Yields a Daemon that serves one client in a child process.

    `answers` lists what it sends back to each request, in order (None: it
    accepts and closes at once; SILENT: it never answers); `drip` sends
    them a byte per write, that many seconds apart;
    `path_length` makes the socket's path exactly that long;
    `busy_for` keeps its backlog full for that many seconds, so that a
    client's connect waits that long.
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
    fillers = _fill_backlog(daemon.path) if busy_for else []
    report_read, report_write = os.pipe()
    client_pid = os.getpid()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(report_read)
            if fillers:
                time.sleep(busy_for)
                for _ in fillers:
                    listener.accept()[0].close()
            connection, _ = listener.accept()
            os.write(report_write, 'C')
            report = {}
            _serve(connection, answers or (), drip, client_pid, report)
            connection.close()
            os.write(report_write, cPickle.dumps(report))
            status = 0
        finally:
            os._exit(status)
    listener.close()
    os.close(report_write)
    try:
        yield daemon
    finally:
        _stop(pid)
        for filler in fillers:
            filler.close()
        with os.fdopen(report_read) as report:
            log = report.read()
        daemon.connected = log.startswith('C')
        if log[1:]:
            report = cPickle.loads(log[1:])
            daemon.requests = report.get('requests', '')
            daemon.client_socket_flags = report.get('client_socket_flags', {})
        shutil.rmtree(directory)


def _stop(pid):
    """Gives the daemon a moment to finish with its client, then ends it (a
    daemon that was never connected to waits in accept)."""
    deadline = time.time() + 1
    while time.time() < deadline:
        done, _ = os.waitpid(pid, os.WNOHANG)
        if done:
            return
        time.sleep(0.005)
    os.kill(pid, signal.SIGKILL)
    # A test's timer signals may still be coming.
    while True:
        try:
            os.waitpid(pid, 0)
            return
        except OSError as error:
            if error.errno != errno.EINTR:
                raise
