// Conversions of arguments and results (see convert.hpp).
//
// Part of the module's fixed surface, matched by tests and by users' code; they are the
// texts the module has always given, not slips to correct. Do not reword them:
//   "Can't extract `str` to `Vec`" (a str given as a sequence of numbers)
//   "'T' object cannot be converted to 'PyString' / 'PyBool' / 'Sequence' / 'PyTuple'"
//   "out of range integral type conversion attempted" (an integer above the range)
//   "can't convert negative int to unsigned" (when the interpreter gives no text)
//   "expected tuple of length 2, but got tuple of length N"
#include "convert.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "one_step.hpp"

namespace tovik::py {

// ---------------------------------------------------------------------------------------
// Argument conversion

bool to_text(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) return cannot_convert(obj, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);  // lives as long as obj
  if (data == nullptr) return false;                       // lone surrogates: the interpreter's own error
  out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

bool to_bool(PyObject* obj, bool& out) {
  if (!PyBool_Check(obj)) return cannot_convert(obj, "PyBool");
  out = obj == Py_True;
  return true;
}

namespace {

bool out_of_range() {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  return false;
}

// Any object with __index__, 0 to `max`. Negative values get the interpreter's own
// OverflowError; values above `max` get "out of range integral type conversion attempted".
bool to_unsigned(PyObject* obj, uint64_t max, uint64_t& out) {
  if (PyLong_CheckExact(obj)) {  // in range: one call, and nothing else to run
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0 && value >= 0 && static_cast<unsigned long long>(value) <= max) {
      out = static_cast<uint64_t>(value);
      return true;
    }
    if (value == -1 && PyErr_Occurred()) PyErr_Clear();  // the general path below raises
  }
  Ref index(PyNumber_Index(obj));
  if (!index) return false;
  int overflow = 0;
  long long signed_value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (signed_value == -1 && PyErr_Occurred()) return false;
  bool negative = overflow < 0 || (overflow == 0 && signed_value < 0);
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (negative) {  // the call above raised the interpreter's own error for it
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
    return false;
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    return out_of_range();
  }
  if (value > max) return out_of_range();
  out = static_cast<uint64_t>(value);
  return true;
}

}  // namespace

bool to_u32(PyObject* obj, uint32_t& out) {
  uint64_t value = 0;
  if (!to_unsigned(obj, std::numeric_limits<uint32_t>::max(), value)) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

bool to_size(PyObject* obj, size_t& out) {
  constexpr uint64_t MAX_COUNT =
      std::min<uint64_t>(std::numeric_limits<uint32_t>::max(), std::numeric_limits<size_t>::max());
  uint64_t value = 0;
  if (!to_unsigned(obj, MAX_COUNT, value)) return false;
  out = static_cast<size_t>(value);
  return true;
}

bool to_i64(PyObject* obj, int64_t& out) {
  if (PyLong_CheckExact(obj)) {  // fits: one call, and nothing else to run
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0 && !(value == -1 && PyErr_Occurred())) {
      out = static_cast<int64_t>(value);
      return true;
    }
    PyErr_Clear();  // the general path below raises
  }
  Ref index(PyNumber_Index(obj));
  if (!index) return false;
  long long value = PyLong_AsLongLong(index.get());  // out of range: the interpreter's error
  if (value == -1 && PyErr_Occurred()) return false;
  out = static_cast<int64_t>(value);
  return true;
}

namespace {

bool to_double(PyObject* obj, double& out) {
  out = PyFloat_AsDouble(obj);
  return !(out == -1.0 && PyErr_Occurred());
}

// The length a sequence reports, as a reservation hint only: a length query that fails
// with an ordinary exception is ignored, and a lying length cannot make us reserve absurd
// amounts up front. Anything else (KeyboardInterrupt, SystemExit) is not the sequence's
// answer but an interruption, and fails the conversion.
bool length_hint(PyObject* seq, size_t& hint) {
  constexpr Py_ssize_t MAX_RESERVE = Py_ssize_t{1} << 16;
  Py_ssize_t length = PySequence_Size(seq);
  if (length < 0) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    length = 0;
  }
  hint = static_cast<size_t>(length < MAX_RESERVE ? length : MAX_RESERVE);
  return true;
}

