// Generic C-API plumbing for the extension module: owned references, matching call
// arguments to parameter names, converting arguments into what tovik::TovikDB takes and
// results back, and mapping failures onto Python exceptions:
//   argument-list and conversion errors -> TypeError (OverflowError for integers out of
//   range; a TypeError raised while converting parameter NAME is re-raised as
//   "argument 'NAME': ..." with the original as its __cause__)
//   ErrorKind::Message -> ValueError, ErrorKind::OutOfMemory -> MemoryError,
//   ErrorKind::Internal and any stray C++ exception -> the module's internal error type,
//   which derives from BaseException so that `except Exception` does not swallow it.
//
// With module.cpp, the only unit that includes Python.h. Every function here runs with
// the interpreter lock held. Functions returning bool return false with a Python error
// set; functions returning PyObject* return a new reference, or null with an error set.
//
// The same source builds against CPython and PyPy's C API emulation. Under PyPy, plain
// lists and tuples of numbers and result lists cross into the interpreter once per call
// instead of once per item (helpers run inside the interpreter, loaded on first use).
// Those helpers run Python code, where PyPy may switch threads or run a signal handler,
// so they run only while no instance is borrowed: the one-step conversions of arguments
// before the borrow (prepare_*), the result list after it is given back. An exception
// raised meanwhile (a signal handler's, a KeyboardInterrupt) is the call's exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "core.hpp"

namespace tovik::py {

// ---------------------------------------------------------------------------------------
// Owned references

// Owns one strong reference (or none). Released on scope exit, so early returns and
// C++ exceptions cannot leak.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = other.release();
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// A new reference to `obj` (PyPy 3.9 has no Py_NewRef).
inline PyObject* new_ref(PyObject* obj) {
  Py_INCREF(obj);
  return obj;
}

// ---------------------------------------------------------------------------------------
// Exceptions

// The type raised for broken invariants (borrowed; created on first use, null with an
// error set when that fails). Deliberately not a module attribute.
PyObject* internal_error_type();
void raise_internal(const char* message) noexcept;
// Raises the exception for `error` (see the mapping above).
void raise_error(const tovik::Error& error);
// TypeError "'T' object cannot be converted to 'TARGET'". Always returns false.
bool cannot_convert(PyObject* obj, const char* target);
// If the pending error is a TypeError, replaces it by TypeError("argument 'NAME': " +
// its message) whose __cause__ is the original. Other errors are left as they are.
void prefix_type_error(const char* name);

// Runs an entry point's body; a C++ exception becomes MemoryError (std::bad_alloc) or
// the internal error, never an unwind into the interpreter.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal(e.what());
  } catch (...) {
    raise_internal("unknown C++ exception");
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------
// Argument matching

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

// ---------------------------------------------------------------------------------------
// Argument conversion

// A str, as UTF-8 that lives as long as `obj`.
bool to_text(PyObject* obj, std::string_view& out);
// Exactly True or False.
bool to_bool(PyObject* obj, bool& out);
// Any object with __index__, 0 to 2**32 - 1.
bool to_u32(PyObject* obj, uint32_t& out);
// A count: 0 to 2**32 - 1 on every platform (the target's size_t), so that the same call
// is accepted or refused alike on 32- and 64-bit hosts.
bool to_size(PyObject* obj, size_t& out);
// Any object with __index__ that fits 64 signed bits.
bool to_i64(PyObject* obj, int64_t& out);
// A non-str sequence of floats, ints or anything with __float__; each double rounded
// to single precision. Plain lists and tuples of exact floats and ints, and the buffers
// of native floats or doubles of memoryviews and exact float arrays (array.array,
// numpy.ndarray), are converted in one step without running the caller's code.
bool to_vector(PyObject* seq, std::vector<float>& out);
// The one-step conversions of to_vector, before the borrow (see Prepared).
Prepared prepare_vector(PyObject* seq, std::vector<float>& out);
// A non-str sequence of (id, score) tuples of length two.
bool to_scored(PyObject* seq, std::vector<tovik::ScoredPair>& out);
// The one-step conversion of a plain list or tuple of exact (int, float) pairs.
Prepared prepare_scored(PyObject* seq, std::vector<tovik::ScoredPair>& out);

// ---------------------------------------------------------------------------------------
// Result conversion

// A list of (id, score, metadata) tuples; metadata decoded with "replace".
PyObject* result_list(const std::vector<tovik::ResultTuple>& results);
// None, or the exception for the error.
PyObject* none_or_raise(const tovik::Result<void>& result);
// An int, or the exception for the error.
PyObject* int_or_raise(const tovik::Result<uint64_t>& result);

}  // namespace tovik::py
