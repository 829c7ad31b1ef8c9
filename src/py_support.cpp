// Argument matching, conversions and exception mapping for the extension module (see
// py_support.hpp for the contract).
#include "py_support.hpp"

#include <pthread.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <limits>
#include <string>

namespace tovik::py {

// ---------------------------------------------------------------------------------------
// Exceptions

namespace {

// Raises `type` with a message decoded from UTF-8 bytes that may contain anything.
void raise_text(PyObject* type, const std::string& text) {
  Ref message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.get());
}

// The type's short name ("dict", not "builtins.dict") for conversion messages.
const char* type_name(PyObject* obj) {
  const char* name = Py_TYPE(obj)->tp_name;
  const char* dot = std::strrchr(name, '.');
  return dot != nullptr ? dot + 1 : name;
}

bool out_of_range() {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  return false;
}

}  // namespace

// The type raised for broken invariants. Derives from BaseException; it is deliberately
// not a module attribute (it is outside the documented surface). Created on first use.
PyObject* internal_error_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewException("tovik.InternalError", PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_internal(const char* message) noexcept {
  if (PyObject* type = internal_error_type()) PyErr_SetString(type, message);
}

void raise_error(const tovik::Error& error) {
  switch (error.kind) {
    case tovik::ErrorKind::Message:
      raise_text(PyExc_ValueError, error.message);
      return;
    case tovik::ErrorKind::OutOfMemory:
      raise_text(PyExc_MemoryError, error.message);
      return;
    case tovik::ErrorKind::Internal:
      if (PyObject* type = internal_error_type()) raise_text(type, error.message);
      return;
  }
  raise_internal("unknown error kind");
}

// TypeError "'T' object cannot be converted to 'TARGET'". Always returns false.
bool cannot_convert(PyObject* obj, const char* target) {
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name(obj), target);
  return false;
}

// If the pending error is a TypeError, replaces it by TypeError("argument 'NAME': " +
// its message) whose __cause__ is the original. Other errors are left as they are.
void prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_trace = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_trace);
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_trace);
  Ref type(raw_type), value(raw_value), trace(raw_trace);
  if (trace) PyException_SetTraceback(value.get(), trace.get());

  Ref text(PyObject_Str(value.get()));
  Ref message(text ? PyUnicode_FromFormat("argument '%s': %U", name, text.get()) : nullptr);
  Ref wrapped(message ? PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr) : nullptr);
  if (!wrapped) {  // could not build the new error: keep the original
    PyErr_Clear();
    PyErr_Restore(type.release(), value.release(), trace.release());
    return;
  }
  PyException_SetCause(wrapped.get(), value.release());  // steals the reference
  PyErr_SetObject(PyExc_TypeError, wrapped.get());
}

// ---------------------------------------------------------------------------------------
// Argument matching

namespace {

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.required < sig.total) {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 sig.qualname, sig.required, sig.total, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig.qualname,
                 sig.total, given, verb);
  }
  return false;
}

// Keyword objects seen before, each held (so that its address cannot be reused) with
// the parameter name it spells. A call site passes the same keyword objects every time,
// and under PyPy this saves a call into the interpreter per keyword and name compared.
struct KnownKeyword {
  PyObject* object = nullptr;
  const char* name = nullptr;
};
std::array<KnownKeyword, 16> known_keywords;

const char* known_keyword(PyObject* keyword) {
  for (const KnownKeyword& k : known_keywords) {
    if (k.object == keyword) return k.name;
  }
  return nullptr;
}

void remember_keyword(PyObject* keyword, const char* name) {
  if (!PyUnicode_CheckExact(keyword)) return;
  for (KnownKeyword& k : known_keywords) {
    if (k.object != nullptr) continue;
    k = {new_ref(keyword), name};
    return;
  }
}

// True when `keyword` spells `name`: by the remembered spelling, or compared and then
// remembered.
bool keyword_is(PyObject* keyword, const char* known, const char* name) {
  if (known != nullptr) return std::strcmp(known, name) == 0;
  if (PyUnicode_CompareWithASCIIString(keyword, name) != 0) return false;
  remember_keyword(keyword, name);
  return true;
}