// Walks a non-str sequence once, in order, handing each item to `each`.
template <typename Each>
bool for_each_item(PyObject* seq, size_t& hint, Each&& each) {
  if (PyUnicode_Check(seq)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");  // fixed text: see the top of the file
    return false;
  }
  if (!PySequence_Check(seq)) return cannot_convert(seq, "Sequence");
  if (!length_hint(seq, hint)) return false;
  Ref iterator(PyObject_GetIter(seq));
  if (!iterator) return false;
  while (Ref item{PyIter_Next(iterator.get())}) {
    if (!each(item.get())) return false;
  }
  return !PyErr_Occurred();
}

// A read-only view of an object's buffer, released on scope exit. Empty (with no
// error pending) when the object does not export a strided, formatted view.
class BufferView {
 public:
  explicit BufferView(PyObject* obj) {
    // Lists and tuples never export one; skip the refusal and its exception for them.
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) return;
    held_ = PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) == 0;
    if (!held_) PyErr_Clear();
  }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  explicit operator bool() const { return held_; }
  const Py_buffer& get() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The element type of a 1-D buffer of native floats: 'f' (float) or 'd' (double), or
// 0 for any other layout or format. Native order and size only: a bare code or one
// prefixed with '@' or '='.
char float_format(const Py_buffer& view) {
  if (view.ndim != 1 || view.shape == nullptr || view.format == nullptr) return 0;
  std::string_view format(view.format);
  if (format.size() == 2 && (format[0] == '@' || format[0] == '=')) format.remove_prefix(1);
  if (format == "f" && view.itemsize == sizeof(float)) return 'f';
  if (format == "d" && view.itemsize == sizeof(double)) return 'd';
  return 0;
}

// copy_floats (one_step.hpp) of a whole 1-D view.
template <typename T>
void copy_view(const Py_buffer& view, std::vector<float>& out) {
  const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : static_cast<Py_ssize_t>(sizeof(T));
  copy_floats<T>(static_cast<const char*>(view.buf), static_cast<size_t>(view.shape[0]), stride, out);
}

// Reads a sequence that exports a 1-D native float or double buffer straight from its
// memory. False when the object has no such buffer (nothing is read then).
bool read_float_buffer(PyObject* seq, std::vector<float>& out) {
  BufferView view(seq);
  if (!view) return false;
  switch (float_format(view.get())) {
    case 'f':
      copy_view<float>(view.get(), out);
      return true;
    case 'd':
      copy_view<double>(view.get(), out);
      return true;
    default:
      return false;
  }
}

// An exact type of an extension module, recognised without importing anything or running
// any Python code: found in sys.modules when an object whose type has its name first comes
// by, then remembered (and held, so that its address cannot be reused).
class ExactType {
 public:
  ExactType(const char* module, const char* name) : module_(module), name_(name) {}
  ExactType(const ExactType&) = delete;
  ExactType& operator=(const ExactType&) = delete;

  bool matches(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (found_ != nullptr) return type == found_;
    if (std::strcmp(type_name(obj), name_) != 0 || imported() != type) return false;
    found_ = reinterpret_cast<PyTypeObject*>(new_ref(reinterpret_cast<PyObject*>(type)));
    return true;
  }

 private:
  // The type if its module is imported; null otherwise. Exact dicts and modules only, so
  // that no lookup can run Python code.
  PyTypeObject* imported() const {
    PyObject* modules = PyImport_GetModuleDict();
    if (modules == nullptr || !PyDict_CheckExact(modules)) return nullptr;
    PyObject* module = PyDict_GetItemString(modules, module_);
    if (module == nullptr || !PyModule_CheckExact(module)) return nullptr;
    PyObject* found = PyDict_GetItemString(PyModule_GetDict(module), name_);
    return found != nullptr && PyType_Check(found) ? reinterpret_cast<PyTypeObject*>(found) : nullptr;
  }

  const char* module_;
  const char* name_;
  PyTypeObject* found_ = nullptr;
};

ExactType float_array_type("array", "array");
ExactType ndarray_type("numpy", "ndarray");

bool plain_sequence(PyObject* seq) { return PyList_CheckExact(seq) || PyTuple_CheckExact(seq); }

