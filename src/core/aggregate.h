// The aggregation engine: event counts per workload and one metric per
// event in the module, summation and specified modes, narrated through the
// logging facade.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "graph.h"
#include "methods.h"
#include "result.h"

namespace nuvel {

/// How often `event` happens per occurrence of `workload`: the product of
/// edge counts along each path, summed over the paths in discovery order.
/// Without a workload, or with the event's own name, 1.0.
Result<double> aggregate_event_count(const NuvelGraphInner& graph,
                                     std::optional<std::string_view> workload,
                                     std::optional<std::string_view> event);

/// One metric of one event in the mode `metric_aggregation` ("module",
/// "summation" or "specified"), scaled to `workload` when one is given. Resets
/// the metric in every node with out-edges first; a failure keeps the reset
/// and whatever a pass wrote before it.
Result<ValueUnit> aggregate_event_metric(NuvelGraphInner& graph, std::string_view metric,
                                         std::string_view metric_aggregation,
                                         std::string_view metric_unit,
                                         std::optional<std::string_view> workload,
                                         std::optional<std::string_view> event);

/// The event count weighted per path by the product of the edges' factors
/// for `metric`; 0.0 when no path joins the nodes.
double compute_path_count(const NuvelGraphInner& graph, NodeIndex workload, NodeIndex event,
                          std::string_view metric);

/// The unit a node shows for `metric`: a Single's unit, a MultiOp's first
/// operation's unit, or empty.
std::string metric_unit(const NuvelGraphInner& graph, NodeIndex node, std::string_view metric);

}  // namespace nuvel
