"""The scripts in examples/ and the README's sessions, run as a user runs them;
script output is checked against plain-Python slicing."""

import doctest
import importlib.util
import os
import pathlib
import random
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
PHAGE = EXAMPLES / "data" / "lambda_phage.fa"
COMPLEMENT = str.maketrans("ACGTacgtNn", "TGCAtgcaNn")


def revcomp(text):
    return text.translate(COMPLEMENT)[::-1]


def run(script, *args, check=True):
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / script), *map(str, args)], capture_output=True, text=True, timeout=120
    )
    if check:
        assert done.returncode == 0, done.stderr
    return done


def parse_fasta(text):
    """[(header, sequence)] of FASTA text, wrapped or not."""
    records = []
    for line in text.splitlines():
        if line.startswith(">"):
            records.append([line[1:], ""])
        else:
            records[-1][1] += line
    return [tuple(r) for r in records]


def phage():
    lines = PHAGE.read_text().splitlines()
    return lines[0][1:].split()[0], "".join(lines[1:])


@pytest.fixture
def genome(write_fasta):
    """Two records with soft-masked bases in short lines, and their texts."""
    rng = random.Random(7)
    texts = {
        "chrA": "".join(rng.choice("ACGTacgtN") for _ in range(503)),
        "chrB": "".join(rng.choice("ACGT") for _ in range(97)),
    }
    body = "".join(
        f">{name} description\n" + "".join(text[i : i + 13] + "\n" for i in range(0, len(text), 13))
        for name, text in texts.items()
    )
    return write_fasta(body), texts


# ---------------------------------------------------------------- bed_to_fasta


def test_bed_lines_become_their_slices(genome, tmp_path):
    path, texts = genome
    bed = tmp_path / "r.bed"
    bed.write_text(
        "track name=demo\n# a comment\n"
        "chrA\t0\t5\tfirst\t0\t+\n"
        "chrA\t498\t503\tlast\t0\t-\n"
        "chrB\t10\t40\n"
        "chrB\t12\t12\tempty\t0\t+\n"
        "chrA\t100\t300\t.\t0\t-\n"
    )
    out = tmp_path / "out.fa"
    run("bed_to_fasta.py", path, bed, "-o", out)
    assert parse_fasta(out.read_text()) == [
        ("first::chrA:0-5(+)", texts["chrA"][0:5]),
        ("last::chrA:498-503(-)", revcomp(texts["chrA"][498:503])),
        ("chrB:10-40", texts["chrB"][10:40]),
        ("empty::chrB:12-12(+)", ""),
        ("chrA:100-300(-)", revcomp(texts["chrA"][100:300])),
    ]
    assert max(len(line) for line in out.read_text().splitlines()) == 60


@pytest.mark.parametrize("count", [50, 1500])  # below and above the batch's thread threshold
def test_many_bed_lines_in_input_order(genome, tmp_path, count):
    path, texts = genome
    rng = random.Random(count)
    lines = []
    for _ in range(count):
        name = rng.choice(sorted(texts))
        start = rng.randrange(len(texts[name]))
        lines.append((name, start, rng.randint(start, len(texts[name])), rng.choice("+-")))
    bed = tmp_path / "many.bed"
    bed.write_text("".join(f"{c}\t{s}\t{e}\tr{i}\t0\t{st}\n" for i, (c, s, e, st) in enumerate(lines)))
    got = parse_fasta(run("bed_to_fasta.py", path, bed, "--width", "0").stdout)
    expected = [texts[c][s:e] if st == "+" else revcomp(texts[c][s:e]) for c, s, e, st in lines]
    assert [seq for _, seq in got] == expected
    assert [header.split("::")[0] for header, _ in got] == [f"r{i}" for i in range(count)]


