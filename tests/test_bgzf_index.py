"""The two indexes of a compressed file: byte for byte what samtools faidx
writes, samtools' own indexes used as they are, and the build and rebuild
rules of the .fai applied to each of them."""

import os
import shutil
import subprocess

import gelvo
import pytest
from bgzf_files import EOF_MARKER, bgzip, compress, needs_bgzip, needs_samtools
from conftest import set_mtime

pytestmark = [needs_bgzip, needs_samtools]


def genome(records=4, length=90_000, width=60, end="\n"):
    out = []
    for r in range(records):
        seq = "".join("ACGTNacgt"[(i * 5 + r + i // 7) % 9] for i in range(length + 1000 * r))
        out.append(f">chr{r} record {r}{end}" + "".join(seq[i : i + width] + end for i in range(0, len(seq), width)))
    return "".join(out).encode()


TEXT = genome()
# Ways to the same kind of file that samtools indexes.
FILES = {
    "bgzip": lambda: bgzip(TEXT),
    "small_blocks": lambda: compress(TEXT[:40_000], block=997),
    "joined_with_cat": lambda: bgzip(TEXT[:100_003]) + bgzip(TEXT[100_003:]),
    "leading_and_inner_eof_markers": lambda: EOF_MARKER + bgzip(TEXT[:70_000]) + EOF_MARKER + bgzip(TEXT[70_000:]),
    "no_eof_marker": lambda: bgzip(TEXT)[: -len(EOF_MARKER)],
    "crlf": lambda: bgzip(genome(2, 20_000, 70, "\r\n")),
    "one_block": lambda: bgzip(b">a\nACGT\n"),
}


def place(tmp_path, data, where="gelvo"):
    path = tmp_path / where / "ref.fa.gz"
    path.parent.mkdir(exist_ok=True)
    path.write_bytes(data)
    return str(path)


def samtools_faidx(path):
    subprocess.run(["samtools", "faidx", path], check=True, capture_output=True)


def read(path):
    with open(path, "rb") as f:
        return f.read()


@pytest.mark.parametrize("make", FILES.values(), ids=FILES.keys())
def test_both_indexes_are_samtools_bytes(tmp_path, make):
    data = make()
    ours, theirs = place(tmp_path, data, "gelvo"), place(tmp_path, data, "samtools")
    gelvo.Faidx(ours)
    samtools_faidx(theirs)
    for suffix in (".fai", ".gzi"):
        assert read(ours + suffix) == read(theirs + suffix), suffix


def test_fai_counts_uncompressed_bytes_like_the_plain_file(tmp_path):
    plain = tmp_path / "ref.fa"
    plain.write_bytes(TEXT)
    packed = place(tmp_path, bgzip(TEXT))
    gelvo.Faidx(str(plain))
    gelvo.Faidx(packed)
    assert read(packed + ".fai") == read(str(plain) + ".fai")


def stamp(path):
    return os.stat(path).st_ino, os.stat(path).st_mtime_ns


def stamps(path):
    return [stamp(path + ".fai"), stamp(path + ".gzi")]


@pytest.mark.parametrize("make", FILES.values(), ids=FILES.keys())
def test_samtools_indexes_load_as_they_are(tmp_path, make):
    data = make()
    path = place(tmp_path, data)
    samtools_faidx(path)
    before = stamps(path)
    fa = gelvo.Faidx(path)
    plain = tmp_path / "ref.fa"
    plain.write_bytes(subprocess.run(["bgzip", "-dc", path], capture_output=True, check=True).stdout)
    reference = gelvo.Faidx(str(plain))
    for name in reference.keys:
        assert fa.fetch_entire_sequence(name).seq == reference.fetch_entire_sequence(name).seq
    assert stamps(path) == before


@pytest.fixture
def indexed(tmp_path):
    """A compressed file with both indexes, an hour newer than the file."""
    path = place(tmp_path, bgzip(TEXT))
    samtools_faidx(path)
    set_mtime(path, 1_700_000_000)
    for suffix in (".fai", ".gzi"):
        set_mtime(path + suffix, 1_700_003_600)
    return path


def test_missing_gzi_is_built_alone(indexed):
    reference = read(indexed + ".gzi")
    os.remove(indexed + ".gzi")
    fai_before = stamp(indexed + ".fai")
    assert gelvo.Faidx(indexed).fetch("chr2", 5, 9).seq
    assert read(indexed + ".gzi") == reference
    assert stamp(indexed + ".fai") == fai_before


@pytest.mark.parametrize("stale", [".fai", ".gzi"])
def test_index_older_than_the_file_is_rebuilt_unless_told_not_to(indexed, stale):
    set_mtime(indexed + stale, 1_600_000_000)
    other = ".gzi" if stale == ".fai" else ".fai"
    kept = stamps(indexed)
    gelvo.Faidx(indexed, rebuild=False)
    assert stamps(indexed) == kept
    reference = read(indexed + stale)
    gelvo.Faidx(indexed)
    assert os.stat(indexed + stale).st_mtime_ns > 1_700_003_600 * 10**9
    assert read(indexed + stale) == reference
    assert stamps(indexed)[[".fai", ".gzi"].index(other)] == kept[[".fai", ".gzi"].index(other)]


@pytest.mark.parametrize("missing", [".fai", ".gzi", "both"])
def test_build_index_false_names_the_missing_index(indexed, missing):
    for suffix in (".fai", ".gzi") if missing == "both" else (missing,):
        os.remove(indexed + suffix)
    named = indexed + (".fai" if missing == "both" else missing)
    with pytest.raises(Exception, match=f"^IndexNotFoundError: {named}$"):
        gelvo.Faidx(indexed, build_index=False)
    assert not os.path.exists(named)


def test_indexname_moves_the_fai_only(tmp_path):
    path = place(tmp_path, bgzip(TEXT))
    elsewhere = str(tmp_path / "names.fai")
    gelvo.Fasta(path, indexname=elsewhere)
    assert os.path.exists(elsewhere) and os.path.exists(path + ".gzi")
    assert not os.path.exists(path + ".fai")


def test_gzi_rewrite_keeps_mode_and_symlink(indexed, tmp_path):
    target = tmp_path / "kept" / "ref.gzi"
    target.parent.mkdir()
    shutil.move(indexed + ".gzi", target)
    os.symlink(target, indexed + ".gzi")
    os.chmod(target, 0o640)
    set_mtime(str(target), 1_600_000_000)
    reference = read(str(target))
    gelvo.Faidx(indexed)
    assert os.path.islink(indexed + ".gzi")
    assert read(str(target)) == reference
    assert os.stat(target).st_mtime_ns > 1_700_003_600 * 10**9
    assert os.stat(target).st_mode & 0o777 == 0o640
    assert [p.name for p in target.parent.iterdir()] == ["ref.gzi"]
