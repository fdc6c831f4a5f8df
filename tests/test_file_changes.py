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


# The bases after a truncation are read again through the descriptor the
# file was opened with: the path may name another file by then.
REREAD = textwrap.dedent(
    """
    import os, sys, gelvo
    first, second, how = sys.argv[1:4]
    seq = "ACGT" * 25000
    for path, text in ((first, seq), (second, "G" * len(seq))):
        with open(path, "w") as f:
            f.write(">a\\n" + "\\n".join(text[i:i + 60] for i in range(0, len(text), 60)) + "\\n")
    os.chdir(os.path.dirname(first))
    faidx = gelvo.Faidx(os.path.basename(first), default_seq="N")
    keep = os.open(first, os.O_RDWR)
    if how == "chdir":
        os.chdir(os.path.dirname(second))  # the relative path now names the other file
    else:
        os.replace(second, first)  # another file under the same name
    os.ftruncate(keep, 10_000)  # the opened file shrinks
    left = len(os.pread(keep, 10_000, 3).replace(b"\\n", b""))
    s = faidx.fetch("a", 9_000, 12_000)
    assert s.seq == seq[8_999:left] + "N" * (12_000 - left), s.seq[830:850]
    print("first file")
    """
)


def test_reread_after_truncation_keeps_to_the_opened_file(tmp_path):
    for how in ("chdir", "replace"):
        (tmp_path / how / "one").mkdir(parents=True)
        (tmp_path / how / "two").mkdir()
        first, second = tmp_path / how / "one" / "t.fa", tmp_path / how / "two" / "t.fa"
        out = subprocess.run(
            [sys.executable, "-c", REREAD, str(first), str(second), how], capture_output=True, text=True, timeout=120
        )
        assert (out.returncode, out.stdout.strip()) == (0, "first file"), (how, out.stderr[-2000:])


# Fault handlers installed after the file was opened.
HANDLERS = textwrap.dedent(
    """
    import faulthandler, mmap, os, signal, sys, time, gelvo
    path, how = sys.argv[1:3]
    seq = "ACGT" * 25000
    with open(path, "w") as f:
        f.write(">a\\n" + "\\n".join(seq[i:i + 60] for i in range(0, len(seq), 60)) + "\\n")
    faidx = gelvo.Faidx(path, default_seq="N")
    assert faidx.fetch("a", 1, 4).seq == "ACGT"
    if how.startswith("faulthandler"):
        faulthandler.enable()
    else:
        signal.signal(signal.SIGBUS, lambda *args: None)
    # A single fetch looks at the handler once per tick of the coarse clock
    # (at most 4 ms); the fetch above may have looked in this one.
    time.sleep(0.02)
    os.truncate(path, 10_000)
    with open(path, "rb") as f:
        left = len(f.read()[3:].replace(b"\\n", b""))
    s = faidx.fetch("a", 9_000, 12_000)  # reads pages past the new end
    assert s.seq == seq[8_999:left] + "N" * (12_000 - left)
    out = faidx.fetch_many([("a", i, i + 99) for i in range(1, 90_000, 45)])
    assert out[0].seq == seq[:100] and out[-1].seq == "N" * 100
    print("fetched", flush=True)
    if how.endswith("foreign"):
        # A fault that is not gelvo's goes to the handler installed before
        # gelvo took over again; one that returns does not loop forever.
        with open(path, "r+b") as f:
            view = mmap.mmap(f.fileno(), 10_000)
            os.truncate(path, 0)
            view[5_000]
    """
)


def test_fault_handlers_installed_after_opening(tmp_path):
    for how in ("faulthandler", "python", "faulthandler-foreign", "python-foreign"):
        out = subprocess.run(
            [sys.executable, "-c", HANDLERS, str(tmp_path / f"{how}.fa"), how],
            capture_output=True,
            text=True,
            timeout=60,
        )
        assert out.stdout.strip() == "fetched", (how, out.returncode, out.stderr[-2000:])
        if how.endswith("foreign"):
            assert out.returncode == -7, (how, out.returncode)  # SIGBUS
            assert ("Fatal Python error: Bus error" in out.stderr) == how.startswith("faulthandler")
        else:
            assert out.returncode == 0 and "Fatal Python error" not in out.stderr, (how, out.stderr[-2000:])
