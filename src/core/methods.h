// Bodies of the NuvelGraph methods, in plain C++ over the store. The binding
// converts arguments, calls one of these and converts the result back.
//
// Texts in results are views into the store: they stay valid until the store
// is next changed, which the binding's borrow rules out while it converts them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "graph.h"
#include "result.h"

namespace nuvel {

using NameList = std::vector<std::string_view>;

/// A dict argument of texts, in the dict's order.
using TextPairs = std::vector<std::pair<std::string, std::string>>;

/// The result of query_module_metric.
struct ValueUnit {
  double value;
  std::string_view unit;
};

/// The node named `name` (the newest of that name), or "Node '{}' not found".
Result<NodeIndex> require_node(const NuvelGraphInner& graph, std::string_view name);

/// Event names with a value each, in order: the result of the batch
/// aggregation methods.
using EventValues = std::vector<std::pair<std::string_view, double>>;

// Building.
Result<Done> add_node(NuvelGraphInner& graph, std::string_view name,
                      std::optional<std::string_view> performance);
/// True when the pair already had an edge (merged), else false.
Result<bool> add_edge(NuvelGraphInner& graph, std::string_view source, std::string_view target);

// Structure queries.
Result<bool> has_node(const NuvelGraphInner& graph, std::string_view name);
Result<NameList> get_all_node_names(const NuvelGraphInner& graph);
Result<NameList> get_leaf_names(const NuvelGraphInner& graph);
Result<NameList> get_tag_modules(const NuvelGraphInner& graph, std::string_view tag);
Result<bool> is_leaf(const NuvelGraphInner& graph, std::string_view name);
Result<std::optional<std::string_view>> get_performance_path(const NuvelGraphInner& graph,
                                                             std::string_view name);
Result<NameList> get_out_neighbors(const NuvelGraphInner& graph, std::string_view name);

// Scalar edge attributes.
Result<Done> set_edge_count(NuvelGraphInner& graph, std::string_view source,
                            std::string_view target, double count);
Result<Done> set_edge_aggregation(NuvelGraphInner& graph, std::string_view source,
                                  std::string_view target, std::string_view agg);
Result<double> get_edge_count(const NuvelGraphInner& graph, std::string_view source,
                              std::string_view target);
Result<std::string_view> get_edge_aggregation(const NuvelGraphInner& graph,
                                              std::string_view source, std::string_view target);

// Metric data.
/// Gives every node a Single {0.0, unit} under each metric, replacing an
/// entry of that name in place.
Result<Done> init_metrics(NuvelGraphInner& graph, const TextPairs& metric_units);
// set_module_data in its steps, which the binding interleaves with the
// conversion of the metrics dict: require_node, then set_module_metric for
// each entry as soon as it is converted, then, if every entry was,
// set_module_instance_and_tags.
/// Inserts `metric` into the node's metrics, or replaces it in place.
void set_module_metric(NuvelGraphInner& graph, NodeIndex node, std::string_view metric,
                       MetricValue value);
void set_module_instance_and_tags(NuvelGraphInner& graph, NodeIndex node, double instance,
                                  TextList& tags);
/// Replace the edge's whole operation (factor) map by the given one.
Result<Done> set_edge_operation(NuvelGraphInner& graph, std::string_view source,
                                std::string_view target, OrderedMap<std::string>& operation);
Result<Done> set_edge_factor(NuvelGraphInner& graph, std::string_view source,
                             std::string_view target, OrderedMap<double>& factor);
Result<Done> set_node_specified_metric(NuvelGraphInner& graph, std::string_view node_name,
                                       std::string_view metric_name, double value,
                                       std::string_view unit);
Result<std::optional<double>> get_node_specified_metric(const NuvelGraphInner& graph,
                                                        std::string_view node_name,
                                                        std::string_view metric_name);
/// One metric of one module (a node without outgoing edges), choosing the
/// operation of a multi-operation metric. Logs to "nuvel_core".
Result<ValueUnit> query_module_metric(const NuvelGraphInner& graph, std::string_view metric,
                                      std::optional<std::string_view> module,
                                      std::optional<std::string_view> operation);

}  // namespace nuvel
