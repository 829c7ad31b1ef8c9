// Result<T>: the value of an internal operation, or the reason it failed.
//
// The error rule, the one every unit follows:
//   - A failure the code decides on (bad input, a file error, a bound it checks, a
//     broken invariant) is returned as a Result, never thrown.
//   - Running out of memory is the one failure that travels as an exception, and the
//     only exception that leaves a function of ours: std::bad_alloc, or std::length_error
//     from a container asked for more than it can hold (the same failure, detected before
//     the container asks for memory). A function that can throw it says so ("Throws
//     std::bad_alloc") and what it leaves behind then. (A thread that cannot start,
//     std::system_error, is caught where it happens, in the worker pool.)
//   - It becomes a Result at exactly one line: `at_edge` in core.cpp, which every TovikDB
//     operation runs through, so the core's public face (core.hpp) throws nothing. Below
//     the edge, code catches it only to undo a partial change and rethrow it, to fall
//     back on less (geometric growth on the exact size, fewer worker threads, a text
//     longer than a string can hold read as unreadable), or to carry it from a worker
//     thread to the thread that waits (worker_pool.hpp, as OutOfMemory).
//   - The binding alone turns an Error into a Python exception:
//       ErrorKind::Message     -> ValueError with the message (bad input, file errors, ...)
//       ErrorKind::OutOfMemory -> MemoryError
//       ErrorKind::Internal    -> the internal error type (a broken invariant)
//     The binding allocates too (its argument conversions): its entry points run inside
//     `guarded`, the line no C++ exception crosses into the interpreter (std::bad_alloc
//     becomes MemoryError there, anything else the internal error).
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
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}      // NOLINT: implicit by design
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
  Result(Ok) {}                                                     // NOLINT
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
