"""Building, writing, loading and refreshing the .fai index."""

import os
import stat

import gelvo
import pytest
from conftest import set_mtime


def build(write_fasta, fai_of, text):
    path = write_fasta(text)
    gelvo.Faidx(path)
    return fai_of(path)


@pytest.mark.parametrize(
    "text, expected",
    [
        # 60, 60, 30 residues with LF ends
        (">chr1\n" + "A" * 60 + "\n" + "C" * 60 + "\n" + "G" * 30 + "\n", "chr1\t150\t6\t60\t61\n"),
        # name is the first word; description ignored; blanks and a TAB around it
        (">chr1 some description\nACGT\n", "chr1\t4\t23\t4\t5\n"),
        (">  chr1\tdesc\nACGT\n", "chr1\t4\t13\t4\t5\n"),
        # CRLF: offsets point past the LF, lenb counts both terminator bytes
        (">c\r\nACGT\r\nAC\r\n", "c\t6\t4\t4\t6\n"),
        # first sequence line blank
        (">c\n\nACGT\n", "c\t4\t3\t0\t1\n"),
        (">c\r\n\r\nACGT\r\n", "c\t4\t4\t0\t2\n"),
        # header directly followed by another header, and by the end of file
        (">a\n>b\nAC\n>c\n", "a\t0\t3\t0\t0\nb\t2\t6\t2\t3\nc\t0\t12\t0\t0\n"),
        # last line without LF: lenb equals lenc; header without LF at the end
        (">a\nACGTA", "a\t5\t3\t5\t5\n"),
        (">a\nAC\n>b", "a\t2\t3\t2\t3\nb\t0\t8\t0\t0\n"),
        # lines of differing length are accepted; the first decides lenc
        (">a\n" + "A" * 60 + "\n" + "A" * 70 + "\n", "a\t130\t3\t60\t61\n"),
        # '>' alone gives an empty name: that record and its lines vanish,
        # as do lines before the first header
        ("ACGT\n>\nGGGG\n>b\nTT\n", "b\t2\t15\t2\t3\n"),
        # ';' lines, spaces and tabs inside sequence lines are residues
        (">a\n;x y\n", "a\t4\t3\t4\t5\n"),
        # only trailing CR/LF are removed
        (">a\nAC\rGT\r\r\n", "a\t5\t3\t5\t8\n"),
        ("", ""),
    ],
)
def test_build_writes_expected_fai(write_fasta, fai_of, text, expected):
    assert build(write_fasta, fai_of, text) == expected


def test_unicode_whitespace_splits_the_name(write_fasta, fai_of):
    # U+00A0 and U+3000 are White_Space; U+001F is not.
    text = ">\u3000chr\u00a0x\nAC\n>a\u001fb c\nG\n"
    fai = build(write_fasta, fai_of, text)
    names = [line.split("\t")[0] for line in fai.splitlines()]
    assert names == ["chr", "a\u001fb"]


def test_duplicate_names_all_written_last_one_wins(write_fasta, fai_of):
    path = write_fasta(">chr1\nAAAA\n>chr1\nCCCCCC\n")
    fa = gelvo.Faidx(path)
    assert fai_of(path) == "chr1\t4\t6\t4\t5\nchr1\t6\t17\t6\t7\n"
    assert fa.keys == ["chr1"]
    assert fa.fetch("chr1", 1, 6).seq == "CCCCCC"


def test_lambda_phage_matches_samtools(fai_of):
    src = os.path.join(os.path.dirname(__file__), "..", "examples", "data", "lambda_phage.fa")
    import shutil
    import tempfile

    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "lambda.fa")
        shutil.copyfile(src, path)
        gelvo.Faidx(path)
        assert fai_of(path) == "gi|9626243|ref|NC_001416.1|\t48502\t74\t70\t71\n"


def test_invalid_utf8_fails_and_writes_nothing(write_fasta):
    path = write_fasta(b">a\nAC\xffGT\n")
    with pytest.raises(Exception) as info:
        gelvo.Faidx(path)
    assert type(info.value) is Exception
    assert str(info.value) == "IOError: stream did not contain valid UTF-8"
    assert not os.path.exists(path + ".fai")
    assert os.listdir(os.path.dirname(path)) == ["ref.fa"]


def test_index_file_permissions_follow_umask(write_fasta):
    path = write_fasta(">a\nAC\n")
    old = os.umask(0o027)
    try:
        gelvo.Faidx(path)
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(path + ".fai").st_mode) == 0o640


# ---------------------------------------------------------------- loading


def write_index(path, text):
    with open(path + ".fai", "wb") as f:
        f.write(text.encode() if isinstance(text, str) else text)


@pytest.mark.parametrize(
    "fai, keys",
    [
        ("a\t4\t3\t4\t5\n", ["a"]),
        ("a\t4\t3\t4\t5\textra\n", []),  # six columns: not an index line
        ("a\t4\t3\t4\n\nrandom text\n", []),  # too few columns, blank, junk
        ("  a\t4\t3\t4\t5  \r\n", ["a"]),  # surrounding blanks and CRLF ignored
        ("a\t+4\t3\t4\t5\n", ["a"]),  # '+' sign accepted
        ("name with spaces\t4\t3\t4\t5\n", ["name with spaces"]),
        ("", []),
    ],
)
def test_load_accepts_and_skips_lines(write_fasta, fai, keys):
    path = write_fasta(">a\nACGT\n")
    write_index(path, fai)
    os.utime(path, (0, 0))  # index is newer: used as it is
    assert gelvo.Faidx(path).keys == keys


