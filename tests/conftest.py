import os

import pytest


@pytest.fixture
def write_fasta(tmp_path):
    """Writes text (str or bytes) to a FASTA file in tmp_path; returns its path as str."""

    def write(content, name="ref.fa"):
        path = tmp_path / name
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)

    return write


@pytest.fixture
def fai_of():
    """Reads the .fai written beside a FASTA path (or at an explicit path)."""

    def read(path, index_path=None):
        with open(index_path or path + ".fai", "rb") as f:
            return f.read().decode()

    return read


def set_mtime(path, seconds):
    os.utime(path, (seconds, seconds))
