"""`gelvo fetch` against `samtools faidx`: the same regions and options give the same
standard output, byte for byte, and the same exit status."""

import random
import shutil
import subprocess
import sys

import pytest

SAMTOOLS = shutil.which("samtools")
needs_samtools = pytest.mark.skipif(SAMTOOLS is None, reason="samtools is not installed")

# Names that make the region syntax work: 'chr:3' beside 'chr' is ambiguous, so is
# 'chr4:1-2' beside 'chr4'; 'solo:7' exists without 'solo', so it reads as a whole name.
RECORDS = {
    "chr1": "ACGTACGTACGTACGTACGTacgtnNNNNacgtTTGCA" * 3,
    "chr2": "AAAACCCCGGTT",
    "chr:3": "GGGGCCCCAA",
    "chr": "TTTTT",
    "chr4:1-2": "AAAA",
    "chr4": "GGGG",
    "solo:7": "CCCCAAAAT",
    "iupac": "ACGTUBDHKMRVYNWSacgtubdhkmrvynws*-.X",
}

# Region strings, with a note of what each one exercises.
CORPUS = [
    "chr1",
    "chr1:5",  # to the end
    "chr1:5-",
    "chr1:-5",  # from the start
    "chr1:3-7",
    "chr1:1,0-2,0",  # thousands separators
    "chr1:1,000-2,000",  # past the end: no bases
    "chr1:100-200",  # runs over the end: truncated
    "chr1:114",
    "chr1:114-114",
    "chr1:115",
    "chr1:0",  # 0 alone is the whole sequence ...
    "chr1:0-3",  # ... but as a start, no bases
    "chr1:0-0",
    "chr1:-0",
    "chr1:7-3",  # reversed: not found
    "chr1:5-5",
    "chr1:5-0",  # an end of 0 runs to the end
    "chr1:1-0",
    "chr1:-3-5",  # a negative start
    "chr1:+5",
    "chr1:5-+7",
    "chr1: 5",
    "chr1:5k",
    "chr1:1e1",
    "chr1:1.5e1",
    "chr1:0.05k",
    "chr1:5,-7",
    "chr1:,5",
    "chr1:1,2,3-4",
    "chr1:99999999999999999999",
    "chr1:1-99999999999999999999",
    "chr1:-",
    "chr1:--5",
    "chr1::",
    "chr1:",
    "chr1:0x10",
    "chr1:5 ",
    "chr1 ",
    "chr1:1-2x",
    "chr1:1-2-",
    "chr1:1_000",
    "chr1:-5-",
    "chr1:1-1,",
    "chrZ",
    "chrZ:1-3",
    "",
    "chr:3",  # ambiguous
    "chr:3:1-2",
    "{chr:3}:1-2",
    "{chr:3}",
    "{chr}:1-2",
    "{chr}",
    "{chr",
    "{chr}x",
    "{}",
    "{chr1}:",
    "chr4:1-2",  # ambiguous
    "{chr4:1-2}",
    "{chr4}:1-2",
    "solo:7",  # a whole name with ':'
    "solo:7:2-3",
    "solo",
    "chr2",
    "chr2:11-12",
    "iupac",
    "iupac:3-20",
]

OPTIONS = [
    [],
    ["-i"],
    ["-n", "7"],
    ["-n", "1"],
    ["-i", "--mark-strand", "sign"],
    ["--mark-strand", "sign"],
    ["-i", "--mark-strand", "no"],
    ["-i", "--mark-strand", "custom,_fwd,_rev"],
    ["--mark-strand", "custom,X"],
    ["-i", "--mark-strand", "custom,a,b,c"],
]


def gelvo(*args, stdin=None, timeout=60):
    return subprocess.run(
        [sys.executable, "-m", "gelvo_cli", *map(str, args)], input=stdin, capture_output=True, timeout=timeout
    )


def samtools(*args, stdin=None):
    return subprocess.run([SAMTOOLS, *map(str, args)], input=stdin, capture_output=True, timeout=60)


