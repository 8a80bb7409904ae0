// The aggregation passes as documented, record by record.
#include <algorithm>
#include <utility>

#include "aggregate.h"
#include "format.h"
#include "passes.h"
#include "paths.h"

namespace nuvel {

using log::Level;
constexpr std::string_view kAggregate = log::kAggregateTarget;

// ---- Shared pieces ---------------------------------------------------------

std::string cat(std::initializer_list<std::string_view> parts) {
  std::size_t size = 0;
  for (const std::string_view part : parts) size += part.size();
  std::string text;
  text.reserve(size);
  for (const std::string_view part : parts) text.append(part);
  return text;
}

PendingError Narrator::failure(std::string_view target, std::string message) const {
  if (errors_) log::emit(Level::Error, target, [&] { return message; });
  return value_error(std::move(message));
}

std::string_view name_of(const NuvelGraphInner& graph, NodeIndex node) {
  return graph.node(node).name.view();
}

const NodeMetrics::Entry* metric_of(const NuvelGraphInner& graph, NodeIndex node,
                                    const Metric& metric) {
  return metric.id ? graph.node(node).metrics.find(*metric.id) : nullptr;
}

void write_value(NuvelGraphInner& graph, NodeIndex node, NodeMetrics::Entry& entry, double value) {
  entry.set_value(value);
  if (!is_positive_zero(value)) graph.snapshot().add_reset_candidate(entry.metric(), node);
}

void PassValues::start(std::span<const NodeIndex> order) {
  if (scratch_ == nullptr) return;
  for (const NodeIndex n : order) (*scratch_)[n] = 0.0;
}

void PassValues::write(NodeIndex n, NodeMetrics::Entry& entry, double value) {
  if (scratch_ != nullptr) {
    (*scratch_)[n] = value;
  } else {
    write_value(graph_, n, entry, value);
  }
}

Result<NodeMetrics::Entry*> PassValues::aggregation_target(NodeIndex n, const Metric& metric) {
  NodeMetrics::Entry* entry = metric.id ? graph_.aggregated_metrics(n).find(*metric.id) : nullptr;
  if (entry != nullptr && entry->is_single()) return entry;
  return value_error(cat({"Metric '", metric.name, "' of event '", name_of(graph_, n),
                          "' is not a single value"}));
}

// ---- Paths with running products -------------------------------------------

namespace {

/// Running products of edge counts (and of factors for one metric) along
/// the current path, kept beside it while walk_paths grows and shrinks it.
struct RunningProducts {
  RunningProducts(const NuvelGraphInner& walked, const std::optional<Metric>& factor_metric,
                  const Narrator& narrating)
      : graph(walked), metric(factor_metric), narrator(narrating) {}

  const NuvelGraphInner& graph;
  const std::optional<Metric>& metric;  ///< no factors when absent
  const Narrator& narrator;
  std::vector<EdgeIndex> path;
  std::vector<double> counts{1.0};
  std::vector<double> factors{1.0};

  void push(EdgeIndex edge) {
    const EdgeData& data = graph.edge(edge);
    path.push_back(edge);
    counts.push_back(counts.back() * data.count);
    if (metric) {
      const double* factor = data.factor.find(metric->name);
      factors.push_back(factor != nullptr ? factors.back() * *factor : factors.back());
    }
  }
  void pop() {
    path.pop_back();
    counts.pop_back();
    if (metric) factors.pop_back();
  }
  double count() const { return counts.back(); }
  double factor() const { return factors.back(); }

  /// The per-edge Debug records of the current path, as if its products
  /// had been computed edge by edge.
  void narrate_edges() const {
    if (!narrator.debug_enabled()) return;
    for (std::size_t i = 0; i < path.size(); ++i) {
      narrator.debug([&] {
        const std::string_view source = name_of(graph, graph.source(path[i]));
        const std::string_view target = name_of(graph, graph.target(path[i]));
        if (!metric) {
          return cat({"  Path (<", source, "> -> <", target, ">) updates event count to <",
                      fmt_py(counts[i + 1]), ">."});
        }
        return cat({"  Path (<", source, "> -> <", target, ">) updates event count to <",
                    fmt_py(counts[i + 1]), "> and event factor to <", fmt_py(factors[i + 1]),
                    ">."});
      });
    }
  }
};

/// The path-by-path sum of walk_path_counts.
struct PathCounts : RunningProducts {
  PathCounts(const NuvelGraphInner& walked, const std::optional<Metric>& factor_metric,
             const Narrator& narrating, NodeIndex from, NodeIndex to)
      : RunningProducts(walked, factor_metric, narrating), workload(from), event(to) {}