@pytest.mark.parametrize(
    "line, message",
    [("chrZ\t0\t5\n", "not in"), ("chrB\t90\t98\n", "out of bounds"), ("chrB\t9\t5\n", "bad interval")],
)
def test_bad_bed_lines_fail_with_a_message(genome, tmp_path, line, message):
    bed = tmp_path / "bad.bed"
    bed.write_text(line)
    done = run("bed_to_fasta.py", genome[0], bed, check=False)
    assert done.returncode != 0 and message in done.stderr and done.stdout == ""


def test_bed_defaults_give_the_phage_genes():
    name, text = phage()
    records = parse_fasta(run("bed_to_fasta.py").stdout)
    bed = [line.split("\t") for line in (EXAMPLES / "data" / "lambda_genes.bed").read_text().splitlines()]
    bed = [cols for cols in bed if not cols[0].startswith("#")]
    assert len(records) == len(bed) > 0
    for (header, seq), (chrom, start, end, gene, _, strand) in zip(records, bed):
        assert chrom == name and header == f"{gene}::{chrom}:{start}-{end}({strand})"
        piece = text[int(start) : int(end)]
        assert seq == (piece if strand == "+" else revcomp(piece))
        # Each is a gene: an open reading frame from its start codon on.
        assert len(seq) % 3 == 0 and seq[:3] in ("ATG", "GTG") and seq[-3:] in ("TAA", "TAG", "TGA")


# ---------------------------------------------------------------- spliced_transcripts


def test_exons_are_joined_in_genome_order_and_minus_strand_reversed(genome, tmp_path):
    path, texts = genome
    a, b = texts["chrA"], texts["chrB"]
    table = tmp_path / "exons.tsv"
    table.write_text(
        "transcript\tchrom\tstrand\tstart\tend\n"
        "t1\tchrA\t+\t200\t250\n"
        "t1\tchrA\t+\t1\t10\n"
        "t1\tchrA\t+\t100\t120\n"
        "# between transcripts\n"
        "t2\tchrB\t-\t5\t9\n"
        "t2\tchrB\t-\t50\t97\n"
        "t3\tchrA\t-\t503\t503\n"
    )
    got = parse_fasta(run("spliced_transcripts.py", path, table).stdout)
    assert got == [
        ("t1 chrA:1-250(+) exons=3 length=82", a[0:10] + a[99:120] + a[199:250]),
        ("t2 chrB:5-97(-) exons=2 length=53", revcomp(b[4:9] + b[49:97])),
        ("t3 chrA:503-503(-) exons=1 length=1", revcomp(a[502])),
    ]


@pytest.mark.parametrize(
    "rows, message",
    [
        ("t\tchrA\t+\t1\t5\nt\tchrA\t-\t9\t12\n", "more than one chromosome or strand"),
        ("t\tchrA\t+\t1\t504\n", "out of bounds"),
        ("t\tchrA\t+\t0\t5\n", "bad exon"),
        ("t\tchrA\t?\t1\t5\n", "expected transcript"),
    ],
)
def test_bad_exon_tables_fail_with_a_message(genome, tmp_path, rows, message):
    table = tmp_path / "bad.tsv"
    table.write_text(rows)
    done = run("spliced_transcripts.py", genome[0], table, check=False)
    assert done.returncode != 0 and message in done.stderr


def test_spliced_defaults_give_the_cI_reading_frame():
    _, text = phage()
    records = dict((header.split()[0], seq) for header, seq in parse_fasta(run("spliced_transcripts.py").stdout))
    assert records["cI_split"] == revcomp(text[37226:37940])
    assert records["cI_split"].startswith("ATG") and records["cI_split"].endswith("TGA")
    assert records["demo_plus"] == text[99:180] + text[299:360] + text[499:620]


# ---------------------------------------------------------------- gc_windows


def gc_of(text, measure):
    gc = sum(text.count(c) for c in "GCgc")
    if measure == "gc":
        return gc / len(text)
    counted = sum(text.count(c) for c in "ACGTacgt")
    return gc / counted if counted else 0.0


