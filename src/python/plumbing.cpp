// Owned references and the exceptions of the binding (see plumbing.hpp).
//
// Part of the module's fixed surface, matched by tests and by users' code: the texts
// "'T' object cannot be converted to 'TARGET'" and "argument 'NAME': ...", and the name
// tovik.InternalError. Do not reword them.
#include "plumbing.hpp"

#include <cstring>
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

}  // namespace

const char* type_name(PyObject* obj) {
  const char* name = Py_TYPE(obj)->tp_name;
  const char* dot = std::strrchr(name, '.');
  return dot != nullptr ? dot + 1 : name;
}

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

}  // namespace tovik::py
