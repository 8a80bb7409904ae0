// The aggregation engine: event counts per workload and one metric per
// event in the module, summation and specified modes, narrated through the
// logging facade; and both for many events at once.
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
/// "summation" or "specified"), scaled to `workload` when one is given, with
/// `unit` (the method's metric_unit argument) beside the value. Resets
/// the metric in every node with out-edges first; a failure keeps the reset
/// and whatever a pass wrote before it.
Result<ValueUnit> aggregate_event_metric(NuvelGraphInner& graph, std::string_view metric,
                                         std::string_view metric_aggregation,
                                         std::string_view unit,
                                         std::optional<std::string_view> workload,
                                         std::optional<std::string_view> event);

/// aggregate_event_count(workload, event) for each of `events`, or, without
/// them, for every event (node with out-edges, found by its name) below the
/// workload, in node order. Each value has the bits of that single call,
/// and the call fails as the first of them in that order would. Emits no
/// record and changes nothing.
Result<EventValues> aggregate_event_counts(const NuvelGraphInner& graph, std::string_view workload,
                                           const std::optional<TextList>& events);

/// aggregate_event_metric(...) for each of `events`, or, without them, for
/// every event of the graph (below the workload, when one is given), in node
/// order: bit for bit the value of each single call, and the failure of the
/// first that would fail. One pass over the union of the events' sub-graphs
/// (mode module: one walk per event, since each counts its own modules
/// once). Emits no record and leaves every metric value as it was, so no
/// later call depends on it.
Result<EventValues> aggregate_event_metrics(NuvelGraphInner& graph, std::string_view metric,
                                            std::string_view metric_aggregation,
                                            std::string_view unit,
                                            std::optional<std::string_view> workload,
                                            const std::optional<TextList>& events);

/// The event count weighted per path by the product of the edges' factors
/// for `metric`; 0.0 when no path joins the nodes.
double compute_path_count(const NuvelGraphInner& graph, NodeIndex workload, NodeIndex event,
                          std::string_view metric);

/// The unit a node shows for `metric`: a Single's unit, a MultiOp's first
/// operation's unit, or empty.
std::string metric_unit(const NuvelGraphInner& graph, NodeIndex node, std::string_view metric);

}  // namespace nuvel
