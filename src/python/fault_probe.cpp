// SPDX-License-Identifier: MIT
// _difral_fault_probe: a module built only for the tests. Its functions throw
// C++ exceptions through the same call boundary (guard, guard_unraisable) as
// difral's entry points, which no input can make throw. It is never
// installed, and difral itself gains nothing from it.
#include "python/errors.h"
#include "python/py_ref.h"

#include <new>
#include <stdexcept>
#include <string>

namespace difral::python {

namespace {

// raise_fault(message): throws std::runtime_error(message).
PyObject *raise_fault(PyObject *, PyObject *message) noexcept {
  return guard([&]() -> PyObject * {
    const char *text = PyUnicode_AsUTF8(message);
    if (text == nullptr) {
      return nullptr;
    }
    throw std::runtime_error(text);
  });
}

// raise_unnamed_fault(): throws something that is not a std::exception.
PyObject *raise_unnamed_fault(PyObject *, PyObject *) noexcept {
  return guard([]() -> PyObject * { throw 7; });
}

// raise_bad_alloc(): throws std::bad_alloc.
PyObject *raise_bad_alloc(PyObject *, PyObject *) noexcept {
  return guard([]() -> PyObject * { throw std::bad_alloc(); });
}

// dealloc_fault(message, pending): throws std::runtime_error(message) inside
// guard_unraisable, as a fault in deallocation would. With pending true a
// ValueError("pending") is set first and must survive the report.
PyObject *dealloc_fault(PyObject *, PyObject *const *args,
                        Py_ssize_t nargs) noexcept {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "dealloc_fault(message, pending)");
    return nullptr;
  }
  const char *text = PyUnicode_AsUTF8(args[0]);
  const int pending = PyObject_IsTrue(args[1]);
  if (text == nullptr || pending < 0) {
    return nullptr;
  }
  const std::string message = text;
  if (pending != 0) {
    PyErr_SetString(PyExc_ValueError, "pending");
  }
  guard_unraisable(Py_None, [&] { throw std::runtime_error(message); });
  if (pending != 0) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyMethodDef probe_methods[] = {
    {"raise_fault", as_method(raise_fault), METH_O, nullptr},
    {"raise_unnamed_fault", as_method(raise_unnamed_fault), METH_NOARGS,
     nullptr},
    {"raise_bad_alloc", as_method(raise_bad_alloc), METH_NOARGS, nullptr},
    {"dealloc_fault", as_method(dealloc_fault), METH_FASTCALL, nullptr},
    {},
};

PyModuleDef probe_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_difral_fault_probe",
    .m_doc = nullptr,
    .m_size = -1,
    .m_methods = probe_methods,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

} // namespace

} // namespace difral::python

PyMODINIT_FUNC PyInit__difral_fault_probe() {
  return PyModule_Create(&difral::python::probe_def);
}
