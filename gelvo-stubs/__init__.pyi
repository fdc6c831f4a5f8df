"""Indexed random access to the sequences of FASTA files."""

# The class Sequence below shadows the abstract Sequence of collections.abc,
# which the batch and splice arguments need; it is imported under an alias.
from collections.abc import Callable, Iterator
from collections.abc import Sequence as _Seq
from typing import Any, ClassVar, Literal, NoReturn, Self, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__all__ = [
    "Fasta",
    "Faidx",
    "Sequence",
    "FastaRecord",
    "FastaIterator",
    "SequenceIterator",
    "MutableFastaRecord",
]

# Stored with the object and handed back by pickling; never called.
_KeyFunction = Callable[[str], str]
_FiltFunction = Callable[[str], bool]

# fetch_array and fetch_array_same_chr (NumPy is needed only to call them).
# rc: one flag for every window, or one per window.
_Strands = bool | _Seq[bool] | npt.NDArray[np.bool_] | None
_Starts = _Seq[int] | npt.NDArray[np.integer[Any]]
_Windows = npt.NDArray[Any]

@final
class Sequence:
    name: str
    seq: str
    start: int | None
    end: int | None
    comp: bool
    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __new__(
        cls,
        name: str = ...,
        seq: str = ...,
        start: int | None = None,
        end: int | None = None,
        comp: bool = False,
    ) -> Self: ...
    @property
    def fancy_name(self) -> str: ...
    @property
    def long_name(self) -> str: ...
    @property
    def orientation(self) -> Literal[1, -1] | None: ...
    @property
    def complement(self) -> Sequence: ...
    @property
    def reverse(self) -> Sequence: ...
    @property
    def gc(self) -> float: ...
    @property
    def gc_strict(self) -> float: ...
    @property
    def gc_iupac(self) -> float: ...
    def __len__(self) -> int: ...
    def __getitem__(self, key: SupportsIndex | slice, /) -> Sequence: ...
    # Not methods of the class (see allowlist.txt): the interpreter iterates a
    # Sequence through __getitem__, one residue at a time, and `in` does the
    # same, so `"A" in s` looks for one residue.
    def __iter__(self) -> Iterator[Sequence]: ...
    def __contains__(self, value: object, /) -> bool: ...
    def __neg__(self) -> Sequence: ...
    # Equal to a str with the same residues, or to a Sequence with the same
    # seq; anything else is unequal rather than an error.
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __reduce__(self) -> tuple[type[Sequence], tuple[str, str, int | None, int | None, bool]]: ...
    # The command line's FASTA writer: each header line, then its bases wrapped.
    @staticmethod
    def _fasta(headers: _Seq[str], seqs: _Seq[Sequence | str], width: int) -> bytes: ...

@final
class Faidx:
    def __new__(
        cls,
        filename: str,
        indexname: str | None = None,
        as_raw: bool = False,
        strict_bounds: bool = False,
        sequence_always_upper: bool = False,
        rebuild: bool = True,
        build_index: bool = True,
        one_based_attributes: bool = True,
        default_seq: str | None = None,
        mutable: bool = False,
        key_function: _KeyFunction | None = None,
        split_char: str | None = None,
        filt_function: _FiltFunction | None = None,
        read_long_names: bool = False,
        duplicate_action: str = ...,
        read_ahead: int | None = None,
    ) -> Self: ...
    @property
    def keys(self) -> list[str]: ...
    def __contains__(self, key: str, /) -> bool: ...
    def fetch(self, name: str, start: int, end: int) -> Sequence: ...
    def fetch_entire_sequence(self, name: str) -> Sequence: ...
    def fetch_many(self, regions: _Seq[tuple[str, int, int]]) -> list[Sequence]: ...
    def fetch_many_same_chr(self, name: str, regions: _Seq[tuple[int, int]]) -> list[Sequence]: ...
    def fetch_array(
        self,
        regions: _Seq[tuple[str, int, int]],
        *,
        onehot: bool = False,
        rc: _Strands = None,
        pad: str = "N",
        dtype: npt.DTypeLike | None = None,
        unknown: float = 0,
        out: _Windows | None = None,
    ) -> _Windows: ...
    def fetch_array_same_chr(
        self,
        name: str,
        starts: _Starts,
        length: int,
        *,
        onehot: bool = False,
        rc: _Strands = None,
        pad: str = "N",
        dtype: npt.DTypeLike | None = None,
        unknown: float = 0,
        out: _Windows | None = None,
    ) -> _Windows: ...
    # The command line's statistics: how often each byte value occurs in a record.
    def _composition(self, name: str) -> tuple[int, ...]: ...
    def __reduce__(self) -> tuple[type[Faidx], tuple[object, ...]]: ...

