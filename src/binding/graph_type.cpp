// The NuvelGraph type: constructor, deallocation and the method table. Each
// row names the body and the borrow it takes; the frame does the rest.
#include "graph_type.h"

#include <new>
#include <utility>

#include "aggregate.h"
#include "explain.h"
#include "frame.h"
#include "persistence.h"

namespace nuvel::binding {
namespace {

PyTypeObject* the_graph_type = nullptr;

// Parameter lists, one per method with arguments.
constexpr Params kAddNode{"NuvelGraph.add_node()", {"name", "performance"}, 2, 1};
constexpr Params kAddEdge{"NuvelGraph.add_edge()", {"source", "target"}, 2, 2};
constexpr Params kHasNode{"NuvelGraph.has_node()", {"name"}, 1, 1};
constexpr Params kGetTagModules{"NuvelGraph.get_tag_modules()", {"tag"}, 1, 1};
constexpr Params kIsLeaf{"NuvelGraph.is_leaf()", {"name"}, 1, 1};
constexpr Params kGetPerformancePath{"NuvelGraph.get_performance_path()", {"name"}, 1, 1};
constexpr Params kGetOutNeighbors{"NuvelGraph.get_out_neighbors()", {"name"}, 1, 1};
constexpr Params kSetEdgeCount{"NuvelGraph.set_edge_count()", {"source", "target", "count"}, 3, 3};
constexpr Params kSetEdgeAggregation{
    "NuvelGraph.set_edge_aggregation()", {"source", "target", "agg"}, 3, 3};
constexpr Params kGetEdgeCount{"NuvelGraph.get_edge_count()", {"source", "target"}, 2, 2};
constexpr Params kGetEdgeAggregation{
    "NuvelGraph.get_edge_aggregation()", {"source", "target"}, 2, 2};
constexpr Params kInitMetrics{"NuvelGraph.init_metrics()", {"metric_units"}, 1, 1};
constexpr Params kSetModuleData{
    "NuvelGraph.set_module_data()", {"node_name", "metrics", "instance", "tags"}, 4, 4};
constexpr Params kSetEdgeOperation{
    "NuvelGraph.set_edge_operation()", {"source", "target", "operation"}, 3, 3};
constexpr Params kSetEdgeFactor{"NuvelGraph.set_edge_factor()", {"source", "target", "factor"}, 3, 3};
constexpr Params kSetNodeSpecifiedMetric{"NuvelGraph.set_node_specified_metric()",
                                         {"node_name", "metric_name", "value", "unit"}, 4, 4};
constexpr Params kGetNodeSpecifiedMetric{
    "NuvelGraph.get_node_specified_metric()", {"node_name", "metric_name"}, 2, 2};
constexpr Params kQueryModuleMetric{
    "NuvelGraph.query_module_metric()", {"metric", "module", "operation"}, 3, 1};
constexpr Params kAggregateEventMetric{
    "NuvelGraph.aggregate_event_metric()",
    {"metric", "metric_aggregation", "metric_unit", "workload", "event"}, 5, 3};
constexpr Params kAggregateEventCount{
    "NuvelGraph.aggregate_event_count()", {"workload", "event"}, 2, 0};
constexpr Params kAggregateEventMetrics{
    "NuvelGraph.aggregate_event_metrics()",
    {"metric", "metric_aggregation", "metric_unit", "workload", "events"}, 5, 3};
constexpr Params kAggregateEventCounts{
    "NuvelGraph.aggregate_event_counts()", {"workload", "events"}, 2, 1};
constexpr Params kAggregateEventBreakdown{
    "NuvelGraph.aggregate_event_breakdown()",
    {"metric", "metric_aggregation", "metric_unit", "workload", "event"}, 5, 3};
constexpr Params kSaveJson{"NuvelGraph.save_json()", {"path"}, 1, 1};
constexpr Params kLoadJson{"NuvelGraph.load_json()", {"path"}, 1, 1};
constexpr Params kNew{"NuvelGraph.__new__()", {}, 0, 0};

template <class F>
PyCFunction as_cfunction(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kArgs = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef graph_methods[] = {
    {"add_node", as_cfunction(&method<Borrow::Exclusive, kAddNode, &add_node>), kArgs,
     "add_node($self, name, performance=None)\n--\n\n"},
    {"add_edge", as_cfunction(&method<Borrow::Exclusive, kAddEdge, &add_edge>), kArgs,
     "add_edge($self, source, target)\n--\n\n"
     "Add a directed edge. Returns True if an edge for this (source, target)\n"
     "already existed and was merged (no parallel edge created), else False."},
    {"has_node", as_cfunction(&method<Borrow::Shared, kHasNode, &has_node>), kArgs,
     "has_node($self, name)\n--\n\n"},
    {"get_all_node_names",
     as_cfunction(&method_noargs<Borrow::Shared, &get_all_node_names>), METH_NOARGS,
     "get_all_node_names($self)\n--\n\n"},
    {"get_leaf_names", as_cfunction(&method_noargs<Borrow::Shared, &get_leaf_names>),
     METH_NOARGS, "get_leaf_names($self)\n--\n\n"},
    {"get_tag_modules",
     as_cfunction(&method<Borrow::Shared, kGetTagModules, &get_tag_modules>), kArgs,
     "get_tag_modules($self, tag)\n--\n\n"
     "Leaf module names carrying `tag`, in leaf insertion order. Lets the Python\n"
     "tag-aggregation wrapper drive the per-module loop itself (matching main)."},
    {"is_leaf", as_cfunction(&method<Borrow::Shared, kIsLeaf, &is_leaf>), kArgs,
     "is_leaf($self, name)\n--\n\n"},
    {"get_performance_path",
     as_cfunction(&method<Borrow::Shared, kGetPerformancePath, &get_performance_path>), kArgs,
     "get_performance_path($self, name)\n--\n\n"},
    {"get_out_neighbors",
     as_cfunction(&method<Borrow::Shared, kGetOutNeighbors, &get_out_neighbors>), kArgs,
     "get_out_neighbors($self, name)\n--\n\n"},
    {"init_metrics", as_cfunction(&method<Borrow::Exclusive, kInitMetrics, &init_metrics>),
     kArgs,
     "init_metrics($self, metric_units)\n--\n\n"
     "Set all node metrics to Single{0.0, unit} for each metric in metric_units."},
    {"set_module_data",
     as_cfunction(&method<Borrow::Exclusive, kSetModuleData, &set_module_data>), kArgs,
     "set_module_data($self, node_name, metrics, instance, tags)\n--\n\n"
     "Populate a leaf node with hardware interface results, instance count, and tags.\n"
     "`metrics` is a Python dict:\n"
     "  single-op:  { metric_name: {\"value\": float, \"unit\": str}, ... }\n"
     "  multi-op:   { metric_name: { op_name: {\"value\": float, \"unit\": str}, ... }, ... }"},
    {"set_edge_count",
     as_cfunction(&method<Borrow::Exclusive, kSetEdgeCount, &set_edge_count>), kArgs,
     "set_edge_count($self, source, target, count)\n--\n\n"},
    {"set_edge_aggregation",
     as_cfunction(&method<Borrow::Exclusive, kSetEdgeAggregation, &set_edge_aggregation>),
     kArgs, "set_edge_aggregation($self, source, target, agg)\n--\n\n"},
    {"set_edge_operation",
     as_cfunction(&method<Borrow::Exclusive, kSetEdgeOperation, &set_edge_operation>), kArgs,
     "set_edge_operation($self, source, target, operation)\n--\n\n"},
    {"set_edge_factor",
     as_cfunction(&method<Borrow::Exclusive, kSetEdgeFactor, &set_edge_factor>), kArgs,
     "set_edge_factor($self, source, target, factor)\n--\n\n"},
    {"get_edge_count", as_cfunction(&method<Borrow::Shared, kGetEdgeCount, &get_edge_count>),
     kArgs, "get_edge_count($self, source, target)\n--\n\n"},
    {"get_edge_aggregation",
     as_cfunction(&method<Borrow::Shared, kGetEdgeAggregation, &get_edge_aggregation>), kArgs,
     "get_edge_aggregation($self, source, target)\n--\n\n"},
    {"set_node_specified_metric",
     as_cfunction(
         &method<Borrow::Exclusive, kSetNodeSpecifiedMetric, &set_node_specified_metric>),
     kArgs,
     "set_node_specified_metric($self, node_name, metric_name, value, unit)\n--\n\n"
     "Set a per-node specified-mode metric value (from performance model output)."},
    {"get_node_specified_metric",
     as_cfunction(&method<Borrow::Shared, kGetNodeSpecifiedMetric, &get_node_specified_metric>),
     kArgs, "get_node_specified_metric($self, node_name, metric_name)\n--\n\n"},
    {"query_module_metric",
     as_cfunction(&method<Borrow::Shared, kQueryModuleMetric, &query_module_metric>), kArgs,
     "query_module_metric($self, metric, module=None, operation=None)\n--\n\n"
     "Returns {\"value\": float, \"unit\": str}."},
    {"aggregate_event_metric",
     as_cfunction(&method<Borrow::Exclusive, kAggregateEventMetric, &aggregate_event_metric>),
     kArgs,
     "aggregate_event_metric($self, metric, metric_aggregation, metric_unit, workload=None, "
     "event=None)\n--\n\n"},
    {"aggregate_event_count",
     as_cfunction(&method<Borrow::Shared, kAggregateEventCount, &aggregate_event_count>), kArgs,
     "aggregate_event_count($self, workload=None, event=None)\n--\n\n"},
    {"save_json", as_cfunction(&method<Borrow::Shared, kSaveJson, &save_json>), kArgs,
     "save_json($self, path)\n--\n\n"},
    {"load_json", as_cfunction(&method<Borrow::None, kLoadJson, &load_json>), kArgs | METH_STATIC,
     "load_json(path)\n--\n\n"},
    {"aggregate_event_metrics",
     as_cfunction(&method<Borrow::Exclusive, kAggregateEventMetrics, &aggregate_event_metrics>),
     kArgs,
     "aggregate_event_metrics($self, metric, metric_aggregation, metric_unit, workload=None, "
     "events=None)\n--\n\n"
     "aggregate_event_metric for many events at once: a dict from event name to its\n"
     "value, each the float the single call returns. `events` is a list of names; None\n"
     "means every node with outgoing edges (those below `workload` when given), in\n"
     "node order. One pass over the events' sub-graphs; raises what the single call of\n"
     "the first failing event raises. Logs nothing and leaves metric values as they are."},
    {"aggregate_event_counts",
     as_cfunction(&method<Borrow::Shared, kAggregateEventCounts, &aggregate_event_counts>), kArgs,
     "aggregate_event_counts($self, workload, events=None)\n--\n\n"
     "aggregate_event_count for many events at once: a dict from event name to its\n"
     "count. `events` is a list of names; None means every node with outgoing edges\n"
     "below `workload`, in node order. Raises what the single call of the first\n"
     "failing event raises. Logs nothing."},
    {"aggregate_event_breakdown",
     as_cfunction(
         &method<Borrow::Exclusive, kAggregateEventBreakdown, &aggregate_event_breakdown>),
     kArgs,
     "aggregate_event_breakdown($self, metric, metric_aggregation, metric_unit, workload=None, "
     "event=None)\n--\n\n"
     "Where aggregate_event_metric's value for `event` comes from: {\"value\": the\n"
     "single call's value, \"unit\": metric_unit, \"modules\": {module: contribution},\n"
     "\"events\": [{\"event\", \"value\", \"rule\", \"children\": [{\"node\", \"aggregation\",\n"
     "\"contribution\", \"chosen\"}]}]}. Raises what the single call raises. Logs\n"
     "nothing and leaves metric values as they are."},
    {"describe_model", as_cfunction(&method_noargs<Borrow::Shared, &describe_model>),
     METH_NOARGS,
     "describe_model($self)\n--\n\n"
     "Counts of nodes, edges, workloads, events and modules; the metrics with their\n"
     "units and multi-operation modules; names given to several nodes."},
    {"check_model", as_cfunction(&method_noargs<Borrow::Shared, &check_model>), METH_NOARGS,
     "check_model($self)\n--\n\n"
     "Every problem that makes an aggregation fail or mislead, as dicts with \"kind\",\n"
     "\"severity\", \"nodes\", \"metric\" and \"message\"."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  if (!refuse_arguments(kNew, args, kwargs)) return nullptr;
  try {
    return new_graph_object(type, NuvelGraphInner{});
  } catch (...) {
    raise_internal_failure();
  }
  return nullptr;
}

void graph_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<GraphObject*>(self)->inner.~NuvelGraphInner();
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

PyType_Slot graph_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&graph_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&graph_dealloc)},
    {Py_tp_methods, graph_methods},
    {Py_tp_doc, const_cast<char*>("NuvelGraph()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec graph_spec = {
    "builtins.NuvelGraph",
    static_cast<int>(sizeof(GraphObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    graph_slots,
};

}  // namespace

PyObject* create_graph_type() {
  if (the_graph_type == nullptr) {
    PyObject* type = PyType_FromSpec(&graph_spec);
    if (type == nullptr) return nullptr;
    the_graph_type = reinterpret_cast<PyTypeObject*>(type);
  }
  return Py_NewRef(reinterpret_cast<PyObject*>(the_graph_type));
}

PyObject* to_python(NuvelGraphInner& graph) {
  return new_graph_object(the_graph_type, std::move(graph));
}

PyObject* new_graph_object(PyTypeObject* type, NuvelGraphInner&& inner) {
  auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = allocate != nullptr ? allocate(type, 0) : PyType_GenericAlloc(type, 0);
  if (self == nullptr) {
    ensure_error_set();
    return nullptr;
  }
  auto* graph = reinterpret_cast<GraphObject*>(self);
  new (&graph->inner) NuvelGraphInner(std::move(inner));
  graph->borrow = 0;
  return self;
}

}  // namespace nuvel::binding
