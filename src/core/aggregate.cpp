#include "aggregate.h"

#include <algorithm>
#include <unordered_set>
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

/// Error-and-raise on the method layer's target.
PendingError core_error(std::string message, const char* file = __builtin_FILE(),
                        std::uint32_t line = __builtin_LINE()) {
  return logged_error(kCore, std::move(message), file, line);
}

/// An entry's closing Debug record: "  Total value (<{workload}> ->
/// <{event}>) = <{result}>", without the workload part when none was
/// given, then " <{unit}>" when the call has one, " = single value
/// <{value}>" and " * count <{count}>" when given, and a full stop.
void narrate_total(std::optional<std::string_view> workload, std::string_view event, double result,
                   std::optional<std::string_view> unit, std::optional<double> value = std::nullopt,
                   std::optional<double> count = std::nullopt) {
  log::emit(Level::Debug, kCore, [&] {
    std::string text = workload ? cat({"  Total value (<", *workload, "> -> <", event, ">) = <"})
                                : cat({"  Total value (<", event, ">) = <"});
    text += fmt_py(result);
    text += '>';
    if (unit) text += cat({" <", *unit, ">"});
    if (value) text += cat({" = single value <", fmt_py(*value), ">"});
    if (count) text += cat({" * count <", fmt_py(*count), ">"});
    text += '.';
    return text;
  });
}

// ---- One call's checks -----------------------------------------------------

/// What one aggregate_event_metric call works on, after its checks.
struct Request {
  NodeIndex event;
  std::string_view event_name;
  std::optional<std::string_view> workload_name;  ///< as given, for the records
  std::optional<NodeIndex> workload;               ///< set when the result is scaled
};

/// A name of a call with the node it finds, if any.
struct Named {
  std::string_view name;
  std::optional<NodeIndex> node;
};

