// Conversions of container arguments (dicts and sequences) and of the
// container results.
#include <memory>
#include <string>
#include <utility>

#include "frame.h"

namespace nuvel::binding {
namespace {

/// An owned reference, released on every way out (C++ exceptions included).
struct Ref {
  PyObject* object;
  explicit Ref(PyObject* owned) : object(owned) {}
  ~Ref() { Py_XDECREF(object); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
};

/// An interned key, created once.
PyObject* interned(PyObject*& cache, const char* text) {
  if (cache == nullptr) cache = PyUnicode_InternFromString(text);
  return cache;
}

PyObject* value_key() {
  static PyObject* key = nullptr;
  return interned(key, "value");
}

PyObject* unit_key() {
  static PyObject* key = nullptr;
  return interned(key, "unit");
}

/// Calls visit(key, value) for each item of `dict` in order, holding
/// references to both meanwhile. Python code run by a conversion (a
/// __float__) may change the dict; iteration cannot go on then, which is an
/// internal failure.
template <class Visit>
bool for_each_item(PyObject* dict, Visit&& visit) {
  const Py_ssize_t size = PyDict_Size(dict);
  Py_ssize_t position = 0;
  Py_ssize_t seen = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &position, &key, &value)) {
    if (++seen > size) throw InternalError("dictionary keys changed during iteration");
    const Ref key_ref(Py_NewRef(key));
    const Ref value_ref(Py_NewRef(value));
    if (!visit(key_ref.object, value_ref.object)) return false;
    if (PyDict_Size(dict) != size) throw InternalError("dictionary changed size during iteration");
  }
  return true;
}

bool to_text(PyObject* obj, std::string& out) {
  std::string_view view;
  if (!to_native(obj, view)) return false;
  out.assign(view);
  return true;
}

bool is_dict(PyObject* obj) {
  if (PyDict_Check(obj)) return true;
  raise_downcast_error(obj, "PyDict");
  return false;
}

/// Text keys to texts or numbers, into `add(key, value)`, in dict order.
template <class Value, class Add>
bool convert_dict(PyObject* obj, Add&& add) {
  if (!is_dict(obj)) return false;
  return for_each_item(obj, [&](PyObject* key, PyObject* value) {
    std::string_view native_key;
    Value native_value{};
    if constexpr (std::is_same_v<Value, std::string>) {
      if (!to_native(key, native_key) || !to_text(value, native_value)) return false;
    } else {
      if (!to_native(key, native_key) || !to_native(value, native_value)) return false;
    }
    add(native_key, std::move(native_value));
    return true;
  });
}

/// The items "value" and "unit" of a dict, as new references (null when
/// absent); false with an error set when a lookup fails. Both are held before
/// either is converted, since a conversion may run Python code that changes
/// the dict.
struct ValueAndUnit {
  Ref value{nullptr};
  Ref unit{nullptr};
};

bool find_value_and_unit(PyObject* dict, ValueAndUnit& out) {
  for (auto [key, slot] : {std::pair{value_key(), &out.value}, std::pair{unit_key(), &out.unit}}) {
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (found == nullptr && PyErr_Occurred() != nullptr) return false;
    slot->object = found != nullptr ? Py_NewRef(found) : nullptr;
  }
  return true;
}

/// A SingleMetric from the two items, value first.
bool to_single(const ValueAndUnit& items, SingleMetric& out) {
  return to_native(items.value.object, out.value) && to_text(items.unit.object, out.unit);
}

/// One operation entry of a multi-operation metric. A missing key is a
/// ValueError of the body's own, kept in `failure`.
bool to_operation(PyObject* op, PyObject* entry, std::string_view metric, MultiOp& ops,
                  std::optional<PendingError>& failure) {
  std::string name;
  if (!to_text(op, name)) return false;
  if (!is_dict(entry)) return false;
  ValueAndUnit items;
  if (!find_value_and_unit(entry, items)) return false;
  if (items.value.object == nullptr || items.unit.object == nullptr) {
    failure = value_error("Operation '" + name + "' of metric '" + std::string(metric) +
                          "' has no '" + (items.value.object == nullptr ? "value" : "unit") + "'");
    return false;
  }
  SingleMetric single;
  if (!to_single(items, single)) return false;
  ops.insert_or_assign(name, std::move(single));
  return true;
}

/// One entry of the metrics dict: a Single when the mapping holds both
/// "value" and "unit", else a MultiOp; a value that is no dict is skipped.
bool to_metric_entry(PyObject* key, PyObject* value, MetricsArg& out) {
  std::string metric;
  if (!to_text(key, metric)) return false;
  if (!PyDict_Check(value)) return true;
  ValueAndUnit items;
  if (!find_value_and_unit(value, items)) return false;
  if (items.value.object != nullptr && items.unit.object != nullptr) {
    SingleMetric single;
    if (!to_single(items, single)) return false;
    out.entries.emplace_back(std::move(metric), std::move(single));
    return true;
  }
  MultiOp ops;
  ops.reserve(static_cast<std::size_t>(PyDict_Size(value)));
  const bool complete = for_each_item(value, [&](PyObject* op, PyObject* entry) {
    return to_operation(op, entry, metric, ops, out.failure);
  });
  if (!complete) return false;
  out.entries.emplace_back(std::move(metric), std::move(ops));
  return true;
}

}  // namespace

