#include "faidx/py/windows_py.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "binding/args.h"
#include "binding/failure.h"
#include "binding/numpy.h"
#include "binding/pyref.h"
#include "binding/unlocked.h"
#include "errors/py/raise.h"
#include "faidx/windows.h"
#include "sequence/onehot.h"

namespace gelvo::py {

namespace {

// The windows of a call, converted.
struct Windows {
  std::vector<const IndexEntry*> entries;  // one per window, or one for all
  std::vector<std::int64_t> starts;
  std::size_t length = 0;
};

// The keyword-only options, converted.
struct Options {
  bool onehot = false;
  bool reverse_all = false;
  std::vector<unsigned char> reverse;  // one flag per window, or empty
  char pad = 'N';
  ElementType type = ElementType::UInt8;
  PyRef dtype;  // the numpy dtype of the result
  std::optional<OneHotEncoder> encoder;
  PyObject* out = nullptr;  // borrowed; null for None
};

// The options come after each method's positional parameters, in this
// order: "onehot", "rc", "pad", "dtype", "unknown", "out".
constexpr std::size_t kOptionCount = 6;

// The positional parameters are required; the options can only be named.
bool bind_call(const char* function, std::span<const char* const> names, std::size_t positional, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
  if (static_cast<std::size_t>(nargs) > positional) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd were given", function, positional,
                 positional == 1 ? "" : "s", nargs);
    return false;
  }
  return bind_fastcall({function, names, positional}, args, nargs, kwnames, bound);
}

// An int (or an object with __index__) that fits 64 bits, signed: windows
// may start before the first base.
bool to_int64(PyObject* obj, const char* arg, std::int64_t* out) {
  PyRef index;
  if (!PyLong_Check(obj)) {
    if (!PyIndex_Check(obj)) return argument_type_error(arg, obj, "cannot be interpreted as an integer");
    index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return false;
    obj = index.get();
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow != 0) {
    PyErr_Format(PyExc_OverflowError, "argument '%s': %S does not fit in 64 bits", arg, obj);
    return false;
  }
  if (value == -1 && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

// The entry of each name object, remembered by its address: requests name
// a few sequences many times over, often through the same str objects. The
// objects stay alive in the caller's snapshot, so no address is reused while
// the lookup lives.
class EntryLookup {
 public:
  explicit EntryLookup(const Faidx& faidx) : faidx_(faidx) {}

  const IndexEntry* find(PyObject* name, const char* arg) {
    Slot& slot = slots_[(reinterpret_cast<std::uintptr_t>(name) >> 4) % slots_.size()];
    if (slot.name == name) return slot.entry;
    std::string_view text;
    if (!to_text(name, arg, &text)) return nullptr;
    auto found = faidx_.find_entry(text);
    if (!found) return raise_error(found.error());
    slot = {name, *found};
    return slot.entry;
  }

 private:
  struct Slot {
    PyObject* name = nullptr;
    const IndexEntry* entry = nullptr;
  };

  const Faidx& faidx_;
  std::array<Slot, 64> slots_{};
};

// Bases of start..end: 0 when end < start, saturated where the count does
// not fit (no array can be that long anyway).
std::size_t span_length(std::int64_t start, std::int64_t end) noexcept {
  if (end < start) return 0;
  const std::uint64_t difference = static_cast<std::uint64_t>(end) - static_cast<std::uint64_t>(start);
  if (difference >= std::numeric_limits<std::size_t>::max()) return std::numeric_limits<std::size_t>::max();
  return static_cast<std::size_t>(difference) + 1;
}

// The items of a sequence argument as a tuple the call owns, so that code
// the conversions run (an __index__) cannot change what is converted.
PyRef snapshot(PyObject* obj, const char* arg) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || !PySequence_Check(obj)) {
    return argument_type_error(arg, obj, "cannot be converted to 'Sequence'");
  }
  return PyRef::steal(PySequence_Tuple(obj));
}