@final
class Fasta:
    def __new__(
        cls,
        filename: str,
        indexname: str | None = None,
        default_seq: str | None = None,
        key_function: _KeyFunction | None = None,
        as_raw: bool = False,
        strict_bounds: bool = False,
        read_ahead: int | None = None,
        mutable: bool = False,
        split_char: str | None = None,
        filt_function: _FiltFunction | None = None,
        one_based_attributes: bool = True,
        read_long_names: bool = False,
        duplicate_action: str = ...,
        sequence_always_upper: bool = False,
        rebuild: bool = True,
        build_index: bool = True,
    ) -> Self: ...
    @property
    def filename(self) -> str: ...
    def keys(self) -> list[str]: ...
    def values(self) -> list[FastaRecord]: ...
    def items(self) -> list[tuple[str, FastaRecord]]: ...
    # A str is always a name; a non-negative int is a position in keys().
    def __getitem__(self, key: str | SupportsIndex, /) -> FastaRecord: ...
    def __contains__(self, key: str, /) -> bool: ...
    # The number of bases in the file, not the number of records.
    def __len__(self) -> int: ...
    def __iter__(self) -> FastaIterator: ...
    def get_seq(self, name: str, start: int, end: int, rc: bool | None = None) -> Sequence: ...
    def get_spliced_seq(self, name: str, intervals: _Seq[tuple[int, int]], rc: bool | None = None) -> Sequence: ...
    def fetch_many(self, regions: _Seq[tuple[str, int, int]], rc: bool | None = None) -> list[Sequence]: ...
    def fetch_many_same_chr(
        self, name: str, regions: _Seq[tuple[int, int]], rc: bool | None = None
    ) -> list[Sequence]: ...
    def fetch_array(
        self,
        regions: _Seq[tuple[str, int, int]],
        *,
        onehot: bool = False,
        rc: _Strands = None,
        pad: str = "N",
        dtype: npt.DTypeLike | None = None,
        unknown: float = 0,
        out: _Windows | None = None,
    ) -> _Windows: ...
    def fetch_array_same_chr(
        self,
        name: str,
        starts: _Starts,
        length: int,
        *,
        onehot: bool = False,
        rc: _Strands = None,
        pad: str = "N",
        dtype: npt.DTypeLike | None = None,
        unknown: float = 0,
        out: _Windows | None = None,
    ) -> _Windows: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, _exc_type: object = None, _exc_value: object = None, _traceback: object = None) -> None: ...
    def __reduce__(self) -> tuple[type[Fasta], tuple[object, ...]]: ...

@final
class FastaRecord:
    @property
    def name(self) -> str: ...
    @property
    def long_name(self) -> str: ...
    @property
    def unpadded_len(self) -> int: ...
    def __len__(self) -> int: ...
    def __getitem__(self, key: SupportsIndex | slice, /) -> Sequence: ...
    def __iter__(self) -> SequenceIterator: ...
    # A list, not an iterator: the chunks are fetched at once.
    def __reversed__(self) -> list[Sequence]: ...
    def __reduce__(self) -> tuple[Callable[[Fasta, str], FastaRecord], tuple[Fasta, str]]: ...

@final
class FastaIterator:
    def __iter__(self) -> Self: ...
    def __next__(self) -> FastaRecord: ...

@final
class SequenceIterator:
    def __iter__(self) -> Self: ...
    def __next__(self) -> Sequence: ...

@final
class MutableFastaRecord:
    # Editing records is not provided: both raise NotImplementedError.
    def __setitem__(self, key: object, value: str, /) -> NoReturn: ...
    def __delitem__(self, key: object, /) -> NoReturn: ...