// Files one keyword argument into its slot, or raises the argument-list error.
bool assign_keyword(const Signature& sig, PyObject* keyword, PyObject* value, Py_ssize_t nargs,
                    Slots& slots) {
  const char* known = known_keyword(keyword);
  for (size_t i = 0; (known != nullptr || PyUnicode_Check(keyword)) && i < sig.total; ++i) {
    if (!keyword_is(keyword, known, sig.names[i])) continue;
    if (static_cast<Py_ssize_t>(i) < nargs) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.qualname,
                   sig.names[i]);
      return false;
    }
    slots[i] = value;
    return true;
  }
  Ref shown(PyUnicode_Check(keyword) ? new_ref(keyword) : PyObject_Str(keyword));
  if (shown) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.qualname,
                 shown.get());
  }
  return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string join_names(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ",";
      out += (i + 1 == names.size()) ? " and " : " ";
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

bool check_required(const Signature& sig, const Slots& slots) {
  std::vector<const char*> missing;
  for (size_t i = 0; i < sig.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(sig.names[i]);
  }
  if (missing.empty()) return true;
  std::string message = std::string(sig.qualname) + " missing " + std::to_string(missing.size()) +
                        " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                        join_names(missing);
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

bool take_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, Slots& slots) {
  if (nargs > static_cast<Py_ssize_t>(sig.total)) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<size_t>(i)] = args[i];
  return true;
}

}  // namespace

bool Args::match(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  slots_.fill(nullptr);
  prepared_.fill(false);
  if (!take_positional(sig_, args, nargs, slots_)) return false;
  Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;  // always an exact tuple
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    if (!assign_keyword(sig_, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], nargs, slots_)) return false;
  }
  return check_required(sig_, slots_);
}

bool Args::match(PyObject* args, PyObject* kwargs) {
  slots_.fill(nullptr);
  prepared_.fill(false);
  Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs > static_cast<Py_ssize_t>(sig_.total)) return too_many_positional(sig_, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots_[static_cast<size_t>(i)] = PyTuple_GetItem(args, i);
  Py_ssize_t pos = 0;
  PyObject* keyword = nullptr;
  PyObject* value = nullptr;
  while (kwargs != nullptr && PyDict_Next(kwargs, &pos, &keyword, &value)) {
    if (!assign_keyword(sig_, keyword, value, nargs, slots_)) return false;
  }
  return check_required(sig_, slots_);
}

bool Args::failed(size_t i) const {
  prefix_type_error(sig_.names[i]);
  return false;
}

// ---------------------------------------------------------------------------------------
// Argument conversion

bool to_text(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) return cannot_convert(obj, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);  // lives as long as obj
  if (data == nullptr) return false;  // lone surrogates: the interpreter's own error
  out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

bool to_bool(PyObject* obj, bool& out) {
  if (!PyBool_Check(obj)) return cannot_convert(obj, "PyBool");
  out = obj == Py_True;
  return true;
}

