// The one-step conversions under PyPy (see one_step.hpp for when they may run).
//
// PyPy's C-API layer gives every item a C-level wrapper when C code reads it (over
// 100 us for 384 floats). Instead we ask the interpreter for a private copy of the items
// as a list, learn their kinds from its storage strategy (PyPy stores a list of only
// exact floats and machine-sized exact ints unboxed, and reports which), have it copy
// them into an array in one call, and read the array's memory. The copy means nothing
// can change the items between check and conversion, even if another thread runs while
// the helper does.
//
// The result list goes the other way in one step too: packed into one bytes object
// that a helper unpacks inside the interpreter.
#include "one_step.hpp"

#if defined(PYPY_VERSION)

#include <pthread.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace tovik::py {
namespace {

// What the helpers need from the interpreter, loaded once (see plain_tools).
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
Prepared call_helper(PyObject*(PlainTools::*fn), PyObject* seq, Read&& read) {
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

}  // namespace

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

namespace {

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

PyObject* plain_result_list(const std::vector<tovik::ResultTuple>& results) {
  const PlainTools* t = plain_tools();
  if (t == nullptr) return nullptr;  // the error is pending, or the caller goes item by item
  const std::string blob = packed_results(results);
  Ref bytes(PyBytes_FromStringAndSize(blob.data(), static_cast<Py_ssize_t>(blob.size())));
  return bytes ? PyObject_CallOneArg(t->to_results, bytes.get()) : nullptr;
}

}  // namespace tovik::py

#endif