def fasta_text(records, width=10):
    return "".join(
        f">{name} a description\n" + "".join(seq[i : i + width] + "\n" for i in range(0, len(seq), width))
        for name, seq in records.items()
    )


@pytest.fixture
def corpus_fasta(write_fasta):
    path = write_fasta(fasta_text(RECORDS))
    assert gelvo("index", path).returncode == 0  # samtools reads the same index
    return path


def assert_same(path, *args):
    ours, theirs = gelvo("fetch", path, *args), samtools("faidx", path, *args)
    assert ours.stdout == theirs.stdout, (args, theirs.stderr.decode())
    assert ours.returncode == theirs.returncode, (args, ours.stderr.decode(), theirs.stderr.decode())
    return ours


@needs_samtools
@pytest.mark.parametrize("options", OPTIONS, ids=" ".join)
def test_the_corpus_gives_samtools_output(corpus_fasta, options):
    ours = assert_same(corpus_fasta, "-c", *options, *CORPUS)
    assert ours.returncode == 0 and b"Traceback" not in ours.stderr


@needs_samtools
@pytest.mark.parametrize("region", CORPUS)
def test_each_region_alone_stops_as_samtools_does(corpus_fasta, region):
    # Without -c a region that cannot be fetched ends the run (status 1) after its
    # header, and what follows it is not written.
    ours = assert_same(corpus_fasta, "chr2:1-4", region, "chr2:5-8")
    if ours.returncode:
        assert ours.stderr.decode().startswith("gelvo: error: ") and ours.stderr.count(b"\n") == 1


@needs_samtools
def test_region_files_give_samtools_output(corpus_fasta, tmp_path):
    # Lines end in LF or CRLF; blanks and spaces are part of the region, as samtools reads them.
    regions = tmp_path / "regions.txt"
    regions.write_bytes(b"".join(r.encode() + (b"\r\n" if i % 3 == 0 else b"\n") for i, r in enumerate(CORPUS)))
    assert_same(corpus_fasta, "-c", "-r", regions, "chr2:2-3")
    assert_same(corpus_fasta, "-r", regions)
    regions.write_bytes(b"chr2:1-3\nchr1:2-3")  # no final line end
    assert_same(corpus_fasta, "-r", regions, "-i")
    regions.write_bytes(b"")  # samtools fails on a file without regions
    assert_same(corpus_fasta, "-r", regions, "chr2")


@needs_samtools
@pytest.mark.parametrize("count", [200, 3000])  # either side of the batch's parallel threshold
@pytest.mark.parametrize("plain", [True, False])  # plain regions are resolved in bulk
def test_many_random_regions_give_samtools_output(write_fasta, tmp_path, count, plain):
    rng = random.Random(count)
    records = {f"seq{i}": "".join(rng.choice("ACGTNacgt") for _ in range(rng.randint(1, 3000))) for i in range(20)}
    path = write_fasta(fasta_text(records, width=61))
    lines = []
    for _ in range(count):
        name = rng.choice(sorted(records))
        start = rng.randint(0, len(records[name]) + 5)
        end = start + rng.randint(0, 400)
        if plain:
            first = min(max(start, 1), len(records[name]))
            lines.append(f"{name}:{first}-{min(max(end, first), len(records[name]))}")
        else:
            lines.append(f"{name}:{start:,}-{end:,}" if rng.random() < 0.9 else name)
    regions = tmp_path / "regions.txt"
    regions.write_text("\n".join(lines) + "\n")
    assert_same(path, "-c", "-r", regions)
    assert_same(path, "-c", "-i", "-n", "13", "-r", regions)


@needs_samtools
def test_output_file_holds_what_standard_output_would(corpus_fasta, tmp_path):
    out = tmp_path / "out.fa"
    done = gelvo("fetch", corpus_fasta, "chr1:3-40", "chr2", "-o", out, "-n", "9")
    assert done.returncode == 0 and done.stdout == b""
    assert out.read_bytes() == samtools("faidx", corpus_fasta, "chr1:3-40", "chr2", "-n", "9").stdout


