"""fetch_array in child processes: NumPy imported only when needed, other
threads running during a large call, Ctrl-C, arguments changed by their own
conversion, and the thread count."""

import json
import os
import random
import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def genome(write_fasta):
    rng = random.Random(11)
    text = "".join(rng.choice("ACGTacgtN") for _ in range(20000))
    return write_fasta(">chrA\n" + "".join(text[i : i + 60] + "\n" for i in range(0, len(text), 60)) + ">chrB\nACGT\n")


def run_child(code, *args, env=None, timeout=120):
    """Runs code with sys.argv[1:] = args; returns its last line of output, parsed."""
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_numpy_is_imported_by_the_first_array_call_only(genome):
    out = run_child(
        """
        import json, sys
        import gelvo
        fa = gelvo.Fasta(sys.argv[1])
        seqs = fa.fetch_many([("chrA", i, i + 9) for i in range(1, 3001)])
        before = "numpy" in sys.modules
        array = fa.fetch_array([("chrA", 1, 10)])
        print(json.dumps([before, "numpy" in sys.modules, bytes(array[0]) == seqs[0].seq.encode()]))
        """,
        genome,
    )
    assert out == [False, True, True]


def test_without_numpy_the_array_calls_raise_import_error(genome):
    out = run_child(
        """
        import json, sys
        sys.modules["numpy"] = None  # the import of numpy fails
        import gelvo
        results = []
        for fa in (gelvo.Faidx(sys.argv[1]), gelvo.Fasta(sys.argv[1])):
            for call in (lambda: fa.fetch_array([("chrA", 1, 5)]), lambda: fa.fetch_array_same_chr("chrA", [1], 5)):
                try:
                    call()
                except ImportError as e:
                    results.append([str(e), isinstance(e.__cause__, ImportError)])
        results.append(len(gelvo.Faidx(sys.argv[1]).fetch_many([("chrA", 1, 5)] * 2000)))
        del sys.modules["numpy"]  # importable again: the next call tries again
        results.append(gelvo.Faidx(sys.argv[1]).fetch_array([("chrA", 1, 5)]).shape)
        print(json.dumps(results))
        """,
        genome,
    )
    assert out[:2] == [
        ["fetch_array() needs NumPy, which cannot be imported (pip install numpy)", True],
        ["fetch_array_same_chr() needs NumPy, which cannot be imported (pip install numpy)", True],
    ]
    assert out[2:4] == out[:2]
    assert out[4:] == [2000, [1, 5]]


def test_other_threads_run_during_a_large_call(genome):
    """With a switch interval this long, the thread only runs when the
    calling thread lets the interpreter lock go."""
    out = run_child(
        """
        import json, sys, threading, time
        import numpy as np
        import gelvo
        sys.setswitchinterval(1000)
        fa = gelvo.Faidx(sys.argv[1])
        starts = np.random.default_rng(1).integers(1, 20000, 400_000)
        fa.fetch_array_same_chr("chrA", starts[:20_000], 100)  # the pool exists
        count, stop = 0, False
        def spin():
            global count
            while not stop:
                count += 1
                time.sleep(0)
        thread = threading.Thread(target=spin)
        thread.start()
        time.sleep(0.05)
        before = count
        array = fa.fetch_array_same_chr("chrA", starts, 100)
        during = count - before
        stop = True
        thread.join()
        same = bool((array[::997] == fa.fetch_array_same_chr("chrA", starts[::997], 100)).all())
        print(json.dumps([during, same]))
        """,
        genome,
    )
    assert out[0] > 0, "no progress of the other thread during the call"
    assert out[1]


