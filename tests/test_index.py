"""Building, writing, loading and refreshing the .fai index."""

import os
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap

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
        # header directly followed by another header, and by the end of file
        (">a\n>b\nAC\n>c\n", "a\t0\t3\t0\t0\nb\t2\t6\t2\t3\nc\t0\t12\t0\t0\n"),
        # last line without LF: lenb equals lenc; header without LF at the end
        (">a\nACGTA", "a\t5\t3\t5\t5\n"),
        (">a\nAC\n>b", "a\t2\t3\t2\t3\nb\t0\t8\t0\t0\n"),
        # '>' alone gives an empty name: that record and its lines vanish,
        # as do lines before the first header
        ("ACGT\n>\nGGGG\n>b\nTT\n", "b\t2\t15\t2\t3\n"),
        # ';' lines, spaces and tabs inside sequence lines are residues
        (">a\n;x y\n", "a\t4\t3\t4\t5\n"),
        # a record whose only lines are blank; trailing CRs are line end
        (">c\n\n\n>d\nAC\r\r\n", "c\t0\t3\t0\t1\nd\t2\t8\t2\t5\n"),
        # a short last line, then blank lines of any kind
        (">a\nACGT\nAC\n\n\r\n\n", "a\t6\t3\t4\t5\n"),
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


# ---------------------------------------------------------------- refused layouts


@pytest.mark.parametrize(
    "text, message",
    [
        # a short line in the middle shifts every base after it
        (">c1\nAAAACCCC\nGG\nTTTTAAAA\nCC\n", "Different line length in sequence 'c1' at line 4"),
        # a last line longer than the first
        (">c1\nACGT\nACGT\nACGTAC\n>c2\nTTTT\n", "Different line length in sequence 'c1' at line 4"),
        # a blank line inside a record, and a blank first line before bases
        (">a\nAC\n>b\nACGT\n\nACGT\n", "Different line length in sequence 'b' at line 6"),
        (">c\n\nACGT\n", "Different line length in sequence 'c' at line 3"),
        (">c\r\n\r\nACGT\r\n", "Different line length in sequence 'c' at line 3"),
        # LF and CRLF in one record: the same bytes, one residue more
        (">m\nACGT\r\nACGTA\nAC\n", "Different line length in sequence 'm' at line 3"),
        (">m\nACGT\r\nACGT\nAC\n", "Different line length in sequence 'm' at line 4"),
        # a CR inside a line is counted by the index and skipped by a fetch
        (">a\nAC\rGT\r\r\n", "Carriage return inside a line of sequence 'a' at line 2"),
        (">a\nACGT\nAC\rG\n", "Carriage return inside a line of sequence 'a' at line 3"),
        # a record under a '>' alone is checked although it is dropped
        (">\nACGT\nAC\nACGT\n>b\nA\n", "Different line length in sequence '' at line 4"),
    ],
)
def test_irregular_layouts_are_refused(write_fasta, text, message):
    path = write_fasta(text)
    with pytest.raises(Exception) as info:
        gelvo.Faidx(path)
    assert type(info.value) is Exception
    assert str(info.value) == "FastaIndexingError: " + message
    assert os.listdir(os.path.dirname(path)) == ["ref.fa"]


def test_refused_rebuild_keeps_the_stale_index(write_fasta, fai_of):
    path = write_fasta(">a\nACGT\nA\nACGT\n")
    write_index(path, "old\t1\t3\t4\t5\n")
    set_mtime(path + ".fai", 1_000_000)
    before = os.stat(path + ".fai")
    with pytest.raises(Exception, match="^FastaIndexingError: Different line length in sequence 'a' at line 4$"):
        gelvo.Faidx(path)
    after = os.stat(path + ".fai")
    assert fai_of(path) == "old\t1\t3\t4\t5\n"
    assert (after.st_ino, after.st_mtime) == (before.st_ino, before.st_mtime)


def test_not_utf8_wins_over_a_refused_layout(write_fasta):
    # Whatever else is wrong, a file that is not text is an IOError.
    path = write_fasta(b">a\nACGT\nAC\nACGT\n>b\n\xff\n")
    with pytest.raises(Exception, match="^IOError: stream did not contain valid UTF-8$"):
        gelvo.Faidx(path)


