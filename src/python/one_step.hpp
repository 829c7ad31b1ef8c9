// Plain lists and tuples in one step: the conversions each interpreter does without
// visiting items through the general protocol, and the result list made in one step.
//
// A list or tuple (exact types, not subclasses) whose items are all exact `float` or
// `int` is converted without visiting items through the general protocol: no item can
// run Python code, so the result is the same as item by item. Anything else (a hook
// object, a subclass, a bool, an int beyond a double, a length other than two in
// `scored`, an id out of range) makes the fast path decline with no error pending and
// nothing of the caller's called, and the general path (convert.cpp) then produces the
// values, errors and hook calls.
//
// Each interpreter provides these functions in a unit of its own: one_step_cpython.cpp
// reads the item arrays directly; one_step_pypy.cpp hands plain lists, tuples and result
// lists to helpers that run inside the interpreter, so that they cross into it once per
// call instead of once per item. Those helpers run Python code, where PyPy may switch
// threads or run a signal handler, so they run only while no instance is borrowed: the
// one-step conversions of arguments before the borrow (the prepare step of module.cpp's
// run_method), the result list after it is given back. An exception raised meanwhile (a
// signal handler's, a KeyboardInterrupt, MemoryError) is the call's exception, never
// cleared.
#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

#include "args.hpp"  // first: Python.h must precede the standard headers
#include "core.hpp"
#include "scored_pair.hpp"

namespace tovik::py {

// The one-step conversion of a plain list or tuple of numbers (or of exact (int, float)
// pairs), run before the instance is borrowed (under PyPy it runs Python code of our
// own).
Prepared helper_floats(PyObject* seq, std::vector<float>& out);
Prepared helper_pairs(PyObject* seq, std::vector<tovik::ScoredPair>& out);
// The same where it runs no Python code at all (CPython), or a refusal (PyPy), tried
// under the borrow when the call could not prepare. False (no error pending) when it
// declines.
bool quiet_floats(PyObject* seq, std::vector<float>& out);
bool quiet_pairs(PyObject* seq, std::vector<tovik::ScoredPair>& out);
// An exact array.array read without exporting its buffer (PyPy), or a refusal
// (CPython, which exports an array's buffer without cost). Runs no Python code.
bool plain_array(PyObject* seq, std::vector<float>& out);
// The non-empty result list made in one step (PyPy), or null: with an error pending
// when that failed, without one when the caller is to build it item by item. Runs
// Python code of our own: only while no instance is borrowed.
PyObject* plain_result_list(const std::vector<tovik::ResultTuple>& results);

// Copies a 1-D float or double buffer, each value rounded to single precision exactly
// as the sequence path rounds the item's double (a float widens and narrows back to
// itself). Strides may be negative or unaligned.
template <typename T>
void copy_floats(const char* base, size_t n, Py_ssize_t stride, std::vector<float>& out) {
  out.resize(n);
  for (size_t i = 0; i < n; ++i) {
    T value;
    std::memcpy(&value, base + static_cast<Py_ssize_t>(i) * stride, sizeof(T));
    out[i] = static_cast<float>(value);
  }
}

}  // namespace tovik::py
