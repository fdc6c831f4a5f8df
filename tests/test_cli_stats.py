"""`gelvo stats`: per-sequence composition, checked against counts made in plain Python
over the file's text."""

import json
import random

import pytest
from gelvo_cli.stats import composition
from test_cli_fetch import gelvo


@pytest.fixture
def genome(write_fasta):
    rng = random.Random(3)
    records = {
        "mixed": "".join(rng.choice("ACGTNacgtnRYKM*-") for _ in range(5000)),
        "upper": "".join(rng.choice("ACGT") for _ in range(777)),
        "empty": "",
        "masked": "acgtn" * 40,
    }
    text = "".join(
        f">{name} desc\r\n" + "".join(seq[i : i + 61] + "\r\n" for i in range(0, len(seq), 61))
        for name, seq in records.items()
    )
    return write_fasta(text), records


def expected_row(name, seq):
    upper = seq.upper()
    counts = {base: upper.count(base) for base in "ACGTN"}
    acgt = sum(counts[b] for b in "ACGT")
    return {
        "name": name,
        "length": len(seq),
        **counts,
        "other": len(seq) - acgt - counts["N"],
        "gc": (counts["C"] + counts["G"]) / acgt if acgt else 0.0,
        "lower": sum(c.islower() for c in seq) / len(seq) if seq else 0.0,
    }


def test_json_rows_and_total(genome):
    path, records = genome
    done = gelvo("stats", path, "--format", "json")
    assert done.returncode == 0 and done.stderr == b""
    report = json.loads(done.stdout)
    assert report["sequences"] == [pytest.approx(expected_row(n, s)) for n, s in records.items()]
    everything = "".join(records.values())
    assert report["total"] == pytest.approx({k: v for k, v in expected_row("*", everything).items() if k != "name"})


def test_tsv_has_a_header_a_row_per_sequence_and_a_total(genome):
    path, records = genome
    lines = gelvo("stats", path).stdout.decode().splitlines()
    assert lines[0] == "#name\tlength\tA\tC\tG\tT\tN\tother\tgc\tlower"
    rows = [line.split("\t") for line in lines[1:]]
    wanted = [expected_row(n, s) for n, s in records.items()] + [expected_row("*", "".join(records.values()))]
    assert [r[:8] for r in rows] == [
        [str(w[k]) for k in ("name", "length", "A", "C", "G", "T", "N", "other")] for w in wanted
    ]
    assert [[float(r[8]), float(r[9])] for r in rows] == [
        pytest.approx([w["gc"], w["lower"]], abs=5e-7) for w in wanted
    ]


def test_composition_counts_every_byte_value(write_fasta):
    import gelvo as module

    text = "".join(chr(c) for c in range(33, 127) if chr(c) not in ">;") * 3
    path = write_fasta(">all\n" + text + "\n")
    counts = composition(module.Faidx(path), "all")
    assert len(counts) == 256 and counts == tuple(text.count(chr(b)) for b in range(256))


def test_a_missing_file_is_an_error(tmp_path):
    done = gelvo("stats", tmp_path / "none.fa")
    assert (
        done.returncode == 1 and done.stderr.decode() == f"gelvo: error: FastaNotFoundError: {tmp_path / 'none.fa'}\n"
    )
