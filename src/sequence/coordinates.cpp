#include "sequence/coordinates.h"

#include <algorithm>
#include <initializer_list>
#include <string>
#include <utility>

namespace gelvo {

namespace {

// Message text from pieces: strings and unsigned numbers.
struct Piece {
  Piece(std::string_view text) : text(text) {}
  Piece(const char* text) : text(text) {}
  Piece(std::size_t number) : digits(std::to_string(number)), text(digits) {}
  std::string digits;
  std::string_view text;
};

std::string concat(std::initializer_list<Piece> pieces) {
  std::string out;
  for (const Piece& piece : pieces) out.append(piece.text);
  return out;
}

std::string out_of_bounds(std::string_view name, std::size_t start, std::size_t end, std::size_t length) {
  return concat({"coordinates ", start, "-", end, " are out of bounds for sequence '", name, "' of length ", length});
}

constexpr const char* kZeroCoordinate = "coordinates cannot be 0 (1-based indexing)";

std::string start_after_end(std::size_t start, std::size_t end) {
  return concat({"start coordinate ", start, " is greater than end coordinate ", end});
}

Region bases(std::size_t s, std::size_t e) noexcept { return Region{false, s, e, 0, 0}; }

Region empty_result(std::size_t start, std::size_t end) noexcept { return Region{true, 0, 0, start, end}; }

FaidxError bounds(std::string text) { return FaidxError(ErrorKind::Bounds, std::move(text)); }

// A coordinate plus an offset, absent when the sum leaves the size range.
std::optional<std::size_t> offset(std::size_t base, std::size_t delta) noexcept {
  std::size_t sum;
  if (__builtin_add_overflow(base, delta, &sum)) return std::nullopt;
  return sum;
}

}  // namespace

Span swapped(Span span) noexcept {
  if (span.start && span.end) std::swap(span.start, span.end);
  return span;
}

Result<Region> checked_region(std::string_view name, std::size_t length, std::size_t start, std::size_t end,
                              bool strict, WarningSink warn) {
  if (start > length || end > length) {
    std::string text = out_of_bounds(name, start, end, length);
    if (strict) return bounds(std::move(text));
    warn(text);
    if (start > length) return empty_result(start, start);
  }
  if (strict) {
    if (start == 0 || end == 0) return bounds(kZeroCoordinate);
    if (start > end) return bounds(start_after_end(start, end));
    return bases(start, end);
  }
  const std::size_t s = std::min(start, length);
  const std::size_t e = std::min(end, length);
  if (s == 0 || e == 0) {
    warn(kZeroCoordinate);
    return empty_result(s, e);
  }
  if (s > e) {
    warn(start_after_end(s, e));
    return empty_result(s, e);
  }
  return bases(s, e);
}

Result<Region> silent_region(std::string_view name, std::size_t length, std::size_t start, std::size_t end,
                             bool strict) {
  if (strict) {
    if (1 <= start && start <= end && end <= length) return bases(start, end);
    return FaidxError(ErrorKind::Region,
                      concat({"Invalid region ", name, ":", start, "-", end, " (sequence length: ", length, ")"}));
  }
  // Clamping an empty sequence would ask for base 0; it has no bases to give.
  if (length == 0) return empty_result(0, 0);
  const std::size_t s = std::min(std::max<std::size_t>(start, 1), length);
  const std::size_t e = std::min(std::max<std::size_t>(end, 1), length);
  if (e < s) return empty_result(s, e);
  return bases(s, e);
}

Region whole_region(std::size_t length) noexcept { return bases(1, length); }

Span result_span(const Region& region, CoordinateStyle style) noexcept {
  if (region.empty) return {region.empty_start, region.empty_end};
  if (style.as_raw) return {};
  return {style.one_based ? region.s : region.s - 1, region.e};
}

SliceSelection select_slice(std::size_t len, std::ptrdiff_t begin, std::ptrdiff_t stop, std::ptrdiff_t step) noexcept {
  const auto slen = static_cast<std::ptrdiff_t>(len);
  SliceSelection sel;
  sel.stride = step;
  if (step > 0) {
    const std::ptrdiff_t a = std::max<std::ptrdiff_t>(begin, 0);
    const std::ptrdiff_t b = (stop < 0 || stop > slen) ? slen : stop;
    sel.lo = static_cast<std::size_t>(a);
    sel.hi = static_cast<std::size_t>(b);
    if (a < b) {
      sel.first = sel.lo;
      sel.count = (sel.hi - sel.lo - 1) / static_cast<std::size_t>(step) + 1;
    }
    return sel;
  }
  // The last position stands in for a begin outside the value, even one
  // before its start: that is the rule callers rely on, not Python's.
  const std::ptrdiff_t last = slen == 0 ? 0 : slen - 1;
  const std::ptrdiff_t c = (begin < 0 || begin > last) ? last : begin;
  stop = std::max<std::ptrdiff_t>(stop, -1);
  if (stop > c) {
    sel.lo = sel.hi = static_cast<std::size_t>(c);
    return sel;
  }
  sel.lo = static_cast<std::size_t>(stop + 1);
  sel.hi = static_cast<std::size_t>(c + 1);
  // stop == c names an empty span at c + 1; there is nothing to pick.
  if (len > 0 && stop < c) {
    sel.first = static_cast<std::size_t>(c);
    // -step cannot overflow: resolved steps are never below -PY_SSIZE_T_MAX.
    sel.count = (sel.hi - 1 - sel.lo) / static_cast<std::size_t>(-step) + 1;
  }
  return sel;
}

Span slice_span(Span source, std::size_t lo, std::size_t hi) noexcept {
  if (!source.start || !source.end) return {};
  const std::size_t s = *source.start;
  std::optional<std::size_t> last;
  if (hi > 0) {
    last = offset(s, hi - 1);
  } else if (s > 0) {
    last = s - 1;
  }
  return {offset(s, lo), last};
}

Span residue_span(std::optional<std::size_t> start, std::size_t p) noexcept {
  if (!start) return {};
  std::optional<std::size_t> at = offset(*start, p);
  return {at, at};
}

std::size_t record_position(std::ptrdiff_t i, std::size_t length) noexcept {
  if (i >= 0) return static_cast<std::size_t>(i) + 1;
  const std::size_t back = static_cast<std::size_t>(-(i + 1)) + 1;
  return back > length ? 0 : length - back + 1;
}

bool names_whole_record(const SliceParts& parts, std::size_t length) noexcept {
  if (parts.start_is_none && parts.stop_is_none) return !parts.step || *parts.step == 1;
  return parts.start && parts.stop && parts.step && *parts.start == 0 && *parts.step == 1 && *parts.stop >= 0 &&
         static_cast<std::size_t>(*parts.stop) == length;
}

SteppedSlice stepped_slice(std::size_t length, std::ptrdiff_t begin, std::ptrdiff_t stop, std::ptrdiff_t step,
                           CoordinateStyle style) noexcept {
  SteppedSlice out;
  out.selection = select_slice(length, begin, stop, step);
  out.span = slice_span(result_span(whole_region(length), style), out.selection.lo, out.selection.hi);
  const SliceSelection& sel = out.selection;
  if (sel.count == 0) return out;
  const auto first = static_cast<std::ptrdiff_t>(sel.first);
  const std::ptrdiff_t last = first + static_cast<std::ptrdiff_t>(sel.count - 1) * step;
  out.low = static_cast<std::size_t>(std::min(first, last));
  out.width = static_cast<std::size_t>(std::max(first, last)) - out.low + 1;
  out.selection.first -= out.low;
  return out;
}

std::size_t record_chunk(std::size_t line_width, std::size_t length) noexcept {
  return line_width != 0 ? line_width : length;
}

std::size_t chunk_last(std::size_t position, std::size_t chunk, std::size_t length) noexcept {
  return chunk > length - position ? length : position + chunk - 1;
}

}  // namespace gelvo
