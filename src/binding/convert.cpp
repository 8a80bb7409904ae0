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

/// The item `key` of a dict known to hold it, as a new reference.
PyObject* item(PyObject* dict, PyObject* key) {
  PyObject* found = PyDict_GetItemWithError(dict, key);
  if (found == nullptr && PyErr_Occurred() == nullptr) PyErr_SetObject(PyExc_KeyError, key);
  return found == nullptr ? nullptr : Py_NewRef(found);
}

/// {"value": number, "unit": str} into a SingleMetric, value first.
bool to_single(PyObject* dict, SingleMetric& out) {
  const Ref value(item(dict, value_key()));
  if (value.object == nullptr || !to_native(value.object, out.value)) return false;
  const Ref unit(item(dict, unit_key()));
  return unit.object != nullptr && to_text(unit.object, out.unit);
}

int has_key(PyObject* dict, PyObject* key) { return PyDict_Contains(dict, key); }

/// One operation entry of a multi-operation metric. A missing key is a
/// ValueError of the body's own, kept in `failure`.
bool to_operation(PyObject* op, PyObject* entry, std::string_view metric, MultiOp& ops,
                  std::optional<PendingError>& failure) {
  std::string name;
  if (!to_text(op, name)) return false;
  if (!is_dict(entry)) return false;
  for (const auto& [key, text] : {std::pair{value_key(), "value"}, std::pair{unit_key(), "unit"}}) {
    const int present = has_key(entry, key);
    if (present < 0) return false;
    if (present == 0) {
      failure = value_error("Operation '" + name + "' of metric '" + std::string(metric) +
                            "' has no '" + text + "'");
      return false;
    }
  }
  SingleMetric single;
  if (!to_single(entry, single)) return false;
  ops.insert_or_assign(name, std::move(single));
  return true;
}

/// One entry of the metrics dict: a Single when the mapping holds both
/// "value" and "unit", else a MultiOp; a value that is no dict is skipped.
bool to_metric_entry(PyObject* key, PyObject* value, MetricsArg& out) {
  std::string metric;
  if (!to_text(key, metric)) return false;
  if (!PyDict_Check(value)) return true;
  const int has_value = has_key(value, value_key());
  const int has_unit = has_value > 0 ? has_key(value, unit_key()) : 0;
  if (has_value < 0 || has_unit < 0) return false;
  if (has_value > 0 && has_unit > 0) {
    SingleMetric single;
    if (!to_single(value, single)) return false;
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
    out.reserve(static_cast<std::size_t>(PySequence_Size(obj)));
  }
  const Ref iterator(PyObject_GetIter(obj));
  if (iterator.object == nullptr) return false;
  while (PyObject* next = PyIter_Next(iterator.object)) {
    const Ref item_ref(next);
    if (!to_text(item_ref.object, out.emplace_back())) return false;
  }
  return PyErr_Occurred() == nullptr;
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

}  // namespace nuvel::binding
