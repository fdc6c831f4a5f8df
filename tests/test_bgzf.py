"""A BGZF-compressed FASTA file behaves as the same text uncompressed, through
every part of the API: the differential tests below run the same calls on
both and compare results, exceptions and warnings."""

import os
import pickle
import random
import subprocess
import sys
import textwrap
from functools import partial

import gelvo
import pytest
from bgzf_files import bgzip, compress, needs_bgzip, needs_samtools

RNG = random.Random(14)


def dna(n, alphabet="ACGTacgtN"):
    return "".join(RNG.choice(alphabet) for _ in range(n))


def wrap(seq, width, end="\n"):
    return "".join(seq[i : i + width] + end for i in range(0, len(seq), width))


# Texts whose lines follow the geometry of their index, so that the index
# build accepts them.
TEXTS = {
    "wrapped": ">chr1 first record\n"
    + wrap("NNNN" + dna(3000) + "nnn", 60)
    + ">chr2\n"
    + wrap(dna(777), 70)
    + ">empty\n>chr3\n"
    + wrap(dna(95), 10),
    "crlf": ">a desc\r\n" + wrap(dna(500), 50, "\r\n") + ">b\r\n" + wrap(dna(61), 20, "\r\n"),
    "no_final_newline": ">x\n" + wrap(dna(200), 33) + ">y\nACGTAC",
    "one_line": ">long\n" + dna(5000) + "\n>short\nAC\n",
    "non_ascii": ">u\n" + wrap("AC\u00e9GT" * 40, 30) + ">\u00e9t\u00e9\nACGT\n",
}


def write_pair(tmp_path, text, how, name="ref"):
    """The plain file and its compressed copy; returns both paths."""
    data = text.encode() if isinstance(text, str) else text
    plain = tmp_path / "plain" / f"{name}.fa"
    packed = tmp_path / "packed" / f"{name}.fa.gz"
    for path in (plain, packed):
        path.parent.mkdir(exist_ok=True)
    plain.write_bytes(data)
    # Small blocks put block boundaries everywhere: inside lines, between a
    # line and its terminator, inside a CRLF pair.
    packed.write_bytes(bgzip(data) if how == "bgzip" else compress(data, block=37))
    return str(plain), str(packed)


HOW = [pytest.param("bgzip", marks=needs_bgzip), "blocks37"]


def outcome(call):
    """What a call gives: a comparable value, or the exception's type and text."""
    try:
        value = call()
    except Exception as error:  # every exception is part of the behaviour compared
        return ("raised", type(error).__name__, str(error))
    return describe(value)


def describe(value):
    if isinstance(value, gelvo.Sequence):
        return ("seq", value.name, value.seq, value.start, value.end, value.comp)
    if isinstance(value, list | tuple):
        return [describe(v) for v in value]
    if isinstance(value, gelvo.FastaRecord):
        return ("record", value.name)
    if hasattr(value, "tobytes"):  # a NumPy array
        return ("array", value.shape, str(value.dtype), value.tobytes())
    return value


def run(calls, capfd):
    """Each call's outcome with the standard error it wrote."""
    out = []
    for call in calls:
        result = outcome(call)
        out.append((result, capfd.readouterr().err))
    return out