namespace {

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

// A count: 0 to 4294967295 on every platform (the target's size_t), so that the same
// call is accepted or refused alike on 32- and 64-bit hosts.
bool to_size(PyObject* obj, size_t& out) {
  constexpr uint64_t MAX_COUNT = std::min<uint64_t>(std::numeric_limits<uint32_t>::max(),
                                                    std::numeric_limits<size_t>::max());
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
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
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

template <typename T>
void copy_floats(const Py_buffer& view, std::vector<float>& out) {
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
      copy_floats<float>(view.get(), out);
      return true;
    case 'd':
      copy_floats<double>(view.get(), out);
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

// ---------------------------------------------------------------------------------------
// Plain lists and tuples in one step
//
// A list or tuple (exact types, not subclasses) whose items are all exact `float` or
// `int` is converted without visiting items through the general protocol: no item can
// run Python code, so the result is the same as item by item. Anything else (a hook
// object, a subclass, a bool, an int beyond a double, a length other than two in
// `scored`, an id out of range) makes the fast path decline with no error pending and
// nothing of the caller's called, and the general path then produces the values, errors
// and hook calls.
//
// Each interpreter provides:
//   helper_floats, helper_pairs: the one-step conversion of a plain list or tuple, run
//     before the instance is borrowed (under PyPy it runs Python code of our own);
//   quiet_floats, quiet_pairs: the same where it runs no Python code at all (CPython),
//     or a refusal (PyPy), tried under the borrow when the call could not prepare;
//   plain_array: an exact array.array read without exporting its buffer (PyPy), or a
//     refusal (CPython, which exports an array's buffer without cost).

#if defined(PYPY_VERSION)
// PyPy's C-API layer gives every item a C-level wrapper when C code reads it (over
// 100 us for 384 floats). Instead we ask the interpreter for a private copy of the items
// as a list, learn their kinds from its storage strategy (PyPy stores a list of only
// exact floats and machine-sized exact ints unboxed, and reports which), have it copy
// them into an array in one call, and read the array's memory. The copy means nothing
// can change the items between check and conversion, even if another thread runs while
// the helper does.
//
// The helpers run bytecode, where PyPy may switch threads or run a signal handler. So
// they only run while no instance is borrowed: the conversions before the borrow is
// taken, the result list after it is given back. An exception raised meanwhile (by a
// signal handler, or MemoryError) is the call's exception, never cleared.
struct PlainTools {
  PyObject* buffer_info = nullptr;  // the names "buffer_info", "typecode"
  PyObject* typecode = nullptr;
  PyObject* to_floats = nullptr;  // the functions of HELPERS
  PyObject* to_pairs = nullptr;
  PyObject* to_results = nullptr;

  void clear() {
    for (PyObject** p : {&buffer_info, &typecode, &to_floats, &to_pairs, &to_results}) Py_CLEAR(*p);
  }
};

// Run inside the interpreter, so that a conversion costs one call from C instead of
// several per call or per object.
// to_floats copies a plain list or tuple into a private list, learns the kinds of its
// items from its storage strategy, and copies the count and then the items into a new
// array('d'), kept in `last` until the next call. It returns the address of the count,
// or 0 for any other kind of item. A new array per call costs one small allocation; one
// shared array that grew and was emptied now and then made the allocator hand memory
// back to the system and fault it in again (over one page fault per call).
// to_pairs does the same for a plain list or tuple of exact 2-tuples: the count, the ids
// (machine ints, so exact as doubles up to 2**53), then the scores.
// to_results unpacks the blob that packed_results writes (see there) into the list of
// result tuples.
constexpr const char* HELPERS = R"(
try:
    from array import array
    from __pypy__ import strategy
except ImportError:
    array = strategy = None
USABLE = strategy is not None and (array("d").itemsize, array("I").itemsize, array("Q").itemsize) == (8, 4, 8)
NUMERIC = frozenset(("EmptyListStrategy", "IntegerListStrategy", "FloatListStrategy",
                     "IntOrFloatListStrategy"))
INTEGERS = frozenset(("EmptyListStrategy", "IntegerListStrategy"))
last = [None]

def keep(floats):
    last[0] = floats
    return floats.buffer_info()[0]

def to_floats(seq):
    items = list(seq)
    if strategy(items) not in NUMERIC:
        return 0
    floats = array("d", (len(items),))
    floats.fromlist(items)
    return keep(floats)

def to_pairs(seq):
    ids = []
    scores = []
    for item in list(seq):
        if type(item) is not tuple or len(item) != 2:
            return 0
        ids.append(item[0])
        scores.append(item[1])
    if strategy(ids) not in INTEGERS or strategy(scores) not in NUMERIC:
        return 0
    floats = array("d", (len(ids),))
    floats.fromlist(ids)
    floats.fromlist(scores)
    return keep(floats)

def to_results(blob):
    n = array("Q", blob[:8])[0]
    ids = array("I", blob[8:8 + 4 * n])
    ends = array("Q", blob[8 + 4 * n:8 + 12 * n])
    scores = array("d", blob[8 + 12 * n:8 + 20 * n])
    start = 8 + 20 * n
    out = []
    for i in range(n):
        end = ends[i]
        out.append((ids[i], scores[i], blob[start:end].decode("utf-8", "replace")))
        start = end
    return out
)";

PyObject* helper(PyObject* globals, const char* name) {
  PyObject* fn = PyDict_GetItemString(globals, name);  // borrowed: keep it
  Py_XINCREF(fn);
  return fn;
}

enum class Loaded { Yes, Missing, Failed };

// Runs HELPERS. Missing (no error pending) when this PyPy lacks what they need; Failed
// (error pending) for anything else that went wrong: MemoryError, or an exception a
// signal handler raised while they ran. (Only an ImportError raised by a signal handler
// during the imports at the top of HELPERS would pass for Missing.)
Loaded load_plain_tools(PlainTools& t) {
  t.buffer_info = PyUnicode_FromString("buffer_info");
  t.typecode = PyUnicode_FromString("typecode");
  Ref globals(PyDict_New());
  if (!t.buffer_info || !t.typecode || !globals ||
      PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) != 0) {
    return Loaded::Failed;
  }
  Ref done(PyRun_String(HELPERS, Py_file_input, globals.get(), globals.get()));
  if (!done) return Loaded::Failed;
  if (PyDict_GetItemString(globals.get(), "USABLE") != Py_True) return Loaded::Missing;
  t.to_floats = helper(globals.get(), "to_floats");
  t.to_pairs = helper(globals.get(), "to_pairs");
  t.to_results = helper(globals.get(), "to_results");
  return t.to_floats && t.to_pairs && t.to_results ? Loaded::Yes : Loaded::Missing;
}

// The tools, loaded on first need and kept for the process (no module attribute), and
// whether a helper is running (it keeps its array in `last`, so no second call may start
// meanwhile: another thread or a signal handler that comes in then takes the general path).
enum class ToolState { Unloaded, Loading, Ready, Unavailable };
PlainTools tools;
ToolState tool_state = ToolState::Unloaded;
bool filling = false;

// A forked child has only the thread that forked: a helper or a load that another thread
// was in the middle of will never finish there.
void reset_in_child() {
  filling = false;
  if (tool_state == ToolState::Loading) tool_state = ToolState::Unloaded;
}

// Holds back the signals that arrive meanwhile, on this thread (faults excepted): they are
// handled once it ends.
class HeldSignals {
 public:
  HeldSignals() {
    sigset_t held;
    sigfillset(&held);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&held, fault);
    pthread_sigmask(SIG_BLOCK, &held, &previous_);
  }
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;
  ~HeldSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_;
};

