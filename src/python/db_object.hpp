// The TovikDB instance as the binding lays it out, and its borrow flag.
//
// The flag is 0 when free, the number of shared users, or EXCLUSIVE while add holds it.
// Under PyPy the direct route (direct_route.hpp) reads it without the interpreter lock,
// so every access is atomic.
#pragma once

#include <atomic>
#include <cstdint>

#include "plumbing.hpp"  // first: Python.h must precede the standard headers

namespace tovik {
class TovikDB;
}

namespace tovik::py {

struct DbObject {
  PyObject_HEAD tovik::TovikDB* db;
  Py_ssize_t borrow;
  uint64_t token;  // the instance's name on the direct route; 0 for none
};

constexpr Py_ssize_t EXCLUSIVE = -1;

inline std::atomic_ref<Py_ssize_t> borrow_flag(DbObject* obj) {
  return std::atomic_ref<Py_ssize_t>(obj->borrow);
}

}  // namespace tovik::py
