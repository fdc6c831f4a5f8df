"""BGZF files for the tests: made by bgzip, or written here in blocks of any
size so that a small text spans many blocks (bgzip always fills 64 KiB)."""

import shutil
import struct
import subprocess
import zlib

import pytest

EOF_MARKER = bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")

needs_bgzip = pytest.mark.skipif(shutil.which("bgzip") is None, reason="bgzip (Debian tabix) is not installed")
needs_samtools = pytest.mark.skipif(shutil.which("samtools") is None, reason="samtools is not installed")


def member(data, level=6):
    """One BGZF member holding data."""
    deflate = zlib.compressobj(level, zlib.DEFLATED, -15)
    cdata = deflate.compress(data) + deflate.flush()
    size = 18 + len(cdata) + 8
    header = b"\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00BC\x02\x00" + struct.pack("<H", size - 1)
    return header + cdata + struct.pack("<II", zlib.crc32(data), len(data))


def compress(data, block=65280, eof=True):
    """data in members of `block` bytes, then (when eof) the empty end-of-file member."""
    blocks = b"".join(member(data[i : i + block]) for i in range(0, len(data), block))
    return blocks + (EOF_MARKER if eof else b"")


def bgzip(data):
    """What bgzip writes for data."""
    return subprocess.run(["bgzip", "-c"], input=data, capture_output=True, check=True).stdout


def members(compressed):
    """(offset, size, inflated size) of each member, read from the BC subfield and the trailer."""
    out, at = [], 0
    while at < len(compressed):
        size = struct.unpack("<H", compressed[at + 16 : at + 18])[0] + 1
        out.append((at, size, struct.unpack("<I", compressed[at + size - 4 : at + size])[0]))
        at += size
    return out


def gzi_bytes(entries):
    return struct.pack("<Q", len(entries)) + b"".join(struct.pack("<2Q", c, u) for c, u in entries)


def gzi_entries(data):
    count = struct.unpack("<Q", data[:8])[0]
    return [struct.unpack("<2Q", data[8 + 16 * i : 24 + 16 * i]) for i in range(count)]
