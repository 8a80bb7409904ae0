// The aggregation engine's passes, shared by its files. Each pass exists in
// up to two forms: narrated (narrated_passes.cpp), the documented procedure
// record by record; and fast (fast_passes.cpp), the same values computed
// from the aggregation snapshot without records and without touching the
// store. The entries (aggregate.cpp) pick the fast form where no record
// would be delivered and fall back to the narrated one whenever the fast
// form meets a failure.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "graph.h"
#include "log.h"
#include "result.h"

namespace nuvel {

std::string cat(std::initializer_list<std::string_view> parts);

/// A metric as a call names it, with its id when some node holds it.
struct Metric {
  Metric(const NuvelGraphInner& graph, std::string_view text)
      : name(text), id(graph.metric_id(text)) {}
  std::string_view name;
  std::optional<TextId> id;
};

/// The engine's records for one call. A level that is not delivered when
/// the call starts never will be in this process (a target's level is
/// fixed at its first record), so the call skips those record sites
/// outright instead of asking per record; a delivered level is still
/// checked by every record. A silent narrator drops every record, the
/// Error records of failures included: it serves passes that run only to
/// learn a result or a failure.
class Narrator {
 public:
  static Narrator for_call() {
    return Narrator(log::would_emit(log::Level::Info, log::kAggregateTarget),
                    log::would_emit(log::Level::Debug, log::kAggregateTarget), true);
  }
  static Narrator silent() { return Narrator(false, false, false); }

  template <class MakeMessage>
  void info(MakeMessage&& make_message, const char* file = __builtin_FILE(),
            std::uint32_t line = __builtin_LINE()) const {
    if (info_) log::emit(log::Level::Info, log::kAggregateTarget, make_message, file, line);
  }
  template <class MakeMessage>
  void debug(MakeMessage&& make_message, const char* file = __builtin_FILE(),
             std::uint32_t line = __builtin_LINE()) const {
    if (debug_) log::emit(log::Level::Debug, log::kAggregateTarget, make_message, file, line);
  }
  /// Error-and-raise: the message as an Error record (unless silent), then
  /// as the failure.
  PendingError failure(std::string_view target, std::string message) const;

  bool info_enabled() const { return info_; }
  bool debug_enabled() const { return debug_; }
  /// Whether neither Info nor Debug records of the engine are delivered:
  /// the fast passes may stand in for the narrated ones.
  bool quiet() const { return !info_ && !debug_; }

 private:
  Narrator(bool info, bool debug, bool errors) : info_(info), debug_(debug), errors_(errors) {}

  bool info_;
  bool debug_;
  bool errors_;
};

enum class Mode { Module, Summation, Specified };
/// The mode a metric_aggregation text names, compared exactly.
std::optional<Mode> mode_of(std::string_view metric_aggregation);

std::string_view name_of(const NuvelGraphInner& graph, NodeIndex node);
const NodeMetrics::Entry* metric_of(const NuvelGraphInner& graph, NodeIndex node,
                                    const Metric& metric);

/// The engine's write into a node's Single; a node left holding anything
/// but +0.0 becomes a reset candidate of the metric.
void write_value(NuvelGraphInner& graph, NodeIndex node, NodeMetrics::Entry& entry, double value);

// ---- Narrated passes -------------------------------------------------------

/// Where a narrated pass keeps the values it aggregates: in the graph, as a
/// call does; or, for a dry run that only looks for the pass's result or
/// failure, in scratch, every node with out-edges starting at 0.0 as after
/// the reset.
class PassValues {
 public:
  /// Values in the graph.
  explicit PassValues(NuvelGraphInner& graph) : graph_(graph) {}
  /// Values in `scratch`, for the nodes of `order`.
  PassValues(NuvelGraphInner& graph, std::vector<double>& scratch) : graph_(graph), scratch_(&scratch) {}

  void start(std::span<const NodeIndex> order);
  /// The value of the Single `entry` of node n.
  double read(NodeIndex n, const NodeMetrics::Entry& entry) const {
    return scratch_ != nullptr && !graph_.is_leaf(n) ? (*scratch_)[n] : entry.value();
  }
  void write(NodeIndex n, NodeMetrics::Entry& entry, double value);
  /// The Single of node n's metric that the pass aggregates into (or the
  /// entry reads afterwards); a missing or multi-operation metric there has
  /// no defined meaning and fails.
  Result<NodeMetrics::Entry*> aggregation_target(NodeIndex n, const Metric& metric);