// A vector read from the 1-D native float or double buffer of an object whose iteration
// yields exactly the buffer's items: a memoryview, an exact array.array or an exact
// numpy.ndarray. A subclass may define its own iteration, so it takes the general path
// (which gives the same values when it does not). Runs no Python code.
bool buffer_vector(PyObject* seq, std::vector<float>& out) {
  if (float_array_type.matches(seq)) return plain_array(seq, out) || read_float_buffer(seq, out);
  return (PyMemoryView_Check(seq) || ndarray_type.matches(seq)) && read_float_buffer(seq, out);
}

}  // namespace

Prepared prepare_vector(PyObject* seq, std::vector<float>& out) {
  if (plain_sequence(seq)) return helper_floats(seq, out);
  return buffer_vector(seq, out) ? Prepared::Done : Prepared::Declined;
}

// Floats, ints or anything with __float__; each double rounded to single precision.
// The conversions that run no Python code come first (see prepare_vector), then item
// by item.
bool to_vector(PyObject* seq, std::vector<float>& out) {
  if (plain_sequence(seq) ? quiet_floats(seq, out) : buffer_vector(seq, out)) return true;
  size_t hint = 0;
  return for_each_item(seq, hint, [&](PyObject* item) {
    if (out.empty()) out.reserve(hint);
    double value = 0;
    if (!to_double(item, value)) return false;
    out.push_back(static_cast<float>(value));
    return true;
  });
}

namespace {

bool to_scored_pair(PyObject* item, tovik::ScoredPair& out) {
  if (!PyTuple_Check(item)) return cannot_convert(item, "PyTuple");
  Py_ssize_t length = PyTuple_Size(item);
  if (length != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", length);
    return false;
  }
  double score = 0;
  if (!to_u32(PyTuple_GetItem(item, 0), out.id) || !to_double(PyTuple_GetItem(item, 1), score)) return false;
  out.score = static_cast<float>(score);
  return true;
}

}  // namespace

Prepared prepare_scored(PyObject* seq, std::vector<tovik::ScoredPair>& out) {
  return plain_sequence(seq) ? helper_pairs(seq, out) : Prepared::Declined;
}

bool to_scored(PyObject* seq, std::vector<tovik::ScoredPair>& out) {
  if (plain_sequence(seq) && quiet_pairs(seq, out)) return true;
  size_t hint = 0;
  return for_each_item(seq, hint, [&](PyObject* item) {
    if (out.empty()) out.reserve(hint);
    tovik::ScoredPair pair{};
    if (!to_scored_pair(item, pair)) return false;
    out.push_back(pair);
    return true;
  });
}

// ---------------------------------------------------------------------------------------
// Result conversion

namespace {

PyObject* result_tuple(const tovik::ResultTuple& r) {
  Ref id(PyLong_FromUnsignedLong(r.id));
  Ref score(PyFloat_FromDouble(static_cast<double>(r.score)));  // exact widening
  Ref text(PyUnicode_DecodeUTF8(r.metadata.data(), static_cast<Py_ssize_t>(r.metadata.size()), "replace"));
  if (!id || !score || !text) return nullptr;
  return PyTuple_Pack(3, id.get(), score.get(), text.get());
}

PyObject* result_list_one_by_one(const std::vector<tovik::ResultTuple>& results) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < results.size(); ++i) {
    PyObject* tuple = result_tuple(results[i]);
    if (tuple == nullptr || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple) != 0)
      return nullptr;
  }
  return list.release();
}

}  // namespace

PyObject* result_list(const std::vector<tovik::ResultTuple>& results) {
  if (results.empty()) return PyList_New(0);
  if (PyObject* list = plain_result_list(results)) return list;
  return PyErr_Occurred() ? nullptr : result_list_one_by_one(results);
}

PyObject* none_or_raise(const tovik::Result<void>& result) {
  if (!result.ok()) {
    raise_error(result.error());
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* int_or_raise(const tovik::Result<uint64_t>& result) {
  if (!result.ok()) {
    raise_error(result.error());
    return nullptr;
  }
  return PyLong_FromUnsignedLongLong(result.value());
}
}  // namespace tovik::py
