"""Writes the seed corpus of each harness under fuzz/corpus/<harness>/.

The extract and bgzf harnesses read binary layouts (see extract.cpp and
bgzf.cpp); their seeds are made here from readable descriptions, the BGZF
members with zlib. Run again after changing a layout.
"""

import pathlib
import struct
import zlib

CORPUS = pathlib.Path(__file__).parent / "corpus"

INDEX_BUILD = {
    "wrapped": b">chr1 description\nACGTACGTAC\nACGTAC\n>chr2\nGGCC\n",
    "crlf": b">a\r\nACGT\r\nAC\r\n>b\r\n\r\nTT\r\n",
    "duplicates": b">a\nAAAA\n>b\nCC\n>a\nGG\nG\n",
    "unicode_space": ">x\u00a0y\u3000z\nACGT\n>\u2003\n>\u200aw v\nNN\n".encode(),
    "no_final_newline": b">a\nACGT\nAC",
    "before_header": b"ACGT\nAC\n>a\n\n\nAC\n>\nGG\n>b",
    "cr_runs": b">a\nAC\r\r\n\r\nG\rT\n>b\r\r",
    "invalid_utf8": b">a\nAC\xc3\x28GT\n>b\xed\xa0\x80\nAC\n",
    "nul_bytes": b">a\x00b\nA\x00C\n",
    # 0x01: after a filler record that stops k bytes short of a read boundary.
    "seam_line": b"\x01\x05ACGTACGTAC\nAC\n>n\nGG\n",
    "seam_utf8": b"\x01\x01\n>\xe3\x80\x80name\xc2\xa0x\nA\n",
    "seam_crlf": b"\x01\x01\r\r\n>z\r\nA\r\n",  # a CR run split between two reads
}

FAI_LOAD = {
    "plain": b"chr1\t16\t19\t10\t11\nchr2\t4\t42\t4\t5\n",
    "blanks_crlf": b"  a\t4\t3\t4\t5  \r\n\n\t\nb\t+4\t3\t4\t5\r\n",
    "six_fields": b"a\t4\t3\t4\t5\textra\nb\t1\t2\t3\n",
    "edges": b"a\t18446744073709551615\t18446744073709551615\t1\t18446744073709551615\n",
    "too_big": b"a\t18446744073709551616\t3\t4\t5\n",
    "bad_lenb": b"a\t4\t3\t4\t5x\n",
    "bad_offset": b"a\t4\t-3\t4\t5\n",
    "replaced": b"a\t1\t2\t3\t4\nb\t1\t1\t1\t1\na\t9\t9\t9\t9\n",
    "spaces_in_name": b"name with spaces\t4\t3\t4\t5\n",
    "unicode": "\u00e9t\u00e9\t4\t3\t4\t5\n\u3000x\t1\t1\t1\t1\u2028\n".encode(),
    "invalid_utf8": b"a\t4\t3\t4\t5\n\xff\t1\t1\t1\t1\n",
}

U64 = 2**64 - 1


def extract_seed(flags, entries, queries, fasta):
    out = bytes([flags, len(entries) - 1])
    for offset, rlen, lenc, lenb in entries:
        out += struct.pack("<4Q", offset, rlen, lenc, lenb)
    out += bytes([len(queries)])
    for which, start, end in queries:
        out += bytes([which]) + struct.pack("<2Q", start, end)
    return out + fasta


TEN = b">a\nACGTACGTAC\nACGTAC\n>b\nggcc\n"
EXTRACT = {
    "honest": extract_seed(
        0, [(3, 16, 10, 11), (24, 4, 4, 5)], [(0, 1, 16), (0, 9, 12), (1, 2, 3), (0, 0, 0), (5, 1, 1)], TEN
    ),
    "strict_upper_fill": extract_seed(
        1 | 2 | 4, [(3, 20, 10, 11), (24, 4, 4, 5)], [(0, 1, 20), (0, 15, 30), (1, 3, 2)], TEN
    ),
    "lenient_raw": extract_seed(8 | 16, [(3, 16, 10, 11)], [(0, 0, 5), (0, 17, 40), (0, 5, 3)], TEN),
    "crlf": extract_seed(0, [(4, 6, 4, 6)], [(0, 1, 6), (0, 4, 5)], b">a\r\nACGT\r\nAC\r\n"),
    "offset_past_end": extract_seed(0, [(999, 100, 4, 5)], [(0, 1, 100)], TEN),
    "huge_rlen": extract_seed(4, [(3, U64, 4, 5)], [(0, 1, U64), (0, 2**63, 2**63 + 5)], TEN),
    "offset_at_max": extract_seed(0, [(U64, 100, 4, 5)], [(0, 1, 8)], TEN),
    "lenb_below_lenc": extract_seed(0, [(3, 100, 4, 2)], [(0, 1, 100), (0, 7, 9)], TEN),
    "line_sizes_at_max": extract_seed(0, [(3, 100, U64, U64), (3, 100, 1, U64)], [(0, 1, 100), (1, 2, 3)], TEN),
    "no_bases_per_line": extract_seed(0, [(3, 100, 0, 0)], [(0, 1, 10)], TEN),
    "empty_file": extract_seed(0, [(0, 5, 5, 6)], [(0, 1, 5)], b""),
    # Bit 5: the entries come from the index build of the file itself.
    "honest_lines": extract_seed(
        32 | 2,
        [(0, 0, 0, 0)] * 3,
        [(0, 1, 70), (1, 59, 125), (2, 3, 2), (1, 1, 200)],
        b">x\n" + b"acgt" * 15 + b"\nACGT\n>y d\n" + b"GATTACA" * 20 + b"\n>z\nAC",
    ),
    "honest_crlf": extract_seed(
        32 | 4, [(0, 0, 0, 0)] * 2, [(0, 2, 9), (1, 1, 4), (0, 0, 100)], b">a\r\nACGTA\r\nCGTAC\r\nGT\r\n>b\r\nTTTT\r\n"
    ),
}


