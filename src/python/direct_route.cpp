// The direct route under PyPy (see direct_route.hpp): the entry lock, the table of tokens,
// the functions the interpreter calls through _cffi_backend, and ROUTE, the Python code
// that makes the routed class.
#include "direct_route.hpp"

namespace {

// Made inside the interpreter by make(base, token_of, internal_error, addresses).
// Every wrapper takes the route only for a call of the plain kind, and otherwise, or
// when the route declines, calls the C type's method with the call's own arguments.
[[maybe_unused]] constexpr const char* ROUTE = R"py(
from _cffi_backend import FFI
from __pypy__ import strategy

DECLINED, MESSAGE, NO_MEMORY, INTERNAL, TOO_SMALL = -1, -2, -3, -4, -5
U32_MAX = 0xFFFFFFFF
I64_MIN, I64_MAX = -(1 << 63), (1 << 63) - 1
ADD_NAMES = {"internal_id": 0, "vector": 1, "metadata_json": 2, "ttl": 3}
SEARCH_NAMES = {"query": 0, "k": 1, "filter_json": 2, "include_metadata": 3}
ROOM_RESULTS, ROOM_TEXT = 64, 16384
UNROLLED = 32


def matched(args, kwargs, names, required):
    """The call's values by parameter (None when left out), or None unless the required
    ones are given by position and the rest by position or name, each once."""
    given = len(args)
    if given < required or given > len(names):
        return None
    values = list(args) + [None] * (len(names) - given)
    for key in kwargs:
        at = names.get(key, -1)
        if at < given:
            return None
        values[at] = kwargs[key]
    return values


def utf8(text):
    """The UTF-8 bytes of an exact str, or None (lone surrogates: the general path raises)."""
    if type(text) is not str:
        return None
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        return None


def floats(vector):
    return type(vector) is list and strategy(vector) == "FloatListStrategy"


def make(base, token_of, internal_error, addresses):
    ffi = FFI()
    room = ffi.new_allocator(should_clear_after_alloc=False)
    unpack = ffi.unpack
    count_c = ffi.cast("int64_t(*)(uint64_t)", addresses[0])
    add_c = ffi.cast("int64_t(*)(uint64_t, uint32_t, float *, size_t, char *, size_t, int, int64_t)",
                     addresses[1])
    search_c = ffi.cast("int64_t(*)(uint64_t, float *, size_t, size_t, char *, size_t, int, int, "
                        "uint32_t *, float *, char *, size_t, size_t, size_t *)", addresses[2])
    message_c = ffi.cast("size_t(*)(char *, size_t)", addresses[3])
    raised = {MESSAGE: ValueError, NO_MEMORY: MemoryError, INTERNAL: internal_error}
    base_new, base_add, base_search, base_count = base.__new__, base.add, base.search, base.count

    def failure(status):
        text = room("char[]", 256)
        size = message_c(text, 256)
        if size > 256:
            text = room("char[]", size)
            size = min(size, message_c(text, size))
        return raised[status](unpack(text, size).decode("utf-8", "replace"))

    # Straight-line list makers for up to UNROLLED results, made on first need: PyPy's JIT
    # makes a short list this way for about half of what a loop costs it. `a` holds the n
    # ids, then the n ends of the texts; `s` is the texts' str when they are all ASCII
    # (byte offsets are then character offsets), else their bytes, decoded piece by piece.
    unrolled = [None] * (2 * UNROLLED + 2)

    def maker(n, ascii):
        piece = "s[%s:a[%d]]" if ascii else "s[%s:a[%d]].decode('utf-8', 'replace')"
        items = []
        for i in range(n):
            start = "0" if i == 0 else "a[%d] + 1" % (n + i - 1)
            items.append("(a[%d], f[%d], %s)" % (i, i, piece % (start, n + i)))
        return eval("lambda a, f, s: [%s]" % ", ".join(items))

    def results(n, ids, scores, text, size, ascii):
        if n == 0:
            return []
        s = unpack(text, size)
        if ascii:
            s = s.decode("ascii")
        a, f = unpack(ids, 2 * n), unpack(scores, n)
        if n <= UNROLLED:
            slot = 2 * n + ascii
            make = unrolled[slot]
            if make is None:
                make = unrolled[slot] = maker(n, ascii)
            return make(a, f, s)
        out = [None] * n
        start = 0
        for i in range(n):
            end = a[n + i]
            out[i] = (a[i], f[i], s[start:end] if ascii else s[start:end].decode("utf-8", "replace"))
            start = end + 1
        return out

    # The last filter text and its UTF-8: a program searches with the same filter text
    # again and again, and encoding it anew costs PyPy a pass over its bytes each time.
    last_filter = [(None, None)]