/// The checks before the reset: the event, and, when the call is scaled, the
/// workload and a path from it (reached(event node)). `report` makes each
/// failure.
template <class Reached, class Report>
Result<Request> check_request(Named workload_given, bool has_workload, Named event,
                              Reached&& reached, Report&& report) {
  if (!event.node) return report(cat({"Invalid event <", event.name, ">."}));
  const std::optional<std::string_view> workload =
      has_workload ? std::optional(workload_given.name) : std::nullopt;
  Request request{*event.node, event.name, workload, std::nullopt};
  if (workload && *workload != event.name) {
    if (!workload_given.node) return report(cat({"Invalid workload <", *workload, ">."}));
    if (!reached(*event.node)) {
      return report(cat({"Invalid event <", event.name, "> in workload <", *workload, ">."}));
    }
    request.workload = workload_given.node;
  }
  return request;
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

bool is_multiop_module(const NuvelGraphInner& graph, NodeIndex node, const Metric& metric,
                       const OutLists& lists) {
  if (!lists.is_leaf(node)) return false;
  const NodeMetrics::Entry* own = metric_of(graph, node, metric);
  return own != nullptr && !own->is_single();
}

/// The cycle failure of mode module, which walks inner nodes on every route.
bool module_walk_has_cycle(const NuvelGraphInner& graph, NodeIndex event) {
  // Only a graph with a cycle somewhere can have one below the event.
  return graph.snapshot().has_cycle(graph) && subgraph_has_cycle(graph, event);
}

Result<Done> narrated_pass(NuvelGraphInner& graph, NodeIndex event, const Metric& metric,
                           FastPass::Mode mode, const Narrator& narrator, PassValues& values) {
  return mode == FastPass::Mode::Summation
             ? aggregate_summation(graph, event, metric, narrator, values)
             : aggregate_specified(graph, event, metric, narrator, values);
}

/// The failure of the narrated pass below `event`, found by a dry run: the
/// fast pass knows that the pass fails, not how.
PendingError pass_failure(NuvelGraphInner& graph, NodeIndex event, const Metric& metric,
                          FastPass::Mode mode) {
  const Lease<std::vector<double>> scratch = graph.snapshot().values(graph.node_count());
  PassValues values(graph, *scratch);
  Result<Done> passed = narrated_pass(graph, event, metric, mode, Narrator::silent(), values);
  if (!passed.ok()) return std::move(passed.error());
  Result<NodeMetrics::Entry*> single = values.aggregation_target(event, metric);
  if (!single.ok()) return std::move(single.error());
  throw InternalError("a pass failed in its fast form only");
}

// ---- The metric reset ------------------------------------------------------

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

// ---- The modes of one call -------------------------------------------------

Result<double> run_module(const NuvelGraphInner& graph, const Request& request,
                          const Metric& metric, std::string_view unit) {
  if (request.workload_name) {
    log::emit(Level::Warn, kCore, [&] {
      return cat({"Ignore workload <", *request.workload_name, "> in aggregation <module>."});
    });
  }
  if (module_walk_has_cycle(graph, request.event)) return value_error(std::string(kCycleMessage));
  Result<double> result = aggregate_module(graph, request.event, metric, Narrator::for_call());
  if (result.ok()) narrate_total(request.workload_name, request.event_name, result.value(), unit);
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
  Result<Done> passed = narrated_pass(graph, request.event, metric, mode, narrator, values);
  if (!passed.ok()) return std::move(passed.error());
  Result<NodeMetrics::Entry*> single = values.aggregation_target(request.event, metric);
  if (!single.ok()) return std::move(single.error());
  return PassOutcome{count, single.value()->value()};
}

Result<double> run_specified(NuvelGraphInner& graph, const Request& request, const Metric& metric,
                             std::string_view unit) {
  if (graph.is_leaf(request.event)) return core_error(specified_on_module(request.event_name));
  Result<PassOutcome> outcome = run_pass(graph, request, metric, FastPass::Mode::Specified);
  if (!outcome.ok()) return std::move(outcome.error());
  const double count = outcome.value().count;
  const double value = outcome.value().value;
  const double result = count * value;
  narrate_total(request.workload_name, request.event_name, result, unit, value,
                request.workload_name ? std::optional(count) : std::nullopt);
  return result;
}

Result<double> run_summation(NuvelGraphInner& graph, const Request& request, const Metric& metric,
                             std::string_view unit) {
  if (is_multiop_module(graph, request.event, metric, graph.snapshot().out_lists(graph))) {
    if (!request.workload) return core_error(summation_on_multiop(request.event_name));
    Result<double> result = aggregate_summation_multiop(graph, *request.workload, request.event,
                                                        metric, Narrator::for_call());
    if (result.ok()) narrate_total(request.workload_name, request.event_name, result.value(), unit);
    return result;
  }
  Result<PassOutcome> outcome = run_pass(graph, request, metric, FastPass::Mode::Summation);
  if (!outcome.ok()) return std::move(outcome.error());
  const double count = outcome.value().count;
  const double value = outcome.value().value;
  if (!request.workload) {
    narrate_total(request.workload_name, request.event_name, value, unit);
    return value;
  }
  const double result = count * value;
  narrate_total(request.workload_name, request.event_name, result, unit, value, count);
  return result;
}

// ---- Many events at once ---------------------------------------------------

/// The nodes reachable from `workload` along at least one edge.
void mark_below(const NuvelGraphInner& graph, NodeIndex workload, NodeMarks& below) {
  AggregationSnapshot& snapshot = graph.snapshot();
  const OutLists lists = snapshot.out_lists(graph);
  const Lease<std::vector<NodeIndex>> stack = snapshot.nodes();
  stack->push_back(workload);
  while (!stack->empty()) {
    const NodeIndex node = stack->back();
    stack->pop_back();
    for (const NodeIndex target : lists.targets(node)) {
      if (below.mark_new(target)) stack->push_back(target);
    }
  }
}

/// The events a batch call covers: the given names, each once in order of
/// first mention; or every node with out-edges that its name finds, in node
/// order, and with a workload only those below it, the workload excluded.
std::vector<Named> batch_events(const NuvelGraphInner& graph, std::optional<NodeIndex> workload,
                                const NodeMarks& below, const std::optional<TextList>& events) {
  std::vector<Named> named;
  if (events) {
    std::unordered_set<std::string_view> seen;
    for (const std::string& name : *events) {
      if (seen.insert(name).second) named.push_back({name, graph.lookup(name)});
    }
    return named;
  }
  std::vector<NodeIndex> shadowed = graph.shadowed_nodes();
  std::sort(shadowed.begin(), shadowed.end());
  auto next_shadowed = shadowed.begin();
  const OutLists lists = graph.snapshot().out_lists(graph);
  for (NodeIndex n = 0; n < graph.node_count(); ++n) {
    while (next_shadowed != shadowed.end() && *next_shadowed < n) ++next_shadowed;
    if (lists.is_leaf(n) || (workload && (n == *workload || !below.marked(n)))) continue;
    if (next_shadowed == shadowed.end() || *next_shadowed != n) named.push_back({name_of(graph, n), n});
  }
  return named;
}

/// One event of a batch call that passed the checks before the pass.
struct BatchItem {
  std::string_view name;
  NodeIndex event;
  bool scaled;
  bool multiop;  ///< a multi-operation module priced per path
};

/// The counts of the scaled items, by their place in `items`.
std::vector<double> batch_counts(const NuvelGraphInner& graph, std::optional<NodeIndex> workload,
                                 std::span<const BatchItem> items, const std::optional<Metric>& metric) {
  std::vector<double> counts(items.size(), 1.0);
  if (!workload) return counts;
  std::vector<NodeIndex> events;
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].scaled && !items[i].multiop) {
      events.push_back(items[i].event);
      at.push_back(i);
    }
  }
  const std::vector<std::optional<PathSum>> exact = exact_path_counts(graph, *workload, events, metric);
  for (std::size_t k = 0; k < events.size(); ++k) {
    counts[at[k]] = exact[k] ? exact[k]->total
                             : walk_path_counts(graph, *workload, events[k], metric,
                                                Narrator::silent()).total;
  }
  return counts;
}

