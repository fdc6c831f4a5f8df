"""Writes the seed corpus of each harness under fuzz/corpus/<harness>/.

The extract harness reads a binary layout (see extract.cpp); its seeds are
made here from readable descriptions. Run again after changing a layout.
"""

import pathlib
import struct

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


def main():
    for harness, seeds in (("index_build", INDEX_BUILD), ("fai_load", FAI_LOAD), ("extract", EXTRACT)):
        directory = CORPUS / harness
        directory.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (directory / name).write_bytes(data)


if __name__ == "__main__":
    main()