  NodeIndex workload;
  NodeIndex event;
  double total = 0.0;
  bool any_path = false;

  bool complete() {
    any_path = true;
    narrate_edges();
    if (!metric) {
      narrator.debug([&] {
        return cat({"  Total event count (<", name_of(graph, workload), "> -> <",
                    name_of(graph, event), ">) is increased by <", fmt_py(count()), ">."});
      });
      total = total + count();
      return true;
    }
    const double path_total = factor() * count();
    narrator.debug([&] {
      return cat({"  Total event count (<", name_of(graph, workload), "> -> <",
                  name_of(graph, event), ">) is increased by <", fmt_py(path_total),
                  "> = count <", fmt_py(count()), "> * factor <", fmt_py(factor()), ">."});
    });
    total = total + path_total;
    return true;
  }
};

/// Per-path pricing of a multi-operation module: each path selects the
/// operation its last edge names and adds its weight to that operation.
struct OperationWeights : RunningProducts {
  OperationWeights(const NuvelGraphInner& walked, const std::optional<Metric>& factor_metric,
                   const Narrator& narrating, NodeIndex priced)
      : RunningProducts(walked, factor_metric, narrating), module(priced) {}

  NodeIndex module;
  struct Weight {
    double value;
    double count;
  };
  OrderedMap<Weight> weights;  ///< in the order operations were first selected
  std::optional<PendingError> failure;

  std::string legal_values() const {
    const NodeMetrics::Entry* entry = metric_of(graph, module, *metric);
    return fmt_debug_list(entry != nullptr && !entry->is_single() ? op_names(entry->ops())
                                                                  : std::vector<std::string>{});
  }