MetricsArg::~MetricsArg() {
  Py_XDECREF(error_type);
  Py_XDECREF(error_value);
  Py_XDECREF(error_traceback);
}

bool to_native(PyObject* obj, TextPairs& out) {
  if (PyDict_Check(obj)) out.reserve(static_cast<std::size_t>(PyDict_Size(obj)));
  return convert_dict<std::string>(obj, [&](std::string_view key, std::string value) {
    out.emplace_back(key, std::move(value));
  });
}

bool to_native(PyObject* obj, OrderedMap<std::string>& out) {
  if (PyDict_Check(obj)) out.reserve(static_cast<std::size_t>(PyDict_Size(obj)));
  return convert_dict<std::string>(obj, [&](std::string_view key, std::string value) {
    out.insert_or_assign(key, std::move(value));
  });
}

bool to_native(PyObject* obj, OrderedMap<double>& out) {
  if (PyDict_Check(obj)) out.reserve(static_cast<std::size_t>(PyDict_Size(obj)));
  return convert_dict<double>(
      obj, [&](std::string_view key, double value) { out.insert_or_assign(key, value); });
}

bool to_native(PyObject* obj, TextList& out) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_downcast_error(obj, "Sequence");
    return false;
  }
  if (PyList_Check(obj) || PyTuple_Check(obj)) {
    // Converting a str runs no Python code, so the items stay put.
    const bool list = PyList_Check(obj);
    const Py_ssize_t size = list ? PyList_Size(obj) : PyTuple_Size(obj);
    out.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* item = list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
      if (!to_text(item, out.emplace_back())) return false;
    }
    return true;
  }
  const Ref iterator(PyObject_GetIter(obj));
  if (iterator.object == nullptr) return false;
  while (PyObject* next = PyIter_Next(iterator.object)) {
    const Ref item_ref(next);
    if (!to_text(item_ref.object, out.emplace_back())) return false;
  }
  return PyErr_Occurred() == nullptr;
}

bool to_native(PyObject* obj, std::optional<TextList>& out) {
  if (obj == nullptr) {
    out.reset();
    return true;
  }
  return to_native(obj, out.emplace());
}

bool to_native(PyObject* obj, MetricsArg& out) {
  if (!is_dict(obj)) return false;
  out.entries.reserve(static_cast<std::size_t>(PyDict_Size(obj)));
  const bool complete = for_each_item(
      obj, [&](PyObject* key, PyObject* value) { return to_metric_entry(key, value, out); });
  if (!complete && !out.failure) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    PyErr_Fetch(&out.error_type, &out.error_value, &out.error_traceback);
#pragma GCC diagnostic pop
    out.failure = PendingError{ErrorKind::Forwarded, {}};
  }
  return true;
}

bool restore_forwarded(MetricsArg& argument) {
  if (argument.error_type == nullptr) return false;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  PyErr_Restore(argument.error_type, argument.error_value, argument.error_traceback);
#pragma GCC diagnostic pop
  argument.error_type = argument.error_value = argument.error_traceback = nullptr;
  return true;
}

PyObject* to_python(const std::optional<double>& value) {
  return value ? PyFloat_FromDouble(*value) : Py_NewRef(Py_None);
}

PyObject* to_python(const ValueUnit& value) {
  PyObject* value_name = value_key();
  PyObject* unit_name = unit_key();
  if (value_name == nullptr || unit_name == nullptr) return nullptr;
  const Ref dict(PyDict_New());
  const Ref number(PyFloat_FromDouble(value.value));
  const Ref unit(to_python(value.unit));
  if (dict.object == nullptr || number.object == nullptr || unit.object == nullptr ||
      PyDict_SetItem(dict.object, value_name, number.object) < 0 ||
      PyDict_SetItem(dict.object, unit_name, unit.object) < 0) {
    return nullptr;
  }
  return Py_NewRef(dict.object);
}

PyObject* to_python(const EventValues& values) {
  const Ref dict(PyDict_New());
  if (dict.object == nullptr) return nullptr;
  for (const auto& [name, value] : values) {
    const Ref key(to_python(name));
    const Ref number(PyFloat_FromDouble(value));
    if (key.object == nullptr || number.object == nullptr ||
        PyDict_SetItem(dict.object, key.object, number.object) < 0) {
      return nullptr;
    }
  }
  return Py_NewRef(dict.object);
}

}  // namespace nuvel::binding
