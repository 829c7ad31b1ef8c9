// Argument matching (see args.hpp).
#include "args.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace tovik::py {

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
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.qualname, sig.names[i]);
      return false;
    }
    slots[i] = value;
    return true;
  }
  Ref shown(PyUnicode_Check(keyword) ? new_ref(keyword) : PyObject_Str(keyword));
  if (shown) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.qualname, shown.get());
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

}  // namespace tovik::py
