// SPDX-License-Identifier: MIT
#pragma once

#include "python/py_ref.h"

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace difral::python {

// Binds the arguments of a METH_FASTCALL | METH_KEYWORDS call to at most two
// parameters, all positional-or-keyword and required. On success every slot of
// bound holds a borrowed reference. Otherwise sets TypeError, checking in
// this order: too many positional arguments, each keyword in turn (unknown,
// or naming a parameter that already has a value), then every missing
// parameter in one message. May throw std::bad_alloc.
bool bind_arguments(const char *function,
                    std::span<const char *const> parameters,
                    PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames,
                    std::span<PyObject *> bound);

// The UTF-8 text of a str (or subclass) argument, valid while the object
// lives; an embedded NUL stays in it. A non-str sets TypeError naming the
// parameter; text that cannot be encoded keeps the interpreter's
// UnicodeEncodeError.
std::optional<std::string_view> str_argument(const char *parameter,
                                             PyObject *value) noexcept;

// A view of the own storage of a bytes (or subclass) argument, never a copy.
// Other buffer objects set TypeError naming the parameter.
std::optional<std::span<const std::byte>>
bytes_argument(const char *parameter, PyObject *value) noexcept;

} // namespace difral::python
