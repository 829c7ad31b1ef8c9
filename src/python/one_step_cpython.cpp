// The one-step conversions under CPython (see one_step.hpp): the item array of a plain
// list or tuple is read directly; exact floats and ints run no Python code.
#include "one_step.hpp"

#if !defined(PYPY_VERSION)

#include <cstdint>
#include <limits>

namespace tovik::py {
namespace {

// An int that does not fit a double declines (its OverflowError comes from the general
// path, after the items before it).
bool plain_number(PyObject* item, double& out) {
  if (PyFloat_CheckExact(item)) {
    out = PyFloat_AS_DOUBLE(item);
    return true;
  }
  if (!PyLong_CheckExact(item)) return false;
  out = PyLong_AsDouble(item);
  if (out == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return true;
}

bool plain_pair(PyObject* item, tovik::ScoredPair& out) {
  if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 2) return false;
  PyObject* id = PyTuple_GET_ITEM(item, 0);
  if (!PyLong_CheckExact(id)) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(id, &overflow);
  if (overflow != 0 || value < 0 || value > static_cast<long long>(std::numeric_limits<uint32_t>::max())) {
    return false;
  }
  double score = 0;
  if (!plain_number(PyTuple_GET_ITEM(item, 1), score)) return false;
  out = {static_cast<uint32_t>(value), static_cast<float>(score)};
  return true;
}

}  // namespace

bool quiet_floats(PyObject* seq, std::vector<float>& out) {
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  PyObject** items = PySequence_Fast_ITEMS(seq);
  out.resize(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    double value = 0;
    if (!plain_number(items[i], value)) {
      out.clear();
      return false;
    }
    out[static_cast<size_t>(i)] = static_cast<float>(value);
  }
  return true;
}

Prepared helper_floats(PyObject* seq, std::vector<float>& out) {
  return quiet_floats(seq, out) ? Prepared::Done : Prepared::Declined;
}

// CPython exports an array's buffer without cost; read_float_buffer serves it.
bool plain_array(PyObject*, std::vector<float>&) { return false; }

bool quiet_pairs(PyObject* seq, std::vector<tovik::ScoredPair>& out) {
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  PyObject** items = PySequence_Fast_ITEMS(seq);
  out.resize(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!plain_pair(items[i], out[static_cast<size_t>(i)])) {
      out.clear();
      return false;
    }
  }
  return true;
}

Prepared helper_pairs(PyObject* seq, std::vector<tovik::ScoredPair>& out) {
  return quiet_pairs(seq, out) ? Prepared::Done : Prepared::Declined;
}

PyObject* plain_result_list(const std::vector<tovik::ResultTuple>&) { return nullptr; }

}  // namespace tovik::py

#endif