Result<EventValues> batch_module(const NuvelGraphInner& graph, std::span<const BatchItem> items,
                                 const Metric& metric) {
  EventValues values;
  values.reserve(items.size());
  for (const BatchItem& item : items) {
    if (module_walk_has_cycle(graph, item.event)) return value_error(std::string(kCycleMessage));
    Result<double> value = aggregate_module(graph, item.event, metric, Narrator::silent());
    if (!value.ok()) return std::move(value.error());
    values.emplace_back(item.name, value.value());
  }
  return values;
}

Result<EventValues> batch_pass(NuvelGraphInner& graph, std::optional<NodeIndex> workload,
                               std::span<const BatchItem> items, const Metric& metric,
                               FastPass::Mode mode) {
  const std::vector<double> counts = batch_counts(graph, workload, items, metric);
  const bool cycle = graph.snapshot().has_cycle(graph);
  // Past a share of the graph, a pass over every node costs less than one
  // over the events' sub-graphs.
  const bool dense = mode == FastPass::Mode::Summation && items.size() * 16 >= graph.node_count();
  std::optional<FastPass> pass;
  std::optional<DenseSummation> all;
  if (!cycle && dense) {
    all.emplace(graph, metric);
  } else if (!cycle) {
    pass.emplace(graph, metric, mode);
    for (const BatchItem& item : items) {
      if (!item.multiop) pass->add(item.event);
    }
  }
  const auto failed = [&](NodeIndex n) {
    return all ? all->failed(n) || !all->holds_single(n) : pass->failed(n) || !pass->holds_single(n);
  };
  const auto value_of = [&](NodeIndex n) { return all ? all->value(n) : pass->value(n); };
  EventValues values;
  values.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const BatchItem& item = items[i];
    double value = 0.0;
    if (item.multiop) {
      Result<double> priced = aggregate_summation_multiop(graph, *workload, item.event, metric,
                                                          Narrator::silent());
      if (!priced.ok()) return std::move(priced.error());
      value = priced.value();
    } else if (cycle) {
      return value_error(std::string(kCycleMessage));
    } else if (failed(item.event)) {
      return pass_failure(graph, item.event, metric, mode);
    } else {
      value = item.scaled ? counts[i] * value_of(item.event) : value_of(item.event);
    }
    values.emplace_back(item.name, value);
  }
  return values;
}

}  // namespace

