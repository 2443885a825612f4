// Result<T>: a value or an error text. Expected failures travel as values;
// the text is built where the failure is detected and names the file or
// command involved.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace ze {

struct Error {
  std::string message;
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
