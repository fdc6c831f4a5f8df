#include "faidx/py/open_file_py.h"

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "binding/args.h"
#include "binding/failure.h"
#include "binding/text.h"
#include "binding/types.h"
#include "errors/py/raise.h"

namespace gelvo::py {

namespace {

// Everything the options convert to, before the engine is opened.
struct OpenArguments {
  std::string filename;
  FaidxOptions options;
  PyRef filename_str;   // exact str
  PyRef indexname_str;  // exact str, or null for None
  PyRef key_function;   // null for None
  PyRef filt_function;
};

// One constructor option: its name, its default as the signature shows it
// (null for the required filename), its place in Fasta's order (Faidx's is
// the table's), how a given value converts (value is null when the
// argument was not given) and the value pickling hands back.
struct Option {
  const char* name;
  const char* shown_default;
  std::size_t fasta_position;
  bool (*convert)(PyObject* value, const char* name, OpenArguments& out);
  PyRef (*reopen)(const OpenFile& file);
};

PyRef bool_object(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }
PyRef object_or_none(PyObject* obj) { return PyRef::borrow(obj != nullptr ? obj : Py_None); }
PyRef optional_object(PyObject* obj) { return obj == nullptr || obj == Py_None ? PyRef() : PyRef::borrow(obj); }

template <bool FaidxOptions::*Field>
constexpr Option bool_option(const char* name, const char* shown_default, std::size_t fasta_position) {
  return {name, shown_default, fasta_position,
          [](PyObject* value, const char* arg, OpenArguments& out) {
            return value == nullptr || to_bool(value, arg, &(out.options.*Field));
          },
          [](const OpenFile& file) { return bool_object(file.faidx->options().*Field); }};
}

template <std::optional<std::string> FaidxOptions::*Field>
constexpr Option text_option(const char* name, std::size_t fasta_position) {
  return {name, "None", fasta_position,
          [](PyObject* value, const char* arg, OpenArguments& out) {
            return to_optional_text(value, arg, &(out.options.*Field));
          },
          [](const OpenFile& file) {
            const auto& text = file.faidx->options().*Field;
            return text ? text_to_str(*text) : PyRef::borrow(Py_None);
          }};
}

template <PyRef OpenArguments::*Field, PyObject* OpenFile::*Kept>
constexpr Option object_option(const char* name, std::size_t fasta_position) {
  return {name, "None", fasta_position,
          [](PyObject* value, const char*, OpenArguments& out) {
            out.*Field = optional_object(value);
            return true;
          },
          [](const OpenFile& file) { return object_or_none(file.*Kept); }};
}

bool convert_filename(PyObject* value, const char* arg, OpenArguments& out) {
  if (!to_path(value, arg, &out.filename)) return false;
  // A str subclass is kept as a plain str, which reads hand out and any
  // process can rebuild.
  out.filename_str = PyRef::steal(PyUnicode_FromObject(value));
  return static_cast<bool>(out.filename_str);
}

bool convert_indexname(PyObject* value, const char* arg, OpenArguments& out) {
  if (value == nullptr || value == Py_None) return true;
  std::string path;
  if (!to_path(value, arg, &path)) return false;
  out.options.indexname = std::move(path);
  out.indexname_str = PyRef::steal(PyUnicode_FromObject(value));
  return static_cast<bool>(out.indexname_str);
}

bool convert_duplicate_action(PyObject* value, const char* arg, OpenArguments& out) {
  if (value == nullptr) return true;
  std::string_view action;
  if (!to_text(value, arg, &action)) return false;
  out.options.duplicate_action.assign(action);
  return true;
}

bool convert_read_ahead(PyObject* value, const char* arg, OpenArguments& out) {
  return to_optional_size(value, arg, &out.options.read_ahead);
}

PyRef reopen_read_ahead(const OpenFile& file) {
  const auto& read_ahead = file.faidx->options().read_ahead;
  return read_ahead ? PyRef::steal(PyLong_FromSize_t(*read_ahead)) : PyRef::borrow(Py_None);
}

// Faidx's order; values are also converted in this order, so the first
// refused argument in it is the one reported.
constexpr Option kOptions[] = {
    {"filename", nullptr, 0, convert_filename, [](const OpenFile& f) { return PyRef::borrow(f.filename); }},
    {"indexname", "None", 1, convert_indexname, [](const OpenFile& f) { return object_or_none(f.indexname); }},
    bool_option<&FaidxOptions::as_raw>("as_raw", "False", 4),
    bool_option<&FaidxOptions::strict_bounds>("strict_bounds", "False", 5),
    bool_option<&FaidxOptions::sequence_always_upper>("sequence_always_upper", "False", 13),
    bool_option<&FaidxOptions::rebuild>("rebuild", "True", 14),
    bool_option<&FaidxOptions::build_index>("build_index", "True", 15),
    bool_option<&FaidxOptions::one_based_attributes>("one_based_attributes", "True", 10),
    text_option<&FaidxOptions::default_seq>("default_seq", 2),
    bool_option<&FaidxOptions::mutable_file>("mutable", "False", 7),
    object_option<&OpenArguments::key_function, &OpenFile::key_function>("key_function", 3),
    text_option<&FaidxOptions::split_char>("split_char", 8),
    object_option<&OpenArguments::filt_function, &OpenFile::filt_function>("filt_function", 9),
    bool_option<&FaidxOptions::read_long_names>("read_long_names", "False", 11),
    {"duplicate_action", "...", 12, convert_duplicate_action,
     [](const OpenFile& f) { return text_to_str(f.faidx->options().duplicate_action); }},
    {"read_ahead", "None", 6, convert_read_ahead, reopen_read_ahead},
};
constexpr std::size_t kOptionCount = std::size(kOptions);

constexpr bool fasta_order_is_a_permutation() {
  std::array<bool, kOptionCount> seen{};
  for (const Option& option : kOptions) {
    if (option.fasta_position >= kOptionCount || seen[option.fasta_position]) return false;
    seen[option.fasta_position] = true;
  }
  return true;
}
static_assert(fasta_order_is_a_permutation());

// Where table entry i goes in the class's order.
std::size_t position(std::size_t i, Signature signature) noexcept {
  return signature == Signature::Faidx ? i : kOptions[i].fasta_position;
}

const char* class_name(Signature signature) noexcept { return signature == Signature::Faidx ? "Faidx" : "Fasta"; }

using Names = std::array<const char*, kOptionCount>;

Names make_names(Signature signature) {
  Names names{};
  for (std::size_t i = 0; i < kOptionCount; ++i) names[position(i, signature)] = kOptions[i].name;
  return names;
}

const Names& parameter_names(Signature signature) {
  static const Names faidx = make_names(Signature::Faidx);
  static const Names fasta = make_names(Signature::Fasta);
  return signature == Signature::Faidx ? faidx : fasta;
}

std::string make_signature(Signature signature) {
  std::array<std::string, kOptionCount> shown;
  for (std::size_t i = 0; i < kOptionCount; ++i) {
    std::string& text = shown[position(i, signature)];
    text = kOptions[i].name;
    if (kOptions[i].shown_default != nullptr) (text += '=') += kOptions[i].shown_default;
  }
  std::string out = class_name(signature);
  out += '(';
  for (std::size_t i = 0; i < kOptionCount; ++i) {
    if (i != 0) out += ", ";
    out += shown[i];
  }
  out += ")\n--\n\n";
  return out;
}

OpenFileObject* as_open_file(PyObject* self) noexcept { return reinterpret_cast<OpenFileObject*>(self); }

}  // namespace

const char* signature_doc(Signature signature) {
  static const std::string faidx = make_signature(Signature::Faidx);
  static const std::string fasta = make_signature(Signature::Fasta);
  return (signature == Signature::Faidx ? faidx : fasta).c_str();
}

PyObject* open_file_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, Signature signature) {
  const Params params{class_name(signature), parameter_names(signature), 1};
  std::array<PyObject*, kOptionCount> given{};
  if (!bind_tuple(params, args, kwargs, given.data())) return nullptr;
  OpenArguments open;
  for (std::size_t i = 0; i < kOptionCount; ++i) {
    if (!kOptions[i].convert(given[position(i, signature)], kOptions[i].name, open)) return nullptr;
  }
  auto opened = Faidx::open(std::move(open.filename), std::move(open.options));
  if (!opened) return raise_error(opened.error());

  PyRef self = PyRef::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  OpenFile& file = as_open_file(self.get())->file;
  file.faidx = opened->release();
  file.filename = open.filename_str.release();
  file.indexname = open.indexname_str.release();
  file.key_function = open.key_function.release();
  file.filt_function = open.filt_function.release();
  return self.release();
}