std::optional<Mode> mode_of(std::string_view metric_aggregation) {
  if (metric_aggregation == "module") return Mode::Module;
  if (metric_aggregation == "summation") return Mode::Summation;
  if (metric_aggregation == "specified") return Mode::Specified;
  return std::nullopt;
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
    narrate_total(std::nullopt, *event, 1.0, std::nullopt);
    return 1.0;
  }
  const std::optional<NodeIndex> from = graph.lookup(*workload);
  if (!from) return core_error(cat({"Invalid workload <", *workload, ">."}));
  const std::optional<NodeIndex> to = graph.lookup(*event);
  if (!to) return core_error(cat({"Invalid event <", *event, ">."}));
  const Narrator narrator = Narrator::for_call();
  std::optional<PathSum> sum;
  if (!narrator.debug_enabled()) sum = exact_path_count(graph, *from, *to, std::nullopt);
  if (!sum) sum = walk_path_counts(graph, *from, *to, std::nullopt, narrator);
  if (!sum->any_path) {
    return core_error(cat({"Invalid event <", *event, "> in workload <", *workload, ">."}));
  }
  narrate_total(*workload, *event, sum->total, std::nullopt);
  return sum->total;
}

Result<ValueUnit> aggregate_event_metric(NuvelGraphInner& graph, std::string_view metric,
                                         std::string_view metric_aggregation,
                                         std::string_view unit,
                                         std::optional<std::string_view> workload,
                                         std::optional<std::string_view> event) {
  if (!event) return value_error("event argument is required");
  const Named workload_given{workload.value_or(""), workload ? graph.lookup(*workload) : std::nullopt};
  Result<Request> request = check_request(
      workload_given, workload.has_value(), Named{*event, graph.lookup(*event)},
      [&](NodeIndex node) { return reaches(graph, *workload_given.node, node); },
      [](std::string message) { return core_error(std::move(message)); });
  if (!request.ok()) return std::move(request.error());
  const Metric measured(graph, metric);

  reset_metric(graph, measured);

  const std::optional<Mode> mode = mode_of(metric_aggregation);
  if (!mode) return invalid_mode(metric_aggregation);
  Result<double> result = 0.0;
  switch (*mode) {
    case Mode::Module:
      result = run_module(graph, request.value(), measured, unit);
      break;
    case Mode::Summation:
      result = run_summation(graph, request.value(), measured, unit);
      break;
    case Mode::Specified:
      result = run_specified(graph, request.value(), measured, unit);
      break;
  }
  if (!result.ok()) return std::move(result.error());
  return ValueUnit{result.value(), unit};
}