bool convert_regions(const Faidx& faidx, PyObject* regions, Windows* windows) {
  constexpr const char* kArg = "regions";
  PyRef items = snapshot(regions, kArg);
  if (!items) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  windows->entries.reserve(static_cast<std::size_t>(n));
  windows->starts.reserve(static_cast<std::size_t>(n));
  EntryLookup lookup(faidx);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    if (!PyTuple_Check(item)) return argument_type_error(kArg, item, "cannot be converted to 'tuple'");
    if (PyTuple_GET_SIZE(item) != 3) {
      PyErr_Format(PyExc_TypeError, "argument '%s': expected a tuple of length 3, got one of length %zd", kArg,
                   PyTuple_GET_SIZE(item));
      return false;
    }
    const IndexEntry* entry = lookup.find(PyTuple_GET_ITEM(item, 0), kArg);
    std::int64_t start = 0, end = 0;
    if (entry == nullptr || !to_int64(PyTuple_GET_ITEM(item, 1), kArg, &start) ||
        !to_int64(PyTuple_GET_ITEM(item, 2), kArg, &end)) {
      return false;
    }
    const std::size_t length = span_length(start, end);
    if (i == 0 && length == 0) {
      PyErr_Format(PyExc_ValueError, "argument '%s': region 0 ends before it starts; a window has at least one base",
                   kArg);
      return false;
    }
    if (i == 0) windows->length = length;
    if (length != windows->length) {
      PyErr_Format(PyExc_ValueError,
                   "argument '%s': region %zd has %zu bases, but region 0 has %zu: windows are of one length", kArg, i,
                   length, windows->length);
      return false;
    }
    windows->entries.push_back(entry);
    windows->starts.push_back(start);
  }
  return true;
}

// Whether a buffer format names one item in the machine's byte order, and
// which letter it is.
std::optional<char> native_code(const char* format) noexcept {
  if (format == nullptr) return 'B';
  const char little = std::endian::native == std::endian::little ? '<' : '>';
  if (*format == '@' || *format == '=' || *format == little) ++format;
  if (format[0] == '\0' || format[1] != '\0') return std::nullopt;
  return format[0];
}

// A 1-D array's view, or a Python exception naming the argument.
bool one_dimensional(PyObject* obj, const char* arg, Buffer* buffer) {
  if (!buffer->acquire(obj, PyBUF_FORMAT | PyBUF_STRIDES)) return false;
  if (buffer->view().ndim != 1) {
    PyErr_Format(PyExc_ValueError, "argument '%s': expected a 1-D array, got %d dimensions", arg, buffer->view().ndim);
    return false;
  }
  return true;
}

bool dtype_error(PyObject* obj, const char* arg, const char* expected) {
  PyRef dtype = PyRef::steal(PyObject_GetAttrString(obj, "dtype"));
  if (!dtype) return false;
  PyErr_Format(PyExc_TypeError, "argument '%s': expected an array of %s, got dtype %S", arg, expected, dtype.get());
  return false;
}

// An integer array of any width, signed or not, strides allowed.
bool starts_from_array(PyObject* obj, std::vector<std::int64_t>* out) {
  constexpr const char* kArg = "starts";
  Buffer buffer;
  if (!one_dimensional(obj, kArg, &buffer)) return false;
  const Py_buffer& view = buffer.view();
  const auto code = native_code(view.format);
  const std::string_view signed_codes = "bhilqn", unsigned_codes = "BHILQN";
  const bool is_signed = code && signed_codes.find(*code) != std::string_view::npos;
  const bool is_unsigned = code && unsigned_codes.find(*code) != std::string_view::npos;
  const auto size = static_cast<std::size_t>(view.itemsize);
  if ((!is_signed && !is_unsigned) || (size != 1 && size != 2 && size != 4 && size != 8)) {
    return dtype_error(obj, kArg, "integers in the machine's byte order");
  }
  const auto n = static_cast<std::size_t>(view.shape[0]);
  out->resize(n);
  const auto* base = static_cast<const unsigned char*>(view.buf);
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char* p = base + static_cast<Py_ssize_t>(i) * view.strides[0];
    std::uint64_t bits = 0;
    std::memcpy(&bits, p, size);  // the low bytes, on a little-endian machine
    if constexpr (std::endian::native == std::endian::big) bits >>= 8 * (8 - size);
    if (is_signed && size < 8 && (bits >> (8 * size - 1)) != 0) bits |= ~std::uint64_t{0} << (8 * size);
    if (is_unsigned && bits > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      PyErr_Format(PyExc_OverflowError, "argument '%s': %llu does not fit in 64 bits", kArg,
                   static_cast<unsigned long long>(bits));
      return false;
    }
    (*out)[i] = static_cast<std::int64_t>(bits);
  }
  return true;
}

bool convert_starts(const NumPy& np, PyObject* obj, std::vector<std::int64_t>* out) {
  constexpr const char* kArg = "starts";
  if (is_ndarray(np, obj)) return starts_from_array(obj, out);
  PyRef items = snapshot(obj, kArg);
  if (!items) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  out->resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!to_int64(PyTuple_GET_ITEM(items.get(), i), kArg, &(*out)[static_cast<std::size_t>(i)])) return false;
  }
  return true;
}

