#include "aggregate.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "format.h"
#include "log.h"
#include "paths.h"

namespace nuvel {
namespace {

using log::Level;
constexpr std::string_view kCore = log::kCoreTarget;
constexpr std::string_view kAggregate = log::kAggregateTarget;

std::string cat(std::initializer_list<std::string_view> parts) {
  std::size_t size = 0;
  for (const std::string_view part : parts) size += part.size();
  std::string text;
  text.reserve(size);
  for (const std::string_view part : parts) text.append(part);
  return text;
}

/// The engine's Info and Debug records for one call. A level that is not
/// delivered when the call starts never will be in this process (a target's
/// level is fixed at its first record), so the call skips those record
/// sites outright instead of asking per record; a delivered level is still
/// checked by every record.
class Narrator {
 public:
  Narrator()
      : info_(log::would_emit(Level::Info, kAggregate)),
        debug_(log::would_emit(Level::Debug, kAggregate)) {}

  template <class MakeMessage>
  void info(MakeMessage&& make_message, const char* file = __builtin_FILE(),
            std::uint32_t line = __builtin_LINE()) const {
    if (info_) log::emit(Level::Info, kAggregate, make_message, file, line);
  }
  template <class MakeMessage>
  void debug(MakeMessage&& make_message, const char* file = __builtin_FILE(),
             std::uint32_t line = __builtin_LINE()) const {
    if (debug_) log::emit(Level::Debug, kAggregate, make_message, file, line);
  }
  bool info_enabled() const { return info_; }

 private:
  bool info_;
  bool debug_;
};

// ---------------------------------------------------------------------------
// Reading the metric of a node

std::string_view name_of(const NuvelGraphInner& graph, NodeIndex node) {
  return graph.node(node).name.view();
}

const MetricValue* metric_of(const NuvelGraphInner& graph, NodeIndex node,
                             std::string_view metric) {
  return graph.node(node).metrics.find(metric);
}

double factor_of(const EdgeData& edge, std::string_view metric) {
  const double* factor = edge.factor.find(metric);
  return factor != nullptr ? *factor : 1.0;
}

/// The Single of a node's metric that a pass writes or the entry reads; a
/// missing or multi-operation metric there has no defined meaning and fails.
Result<SingleMetric*> single_of(NuvelGraphInner& graph, NodeIndex node, std::string_view metric) {
  graph.forget_module_products(node);
  MetricValue* value = graph.node(node).metrics.find(metric);
  if (value != nullptr) {
    if (auto* single = std::get_if<SingleMetric>(value)) return single;
  }
  return value_error(cat({"Metric '", metric, "' of event '", name_of(graph, node),
                          "' is not a single value"}));
}

// ---------------------------------------------------------------------------
// Paths with running products

/// Running products of edge counts (and of factors for one metric) along
/// the current path, kept beside it while walk_paths grows and shrinks it.
struct RunningProducts {
  RunningProducts(const NuvelGraphInner& walked, std::optional<std::string_view> metric)
      : graph(walked), factor_metric(metric) {}

  const NuvelGraphInner& graph;
  std::optional<std::string_view> factor_metric;  ///< no factors when absent
  std::vector<EdgeIndex> path;
  std::vector<double> counts{1.0};
  std::vector<double> factors{1.0};

  void push(EdgeIndex edge) {
    const EdgeData& data = graph.edge(edge);
    path.push_back(edge);
    counts.push_back(counts.back() * data.count);
    if (factor_metric) {
      const double* factor = data.factor.find(*factor_metric);
      factors.push_back(factor != nullptr ? factors.back() * *factor : factors.back());
    }
  }
  void pop() {
    path.pop_back();
    counts.pop_back();
    if (factor_metric) factors.pop_back();
  }
  double count() const { return counts.back(); }
  double factor() const { return factors.back(); }