def test_layout_is_checked_across_read_boundaries(write_fasta):
    # Lines and CR runs that straddle the scanner's 256 KiB reads.
    width = 61
    body = ("A" * 60 + "\r\n") * (300_000 // width)
    for tail, message in [
        ("A" * 61 + "\r\n", "Different line length in sequence 'r' at line"),
        ("A" * 30 + "\r" + "A" * 29 + "\r\n", "Carriage return inside a line of sequence 'r' at line"),
    ]:
        path = write_fasta(">r\n" + body + tail + "AC\r\n")
        lines = 1 + body.count("\n") + 1
        with pytest.raises(Exception, match=f"^FastaIndexingError: {message} {lines}$"):
            gelvo.Faidx(path)
    path = write_fasta(">r\n" + body + "AC\r\n\r\n")
    assert gelvo.Faidx(path).fetch("r", 1, 3).seq == "AAA"


# ---------------------------------------------------------------- what a rewrite keeps


def stale_index(path, text="stale\t1\t3\t4\t5\n"):
    write_index(path, text)
    set_mtime(path + ".fai", 1_000_000)


def test_rebuild_keeps_permission_bits(write_fasta, fai_of):
    path = write_fasta(">a\nACGT\n")
    stale_index(path)
    os.chmod(path + ".fai", 0o604)
    old = os.umask(0o077)
    try:
        gelvo.Faidx(path)
    finally:
        os.umask(old)
    assert fai_of(path) == "a\t4\t3\t4\t5\n"
    assert stat.S_IMODE(os.stat(path + ".fai").st_mode) == 0o604


@pytest.mark.skipif(os.geteuid() != 0, reason="only root may give a file to another owner")
def test_rebuild_keeps_owner_and_group(write_fasta, fai_of):
    path = write_fasta(">a\nACGT\n")
    stale_index(path)
    os.chown(path + ".fai", 65534, 65534)
    os.chmod(path + ".fai", 0o640)
    before = os.stat(path + ".fai").st_ino
    gelvo.Faidx(path)
    st = os.stat(path + ".fai")
    assert fai_of(path) == "a\t4\t3\t4\t5\n"
    assert st.st_ino != before  # replaced, not rewritten
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (65534, 65534, 0o640)


def test_dangling_symlink_creates_its_target(write_fasta, fai_of, tmp_path):
    path = write_fasta(">a\nACGT\n")
    (tmp_path / "sub").mkdir()
    os.symlink("sub/real.fai", path + ".fai")  # relative to the link's directory
    fa = gelvo.Faidx(path)
    assert fa.keys == ["a"]
    assert os.readlink(path + ".fai") == "sub/real.fai"
    assert (tmp_path / "sub" / "real.fai").read_text() == "a\t4\t3\t4\t5\n"
    assert sorted(os.listdir(tmp_path / "sub")) == ["real.fai"]


def test_chain_of_symlinks_rewrites_the_last_target(write_fasta, tmp_path):
    path = write_fasta(">a\nACGT\n")
    real = tmp_path / "real.fai"
    real.write_text("stale\t1\t3\t4\t5\n")
    set_mtime(str(real), 1_000_000)
    os.symlink(str(real), tmp_path / "middle.fai")
    os.symlink("middle.fai", path + ".fai")
    gelvo.Faidx(path)
    assert real.read_text() == "a\t4\t3\t4\t5\n"
    assert os.path.islink(tmp_path / "middle.fai") and os.path.islink(path + ".fai")


def test_symlink_loop_is_an_io_error(write_fasta, tmp_path):
    path = write_fasta(">a\nACGT\n")
    os.symlink("loop.fai", tmp_path / "loop.fai")
    os.symlink("loop.fai", path + ".fai")
    with pytest.raises(Exception, match=r"^IOError: Too many levels of symbolic links \(os error 40\)$"):
        gelvo.Faidx(path)
    assert os.path.islink(path + ".fai")


# Permissions bind root only through a process that gave them up: the child
# imports gelvo as it is, then becomes nobody (when it is root) and builds.
UNPRIVILEGED = textwrap.dedent(
    """
    import os, sys, gelvo
    if os.geteuid() == 0:
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)
    try:
        print(gelvo.Faidx(sys.argv[1]).keys)
    except Exception as e:
        print(e)
    """
)


@pytest.fixture
def shared_dir():
    """A directory outside tmp_path (whose parents are private to root),
    owned by the user the child runs as."""
    d = tempfile.mkdtemp(prefix="gelvo-index-")
    if os.geteuid() == 0:
        os.chown(d, 65534, 65534)
    yield d
    os.chmod(d, 0o755)
    shutil.rmtree(d)


def unprivileged_build(directory, fasta_text, fai_text, dir_mode, fai_mode):
    path = os.path.join(directory, "ref.fa")
    with open(path, "w") as f:
        f.write(fasta_text)
    with open(path + ".fai", "w") as f:
        f.write(fai_text)
    set_mtime(path + ".fai", 1_000_000)
    for p in (path, path + ".fai"):
        if os.geteuid() == 0:
            os.chown(p, 65534, 65534)
    os.chmod(path + ".fai", fai_mode)
    os.chmod(directory, dir_mode)
    inode = os.stat(path + ".fai").st_ino
    out = subprocess.run([sys.executable, "-c", UNPRIVILEGED, path], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    os.chmod(directory, 0o755)
    with open(path + ".fai") as f:
        return out.stdout.strip(), f.read(), os.stat(path + ".fai").st_ino == inode, sorted(os.listdir(directory))


def test_unwritable_directory_rewrites_the_index_in_place(shared_dir):
    result, fai, same_file, listing = unprivileged_build(shared_dir, ">a\nACGT\n", "old\t1\t3\t4\t5\n", 0o555, 0o644)
    assert result == "['a']"
    assert fai == "a\t4\t3\t4\t5\n"
    assert same_file
    assert listing == ["ref.fa", "ref.fa.fai"]


def test_unwritable_index_fails_and_stays(shared_dir):
    result, fai, same_file, listing = unprivileged_build(shared_dir, ">a\nACGT\n", "old\t1\t3\t4\t5\n", 0o755, 0o444)
    assert result == "IOError: Permission denied (os error 13)"
    assert fai == "old\t1\t3\t4\t5\n"
    assert same_file
    assert listing == ["ref.fa", "ref.fa.fai"]