def parse_bedgraph(text):
    return [(c, int(s), int(e), float(v)) for c, s, e, v in (line.split("\t") for line in text.splitlines())]


@pytest.mark.parametrize("measure", ["gc", "gc_strict"])
@pytest.mark.parametrize("window, step", [(50, None), (40, 25), (200, 300), (1000, None)])
def test_windows_cover_each_sequence(genome, measure, window, step):
    path, texts = genome
    args = [path, "--window", window, "--measure", measure] + (["--step", step] if step else [])
    got = parse_bedgraph(run("gc_windows.py", *args).stdout)
    expected = []
    for name, text in texts.items():
        for start in range(0, len(text), step or window):
            end = min(start + window, len(text))
            expected.append((name, start, end, gc_of(text[start:end], measure)))
            if end == len(text):
                break
    assert [row[:3] for row in got] == [row[:3] for row in expected]
    assert [row[3] for row in got] == pytest.approx([row[3] for row in expected], abs=5e-7)


def test_gc_defaults_cover_the_phage():
    name, text = phage()
    got = parse_bedgraph(run("gc_windows.py").stdout)
    assert [(c, s, e) for c, s, e, _ in got] == [(name, s, min(s + 1000, len(text))) for s in range(0, len(text), 1000)]
    assert got[7][3] == pytest.approx(gc_of(text[7000:8000], "gc_strict"), abs=5e-7)


# ---------------------------------------------------------------- README


def test_readme_sessions_give_the_outputs_shown(monkeypatch, capfd):
    monkeypatch.chdir(ROOT)  # the sessions use paths relative to the checkout
    result = doctest.testfile(str(ROOT / "README.md"), module_relative=False, report=False)
    assert result.attempted > 40 and result.failed == 0, capfd.readouterr().out
    # The lenient fetches of the README write the warnings it quotes.
    warnings = capfd.readouterr().err
    for line in (ROOT / "README.md").read_text().splitlines():
        if line.startswith("    WARNING: ") and "cannot be 0" not in line:
            assert line.strip() + "\n" in warnings


# ---------------------------------------------------------------- every script


SCRIPTS = ["bed_to_fasta.py", "spliced_transcripts.py", "gc_windows.py", "tour.py", "dask_regions.py"]


@pytest.mark.parametrize("script", SCRIPTS)
def test_help_lists_the_usage(script):
    done = run(script, "--help")
    assert done.stdout.startswith("usage: ") and done.stderr == ""


@pytest.mark.parametrize("script", SCRIPTS)
def test_a_closed_pipe_ends_the_script_quietly(script):
    # The reader is gone before the script writes anything, as with `| head -0`.
    args = ["--local"] if script == "dask_regions.py" else []
    with subprocess.Popen(
        [sys.executable, str(EXAMPLES / script), *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE
    ) as child:
        child.stdout.close()
        try:
            assert child.wait(timeout=120) == 141
            assert child.stderr.read() == b""
        finally:
            child.kill()


def test_tour_reads_in_place(genome):
    path, texts = genome
    first = run("tour.py", path).stdout
    assert first.startswith("index built in ") and f"{path}.fai" in first.splitlines()[0]
    again = run("tour.py", path).stdout
    assert again.startswith("index read in ") and f"whole sequence: {len(texts['chrA'])} bases" in again


def test_tour_puts_the_index_elsewhere_where_it_cannot_write(genome, monkeypatch):
    path, _ = genome
    spec = importlib.util.spec_from_file_location("tour", EXAMPLES / "tour.py")
    tour = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(tour)
    # Root may write anywhere, so the read-only directory is what os.access says.
    monkeypatch.setattr(tour.os, "access", lambda *args: False)
    fa, index = tour.open_indexed(path)
    assert "gelvo-tour-" in index and os.path.exists(index) and not os.path.exists(path + ".fai")
    assert fa.keys[0] == "chrA"
