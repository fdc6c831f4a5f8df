"""Corrupt compressed files and .gzi files: an IOError naming the compressed
offset of the bad data, whether it is met while the indexes are built or
while fetching, on the calling thread or on the workers; never a crash, a
hang or wrong bases. Every case runs in a child process with a timeout."""

import functools
import json
import os
import struct
import subprocess
import sys
import textwrap

import pytest
from bgzf_files import bgzip, compress, gzi_bytes, members, needs_bgzip

SEQ = "".join("ACGTTGCA"[(i * 7 + i // 13) % 8] for i in range(6000))
TEXT = (">a\n" + "".join(SEQ[i : i + 60] + "\n" for i in range(0, len(SEQ), 60))).encode()

# Opens the file (with or without rebuilding its indexes), fetches the whole
# record, then a batch long enough for the worker threads; prints what each
# step gave as JSON.
CHILD = textwrap.dedent(
    """
    import json, sys, gelvo
    path, rebuild = sys.argv[1], sys.argv[2] == "rebuild"
    out = {}
    try:
        fa = gelvo.Faidx(path, rebuild=rebuild)
    except Exception as e:
        out["open"] = str(e)
    else:
        for step, call in (
            ("whole", lambda: fa.fetch_entire_sequence("a").seq),
            ("batch", lambda: [s.seq for s in fa.fetch_many([("a", i, i + 99) for i in range(1, 6000, 5)])]),
        ):
            try:
                out[step] = call()
            except Exception as e:
                out[step] = "raised " + type(e).__name__ + ": " + str(e)
    print(json.dumps(out))
    """
)


BATCH_STARTS = range(1, 6000, 5)


def byte_of(base):
    """Uncompressed offset of a base of TEXT (1-based)."""
    return 3 + (base - 1) // 60 * 61 + (base - 1) % 60


def run_child(path, rebuild):
    out = subprocess.run(
        [sys.executable, "-c", CHILD, str(path), "rebuild" if rebuild else "keep"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert out.returncode == 0, out.stderr[-3000:]
    return json.loads(out.stdout)


@pytest.fixture
def indexed(tmp_path):
    """A compressed file of 200-byte blocks with both indexes built; returns
    its path and its members."""
    path = tmp_path / "ref.fa.gz"
    data = compress(TEXT, block=200)
    path.write_bytes(data)
    assert run_child(path, True)["whole"] == SEQ
    return path, members(data)


def patched(path, offset, new):
    """Writes new bytes at offset, keeping the indexes newer than the file."""
    stamp = os.stat(str(path) + ".fai").st_mtime_ns
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(new)
    os.utime(path, ns=(stamp - 10**9, stamp - 10**9))


def flip(byte):
    return bytes([byte ^ 0x5A])


# (what, where in member 7 relative to its start or end, the bytes, the message)
DAMAGE = [
    ("header", 0, lambda b: b"\x00\x00", "no gzip member starts here"),
    ("method", 2, lambda b: b"\x07", "unknown compression method"),
    ("crc", -8, lambda b: flip(b[-8]), "CRC32 mismatch"),
    ("isize", -4, lambda b: struct.pack("<I", len(b) - 1), "inflated length differs from ISIZE"),
    ("isize_huge", -4, lambda b: struct.pack("<I", 70000), "inflated length larger than a block"),
    ("deflate", 30, lambda b: b"\xff\xff\xff", None),  # bad data, or good data with a wrong CRC
]


@pytest.mark.parametrize("what, at, new, message", DAMAGE, ids=[d[0] for d in DAMAGE])
@pytest.mark.parametrize("rebuild", [False, True], ids=["fetching", "building"])
def test_damaged_block_names_its_offset(indexed, what, at, new, message, rebuild):
    path, blocks = indexed
    offset, size, _ = blocks[7]
    data = path.read_bytes()
    block = data[offset : offset + size]
    patched(path, offset + (at if at >= 0 else size + at), new(block))
    if rebuild:
        os.utime(path)  # newer than its indexes: the build meets the damage
    out = run_child(path, rebuild)
    expected = f"IOError: {path}: corrupt BGZF data at compressed offset {offset}: {message or ''}"
    if rebuild:
        assert out["open"].startswith(expected), out
        return
    # The whole record fails, and the batch names its first region that
    # reads the block.
    assert out["whole"].startswith("raised Exception: " + expected), out["whole"]
    first = next(k for k, i in enumerate(BATCH_STARTS) if byte_of(i + 99) >= 7 * 200 and byte_of(i) < 8 * 200)
    assert out["batch"].startswith(f"raised RuntimeError: Error fetching region {first}: IO error: {path}: "), out
    assert expected[len("IOError: ") :] in out["batch"]


def test_truncated_last_block(indexed):
    path, blocks = indexed
    offset, size, _ = blocks[-2]  # the last block with data; the end-of-file marker follows
    with open(path, "r+b") as f:
        f.truncate(offset + size // 2)
    for rebuild in (False, True):
        out = run_child(path, rebuild)
        assert out["open"] == f"IOError: {path}: corrupt BGZF data at compressed offset {offset}: truncated block"


def test_file_truncated_under_an_open_handle(indexed):
    path, blocks = indexed
    cut = blocks[len(blocks) // 2][0]
    script = textwrap.dedent(
        f"""
        import os, gelvo
        fa = gelvo.Faidx({str(path)!r})
        head = fa.fetch("a", 1, 100).seq
        os.truncate({str(path)!r}, {cut})
        try:
            fa.fetch_entire_sequence("a")
        except Exception as e:
            print(head == {SEQ[:100]!r}, e)
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr[-3000:]
    assert out.stdout.strip() == f"True IOError: {path}: corrupt BGZF data at compressed offset {cut}: truncated block"


def true_entries(blocks):
    entries, u = [], 0
    for k, (offset, _, isize) in enumerate(blocks):
        if k and isize:
            entries.append((offset, u))
        u += isize
    return entries


def gzi_cases(blocks):
    true = true_entries(blocks)
    total = blocks[-1][0] + blocks[-1][1]
    return {
        "past the end": (true[:3] + [(total + 10, true[3][1])], f"entry 3 (compressed offset {total + 10}) points"),
        "decreasing": ([true[1], true[0]] + true[2:], f"entry 1 (compressed offset {true[0][0]}) does not increase"),
        "repeated": ([true[0], true[0]] + true[1:], f"entry 1 (compressed offset {true[0][0]}) does not increase"),
        "count": (None, "not a BGZF index: 5 entries announced in 48 bytes"),
    }


@pytest.mark.parametrize("case", ["past the end", "decreasing", "repeated", "count"])
def test_bad_gzi_is_refused_at_open(indexed, case):
    path, blocks = indexed
    entries, message = gzi_cases(blocks)[case]
    data = gzi_bytes(entries) if entries is not None else struct.pack("<Q", 5) + b"\0" * 40
    with open(str(path) + ".gzi", "wb") as f:
        f.write(data)
    out = run_child(path, False)
    assert out["open"].startswith(f"IOError: {path}.gzi: "), out
    assert message in out["open"]


def test_sparse_gzi_still_reads_right(indexed):
    """Entries left out merge their blocks into the unit before: what the
    index says still holds, so reading is right."""
    path, blocks = indexed
    with open(str(path) + ".gzi", "wb") as f:
        f.write(gzi_bytes(true_entries(blocks)[::3]))
    out = run_child(path, False)
    assert out["whole"] == SEQ and out["batch"][5] == SEQ[25:125]


def test_gzi_missing_more_than_a_block_at_its_end(tmp_path):
    """A .gzi whose last entry leaves more than one block of data after it."""
    path = tmp_path / "ref.fa.gz"
    text = (">a\n" + "".join(SEQ[i % 6000 : i % 6000 + 60] + "\n" for i in range(0, 180_000, 60))).encode()
    path.write_bytes(compress(text, block=65280))
    assert "open" not in run_child(path, True)
    blocks = members(path.read_bytes())
    with open(str(path) + ".gzi", "wb") as f:
        f.write(gzi_bytes(true_entries(blocks)[:1]))
    out = run_child(path, False)
    last = true_entries(blocks)[0][0]
    assert out["open"] == (
        f"IOError: {path}.gzi: lists no block after compressed offset {last} although more than a block of data"
        " follows it"
    )


# The index build maps the compressed file: one truncated while it is read
# must give the truncated-block error (or, truncated before the walk or after
# it, an error or an index), never a SIGBUS.
TRUNCATE_DURING_BUILD = textwrap.dedent(
    """
    import os, subprocess, sys, gelvo
    path, delay = sys.argv[1], float(sys.argv[2])
    cut = os.path.getsize(path) // 3
    cut_code = f"import os, time; print(flush=True); time.sleep({delay}); os.truncate({path!r}, {cut})"
    cutter = subprocess.Popen([sys.executable, "-c", cut_code], stdout=subprocess.PIPE)
    cutter.stdout.readline()  # it is running
    try:
        gelvo.Faidx(path)
        print("built")
    except Exception as e:
        print(e)
    cutter.wait()
    """
)


@functools.cache
def random_genome():
    """40 Mb of random bases, compressed: they inflate slowly enough for a cut
    to land inside the walk."""
    bases = os.urandom(40_000_000).translate(bytes(b"ACGT"[i % 4] for i in range(256)))
    return bgzip(b">a\n" + b"".join(bases[i : i + 60] + b"\n" for i in range(0, len(bases), 60)))


@needs_bgzip
@pytest.mark.parametrize("delay", [0.0, 0.03, 0.08])
def test_file_truncated_while_its_index_is_built(tmp_path, delay):
    path = tmp_path / "ref.fa.gz"
    path.write_bytes(random_genome())
    argv = [sys.executable, "-c", TRUNCATE_DURING_BUILD, str(path), str(delay)]
    out = subprocess.run(argv, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr[-3000:]
    said = out.stdout.strip()
    assert said == "built" or said.startswith(f"IOError: {path}: corrupt BGZF data at compressed offset "), said