bool flag_count_error(std::size_t given, std::size_t windows) {
  PyErr_Format(PyExc_ValueError, "argument 'rc': %zu flags for %zu windows", given, windows);
  return false;
}

bool flags_from_array(PyObject* obj, std::size_t windows, std::vector<unsigned char>* out) {
  constexpr const char* kArg = "rc";
  Buffer buffer;
  if (!one_dimensional(obj, kArg, &buffer)) return false;
  const Py_buffer& view = buffer.view();
  if (native_code(view.format) != '?' || view.itemsize != 1) return dtype_error(obj, kArg, "bool");
  const auto n = static_cast<std::size_t>(view.shape[0]);
  if (n != windows) return flag_count_error(n, windows);
  out->resize(n);
  const auto* base = static_cast<const unsigned char*>(view.buf);
  for (std::size_t i = 0; i < n; ++i) (*out)[i] = base[static_cast<Py_ssize_t>(i) * view.strides[0]] != 0;
  return true;
}

bool flags_from_sequence(PyObject* obj, std::size_t windows, std::vector<unsigned char>* out) {
  constexpr const char* kArg = "rc";
  PyRef items = snapshot(obj, kArg);
  if (!items) return false;
  const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(items.get()));
  if (n != windows) return flag_count_error(n, windows);
  out->resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    bool flag = false;
    if (!to_bool(PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)), kArg, &flag)) return false;
    (*out)[i] = flag;
  }
  return true;
}

// None, a bool for every window, or one flag per window.
bool convert_rc(const NumPy& np, PyObject* obj, std::size_t windows, Options* options) {
  if (obj == nullptr || obj == Py_None) return true;
  if (is_ndarray(np, obj)) return flags_from_array(obj, windows, &options->reverse);
  if (PySequence_Check(obj) && !PyUnicode_Check(obj) && !PyBytes_Check(obj)) {
    return flags_from_sequence(obj, windows, &options->reverse);
  }
  return to_bool(obj, "rc", &options->reverse_all);
}

bool convert_pad(PyObject* obj, char* out) {
  constexpr const char* kArg = "pad";
  if (obj == nullptr) return true;
  if (!PyUnicode_Check(obj)) return argument_type_error(kArg, obj, "cannot be converted to 'str'");
  if (PyUnicode_GET_LENGTH(obj) != 1 || PyUnicode_READ_CHAR(obj, 0) >= 0x80) {
    PyErr_Format(PyExc_ValueError, "argument '%s': expected one ASCII character, got %R", kArg, obj);
    return false;
  }
  *out = static_cast<char>(PyUnicode_READ_CHAR(obj, 0));
  return true;
}

struct DtypeChoice {
  const char* name;
  ElementType type;
};

constexpr DtypeChoice kDtypes[] = {
    {"uint8", ElementType::UInt8},     {"bool", ElementType::Bool},       {"float16", ElementType::Float16},
    {"float32", ElementType::Float32}, {"float64", ElementType::Float64},
};
constexpr std::size_t kDtypeCount = std::size(kDtypes);

// The dtype objects of kDtypes, made once (null with an exception when
// NumPy refuses one); kept for the life of the process, as NumPy is.
PyObject* const* choice_dtypes(const NumPy& np) {
  static std::array<PyObject*, kDtypeCount> dtypes{};
  if (dtypes.back() != nullptr) return dtypes.data();
  for (std::size_t i = 0; i < kDtypeCount; ++i) {
    if (dtypes[i] != nullptr) continue;
    dtypes[i] = PyObject_CallFunction(np.dtype, "s", kDtypes[i].name);
    if (dtypes[i] == nullptr) return nullptr;
  }
  return dtypes.data();
}

// Whatever numpy.dtype() accepts, as long as it names one of kDtypes in the
// machine's byte order; bytes are uint8 only.
bool convert_dtype(const NumPy& np, PyObject* obj, bool onehot, Options* options) {
  constexpr const char* kArg = "dtype";
  PyObject* const* dtypes = choice_dtypes(np);
  if (dtypes == nullptr) return false;
  PyRef given =
      obj == nullptr || obj == Py_None ? PyRef::borrow(dtypes[0]) : PyRef::steal(PyObject_CallOneArg(np.dtype, obj));
  if (!given) return false;
  for (std::size_t i = 0; i < kDtypeCount; ++i) {
    const int same = given.get() == dtypes[i] ? 1 : PyObject_RichCompareBool(given.get(), dtypes[i], Py_EQ);
    if (same < 0) return false;
    if (same == 0) continue;
    if (!onehot && kDtypes[i].type != ElementType::UInt8) {
      PyErr_Format(PyExc_ValueError, "argument '%s': windows without onehot are bytes (uint8), not %S", kArg,
                   given.get());
      return false;
    }
    options->type = kDtypes[i].type;
    options->dtype = PyRef::borrow(dtypes[i]);
    return true;
  }
  PyErr_Format(PyExc_ValueError, "argument '%s': expected bool, uint8, float16, float32 or float64, got %S", kArg,
               given.get());
  return false;
}

