// Failures as values. A body returns Result<T>: its value, or a PendingError
// that the binding turns into a Python exception after releasing the graph.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace nuvel {

/// Which Python exception a PendingError becomes; the binding alone maps it.
enum class ErrorKind : unsigned char {
  Value,  ///< ValueError: names, edges, metrics, modes, file content
  IO,     ///< OSError: a file cannot be opened, created or written
  /// A Python exception met by the binding while it converted the contents
  /// of an argument inside a body; it is already pending in the interpreter.
  Forwarded,
};

struct PendingError {
  ErrorKind kind;
  std::string message;
};

inline PendingError value_error(std::string message) {
  return {ErrorKind::Value, std::move(message)};
}

/// A broken invariant (an exhausted handle space, a corrupted record). Thrown,
/// never returned: the binding reports it as PanicException. Expected
/// failures never use it.
class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The result of a body that succeeds with nothing to return.
struct Done {};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(PendingError error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  T& value() { return std::get<0>(state_); }
  PendingError& error() { return std::get<1>(state_); }

 private:
  std::variant<T, PendingError> state_;
};

}  // namespace nuvel