    # Rooms for results, kept for reuse: a fresh one per call costs more than the search's
    # own work on a small core (PyPy accounts raw memory to its collector). A call takes
    # one (each thread, or a signal handler's call, its own), gives it back when done.
    spare = []

    def take_room():
        try:
            return spare.pop()
        except IndexError:
            return (room("uint32_t[]", 2 * ROOM_RESULTS), room("float[]", ROOM_RESULTS), room("char[]", ROOM_TEXT),
                    room("size_t[]", 3))

    def routed_search(token, query, k, flt, has_filter, include_metadata):
        kept = take_room()
        ids, scores, text, needed = kept
        result_room, text_room = ROOM_RESULTS, ROOM_TEXT
        try:
            while True:
                n = search_c(token, query, len(query), k, flt, len(flt), has_filter, include_metadata,
                             ids, scores, text, result_room, text_room, needed)
                if n >= 0:
                    return results(n, ids, scores, text, needed[1], needed[2])
                if n == DECLINED:
                    return None
                if n != TOO_SMALL:
                    raise failure(n)
                result_room, text_room = max(needed[0], ROOM_RESULTS), max(needed[1], ROOM_TEXT)
                ids, scores = room("uint32_t[]", 2 * result_room), room("float[]", result_room)
                text = room("char[]", text_room)
        finally:
            spare.append(kept)

    class TovikDB(base):
        __slots__ = ("_TovikDB__token",)
        __doc__ = base.__doc__

        def __new__(cls, *args, **kwargs):
            self = base_new(cls, *args, **kwargs)
            self.__token = token_of(self)
            return self

        def add(self, *args, **kwargs):
            token = getattr(self, "_TovikDB__token", 0)
            given = len(args)
            if not token:
                values = None
            elif (given == 3 or given == 4) and not kwargs:
                values = args
            else:
                values = matched(args, kwargs, ADD_NAMES, 3)
            if values is not None:
                internal_id, vector, metadata_json = values[0], values[1], values[2]
                ttl = values[3] if len(values) == 4 else None
                if (type(internal_id) is int and 0 <= internal_id <= U32_MAX and floats(vector)
                        and (ttl is None or (type(ttl) is int and I64_MIN <= ttl <= I64_MAX))):
                    data = utf8(metadata_json)
                    if data is not None:
                        status = add_c(token, internal_id, vector, len(vector), data, len(data),
                                       ttl is not None, 0 if ttl is None else ttl)
                        if status == 0:
                            return None
                        if status != DECLINED:
                            raise failure(status)
            return base_add(self, *args, **kwargs)

        def search(self, *args, **kwargs):
            token = getattr(self, "_TovikDB__token", 0)
            if not token:
                values = None
            elif len(args) == 4 and not kwargs:
                values = args
            else:
                values = matched(args, kwargs, SEARCH_NAMES, 2)
            if values is not None:
                query, k, filter_json, include_metadata = values
                if include_metadata is None:
                    include_metadata = True
                if (floats(query) and type(k) is int and 0 <= k <= U32_MAX
                        and (include_metadata is True or include_metadata is False)):
                    if filter_json is None:
                        flt = b""
                    else:
                        seen = last_filter[0]  # (text, its UTF-8): one tuple, read once
                        flt = seen[1] if seen[0] is filter_json else utf8(filter_json)
                        if flt is not None:
                            last_filter[0] = (filter_json, flt)
                    if flt is not None:
                        found = routed_search(token, query, k, flt, filter_json is not None, include_metadata)
                        if found is not None:
                            return found
            return base_search(self, *args, **kwargs)

        def count(self, *args, **kwargs):
            token = getattr(self, "_TovikDB__token", 0)
            if token and not args and not kwargs:
                n = count_c(token)
                if n >= 0:
                    return n
                if n != DECLINED:
                    raise failure(n)
            return base_count(self, *args, **kwargs)

    TovikDB.__qualname__ = "TovikDB"
    return TovikDB
)py";

}  // namespace

#if !defined(PYPY_VERSION)

namespace tovik::py {

uint64_t register_token(DbObject*) { return 0; }
void forget_token(uint64_t) {}
PyObject* routed_class(PyObject* base) { return new_ref(base); }

}  // namespace tovik::py

#else

#include <pthread.h>

#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core.hpp"
#include "utf8.hpp"