// A real number; with onehot, one the dtype can hold.
bool convert_unknown(PyObject* obj, Options* options) {
  constexpr const char* kArg = "unknown";
  double value = 0.0;
  if (obj != nullptr) {
    if (PyUnicode_Check(obj) || !PyNumber_Check(obj)) return argument_type_error(kArg, obj, "is not a real number");
    value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "argument '%s': %R is too large for any dtype", kArg, obj);
      return false;
    }
  }
  if (!options->onehot) return true;
  options->encoder = OneHotEncoder::make(options->type, value);
  if (!options->encoder) {
    PyErr_Format(PyExc_ValueError, "argument '%s': %R cannot be held by dtype %S", kArg, obj != nullptr ? obj : Py_None,
                 options->dtype.get());
    return false;
  }
  return true;
}

bool convert_options(const NumPy& np, PyObject* const* bound, std::size_t windows, Options* options) {
  std::optional<bool> onehot;
  if (!to_optional_bool(bound[0], "onehot", &onehot)) return false;
  options->onehot = onehot.value_or(false);
  if (!convert_rc(np, bound[1], windows, options) || !convert_pad(bound[2], &options->pad) ||
      !convert_dtype(np, bound[3], options->onehot, options) || !convert_unknown(bound[4], options)) {
    return false;
  }
  options->out = bound[5] == Py_None ? nullptr : bound[5];
  return true;
}

bool attribute_matches(PyObject* out, const char* attribute, PyObject* expected) {
  PyRef given = PyRef::steal(PyObject_GetAttrString(out, attribute));
  if (!given) return false;
  const int same = PyObject_RichCompareBool(given.get(), expected, Py_EQ);
  if (same < 0) return false;
  if (same == 0) {
    PyErr_Format(PyExc_ValueError, "argument 'out': %s %S, expected %S", attribute, given.get(), expected);
    return false;
  }
  return true;
}

// The array to fill: `out` once checked, or a new one; its buffer is held
// until the call returns.
PyRef output(const NumPy& np, const Windows& windows, const Options& options, Buffer* buffer) {
  const auto n = static_cast<Py_ssize_t>(windows.starts.size());
  const auto length = static_cast<Py_ssize_t>(windows.length);
  PyRef shape = PyRef::steal(options.onehot ? Py_BuildValue("(nni)", n, length, 4) : Py_BuildValue("(nn)", n, length));
  if (!shape) return {};
  PyRef array;
  if (options.out == nullptr) {
    array = PyRef::steal(PyObject_CallFunctionObjArgs(np.empty, shape.get(), options.dtype.get(), nullptr));
    if (!array) return {};
  } else {
    if (!is_ndarray(np, options.out)) return argument_type_error("out", options.out, "is not a numpy.ndarray");
    if (!attribute_matches(options.out, "shape", shape.get()) ||
        !attribute_matches(options.out, "dtype", options.dtype.get())) {
      return {};
    }
    array = PyRef::borrow(options.out);
  }
  if (!buffer->acquire(array.get(), PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS)) {
    PyErr_Clear();
    return raise_text(PyExc_ValueError, "argument 'out': expected a writable C-contiguous array");
  }
  return array;
}

PyObject* fill(const Faidx& faidx, const Windows& windows, const Options& options, PyRef array, const Buffer& buffer) {
  WindowRequest request;
  request.entries = windows.entries;
  request.starts = windows.starts;
  request.length = windows.length;
  request.pad = options.pad;
  request.reverse_all = options.reverse_all;
  request.reverse = options.reverse;
  request.onehot = options.encoder ? &*options.encoder : nullptr;
  request.reused_output = options.out != nullptr;
  auto* data = static_cast<unsigned char*>(buffer.view().buf);
  Result<bool> filled = true;
  if (windows_run_in_parallel(request)) {
    LockReleased unlocked;
    // Ctrl-C: signal handlers run on this thread, between two rounds.
    auto keep_going = [&] { return unlocked.with_lock([] { return PyErr_CheckSignals() == 0; }); };
    filled = fill_windows(faidx, request, data, keep_going);
  } else {
    // Small requests keep the lock: giving it up means waiting to get it
    // back when other threads are busy, longer than such a fill takes.
    filled = fill_windows(faidx, request, data, {});
  }
  if (!filled) return raise_error(filled.error());
  if (!*filled) return nullptr;  // the exception of a signal handler
  return array.release();
}

