// SPDX-License-Identifier: MIT
#include "python/errors.h"

#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace difral::python {

namespace {

constexpr const char *panic_doc =
    "A fault inside difral that is not a load failure: a broken internal "
    "invariant. It derives from BaseException, so `except Exception` does "
    "not catch it.";

constexpr const char *unknown_fault_text = "unknown fault";

// A str from UTF-8 bytes. Texts from the system or the ZIP library are not
// trusted to be valid UTF-8, and a bad byte must not turn a load failure into
// a UnicodeDecodeError, so undecodable bytes become U+FFFD.
PyObject *text_from_utf8(const char *data, std::size_t size) noexcept {
  return PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "replace");
}

// The exception being raised, set aside and put back later. CPython 3.12
// holds it as one object; 3.11 as its type, value and traceback.
class PendingException {
public:
#if PY_VERSION_HEX >= 0x030C0000
  PendingException() noexcept : exception_(PyErr_GetRaisedException()) {}
  void restore() noexcept { PyErr_SetRaisedException(exception_); }

private:
  PyObject *exception_;
#else
  PendingException() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
  void restore() noexcept { PyErr_Restore(type_, value_, traceback_); }

private:
  PyObject *type_ = nullptr;
  PyObject *value_ = nullptr;
  PyObject *traceback_ = nullptr;
#endif
};

} // namespace

void raise_load_error(LoadError error) {
  PyObject *type = PyExc_ValueError;
  switch (error.kind()) {
  case LoadErrorKind::Io:
    type = PyExc_OSError;
    break;
  case LoadErrorKind::Zip:
  case LoadErrorKind::Parse:
  case LoadErrorKind::UnknownFormat:
  case LoadErrorKind::MissingArchiveMember:
    break;
  }
  const std::string text = error.message();
  // The payload is not needed once the text exists.
  { LoadError released = std::move(error); }
  Ref message = Ref::steal(text_from_utf8(text.data(), text.size()));
  if (!message) {
    return;
  }
  // A single non-tuple argument: OSError keeps errno, strerror and filename
  // None and does not pick a subclass such as FileNotFoundError.
  PyErr_SetObject(type, message.get());
}

PyObject *panic_exception_type() noexcept {
  // Created on first need and kept for the life of the process.
  static PyObject *type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("difral.PanicException", panic_doc,
                                     PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_panic(const char *message) noexcept {
  PyObject *type = panic_exception_type();
  if (type == nullptr) {
    return;
  }
  const char *text = message != nullptr ? message : unknown_fault_text;
  Ref value = Ref::steal(text_from_utf8(text, std::strlen(text)));
  if (!value) {
    return;
  }
  PyErr_SetObject(type, value.get());
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
  } catch (const std::exception &fault) {
    raise_panic(fault.what());
  } catch (...) {
    raise_panic(nullptr);
  }
}

void report_current_exception_unraisable(PyObject *context) noexcept {
  PendingException pending;
  raise_current_exception();
  PyErr_WriteUnraisable(context);
  pending.restore();
}

} // namespace difral::python
