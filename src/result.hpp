// result.hpp: error values of the core and the one C++ exception, for broken invariants.
#pragma once
#include <exception>
#include <string>
#include <utility>
#include <variant>

namespace vx {

// Thrown only for conditions the module's own logic guarantees cannot happen; the entry
// boundary turns it into the internal-failure exception. Never used for bad input.
class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

[[noreturn]] inline void invariant_failed(std::string message) {
  throw InternalFailure(std::move(message));
}

// An operating-system failure: an errno value, or (code 0) a fixed text of our own.
struct OsError {
  int code = 0;
  std::string text;  // used only when code is 0
};

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

// Success or an error, for operations with no value.
template <class E>
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(E error) : error_(std::move(error)), failed_(true) {}
  bool ok() const noexcept { return !failed_; }
  explicit operator bool() const noexcept { return ok(); }
  const E& error() const& { return error_; }
  E& error() & { return error_; }

 private:
  E error_{};
  bool failed_ = false;
};

}  // namespace vx
