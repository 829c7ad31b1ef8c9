// Result<T>: the value of an internal operation, or the reason it failed.
//
// Internal operations never throw across a module boundary; they return a Result.
// The binding layer alone turns an Error into a Python exception:
//   ErrorKind::Message     -> ValueError with the message (bad input, file errors, ...)
//   ErrorKind::OutOfMemory -> MemoryError (a table could not grow)
//   ErrorKind::Internal    -> the internal error type (a broken invariant)
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace tovik {

enum class ErrorKind {
  Message,      // the operation's own error text, part of the contract
  OutOfMemory,  // memory could not be had; nothing was changed
  Internal,     // a broken invariant or an impossible environment (clock before 1970)
};

struct Error {
  ErrorKind kind = ErrorKind::Message;
  std::string message;

  static Error msg(std::string text) { return {ErrorKind::Message, std::move(text)}; }
  static Error oom(std::string text = "out of memory") { return {ErrorKind::OutOfMemory, std::move(text)}; }
  static Error internal(std::string text) { return {ErrorKind::Internal, std::move(text)}; }
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // REQUIRES: ok()
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }

  // REQUIRES: !ok()
  const Error& error() const& { return std::get<1>(state_); }
  Error&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

// Result<void>: success carries nothing.
struct Ok {};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Ok) {}  // NOLINT
  Result(Error error) : error_(std::move(error)), failed_(true) {}  // NOLINT

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const& { return error_; }
  Error&& error() && { return std::move(error_); }

 private:
  Error error_;
  bool failed_ = false;
};

}  // namespace tovik
