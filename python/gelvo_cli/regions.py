"""Region strings in the syntax of samtools, resolved the way `samtools faidx` resolves them.

A region is `name`, `name:beg`, `name:beg-`, `name:-end` or `name:beg-end` with
1-based inclusive numbers; `{name}` quotes a name that holds ':'. The rules
below, down to the odd corners (a 0 start gives an empty sequence, `name:5-0`
runs to the end, `1.5e1` is 15), follow what samtools 1.16 prints for the same
strings: the differential test in tests/test_cli_fetch.py holds them to it.
"""

from __future__ import annotations

import re
from collections.abc import Container
from typing import NamedTuple

# samtools' numbers are C long longs; arithmetic on them wraps.
_INT64 = 1 << 64
POS_MAX = (1 << 63) - 1
_SPACE = " \t\n\v\f\r"
_DIGITS = "0123456789"
_SUFFIX_EXPONENT = {"k": 3, "K": 3, "m": 6, "M": 6, "g": 9, "G": 9}


class Span(NamedTuple):
    """A resolved region: 0-based half-open [beg, end); end is POS_MAX for 'to the end'.

    beg is -1 for a region that asked for base 0 (samtools then returns no bases).
    """

    name: str
    beg: int
    end: int


class RegionError(ValueError):
    """A region that names no sequence or cannot be parsed; the message is empty when
    samtools says nothing beyond 'not found'."""


def _signed64(value: int) -> int:
    value %= _INT64
    return value - _INT64 if value > POS_MAX else value


def _c_div10(value: int) -> int:
    """C's truncating division by ten."""
    return -(-value // 10) if value < 0 else value // 10


def parse_decimal(text: str, pos: int) -> tuple[int, int]:
    """The number at text[pos:] and the index where it stops (pos itself when there is
    no digit): leading blanks, a sign, digits with thousands separators, a fraction,
    and an exponent (e12) or one of the suffixes k, M, G."""
    i, n = pos, len(text)
    while i < n and text[i] in _SPACE:
        i += 1
    negative = False
    if i < n and text[i] in "+-":
        negative = text[i] == "-"
        i += 1
    value = digits = decimals = exponent = 0
    while i < n and (text[i] in _DIGITS or text[i] == ","):
        if text[i] != ",":
            value = _signed64(value * 10 + ord(text[i]) - 48)
            digits += 1
        i += 1
    if i < n and text[i] == ".":
        i += 1
        while i < n and text[i] in _DIGITS:
            value = _signed64(value * 10 + ord(text[i]) - 48)
            digits += 1
            decimals += 1
            i += 1
    if i < n and text[i] in "eE":
        i += 1
        exponent_negative = False
        if i < n and text[i] in "+-":
            exponent_negative = text[i] == "-"
            i += 1
        while i < n and text[i] in _DIGITS:
            exponent = exponent * 10 + ord(text[i]) - 48
            i += 1
        exponent = -exponent if exponent_negative else exponent
    elif i < n and text[i] in _SUFFIX_EXPONENT:
        exponent = _SUFFIX_EXPONENT[text[i]]
        i += 1
    exponent -= decimals
    if exponent > 0:
        value = _signed64(value * pow(10, exponent, _INT64))
    while exponent < 0 and value:
        value = _c_div10(value)
        exponent += 1
    return _signed64(-value if negative else value), (i if digits else pos)


def _unexpected(rest: str) -> RegionError:
    return RegionError(f'Unexpected string "{rest}" after region')


def parse_region(text: str, names: Container[str]) -> Span:
    """The sequence and span that `text` asks for, given the sequence names.

    Raises RegionError when the name is unknown, the reading is ambiguous or the
    coordinates do not parse.
    """
    quoted = text.startswith("{")
    if quoted:
        close = text.find("}")
        if close < 0:
            raise RegionError(f'Mismatching braces in "{text}"')
        colon = close + 1 if text[close + 1 : close + 2] == ":" else -1
    else:
        colon = text.rfind(":")
    if colon < 0:
        # '{name}' loses its first and last character, whatever they are.
        name = text[1:-1] if quoted else text
        if name not in names:
            raise RegionError("")
        return Span(name, 0, POS_MAX)
    if not quoted and text in names:
        prefix = text[:colon]
        if prefix in names:
            raise RegionError(f"Range is ambiguous. Use {{{text}}} or {{{prefix}}}{text[colon:]} instead")
        return Span(text, 0, POS_MAX)
    name = text[1 : colon - 1] if quoted else text[:colon]
    if name not in names:
        raise RegionError("")
    return _coordinates(text, colon, name)


def _coordinates(text: str, colon: int, name: str) -> Span:
    value, at = parse_decimal(text, colon + 1)
    beg = _signed64(value - 1)
    rest = text[at:]
    if beg < 0:
        if beg != -1 and rest.startswith("-") and colon + 1 < len(text):
            raise RegionError("Coordinates must be > 0")
        if not rest or rest[0] in _DIGITS or rest[0] == ",":
            # 'name:-100' is 'name:1-100'.
            return Span(name, 0, POS_MAX if beg == -1 else _signed64(-(beg + 1)))
        if beg < -1:
            raise _unexpected(rest)
    if not rest:
        end = POS_MAX
    elif rest[0] == "-":
        end, at = parse_decimal(text, at + 1)
        if text[at:] and text[at] != ",":
            raise _unexpected(text[at:])
    else:
        raise _unexpected(rest)
    if end == 0:
        end = POS_MAX  # 'name:100-0' runs to the end, as 'name:100-' does
    if beg >= end:
        raise RegionError("")
    return Span(name, beg, end)


# name:beg-end in plain digits: the form of nearly every region file.
_PLAIN = re.compile(r"([^:{][^:]*):([0-9]{1,18})-([0-9]{1,18})")


def parse_plain(texts: list[str], names: Container[str]) -> tuple[list[str], list[int], list[int]] | None:
    """(names, begs, ends) of regions that are all `name:beg-end` with plain numbers, an
    existing name without ':' and no sequence named like the whole text: what
    parse_region gives them, computed for all at once. None when any is otherwise."""
    matches = list(map(_PLAIN.fullmatch, texts))
    if None in matches or any(map(names.__contains__, texts)):
        return None
    found = [m[1] for m in matches]
    if not all(map(names.__contains__, found)):
        return None
    # samtools: a start of 0 gives no bases; an end of 0 runs to the end.
    begs = [int(m[2]) - 1 for m in matches]
    ends = [int(m[3]) for m in matches]
    if min(begs, default=0) < 0 or not all(ends):
        return None
    return found, begs, ends


def clamp(beg: int, end: int, length: int) -> tuple[int, int]:
    """The 0-based half-open piece of a sequence of `length` bases that [beg, end) yields."""
    if beg < 0:
        return 0, 0
    end = min(end, length)
    return min(beg, end), end