namespace tovik::py {

// ---------------------------------------------------------------------------------------
// The entry lock

namespace {

pthread_mutex_t entry_lock = PTHREAD_MUTEX_INITIALIZER;

void lock_entry() { pthread_mutex_lock(&entry_lock); }
void unlock_entry() { pthread_mutex_unlock(&entry_lock); }

// fork() waits for the core call in progress (it holds no interpreter lock, so it ends)
// and the child starts with the lock free and the core between calls.
const bool fork_handlers = pthread_atfork(lock_entry, unlock_entry, unlock_entry) == 0;

}  // namespace

CoreEntry::CoreEntry() { lock_entry(); }
CoreEntry::~CoreEntry() { unlock_entry(); }

// ---------------------------------------------------------------------------------------
// Tokens: slot index + 1 in the low 32 bits, the slot's generation in the high ones, so
// that a token of an instance that is gone (or one made up) names nothing. Guarded by
// the entry lock.

namespace {

struct Slot {
  DbObject* obj = nullptr;
  uint32_t generation = 0;
};

std::vector<Slot> slots;
std::vector<uint32_t> free_slots;

DbObject* lookup(uint64_t token) {
  const uint64_t index = (token & 0xFFFFFFFFu) - 1;
  if (index >= slots.size()) return nullptr;
  const Slot& slot = slots[index];
  return slot.generation == token >> 32 ? slot.obj : nullptr;
}

}  // namespace

uint64_t register_token(DbObject* obj) {
  try {
    if (free_slots.empty()) {
      if (slots.size() >= 0xFFFFFFFFu) return 0;
      free_slots.reserve(slots.size() + 1);  // so that forget_token cannot fail
      slots.emplace_back();
      free_slots.push_back(static_cast<uint32_t>(slots.size() - 1));
    }
  } catch (const std::bad_alloc&) {
    return 0;  // this instance goes the general way
  }
  const uint32_t index = free_slots.back();
  free_slots.pop_back();
  slots[index].obj = obj;
  return uint64_t{slots[index].generation} << 32 | (uint64_t{index} + 1);
}

void forget_token(uint64_t token) {
  if (lookup(token) == nullptr) return;
  const auto index = static_cast<uint32_t>((token & 0xFFFFFFFFu) - 1);
  slots[index].obj = nullptr;
  ++slots[index].generation;
  free_slots.push_back(index);  // room reserved by register_token
}

// ---------------------------------------------------------------------------------------
// The functions called through _cffi_backend, without the interpreter lock. Each returns
// its answer (>= 0) or one of the statuses below; the message of an error waits in
// `message` (per thread) for route_message.

namespace {

enum Status : int64_t { DECLINED = -1, MESSAGE = -2, NO_MEMORY = -3, INTERNAL = -4, TOO_SMALL = -5 };

thread_local std::string message;

// "out of memory" fits the string's own buffer, so setting it allocates nothing.
int64_t out_of_memory() {
  message = "out of memory";
  return NO_MEMORY;
}

int64_t failure(const Error& error) {
  try {
    message = error.message;
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
  switch (error.kind) {
    case ErrorKind::Message:
      return MESSAGE;
    case ErrorKind::OutOfMemory:
      return NO_MEMORY;
    case ErrorKind::Internal:
      return INTERNAL;
  }
  message = "unknown error kind";
  return INTERNAL;
}

// The core returns its failures; this is for anything else that escapes, which must not
// unwind into the interpreter.
int64_t escaped() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  } catch (...) {
    message = "unknown C++ exception";  // fits the string's own buffer
    return INTERNAL;
  }
}

// The instance's database when the token names a live instance that the access may use
// now; null when the call is to go the general way (which raises the borrow errors).
tovik::TovikDB* usable(uint64_t token, bool exclusive) {
  DbObject* obj = lookup(token);
  if (obj == nullptr || obj->db == nullptr) return nullptr;
  const Py_ssize_t flag = borrow_flag(obj).load();
  return (exclusive ? flag != 0 : flag == EXCLUSIVE) ? nullptr : obj->db;
}

int64_t route_count(uint64_t token) noexcept {
  try {
    CoreEntry entry;
    tovik::TovikDB* db = usable(token, false);
    if (db == nullptr) return DECLINED;
    const Result<uint64_t> counted = db->count();
    return counted.ok() ? static_cast<int64_t>(counted.value()) : failure(counted.error());
  } catch (...) {
    return escaped();
  }
}

int64_t route_add(uint64_t token, uint32_t id, const float* vector, size_t length, const char* metadata,
                  size_t metadata_size, int has_ttl, int64_t ttl) noexcept {
  try {
    CoreEntry entry;
    tovik::TovikDB* db = usable(token, true);
    if (db == nullptr) return DECLINED;
    const Result<void> added =
        db->add(id, std::span<const float>(vector, length), std::string_view(metadata, metadata_size),
                has_ttl != 0 ? std::optional<int64_t>(ttl) : std::nullopt);
    return added.ok() ? 0 : failure(added.error());
  } catch (...) {
    return escaped();
  }
}

// The results into the caller's room: n ids then n ends in `ids` (room for twice
// result_room), n scores, and the texts one after another with a NUL between two, the
// end of text i just past it. needed[0], needed[1]: the
// results and the bytes of text there are; needed[2]: 1 when all of it is ASCII.
// TOO_SMALL when the room is short (nothing written then).
int64_t deliver(const std::vector<tovik::ResultTuple>& results, uint32_t* ids, float* scores, char* text,
                size_t result_room, size_t text_room, size_t* needed) {
  size_t size = results.empty() ? 0 : results.size() - 1;
  for (const auto& r : results) size += r.metadata.size();
  needed[0] = results.size();
  needed[1] = size;
  if (results.size() > result_room || size > text_room || size > 0xFFFFFFFFu) return TOO_SMALL;
  uint32_t* ends = ids + results.size();
  size_t at = 0;
  for (size_t i = 0; i < results.size(); ++i) {
    const std::string& metadata = results[i].metadata;
    if (i > 0) text[at++] = '\0';
    if (!metadata.empty()) std::memcpy(text + at, metadata.data(), metadata.size());
    at += metadata.size();
    ids[i] = results[i].id;
    scores[i] = results[i].score;
    ends[i] = static_cast<uint32_t>(at);
  }
  needed[2] = all_ascii(std::string_view(text, size)) ? 1 : 0;
  return static_cast<int64_t>(results.size());
}

int64_t route_search(uint64_t token, const float* query, size_t length, size_t k, const char* filter,
                     size_t filter_size, int has_filter, int include_metadata, uint32_t* ids, float* scores,
                     char* text, size_t result_room, size_t text_room, size_t* needed) noexcept {
  try {
    CoreEntry entry;
    tovik::TovikDB* db = usable(token, false);
    if (db == nullptr) return DECLINED;
    const auto found =
        db->search(std::span<const float>(query, length), k,
                   has_filter != 0 ? std::optional(std::string_view(filter, filter_size)) : std::nullopt,
                   include_metadata != 0);
    if (!found.ok()) return failure(found.error());
    return deliver(found.value(), ids, scores, text, result_room, text_room, needed);
  } catch (...) {
    return escaped();
  }
}

// Copies this thread's last message into `out` (up to `room` bytes); returns its size.
size_t route_message(char* out, size_t room) noexcept {
  const size_t size = message.size();
  if (size > 0 && room > 0) std::memcpy(out, message.data(), size < room ? size : room);
  return size;
}

// ---------------------------------------------------------------------------------------
// The routed class

// The token of an instance of the C type (its m_self), for the routed class's __new__.
PyObject* token_of(PyObject* base, PyObject* obj) {
  if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(base))) {
    cannot_convert(obj, "TovikDB");
    return nullptr;
  }
  return PyLong_FromUnsignedLongLong(reinterpret_cast<DbObject*>(obj)->token);
}

