"""`gelvo` in a shell: closed pipes, Ctrl-C, the progress bar on a terminal, `index`.
Every run is a child process with a timeout."""

import fcntl
import os
import pathlib
import pty
import select
import signal
import struct
import subprocess
import sys
import termios
import threading
import time

import pytest
from test_cli_fetch import fasta_text, gelvo

COMMAND = [sys.executable, "-m", "gelvo_cli"]
# The command with SIGINT handled as in a terminal's foreground job: a test run
# started as a background job inherits it ignored, which the command keeps.
INTERRUPTIBLE = [
    sys.executable,
    "-c",
    "import runpy, signal, sys; signal.signal(signal.SIGINT, signal.default_int_handler); "
    "sys.argv[0] = 'gelvo'; runpy.run_module('gelvo_cli', run_name='__main__')",
]


@pytest.fixture
def genome(write_fasta):
    return write_fasta(fasta_text({"c1": "ACGTTGCA" * 500, "c2": "GGGCCCAA" * 300}, width=60))


def bed_lines(count):
    return b"".join(b"c1\t%d\t%d\n" % (i % 3000, i % 3000 + 900) for i in range(count))


def test_a_closed_pipe_ends_the_run_quietly_before_the_input_ends(genome):
    # Standard input stays open: only the closed pipe can end the run.
    with subprocess.Popen(
        [*INTERRUPTIBLE, "fetch", genome, "-b", "-"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    ) as child:
        # The lines go in from a thread: the child writes output while it reads them.
        feeder = threading.Thread(target=_feed, args=(child.stdin, bed_lines(40_000)), daemon=True)
        feeder.start()
        try:
            assert child.stdout.readline() == b">c1:1-900\n"
            child.stdout.close()
            assert child.wait(timeout=60) == 128 + signal.SIGPIPE
            assert child.stderr.read() == b""
        finally:
            child.kill()
        feeder.join(timeout=60)


def _feed(stream, data):
    try:
        stream.write(data)
        stream.flush()
    except BrokenPipeError:
        pass  # the child is gone: what this test wants


def test_head_in_a_shell_pipeline(genome):
    done = subprocess.run(
        ["bash", "-o", "pipefail", "-c", f"{' '.join(COMMAND)} fetch {genome} c1 c2 c1 c2 -n 10 | head -1"],
        capture_output=True,
        timeout=60,
    )
    assert done.stdout == b">c1\n" and done.stderr == b""


def test_ctrl_c_exits_130_with_one_line(genome):
    with subprocess.Popen(
        [*INTERRUPTIBLE, "fetch", genome, "-b", "-"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    ) as child:
        try:
            child.stdin.write(b"c1\t0\t10\n")
            child.stdin.flush()
            # Once the extension is loaded the interpreter handles SIGINT, and the command
            # soon waits for more BED lines.
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and not _has_loaded_gelvo(child.pid):
                time.sleep(0.05)
            time.sleep(0.3)
            child.send_signal(signal.SIGINT)
            assert child.wait(timeout=30) == 130
            assert child.stderr.read() == b"gelvo: interrupted\n"
        finally:
            child.kill()


def _has_loaded_gelvo(pid):
    try:
        with open(f"/proc/{pid}/maps") as f:
            return any("/gelvo." in line and ".so" in line for line in f)
    except OSError:
        return False


def _run_on_terminal(args):
    """Runs the command with standard error on a pseudo-terminal; returns what it drew."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # a bar needs a width
    try:
        child = subprocess.Popen([*COMMAND, *args], stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        drawn = b""
        while True:
            ready, _, _ = select.select([master], [], [], 60)
            if not ready:
                break
            try:
                block = os.read(master, 65536)
            except OSError:  # the child closed the terminal
                break
            if not block:
                break
            drawn += block
        assert child.wait(timeout=60) == 0
        return drawn
    finally:
        os.close(master)


def test_a_long_run_on_a_terminal_draws_a_progress_bar(genome, tmp_path):
    bed = tmp_path / "r.bed"
    bed.write_bytes(bed_lines(40_000))
    drawn = _run_on_terminal(["fetch", genome, "-b", str(bed)])
    assert b"/40.0k" in drawn and b"regions/s" in drawn
    assert _run_on_terminal(["fetch", genome, "-b", str(bed), "-q"]) == b""
    bed.write_bytes(bed_lines(100))
    assert _run_on_terminal(["fetch", genome, "-b", str(bed)]) == b""


def test_index_builds_missing_and_stale_indexes_silently(write_fasta, tmp_path):
    first = write_fasta(">a\nACGT\n", "a.fa")
    second = write_fasta(">b\nAC\nGT\n", "b.fa")
    done = gelvo("index", first, second)
    assert done.returncode == 0 and done.stdout == done.stderr == b""
    assert pathlib.Path(first + ".fai").read_text() == "a\t4\t3\t4\t5\n"
    assert pathlib.Path(second + ".fai").read_text() == "b\t4\t3\t2\t3\n"
    os.utime(second + ".fai", (1, 1))  # older than the FASTA file: stale
    with open(second, "w") as f:
        f.write(">b\nACGTAC\n")
    assert gelvo("index", second).returncode == 0
    assert pathlib.Path(second + ".fai").read_text() == "b\t6\t3\t6\t7\n"
    elsewhere = tmp_path / "elsewhere.fai"
    assert gelvo("index", first, "--fai-idx", elsewhere).returncode == 0 and elsewhere.read_text() == "a\t4\t3\t4\t5\n"
    done = gelvo("index", first, second, "--fai-idx", elsewhere)
    assert done.returncode == 2 and b"--fai-idx takes a single FASTA file" in done.stderr
    done = gelvo("index", first, str(tmp_path / "missing.fa"))
    assert done.returncode == 1 and done.stderr.startswith(b"gelvo: error: FastaNotFoundError: ")


def test_fetch_and_stats_take_the_index_from_elsewhere(write_fasta, tmp_path):
    path = write_fasta(">a\nACGTAC\n", "a.fa")
    index = tmp_path / "indexes" / "a.fai"
    index.parent.mkdir()
    done = gelvo("fetch", path, "a:2-4", "--fai-idx", index)
    assert done.stdout == b">a:2-4\nCGT\n" and index.read_text() == "a\t6\t3\t6\t7\n"
    assert not os.path.exists(path + ".fai")
    assert gelvo("stats", path, "--fai-idx", index).stdout.decode().splitlines()[1].startswith("a\t6\t")
