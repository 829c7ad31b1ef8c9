// Argument matching: one call's arguments (vectorcall or tuple-and-dict) matched to a
// method's parameter names, then converted one by one with the parameter's name on any
// TypeError. The argument-list errors are CPython's own texts for a function of that
// signature ("TovikDB.add() missing 1 required positional argument: 'vector'", ...):
// part of the module's fixed surface, matched by tests.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

#include "plumbing.hpp"  // first: Python.h must precede the standard headers

namespace tovik::py {

constexpr size_t MAX_PARAMS = 4;
using Slots = std::array<PyObject*, MAX_PARAMS>;  // borrowed; null = not given

struct Signature {
  const char* qualname;  // e.g. "TovikDB.add()"
  std::array<const char*, MAX_PARAMS> names;
  size_t total;
  size_t required;  // the first `required` parameters have no default
};

// An optional parameter that was left out or given as None.
inline bool absent(PyObject* obj) { return obj == nullptr || obj == Py_None; }

// The outcome of a one-step conversion tried before the instance is borrowed: Done (the
// value is converted), Declined (nothing of the caller's ran and no error is pending; the
// general conversion runs later, under the borrow) or Failed (an error is pending: an
// exception that arrived while our own code ran, or MemoryError; the call raises it).
enum class Prepared { Done, Declined, Failed };

// One call's arguments matched to a signature's parameters, then converted one by one.
// The matched values are borrowed from the call and live as long as it does.
class Args {
 public:
  explicit Args(const Signature& sig) : sig_(sig) {}

  // Vectorcall convention: args[0..nargs) positional, then one value per name in
  // kwnames. False with the argument-list TypeError.
  bool match(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
  // Tuple-and-dict convention (the constructor).
  bool match(PyObject* args, PyObject* kwargs);

  // The object given for parameter i (borrowed), or null when it was left out.
  PyObject* given(size_t i) const { return slots_[i]; }

  // Tries a one-step conversion of parameter i into `out` before the borrow is taken;
  // when it is Done, get() leaves `out` as it is. False only when it Failed.
  template <typename T>
  bool prepare(size_t i, Prepared (*convert)(PyObject*, T&), T& out) {
    if (absent(slots_[i])) return true;
    const Prepared outcome = convert(slots_[i], out);
    prepared_[i] = outcome == Prepared::Done;
    return outcome != Prepared::Failed;
  }

  // Converts parameter i into `out`; a TypeError gets the parameter's prefix. An
  // optional parameter left out or given None leaves `out` (its default) as it is, and
  // so does a prepared one.
  template <typename T>
  bool get(size_t i, bool (*convert)(PyObject*, T&), T& out) const {
    if (prepared_[i] || (i >= sig_.required && absent(slots_[i]))) return true;
    return convert(slots_[i], out) || failed(i);
  }
  // The same for a parameter whose default is "none given".
  template <typename T>
  bool get(size_t i, bool (*convert)(PyObject*, T&), std::optional<T>& out) const {
    if (i >= sig_.required && absent(slots_[i])) return true;
    return convert(slots_[i], out.emplace()) || failed(i);
  }

 private:
  bool failed(size_t i) const;  // applies parameter i's prefix; returns false

  const Signature& sig_;
  Slots slots_{};
  std::array<bool, MAX_PARAMS> prepared_{};
};

}  // namespace tovik::py
