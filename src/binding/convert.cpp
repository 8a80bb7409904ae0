// Conversions of container arguments (dicts and sequences) and of the
// container results.
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "frame.h"

namespace nuvel::binding {
namespace {

/// A dict key, interned on first use and kept for the life of the process.
class Key {
 public:
  explicit constexpr Key(const char* text) : text_(text) {}
  PyObject* get() {
    if (object_ == nullptr) object_ = PyUnicode_InternFromString(text_);
    return object_;
  }

 private:
  const char* text_;
  PyObject* object_ = nullptr;
};

Key kValue{"value"};
Key kUnit{"unit"};

/// A new dict, filled item by item. After a failed step the dict is gone
/// and the error set: later steps only release their values, and release()
/// gives null.
class DictBuilder {
 public:
  DictBuilder() : dict_(PyDict_New()) {}
  /// dict[key] = value; takes over the new reference `value`.
  DictBuilder& set(PyObject* key, PyObject* value) {
    const Ref owned(value);
    if (dict_ && (key == nullptr || value == nullptr ||
                  PyDict_SetItem(dict_.get(), key, value) < 0)) {
      dict_.reset(nullptr);
    }
    return *this;
  }
  PyObject* release() { return dict_.release(); }

 private:
  Ref dict_;
};

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
    if (!visit(key_ref.get(), value_ref.get())) return false;
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
  Ref value;
  Ref unit;
};

bool find_value_and_unit(PyObject* dict, ValueAndUnit& out) {
  for (auto [key, slot] : {std::pair{kValue.get(), &out.value}, std::pair{kUnit.get(), &out.unit}}) {
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (found == nullptr && PyErr_Occurred() != nullptr) return false;
    slot->reset(Py_XNewRef(found));
  }
  return true;
}

/// A SingleMetric from the two items, value first.
bool convert_value_and_unit(const ValueAndUnit& items, SingleMetric& out) {
  return to_native(items.value.get(), out.value) && to_text(items.unit.get(), out.unit);
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
  if (!items.value || !items.unit) {
    failure = value_error("Operation '" + name + "' of metric '" + std::string(metric) +
                          "' has no '" + (!items.value ? "value" : "unit") + "'");
    return false;
  }
  SingleMetric single;
  if (!convert_value_and_unit(items, single)) return false;
  ops.insert_or_assign(name, std::move(single));
  return true;
}

/// The value of one entry of the metrics dict (a dict): a Single when it
/// holds both "value" and "unit", else a MultiOp. False on failure, with a
/// Python error pending or the body's own error in `failure`.
bool to_metric_value(PyObject* value, std::string_view metric, MetricValue& out,
                     std::optional<PendingError>& failure) {
  ValueAndUnit items;
  if (!find_value_and_unit(value, items)) return false;
  if (items.value && items.unit) {
    SingleMetric single;
    if (!convert_value_and_unit(items, single)) return false;
    out = std::move(single);
    return true;
  }
  MultiOp ops;
  ops.reserve(static_cast<std::size_t>(PyDict_Size(value)));
  const bool complete = for_each_item(value, [&](PyObject* op, PyObject* entry) {
    return to_operation(op, entry, metric, ops, failure);
  });
  if (!complete) return false;
  out = std::move(ops);
  return true;
}

}  // namespace

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
  if (!iterator) return false;
  while (PyObject* next = PyIter_Next(iterator.get())) {
    const Ref item_ref(next);
    if (!to_text(item_ref.get(), out.emplace_back())) return false;
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

bool to_native(PyObject* obj, MetricsDict& out) {
  if (!is_dict(obj)) return false;
  out.dict = obj;
  return true;
}

Result<Done> set_module_data(NuvelGraphInner& graph, std::string_view node_name,
                             MetricsDict metrics, double instance, TextList& tags) {
  Result<NodeIndex> found = require_node(graph, node_name);
  if (!found.ok()) return std::move(found.error());
  const NodeIndex node = found.value();
  std::optional<PendingError> failure;
  const bool complete = for_each_item(metrics.dict, [&](PyObject* key, PyObject* value) {
    std::string metric;
    if (!to_text(key, metric)) return false;
    if (!PyDict_Check(value)) return true;  // not metric data: skipped
    MetricValue converted;
    if (!to_metric_value(value, metric, converted, failure)) return false;
    set_module_metric(graph, node, metric, std::move(converted));
    return true;
  });
  if (!complete) return failure ? std::move(*failure) : PendingError{ErrorKind::Forwarded, {}};
  set_module_instance_and_tags(graph, node, instance, tags);
  return Done{};
}

PyObject* to_python(const std::optional<double>& value) {
  return value ? PyFloat_FromDouble(*value) : Py_NewRef(Py_None);
}

PyObject* to_python(const ValueUnit& value) {
  return DictBuilder()
      .set(kValue.get(), PyFloat_FromDouble(value.value))
      .set(kUnit.get(), to_python(value.unit))
      .release();
}

PyObject* to_python(const EventValues& values) {
  DictBuilder dict;
  for (const auto& [name, value] : values) {
    const Ref key(to_python(name));
    dict.set(key.get(), PyFloat_FromDouble(value));
  }
  return dict.release();
}

// ---- Results of the methods that explain a model ---------------------------

namespace {

Key kNodes{"nodes"};
Key kEdges{"edges"};
Key kWorkloads{"workloads"};
Key kEvents{"events"};
Key kModules{"modules"};
Key kMetrics{"metrics"};
Key kDuplicateNames{"duplicate_names"};
Key kUnits{"units"};
Key kMultiOperation{"multi_operation"};
Key kOperations{"operations"};
Key kKind{"kind"};
Key kSeverity{"severity"};
Key kMetric{"metric"};
Key kMessage{"message"};
Key kEvent{"event"};
Key kRule{"rule"};
Key kChildren{"children"};
Key kNode{"node"};
Key kAggregation{"aggregation"};
Key kContribution{"contribution"};
Key kChosen{"chosen"};

PyObject* number_of(std::size_t count) { return PyLong_FromSize_t(count); }

template <class Item, class Convert>
PyObject* list_of(std::span<const Item> items, Convert&& convert) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = convert(items[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* names_of(std::span<const std::string_view> names) {
  return list_of(names, [](std::string_view name) { return to_python(name); });
}

PyObject* metric_facts(const MetricFacts& metric) {
  return DictBuilder()
      .set(kUnits.get(), names_of(metric.units))
      .set(kModules.get(), number_of(metric.modules))
      .set(kMultiOperation.get(), names_of(metric.multi_operation))
      .set(kOperations.get(), names_of(metric.operations))
      .release();
}

}  // namespace

PyObject* to_python(const ModelFacts& facts) {
  DictBuilder metrics;
  for (const MetricFacts& metric : facts.metrics) {
    const Ref key(to_python(metric.metric));
    metrics.set(key.get(), metric_facts(metric));
  }
  DictBuilder duplicates;
  for (const auto& [name, nodes] : facts.duplicate_names) {
    const Ref key(to_python(name));
    duplicates.set(key.get(), number_of(nodes));
  }
  return DictBuilder()
      .set(kNodes.get(), number_of(facts.nodes))
      .set(kEdges.get(), number_of(facts.edges))
      .set(kWorkloads.get(), number_of(facts.workloads))
      .set(kEvents.get(), number_of(facts.events))
      .set(kModules.get(), number_of(facts.modules))
      .set(kMetrics.get(), metrics.release())
      .set(kDuplicateNames.get(), duplicates.release())
      .release();
}

PyObject* to_python(const Problems& problems) {
  return list_of(std::span(problems), [](const Problem& problem) {
    return DictBuilder()
        .set(kKind.get(), to_python(problem.kind))
        .set(kSeverity.get(), to_python(std::string_view(problem.error ? "error" : "warning")))
        .set(kNodes.get(), names_of(problem.nodes))
        .set(kMetric.get(), to_python(problem.metric))
        .set(kMessage.get(), to_python(std::string_view(problem.message)))
        .release();
  });
}

PyObject* to_python(const Breakdown& breakdown) {
  const auto child_of = [](const BreakdownChild& child) {
    return DictBuilder()
        .set(kNode.get(), to_python(child.node))
        .set(kAggregation.get(), to_python(child.aggregation))
        .set(kContribution.get(), PyFloat_FromDouble(child.contribution))
        .set(kChosen.get(), to_python(child.chosen))
        .release();
  };
  const auto event_of = [&](const BreakdownEvent& event) {
    const std::span children(breakdown.children.data() + event.first_child,
                             event.end_child - event.first_child);
    return DictBuilder()
        .set(kEvent.get(), to_python(event.event))
        .set(kValue.get(), PyFloat_FromDouble(event.value))
        .set(kRule.get(), to_python(event.rule))
        .set(kChildren.get(), list_of(children, child_of))
        .release();
  };
  return DictBuilder()
      .set(kValue.get(), PyFloat_FromDouble(breakdown.value))
      .set(kUnit.get(), to_python(breakdown.unit))
      .set(kModules.get(), to_python(breakdown.modules))
      .set(kEvents.get(), list_of(std::span(breakdown.events), event_of))
      .release();
}

}  // namespace nuvel::binding