def coordinates(length):
    points = sorted({0, 1, 2, length // 3, length // 2, length - 1, length, length + 1, length + 40})
    return [(s, e) for s in points for e in points][::3]


def faidx_calls(fa):
    calls = [lambda: fa.keys, lambda: [name in fa for name in fa.keys + ["missing"]]]
    regions = []
    for name in fa.keys:
        grid = coordinates(len(fa.fetch_entire_sequence(name).seq))
        calls.append(partial(fa.fetch_entire_sequence, name))
        calls += [partial(fa.fetch, name, s, e) for s, e in grid]
        calls.append(partial(fa.fetch_many_same_chr, name, grid))
        calls.append(partial(fa._composition, name))
        regions += [(name, s, e) for s, e in grid]
    calls.append(partial(fa.fetch, "missing", 1, 2))
    calls.append(partial(fa.fetch_many, regions))
    # The parallel path, and its offset-ordered reading of compressed files.
    many = random.Random(len(regions)).choices(regions, k=3000)
    calls.append(partial(fa.fetch_many, many))
    calls.append(partial(fa.fetch_many, many + [("missing", 1, 2)]))
    # Windows into NumPy arrays, read on the workers without the interpreter lock.
    windows = [(name, max(s, 1), max(s, 1) + 49) for name, s, _ in many]
    calls.append(lambda: fa.fetch_array(windows, rc=True))
    calls.append(lambda: fa.fetch_array(windows, onehot=True, pad="-"))
    name = fa.keys[0]
    calls.append(lambda: fa.fetch_array_same_chr(name, list(range(-20, 3000, 7)), 60))
    return calls


def record_calls(f, name):
    rec = f[name]
    n = len(rec)
    return [
        lambda: (len(rec), rec.unpadded_len, str(rec)),
        lambda: list(rec),
        lambda: reversed(rec),
        lambda: [rec[0:10], rec[-5:], rec[3 : n // 2], rec[::7], rec[n:0:-3], rec[5]],
        lambda: rec[n + 3],
        partial(f.get_seq, name, 2, n // 2 + 5, rc=True),
        partial(f.get_spliced_seq, name, [(1, 3), (n // 2, n + 9)], rc=True),
        partial(f.fetch_many_same_chr, name, [(1, n)] * 1200, rc=True),
    ]


def fasta_calls(f):
    calls = [lambda: f.keys(), lambda: len(f), lambda: [r.name for r in f]]
    for name in f.keys():
        calls += record_calls(f, name)
    calls.append(partial(f.fetch_many, [(name, 2, 40) for name in f.keys()] * 400, rc=True))
    return calls


OPTIONS = [
    {},
    {"strict_bounds": True},
    {"sequence_always_upper": True, "default_seq": "N"},
    {"as_raw": True, "one_based_attributes": False},
    {"mutable": True},
]


@pytest.mark.parametrize("how", HOW)
@pytest.mark.parametrize("text", TEXTS.values(), ids=TEXTS.keys())
@pytest.mark.parametrize("options", OPTIONS, ids=lambda o: ",".join(o) or "defaults")
def test_every_call_as_on_the_plain_file(tmp_path, capfd, how, text, options):
    plain, packed = write_pair(tmp_path, text, how)
    for make, calls in ((gelvo.Faidx, faidx_calls), (gelvo.Fasta, fasta_calls)):
        want = run(calls(make(plain, **options)), capfd)
        got = run(calls(make(packed, **options)), capfd)
        assert got == want


def test_pickled_handles_reopen_the_compressed_file(tmp_path):
    plain, packed = write_pair(tmp_path, TEXTS["wrapped"], "blocks37")
    for make in (gelvo.Faidx, gelvo.Fasta):
        handle = pickle.loads(pickle.dumps(make(packed, sequence_always_upper=True)))
        reference = make(plain, sequence_always_upper=True)
        fetch = "fetch" if make is gelvo.Faidx else "get_seq"
        assert describe(getattr(handle, fetch)("chr1", 50, 900)) == describe(getattr(reference, fetch)("chr1", 50, 900))
    record = gelvo.Fasta(packed)["chr2"]
    assert str(pickle.loads(pickle.dumps(record))) == str(gelvo.Fasta(plain)["chr2"])


# Index geometry the build would never give, written by hand beside both
# files: a file shorter than its index, entries past the end, lines of
# another width than the index says, lenb below lenc. Extraction must copy
# exactly the same bytes from both.
HOSTILE_FAI = [
    "short\t5000\t7\t60\t61\n",  # the file ends early
    "past\t100\t999999\t60\t61\n",  # starts past the end
    "narrow\t3000\t7\t10\t11\n",  # lines are wider than the index says
    "wide\t3000\t7\t100\t101\n",  # and narrower
    "below\t3000\t7\t60\t30\n",  # lenb below lenc
    "zero\t3000\t7\t0\t0\n",
    "terminators\t3000\t66\t60\t61\n",  # starts on a line terminator
]


@pytest.mark.parametrize("how", HOW)
@pytest.mark.parametrize("default_seq", [None, "N"])
def test_hostile_geometry_copies_the_same_bytes(tmp_path, capfd, how, default_seq):
    text = ">short\n" + wrap(dna(2000), 60)
    plain, packed = write_pair(tmp_path, text, how)
    for path in (plain, packed):
        with open(path + ".fai", "w") as f:
            f.write("".join(HOSTILE_FAI))
        if path == packed:
            gelvo.Faidx(path, rebuild=False)  # builds the .gzi alone
        fa = gelvo.Faidx(path, rebuild=False, default_seq=default_seq)
        calls = []
        for line in HOSTILE_FAI:
            name = line.split("\t")[0]
            calls += [partial(fa.fetch_entire_sequence, name), partial(fa.fetch, name, 55, 1234)]
            calls.append(partial(fa.fetch_many, [(name, s, s + 300) for s in range(1, 3000, 2)]))
        if path == plain:
            want = run(calls, capfd)
        else:
            assert run(calls, capfd) == want


def test_content_decides_not_the_name(tmp_path):
    seq = dna(300)
    text = f">a\n{wrap(seq, 60)}".encode()
    disguised = tmp_path / "looks_plain.fa"
    disguised.write_bytes(compress(text, block=50))
    plain_named_gz = tmp_path / "plain.fa.gz"
    plain_named_gz.write_bytes(text)
    assert gelvo.Faidx(str(disguised)).fetch("a", 1, 300).seq == seq
    assert os.path.exists(str(disguised) + ".gzi")
    assert gelvo.Faidx(str(plain_named_gz)).fetch("a", 1, 300).seq == seq
    assert not os.path.exists(str(plain_named_gz) + ".gzi")


def test_plain_gzip_is_refused_with_the_fix(tmp_path):
    import gzip

    path = tmp_path / "ref.fa.gz"
    path.write_bytes(gzip.compress(b">a\nACGT\n"))
    message = r"^IOError: .*ref\.fa\.gz is compressed with gzip, not BGZF: recompress it with bgzip$"
    for make in (gelvo.Faidx, gelvo.Fasta):
        with pytest.raises(Exception, match=message):
            make(str(path))
    assert not os.path.exists(str(path) + ".fai")


# A thread reads the compressed file with the interpreter lock let go while
# the main thread forks: each child reads the same handle (cached blocks, and
# blocks the thread was inflating when the fork came) and must finish. The
# thread cycles through more blocks than the cache holds, so that it is
# nearly always loading one.
FORK_WHILE_READING = textwrap.dedent(
    """
    import os, sys, threading, gelvo
    fa = gelvo.Faidx(sys.argv[1])
    names = fa.keys
    want = {n: fa.fetch_entire_sequence(n).seq for n in names}
    stop = threading.Event()

    def read():
        while not stop.is_set():
            for n in names:
                fa._composition(n)

    reader = threading.Thread(target=read)
    reader.start()
    for k in range(100):
        pid = os.fork()
        if pid == 0:
            picked = names[k::17]
            os._exit(0 if all(fa.fetch_entire_sequence(n).seq == want[n] for n in picked) else 1)
        _, status = os.waitpid(pid, 0)
        assert status == 0, status
    stop.set()
    reader.join()
    print("forked")
    """
)


def test_fork_while_another_thread_inflates(tmp_path):
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        # This AddressSanitizer runtime does not lock its allocator around
        # fork: a child forked while the thread allocates waits on it forever.
        pytest.skip("the sanitizer's allocator is not fork-safe")
    text = "".join(f">r{i}\n{wrap(dna(100), 60)}" for i in range(300))
    _, packed = write_pair(tmp_path, text, "blocks37")
    gelvo.Faidx(packed)
    out = subprocess.run(
        [sys.executable, "-W", "ignore::DeprecationWarning", "-c", FORK_WHILE_READING, packed],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (out.returncode, out.stdout.strip()) == (0, "forked"), out.stderr[-3000:]


@needs_samtools
@pytest.mark.parametrize("how", HOW)
def test_the_command_reads_compressed_files_as_samtools_does(tmp_path, how):
    _, packed = write_pair(tmp_path, TEXTS["crlf"], how)

    def run(*argv):
        return subprocess.run(argv, capture_output=True, timeout=60)

    assert run(sys.executable, "-m", "gelvo_cli", "index", packed).returncode == 0
    regions = ["a:5-120", "b", "a:490-600", "b:3-3"]
    ours = run(sys.executable, "-m", "gelvo_cli", "fetch", packed, *regions, "-i")
    theirs = run("samtools", "faidx", packed, *regions, "-i")
    assert (ours.returncode, ours.stdout) == (theirs.returncode, theirs.stdout) != (0, b"")