PyObject* finish(const NumPy& np, const Faidx& faidx, const Windows& windows, PyObject* const* bound) {
  Options options;
  if (!convert_options(np, bound, windows.starts.size(), &options)) return nullptr;
  Buffer buffer;
  PyRef array = output(np, windows, options, &buffer);
  if (!array) return nullptr;
  return fill(faidx, windows, options, std::move(array), buffer);
}

}  // namespace

PyObject* fetch_array_call(const Faidx& faidx, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"regions", "onehot", "rc", "pad", "dtype", "unknown", "out"};
  PyObject* bound[1 + kOptionCount];
  if (!bind_call("fetch_array", names, 1, args, nargs, kwnames, bound)) return nullptr;
  const NumPy* np = import_numpy("fetch_array()");
  Windows windows;
  if (np == nullptr || !convert_regions(faidx, bound[0], &windows)) return nullptr;
  return finish(*np, faidx, windows, bound + 1);
}

PyObject* fetch_array_same_chr_call(const Faidx& faidx, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"name", "starts", "length", "onehot", "rc", "pad", "dtype", "unknown", "out"};
  PyObject* bound[3 + kOptionCount];
  if (!bind_call("fetch_array_same_chr", names, 3, args, nargs, kwnames, bound)) return nullptr;
  const NumPy* np = import_numpy("fetch_array_same_chr()");
  if (np == nullptr) return nullptr;
  std::string_view name;
  if (!to_text(bound[0], "name", &name)) return nullptr;
  auto found = faidx.find_entry(name);
  if (!found) return raise_error(found.error());
  Windows windows;
  windows.entries.push_back(*found);
  if (!convert_starts(*np, bound[1], &windows.starts) || !to_size(bound[2], "length", &windows.length)) return nullptr;
  if (windows.length == 0) return raise_text(PyExc_ValueError, "argument 'length': a window has at least one base");
  return finish(*np, faidx, windows, bound + 3);
}

const char* const kFetchArrayDoc =
    "fetch_array($self, regions, *, onehot=False, rc=None, pad='N', dtype=None, unknown=0, out=None)\n--\n\n"
    "Windows of one length as a NumPy array, without a Python object per window.\n\n"
    "Args:\n"
    "    regions: (name, start, end) tuples, 1-based and inclusive, all of one\n"
    "        length L = end - start + 1 >= 1; they may reach past either end.\n"
    "    onehot: encode the bases as four channels A, C, G, T (either case).\n"
    "    rc: True for every window, or one flag per window (a sequence or a\n"
    "        boolean array): those windows are reverse complemented.\n"
    "    pad: the ASCII character written where a window lies outside its\n"
    "        sequence, on either strand.\n"
    "    dtype: of the one-hot result: bool, uint8 (the default), float16,\n"
    "        float32 or float64. Bytes are always uint8.\n"
    "    unknown: the value of all four channels of any byte but A, C, G, T.\n"
    "    out: a writable C-contiguous array of the result's shape and dtype,\n"
    "        filled and returned instead of a new one.\n\n"
    "Returns:\n"
    "    An array of shape (N, L) holding the bytes of the bases as fetch\n"
    "    returns them, or (N, L, 4) with onehot. Large requests are filled by\n"
    "    the worker pool with the interpreter lock released.\n\n"
    "Needs NumPy (ImportError without it).";

const char* const kFetchArraySameChrDoc =
    "fetch_array_same_chr($self, name, starts, length, *, onehot=False, rc=None, pad='N', dtype=None, unknown=0, "
    "out=None)\n--\n\n"
    "Windows of one sequence as a NumPy array: the fast path of fetch_array.\n\n"
    "Args:\n"
    "    name: the sequence.\n"
    "    starts: ints or a 1-D integer array; window i covers starts[i] ..\n"
    "        starts[i] + length - 1 (1-based, inclusive).\n"
    "    length: bases per window, at least 1.\n"
    "    onehot, rc, pad, dtype, unknown, out: as for fetch_array.\n\n"
    "Returns:\n"
    "    An array of shape (N, length), or (N, length, 4) with onehot.\n\n"
    "Needs NumPy (ImportError without it).";

}  // namespace gelvo::py