int OpenFile_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_open_file(self)->file.key_function);
  Py_VISIT(as_open_file(self)->file.filt_function);
  return 0;
}

int OpenFile_clear(PyObject* self) {
  Py_CLEAR(as_open_file(self)->file.key_function);
  Py_CLEAR(as_open_file(self)->file.filt_function);
  return 0;
}

void OpenFile_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  OpenFile_clear(self);
  OpenFile& file = as_open_file(self)->file;
  Py_CLEAR(file.filename);
  Py_CLEAR(file.indexname);
  Py_CLEAR(file.names);
  delete std::exchange(file.faidx, nullptr);
  free_object(self);
}

PyObject* open_file_repr(PyObject* self) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(self)));
  if (!name) return nullptr;
  return PyUnicode_FromFormat("%U(\"%U\")", name.get(), open_file(self).filename);
}

int open_file_contains(PyObject* self, PyObject* key) {
  std::string_view name;
  if (!to_text(key, "name", &name)) return -1;
  return engine_of(self).index().find(name) != nullptr;
}

namespace {

// The names tuple, made on first use (borrowed), or null with an exception.
PyObject* names_of(PyObject* self) {
  OpenFile& file = as_open_file(self)->file;
  if (file.names != nullptr) return file.names;
  const NameIndex& index = file.faidx->index();
  PyRef names = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(index.size())));
  if (!names) return nullptr;
  for (std::size_t i = 0; i < index.size(); ++i) {
    PyRef name = text_to_str(index.name(i));
    if (!name) return nullptr;
    PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name.release());
  }
  file.names = names.release();
  return file.names;
}

}  // namespace

PyObject* open_file_keys(PyObject* self) {
  PyObject* names = names_of(self);
  return names ? PySequence_List(names) : nullptr;
}

PyRef open_file_name(PyObject* self, std::size_t i) {
  if (PyObject* names = open_file(self).names) {
    return PyRef::borrow(PyTuple_GET_ITEM(names, static_cast<Py_ssize_t>(i)));
  }
  return text_to_str(engine_of(self).index().name(i));
}

PyObject* open_file_reduce(PyObject* self, Signature signature) {
  PyRef args = PyRef::steal(PyTuple_New(kOptionCount));
  if (!args) return nullptr;
  for (std::size_t i = 0; i < kOptionCount; ++i) {
    PyRef value = kOptions[i].reopen(open_file(self));
    if (!value) return nullptr;
    PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(position(i, signature)), value.release());
  }
  return PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get());
}

}  // namespace gelvo::py
