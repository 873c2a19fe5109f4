// SPDX-License-Identifier: MIT
// The difral extension module: load_file, load_bytes and the Pattern class.
#include "core/dispatch.h"
#include "python/arguments.h"
#include "python/errors.h"
#include "python/pattern_type.h"
#include "python/py_ref.h"

#include <cstdint>

namespace difral::python {

namespace {

// The result of a load as the caller sees it: a new Pattern, or null with
// the load's exception set.
PyObject *finish(LoadResult result) {
  if (result.ok()) {
    return wrap_pattern(std::move(*result));
  }
  // A signal handler that raised stopped the load: its exception (such as
  // KeyboardInterrupt) is what the caller sees, not the interrupted read.
  if (PyErr_Occurred() != nullptr) {
    return nullptr;
  }
  raise_load_error(std::move(result.error()));
  return nullptr;
}

// Asked by a load before each read and after each interrupted system
// call: runs the Python signal handlers, so that Ctrl-C stops a load that
// blocks (a FIFO without a writer) or never ends. True when one raised.
bool signal_handler_raised() noexcept { return PyErr_CheckSignals() != 0; }

constexpr const char *load_file_parameters[] = {"path"};
constexpr const char *load_bytes_parameters[] = {"data", "filename"};

// An entry point: binds the arguments to the parameters, then runs body on
// them, with nothing unwinding into the interpreter.
template <std::size_t N, class Body>
PyObject *bound_call(const char *function, const char *const (&parameters)[N],
                     PyObject *const *args, Py_ssize_t nargsf,
                     PyObject *kwnames, Body body) noexcept {
  return guard([&]() -> PyObject * {
    PyObject *bound[N];
    if (!bind_arguments(function, parameters, args, nargsf, kwnames, bound)) {
      return nullptr;
    }
    return body(bound);
  });
}

PyObject *load_file(PyObject *, PyObject *const *args, Py_ssize_t nargsf,
                    PyObject *kwnames) noexcept {
  return bound_call(
      "load_file", load_file_parameters, args, nargsf, kwnames,
      [](PyObject *const *bound) -> PyObject * {
        const auto path = str_argument("path", bound[0]);
        return path ? finish(load_path(*path, signal_handler_raised)) : nullptr;
      });
}

// data is checked first, whatever filename is. The caller's reference keeps
// the immutable bytes alive for the call.
PyObject *load_bytes(PyObject *, PyObject *const *args, Py_ssize_t nargsf,
                     PyObject *kwnames) noexcept {
  return bound_call("load_bytes", load_bytes_parameters, args, nargsf, kwnames,
                    [](PyObject *const *bound) -> PyObject * {
                      const auto data = bytes_argument("data", bound[0]);
                      const auto filename =
                          data ? str_argument("filename", bound[1])
                               : std::nullopt;
                      return filename
                                 ? finish(load_buffer(*data, *filename,
                                                      signal_handler_raised))
                                 : nullptr;
                    });
}

PyMethodDef load_file_def = {
    .ml_name = "load_file",
    .ml_meth = as_method(load_file),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc = "load_file(path)\n--\n\n",
};

PyMethodDef load_bytes_def = {
    .ml_name = "load_bytes",
    .ml_meth = as_method(load_bytes),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc = "load_bytes(data, filename)\n--\n\n",
};

// Single-phase definition: no method table (the functions are added by the
// initialisation), no per-module state, no slots.
PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "difral",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// Created once per process and handed out again on every later import.
PyObject *module_object = nullptr;
// The interpreter that first imported the module; -1 before that.
std::int64_t home_interpreter = -1;

// Appends the object's __name__ to the module's __all__ (creating the list
// on first use), then sets the attribute under that name.
int add_public(PyObject *module, PyObject *object) noexcept {
  Ref name = Ref::steal(PyObject_GetAttrString(object, "__name__"));
  if (!name) {
    return -1;
  }
  PyObject *namespace_dict = PyModule_GetDict(module);
  PyObject *all = PyDict_GetItemString(namespace_dict, "__all__");
  if (all == nullptr) {
    Ref created = Ref::steal(PyList_New(0));
    if (!created ||
        PyDict_SetItemString(namespace_dict, "__all__", created.get()) < 0) {
      return -1;
    }
    all = created.get(); // the module's dict keeps it alive
  }
  if (PyList_Append(all, name.get()) < 0) {
    return -1;
  }
  return PyObject_SetAttr(module, name.get(), object);
}

int add_function(PyObject *module, PyMethodDef *definition) noexcept {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) {
    return -1;
  }
  Ref function =
      Ref::steal(PyCFunction_NewEx(definition, module, module_name.get()));
  if (!function) {
    return -1;
  }
  return add_public(module, function.get());
}

PyObject *create_module() noexcept {
  const std::int64_t interpreter =
      PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) {
    return nullptr;
  }
  if (home_interpreter < 0) {
    home_interpreter = interpreter;
  } else if (home_interpreter != interpreter) {
    // The module and its type are shared by the whole process, which only
    // one interpreter may use.
    PyErr_SetString(PyExc_ImportError,
                    "difral does not support subinterpreters");
    return nullptr;
  }
  if (module_object != nullptr) {
    return Py_NewRef(module_object);
  }

  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module) {
    return nullptr;
  }
  PyTypeObject *type = pattern_type();
  if (type == nullptr ||
      add_public(module.get(), reinterpret_cast<PyObject *>(type)) < 0 ||
      add_function(module.get(), &load_file_def) < 0 ||
      add_function(module.get(), &load_bytes_def) < 0) {
    return nullptr; // the half-built module is dropped, nothing is kept
  }
  module_object = module.release();
  return Py_NewRef(module_object);
}

} // namespace

} // namespace difral::python

PyMODINIT_FUNC PyInit_difral() {
  return difral::python::guard(difral::python::create_module);
}
