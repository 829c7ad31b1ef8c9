// C-API plumbing every unit of the binding shares: the one include of Python.h, owned
// references, and the mapping of failures onto Python exceptions:
//   ErrorKind::Message -> ValueError, ErrorKind::OutOfMemory -> MemoryError,
//   ErrorKind::Internal and any stray C++ exception -> the module's internal error type,
//   which derives from BaseException so that `except Exception` does not swallow it.
//
// This folder holds the binding, and only its files include Python.h (through this
// header, first, before any standard header). Every function of the binding runs with
// the interpreter lock held, except the direct route's (direct_route.cpp), which touch no
// Python object. Functions returning bool return false with a Python error
// set; functions returning PyObject* return a new reference, or null with an error set.
// The same source builds against CPython and PyPy's C API emulation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <utility>

#include "result.hpp"

namespace tovik::py {

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

// The type's short name ("dict", not "builtins.dict") for conversion messages.
const char* type_name(PyObject* obj);

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

// The binding's edge into the interpreter (the error rule: result.hpp): runs an entry
// point's body; a C++ exception becomes MemoryError (std::bad_alloc) or the internal
// error, never an unwind into the interpreter. The core throws nothing; what this
// catches comes from the binding's own allocations (the argument conversions).
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

}  // namespace tovik::py
