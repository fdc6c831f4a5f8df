"""Many processes building the index of one FASTA file at the same moment."""

import os
import subprocess
import sys
import textwrap

import gelvo
import pytest

PROCESSES = 8

# Announces itself, waits for the go file, then opens the FASTA file.
CHILD = textwrap.dedent(
    """
    import os, sys, time, gelvo
    path, go = sys.argv[1], sys.argv[2]
    print("ready", flush=True)
    while not os.path.exists(go):
        time.sleep(0.001)
    fa = gelvo.Faidx(path)
    print(sorted(fa.keys) == sorted(f"r{r}" for r in range(40)), fa.fetch("r17", 1001, 1060).seq)
    """
)

BASES = "TTGCAACGTA" * 25_000


def genome_text():
    # About 10 MB, so that the builds overlap in time.
    parts = []
    for r in range(40):
        bases = "ACGT"[r % 4] * 7 + BASES
        parts.append(f">r{r} record {r}\n")
        parts.extend(bases[i : i + 70] + "\n" for i in range(0, len(bases), 70))
    return "".join(parts)


@pytest.mark.parametrize("existing", ["missing", "stale"])
def test_concurrent_builds_leave_one_whole_index(write_fasta, tmp_path, existing):
    text = genome_text()
    path = write_fasta(text)
    reference = write_fasta(text, name="single.fa")
    gelvo.Faidx(reference)
    with open(reference + ".fai") as f:
        expected = f.read()
    if existing == "stale":
        with open(path + ".fai", "w") as f:
            f.write("old\t1\t3\t4\t5\n")
        os.utime(path + ".fai", (1_000_000, 1_000_000))

    go = tmp_path / "go"
    children = [
        subprocess.Popen(
            [sys.executable, "-c", CHILD, path, str(go)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
        )
        for _ in range(PROCESSES)
    ]
    try:
        for child in children:
            assert child.stdout.readline() == "ready\n"
        go.touch()
        outputs = [child.communicate(timeout=60) for child in children]
    finally:
        for child in children:
            child.kill()
    go.unlink()

    region = ("ACGT"[17 % 4] * 7 + BASES)[1000:1060]
    for child, (out, err) in zip(children, outputs):
        assert child.returncode == 0, err
        assert out == f"True {region}\n"
    with open(path + ".fai") as f:
        assert f.read() == expected
    assert sorted(os.listdir(tmp_path)) == ["ref.fa", "ref.fa.fai", "single.fa", "single.fa.fai"]
