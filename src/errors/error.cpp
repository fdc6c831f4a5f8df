#include "errors/error.h"

#include <cstring>

namespace gelvo {

namespace {

struct KindText {
  const char* display;
  const char* python;
};

KindText kind_text(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::FastaNotFound: return {"FASTA file not found: ", "FastaNotFoundError: "};
    case ErrorKind::IndexNotFound: return {"Index file not found: ", "IndexNotFoundError: "};
    case ErrorKind::Fetch: return {"Fetch error: ", "FetchError: "};
    case ErrorKind::FastaIndexing: return {"Indexing error: ", "FastaIndexingError: "};
    case ErrorKind::IO: return {"IO error: ", "IOError: "};
    case ErrorKind::Region: return {"Invalid region: ", "RegionError: "};
    // These two carry their whole text: they become built-in exceptions of
    // their own type, not the engine's prefixed Exception.
    case ErrorKind::Bounds: return {"", ""};
    case ErrorKind::Batch: return {"", ""};
  }
  return {"Error: ", "Error: "};
}

}  // namespace

FaidxError FaidxError::from_errno(int errnum) {
  char buf[256];
  // The GNU strerror_r may return a static string instead of filling buf.
  std::string text = strerror_r(errnum, buf, sizeof buf);
  text += " (os error ";
  text += std::to_string(errnum);
  text += ')';
  return io(std::move(text));
}

namespace {

std::string prefixed(const char* prefix, const std::string& payload) {
  std::string text(prefix);
  text += payload;
  return text;
}

}  // namespace

std::string FaidxError::display() const { return prefixed(kind_text(kind_).display, payload_); }

std::string FaidxError::python_message() const { return prefixed(kind_text(kind_).python, payload_); }

}  // namespace gelvo