PyMethodDef token_of_def = {"token_of", token_of, METH_O, nullptr};

template <typename F>
PyObject* address_of(F* function) {
  return PyLong_FromUnsignedLongLong(reinterpret_cast<uintptr_t>(function));
}

// make(...) from ROUTE, or null with an error pending.
PyObject* make_routed(PyObject* base) {
  Ref globals(PyDict_New());
  Ref name(PyUnicode_FromString("tovik"));
  if (!globals || !name || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) != 0 ||
      PyDict_SetItemString(globals.get(), "__name__", name.get()) != 0) {
    return nullptr;
  }
  Ref done(PyRun_String(ROUTE, Py_file_input, globals.get(), globals.get()));
  if (!done) return nullptr;
  PyObject* make = PyDict_GetItemString(globals.get(), "make");  // borrowed
  PyObject* internal = internal_error_type();
  Ref token(PyCFunction_NewEx(&token_of_def, base, nullptr));
  Ref addresses(Py_BuildValue("(NNNN)", address_of(route_count), address_of(route_add),
                              address_of(route_search), address_of(route_message)));
  if (make == nullptr || internal == nullptr || !token || !addresses) return nullptr;
  return PyObject_CallFunctionObjArgs(make, base, token.get(), internal, addresses.get(), nullptr);
}

}  // namespace

PyObject* routed_class(PyObject* base) {
  (void)fork_handlers;
  if (PyObject* routed = make_routed(base)) return routed;
  // A PyPy without what the route needs (an ImportError, an AttributeError) keeps the
  // general path; running out of memory or a signal handler's exception fails the import.
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
  PyErr_Clear();
  return new_ref(base);
}

}  // namespace tovik::py

#endif
