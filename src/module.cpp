// The Python extension module `tovik`. The only unit that includes Python.h.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyModuleDef tovik_module = {
    PyModuleDef_HEAD_INIT, "tovik", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tovik() {
  return PyModule_Create(&tovik_module);
}
