"""A FASTA file that changes under an open handle must not kill the interpreter."""

import subprocess
import sys
import textwrap

SCRIPT = textwrap.dedent(
    """
    import os, sys, gelvo
    path = sys.argv[1]
    seq = "ACGT" * 250000
    with open(path, "w") as f:
        f.write(">a\\n" + "\\n".join(seq[i:i + 60] for i in range(0, len(seq), 60)) + "\\n")
    faidx = gelvo.Faidx(path, default_seq="N")
    fasta = gelvo.Fasta(path)
    assert faidx.fetch("a", 1, 8).seq == "ACGTACGT"
    os.truncate(path, 100_000)          # about 98,000 bases remain
    # Past the new end: filled from default_seq, as a read through the file gives.
    assert faidx.fetch("a", 500_000, 500_009).seq == "N" * 10
    # Across the new end: the bases still there, then filler.
    s = faidx.fetch("a", 98_000, 99_000)
    assert s.seq == seq[97_999:98_358] + "N" * (1001 - 359), s.seq[:20]
    # The whole record as the file now holds it.
    assert len(fasta["a"][:].seq) == 98_358
    # Worker threads meet the same pages.
    out = faidx.fetch_many([("a", i, i + 99) for i in range(1, 900_000, 450)])
    assert out[0].seq == seq[:100] and out[-1].seq == "N" * 100
    print("alive")
    """
)


def test_truncated_file_under_open_handles(tmp_path):
    out = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", SCRIPT, str(tmp_path / "t.fa")],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "alive"