 private:
  NuvelGraphInner& graph_;
  std::vector<double>* scratch_ = nullptr;
};

/// Mode module: value x instance of every module below `event`, each once,
/// in the order of the depth-first walk. Writes nothing.
Result<double> aggregate_module(const NuvelGraphInner& graph, NodeIndex event,
                                const Metric& metric, const Narrator& narrator);

/// Mode summation: every edge below `event` pushes count x value x factor to
/// its source, bottom-up in the sub-graph order.
Result<Done> aggregate_summation(NuvelGraphInner& graph, NodeIndex event, const Metric& metric,
                                 const Narrator& narrator, PassValues& values);

/// Mode specified: bottom-up, sub-events over "parallel" edges give their
/// maximum and the others add up; events over modules only take their
/// specified value.
Result<Done> aggregate_specified(NuvelGraphInner& graph, NodeIndex event, const Metric& metric,
                                 const Narrator& narrator, PassValues& values);

/// A multi-operation module summed over the workload's paths, each path
/// priced by the operation its last edge names.
Result<double> aggregate_summation_multiop(const NuvelGraphInner& graph, NodeIndex workload,
                                           NodeIndex module, const Metric& metric,
                                           const Narrator& narrator);

/// Event counts along the paths from `workload` to `event`, path by path:
/// the sum of each path's product of counts (and of factors for `metric`,
/// when given). `any_path` is false when no path joins the two.
struct PathSum {
  double total;
  bool any_path;
};
PathSum walk_path_counts(const NuvelGraphInner& graph, NodeIndex workload, NodeIndex event,
                         const std::optional<Metric>& metric, const Narrator& narrator);

/// The path sum of walk_path_counts, from the fast form where no Debug
/// record is delivered.
double path_count(const NuvelGraphInner& graph, NodeIndex workload, NodeIndex event,
                  const std::optional<Metric>& metric, const Narrator& narrator);

// ---- Fast passes -----------------------------------------------------------

/// The path sum of walk_path_counts computed over the sub-graph instead of
/// path by path, when that gives the very bits of the path-by-path sum:
/// when no step of either computation rounds. That holds when the paths
/// meet no cycle and every count and factor is a binary fraction (k / 2^b),
/// and 2^F times a bound B stays within 2^52, where F bounds the fraction
/// bits of any product along a path and B bounds the magnitude of every
/// product and partial sum (weights below one counted as one, which covers
/// every part of a path): every value met is then a multiple of 2^-F below
/// 2^(52-F), held exactly. Nothing when the condition fails. Searches
/// backwards from `event`.
std::optional<PathSum> exact_path_count(const NuvelGraphInner& graph, NodeIndex workload,
                                        NodeIndex event, const std::optional<Metric>& metric);

/// The same, from `workload` to each of `events`: entry i is nothing where
/// the condition fails for that event. One search forwards from `workload`.
std::vector<std::optional<PathSum>> exact_path_counts(const NuvelGraphInner& graph,
                                                      NodeIndex workload,
                                                      std::span<const NodeIndex> events,
                                                      const std::optional<Metric>& metric);

/// The values the summation or specified pass gives to the nodes below some
/// events, each once, computed from the snapshot into scratch. A node is
/// `failed` when the narrated pass would fail at it or below it; its value
/// then means nothing.
class FastPass {
 public:
  enum class Mode { Summation, Specified };
  FastPass(const NuvelGraphInner& graph, const Metric& metric, Mode mode);

  /// Takes the nodes below `event`, itself included, into the pass.
  void add(NodeIndex event);

  bool failed(NodeIndex n) const { return failed_->marked(n); }
  /// The value the pass writes into an event (or reads from a module).
  double value(NodeIndex n) const { return (*values_)[n]; }
  /// Whether node n holds the metric as a Single.
  bool holds_single(NodeIndex n) const;
  bool is_leaf(NodeIndex n) const { return lists_.is_leaf(n); }
  /// The nodes taken, each after its successors.
  std::span<const NodeIndex> order() const { return *order_; }

 private:
  void compute_summation(NodeIndex n);
  void compute_specified(NodeIndex n);

  const NuvelGraphInner& graph_;
  const Metric& metric_;
  Mode mode_;
  AggregationSnapshot& snapshot_;
  OutLists lists_;
  const MetricColumn& column_;
  std::span<const double> counts_;
  std::span<const std::uint8_t> parallel_;
  std::span<const std::uint64_t> finished_;
  Lease<NodeMarks> taken_;
  Lease<NodeMarks> failed_;
  Lease<std::vector<double>> values_;
  Lease<std::vector<NodeIndex>> order_;
  struct Frame {
    NodeIndex node;
    const OutEdge* next;
    const OutEdge* end;
  };
  std::vector<Frame> frames_;
  std::vector<OutEdge> children_;  ///< one node's out-edges in finish order
};

/// The summation values of every node at once, in the whole-graph finish
/// order, where each node's children come before it and sit beside it.
/// The same values as FastPass, at a lower cost per node when the pass
/// covers most of the graph.
class DenseSummation {
 public:
  DenseSummation(const NuvelGraphInner& graph, const Metric& metric);

  bool failed(NodeIndex n) const { return ((*states_)[order_.position[n]] & kFailed) != 0; }
  double value(NodeIndex n) const { return (*values_)[order_.position[n]]; }
  bool holds_single(NodeIndex n) const {
    return ((*states_)[order_.position[n]] & MetricColumn::kHolds) == MetricColumn::kSingle;
  }

 private:
  static constexpr std::uint32_t kFailed = 4;  ///< beside the MetricColumn::Kind bits

  const FinishOrder& order_;
  Lease<std::vector<double>> values_;   ///< per position
  Lease<std::vector<std::uint32_t>> states_;  ///< per position: kind of the metric, kFailed
};

/// The value a multi-operation module shows to `edge`; nothing when the
/// edge names no operation of it.
std::optional<double> operation_value(const NuvelGraphInner& graph, const Metric& metric,
                                      NodeIndex module, EdgeIndex edge);

}  // namespace nuvel
