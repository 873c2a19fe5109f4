// SPDX-License-Identifier: MIT
#pragma once

#include "core/load_error.h"
#include "python/py_ref.h"

#include <utility>

namespace difral::python {

// Sets the Python exception for a failed load: OSError for Io, ValueError
// for every other kind, with the error's text as the only argument. May throw
// std::bad_alloc while forming the text; callers run inside guard().
void raise_load_error(LoadError error);

// The class that faults other than load failures are raised as: a direct
// subclass of BaseException, created once per process. Null with an error
// set if it cannot be created.
PyObject *panic_exception_type() noexcept;

// Sets PanicException(message); a null message stands for a fault that
// carries no text of its own.
void raise_panic(const char *message) noexcept;

// Only inside a catch handler: turns the exception being handled into the
// Python error indicator. std::bad_alloc becomes MemoryError, since a loader
// must not end the interpreter over one large file; everything else becomes
// PanicException.
void raise_current_exception() noexcept;

// Only inside a catch handler, for code that cannot raise (deallocation):
// reports the exception being handled through the unraisable hook, with
// context as the object it happened in, and leaves any pending error as it
// was.
void report_current_exception_unraisable(PyObject *context) noexcept;

// Runs the body of an entry point so that no C++ exception unwinds into the
// interpreter: a throw becomes the Python error and the result null.
template <class Body> PyObject *guard(Body &&body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

// guard() for deallocation: a throw is reported as unraisable.
template <class Body>
void guard_unraisable(PyObject *context, Body &&body) noexcept {
  try {
    std::forward<Body>(body)();
  } catch (...) {
    report_current_exception_unraisable(context);
  }
}

} // namespace difral::python
