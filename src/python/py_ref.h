// SPDX-License-Identifier: MIT
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace difral::python {

// An owned reference to a Python object, null when empty. steal() takes over
// a new reference; borrow() adds one of its own.
class Ref {
public:
  Ref() noexcept = default;
  static Ref steal(PyObject *object) noexcept { return Ref(object); }
  static Ref borrow(PyObject *object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }
  Ref(Ref &&other) noexcept : object_(other.release()) {}
  Ref &operator=(Ref &&other) noexcept {
    Ref old(std::move(*this));
    object_ = other.release();
    return *this;
  }
  Ref(const Ref &) = delete;
  Ref &operator=(const Ref &) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject *get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject *release() noexcept { return std::exchange(object_, nullptr); }

private:
  explicit Ref(PyObject *object) noexcept : object_(object) {}
  PyObject *object_ = nullptr;
};

// Fast-call functions go into PyMethodDef through void (*)(void), as
// CPython's _PyCFunction_CAST does, so -Wcast-function-type stays quiet.
template <class Function> PyCFunction as_method(Function function) noexcept {
  return reinterpret_cast<PyCFunction>(
      reinterpret_cast<void (*)(void)>(function));
}

} // namespace difral::python
