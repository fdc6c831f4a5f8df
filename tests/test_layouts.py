"""Line layouts against `samtools faidx`: gelvo refuses the files samtools
refuses, plus the few whose layout samtools accepts but misreads, and
returns samtools' bytes for regions of every file both accept."""

import os
import random
import re
import shutil
import subprocess

import gelvo
import pytest

SAMTOOLS = shutil.which("samtools")
pytestmark = pytest.mark.skipif(SAMTOOLS is None, reason="samtools is not installed (scripts/test.sh installs it)")

W = "ACGTACGTAC"

# name -> file bytes. Every file starts with a header (blank lines before it
# allowed) and ends with a record that has bases, so that samtools refuses
# only for the layout.
CORPUS = {
    # regular and short last lines, several widths
    "regular": b">a desc\nACGTACGT\nACGTACGT\nACG\n>b\nAC\n",
    "width1": b">a\nA\nC\nG\nT\n",
    "one_line": b">a\n" + W.encode() * 9 + b"\n",
    "exact_fit": b">a\nACGT\nACGT\n>b\nACGTA\nACGTA\n",
    "no_final_lf": b">a\nACGT\nAC",
    "no_final_lf_full": b">a\nACGT\nACGT",
    # lines longer or shorter than the first
    "short_middle": b">c1\nAAAACCCC\nGG\nTTTTAAAA\nCC\n",
    "longer_last": b">c1\nACGT\nACGT\nACGTAC\n>c2\nTTTT\n",
    "longer_second": b">a\nACG\nACGT\n",
    "short_first": b">a\nAC\nACGT\nACGT\n",
    "longer_in_second_record": b">a\nACGT\nAC\n>b\nACGT\nACGTA\n",
    "longer_last_no_lf": b">a\nACGT\nACGTA",
    # blank lines in every position
    "blank_before_header": b"\n\n>a\nACGT\nAC\n",
    "blank_after_header": b">a\n\nACGT\n",
    "blank_inside": b">a\nACGT\n\nACGT\n",
    "blank_after_last": b">a\nACGT\nAC\n\n\n>b\nAC\n",
    "blank_after_full_last": b">a\nACGT\nACGT\n\n>b\nAC\n",
    "blank_at_end": b">a\nACGT\nAC\n\n\n",
    "blank_record_between": b">a\nACGT\n>b\n\n>c\nAC\n",
    # CR and LF
    "crlf": b">a\r\nACGT\r\nAC\r\n\r\n>b\r\nAC\r\n",
    "crlf_blank_first": b">a\r\n\r\nACGT\r\n",
    "crlf_blank_inside": b">a\r\nACGT\r\n\r\nACGT\r\n",
    "crlf_then_lf_shorter": b">a\nACGT\r\nACGT\nAC\n",
    "lf_then_crlf_longer": b">a\nACGT\nACGT\r\nAC\n",
    "crlf_records_then_lf": b">a\r\nACGT\r\nAC\r\n>b\nACGT\nA\n",
    "double_cr_line_ends": b">a\nACGT\r\r\nACGT\r\r\nA\r\r\n",
    "cr_at_end_no_lf": b">a\nACGT\nACG\r",
    # ';' lines, spaces, NULs, '>' alone
    "semicolon_first": b">a\n;comment\nACGTACGT\nACGT\n",
    "semicolon_inside": b">a\nACGTACGT\n;note\nACGT\n",
    "trailing_spaces": b">a\nACGT \nACGT \nAC\n",
    "trailing_space_last_longer": b">a\nACGT\nACG  \n",
    "inner_spaces": b">a\nAC GT\nACGTA\nA\n",
    "nul_bytes": b">a\nAC\x00GT\nACGTA\nA\n",
    "gt_alone": b">\nACGT\n>b\nAC\n",
    "gt_alone_irregular": b">\nACGT\nAC\nACGT\n>b\nAC\n",
    "header_spaces": b">  a\tdesc\nACGT\nAC\n",
}

# Files samtools accepts and whose bases it then misplaces: gelvo refuses them.
GELVO_ONLY = {
    # a CR inside a line: the index counts it, a fetch skips it
    "inner_cr": b">a\nAC\rGT\nACGT\n",
    "inner_cr_last": b">a\nACGT\nA\rC\n",
    # the same bytes per line, but a CRLF line holds one residue less
    "crlf_then_lf_same_bytes": b">a\nACGT\r\nACGTA\nAC\n",
    "lf_then_crlf_last_more": b">a\nACGT\r\nACGTA",
}

