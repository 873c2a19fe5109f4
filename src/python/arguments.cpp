// SPDX-License-Identifier: MIT
#include "python/arguments.h"

#include <string>

namespace difral::python {

namespace {

// "argument 'data': 'bytearray' object cannot be cast as 'bytes'"
void raise_wrong_type(const char *parameter, PyObject *value,
                      const char *expected) noexcept {
  Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(value)));
  if (!type_name) {
    return;
  }
  PyErr_Format(PyExc_TypeError,
               "argument '%s': '%U' object cannot be cast as '%s'", parameter,
               type_name.get(), expected);
}

// The missing names in parameter order: 'a', or 'a' and 'b'.
std::string quoted_list(std::span<const char *const> parameters,
                        std::span<PyObject *const> bound) {
  std::string text;
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    if (bound[i] == nullptr) {
      text += text.empty() ? "'" : " and '";
      text += parameters[i];
      text += '\'';
    }
  }
  return text;
}

} // namespace

bool bind_arguments(const char *function,
                    std::span<const char *const> parameters,
                    PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames,
                    std::span<PyObject *> bound) {
  const Py_ssize_t given = PyVectorcall_NARGS(static_cast<std::size_t>(nargsf));
  const auto count = static_cast<Py_ssize_t>(parameters.size());
  if (given > count) {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes %zd positional arguments but %zd %s given",
                 function, count, given, given == 1 ? "was" : "were");
    return false;
  }
  for (std::size_t i = 0; i < bound.size(); ++i) {
    bound[i] = static_cast<Py_ssize_t>(i) < given ? args[i] : nullptr;
  }

  const Py_ssize_t keywords =
      kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t match = parameters.size();
    for (std::size_t i = 0; i < parameters.size(); ++i) {
      if (PyUnicode_CompareWithASCIIString(keyword, parameters[i]) == 0) {
        match = i;
        break;
      }
    }
    if (match == parameters.size()) {
      PyErr_Format(PyExc_TypeError,
                   "%s() got an unexpected keyword argument '%U'", function,
                   keyword);
      return false;
    }
    if (bound[match] != nullptr) {
      PyErr_Format(PyExc_TypeError,
                   "%s() got multiple values for argument '%s'", function,
                   parameters[match]);
      return false;
    }
    bound[match] = args[given + k];
  }

  std::size_t missing = 0;
  for (PyObject *value : bound) {
    missing += value == nullptr ? 1 : 0;
  }
  if (missing > 0) {
    const std::string names = quoted_list(parameters, bound);
    PyErr_Format(PyExc_TypeError,
                 "%s() missing %zu required positional argument%s: %s",
                 function, missing, missing == 1 ? "" : "s", names.c_str());
    return false;
  }
  return true;
}

std::optional<std::string_view> str_argument(const char *parameter,
                                             PyObject *value) noexcept {
  if (!PyUnicode_Check(value)) {
    raise_wrong_type(parameter, value, "str");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char *text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) {
    return std::nullopt;
  }
  return std::string_view(text, static_cast<std::size_t>(size));
}

std::optional<std::span<const std::byte>>
bytes_argument(const char *parameter, PyObject *value) noexcept {
  if (!PyBytes_Check(value)) {
    raise_wrong_type(parameter, value, "bytes");
    return std::nullopt;
  }
  const auto *data =
      reinterpret_cast<const std::byte *>(PyBytes_AS_STRING(value));
  return std::span(data, static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
}

} // namespace difral::python