def bgzf_member(data, extra=b""):
    """One BGZF member holding data (raw deflate, level 6)."""
    deflate = zlib.compressobj(6, zlib.DEFLATED, -15)
    cdata = deflate.compress(data) + deflate.flush()
    xfield = b"BC\x02\x00" + struct.pack("<H", 0) + extra
    size = 12 + len(xfield) + len(cdata) + 8
    xfield = b"BC\x02\x00" + struct.pack("<H", size - 1) + extra
    header = b"\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff" + struct.pack("<H", len(xfield)) + xfield
    return header + cdata + struct.pack("<II", zlib.crc32(data), len(data))


def bgzf(data, block=40):
    """data in members of `block` bytes, then the empty end-of-file member."""
    return b"".join(bgzf_member(data[i : i + block]) for i in range(0, len(data), block)) + bgzf_member(b"")


def gzi(entries):
    return struct.pack("<Q", len(entries)) + b"".join(struct.pack("<2Q", c, u) for c, u in entries)


def bgzf_seed(compressed, queries, gzi_bytes=None):
    """queries: (offset, rlen, lenc, lenb, start, count)."""
    out = b"\x00" if gzi_bytes is None else b"\x01" + struct.pack("<H", len(gzi_bytes)) + gzi_bytes
    out += bytes([len(queries)])
    for offset, rlen, lenc, lenb, start, count in queries:
        out += struct.pack("<HHBBHH", offset, rlen, lenc, lenb, start, count)
    return out + compressed


WRAPPED = b">a\nACGTACGTAC\nACGTACGTAC\nACGTACGTAC\nACG\n>b\nggccaattgg\nccaa\n" * 6
WRAPPED_Q = [(3, 33, 10, 11, 1, 33), (3, 33, 10, 11, 9, 12), (46, 14, 10, 11, 2, 12), (3, 400, 10, 11, 1, 400)]


def starts(compressed):
    """The .gzi entries of a compressed file, as htslib lists them."""
    entries, at, u, seen = [], 0, 0, False
    while at < len(compressed):
        size = struct.unpack("<H", compressed[at + 16 : at + 18])[0] + 1
        isize = struct.unpack("<I", compressed[at + size - 4 : at + size])[0]
        if isize:
            if seen:
                entries.append((at, u))
            seen = True
            u += isize
        at += size
    return entries


MANY = bgzf(WRAPPED, 23)
BGZF = {
    "wrapped": bgzf_seed(bgzf(WRAPPED), WRAPPED_Q),
    "many_blocks": bgzf_seed(MANY, WRAPPED_Q + [(0, 300, 1, 1, 1, 300)]),
    "joined": bgzf_seed(bgzf(WRAPPED[:50]) + bgzf(WRAPPED[50:120], 17), WRAPPED_Q),
    "no_eof_marker": bgzf_seed(bgzf(WRAPPED)[:-28], WRAPPED_Q),
    "leading_empty": bgzf_seed(bgzf_member(b"") + bgzf(WRAPPED[:90]), WRAPPED_Q),
    "crlf": bgzf_seed(bgzf(b">a\r\nACGT\r\nAC\r\n", 5), [(4, 6, 4, 6, 1, 6), (4, 6, 4, 6, 4, 5)]),
    "extra_subfields": bgzf_seed(bgzf_member(b">x\nACGT\n", b"ZZ\x01\x00q") + bgzf_member(b""), [(3, 4, 4, 5, 1, 4)]),
    "bad_crc": bgzf_seed(bgzf(WRAPPED)[:60] + b"\x00" + bgzf(WRAPPED)[61:], WRAPPED_Q),
    "truncated": bgzf_seed(bgzf(WRAPPED)[:-40], WRAPPED_Q),
    "gzip_member": bgzf_seed(zlib.compress(WRAPPED), WRAPPED_Q),
    "gzi_true": bgzf_seed(MANY, WRAPPED_Q, gzi(starts(MANY))),
    "gzi_shifted": bgzf_seed(MANY, WRAPPED_Q, gzi([(c, u + 1) for c, u in starts(MANY)])),
    "gzi_past_end": bgzf_seed(MANY, WRAPPED_Q, gzi([(len(MANY) + 5, 23)])),
    "gzi_decreasing": bgzf_seed(MANY, WRAPPED_Q, gzi(starts(MANY)[::-1])),
    "gzi_short": bgzf_seed(MANY, WRAPPED_Q, gzi(starts(MANY)[:3])),
    "gzi_bad_count": bgzf_seed(MANY, WRAPPED_Q, struct.pack("<Q", 2**63) + gzi(starts(MANY))[8:]),
}


def main():
    harnesses = (("index_build", INDEX_BUILD), ("fai_load", FAI_LOAD), ("extract", EXTRACT), ("bgzf", BGZF))
    for harness, seeds in harnesses:
        directory = CORPUS / harness
        directory.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (directory / name).write_bytes(data)


if __name__ == "__main__":
    main()