# Blank lines after the last sequence line are kept as they always were,
# also those made of several CRs, which samtools refuses.
SAMTOOLS_ONLY = {
    "double_cr_blank_after_end": b">a\nACGT\nAC\n\r\r\n\r\r\n>b\nAC\n",
}


def samtools_faidx(path, *regions):
    """(refused, stderr, stdout) of `samtools faidx path [regions]`."""
    out = subprocess.run([SAMTOOLS, "faidx", path, *regions], capture_output=True, timeout=60)
    return out.returncode != 0, out.stderr.decode(errors="replace"), out.stdout.decode(errors="replace")


def gelvo_build(path):
    """The Faidx, or the text of the error that refused the file."""
    try:
        return gelvo.Faidx(path)
    except Exception as e:
        return str(e)


def copies(tmp_path, content):
    """Two copies of one file, so that each tool writes its own index."""
    paths = []
    for tool in ("samtools", "gelvo"):
        path = tmp_path / f"{tool}.fa"
        path.write_bytes(content)
        paths.append(str(path))
    return paths


def sequences(fasta_text):
    """Name -> bases of samtools' FASTA output."""
    out, name = {}, None
    for line in fasta_text.splitlines():
        if line.startswith(">"):
            name = line[1:]
            out[name] = ""
        else:
            out[name] += line
    return out


@pytest.mark.parametrize("name", sorted(CORPUS))
def test_refusals_and_bases_match_samtools(tmp_path, name):
    content = CORPUS[name]
    st_path, gv_path = copies(tmp_path, content)
    refused, err, _ = samtools_faidx(st_path)
    fa = gelvo_build(gv_path)
    assert isinstance(fa, str) == refused, (err, fa)
    if refused:
        assert fa.startswith("FastaIndexingError: Different line length in sequence '")
        assert not os.path.exists(gv_path + ".fai")
        # samtools names a line for a line that should not be there; gelvo
        # names the same one.
        where = re.search(r"unexpected .* at line (\d+)", err)
        if where:
            assert fa.endswith(f" at line {where.group(1)}")
        return
    # The residue rule counts blanks and NULs inside lines, samtools skips
    # them: such files differ by design.
    if re.search(rb"[ \t\x00]", b"\n".join(line for line in content.split(b"\n") if not line.startswith(b">"))):
        return
    with open(st_path + ".fai") as f:
        lengths = {line.split("\t")[0]: int(line.split("\t")[1]) for line in f if line.split("\t")[0]}
    rng = random.Random(name)
    regions = []
    for record, length in lengths.items():
        for _ in range(12):
            start = rng.randint(1, length)
            regions.append((record, start, rng.randint(start, length)))
        regions.append((record, 1, length))
    expected = {}
    for record, start, end in regions:
        _, _, out = samtools_faidx(st_path, f"{record}:{start}-{end}")
        expected[(record, start, end)] = "".join(sequences(out).values())
    got = {(r, s, e): fa.fetch(r, s, e).seq for r, s, e in regions}
    assert got == expected


@pytest.mark.parametrize("name", sorted(GELVO_ONLY))
def test_misread_layouts_samtools_accepts_are_refused(tmp_path, name):
    st_path, gv_path = copies(tmp_path, GELVO_ONLY[name])
    refused, err, _ = samtools_faidx(st_path)
    assert not refused, err
    fa = gelvo_build(gv_path)
    assert isinstance(fa, str) and fa.startswith("FastaIndexingError: ")
    assert not os.path.exists(gv_path + ".fai")


@pytest.mark.parametrize("name", sorted(SAMTOOLS_ONLY))
def test_blank_lines_samtools_refuses_are_kept(tmp_path, name):
    st_path, gv_path = copies(tmp_path, SAMTOOLS_ONLY[name])
    refused, _, _ = samtools_faidx(st_path)
    assert refused
    fa = gelvo_build(gv_path)
    assert not isinstance(fa, str), fa
    assert fa.fetch("a", 1, 6).seq == "ACGTAC"
    assert fa.fetch("b", 1, 2).seq == "AC"
