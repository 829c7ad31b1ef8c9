// The direct route under PyPy: add, search and count called from the interpreter through
// its foreign-function interface (the built-in _cffi_backend) instead of its C-API
// emulation, which costs more than the call itself (every entry and exit, every object
// that crosses). Under CPython nothing here does anything.
//
// Under PyPy `tovik.TovikDB` is a subclass of the C type made by ROUTE (direct_route.cpp)
// that keeps the instance's token in a slot. Its add, search and count take the direct
// route when every argument is of the plain kind the route handles (exact int ids and k,
// a list whose storage holds only floats, str texts, None or bool flags), and call the C
// type's method otherwise, which makes every error and conversion hook of the general
// path. The route's functions decline, and the wrapper then calls the C type's method,
// when the token names no live instance or the instance is borrowed: so the borrow
// errors, and everything else, come from the one general path.
//
// PyPy releases its interpreter lock around such a call, so that other threads run
// meanwhile. Calls into the core must still never overlap (components share process-wide
// state: the worker pool, the bitmap reserve, the kept descriptors), so every call into
// the core, on either route, holds CoreEntry. No Python code runs while it is held, and
// nothing under it waits for the interpreter lock: a thread that holds the interpreter
// lock and waits for CoreEntry waits only for core work to end. fork() takes it first,
// so a child never finds it held or the core mid-change.
#pragma once

#include <cstdint>

#include "db_object.hpp"  // first: Python.h must precede the standard headers

namespace tovik::py {

// Holds the core's entry lock for its lifetime under PyPy; nothing under CPython (inline,
// so that CPython's calls pay nothing for it).
class CoreEntry {
 public:
#if defined(PYPY_VERSION)
  CoreEntry();
  ~CoreEntry();
#else
  CoreEntry() {}
  ~CoreEntry() {}
#endif
  CoreEntry(const CoreEntry&) = delete;
  CoreEntry& operator=(const CoreEntry&) = delete;
};

// Runs `call` (a call into the core) holding CoreEntry.
template <typename Call>
auto in_core(Call&& call) {
  CoreEntry entry;
  return call();
}

// Gives `obj` (just made, its database open) a token on the direct route; 0 when the
// route is off (CPython) or the table of tokens could not grow. Call holding CoreEntry.
uint64_t register_token(DbObject* obj);
// Forgets a token from register_token (0 is ignored). Call holding CoreEntry.
void forget_token(uint64_t token);

// The class to publish as tovik.TovikDB: under PyPy the routed subclass of `base` when it
// can be made, else `base` itself (a new reference). Null with an error pending only for
// an error that is the import's (MemoryError, a signal handler's exception).
PyObject* routed_class(PyObject* base);

}  // namespace tovik::py
