// Result<T>: a value or an error. Expected failures travel as values; the
// text is built where the failure is detected and names the file or command
// involved, and the kind tells callers that act differently on each apart.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace ze {

// The failures callers tell apart; everything else is `Failed`.
enum class ErrorKind {
  Failed,   // no kind of its own: the message says what
  Network,  // no connection, a timeout, a stall, a server error: worth trying again
  Refused,  // the server refused the request, or its answer is unusable: not worth repeating
  Stopped,  // a stop was requested
};

struct Error {
  std::string message;
  ErrorKind kind = ErrorKind::Failed;

  static Error network(std::string message) { return {std::move(message), ErrorKind::Network}; }
  static Error refused(std::string message) { return {std::move(message), ErrorKind::Refused}; }
  static Error stopped() { return {"stopped", ErrorKind::Stopped}; }
};

template <typename T>
class Result {
 public:
  Result(T value) : v_(std::move(value)) {}          // NOLINT: implicit on purpose
  Result(Error error) : v_(std::move(error)) {}      // NOLINT: implicit on purpose

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const std::string& error() const { return std::get<1>(v_).message; }
  ErrorKind kind() const { return std::get<1>(v_).kind; }
  const Error& failure() const& { return std::get<1>(v_); }

  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

 private:
  std::variant<T, Error> v_;
};

// Result of an operation that yields nothing but may fail.
struct Done {};
using Status = Result<Done>;
inline Status ok_status() { return Done{}; }

}  // namespace ze
