// Bodies of the NuvelGraph methods, in plain C++ over the store. The binding
// converts arguments, calls one of these and converts the result back.
//
// Texts in results are views into the store: they stay valid until the store
// is next changed, which the binding's borrow rules out while it converts them.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "graph.h"
#include "result.h"

namespace nuvel {

using NameList = std::vector<std::string_view>;

// Building.
Result<Unit> add_node(NuvelGraphInner& graph, std::string_view name,
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
Result<Unit> set_edge_count(NuvelGraphInner& graph, std::string_view source,
                            std::string_view target, double count);
Result<Unit> set_edge_aggregation(NuvelGraphInner& graph, std::string_view source,
                                  std::string_view target, std::string_view agg);
Result<double> get_edge_count(const NuvelGraphInner& graph, std::string_view source,
                              std::string_view target);
Result<std::string_view> get_edge_aggregation(const NuvelGraphInner& graph,
                                              std::string_view source, std::string_view target);

}  // namespace nuvel