  /// The per-edge Debug records of the current path, as if its products
  /// had been computed edge by edge.
  void narrate_edges() const {
    if (!log::would_emit(Level::Debug, kAggregate)) return;
    for (std::size_t i = 0; i < path.size(); ++i) {
      log::emit(Level::Debug, kAggregate, [&] {
        const std::string_view source = name_of(graph, graph.source(path[i]));
        const std::string_view target = name_of(graph, graph.target(path[i]));
        if (!factor_metric) {
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

/// The sum over the paths from `from` to `to` of each path's product of
/// edge counts (times the product of the factors for `metric`, when given),
/// computed over the sub-graph instead of path by path. Used only when that
/// gives the very bits of the path-by-path sum: when no step of either
/// computation rounds. That holds when the graph is acyclic and every count
/// and factor is a binary fraction (k / 2^b), and 2^F times a bound B stays
/// within 2^52, where F bounds the fraction bits of any product along a
/// path and B bounds the magnitude of every product and partial sum (weights
/// below one counted as one, which covers every prefix of a path): every
/// value met is then a multiple of 2^-F below 2^(52-F), held exactly.
struct ExactSum {
  double total;
  bool any_path;
};

/// Fraction bits of a finite double (0 for an integer), or -1 past 60.
int fraction_bits(double x) {
  for (int bits = 0; bits <= 60; ++bits) {
    const double scaled = std::ldexp(x, bits);
    if (std::trunc(scaled) == scaled) return bits;
  }
  return -1;
}

std::optional<ExactSum> exact_path_sum(const NuvelGraphInner& graph, NodeIndex from, NodeIndex to,
                                       std::optional<std::string_view> metric) {
  if (graph.structure_facts().has_cycle) return std::nullopt;
  const std::vector<std::uint8_t> leads_to = ancestors_of(graph, to);
  if (leads_to[from] == 0) return ExactSum{0.0, false};
  if (from == to) return ExactSum{1.0, true};

  struct Sums {
    double value;
    double bound;
    int bits;
  };
  constexpr std::uint32_t kUnseen = 0xFFFFFFFFu;
  std::vector<std::uint32_t> slot(graph.node_count(), kUnseen);
  std::vector<Sums> sums{{1.0, 1.0, 0}};
  slot[to] = 0;
  struct Frame {
    NodeIndex node;
    EdgeIndex next;
    Sums sums;
  };
  std::vector<Frame> frames{{from, graph.first_out(from), {0.0, 0.0, 0}}};
  while (!frames.empty()) {
    Frame& frame = frames.back();
    if (frame.next == kNoIndex) {
      slot[frame.node] = static_cast<std::uint32_t>(sums.size());
      sums.push_back(frame.sums);
      frames.pop_back();
      continue;
    }
    const EdgeIndex edge = frame.next;
    const NodeIndex target = graph.target(edge);
    if (leads_to[target] == 0) {
      frame.next = graph.next_out(edge);
      continue;
    }
    if (slot[target] == kUnseen) {
      frames.push_back({target, graph.first_out(target), {0.0, 0.0, 0}});
      continue;  // `edge` is taken again once its target is summed
    }
    frame.next = graph.next_out(edge);
    const double count = graph.edge(edge).count;
    const double* factor = metric ? graph.edge(edge).factor.find(*metric) : nullptr;
    const double weight_factor = factor != nullptr ? *factor : 1.0;
    const int count_bits = std::isfinite(count) ? fraction_bits(count) : -1;
    const int factor_bits = std::isfinite(weight_factor) ? fraction_bits(weight_factor) : -1;
    if (count_bits < 0 || factor_bits < 0) return std::nullopt;
    const Sums& below = sums[slot[target]];
    frame.sums.bits = std::max(frame.sums.bits, count_bits + factor_bits + below.bits);
    frame.sums.bound += std::max(std::fabs(count), 1.0) * std::max(std::fabs(weight_factor), 1.0) *
                        below.bound;
    if (frame.sums.bits > 52 || !(frame.sums.bound <= std::ldexp(1.0, 52 - frame.sums.bits))) {
      return std::nullopt;
    }
    frame.sums.value = frame.sums.value + count * weight_factor * below.value;
  }
  return ExactSum{sums[slot[from]].value, true};
}

struct EventCount : RunningProducts {
  NodeIndex workload;
  NodeIndex event;
  double total = 0.0;
  std::size_t paths = 0;

  bool complete() {
    ++paths;
    narrate_edges();
    log::emit(Level::Debug, kAggregate, [&] {
      return cat({"  Total event count (<", name_of(graph, workload), "> -> <",
                  name_of(graph, event), ">) is increased by <", fmt_py(count()), ">."});
    });
    total = total + count();
    return true;
  }
};

struct WeightedCount : RunningProducts {
  NodeIndex workload;
  NodeIndex event;
  double total = 0.0;

  bool complete() {
    narrate_edges();
    const double path_total = factor() * count();
    log::emit(Level::Debug, kAggregate, [&] {
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
  NodeIndex module;
  std::string_view metric;
  struct Weight {
    double value;
    double count;
  };
  OrderedMap<Weight> weights;  ///< in the order operations were first selected
  std::optional<PendingError> failure;

  std::string legal_values() const {
    const MetricValue* value = metric_of(graph, module, metric);
    return fmt_debug_list(value != nullptr ? op_names(*value) : std::vector<std::string>{});
  }

  bool complete() {
    if (path.empty()) return true;
    narrate_edges();
    const std::string* named = graph.edge(path.back()).operation.find(metric);
    if (named == nullptr) {
      failure = value_error(cat({"Missing operation for metric <", metric,
                                 "> in multi-operation module <", name_of(graph, module),
                                 ">; legal values: ", legal_values(), "."}));
      return false;
    }
    const std::string operation = to_lower_unicode(*named);
    const MetricValue* value = metric_of(graph, module, metric);
    const MultiOp* ops = value != nullptr ? std::get_if<MultiOp>(value) : nullptr;
    const SingleMetric* selected = ops != nullptr ? ops->find(operation) : nullptr;
    if (selected == nullptr) {
      failure = value_error(cat({"Invalid operation <", operation, "> for metric <", metric,
                                 "> in module <", name_of(graph, module),
                                 ">; legal values: ", legal_values(), "."}));
      return false;
    }
    const double weight = count() * factor();
    Weight* known = weights.find(operation);
    weights.insert_or_assign(operation,
                             Weight{selected->value, (known != nullptr ? known->count : 0.0) + weight});
    log::emit(Level::Debug, kAggregate, [&] {
      return cat({"  Total event count (<", name_of(graph, module), "> : <", operation,
                  ">) is increased by <", fmt_py(weight), "> = count <", fmt_py(count()),
                  "> * factor <", fmt_py(factor()), ">."});
    });
    return true;
  }
};

Result<double> aggregate_summation_multiop(const NuvelGraphInner& graph, NodeIndex workload,
                                           NodeIndex module, std::string_view metric) {
  OperationWeights walk{{graph, metric}, module, metric, {}, std::nullopt};
  walk_paths(graph, workload, module, walk);
  if (walk.failure) return std::move(*walk.failure);
  double total = 0.0;
  for (const auto& entry : walk.weights) {
    const std::string& operation = entry.first;
    const OperationWeights::Weight& weight = entry.second;
    const double result = weight.value * weight.count;
    log::emit(Level::Debug, kAggregate, [&] {
      return cat({"  Total value (<", name_of(graph, module), "> : <", operation, ">) = <",
                  fmt_py(result), "> <", metric_unit(graph, module, metric),
                  "> = single value <", fmt_py(weight.value), "> * count <",
                  fmt_py(weight.count), ">."});
    });
    total = total + result;
  }
  return total;
}

// ---------------------------------------------------------------------------
// Mode module: a depth-first sum over the modules below the event

/// Value times instance of a module reached first from `parent`; 0.0 for a
/// module reached before.
/// `parent` is the node that reached the module (the event itself when the
/// event is a module); names are read only for records that are written.
Result<double> module_value(const NuvelGraphInner& graph, NodeIndex module, NodeIndex parent,
                            std::string_view metric, std::vector<std::uint8_t>& visited,
                            const Narrator& narrator) {
  const auto name = [&] { return name_of(graph, module); };
  if (visited[module] != 0) {
    narrator.info([&] { return cat({"Ignore repeated module <", name(), ">."}); });
    return 0.0;
  }
  visited[module] = 1;
  const MetricValue* value = metric_of(graph, module, metric);
  const SingleMetric* single = value != nullptr ? std::get_if<SingleMetric>(value) : nullptr;
  if (single == nullptr) {
    return logged_error(kAggregate, cat({"Invalid metric <", metric, "> for module <", name(), ">."}));
  }
  narrator.info([&] {
    return cat({"Aggregate metric <", metric, "> for module <", name(), "> in event <",
                name_of(graph, parent), ">."});
  });
  const double instance = graph.node(module).instance;
  const double result = single->value * instance;
  narrator.debug([&] {
    return cat({"  Total value (<", name_of(graph, parent), "> -> <", name(), ">) = <",
                fmt_py(result), "> <", single->unit, "> = single value <", fmt_py(single->value),
                "> * instance <", fmt_py(instance), ">."});
  });
  return result;
}

/// A module's value x instance from the graph's cache; nothing for a metric
/// that is missing or not a Single, which module_value reports.
std::optional<double> cached_product(const NuvelGraphInner& graph, ModuleProducts& products,
                                     NodeIndex module) {
  if (products.state[module] == ModuleProducts::kUnread) {
    const MetricValue* value = metric_of(graph, module, products.metric);
    const SingleMetric* single = value != nullptr ? std::get_if<SingleMetric>(value) : nullptr;
    if (single == nullptr) {
      products.state[module] = ModuleProducts::kNotSingle;
    } else {
      products.state[module] = ModuleProducts::kSingle;
      products.product[module] = single->value * graph.node(module).instance;
    }
  }
  if (products.state[module] != ModuleProducts::kSingle) return std::nullopt;
  return products.product[module];
}

/// The walk visits inner nodes once per route, as the narration follows
/// routes. A second visit of a node whose walk has ended adds exactly 0.0
/// (every module below it was counted), so when its records would not be
/// delivered it is skipped: the result is the same without the cost of
/// every route. `done` marks visited modules and fully walked inner nodes.
Result<double> aggregate_module(const NuvelGraphInner& graph, NodeIndex root,
                                std::string_view metric) {
  const Narrator narrator;
  std::vector<std::uint8_t> done(graph.node_count(), 0);
  if (graph.is_leaf(root)) return module_value(graph, root, root, metric, done, narrator);
  // The packed lists hold each out-list in list order.
  const PackedOutLists& lists = graph.packed_out_lists();
  struct Frame {
    NodeIndex node;
    std::uint32_t next;  ///< position in lists.targets
    double sum;
  };
  const auto frame_of = [&](NodeIndex node) { return Frame{node, lists.begin[node], 0.0}; };
  std::vector<Frame> frames{frame_of(root)};
  // Without records, a module's product comes from the cache.
  ModuleProducts* products = narrator.info_enabled() ? nullptr : &graph.module_products(metric);
  for (;;) {
    Frame& frame = frames.back();
    if (frame.next == lists.begin[frame.node + 1]) {
      const double sum = frame.sum;
      done[frame.node] = 1;
      frames.pop_back();
      if (frames.empty()) return sum;
      frames.back().sum = frames.back().sum + sum;
      continue;
    }
    const NodeIndex node = frame.node;
    const NodeIndex target = lists.targets[frame.next++];
    narrator.debug([&] {
      return cat({"  Check subevent <", name_of(graph, node), "> -> <", name_of(graph, target),
                  ">."});
    });
    if (done[target] != 0 && !narrator.info_enabled()) {
      // A module counted before, or an inner node walked before: 0.0 either
      // way, and its records would not be delivered.
      frame.sum = frame.sum + 0.0;
    } else if (lists.is_leaf(target)) {
      if (products != nullptr) {
        if (const std::optional<double> product = cached_product(graph, *products, target)) {
          done[target] = 1;
          frame.sum = frame.sum + *product;
          continue;
        }
      }
      Result<double> value = module_value(graph, target, node, metric, done, narrator);
      if (!value.ok()) return std::move(value.error());
      frame.sum = frame.sum + value.value();
    } else {
      frames.push_back(frame_of(target));
    }
  }
}

// ---------------------------------------------------------------------------
// Mode summation: every edge below the event pushes count x value x factor up

/// The value a child shows to the edge `edge` that reaches it.
Result<double> summation_value(const NuvelGraphInner& graph, NodeIndex child, EdgeIndex edge,
                               std::string_view metric) {
  const MetricValue* value = metric_of(graph, child, metric);
  if (value == nullptr) return 0.0;
  if (const auto* single = std::get_if<SingleMetric>(value)) return single->value;
  const std::string* named = graph.edge(edge).operation.find(metric);
  if (named == nullptr) {
    return value_error(cat({"Invalid operation for metric '", metric, "' in module '",
                            name_of(graph, child),
                            "'; multi-operation module requires an operation"}));
  }
  const std::string operation = to_lower_unicode(*named);
  const MultiOp& ops = std::get<MultiOp>(*value);
  if (const SingleMetric* selected = ops.find(operation)) return selected->value;
  return logged_error(kAggregate, cat({"Invalid operation <", operation, "> for metric <", metric,
                                       "> in module <", name_of(graph, child),
                                       ">; legal values: ", fmt_debug_list(op_names(*value)),
                                       "."}));
}

Result<Done> aggregate_summation(NuvelGraphInner& graph, NodeIndex event, std::string_view metric) {
  const Narrator narrator;
  Result<std::vector<NodeIndex>> order = topological_sort_subgraph(graph, event);
  if (!order.ok()) return std::move(order.error());
  std::vector<std::uint8_t> in_pass(graph.node_count(), 0);
  for (const NodeIndex node : order.value()) {
    in_pass[node] = 1;
    graph.note_metric_written(node);  // with out-edges, it may receive contributions
  }

  for (const NodeIndex node : order.value()) {
    narrator.info([&] {
      return cat({"Aggregate metric <", metric, graph.is_leaf(node) ? "> for module <" : "> for event <",
                  name_of(graph, node), ">."});
    });
    for (EdgeIndex edge = graph.first_in(node); edge != kNoIndex; edge = graph.next_in(edge)) {
      const NodeIndex parent = graph.source(edge);
      if (in_pass[parent] == 0) continue;
      const double count = graph.edge(edge).count;
      const double factor = factor_of(graph.edge(edge), metric);
      Result<double> value = summation_value(graph, node, edge, metric);
      if (!value.ok()) return std::move(value.error());
      const double contribution = count * value.value() * factor;
      if (metric_of(graph, parent, metric) != nullptr) {
        Result<SingleMetric*> single = single_of(graph, parent, metric);
        if (!single.ok()) return std::move(single.error());
        single.value()->value = single.value()->value + contribution;
      }
      narrator.debug([&] {
        return cat({"  Total value (<", name_of(graph, parent), "> -> <", name_of(graph, node),
                    ">) = <", fmt_py(contribution), "> <", metric_unit(graph, parent, metric),
                    "> = single value <", fmt_py(value.value()), "> * count <", fmt_py(count),
                    "> * factor <", fmt_py(factor), ">."});
      });
    }
  }
  return Done{};
}

// ---------------------------------------------------------------------------
// Mode specified: parallel sub-events compete for a maximum, others add up

Result<Done> aggregate_specified(NuvelGraphInner& graph, NodeIndex event, std::string_view metric) {
  const Narrator narrator;
  Result<std::vector<NodeIndex>> order = topological_sort_subgraph(graph, event);
  if (!order.ok()) return std::move(order.error());

  for (const NodeIndex node : order.value()) {
    const std::string_view name = name_of(graph, node);
    if (graph.is_leaf(node)) {
      narrator.info([&] { return cat({"Ignore module <", name, ">."}); });
      continue;
    }
    narrator.info([&] {
      return cat({"Aggregate metric <", metric, "> for event <", name, ">."});
    });
    double sequential = 0.0;
    double parallel = 0.0;
    bool module_with_metric = false;
    bool only_modules = true;
    for (EdgeIndex edge = graph.first_out(node); edge != kNoIndex; edge = graph.next_out(edge)) {
      const NodeIndex child = graph.target(edge);
      const std::string_view child_name = name_of(graph, child);
      if (graph.is_leaf(child)) {
        const MetricValue* value = metric_of(graph, child, metric);
        if (value == nullptr || !std::holds_alternative<SingleMetric>(*value)) {
          return logged_error(kAggregate,
                              cat({"Invalid metric <", metric, "> for event <", child_name,
                                   ">; legal metric: {'value': float, 'unit': str}."}));
        }
        module_with_metric = true;
        narrator.debug([&] { return cat({"  Ignore module <", child_name, ">."}); });
        continue;
      }
      only_modules = false;
      double value = 0.0;
      if (metric_of(graph, child, metric) != nullptr) {
        Result<SingleMetric*> single = single_of(graph, child, metric);
        if (!single.ok()) return std::move(single.error());
        value = single.value()->value;
      }
      const double count = graph.edge(edge).count;
      const double factor = factor_of(graph.edge(edge), metric);
      const double contribution = value * count * factor;
      narrator.debug([&] {
        return cat({"  Total value (<", child_name, ">) = <", fmt_py(contribution), "> <",
                    metric_unit(graph, child, metric), "> = single value <", fmt_py(value),
                    "> * count <", fmt_py(count), "> * factor <", fmt_py(factor), ">."});
      });
      if (graph.edge(edge).aggregation == kParallel) {
        if (contribution > parallel) {
          narrator.debug([&] {
            return cat({"  Update parallel maximum metric value to <", fmt_py(contribution),
                        ">, based on event <", child_name, ">."});
          });
          parallel = contribution;
        }
      } else {
        narrator.debug([&] {
          return cat({"  Update sequential accumulated metric value by <", fmt_py(contribution),
                      ">, based on event <", child_name, ">."});
        });
        sequential = sequential + contribution;
      }
    }
    const double total = sequential + parallel;
    const SingleMetric* specified = graph.node(node).specified_metrics.find(metric);
    double decided = total;
    if (!module_with_metric && specified != nullptr) {
      return logged_error(kAggregate, cat({"  Invalid metric <", metric, "> in event <", name,
                                           ">, since it is connected to no modules; check the "
                                           "performance model."}));
    }
    if (module_with_metric && only_modules) {
      if (specified == nullptr) {
        return logged_error(kAggregate, cat({"  Missing metric <", metric, "> in event <", name,
                                             ">, since it is only connected to modules; check "
                                             "the performance model."}));
      }
      decided = specified->value;
    }
    if (metric_of(graph, node, metric) != nullptr) {
      Result<SingleMetric*> single = single_of(graph, node, metric);
      if (!single.ok()) return std::move(single.error());
      single.value()->value = decided;
      graph.note_metric_written(node);
    }
    narrator.debug([&] {
      return cat({"  Total value (<", name, ">) = <", fmt_py(decided), "> <",
                  metric_unit(graph, node, metric), ">."});
    });
  }
  return Done{};
}

// ---------------------------------------------------------------------------
// The entry

/// What one aggregate_event_metric call works on, after its checks.
struct Request {
  NodeIndex event;
  std::string_view event_name;
  std::optional<std::string_view> workload_name;  ///< as given, for the records
  std::optional<NodeIndex> workload;               ///< set when the result is scaled
  std::string_view metric;
  std::string_view unit;
};

bool is_positive_zero(double value) { return std::bit_cast<std::uint64_t>(value) == 0; }

bool holds_nonzero_single(const NodeData& node) {
  for (const auto& [name, value] : node.metrics) {
    const auto* single = std::get_if<SingleMetric>(&value);
    if (single != nullptr && !is_positive_zero(single->value)) return true;
  }
  return false;
}

/// Sets the metric to 0.0 in every node with out-edges, in ascending index
/// order. Only the reset candidates can hold anything else, so only they
/// are visited; those left holding nothing but +0.0 leave the list.
void reset_metric(NuvelGraphInner& graph, std::string_view metric) {
  std::vector<NodeIndex>& candidates = graph.reset_candidates();
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
  std::size_t kept = 0;
  for (const NodeIndex node : candidates) {
    NodeData& data = graph.node(node);
    MetricValue* value = data.metrics.find(metric);
    auto* single = value != nullptr ? std::get_if<SingleMetric>(value) : nullptr;
    if (single != nullptr) {
      const double old = single->value;
      single->value = 0.0;
      if (!(old == 0.0)) {
        log::emit(Level::Debug, kCore, [&] {
          return cat({"  Reset metric <", metric, "> in event <", data.name.view(), "> to 0."});
        });
      }
    }
    if (holds_nonzero_single(data)) candidates[kept++] = node;
  }
  candidates.resize(kept);
}

Result<double> run_module(const NuvelGraphInner& graph, const Request& request) {
  if (request.workload_name) {
    log::emit(Level::Warn, kCore, [&] {
      return cat({"Ignore workload <", *request.workload_name, "> in aggregation <module>."});
    });
  }
  // Only a graph with a cycle somewhere can have one below the event.
  if (graph.structure_facts().has_cycle && subgraph_has_cycle(graph, request.event)) {
    return value_error(std::string(kCycleMessage));
  }
  Result<double> result = aggregate_module(graph, request.event, request.metric);
  if (!result.ok()) return result;
  log::emit(Level::Debug, kCore, [&] {
    if (request.workload_name) {
      return cat({"  Total value (<", *request.workload_name, "> -> <", request.event_name,
                  ">) = <", fmt_py(result.value()), "> <", request.unit, ">."});
    }
    return cat({"  Total value (<", request.event_name, ">) = <", fmt_py(result.value()), "> <",
                request.unit, ">."});
  });
  return result;
}

/// What a bottom-up pass gives the entry: the workload's path count (1.0
/// unscaled) and the event's value after the pass.
struct PassOutcome {
  double count;
  double value;
};

template <class Pass>
Result<PassOutcome> run_pass(NuvelGraphInner& graph, const Request& request, Pass pass) {
  const double count = request.workload
                           ? compute_path_count(graph, *request.workload, request.event, request.metric)
                           : 1.0;
  Result<Done> passed = pass(graph, request.event, request.metric);
  if (!passed.ok()) return std::move(passed.error());
  Result<SingleMetric*> single = single_of(graph, request.event, request.metric);
  if (!single.ok()) return std::move(single.error());
  return PassOutcome{count, single.value()->value};
}

Result<double> run_specified(NuvelGraphInner& graph, const Request& request) {
  if (graph.is_leaf(request.event)) {
    return logged_error(kCore, cat({"Invalid module <", request.event_name,
                                    "> for aggregation <specified>; this aggregation requires "
                                    "an event."}));
  }
  Result<PassOutcome> outcome = run_pass(graph, request, aggregate_specified);
  if (!outcome.ok()) return std::move(outcome.error());
  const double count = outcome.value().count;
  const double value = outcome.value().value;
  const double result = count * value;
  log::emit(Level::Debug, kCore, [&] {
    if (request.workload_name) {
      return cat({"  Total value (<", *request.workload_name, "> -> <", request.event_name,
                  ">) = <", fmt_py(result), "> <", request.unit, "> = single value <",
                  fmt_py(value), "> * count <", fmt_py(count), ">."});
    }
    return cat({"  Total value (<", request.event_name, ">) = <", fmt_py(result), "> <",
                request.unit, "> = single value <", fmt_py(value), ">."});
  });
  return result;
}

Result<double> run_summation(NuvelGraphInner& graph, const Request& request) {
  const MetricValue* own = metric_of(graph, request.event, request.metric);
  const bool multi_operation_module = graph.is_leaf(request.event) && own != nullptr &&
                                      std::holds_alternative<MultiOp>(*own);
  if (multi_operation_module) {
    if (!request.workload) {
      return logged_error(kCore, cat({"Invalid module <", request.event_name,
                                      "> for aggregation <summation>; this aggregation does not "
                                      "support multi-operation module."}));
    }
    Result<double> result =
        aggregate_summation_multiop(graph, *request.workload, request.event, request.metric);
    if (!result.ok()) return result;
    log::emit(Level::Debug, kCore, [&] {
      return cat({"  Total value (<", *request.workload_name, "> -> <", request.event_name,
                  ">) = <", fmt_py(result.value()), "> <", request.unit, ">."});
    });
    return result;
  }
  Result<PassOutcome> outcome = run_pass(graph, request, aggregate_summation);
  if (!outcome.ok()) return std::move(outcome.error());
  const double count = outcome.value().count;
  const double value = outcome.value().value;
  if (!request.workload) {
    log::emit(Level::Debug, kCore, [&] {
      if (request.workload_name) {
        return cat({"  Total value (<", *request.workload_name, "> -> <", request.event_name,
                    ">) = <", fmt_py(value), "> <", request.unit, ">."});
      }
      return cat({"  Total value (<", request.event_name, ">) = <", fmt_py(value), "> <",
                  request.unit, ">."});
    });
    return value;
  }
  const double result = count * value;
  log::emit(Level::Debug, kCore, [&] {
    return cat({"  Total value (<", *request.workload_name, "> -> <", request.event_name,
                ">) = <", fmt_py(result), "> <", request.unit, "> = single value <",
                fmt_py(value), "> * count <", fmt_py(count), ">."});
  });
  return result;
}

}  // namespace

std::string metric_unit(const NuvelGraphInner& graph, NodeIndex node, std::string_view metric) {
  const MetricValue* value = metric_of(graph, node, metric);
  if (value == nullptr) return {};
  if (const auto* single = std::get_if<SingleMetric>(value)) return single->unit;
  const MultiOp& ops = std::get<MultiOp>(*value);
  return ops.empty() ? std::string() : ops.begin()->second.unit;
}

double compute_path_count(const NuvelGraphInner& graph, NodeIndex workload, NodeIndex event,
                          std::string_view metric) {
  if (!log::would_emit(Level::Debug, kAggregate)) {
    if (const std::optional<ExactSum> exact = exact_path_sum(graph, workload, event, metric)) {
      return exact->total;
    }
  }
  WeightedCount walk{{graph, metric}, workload, event};
  walk_paths(graph, workload, event, walk);
  return walk.total;
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
  if (!from) return logged_error(kCore, cat({"Invalid workload <", *workload, ">."}));
  const std::optional<NodeIndex> to = graph.lookup(*event);
  if (!to) return logged_error(kCore, cat({"Invalid event <", *event, ">."}));
  std::optional<ExactSum> exact;
  if (!log::would_emit(Level::Debug, kAggregate)) {
    exact = exact_path_sum(graph, *from, *to, std::nullopt);
  }
  if (!exact) {
    EventCount walk{{graph, std::nullopt}, *from, *to};
    walk_paths(graph, *from, *to, walk);
    exact = ExactSum{walk.total, walk.paths > 0};
  }
  if (!exact->any_path) {
    return logged_error(kCore, cat({"Invalid event <", *event, "> in workload <", *workload, ">."}));
  }
  const double total = exact->total;
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
  const std::optional<NodeIndex> event_node = graph.lookup(*event);
  if (!event_node) return logged_error(kCore, cat({"Invalid event <", *event, ">."}));
  Request request{*event_node, *event, workload, std::nullopt, metric, metric_unit};
  if (workload && *workload != *event) {
    const std::optional<NodeIndex> workload_node = graph.lookup(*workload);
    if (!workload_node) return logged_error(kCore, cat({"Invalid workload <", *workload, ">."}));
    if (!reaches(graph, *workload_node, *event_node)) {
      return logged_error(kCore,
                          cat({"Invalid event <", *event, "> in workload <", *workload, ">."}));
    }
    request.workload = *workload_node;
  }

  reset_metric(graph, metric);

  Result<double> result = 0.0;
  if (metric_aggregation == "module") {
    result = run_module(graph, request);
  } else if (metric_aggregation == "summation") {
    result = run_summation(graph, request);
  } else if (metric_aggregation == "specified") {
    result = run_specified(graph, request);
  } else {
    return value_error(cat({"Invalid aggregation '", metric_aggregation,
                            "'; legal: module, summation, specified"}));
  }
  if (!result.ok()) return std::move(result.error());
  return ValueUnit{result.value(), metric_unit};
}

}  // namespace nuvel
