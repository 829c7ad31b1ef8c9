// The Python extension module `tovik` and its one class, `TovikDB`: each method's table
// entry, the borrow flag it takes, and its call into tovik::TovikDB. Matching arguments
// lives in args, converting arguments and results in convert (with one_step, the
// conversions in one step), references and the mapping of errors onto exceptions in
// plumbing.
//
// Every entry point runs with the interpreter lock held and never releases it; each call
// into the core also holds CoreEntry (direct_route.hpp: under PyPy add, search and count
// can reach the core without the interpreter lock). Each instance carries a borrow flag:
// add takes it exclusively, every other method shares it; the flag is taken before any
// conversion that can run code of the caller's, so a conversion hook that calls back into
// the same instance is refused with RuntimeError. Nothing else that runs Python code
// happens while the flag is held (see run_method), so another thread, a signal handler or
// a forked child never finds the instance borrowed. The re-entry errors "Already
// borrowed" and "Already mutably borrowed" are part of the module's fixed surface (tests
// match them): do not reword them.
// No C++ exception crosses into the interpreter: every entry point runs its body inside
// `guarded`.
//
// The same source builds against CPython and PyPy's C API emulation; it sticks to calls
// both provide (types from a PyType_Spec, METH_FASTCALL | METH_KEYWORDS, METH_NOARGS).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "args.hpp"
#include "convert.hpp"
#include "core.hpp"
#include "db_object.hpp"
#include "direct_route.hpp"
#include "plumbing.hpp"  // first: it includes Python.h, which must precede the standard headers

namespace {

using namespace tovik::py;

// ---------------------------------------------------------------------------------------
// The borrow flag (the instance's layout: db_object.hpp)

enum class Access { Shared, Exclusive };

// Holds the instance's borrow flag for one call; released on every exit path.
class Borrow {
 public:
  Borrow(DbObject* self, Access access) : self_(self), access_(access) {
    auto flag = borrow_flag(self);
    const Py_ssize_t now = flag.load();
    if (access == Access::Exclusive && now != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    } else if (access == Access::Shared && now == EXCLUSIVE) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    } else {
      flag.store(access == Access::Exclusive ? EXCLUSIVE : now + 1);  // only the lock holder writes it
      held_ = true;
    }
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if (!held_) return;
    auto flag = borrow_flag(self_);
    flag.store(access_ == Access::Exclusive ? 0 : flag.load() - 1);
  }
  explicit operator bool() const { return held_; }
  tovik::TovikDB& db() const { return *self_->db; }

 private:
  DbObject* self_;
  Access access_;
  bool held_ = false;
};

PyObject* db_type();

// `self` as a TovikDB instance (subclasses included), or null with TypeError.
DbObject* as_db(PyObject* self) {
  PyObject* type = db_type();
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type))) {
    cannot_convert(self, "TovikDB");
    return nullptr;
  }
  auto* obj = reinterpret_cast<DbObject*>(self);
  if (obj->db == nullptr) {  // only reachable by bypassing the constructor
    raise_internal("TovikDB instance without a database");
    return nullptr;
  }
  return obj;
}

// ---------------------------------------------------------------------------------------
// Constructor, destructor and methods

const Signature NEW_SIG{"TovikDB.__new__()", {"path"}, 1, 1};
const Signature ADD_SIG{"TovikDB.add()", {"internal_id", "vector", "metadata_json", "ttl"}, 4, 3};
const Signature SEARCH_SIG{"TovikDB.search()", {"query", "k", "filter_json", "include_metadata"}, 4, 2};
const Signature BUILD_SIG{"TovikDB.build_results()", {"scored", "include_metadata"}, 2, 2};
const Signature DELETE_SIG{"TovikDB.delete()", {"filter_json"}, 1, 1};
const Signature NO_PARAMS{"", {}, 0, 0};

