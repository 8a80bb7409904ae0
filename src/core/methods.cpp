#include "methods.h"

#include <algorithm>
#include <string>

#include "format.h"
#include "log.h"

namespace nuvel {
namespace {

PendingError node_not_found(std::string_view name) {
  return value_error("Node '" + std::string(name) + "' not found");
}

PendingError edge_not_found(std::string_view source, std::string_view target) {
  return value_error("Edge '" + std::string(source) + "' -> '" + std::string(target) +
                     "' not found");
}

Result<EdgeIndex> require_edge(const NuvelGraphInner& graph, std::string_view source,
                               std::string_view target) {
  if (const std::optional<EdgeIndex> edge = graph.find_edge(source, target)) return *edge;
  return edge_not_found(source, target);
}

NameList names_of(const NuvelGraphInner& graph, const std::vector<NodeIndex>& nodes) {
  NameList names;
  names.reserve(nodes.size());
  for (const NodeIndex n : nodes) names.emplace_back(graph.node(n).name);
  return names;
}

}  // namespace

Result<NodeIndex> require_node(const NuvelGraphInner& graph, std::string_view name) {
  if (const std::optional<NodeIndex> node = graph.lookup(name)) return *node;
  return node_not_found(name);
}

Result<Done> add_node(NuvelGraphInner& graph, std::string_view name,
                      std::optional<std::string_view> performance) {
  graph.add_node(name, performance);
  return Done{};
}

Result<bool> add_edge(NuvelGraphInner& graph, std::string_view source, std::string_view target) {
  Result<AddedEdge> added = graph.add_edge(source, target);
  if (!added.ok()) return std::move(added.error());
  return added.value().merged;
}

Result<bool> has_node(const NuvelGraphInner& graph, std::string_view name) {
  return graph.lookup(name).has_value();
}

Result<NameList> get_all_node_names(const NuvelGraphInner& graph) {
  NameList names;
  names.reserve(graph.node_count());
  for (NodeIndex n = 0; n < graph.node_count(); ++n) names.emplace_back(graph.node(n).name);
  return names;
}

Result<NameList> get_leaf_names(const NuvelGraphInner& graph) {
  return names_of(graph, graph.leaf_indices());
}

Result<NameList> get_tag_modules(const NuvelGraphInner& graph, std::string_view tag) {
  NameList names;
  for (const NodeIndex n : graph.leaf_indices()) {
    const TextList* tags = graph.node(n).tags.get();
    if (tags != nullptr && std::find(tags->begin(), tags->end(), tag) != tags->end()) {
      names.emplace_back(graph.node(n).name);
    }
  }
  return names;
}

Result<bool> is_leaf(const NuvelGraphInner& graph, std::string_view name) {
  Result<NodeIndex> node = require_node(graph, name);
  if (!node.ok()) return std::move(node.error());
  return graph.is_leaf(node.value());
}

Result<std::optional<std::string_view>> get_performance_path(const NuvelGraphInner& graph,
                                                             std::string_view name) {
  Result<NodeIndex> node = require_node(graph, name);
  if (!node.ok()) return std::move(node.error());
  return graph.node(node.value()).performance.as_optional();
}

Result<NameList> get_out_neighbors(const NuvelGraphInner& graph, std::string_view name) {
  Result<NodeIndex> node = require_node(graph, name);
  if (!node.ok()) return std::move(node.error());
  NameList names;
  for (EdgeIndex e = graph.first_out(node.value()); e != kNoIndex; e = graph.next_out(e)) {
    names.emplace_back(graph.node(graph.target(e)).name);
  }
  return names;
}

Result<Done> set_edge_count(NuvelGraphInner& graph, std::string_view source,
                            std::string_view target, double count) {
  Result<EdgeIndex> edge = require_edge(graph, source, target);
  if (!edge.ok()) return std::move(edge.error());
  graph.change_edge(edge.value()).count = count;
  return Done{};
}

Result<Done> set_edge_aggregation(NuvelGraphInner& graph, std::string_view source,
                                  std::string_view target, std::string_view agg) {
  Result<EdgeIndex> edge = require_edge(graph, source, target);
  if (!edge.ok()) return std::move(edge.error());
  graph.set_aggregation(edge.value(), agg);
  return Done{};
}

Result<double> get_edge_count(const NuvelGraphInner& graph, std::string_view source,
                              std::string_view target) {
  Result<EdgeIndex> edge = require_edge(graph, source, target);
  if (!edge.ok()) return std::move(edge.error());
  return graph.edge(edge.value()).count;
}

Result<std::string_view> get_edge_aggregation(const NuvelGraphInner& graph,
                                              std::string_view source, std::string_view target) {
  Result<EdgeIndex> edge = require_edge(graph, source, target);
  if (!edge.ok()) return std::move(edge.error());
  return graph.aggregation(edge.value());
}

Result<Done> init_metrics(NuvelGraphInner& graph, const TextPairs& metric_units) {
  std::vector<std::pair<TextId, TextId>> ids;
  ids.reserve(metric_units.size());
  for (const auto& [metric, unit] : metric_units) ids.emplace_back(graph.intern(metric), graph.intern(unit));
  for (NodeIndex n = 0; n < graph.node_count(); ++n) {
    NodeMetrics& metrics = graph.change_node(n).metrics;
    const auto added = std::count_if(ids.begin(), ids.end(), [&](const auto& metric_unit) {
      return metrics.find(metric_unit.first) == nullptr;
    });
    metrics.reserve(metrics.size() + static_cast<std::size_t>(added));
    for (const auto& [metric, unit] : ids) metrics.assign(metric, 0.0, unit);
  }
  return Done{};
}

void set_module_metric(NuvelGraphInner& graph, NodeIndex node, std::string_view metric,
                       MetricValue value) {
  const TextId id = graph.intern(metric);
  NodeMetrics& metrics = graph.change_node(node).metrics;
  if (SingleMetric* single = std::get_if<SingleMetric>(&value)) {
    metrics.assign(id, single->value, graph.intern(single->unit));
  } else {
    metrics.assign(id, std::move(std::get<MultiOp>(value)));
  }
}

void set_module_instance_and_tags(NuvelGraphInner& graph, NodeIndex node, double instance,
                                  TextList& tags) {
  NodeData& data = graph.change_node(node);
  data.instance = instance;
  data.tags = tags.empty() ? nullptr : std::make_unique<TextList>(std::move(tags));
}

Result<Done> set_edge_operation(NuvelGraphInner& graph, std::string_view source,
                                std::string_view target, OrderedMap<std::string>& operation) {
  Result<EdgeIndex> edge = require_edge(graph, source, target);
  if (!edge.ok()) return std::move(edge.error());
  graph.change_edge(edge.value()).operation = std::move(operation);
  return Done{};
}

Result<Done> set_edge_factor(NuvelGraphInner& graph, std::string_view source,
                             std::string_view target, OrderedMap<double>& factor) {
  Result<EdgeIndex> edge = require_edge(graph, source, target);
  if (!edge.ok()) return std::move(edge.error());
  graph.change_edge(edge.value()).factor = std::move(factor);
  return Done{};
}

Result<Done> set_node_specified_metric(NuvelGraphInner& graph, std::string_view node_name,
                                       std::string_view metric_name, double value,
                                       std::string_view unit) {
  Result<NodeIndex> node = require_node(graph, node_name);
  if (!node.ok()) return std::move(node.error());
  graph.change_node(node.value())
      .specified_metrics.insert_or_assign(metric_name, SingleMetric{value, std::string(unit)});
  return Done{};
}

Result<std::optional<double>> get_node_specified_metric(const NuvelGraphInner& graph,
                                                        std::string_view node_name,
                                                        std::string_view metric_name) {
  Result<NodeIndex> node = require_node(graph, node_name);
  if (!node.ok()) return std::move(node.error());
  const SingleMetric* found = graph.node(node.value()).specified_metrics.find(metric_name);
  if (found == nullptr) return std::optional<double>{};
  return std::optional<double>{found->value};
}

Result<ValueUnit> query_module_metric(const NuvelGraphInner& graph, std::string_view metric,
                                      std::optional<std::string_view> module,
                                      std::optional<std::string_view> operation) {
  if (!module) return value_error("module argument is required");
  const std::optional<NodeIndex> node = graph.lookup(*module);
  if (!node) {
    return logged_error(log::kCoreTarget, "Invalid module <" + std::string(*module) + ">.");
  }
  if (!graph.is_leaf(*node)) {
    return logged_error(log::kCoreTarget, "Invalid event <" + std::string(*module) +
                                              ">; this function requires a module.");
  }
  const std::optional<TextId> id = graph.metric_id(metric);
  const NodeMetrics::Entry* value = id ? graph.node(*node).metrics.find(*id) : nullptr;
  if (value == nullptr) {
    return value_error("Metric '" + std::string(metric) + "' not found on module '" + std::string(*module) + "'");
  }
  if (value->is_single()) {
    if (operation) {
      log::emit(log::Level::Warn, log::kCoreTarget, [&] {
        return "Ignore operation <" + std::string(*operation) + "> for metric <" +
               std::string(metric) + "> in module <" + std::string(*module) +
               ">; this module requires no specified operation.";
      });
    }
    return ValueUnit{value->value(), graph.text(value->unit())};
  }
  if (operation) {
    if (const SingleMetric* chosen = value->ops().find(*operation)) {
      return ValueUnit{chosen->value, chosen->unit};
    }
  }
  return logged_error(log::kCoreTarget,
                      "Invalid operation <" +
                          (operation ? std::string(*operation) : std::string("None")) +
                          "> for metric <" + std::string(metric) + "> in module <" +
                          std::string(*module) + ">; legal values: [" +
                          fmt_quoted_list(op_names(value->ops())) + "].");
}

}  // namespace nuvel