// Loads the tools without letting a signal handler interrupt them: the handlers of
// signals that came before run first (an exception of theirs fails the call before the
// loading starts), later signals wait until it is done. Loading takes a millisecond or
// more, so a handler that fires more often would otherwise fail every attempt. (A signal
// that another thread receives meanwhile can still run its handler inside: that attempt
// fails and the next call tries again.)
Loaded load_uninterrupted(PlainTools& t) {
  HeldSignals held;
  if (PyErr_CheckSignals() != 0) return Loaded::Failed;
  return load_plain_tools(t);
}

// The tools, loading them on first need; runs Python code, so only while no instance is
// borrowed. Null when they are not available, and then the general path serves: for good
// when this interpreter lacks them; with the error pending when the loading failed (a
// signal handler's exception, MemoryError), which is the call's error, and the next call
// tries again; without an error while another thread (or a handler) is loading them.
const PlainTools* plain_tools() {
  if (tool_state == ToolState::Ready) return &tools;
  if (tool_state != ToolState::Unloaded) return nullptr;
  static const bool registered = pthread_atfork(nullptr, nullptr, reset_in_child) == 0;
  (void)registered;
  tool_state = ToolState::Loading;
  switch (load_uninterrupted(tools)) {
    case Loaded::Yes:
      tool_state = ToolState::Ready;
      return &tools;
    case Loaded::Missing:
      tool_state = ToolState::Unavailable;
      break;
    case Loaded::Failed:
      tool_state = ToolState::Unloaded;
      break;
  }
  tools.clear();
  return nullptr;
}

// The tools when they are loaded already; never loads them (it runs no Python code).
const PlainTools* loaded_tools() { return tool_state == ToolState::Ready ? &tools : nullptr; }

// Calls a helper that returns the address of the count of an array of doubles (or 0),
// and hands the count and the address of the first item after it to `read`.
template <typename Read>
Prepared call_helper(PyObject* (PlainTools::*fn), PyObject* seq, Read&& read) {
  const PlainTools* t = plain_tools();
  if (t == nullptr) return PyErr_Occurred() ? Prepared::Failed : Prepared::Declined;
  if (filling) return Prepared::Declined;
  filling = true;
  Ref address_object(PyObject_CallOneArg(t->*fn, seq));
  filling = false;
  if (!address_object) return Prepared::Failed;
  const char* address = static_cast<const char*>(PyLong_AsVoidPtr(address_object.get()));
  if (address == nullptr) return PyErr_Occurred() ? Prepared::Failed : Prepared::Declined;
  double count;
  std::memcpy(&count, address, sizeof(double));
  return read(address + sizeof(double), static_cast<size_t>(count)) ? Prepared::Done : Prepared::Declined;
}

Prepared helper_floats(PyObject* seq, std::vector<float>& out) {
  return call_helper(&PlainTools::to_floats, seq, [&](const char* items, size_t n) {
    copy_floats<double>(items, n, sizeof(double), out);
    return true;
  });
}

bool quiet_floats(PyObject*, std::vector<float>&) { return false; }

// Fewer pairs are cheaper item by item than through the helper.
constexpr Py_ssize_t PLAIN_PAIRS_MIN = 32;

// Ids out of range make it decline: the general path raises the range error at the
// right item.
Prepared helper_pairs(PyObject* seq, std::vector<tovik::ScoredPair>& out) {
  if (PySequence_Size(seq) < PLAIN_PAIRS_MIN) return Prepared::Declined;  // exact: cannot fail
  return call_helper(&PlainTools::to_pairs, seq, [&](const char* items, size_t n) {
    out.resize(n);
    for (size_t i = 0; i < n; ++i) {
      double id, score;
      std::memcpy(&id, items + i * sizeof(double), sizeof(double));
      std::memcpy(&score, items + (n + i) * sizeof(double), sizeof(double));
      if (!(id >= 0 && id <= double{std::numeric_limits<uint32_t>::max()})) {
        out.clear();
        return false;
      }
      out[i] = {static_cast<uint32_t>(id), static_cast<float>(score)};
    }
    return true;
  });
}