// One method call, in the order every method keeps: match the arguments to `sig`,
// check `self`, `prepare(a)` converts in one step what can be converted without running
// any code of the caller (Args::prepare), take the borrow flag with ACCESS, then
// `body(db, a)` converts the other arguments (Args::get) and calls into the database,
// returning its answer, or nullopt with an error set. Once the flag is given back,
// `reply(answer)` makes the Python result. Under PyPy preparing and replying may run
// Python code of our own, where other threads and signal handlers can run: they find
// the instance free. Only a hook of the caller's runs while it is borrowed.
template <Access ACCESS, typename Prepare, typename Body, typename Reply>
PyObject* run_method(PyObject* self, const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Prepare&& prepare, Body&& body, Reply&& reply) {
  return guarded([&]() -> PyObject* {
    Args a(sig);
    if (!a.match(args, nargs, kwnames)) return nullptr;
    DbObject* obj = as_db(self);
    if (obj == nullptr || !prepare(a)) return nullptr;
    auto answer = [&]() -> decltype(body(*obj->db, a)) {
      Borrow borrow(obj, ACCESS);
      if (!borrow) return std::nullopt;
      return body(borrow.db(), a);
    }();
    return answer ? reply(*answer) : nullptr;
  });
}

bool prepare_nothing(Args&) { return true; }

using Results = std::vector<tovik::ResultTuple>;

PyObject* list_or_raise(const tovik::Result<Results>& answer) {
  if (!answer.ok()) {
    raise_error(answer.error());
    return nullptr;
  }
  return result_list(answer.value());
}

PyObject* db_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(NEW_SIG);
    std::string_view path;
    if (!a.match(args, kwargs) || !a.get(0, to_text, path)) return nullptr;

    auto opened = in_core([&] { return tovik::TovikDB::open(std::string(path)); });
    if (!opened.ok()) {
      raise_error(opened.error());
      return nullptr;
    }
    std::unique_ptr<tovik::TovikDB> db = std::move(opened).value();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;  // db is dropped; the allocator's error stands
    auto* obj = reinterpret_cast<DbObject*>(self);
    obj->db = db.release();
    obj->borrow = 0;
    obj->token = in_core([&] { return register_token(obj); });
    return self;
  });
}

void db_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  {
    auto* obj = reinterpret_cast<DbObject*>(self);
    CoreEntry entry;
    forget_token(obj->token);
    delete obj->db;  // component destructors do not throw
  }
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type own a reference to it
}

PyObject* db_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  uint32_t id = 0;
  std::vector<float> vector;
  auto prepare = [&](Args& a) {
    // The id is converted first; only when that cannot run code of the caller's (which
    // might change the vector) may the vector be converted ahead of it.
    return !PyLong_CheckExact(a.given(0)) || a.prepare(1, prepare_vector, vector);
  };
  auto body = [&](tovik::TovikDB& db, const Args& a) -> std::optional<tovik::Result<void>> {
    std::string_view metadata;
    std::optional<int64_t> ttl;
    if (!a.get(0, to_u32, id) || !a.get(1, to_vector, vector) || !a.get(2, to_text, metadata) ||
        !a.get(3, to_i64, ttl)) {
      return std::nullopt;
    }
    return in_core([&] { return db.add(id, vector, metadata, ttl); });
  };
  return run_method<Access::Exclusive>(self, ADD_SIG, args, nargs, kwnames, prepare, body, none_or_raise);
}

PyObject* db_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<float> query;
  auto prepare = [&](Args& a) { return a.prepare(0, prepare_vector, query); };
  auto body = [&](tovik::TovikDB& db, const Args& a) -> std::optional<tovik::Result<Results>> {
    size_t k = 0;
    std::optional<std::string_view> filter;
    bool include_metadata = true;
    if (!a.get(0, to_vector, query) || !a.get(1, to_size, k) || !a.get(2, to_text, filter) ||
        !a.get(3, to_bool, include_metadata)) {
      return std::nullopt;
    }
    return in_core([&] { return db.search(query, k, filter, include_metadata); });
  };
  return run_method<Access::Shared>(self, SEARCH_SIG, args, nargs, kwnames, prepare, body, list_or_raise);
}

PyObject* db_build_results(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<tovik::ScoredPair> scored;
  auto prepare = [&](Args& a) { return a.prepare(0, prepare_scored, scored); };
  auto body = [&](tovik::TovikDB& db, const Args& a) -> std::optional<tovik::Result<Results>> {
    bool include_metadata = false;
    if (!a.get(0, to_scored, scored) || !a.get(1, to_bool, include_metadata)) return std::nullopt;
    return in_core([&] { return db.build_results(std::move(scored), include_metadata); });
  };
  return run_method<Access::Shared>(self, BUILD_SIG, args, nargs, kwnames, prepare, body, list_or_raise);
}

