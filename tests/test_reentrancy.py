"""Arguments whose conversion runs Python code (__index__) that changes them.

Whatever that code does, a call either raises or returns the results the
arguments named when the call began. Each case runs in a child process: a
fault there must fail the test, not end the test run.
"""

import subprocess
import sys
import textwrap

import pytest

GENOME = ">chr1\n" + "ACGTACGTAC" * 6 + "\n" + "TTTTGGGGCC" * 6 + "\n>chr2\n" + "GGGGGAAAAA" * 6 + "\n"

PRELUDE = """
import sys, gelvo
fa = gelvo.Fasta(sys.argv[1])
chr1, chr2 = str(fa["chr1"]), str(fa["chr2"])

kept = []

def scribble():
    # Reuses freed memory, so that a read of it shows: blocks of the sizes
    # of the lists and texts the cases free, filled with other values.
    for n in (10, 60, 3000):
        kept.extend([list(range(100, 100 + n)) for _ in range(50)])
        kept.extend(["N" * n for _ in range(50)])

class Evil:
    # An int whose conversion runs `action`, then scribble(), once.
    def __init__(self, value, action):
        self.value, self.action = value, action
    def __index__(self):
        action, self.action = self.action, None
        if action:
            action()
            scribble()
        return self.value
"""


def run_child(fasta_path, body):
    code = textwrap.dedent(PRELUDE) + textwrap.dedent(body)
    return subprocess.run([sys.executable, "-c", code, fasta_path], capture_output=True, text=True, timeout=120)


@pytest.fixture
def genome(write_fasta):
    return write_fasta(GENOME)


# Each body prints "ok" when the call raised or its results match what the
# arguments named when the call began.
CASES = {
    "fetch_many clears the list (sequential)": """
        regions = [("chr1", 1, 5)] * 10
        regions[3] = ("chr1", Evil(2, regions.clear), 6)
        out = fa.fetch_many(regions)
        assert [s.seq for s in out] == [chr1[:5]] * 3 + [chr1[1:6]] + [chr1[:5]] * 6
        print("ok")
    """,
    "fetch_many clears the list (parallel)": """
        regions = [("chr1", 1, 5)] * 3000
        regions[1500] = ("chr1", Evil(2, regions.clear), 6)
        out = fa.fetch_many(regions)
        assert len(out) == 3000 and out[1500].seq == chr1[1:6] and out[2999].seq == chr1[:5]
        print("ok")
    """,
    "the last item replaces the first (parallel)": """
        regions = [("chr1", 1, 5)] * 2999
        def swap():
            regions[0] = ("chr2", 1, 5)
        regions.append(("chr1", Evil(1, swap), 5))
        out = fa.fetch_many(regions)
        assert out[0].name == "chr1" and out[0].seq == chr1[:5]
        print("ok")
    """,
    "the last item replaces the first (sequential)": """
        regions = [("chr1", 1, 5)] * 9
        def swap():
            regions[0] = ("chr2", 1, 5)
        regions.append(("chr1", Evil(1, swap), 5))
        out = fa.fetch_many(regions)
        assert out[0].name == "chr1" and out[0].seq == chr1[:5]
        print("ok")
    """,
    "fetch_many_same_chr clears the list": """
        for n in (10, 3000):
            pairs = [(1, 5)] * n
            pairs[n // 2] = (Evil(2, pairs.clear), 6)
            out = fa.fetch_many_same_chr("chr1", pairs)
            assert len(out) == n and out[n // 2].seq == chr1[1:6]
        print("ok")
    """,
    "Faidx.fetch_many_same_chr clears the list": """
        faidx = gelvo.Faidx(sys.argv[1])
        pairs = [(1, 5)] * 3000
        pairs[7] = (Evil(2, pairs.clear), 6)
        out = faidx.fetch_many_same_chr("chr1", pairs)
        assert len(out) == 3000 and out[7].seq == chr1[1:6]
        print("ok")
    """,
    "get_spliced_seq clears the intervals": """
        intervals = [(1, 5)] * 10
        intervals[4] = (Evil(2, intervals.clear), 6)
        out = fa.get_spliced_seq("chr1", intervals)
        assert out.seq == chr1[:5] * 4 + chr1[1:6] + chr1[:5] * 5
        print("ok")
    """,
    "slicing a Sequence replaces its residues": """
        s = fa.get_seq("chr1", 1, 60)
        def replace():
            s.seq = "AC"
        piece = s[Evil(0, replace):20]
        assert piece.seq in ("AC", chr1[:20]), piece.seq
        print("ok")
    """,
    "slicing a batch result replaces its residues": """
        out = fa.fetch_many([("chr1", 1, 60)] * 2000)
        s = out[0]
        def replace():
            s.seq = "AC"
            del out[:]
        piece = s[Evil(0, replace):20]
        assert piece.seq in ("AC", chr1[:20]), piece.seq
        print("ok")
    """,
}


@pytest.mark.parametrize("body", CASES.values(), ids=CASES.keys())
def test_conversion_that_changes_its_arguments(genome, body):
    out = run_child(genome, body)
    assert out.returncode == 0 and out.stdout.strip() == "ok", (out.returncode, out.stderr[-2000:])
