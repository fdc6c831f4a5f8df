"""`gelvo fetch -b`: BED intervals (0-based, half-open) as FASTA, minus strand reverse
complemented, checked against samtools given the same intervals as regions."""

import random

import pytest
from test_cli_fetch import fasta_text, gelvo, needs_samtools, samtools

pytestmark = needs_samtools


@pytest.fixture
def genome(write_fasta):
    rng = random.Random(5)
    records = {f"c{i}": "".join(rng.choice("ACGTNacgtRY") for _ in range(rng.randint(50, 4000))) for i in range(6)}
    path = write_fasta(fasta_text(records, width=50))
    assert gelvo("index", path).returncode == 0
    return path, records


def expected(path, intervals, *options):
    """samtools' output for BED intervals (chrom, start, end, minus), one call per strand,
    put back in BED order."""
    blocks = {}
    for minus in (False, True):
        regions = [f"{c}:{s + 1}-{e}" for c, s, e, m in intervals if m == minus]
        if regions:
            flags = ["-i"] if minus else []
            text = samtools("faidx", path, *flags, *options, *regions).stdout.decode()
            blocks[minus] = iter(">" + block for block in text.split(">")[1:])
    return "".join(next(blocks[m]) for _, _, _, m in intervals).encode()


def bed_line(chrom, start, end, minus, columns):
    cols = [chrom, str(start), str(end), "name", "0", "-" if minus else "+", "x", "y"][:columns]
    return "\t".join(cols) + "\n"


@pytest.mark.parametrize("columns", [3, 4, 6, 8])
@pytest.mark.parametrize("count", [40, 20_000])  # one chunk, and more than one
def test_bed_intervals_give_samtools_regions(genome, tmp_path, columns, count):
    path, records = genome
    rng = random.Random(count + columns)
    intervals = []
    for _ in range(count):
        chrom = rng.choice(sorted(records))
        start = rng.randrange(len(records[chrom]))
        intervals.append(
            (chrom, start, rng.randint(start + 1, len(records[chrom])), columns >= 6 and rng.random() < 0.5)
        )
    bed = tmp_path / "r.bed"
    bed.write_text("".join(bed_line(*i, columns) for i in intervals))
    done = gelvo("fetch", path, "-b", bed, "-n", "70")
    assert done.returncode == 0 and done.stderr == b""
    assert done.stdout == expected(path, intervals, "-n", "70")


def test_comments_blanks_and_mixed_widths_are_read_line_by_line(genome, tmp_path):
    path, records = genome
    bed = tmp_path / "r.bed"
    bed.write_text(
        "track name=demo\n"
        "browser position c0:1-10\n"
        "# a comment\n"
        "\n"
        "c0\t0\t10\n"
        "c1\t5\t30\tn\t0\t-\n"
        "c2\t7\t9\tn\r\n"  # CRLF
        "c0\t10\t20\tn\t0\t.\textra\n"
    )
    intervals = [("c0", 0, 10, False), ("c1", 5, 30, True), ("c2", 7, 9, False), ("c0", 10, 20, False)]
    done = gelvo("fetch", path, "-b", bed)
    assert done.returncode == 0 and done.stdout == expected(path, intervals)


def test_reverse_complement_flips_every_strand(genome, tmp_path):
    path, _ = genome
    intervals = [("c0", 0, 12, False), ("c1", 3, 40, True)]
    bed = tmp_path / "r.bed"
    bed.write_text("".join(bed_line(*i, 6) for i in intervals))
    flipped = [(c, s, e, not m) for c, s, e, m in intervals]
    done = gelvo("fetch", path, "-b", bed, "-i", "--mark-strand", "sign")
    assert done.stdout == expected(path, flipped, "--mark-strand", "sign")


def test_bed_from_standard_input_before_command_line_regions(genome):
    path, records = genome
    done = gelvo("fetch", path, "c1:1-5", "-b", "-", stdin=b"c0\t0\t3\tn\t0\t-\n")
    assert done.returncode == 0
    comp = str.maketrans("ACGTRYacgtry", "TGCAYRtgcayr")
    assert (
        done.stdout.decode() == f">c0:1-3/rc\n{records['c0'][:3].translate(comp)[::-1]}\n>c1:1-5\n{records['c1'][:5]}\n"
    )


def test_empty_and_overhanging_intervals_warn(genome, tmp_path):
    path, records = genome
    length = len(records["c3"])
    bed = tmp_path / "r.bed"
    bed.write_text(f"c3\t4\t4\nc3\t{length - 2}\t{length + 10}\nc3\t{length + 5}\t{length + 9}\n")
    done = gelvo("fetch", path, "-b", bed)
    assert done.returncode == 0
    assert done.stdout.decode() == (
        f">c3:5-4\n>c3:{length - 1}-{length + 10}\n{records['c3'][-2:]}\n>c3:{length + 6}-{length + 9}\n"
    )
    assert done.stderr.decode().splitlines() == [
        "gelvo: warning: zero length sequence: c3:5-4",
        f"gelvo: warning: truncated sequence: c3:{length - 1}-{length + 10}",
        f"gelvo: warning: zero length sequence: c3:{length + 6}-{length + 9}",
    ]


@pytest.mark.parametrize(
    "line, reason",
    [
        ("c0\t5\n", "expected at least 3 tab-separated columns (chrom, start, end)"),
        ("c0 5 10\n", "expected at least 3 tab-separated columns (chrom, start, end)"),
        ("c0\tfive\t10\n", "start 'five' is not a non-negative integer"),
        ("c0\t-1\t10\n", "start '-1' is not a non-negative integer"),
        ("c0\t5\t1e3\n", "end '1e3' is not a non-negative integer"),
        ("c0\t20\t10\n", "start 20 is greater than end 10"),
        ("c0\t1\t10\tn\t0\t*\n", "strand '*' is not +, - or ."),
    ],
)
def test_malformed_lines_stop_or_are_skipped(genome, tmp_path, line, reason):
    path, records = genome
    bed = tmp_path / "bad.bed"
    # Enough good lines before it that it sits in the second chunk.
    bed.write_text("c0\t0\t4\n" * 20_000 + line + "c1\t0\t4\n")
    done = gelvo("fetch", path, "-b", bed)
    assert done.returncode == 1
    assert done.stderr.decode() == f"gelvo: error: {bed}:20001: {reason}\n"
    assert done.stdout == f">c0:1-4\n{records['c0'][:4]}\n".encode() * 20_000
    kept = gelvo("fetch", path, "-b", bed, "-c")
    assert kept.returncode == 0
    assert kept.stderr.decode() == f"gelvo: warning: {bed}:20001: {reason} (skipped)\n"
    assert kept.stdout.endswith(f">c0:1-4\n{records['c0'][:4]}\n>c1:1-4\n{records['c1'][:4]}\n".encode())


def test_unknown_chromosomes_fail_like_unknown_regions(genome, tmp_path):
    path, records = genome
    bed = tmp_path / "r.bed"
    bed.write_text("c0\t0\t4\nchrZ\t0\t4\nc1\t0\t4\n")
    done = gelvo("fetch", path, "-b", bed)
    assert done.returncode == 1 and done.stdout.decode() == f">c0:1-4\n{records['c0'][:4]}\n>chrZ:1-4\n"
    assert done.stderr.decode() == "gelvo: error: chrZ:1-4: sequence 'chrZ' not found\n"
    assert gelvo("fetch", path, "-b", bed, "-c").stdout.decode().endswith(f">c1:1-4\n{records['c1'][:4]}\n")
