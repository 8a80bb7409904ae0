#include "aggregate.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "format.h"
#include "log.h"
#include "passes.h"
#include "paths.h"

namespace nuvel {
namespace {

using log::Level;
constexpr std::string_view kCore = log::kCoreTarget;

/// Error-and-raise: the message is logged at Error level, then raised.
PendingError logged_error(std::string message) {
  log::emit(Level::Error, kCore, [&] { return message; });
  return value_error(std::move(message));
}

// ---- One call's checks --------------------------------------------------------

/// What one aggregate_event_metric call works on, after its checks.
struct Request {
  NodeIndex event;
  std::string_view event_name;
  std::optional<std::string_view> workload_name;  ///< as given, for the records
  std::optional<NodeIndex> workload;               ///< set when the result is scaled
};

/// The checks before the reset: the event, and the workload and a path from
/// it when the call is scaled. `report` makes each failure's Error record.
template <class Report>
Result<Request> check_request(const NuvelGraphInner& graph, std::optional<std::string_view> workload,
                              std::string_view event, Report&& report) {
  const std::optional<NodeIndex> event_node = graph.lookup(event);
  if (!event_node) return report(cat({"Invalid event <", event, ">."}));
  Request request{*event_node, event, workload, std::nullopt};
  if (workload && *workload != event) {
    const std::optional<NodeIndex> workload_node = graph.lookup(*workload);
    if (!workload_node) return report(cat({"Invalid workload <", *workload, ">."}));
    if (!reaches(graph, *workload_node, *event_node)) {
      return report(cat({"Invalid event <", event, "> in workload <", *workload, ">."}));
    }
    request.workload = *workload_node;
  }
  return request;
}

enum class Mode { Module, Summation, Specified };

std::optional<Mode> mode_of(std::string_view metric_aggregation) {
  if (metric_aggregation == "module") return Mode::Module;
  if (metric_aggregation == "summation") return Mode::Summation;
  if (metric_aggregation == "specified") return Mode::Specified;
  return std::nullopt;
}

PendingError invalid_mode(std::string_view metric_aggregation) {
  return value_error(cat({"Invalid aggregation '", metric_aggregation,
                          "'; legal: module, summation, specified"}));
}

std::string specified_on_module(std::string_view event) {
  return cat({"Invalid module <", event,
              "> for aggregation <specified>; this aggregation requires an event."});
}

std::string summation_on_multiop(std::string_view event) {
  return cat({"Invalid module <", event,
              "> for aggregation <summation>; this aggregation does not support "
              "multi-operation module."});
}

bool is_multiop_module(const NuvelGraphInner& graph, NodeIndex node, const Metric& metric) {
  const NodeMetrics::Entry* own = metric_of(graph, node, metric);
  return graph.is_leaf(node) && own != nullptr && !own->is_single();
}

/// The cycle failure of mode module, which walks inner nodes on every route.
bool module_walk_has_cycle(const NuvelGraphInner& graph, NodeIndex event) {
  // Only a graph with a cycle somewhere can have one below the event.
  return graph.snapshot().has_cycle(graph) && subgraph_has_cycle(graph, event);
}

double path_count(const NuvelGraphInner& graph, NodeIndex workload, NodeIndex event,
                  const std::optional<Metric>& metric, const Narrator& narrator) {
  if (!narrator.debug_enabled()) {
    if (const std::optional<PathSum> exact = exact_path_count(graph, workload, event, metric)) {
      return exact->total;
    }
  }
  return walk_path_counts(graph, workload, event, metric, narrator).total;
}

Result<Unit> narrated_pass(NuvelGraphInner& graph, NodeIndex event, const Metric& metric,
                           FastPass::Mode mode, const Narrator& narrator, PassValues& values) {
  return mode == FastPass::Mode::Summation
             ? aggregate_summation(graph, event, metric, narrator, values)
             : aggregate_specified(graph, event, metric, narrator, values);
}

// ---- The metric reset -----------------------------------------------------------

/// Sets the metric to 0.0 in every node with out-edges, in ascending index
/// order. Only the metric's reset candidates can hold anything else, so
/// only they are visited.
void reset_metric(NuvelGraphInner& graph, const Metric& metric) {
  if (!metric.id) return;
  for (const NodeIndex node : graph.snapshot().take_reset_candidates(*metric.id)) {
    NodeMetrics::Entry* entry = graph.aggregated_metrics(node).find(*metric.id);
    if (entry == nullptr || !entry->is_single()) continue;
    const double old = entry->value();
    entry->set_value(0.0);
    if (!(old == 0.0)) {
      log::emit(Level::Debug, kCore, [&] {
        return cat({"  Reset metric <", metric.name, "> in event <", name_of(graph, node),
                    "> to 0."});
      });
    }
  }
}

// ---- The modes of one call --------------------------------------------------------

Result<double> run_module(const NuvelGraphInner& graph, const Request& request,
                          const Metric& metric, std::string_view unit) {
  if (request.workload_name) {
    log::emit(Level::Warn, kCore, [&] {
      return cat({"Ignore workload <", *request.workload_name, "> in aggregation <module>."});
    });
  }
  if (module_walk_has_cycle(graph, request.event)) return value_error(std::string(kCycleMessage));
  Result<double> result = aggregate_module(graph, request.event, metric, Narrator::for_call());
  if (!result.ok()) return result;
  log::emit(Level::Debug, kCore, [&] {
    if (request.workload_name) {
      return cat({"  Total value (<", *request.workload_name, "> -> <", request.event_name,
                  ">) = <", fmt_py(result.value()), "> <", unit, ">."});
    }
    return cat({"  Total value (<", request.event_name, ">) = <", fmt_py(result.value()), "> <",
                unit, ">."});
  });
  return result;
}

/// The event's value from the fast pass, written into the graph as the
/// narrated pass writes it; nothing when the narrated pass would fail.
std::optional<double> fast_pass(NuvelGraphInner& graph, NodeIndex event, const Metric& metric,
                                FastPass::Mode mode) {
  if (graph.snapshot().has_cycle(graph)) return std::nullopt;
  FastPass pass(graph, metric, mode);
  pass.add(event);
  if (pass.failed(event) || !pass.holds_single(event)) return std::nullopt;
  for (const NodeIndex node : pass.order()) {
    if (!pass.is_leaf(node) && pass.holds_single(node)) {
      write_value(graph, node, *graph.aggregated_metrics(node).find(*metric.id), pass.value(node));
    }
  }
  return pass.value(event);
}

/// What a bottom-up pass gives the entry: the workload's path count (1.0
/// unscaled) and the event's value after the pass.
struct PassOutcome {
  double count;
  double value;
};

Result<PassOutcome> run_pass(NuvelGraphInner& graph, const Request& request, const Metric& metric,
                             FastPass::Mode mode) {
  const Narrator narrator = Narrator::for_call();
  const double count =
      request.workload ? path_count(graph, *request.workload, request.event, metric, narrator) : 1.0;
  if (narrator.quiet()) {
    if (const std::optional<double> value = fast_pass(graph, request.event, metric, mode)) {
      return PassOutcome{count, *value};
    }
  }
  PassValues values(graph);
  Result<Unit> passed = narrated_pass(graph, request.event, metric, mode, narrator, values);
  if (!passed.ok()) return std::move(passed.error());
  Result<NodeMetrics::Entry*> single = values.single(request.event, metric);
  if (!single.ok()) return std::move(single.error());
  return PassOutcome{count, single.value()->value()};
}

Result<double> run_specified(NuvelGraphInner& graph, const Request& request, const Metric& metric,
                             std::string_view unit) {
  if (graph.is_leaf(request.event)) return logged_error(specified_on_module(request.event_name));
  Result<PassOutcome> outcome = run_pass(graph, request, metric, FastPass::Mode::Specified);
  if (!outcome.ok()) return std::move(outcome.error());
  const double count = outcome.value().count;
  const double value = outcome.value().value;
  const double result = count * value;
  log::emit(Level::Debug, kCore, [&] {
    if (request.workload_name) {
      return cat({"  Total value (<", *request.workload_name, "> -> <", request.event_name,
                  ">) = <", fmt_py(result), "> <", unit, "> = single value <",
                  fmt_py(value), "> * count <", fmt_py(count), ">."});
    }
    return cat({"  Total value (<", request.event_name, ">) = <", fmt_py(result), "> <",
                unit, "> = single value <", fmt_py(value), ">."});
  });
  return result;
}

Result<double> run_summation(NuvelGraphInner& graph, const Request& request, const Metric& metric,
                             std::string_view unit) {
  if (is_multiop_module(graph, request.event, metric)) {
    if (!request.workload) return logged_error(summation_on_multiop(request.event_name));
    Result<double> result = aggregate_summation_multiop(graph, *request.workload, request.event,
                                                        metric, Narrator::for_call());
    if (!result.ok()) return result;
    log::emit(Level::Debug, kCore, [&] {
      return cat({"  Total value (<", *request.workload_name, "> -> <", request.event_name,
                  ">) = <", fmt_py(result.value()), "> <", unit, ">."});
    });
    return result;
  }
  Result<PassOutcome> outcome = run_pass(graph, request, metric, FastPass::Mode::Summation);
  if (!outcome.ok()) return std::move(outcome.error());
  const double count = outcome.value().count;
  const double value = outcome.value().value;
  if (!request.workload) {
    log::emit(Level::Debug, kCore, [&] {
      if (request.workload_name) {
        return cat({"  Total value (<", *request.workload_name, "> -> <", request.event_name,
                    ">) = <", fmt_py(value), "> <", unit, ">."});
      }
      return cat({"  Total value (<", request.event_name, ">) = <", fmt_py(value), "> <",
                  unit, ">."});
    });
    return value;
  }
  const double result = count * value;
  log::emit(Level::Debug, kCore, [&] {
    return cat({"  Total value (<", *request.workload_name, "> -> <", request.event_name,
                ">) = <", fmt_py(result), "> <", unit, "> = single value <",
                fmt_py(value), "> * count <", fmt_py(count), ">."});
  });
  return result;
}

}  // namespace

std::string metric_unit(const NuvelGraphInner& graph, NodeIndex node, std::string_view metric) {
  const NodeMetrics::Entry* entry = metric_of(graph, node, Metric(graph, metric));
  if (entry == nullptr) return {};
  if (entry->is_single()) return std::string(graph.text(entry->unit()));
  const MultiOp& ops = entry->ops();
  return ops.empty() ? std::string() : ops.begin()->second.unit;
}

double compute_path_count(const NuvelGraphInner& graph, NodeIndex workload, NodeIndex event,
                          std::string_view metric) {
  return path_count(graph, workload, event, Metric(graph, metric), Narrator::for_call());
}

Result<double> aggregate_event_count(const NuvelGraphInner& graph,
                                     std::optional<std::string_view> workload,
                                     std::optional<std::string_view> event) {
  if (!event) return value_error("event argument is required");
  if (!workload || *workload == *event) {
    log::emit(Level::Debug, kCore, [&] {
      return cat({"  Total value (<", *event, ">) = <", fmt_py(1.0), ">."});
    });
    return 1.0;
  }
  const std::optional<NodeIndex> from = graph.lookup(*workload);
  if (!from) return logged_error(cat({"Invalid workload <", *workload, ">."}));
  const std::optional<NodeIndex> to = graph.lookup(*event);
  if (!to) return logged_error(cat({"Invalid event <", *event, ">."}));
  const Narrator narrator = Narrator::for_call();
  std::optional<PathSum> sum;
  if (!narrator.debug_enabled()) sum = exact_path_count(graph, *from, *to, std::nullopt);
  if (!sum) sum = walk_path_counts(graph, *from, *to, std::nullopt, narrator);
  if (!sum->any_path) {
    return logged_error(cat({"Invalid event <", *event, "> in workload <", *workload, ">."}));
  }
  const double total = sum->total;
  log::emit(Level::Debug, kCore, [&] {
    return cat({"  Total value (<", *workload, "> -> <", *event, ">) = <", fmt_py(total), ">."});
  });
  return total;
}

Result<ValueUnit> aggregate_event_metric(NuvelGraphInner& graph, std::string_view metric,
                                         std::string_view metric_aggregation,
                                         std::string_view metric_unit,
                                         std::optional<std::string_view> workload,
                                         std::optional<std::string_view> event) {
  if (!event) return value_error("event argument is required");
  Result<Request> request = check_request(graph, workload, *event, logged_error);
  if (!request.ok()) return std::move(request.error());
  const Metric measured(graph, metric);

  reset_metric(graph, measured);

  const std::optional<Mode> mode = mode_of(metric_aggregation);
  if (!mode) return invalid_mode(metric_aggregation);
  Result<double> result = 0.0;
  switch (*mode) {
    case Mode::Module:
      result = run_module(graph, request.value(), measured, metric_unit);
      break;
    case Mode::Summation:
      result = run_summation(graph, request.value(), measured, metric_unit);
      break;
    case Mode::Specified:
      result = run_specified(graph, request.value(), measured, metric_unit);
      break;
  }
  if (!result.ok()) return std::move(result.error());
  return ValueUnit{result.value(), metric_unit};
}

}  // namespace nuvel
