"""An entropy gathering daemon in a child process, well-behaved or hostile.

The module holds the interpreter lock for the whole exchange, so the daemon
cannot be a thread of the calling process.
"""
import contextlib
import os
import shutil
import signal
import socket
import tempfile
import time


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


def _serve(connection, answers, drip):
    """Answers each request with the next of `answers`, then hangs up.

    Returns the requests received, as a string of their bytes.
    """
    requests = ''
    for answer in answers:
        request = _read_exactly(connection, 2)
        requests += request
        if len(request) < 2:
            break
        if drip:
            for byte in answer:
                connection.sendall(byte)
                time.sleep(0.002)
        else:
            connection.sendall(answer)
    return requests


class Daemon(object):
    """What the test sees of a daemon: its socket path and, once it has been
    stopped, whether a client connected and the requests it received."""

    def __init__(self, path):
        self.path = path
        self.connected = False
        self.requests = ''


@contextlib.contextmanager
def running(answers=None, drip=False, path_length=None):
    """Yields a Daemon that serves one client in a child process.

    `answers` lists what it sends back to each request, in order (None: it
    accepts and closes at once); `drip` sends them a byte per write;
    `path_length` makes the socket's path exactly that long.
    """
    directory = tempfile.mkdtemp(prefix='egd-')
    name = 'socket'
    if path_length is not None:
        name = 's' * (path_length - len(directory) - 1)
    daemon = Daemon(os.path.join(directory, name))
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(daemon.path)
    listener.listen(1)
    report_read, report_write = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(report_read)
            connection, _ = listener.accept()
            os.write(report_write, 'C')
            received = _serve(connection, answers or (), drip)
            connection.close()
            os.write(report_write, received)
            status = 0
        finally:
            os._exit(status)
    listener.close()
    os.close(report_write)
    try:
        yield daemon
    finally:
        _stop(pid)
        with os.fdopen(report_read) as report:
            log = report.read()
        daemon.connected = log.startswith('C')
        daemon.requests = log[1:]
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
    os.waitpid(pid, 0)