  bool complete() {
    if (path.empty()) return true;
    narrate_edges();
    const std::string_view name = metric->name;
    const std::string* named = graph.edge(path.back()).operation.find(name);
    if (named == nullptr) {
      failure = value_error(cat({"Missing operation for metric <", name,
                                 "> in multi-operation module <", name_of(graph, module),
                                 ">; legal values: ", legal_values(), "."}));
      return false;
    }
    const std::string operation = to_lower_unicode(*named);
    const NodeMetrics::Entry* entry = metric_of(graph, module, *metric);
    const SingleMetric* selected =
        entry != nullptr && !entry->is_single() ? entry->ops().find(operation) : nullptr;
    if (selected == nullptr) {
      failure = value_error(cat({"Invalid operation <", operation, "> for metric <", name,
                                 "> in module <", name_of(graph, module),
                                 ">; legal values: ", legal_values(), "."}));
      return false;
    }
    const double weight = count() * factor();
    const Weight* known = weights.find(operation);
    weights.insert_or_assign(operation,
                             Weight{selected->value, (known != nullptr ? known->count : 0.0) + weight});
    narrator.debug([&] {
      return cat({"  Total event count (<", name_of(graph, module), "> : <", operation,
                  ">) is increased by <", fmt_py(weight), "> = count <", fmt_py(count()),
                  "> * factor <", fmt_py(factor()), ">."});
    });
    return true;
  }
};

}  // namespace

PathSum walk_path_counts(const NuvelGraphInner& graph, NodeIndex workload, NodeIndex event,
                         const std::optional<Metric>& metric, const Narrator& narrator) {
  PathCounts walk(graph, metric, narrator, workload, event);
  walk_paths(graph, workload, event, walk);
  return {walk.total, walk.any_path};
}

Result<double> aggregate_summation_multiop(const NuvelGraphInner& graph, NodeIndex workload,
                                           NodeIndex module, const Metric& metric,
                                           const Narrator& narrator) {
  const std::optional<Metric> factor_metric = metric;
  OperationWeights walk(graph, factor_metric, narrator, module);
  walk_paths(graph, workload, module, walk);
  if (walk.failure) return std::move(*walk.failure);
  double total = 0.0;
  for (const auto& entry : walk.weights) {
    const auto& operation = entry.first;  // clang 14 cannot capture a structured binding
    const auto& weight = entry.second;
    const double result = weight.value * weight.count;
    narrator.debug([&] {
      return cat({"  Total value (<", name_of(graph, module), "> : <", operation, ">) = <",
                  fmt_py(result), "> <", metric_unit(graph, module, metric.name),
                  "> = single value <", fmt_py(weight.value), "> * count <",
                  fmt_py(weight.count), ">."});
    });
    total = total + result;
  }
  return total;
}

// ---- Mode module: a depth-first sum over the modules below -----------------

namespace {

/// Value times instance of a module reached first from `parent`; 0.0 for a
/// module reached before.
/// `parent` is the node that reached the module (the event itself when the
/// event is a module); names are read only for records that are written.
Result<double> module_value(const NuvelGraphInner& graph, NodeIndex module, NodeIndex parent,
                            const Metric& metric, NodeMarks& visited, const Narrator& narrator) {
  const auto name = [&] { return name_of(graph, module); };
  if (!visited.mark_new(module)) {
    narrator.info([&] { return cat({"Ignore repeated module <", name(), ">."}); });
    return 0.0;
  }
  const NodeMetrics::Entry* entry = metric_of(graph, module, metric);
  if (entry == nullptr || !entry->is_single()) {
    return narrator.failure(kAggregate,
                            cat({"Invalid metric <", metric.name, "> for module <", name(), ">."}));
  }
  narrator.info([&] {
    return cat({"Aggregate metric <", metric.name, "> for module <", name(), "> in event <",
                name_of(graph, parent), ">."});
  });
  const double value = entry->value();
  const double instance = graph.node(module).instance;
  const double result = value * instance;
  narrator.debug([&] {
    return cat({"  Total value (<", name_of(graph, parent), "> -> <", name(), ">) = <",
                fmt_py(result), "> <", graph.text(entry->unit()), "> = single value <",
                fmt_py(value), "> * instance <", fmt_py(instance), ">."});
  });
  return result;
}

}  // namespace

/// The walk visits inner nodes once per route, as the narration follows
/// routes. A second visit of a node whose walk has ended adds exactly 0.0
/// (every module below it was counted), so when its records would not be
/// delivered it is skipped: the result is the same without the cost of
/// every route. `done` marks visited modules and fully walked inner nodes.
Result<double> aggregate_module(const NuvelGraphInner& graph, NodeIndex root, const Metric& metric,
                                const Narrator& narrator) {
  AggregationSnapshot& snapshot = graph.snapshot();
  const Lease<NodeMarks> done = snapshot.marks(graph.node_count());
  if (graph.is_leaf(root)) return module_value(graph, root, root, metric, *done, narrator);
  struct Frame {
    NodeIndex node;
    const NodeIndex* next;  ///< walks the out-list backwards: list order
    const NodeIndex* end;
    double sum;
  };
  const OutLists lists = snapshot.out_lists(graph);
  const auto frame_of = [&](NodeIndex node) {
    const std::span<const NodeIndex> out = lists.targets(node);
    return Frame{node, out.data() + out.size(), out.data(), 0.0};
  };
  std::vector<Frame> frames{frame_of(root)};
  // Without Info records, a module's product comes from the metric's column.
  const MetricColumn* column = narrator.info_enabled() ? nullptr : &snapshot.column(graph, metric.name);
  for (;;) {
    Frame& frame = frames.back();
    if (frame.next == frame.end) {
      const double sum = frame.sum;
      done->mark(frame.node);
      frames.pop_back();
      if (frames.empty()) return sum;
      frames.back().sum = frames.back().sum + sum;
      continue;
    }
    const NodeIndex node = frame.node;
    const NodeIndex target = *--frame.next;
    narrator.debug([&] {
      return cat({"  Check subevent <", name_of(graph, node), "> -> <", name_of(graph, target),
                  ">."});
    });
    if (done->marked(target) && !narrator.info_enabled()) {
      // A module counted before, or an inner node walked before: 0.0 either
      // way (a sum that starts at +0.0 is unchanged by adding it), and its
      // records would not be delivered.
      continue;
    }
    if (!lists.is_leaf(target)) {
      frames.push_back(frame_of(target));
      continue;
    }
    if (column != nullptr && (column->kind[target] & MetricColumn::kHolds) == MetricColumn::kSingle) {
      done->mark(target);
      frame.sum = frame.sum + column->product[target];
      continue;
    }
    Result<double> value = module_value(graph, target, node, metric, *done, narrator);
    if (!value.ok()) return std::move(value.error());
    frame.sum = frame.sum + value.value();
  }
}

// ---- Mode summation: each edge pushes count x value x factor up ------------

namespace {

/// The value a child shows to the edge `edge` that reaches it.
Result<double> summation_value(const NuvelGraphInner& graph, NodeIndex child, EdgeIndex edge,
                               const Metric& metric, const Narrator& narrator,
                               const PassValues& values) {
  const NodeMetrics::Entry* entry = metric_of(graph, child, metric);
  if (entry == nullptr) return 0.0;
  if (entry->is_single()) return values.read(child, *entry);
  const std::string* named = graph.edge(edge).operation.find(metric.name);
  if (named == nullptr) {
    return value_error(cat({"Invalid operation for metric '", metric.name, "' in module '",
                            name_of(graph, child),
                            "'; multi-operation module requires an operation"}));
  }
  const std::string operation = to_lower_unicode(*named);
  if (const SingleMetric* selected = entry->ops().find(operation)) return selected->value;
  return narrator.failure(kAggregate, cat({"Invalid operation <", operation, "> for metric <",
                                           metric.name, "> in module <", name_of(graph, child),
                                           ">; legal values: ",
                                           fmt_debug_list(op_names(entry->ops())), "."}));
}

}  // namespace

Result<Done> aggregate_summation(NuvelGraphInner& graph, NodeIndex event, const Metric& metric,
                                 const Narrator& narrator, PassValues& values) {
  Result<std::vector<NodeIndex>> order = topological_sort_subgraph(graph, event);
  if (!order.ok()) return std::move(order.error());
  values.start(order.value());
  const Lease<NodeMarks> in_pass = graph.snapshot().marks(graph.node_count());
  for (const NodeIndex node : order.value()) in_pass->mark(node);

  for (const NodeIndex node : order.value()) {
    narrator.info([&] {
      return cat({"Aggregate metric <", metric.name,
                  graph.is_leaf(node) ? "> for module <" : "> for event <", name_of(graph, node),
                  ">."});
    });
    for (EdgeIndex edge = graph.first_in(node); edge != kNoIndex; edge = graph.next_in(edge)) {
      const NodeIndex parent = graph.source(edge);
      if (!in_pass->marked(parent)) continue;
      const double count = graph.edge(edge).count;
      const double factor = graph.edge(edge).factor_of(metric.name);
      Result<double> value = summation_value(graph, node, edge, metric, narrator, values);
      if (!value.ok()) return std::move(value.error());
      const double contribution = count * value.value() * factor;
      if (metric_of(graph, parent, metric) != nullptr) {
        Result<NodeMetrics::Entry*> single = values.aggregation_target(parent, metric);
        if (!single.ok()) return std::move(single.error());
        values.write(parent, *single.value(), values.read(parent, *single.value()) + contribution);
      }
      narrator.debug([&] {
        return cat({"  Total value (<", name_of(graph, parent), "> -> <", name_of(graph, node),
                    ">) = <", fmt_py(contribution), "> <",
                    metric_unit(graph, parent, metric.name), "> = single value <",
                    fmt_py(value.value()), "> * count <", fmt_py(count), "> * factor <",
                    fmt_py(factor), ">."});
      });
    }
  }
  return Done{};
}

// ---- Mode specified: a parallel maximum plus a sequential sum --------------

namespace {

/// What the children of one event give it in mode specified.
struct ChildSums {
  double sequential = 0.0;
  double parallel = 0.0;
  bool module_with_metric = false;
  bool only_modules = true;
};

/// Walks the children of `node` in list order: modules must hold the metric
/// as a Single and are otherwise ignored; sub-events over "parallel" edges
/// compete for the maximum, the others add up.
Result<ChildSums> sum_children(NuvelGraphInner& graph, NodeIndex node, const Metric& metric,
                               const Narrator& narrator, PassValues& values) {
  ChildSums sums;
  for (EdgeIndex edge = graph.first_out(node); edge != kNoIndex; edge = graph.next_out(edge)) {
    const NodeIndex child = graph.target(edge);
    const std::string_view child_name = name_of(graph, child);
    if (graph.is_leaf(child)) {
      const NodeMetrics::Entry* entry = metric_of(graph, child, metric);
      if (entry == nullptr || !entry->is_single()) {
        return narrator.failure(kAggregate,
                                cat({"Invalid metric <", metric.name, "> for event <", child_name,
                                     ">; legal metric: {'value': float, 'unit': str}."}));
      }
      sums.module_with_metric = true;
      narrator.debug([&] { return cat({"  Ignore module <", child_name, ">."}); });
      continue;
    }
    sums.only_modules = false;
    double value = 0.0;
    if (metric_of(graph, child, metric) != nullptr) {
      Result<NodeMetrics::Entry*> single = values.aggregation_target(child, metric);
      if (!single.ok()) return std::move(single.error());
      value = values.read(child, *single.value());
    }
    const double count = graph.edge(edge).count;
    const double factor = graph.edge(edge).factor_of(metric.name);
    const double contribution = value * count * factor;
    narrator.debug([&] {
      return cat({"  Total value (<", child_name, ">) = <", fmt_py(contribution), "> <",
                  metric_unit(graph, child, metric.name), "> = single value <", fmt_py(value),
                  "> * count <", fmt_py(count), "> * factor <", fmt_py(factor), ">."});
    });
    if (graph.edge(edge).aggregation == kParallel) {
      if (contribution > sums.parallel) {
        narrator.debug([&] {
          return cat({"  Update parallel maximum metric value to <", fmt_py(contribution),
                      ">, based on event <", child_name, ">."});
        });
        sums.parallel = contribution;
      }
    } else {
      narrator.debug([&] {
        return cat({"  Update sequential accumulated metric value by <", fmt_py(contribution),
                    ">, based on event <", child_name, ">."});
      });
      sums.sequential = sums.sequential + contribution;
    }
  }
  return sums;
}

/// The value of an event: the sums of its sub-events, or its own specified
/// value when it stands over modules only.
Result<double> decide_specified(const NuvelGraphInner& graph, NodeIndex node, const Metric& metric,
                                const Narrator& narrator, const ChildSums& sums) {
  const std::string_view name = name_of(graph, node);
  const SingleMetric* specified = graph.node(node).specified_metrics.find(metric.name);
  if (!sums.module_with_metric && specified != nullptr) {
    return narrator.failure(kAggregate, cat({"  Invalid metric <", metric.name, "> in event <", name,
                                             ">, since it is connected to no modules; check the "
                                             "performance model."}));
  }
  if (sums.module_with_metric && sums.only_modules) {
    if (specified == nullptr) {
      return narrator.failure(kAggregate, cat({"  Missing metric <", metric.name, "> in event <",
                                               name, ">, since it is only connected to modules; "
                                               "check the performance model."}));
    }
    return specified->value;
  }
  return sums.sequential + sums.parallel;
}

}  // namespace

Result<Done> aggregate_specified(NuvelGraphInner& graph, NodeIndex event, const Metric& metric,
                                 const Narrator& narrator, PassValues& values) {
  Result<std::vector<NodeIndex>> order = topological_sort_subgraph(graph, event);
  if (!order.ok()) return std::move(order.error());
  values.start(order.value());

  for (const NodeIndex node : order.value()) {
    const std::string_view name = name_of(graph, node);
    if (graph.is_leaf(node)) {
      narrator.info([&] { return cat({"Ignore module <", name, ">."}); });
      continue;
    }
    narrator.info([&] {
      return cat({"Aggregate metric <", metric.name, "> for event <", name, ">."});
    });
    Result<ChildSums> sums = sum_children(graph, node, metric, narrator, values);
    if (!sums.ok()) return std::move(sums.error());
    Result<double> decided = decide_specified(graph, node, metric, narrator, sums.value());
    if (!decided.ok()) return std::move(decided.error());
    if (metric_of(graph, node, metric) != nullptr) {
      Result<NodeMetrics::Entry*> single = values.aggregation_target(node, metric);
      if (!single.ok()) return std::move(single.error());
      values.write(node, *single.value(), decided.value());
    }
    narrator.debug([&] {
      return cat({"  Total value (<", name, ">) = <", fmt_py(decided.value()), "> <",
                  metric_unit(graph, node, metric.name), ">."});
    });
  }
  return Done{};
}

}  // namespace nuvel
