// Explaining a model: what it is made of, what would make an aggregation
// fail or mislead, and where the value of one event comes from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "graph.h"
#include "methods.h"
#include "result.h"

namespace nuvel {

// ---- The make-up of a model ------------------------------------------------

/// One metric as the modules hold it.
struct MetricFacts {
  std::string_view metric;
  std::vector<std::string_view> units;       ///< distinct, first seen first
  std::size_t modules = 0;                   ///< modules holding the metric
  NameList multi_operation;                  ///< modules holding it per operation
  std::vector<std::string_view> operations;  ///< their operation names, distinct
};

/// Counts by role (workloads have out-edges and no in-edges, events both,
/// modules no out-edges), the metrics, and the names given to several nodes.
struct ModelFacts {
  std::size_t nodes = 0;
  std::size_t edges = 0;
  std::size_t workloads = 0;
  std::size_t events = 0;
  std::size_t modules = 0;
  std::vector<MetricFacts> metrics;  ///< every metric a node holds, first seen first
  std::vector<std::pair<std::string_view, std::size_t>> duplicate_names;  ///< name, nodes
};

/// One pass over the nodes and their metric entries; changes nothing.
Result<ModelFacts> describe_model(const NuvelGraphInner& graph);

// ---- Problems --------------------------------------------------------------

/// A problem of the model, with the names of the nodes involved.
struct Problem {
  std::string_view kind;
  bool error;  ///< an aggregation fails or gives a misleading value; else a warning
  NameList nodes;
  std::optional<std::string_view> metric;
  std::string message;
};
using Problems = std::vector<Problem>;

/// Every problem that makes an aggregation fail or mislead, grouped by kind
/// in this order: cycle (one cycle per strongly connected part),
/// missing_operation and unknown_operation (per edge into a
/// multi-operation module), missing_metric (per metric some module holds:
/// the nodes without it), multi_operation_event (per event and metric),
/// missing_specified and unused_specified (per event, for metrics that
/// some node gives a specified value), invalid_count (edge counts and
/// module instances that are NaN, infinite or negative), then the warnings
/// shadowed_name, unreached (nodes below no workload) and
/// unknown_aggregation. Within a kind, in node and edge order (cycles in
/// the order a depth-first search closes them). Linear in the nodes, edges
/// and metric entries; changes nothing.
Result<Problems> check_model(const NuvelGraphInner& graph);

// ---- Where a value comes from ----------------------------------------------

/// What one child adds to its event's value.
struct BreakdownChild {
  std::string_view node;
  std::string_view aggregation;  ///< the edge's aggregation text
  double contribution;
  bool chosen;  ///< counted in the event's value
};

/// An event of the breakdown and its children, children[first_child]
/// up to children[end_child].
struct BreakdownEvent {
  std::string_view event;
  double value;           ///< unscaled, as the pass computes it
  std::string_view rule;  ///< "sum", "combined" or "specified"
  std::size_t first_child;
  std::size_t end_child;
};

struct Breakdown {
  double value;  ///< the single call's value, bit for bit
  std::string_view unit;
  EventValues modules;  ///< per name: nodes that share a name add up
  std::vector<BreakdownEvent> events;
  std::vector<BreakdownChild> children;
};

/// Where aggregate_event_metric's value for `event` comes from. Modes
/// summation and module: each module's contribution, scaled as the single
/// call scales, adding up to its value within rounding; mode summation and
/// specified: every event below `event`, itself first, top down, with what
/// each child adds to the event's own (unscaled) value. Fails as the single
/// call does; emits no record and leaves every stored value as it was.
Result<Breakdown> aggregate_event_breakdown(NuvelGraphInner& graph, std::string_view metric,
                                            std::string_view metric_aggregation,
                                            std::string_view unit,
                                            std::optional<std::string_view> workload,
                                            std::optional<std::string_view> event);

}  // namespace nuvel
