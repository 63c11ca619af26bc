"""Threads and forks: concurrent draws, error queues that stay with their
thread, and children that never draw what another child drew."""
import ast
import ctypes
import errno
import os
import random
import threading
import unittest

from support import crypto, rand

THREADS = 4
DRAWS = 500
CLONE_NEWPID = 0x20000000
libc = ctypes.CDLL(None, use_errno=True)


def draw_as_pid_1():
    """(pid, bytes(16)) of a grandchild that is pid 1 of a new pid namespace,
    or the errno with which the child could not make one."""
    read_end, write_end = os.pipe()
    child = os.fork()
    if child == 0:
        try:
            if libc.unshare(CLONE_NEWPID) != 0:
                os.write(write_end, repr(ctypes.get_errno()))
            elif os.fork() == 0:
                os.write(write_end, repr((os.getpid(), rand.bytes(16))))
            else:
                os.wait()
        finally:
            os._exit(0)
    os.close(write_end)
    os.waitpid(child, 0)
    with os.fdopen(read_end) as pipe:
        return ast.literal_eval(pipe.read())


class ThreadsTest(unittest.TestCase):

    def test_concurrent_draws_have_their_lengths(self):
        wrong = []

        def draw(seed):
            sizes = random.Random(seed)
            for _ in range(DRAWS):
                count = sizes.randint(0, 4096)
                result = rand.bytes(count)
                if type(result) is not str or len(result) != count:
                    wrong.append((count, type(result), len(result)))

        workers = [threading.Thread(target=draw, args=(seed,)) for seed in range(THREADS)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        self.assertEqual(wrong, [])

    def test_errors_of_another_thread_never_reach_error(self):
        crypto.clear_queue()
        queued = threading.Event()
        drawn = threading.Event()
        left_behind = []

        def other_thread():
            crypto.queue_error(999)
            crypto.queue_error(998)
            queued.set()
            drawn.wait(30)
            left_behind.append(crypto.lib.ERR_get_error() != 0)
            crypto.clear_queue()

        worker = threading.Thread(target=other_thread)
        worker.start()
        try:
            self.assertTrue(queued.wait(30))
            # The failing PRNG is process-wide: installed only while this
            # thread draws.
            prng = crypto.FakePrng(bytes_result=0, queued_reasons=(crypto.RAND_R_PRNG_NOT_SEEDED,))
            with crypto.installed(prng):
                with self.assertRaises(rand.Error) as raised:
                    rand.bytes(8)
        finally:
            drawn.set()
            worker.join()
        self.assertEqual(raised.exception.args, ([crypto.expected_triple('PRNG not seeded')],))
        self.assertEqual(left_behind, [True])



class ForksTest(unittest.TestCase):

    def test_processes_that_share_a_pid_draw_different_bytes(self):
        # Pids come round again once they wrap; a new pid namespace gives
        # two processes the same one at once. Nothing is drawn here between
        # the forks, so both start from the same state.
        rand.bytes(16)
        first, second = draw_as_pid_1(), draw_as_pid_1()
        if first == errno.EPERM:
            self.skipTest('making a pid namespace needs root')
        self.assertEqual((first[0], second[0]), (1, 1))
        self.assertNotEqual(first[1], second[1])


if __name__ == '__main__':
    unittest.main()
