#include "methods.h"

#include <algorithm>
#include <string>

namespace nuvel {
namespace {

PendingError node_not_found(std::string_view name) {
  return value_error("Node '" + std::string(name) + "' not found");
}

PendingError edge_not_found(std::string_view source, std::string_view target) {
  return value_error("Edge '" + std::string(source) + "' -> '" + std::string(target) +
                     "' not found");
}

Result<NodeIndex> require_node(const NuvelGraphInner& graph, std::string_view name) {
  if (const std::optional<NodeIndex> node = graph.lookup(name)) return *node;
  return node_not_found(name);
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

Result<Unit> add_node(NuvelGraphInner& graph, std::string_view name,
                      std::optional<std::string_view> performance) {
  graph.add_node(name, performance);
  return Unit{};
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

Result<Unit> set_edge_count(NuvelGraphInner& graph, std::string_view source,
                            std::string_view target, double count) {
  Result<EdgeIndex> edge = require_edge(graph, source, target);
  if (!edge.ok()) return std::move(edge.error());
  graph.edge(edge.value()).count = count;
  return Unit{};
}

Result<Unit> set_edge_aggregation(NuvelGraphInner& graph, std::string_view source,
                                  std::string_view target, std::string_view agg) {
  Result<EdgeIndex> edge = require_edge(graph, source, target);
  if (!edge.ok()) return std::move(edge.error());
  graph.set_aggregation(edge.value(), agg);
  return Unit{};
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

}  // namespace nuvel
