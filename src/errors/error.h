// The engine's error vocabulary.
//
// Engine operations never throw for expected failures: they return a
// Result<T> holding either the value or one FaidxError. The binding layer
// turns an error into a Python exception once, at its boundary
// (errors/py/raise.h). Nothing in this header depends on Python.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace gelvo {

enum class ErrorKind {
  FastaNotFound,  // payload: the FASTA path
  IndexNotFound,  // payload: the index path
  Fetch,          // payload: free text
  FastaIndexing,  // payload: free text
  IO,             // payload: OS error text or a fixed message
  Region,         // payload: free text
  Bounds,         // payload: a strict coordinate rule's message; raised as IndexError
  Batch,          // payload: the whole message of a failed batch region; raised as RuntimeError
};

class FaidxError {
 public:
  FaidxError(ErrorKind kind, std::string payload) : kind_(kind), payload_(std::move(payload)) {}

  // An IOError reported by the operating system: "<strerror> (os error N)".
  static FaidxError from_errno(int errnum);
  // An IOError the system raises itself, with a fixed message.
  static FaidxError io(std::string message) { return {ErrorKind::IO, std::move(message)}; }

  ErrorKind kind() const noexcept { return kind_; }
  const std::string& payload() const noexcept { return payload_; }

  // "Fetch error: <payload>" and the like; embedded in batch messages.
  std::string display() const;
  // "FetchError: <payload>" and the like; the text of the Python exception.
  std::string python_message() const;

 private:
  ErrorKind kind_;
  std::string payload_;
};

// Fixed IOError messages of the engine.
inline constexpr const char* kInvalidUtf8 = "stream did not contain valid UTF-8";
inline constexpr const char* kWriteZero = "failed to write whole buffer";
inline constexpr const char* kNoFileHandle = "No file handle available";

struct Ok {};

// A value or an error, shaped like std::expected (not available in C++20).
template <class T, class E = FaidxError>
class Result {
  static_assert(!std::is_same_v<std::decay_t<T>, std::decay_t<E>>);

 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &std::get<0>(v_); }
  const T* operator->() const { return &std::get<0>(v_); }
  T& operator*() & { return std::get<0>(v_); }

  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

using Status = Result<Ok>;

}  // namespace gelvo
