"""Threads: concurrent draws, and error queues that stay with their thread."""
import random
import threading
import unittest

from support import crypto, rand

THREADS = 4
DRAWS = 500


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


if __name__ == '__main__':
    unittest.main()
