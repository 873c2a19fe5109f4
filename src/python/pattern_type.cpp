// SPDX-License-Identifier: MIT
#include "python/pattern_type.h"

#include "python/errors.h"

#include <new>
#include <vector>

namespace difral::python {

namespace {

// The instance layout: the object header, then the record it owns. The
// record is built by placement new after tp_alloc and destroyed in dealloc.
struct PatternObject {
  PyObject ob_base;
  Pattern record;
};

const Pattern &record_of(PyObject *self) noexcept {
  return reinterpret_cast<PatternObject *>(self)->record;
}

// A new list with one float for each value, in order; NaN and infinities
// are stored as they are.
PyObject *float_list(const std::vector<double> &values) noexcept {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) {
    return nullptr;
  }
  Py_ssize_t index = 0;
  for (const double value : values) {
    PyObject *item = PyFloat_FromDouble(value);
    if (item == nullptr) {
      return nullptr; // the unfilled slots are null, which the list allows
    }
    PyList_SET_ITEM(list.get(), index++, item);
  }
  return list.release();
}

PyObject *get_x(PyObject *self, void *) noexcept {
  return guard([&] { return float_list(record_of(self).x); });
}

PyObject *get_y(PyObject *self, void *) noexcept {
  return guard([&] { return float_list(record_of(self).y); });
}

PyObject *get_e(PyObject *self, void *) noexcept {
  return guard([&]() -> PyObject * {
    const Pattern &record = record_of(self);
    if (!record.e) {
      Py_RETURN_NONE;
    }
    return float_list(*record.e);
  });
}

void dealloc(PyObject *self) noexcept {
  PyTypeObject *type = Py_TYPE(self);
  // The dying object is not handed to the unraisable hook, which could keep
  // it alive; its type stands in for it.
  guard_unraisable(reinterpret_cast<PyObject *>(type), [&] {
    reinterpret_cast<PatternObject *>(self)->record.~Pattern();
  });
  type->tp_free(self);
  // Instances of a heap type hold a reference to it.
  Py_DECREF(type);
}

constexpr const char *pattern_doc = "Represents a diffraction pattern with "
                                    "position, intensity, and optional error.";

PyGetSetDef pattern_getset[] = {
    {"x", get_x, nullptr, "The x-axis values (e.g., 2-theta or Q).", nullptr},
    {"y", get_y, nullptr, "The y-axis values (intensity).", nullptr},
    {"e", get_e, nullptr, "The uncertainty/error values, if available.",
     nullptr},
    {},
};

PyType_Slot pattern_slots[] = {
    {Py_tp_doc, const_cast<char *>(pattern_doc)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc)},
    {Py_tp_getset, pattern_getset},
    {},
};

// No base-type flag (no subclasses), no GC (instances hold no Python
// references), no dict or weak reference slots, and no instantiation from
// Python: the only way to a Pattern is a successful load.
PyType_Spec pattern_spec = {
    .name = "builtins.Pattern",
    .basicsize = static_cast<int>(sizeof(PatternObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = pattern_slots,
};

} // namespace

PyTypeObject *pattern_type() noexcept {
  static PyTypeObject *type = nullptr;
  if (type == nullptr) {
    type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&pattern_spec));
  }
  return type;
}

PyObject *wrap_pattern(Pattern record) noexcept {
  PyTypeObject *type = pattern_type();
  if (type == nullptr) {
    return nullptr;
  }
  PyObject *self = type->tp_alloc(type, 0);
  if (self == nullptr) {
    return nullptr;
  }
  new (&reinterpret_cast<PatternObject *>(self)->record)
      Pattern(std::move(record));
  return self;
}

} // namespace difral::python