PyObject* db_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [](tovik::TovikDB& db, const Args& a) -> std::optional<tovik::Result<uint64_t>> {
    std::string_view filter;
    if (!a.get(0, to_text, filter)) return std::nullopt;
    return in_core([&] { return db.delete_matching(filter); });
  };
  return run_method<Access::Shared>(self, DELETE_SIG, args, nargs, kwnames, prepare_nothing, body,
                                    int_or_raise);
}

PyObject* db_count(PyObject* self, PyObject* /*unused*/) {
  auto body = [](tovik::TovikDB& db, const Args&) {
    return std::optional(in_core([&] { return db.count(); }));
  };
  return run_method<Access::Shared>(self, NO_PARAMS, nullptr, 0, nullptr, prepare_nothing, body,
                                    int_or_raise);
}

PyObject* db_clean_expired(PyObject* self, PyObject* /*unused*/) {
  auto body = [](tovik::TovikDB& db, const Args&) {
    return std::optional(in_core([&] { return db.clean_expired(); }));
  };
  return run_method<Access::Shared>(self, NO_PARAMS, nullptr, 0, nullptr, prepare_nothing, body,
                                    none_or_raise);
}

template <typename F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef db_methods[] = {
    {"add", as_cfunction(db_add), FASTCALL,
     "add($self, internal_id, vector, metadata_json, ttl=None)\n--\n\n"},
    {"search", as_cfunction(db_search), FASTCALL,
     "search($self, query, k, filter_json=None, include_metadata=True)\n--\n\n"},
    {"build_results", as_cfunction(db_build_results), FASTCALL,
     "build_results($self, scored, include_metadata)\n--\n\n"},
    {"delete", as_cfunction(db_delete), FASTCALL, "delete($self, filter_json)\n--\n\n"},
    {"count", as_cfunction(db_count), METH_NOARGS, "count($self)\n--\n\n"},
    {"clean_expired", as_cfunction(db_clean_expired), METH_NOARGS, "clean_expired($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

char db_doc[] = "TovikDB(path)\n--\n\n";

PyType_Slot db_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(db_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(db_dealloc)},
    {Py_tp_doc, db_doc},
    {Py_tp_methods, db_methods},
    {0, nullptr},
};

PyType_Spec db_spec = {
    "tovik.TovikDB", static_cast<int>(sizeof(DbObject)), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    db_slots,
};

// The class object, created once on first need (borrowed; lives for the process).
PyObject* db_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&db_spec);
  return type;
}

// ---------------------------------------------------------------------------------------
// Module

PyModuleDef tovik_module = {
    PyModuleDef_HEAD_INIT, "tovik", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module's `__all__`, created as an empty list when it does not exist yet.
PyObject* module_all(PyObject* module) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all != nullptr) {
    if (PyList_Check(all)) return all;
    cannot_convert(all, "PyList");
    Py_DECREF(all);
    return nullptr;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
  PyErr_Clear();
  all = PyList_New(0);
  if (all != nullptr && PyObject_SetAttrString(module, "__all__", all) != 0) Py_CLEAR(all);
  return all;
}

bool append_to_all(PyObject* all, const char* name) {
  Ref text(PyUnicode_FromString(name));
  if (text && PyList_Append(all, text.get()) == 0) return true;
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_trace = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_trace);
  Ref type(raw_type), value(raw_value), trace(raw_trace);
  PyObject* internal = internal_error_type();
  if (internal == nullptr) return false;
  PyErr_Format(internal, "could not append __name__ to __all__: %S", value ? value.get() : Py_None);
  return false;
}

bool init_module(PyObject* module) {
  // PyPy leaves an empty m_doc unset, and __doc__ then falls back to the module type's
  // own text; set it here so that it is "" under every interpreter.
  Ref doc(PyUnicode_FromString(""));
  if (!doc || PyObject_SetAttrString(module, "__doc__", doc.get()) != 0) return false;
  PyObject* type = db_type();
  if (type == nullptr) return false;
  Ref all(module_all(module));
  if (!all || !append_to_all(all.get(), "TovikDB")) return false;
  Ref published(routed_class(type));
  return published && PyObject_SetAttrString(module, "TovikDB", published.get()) == 0;
}

PyObject* create_module() {
  static PyObject* cached = nullptr;
  if (cached != nullptr) return new_ref(cached);
  Ref module(PyModule_Create(&tovik_module));
  if (!module || !init_module(module.get())) return nullptr;
  cached = new_ref(module.get());
  return module.release();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tovik() { return guarded(create_module); }
