// SPDX-License-Identifier: MIT
#pragma once

#include "core/pattern.h"
#include "python/py_ref.h"

namespace difral::python {

// The class "builtins.Pattern", created on the first call and kept for the
// life of the process. Null with an error set if creation fails.
PyTypeObject *pattern_type() noexcept;

// A new Pattern instance that owns the record, moved in and never copied.
// Null with an error set on failure; the record is then released.
PyObject *wrap_pattern(Pattern record) noexcept;

} // namespace difral::python