@pytest.mark.parametrize(
    "fields, message",
    [
        ("1e3\t3\t4\t5", "Invalid rlen"),
        ("4\t3\t4\t5x", "Invalid lenb"),
        ("4\t 3\t4\t5", "Invalid offset"),
        ("4\t-3\t4\t5", "Invalid offset"),
        ("4\t3\t\t5", "Invalid lenc"),
        ("4\t3\t4\t18446744073709551616", "Invalid lenb"),  # 2**64 does not fit
        ("4\t18446744073709551616\t4\t5", "Invalid offset"),
        ("4\t3\t+\t5", "Invalid lenc"),
    ],
)
def test_load_rejects_bad_numbers(write_fasta, fields, message):
    path = write_fasta(">a\nACGT\n")
    write_index(path, "a\t" + fields + "\n")
    os.utime(path, (0, 0))
    with pytest.raises(Exception) as info:
        gelvo.Faidx(path)
    assert type(info.value) is Exception
    assert str(info.value) == "FastaIndexingError: " + message


def test_load_rejects_bad_number_in_middle_field_with_space(write_fasta):
    path = write_fasta(">a\nACGT\n")
    write_index(path, "a\t 100\t3\t4\t5\n")
    os.utime(path, (0, 0))
    with pytest.raises(Exception, match="^FastaIndexingError: Invalid rlen$"):
        gelvo.Faidx(path)


def test_load_of_non_utf8_index_is_an_io_error(write_fasta):
    path = write_fasta(">a\nACGT\n")
    write_index(path, b"\xff\t4\t3\t4\t5\n")
    os.utime(path, (0, 0))
    with pytest.raises(Exception, match="^IOError: stream did not contain valid UTF-8$"):
        gelvo.Faidx(path)


# ---------------------------------------------------------------- the decision


@pytest.mark.parametrize(
    "rebuild, build_index, rebuilt",
    [(True, True, True), (False, True, False), (True, False, False), (False, False, False)],
)
def test_older_index_rebuilt_only_when_both_allow(write_fasta, fai_of, rebuild, build_index, rebuilt):
    path = write_fasta(">a\nACGT\n")
    write_index(path, "stale\t1\t3\t4\t5\n")
    set_mtime(path + ".fai", 1_000_000)
    set_mtime(path, 2_000_000)
    fa = gelvo.Faidx(path, rebuild=rebuild, build_index=build_index)
    assert fa.keys == (["a"] if rebuilt else ["stale"])
    assert (fai_of(path) == "a\t4\t3\t4\t5\n") == rebuilt


def test_equal_times_never_rebuild(write_fasta):
    path = write_fasta(">a\nACGT\n")
    write_index(path, "stale\t1\t3\t4\t5\n")
    set_mtime(path + ".fai", 1_500_000)
    set_mtime(path, 1_500_000)
    assert gelvo.Faidx(path).keys == ["stale"]


def test_missing_index_without_build(write_fasta):
    path = write_fasta(">a\nACGT\n")
    with pytest.raises(Exception) as info:
        gelvo.Faidx(path, build_index=False)
    assert type(info.value) is Exception
    assert str(info.value) == "IndexNotFoundError: " + path + ".fai"


def test_indexname_is_used_and_default_untouched(write_fasta, fai_of, tmp_path):
    path = write_fasta(">a\nACGT\n")
    other = str(tmp_path / "elsewhere.idx")
    fa = gelvo.Faidx(path, indexname=other)
    assert fa.keys == ["a"]
    assert fai_of(path, other) == "a\t4\t3\t4\t5\n"
    assert not os.path.exists(path + ".fai")


# ---------------------------------------------------------------- safe writes


def test_uncreatable_index_is_an_io_error(tmp_path):
    path = str(tmp_path / "ref.fa")
    with open(path, "w") as f:
        f.write(">a\nACGT\n")
    missing = str(tmp_path / "no-such-dir" / "ref.fa.fai")
    with pytest.raises(Exception) as info:
        gelvo.Faidx(path, indexname=missing)
    assert str(info.value) == "IOError: No such file or directory (os error 2)"


def test_rebuild_replaces_index_atomically(write_fasta, fai_of, tmp_path):
    path = write_fasta(">a\nACGT\n")
    write_index(path, "stale\t1\t3\t4\t5\n")
    set_mtime(path + ".fai", 1_000_000)
    before = os.stat(path + ".fai").st_ino
    gelvo.Faidx(path)
    assert fai_of(path) == "a\t4\t3\t4\t5\n"
    # A new file took the old one's place: readers holding the old one
    # never saw it change under them.
    assert os.stat(path + ".fai").st_ino != before
    assert sorted(os.listdir(tmp_path)) == ["ref.fa", "ref.fa.fai"]


def test_symlinked_index_is_written_through_the_link(write_fasta, fai_of, tmp_path):
    path = write_fasta(">a\nACGT\n")
    real = tmp_path / "real.fai"
    os.symlink(real, path + ".fai")
    real.write_text("stale\t1\t3\t4\t5\n")
    set_mtime(str(real), 1_000_000)
    gelvo.Faidx(path)
    assert os.path.islink(path + ".fai")
    assert real.read_text() == "a\t4\t3\t4\t5\n"


def test_failed_rebuild_keeps_the_old_index(write_fasta, fai_of):
    path = write_fasta(b">a\nAC\xffGT\n")
    write_index(path, "old\t1\t3\t4\t5\n")
    set_mtime(path + ".fai", 1_000_000)
    with pytest.raises(Exception, match="^IOError: stream did not contain valid UTF-8$"):
        gelvo.Faidx(path)
    assert fai_of(path) == "old\t1\t3\t4\t5\n"