@needs_samtools
def test_soft_masked_sequences_can_come_upper_case(corpus_fasta):
    done = gelvo("fetch", corpus_fasta, "--upper", "chr1:15-30", "iupac")
    lines = samtools("faidx", corpus_fasta, "chr1:15-30", "iupac").stdout.splitlines(keepends=True)
    assert done.stdout == b"".join(line if line.startswith(b">") else line.upper() for line in lines)
    assert done.stdout != b"".join(lines)


def test_warnings_go_to_standard_error(corpus_fasta):
    done = gelvo("fetch", corpus_fasta, "chr1:100-200", "chr1:200-300", "-n", "0")
    assert done.returncode == 0
    assert done.stderr.decode().splitlines() == [
        "gelvo: warning: bad line length 0, using 60",
        "gelvo: warning: truncated sequence: chr1:100-200",
        "gelvo: warning: zero length sequence: chr1:200-300",
    ]
    assert done.stdout.decode() == f">chr1:100-200\n{RECORDS['chr1'][99:]}\n>chr1:200-300\n"


def test_records_without_bases_are_fetched_empty(write_fasta):
    # gelvo's index keeps them; samtools drops them from its index and fails.
    path = write_fasta(">empty\n>full\nACGT\n")
    done = gelvo("fetch", path, "empty", "full:2-3")
    assert done.returncode == 0 and done.stdout == b">empty\n>full:2-3\nCG\n"
    assert b"zero length sequence: empty" in done.stderr


@pytest.mark.parametrize(
    "args, message",
    [
        (["missing.fa", "chr1"], "gelvo: error: FastaNotFoundError: missing.fa"),
        (["{fasta}", "-r", "missing.txt"], "gelvo: error: missing.txt: No such file or directory"),
        (["{fasta}", "chr2", "-o", "/nonexistent/dir/out.fa"], "gelvo: error: /nonexistent/dir/out.fa: No such file"),
    ],
)
def test_errors_are_one_line_and_status_1(corpus_fasta, args, message):
    done = gelvo("fetch", *[a.format(fasta=corpus_fasta) for a in args])
    assert done.returncode == 1
    assert done.stderr.decode().startswith(message) and done.stderr.count(b"\n") == 1


@pytest.mark.parametrize(
    "args", [["fetch"], ["fetch", "{fasta}", "--mark-strand", "both"], ["fetch", "{fasta}", "-n", "x"], ["frobnicate"]]
)
def test_usage_errors_are_status_2(corpus_fasta, args):
    done = gelvo(*[a.format(fasta=corpus_fasta) for a in args])
    assert done.returncode == 2 and b"usage: gelvo" in done.stderr and b"Traceback" not in done.stderr


@pytest.mark.parametrize(
    "texts, plain",
    [
        (["chr2:1-12", "chr1:3-7", "iupac:2-2"], True),
        (["solo:7:2-3"], False),  # names with a colon take the full rules
        (["chr2:1-12", "chr:3"], False),  # a whole name: ambiguous here
        (["chr2:0-5"], False),  # samtools gives no bases for a start of 0
        (["chr2:5-0"], False),  # ... and runs an end of 0 to the end
        (["chr2:1,0-12"], False),
        (["{chr2}:1-5"], False),
        (["chr4:1-2"], False),  # both readings exist
        (["chrZ:1-2"], False),
    ],
)
def test_regions_resolved_in_bulk_are_resolved_as_one_by_one(texts, plain):
    from gelvo_cli.regions import parse_plain, parse_region

    bulk = parse_plain(texts, RECORDS)
    assert (bulk is not None) == plain
    if bulk is not None:
        assert list(zip(*bulk)) == [tuple(parse_region(t, RECORDS)) for t in texts]