bool quiet_pairs(PyObject*, std::vector<tovik::ScoredPair>&) { return false; }

// Where an array's items are: (address, item count) from array.buffer_info(). PyPy
// keeps an array's items in memory that does not move until the array is resized. We
// ask for the address instead of the buffer interface, because every buffer export of
// an array leaves some memory behind in PyPy's C-API layer.
bool array_address(const PlainTools& t, PyObject* array, const char*& address, size_t& count) {
  Ref info(PyObject_CallMethodObjArgs(array, t.buffer_info, nullptr));
  if (!info || !PyTuple_Check(info.get()) || PyTuple_Size(info.get()) != 2) return false;
  address = static_cast<const char*>(PyLong_AsVoidPtr(PyTuple_GetItem(info.get(), 0)));
  const Py_ssize_t length = PyLong_AsSsize_t(PyTuple_GetItem(info.get(), 1));
  if (PyErr_Occurred() || length < 0 || (address == nullptr && length > 0)) return false;
  count = static_cast<size_t>(length);
  return true;
}

// An exact array.array of 'd' or 'f' items, read where PyPy keeps them (exporting its
// buffer instead leaves about 32 bytes behind in PyPy's C-API layer on every call).
// Calls only built-in methods of the array: runs no Python code. False (no error pending)
// for anything else, or before the tools are loaded.
bool plain_array(PyObject* seq, std::vector<float>& out) {
  const PlainTools* t = loaded_tools();
  if (t == nullptr) return false;
  Ref code(PyObject_GetAttr(seq, t->typecode));
  const bool doubles = code && PyUnicode_CompareWithASCIIString(code.get(), "d") == 0;
  const char* address = nullptr;
  size_t count = 0;
  if (!code || (!doubles && PyUnicode_CompareWithASCIIString(code.get(), "f") != 0) ||
      !array_address(*t, seq, address, count)) {
    PyErr_Clear();
    return false;
  }
  if (doubles) {
    copy_floats<double>(address, count, sizeof(double), out);
  } else {
    copy_floats<float>(address, count, sizeof(float), out);
  }
  return true;
}

#else
// CPython: read the item array directly; exact floats and ints run no Python code.
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
#endif

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
    if (tuple == nullptr || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple) != 0) return nullptr;
  }
  return list.release();
}

}  // namespace

#if defined(PYPY_VERSION)
namespace {

// Under PyPy every object made in C costs a crossing into the interpreter, four per
// result tuple. Instead everything goes into one bytes object, and to_results makes the
// tuples inside the interpreter. The blob, in native byte order: the count n (uint64),
// n ids (uint32), n end offsets of the texts in the blob (uint64), n scores (double,
// the exact widening of the float), then the UTF-8 texts one after another.
std::string packed_results(const std::vector<tovik::ResultTuple>& results) {
  const size_t n = results.size();
  size_t size = 8 + 20 * n;
  for (const auto& r : results) size += r.metadata.size();
  std::string blob(size, '\0');
  char* at = blob.data();
  auto put = [&at](const auto value) {
    std::memcpy(at, &value, sizeof(value));
    at += sizeof(value);
  };
  put(uint64_t{n});
  for (const auto& r : results) put(uint32_t{r.id});
  uint64_t end = 8 + 20 * n;
  for (const auto& r : results) put(end += r.metadata.size());
  for (const auto& r : results) put(static_cast<double>(r.score));
  for (const auto& r : results) {
    if (!r.metadata.empty()) std::memcpy(at, r.metadata.data(), r.metadata.size());
    at += r.metadata.size();
  }
  return blob;
}

}  // namespace

PyObject* result_list(const std::vector<tovik::ResultTuple>& results) {
  if (results.empty()) return PyList_New(0);
  const PlainTools* t = plain_tools();
  if (t == nullptr) return PyErr_Occurred() ? nullptr : result_list_one_by_one(results);
  const std::string blob = packed_results(results);
  Ref bytes(PyBytes_FromStringAndSize(blob.data(), static_cast<Py_ssize_t>(blob.size())));
  return bytes ? PyObject_CallOneArg(t->to_results, bytes.get()) : nullptr;
}
#else
PyObject* result_list(const std::vector<tovik::ResultTuple>& results) { return result_list_one_by_one(results); }
#endif

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
