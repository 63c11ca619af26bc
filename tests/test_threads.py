"""Threads and forks: concurrent draws, error queues that stay with their
thread, and children that never draw what another child drew."""
import ast
import errno
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

import support
from support import crypto, pid_one, rand, workers
from support.pid_one import draw_as_pid_1

THREADS = 4
DRAWS = 500


def in_child(work):
    """What work() returned (a literal) in a forked child."""
    read_end, write_end = os.pipe()
    child = os.fork()
    if child == 0:
        try:
            os.close(read_end)
            os.write(write_end, repr(work()).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        result = pipe.read()
    os.waitpid(child, 0)
    return ast.literal_eval(result)


def seeds_before_first_output(prng, output):
    """What `prng` was seeded with in this process between now and the
    first draw that output() made."""
    del prng.events[:]
    output()
    first_draw = [kind for kind, _ in prng.events].index('bytes')
    return [data for kind, data in prng.events[:first_draw] if kind == 'seed']


def without_free_descriptors():
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (0, hard))


class ThreadsTest(unittest.TestCase):

    def test_concurrent_draws_have_their_lengths(self):
        wrong = []

        def draw(seed):
            sizes = random.Random(seed)
            for _ in range(DRAWS):
                count = sizes.randint(0, 4096)
                result = rand.bytes(count)
                if type(result) is not bytes or len(result) != count:
                    wrong.append((count, type(result), len(result)))

        with workers(*[lambda seed=seed: draw(seed) for seed in range(THREADS)]):
            pass
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

        with workers(other_thread):
            try:
                self.assertTrue(queued.wait(30))
                # The failing PRNG is process-wide: installed only while this
                # thread draws.
                prng = crypto.FakePrng(bytes_result=0,
                                       queued_reasons=(crypto.RAND_R_PRNG_NOT_SEEDED,))
                with crypto.installed(prng):
                    with self.assertRaises(rand.Error) as raised:
                        rand.bytes(8)
            finally:
                drawn.set()
        self.assertEqual(raised.exception.args, ([crypto.expected_triple('PRNG not seeded')],))
        self.assertEqual(left_behind, [True])


class ForksTest(unittest.TestCase):

    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix='forks-')

    def tearDown(self):
        shutil.rmtree(self.directory)

    def outputs(self):
        """Every method that gives output of the PRNG, as (name, call)."""
        seed_file = os.path.join(self.directory, 'seed')
        return [('bytes', lambda: rand.bytes(16)), ('write_file', lambda: rand.write_file(seed_file))]

    def test_every_process_mixes_in_its_own_entropy_before_its_first_output(self):
        # Two children of one parent, and a child of the first: each must
        # take fresh entropy before it draws, and no two the same (their
        # count of forks, say, would be). libcrypto 1.1.1d and later reseed
        # by themselves, but not a PRNG method the program installed.
        for what, output in self.outputs():
            with crypto.installed(crypto.FakePrng()) as prng:
                output()

                def child():
                    own = seeds_before_first_output(prng, output)
                    return own, in_child(lambda: seeds_before_first_output(prng, output))

                (first, grandchild), (second, _) = in_child(child), in_child(child)
            for who, seeds in [('first child', first), ('second child', second),
                               ('child of a child', grandchild)]:
                self.assertTrue(seeds and min(map(len, seeds)) >= 16, (what, who, seeds))
            self.assertEqual(len(set(first + second + grandchild)), 3, what)

    def test_processes_that_share_a_pid_draw_different_bytes(self):
        # Pids come round again once they wrap; a new pid namespace gives
        # two processes the same one at once. Nothing is drawn here between
        # the forks, so both start from the same state. Without a free file
        # descriptor, /dev/urandom cannot be read.
        rand.bytes(16)
        for what, prepare in [('as they are', lambda: None),
                              ('no free file descriptor', without_free_descriptors)]:
            first, second = [draw_as_pid_1(lambda: rand.bytes(16), prepare) for _ in range(2)]
            if first == errno.EPERM:
                self.skipTest('making a pid namespace needs root')
            self.assertEqual((first[0], second[0]), (1, 1), what)
            self.assertNotEqual(first[1], second[1], what)

    def test_a_module_imported_after_the_fork_draws_its_own_bytes(self):
        # The parent, a fresh interpreter, draws through libcrypto itself,
        # as another extension would; each pid-sharing child then imports
        # the module for the first time and draws.
        parent = ('installed' if support.BUILD_DIR == 'installed'
                  else os.path.dirname(os.path.dirname(sys.modules['Korvane'].__file__)))
        drawn = ast.literal_eval(subprocess.check_output(
            support.INTERPRETER + [pid_one.__file__.replace('.pyc', '.py'), crypto.lib._name, parent]).decode())
        if drawn[0] == errno.EPERM:
            self.skipTest('making a pid namespace needs root')
        self.assertEqual([pid for pid, _ in drawn], [1, 1])
        self.assertNotEqual(drawn[0][1], drawn[1][1])


if __name__ == '__main__':
    unittest.main()