def test_ctrl_c_stops_a_large_call_and_the_next_call_works(genome):
    """A thread sends SIGINT once the first window is written; the call
    raises KeyboardInterrupt with most windows still unwritten (zero), and
    the pool serves the next call. The descriptor path makes the call long."""
    out = run_child(
        """
        import json, os, signal, sys, threading, time
        import numpy as np
        import gelvo
        # A test run started as a background job inherits SIGINT ignored.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        fa = gelvo.Faidx(sys.argv[1], mutable=True)
        n = 6_000_000
        starts = np.arange(n) % 19000 + 1
        out = np.zeros((n, 8), dtype=np.uint8)
        def interrupt():
            while out[0, 0] == 0:
                time.sleep(0.001)
            os.kill(os.getpid(), signal.SIGINT)
        threading.Thread(target=interrupt, daemon=True).start()
        try:
            fa.fetch_array_same_chr("chrA", starts, 8, out=out)
            interrupted = False
        except KeyboardInterrupt:
            interrupted = True
        written = int((out[:, 0] != 0).sum())
        mapped = gelvo.Faidx(sys.argv[1])
        again = fa.fetch_array_same_chr("chrA", starts[:200_000], 8)
        same = bool((again == mapped.fetch_array_same_chr("chrA", starts[:200_000], 8)).all())
        print(json.dumps([interrupted, written, n, same]))
        """,
        genome,
    )
    interrupted, written, n, same = out
    assert interrupted
    assert 0 < written < n // 2
    assert same


def test_conversions_that_change_the_arguments_do_not_change_the_request(genome):
    out = run_child(
        """
        import json, sys
        import numpy as np
        import gelvo
        fa = gelvo.Faidx(sys.argv[1])

        class Meddler:
            '''An index that empties the list it is in and refills it with other items.'''
            def __init__(self, value):
                self.value, self.victim = value, None
            def __index__(self):
                self.victim.clear()
                self.victim.extend([("chrB", 1, 2)] * 50 + [object()] * 50)
                fa.fetch_array([("chrA", 1, 3)])  # and calls back in
                return self.value

        results = []
        for n in (5, 5000):
            meddler = Meddler(3)
            regions = [("chrA", 10 * i + 1, 10 * i + 20) for i in range(n)]
            regions[1] = ("chrA", meddler, 22)
            meddler.victim = regions
            flags = [i % 2 == 0 for i in range(n)]
            got = fa.fetch_array(regions, rc=flags)
            plain = [("chrA", 10 * i + 1, 10 * i + 20) for i in range(n)]
            plain[1] = ("chrA", 3, 22)
            results.append(bool((got == fa.fetch_array(plain, rc=flags)).all()))

            meddler = Meddler(7)
            starts = list(range(1, n + 1))
            starts[2] = meddler
            meddler.victim = starts
            got = fa.fetch_array_same_chr("chrA", starts, 30, onehot=True)
            expected = fa.fetch_array_same_chr("chrA", [1, 2, 7, *range(4, n + 1)], 30, onehot=True)
            results.append(bool((got == expected).all()))
        print(json.dumps(results))
        """,
        genome,
    )
    assert out == [True] * 4


def test_thread_counts_give_the_same_windows(genome):
    code = """
        import hashlib, json, sys
        import numpy as np
        import gelvo
        fa = gelvo.Faidx(sys.argv[1])
        rng = np.random.default_rng(2)
        starts = rng.integers(-50, 20050, 30_000)
        rc = rng.integers(0, 2, 30_000).astype(bool)
        a = fa.fetch_array_same_chr("chrA", starts, 150, rc=rc, onehot=True, dtype=np.float16, unknown=0.25)
        print(json.dumps(hashlib.sha256(a.tobytes()).hexdigest()))
        """
    digests = {run_child(code, genome, env=dict(os.environ, RAYON_NUM_THREADS=str(n))) for n in (1, 2, 3)}
    assert len(digests) == 1


def test_batches_on_another_thread_during_array_calls(genome):
    """A thread that holds the interpreter lock while it waits for the
    worker pool (a large fetch_many) and array calls that take the lock
    between their rounds on the pool: both go on, neither waits forever."""
    out = run_child(
        """
        import json, sys, threading
        import numpy as np
        import gelvo
        fa = gelvo.Faidx(sys.argv[1])
        regions = [("chrA", i, i + 99) for i in range(1, 19000, 7)]
        starts = np.arange(200_000) % 19000 + 1
        stop, batches = False, 0
        def fetch_batches():
            global batches
            while not stop:
                assert len(fa.fetch_many(regions)) == len(regions)
                batches += 1
        thread = threading.Thread(target=fetch_batches)
        thread.start()
        arrays = [fa.fetch_array_same_chr("chrA", starts, 100) for _ in range(15)]
        stop = True
        thread.join()
        print(json.dumps([batches > 0, all((a == arrays[0]).all() for a in arrays)]))
        """,
        genome,
    )
    assert out == [True, True]