Result<EventValues> aggregate_event_counts(const NuvelGraphInner& graph, std::string_view workload,
                                           const std::optional<TextList>& events) {
  const std::optional<NodeIndex> from = graph.lookup(workload);
  if (!from && !events) return value_error(cat({"Invalid workload <", workload, ">."}));
  const Lease<NodeMarks> below = graph.snapshot().marks(graph.node_count());
  if (from) mark_below(graph, *from, *below);
  // The checks of the single calls, in order, up to the first failure.
  EventValues values;
  std::vector<NodeIndex> targets;
  std::vector<std::size_t> at;
  std::optional<PendingError> failure;
  for (const Named& event : batch_events(graph, from, *below, events)) {
    if (event.name == workload) {
      values.emplace_back(event.name, 1.0);
      continue;
    }
    if (!from || !event.node) {
      failure = value_error(cat({from ? "Invalid event <" : "Invalid workload <",
                                 from ? event.name : workload, ">."}));
      break;
    }
    at.push_back(values.size());
    targets.push_back(*event.node);
    values.emplace_back(event.name, 0.0);
  }
  if (!targets.empty()) {
    const std::vector<std::optional<PathSum>> exact =
        exact_path_counts(graph, *from, targets, std::nullopt);
    for (std::size_t k = 0; k < targets.size(); ++k) {
      const PathSum sum = exact[k] ? *exact[k]
                                   : walk_path_counts(graph, *from, targets[k], std::nullopt,
                                                      Narrator::silent());
      if (!sum.any_path) {
        return value_error(cat({"Invalid event <", values[at[k]].first, "> in workload <",
                                workload, ">."}));
      }
      values[at[k]].second = sum.total;
    }
  }
  if (failure) return std::move(*failure);
  return values;
}

Result<EventValues> aggregate_event_metrics(NuvelGraphInner& graph, std::string_view metric,
                                            std::string_view metric_aggregation,
                                            std::string_view /*unit: returned by the single calls only*/,
                                            std::optional<std::string_view> workload,
                                            const std::optional<TextList>& events) {
  const Named workload_given{workload.value_or(""), workload ? graph.lookup(*workload) : std::nullopt};
  const std::optional<NodeIndex> scale_to = workload_given.node;
  if (workload && !scale_to && !events) return value_error(cat({"Invalid workload <", *workload, ">."}));
  const Lease<NodeMarks> below = graph.snapshot().marks(graph.node_count());
  if (scale_to) mark_below(graph, *scale_to, *below);
  const Metric measured(graph, metric);
  const std::optional<Mode> mode = mode_of(metric_aggregation);
  // The checks of the single calls before their passes, in order, up to the
  // first failure; the passes then run for the events before it.
  std::vector<BatchItem> items;
  std::optional<PendingError> failure;
  const OutLists lists = graph.snapshot().out_lists(graph);
  const std::vector<Named> named = batch_events(graph, scale_to, *below, events);
  items.reserve(named.size());
  for (const Named& event : named) {
    const std::string_view name = event.name;
    // Events of the graph's own listing pass these checks by construction.
    if (events) {
      Result<Request> request = check_request(
          workload_given, workload.has_value(), event,
          [&](NodeIndex node) { return below->marked(node); },
          [](std::string message) { return value_error(std::move(message)); });
      if (!request.ok()) {
        failure = std::move(request.error());
        break;
      }
    }
    if (!mode) {
      failure = invalid_mode(metric_aggregation);
      break;
    }
    const NodeIndex node = *event.node;
    BatchItem item{name, node, workload && *workload != name, false};
    if (*mode == Mode::Specified && lists.is_leaf(node)) {
      failure = value_error(specified_on_module(name));
      break;
    }
    if (*mode == Mode::Summation && is_multiop_module(graph, node, measured, lists)) {
      if (!item.scaled) {
        failure = value_error(summation_on_multiop(name));
        break;
      }
      item.multiop = true;
    }
    items.push_back(item);
  }
  Result<EventValues> values = EventValues{};
  if (!items.empty()) {
    switch (*mode) {
      case Mode::Module:
        values = batch_module(graph, items, measured);
        break;
      case Mode::Summation:
        values = batch_pass(graph, scale_to, items, measured, FastPass::Mode::Summation);
        break;
      case Mode::Specified:
        values = batch_pass(graph, scale_to, items, measured, FastPass::Mode::Specified);
        break;
    }
  }
  if (!values.ok() || !failure) return values;
  return std::move(*failure);
}

}  // namespace nuvel
