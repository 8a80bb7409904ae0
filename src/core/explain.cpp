#include "explain.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <unordered_map>

#include "aggregate.h"
#include "format.h"
#include "passes.h"

namespace nuvel {
namespace {

// ---- Shared pieces ---------------------------------------------------------

/// Distinct values in order of first sight; lists here stay short (units,
/// operation names), so a linear search is enough.
template <class T>
void add_distinct(std::vector<T>& list, const T& value) {
  if (std::find(list.begin(), list.end(), value) == list.end()) list.push_back(value);
}

/// "a, b, c and 7 more": at most `shown` names.
std::string some_names(std::span<const std::string_view> names, std::size_t shown = 5) {
  std::string text;
  for (std::size_t i = 0; i < names.size() && i < shown; ++i) {
    if (i > 0) text += ", ";
    text += names[i];
  }
  if (names.size() > shown) text += cat({" and ", std::to_string(names.size() - shown), " more"});
  return text;
}

std::string nodes_phrase(std::size_t count) {
  return count == 1 ? std::string("1 node") : cat({std::to_string(count), " nodes"});
}

/// The names given to several nodes, with how many nodes share each, in the
/// order the names were first taken over.
std::vector<std::pair<std::string_view, std::size_t>> duplicate_names(const NuvelGraphInner& graph) {
  std::vector<std::pair<std::string_view, std::size_t>> names;
  std::unordered_map<std::string_view, std::size_t> at;
  for (const NodeIndex n : graph.shadowed_nodes()) {
    const auto [found, added] = at.try_emplace(name_of(graph, n), names.size());
    if (added) names.emplace_back(name_of(graph, n), 1);
    ++names[found->second].second;
  }
  return names;
}

}  // namespace

// ---- The make-up of a model ------------------------------------------------

Result<ModelFacts> describe_model(const NuvelGraphInner& graph) {
  ModelFacts facts;
  facts.nodes = graph.node_count();
  facts.edges = graph.edge_count();
  std::vector<TextId> ids;  // of facts.metrics, in step
  for (NodeIndex n = 0; n < graph.node_count(); ++n) {
    const bool leaf = graph.is_leaf(n);
    if (leaf) {
      ++facts.modules;
    } else if (graph.first_in(n) == kNoIndex) {
      ++facts.workloads;
    } else {
      ++facts.events;
    }
    for (const NodeMetrics::Entry& entry : graph.node(n).metrics) {
      auto at = std::find(ids.begin(), ids.end(), entry.metric());
      if (at == ids.end()) {
        ids.push_back(entry.metric());
        facts.metrics.emplace_back().metric = graph.text(entry.metric());
        at = ids.end() - 1;
      }
      if (!leaf) continue;
      MetricFacts& metric = facts.metrics[static_cast<std::size_t>(at - ids.begin())];
      ++metric.modules;
      if (entry.is_single()) {
        add_distinct(metric.units, graph.text(entry.unit()));
        continue;
      }
      metric.multi_operation.emplace_back(name_of(graph, n));
      for (const auto& [operation, single] : entry.ops()) {
        add_distinct(metric.operations, std::string_view(operation));
        add_distinct(metric.units, std::string_view(single.unit));
      }
    }
  }
  facts.duplicate_names = duplicate_names(graph);
  return facts;
}

// ---- Problems --------------------------------------------------------------

namespace {

/// Problems as check_model finds them, one list per kind.
class Findings {
 public:
  explicit Findings(const NuvelGraphInner& graph) : graph_(graph) {}

  Problem& add(std::string_view kind, bool error, std::optional<std::string_view> metric,
               std::string message) {
    return kinds_[index_of(kind)].emplace_back(Problem{kind, error, {}, metric, std::move(message)});
  }
  std::string_view name(NodeIndex n) const { return name_of(graph_, n); }

  /// source -> target
  std::string edge_text(EdgeIndex e) const {
    return cat({name(graph_.source(e)), " -> ", name(graph_.target(e))});
  }
  Problem& add_edge(std::string_view kind, bool error, EdgeIndex e,
                    std::optional<std::string_view> metric, std::string message) {
    Problem& problem = add(kind, error, metric, std::move(message));
    problem.nodes = {name(graph_.source(e)), name(graph_.target(e))};
    return problem;
  }

  Problems take() {
    Problems all;
    for (Problems& kind : kinds_) std::move(kind.begin(), kind.end(), std::back_inserter(all));
    return all;
  }

 private:
  static constexpr std::string_view kOrder[] = {
      "cycle",           "missing_operation", "unknown_operation",
      "missing_metric",  "multi_operation_event", "missing_specified",
      "unused_specified", "invalid_count",   "shadowed_name",
      "unreached",       "unknown_aggregation"};

  static std::size_t index_of(std::string_view kind) {
    return static_cast<std::size_t>(std::find(std::begin(kOrder), std::end(kOrder), kind) -
                                    std::begin(kOrder));
  }

  const NuvelGraphInner& graph_;
  Problems kinds_[std::size(kOrder)];
};

bool is_invalid_count(double count) { return !std::isfinite(count) || count < 0.0; }

/// One cycle in each strongly connected part of the graph that has one (a
/// self-loop included), as its nodes in edge order: Tarjan's search with an
/// explicit stack, then a walk inside the part until a node repeats.
std::vector<std::vector<NodeIndex>> find_cycles(const NuvelGraphInner& graph) {
  const OutLists lists = graph.snapshot().out_lists(graph);
  const std::size_t node_count = graph.node_count();
  constexpr std::uint32_t kUnseen = 0;
  std::vector<std::uint32_t> order(node_count, kUnseen);  // discovery number, from 1
  std::vector<std::uint32_t> low(node_count, 0);
  std::vector<std::uint32_t> part(node_count, kNoIndex);  // the part, once closed
  std::vector<NodeIndex> open;                             // nodes of parts not yet closed
  struct Frame {
    NodeIndex node;
    std::uint32_t next;  // position in the out-list
  };
  std::vector<Frame> frames;
  std::vector<std::vector<NodeIndex>> cycles;
  std::uint32_t clock = 0;
  std::uint32_t parts = 0;

  const auto cycle_in = [&](NodeIndex start, std::uint32_t id) {
    std::vector<NodeIndex> path;
    std::unordered_map<NodeIndex, std::size_t> at;
    NodeIndex node = start;
    while (at.try_emplace(node, path.size()).second) {
      path.push_back(node);
      const std::span<const OutEdge> out = lists[node];
      // The newest edge that stays inside the part; every node of a part
      // with a cycle has one.
      auto next = std::find_if(out.rbegin(), out.rend(), [&](const OutEdge& edge) {
        return part[edge.target] == id;
      });
      node = next->target;
    }
    return std::vector<NodeIndex>(path.begin() + static_cast<std::ptrdiff_t>(at[node]), path.end());
  };

  for (NodeIndex root = 0; root < node_count; ++root) {
    if (order[root] != kUnseen) continue;
    frames.push_back({root, 0});
    order[root] = low[root] = ++clock;
    open.push_back(root);
    while (!frames.empty()) {
      Frame& frame = frames.back();
      const std::span<const OutEdge> out = lists[frame.node];
      if (frame.next < out.size()) {
        const NodeIndex next = out[frame.next++].target;
        if (order[next] == kUnseen) {
          order[next] = low[next] = ++clock;
          open.push_back(next);
          frames.push_back({next, 0});
        } else if (part[next] == kNoIndex) {
          low[frame.node] = std::min(low[frame.node], order[next]);
        }
        continue;
      }
      const NodeIndex node = frame.node;
      frames.pop_back();
      if (!frames.empty()) low[frames.back().node] = std::min(low[frames.back().node], low[node]);
      if (low[node] != order[node]) continue;
      // `node` closes a part: it and the open nodes above it.
      const std::uint32_t id = parts++;
      std::size_t size = 0;
      NodeIndex member;
      do {
        member = open.back();
        open.pop_back();
        part[member] = id;
        ++size;
      } while (member != node);
      const bool self_loop = std::any_of(out.begin(), out.end(),
                                         [&](const OutEdge& edge) { return edge.target == node; });
      if (size > 1 || self_loop) cycles.push_back(cycle_in(node, id));
    }
  }
  return cycles;
}

void check_cycles(const NuvelGraphInner& graph, Findings& findings) {
  if (!graph.snapshot().has_cycle(graph)) return;
  for (const std::vector<NodeIndex>& cycle : find_cycles(graph)) {
    std::string text;
    NameList names;
    for (const NodeIndex n : cycle) {
      names.push_back(findings.name(n));
      text += cat({findings.name(n), " -> "});
    }
    text += findings.name(cycle.front());
    Problem& problem = findings.add("cycle", true, std::nullopt,
                                    cat({text, ": the summation and specified modes refuse a "
                                               "graph with a cycle"}));
    problem.nodes = std::move(names);
  }
}

/// Edges into multi-operation modules that name no operation of the metric
/// (or one the module lacks, after lower-casing as the passes do).
void check_operations(const NuvelGraphInner& graph, Findings& findings) {
  for (EdgeIndex e = 0; e < graph.edge_count(); ++e) {
    const NodeIndex module = graph.target(e);
    if (!graph.is_leaf(module)) continue;
    for (const NodeMetrics::Entry& entry : graph.node(module).metrics) {
      if (entry.is_single()) continue;
      const std::string_view metric = graph.text(entry.metric());
      const auto legal = [&] {
        return cat({"; ", findings.name(module), " has ",
                    entry.ops().empty() ? std::string("no operations")
                                        : fmt_quoted_list(op_names(entry.ops()))});
      };
      const std::string* named = graph.edge(e).operation.find(metric);
      if (named == nullptr) {
        findings.add_edge("missing_operation", true, e, metric,
                          cat({"edge ", findings.edge_text(e), " names no operation of metric ",
                               metric, legal()}));
      } else if (entry.ops().find(to_lower_unicode(*named)) == nullptr) {
        findings.add_edge("unknown_operation", true, e, metric,
                          cat({"edge ", findings.edge_text(e), " names operation '", *named,
                               "' of metric ", metric, legal()}));
      }
    }
  }
}

/// For each metric some module holds, the nodes that lack it: a module
/// without it fails mode module and adds nothing in summation, an event
/// without it passes nothing on to its parents. Then the events that hold
/// a metric per operation, which no aggregation can write into.
void check_metrics(const NuvelGraphInner& graph, Findings& findings) {
  std::vector<TextId> held;
  for (NodeIndex n = 0; n < graph.node_count(); ++n) {
    if (!graph.is_leaf(n)) continue;
    for (const NodeMetrics::Entry& entry : graph.node(n).metrics) add_distinct(held, entry.metric());
  }
  for (const TextId metric : held) {
    NameList lacking;
    for (NodeIndex n = 0; n < graph.node_count(); ++n) {
      if (graph.node(n).metrics.find(metric) == nullptr) lacking.push_back(findings.name(n));
    }
    if (lacking.empty()) continue;
    const std::string_view name = graph.text(metric);
    findings.add("missing_metric", true, name,
                 cat({nodes_phrase(lacking.size()), lacking.size() == 1 ? " lacks" : " lack",
                      " metric ", name, ", which modules hold: ", some_names(lacking)}))
        .nodes = std::move(lacking);
  }
  for (NodeIndex n = 0; n < graph.node_count(); ++n) {
    if (graph.is_leaf(n)) continue;
    for (const NodeMetrics::Entry& entry : graph.node(n).metrics) {
      if (entry.is_single()) continue;
      const std::string_view name = graph.text(entry.metric());
      findings.add("multi_operation_event", true, name,
                   cat({"event ", findings.name(n), " holds metric ", name,
                        " per operation; an aggregation that reaches it fails"}))
          .nodes = {findings.name(n)};
    }
  }
}

/// For the metrics that some node gives a specified value: events over
/// modules only without one, and events with one but no module below them
/// directly. Both make the specified mode fail.
void check_specified(const NuvelGraphInner& graph, Findings& findings) {
  std::vector<std::string_view> specified;
  for (NodeIndex n = 0; n < graph.node_count(); ++n) {
    for (const auto& [metric, value] : graph.node(n).specified_metrics) {
      add_distinct(specified, std::string_view(metric));
    }
  }
  if (specified.empty()) return;
  const OutLists lists = graph.snapshot().out_lists(graph);
  for (NodeIndex n = 0; n < graph.node_count(); ++n) {
    const std::span<const OutEdge> out = lists[n];
    if (out.empty()) continue;
    const auto modules = std::count_if(out.begin(), out.end(), [&](const OutEdge& edge) {
      return lists.is_leaf(edge.target);
    });
    const OrderedMap<SingleMetric>& given = graph.node(n).specified_metrics;
    for (const std::string_view metric : specified) {
      const bool has_value = given.find(metric) != nullptr;
      if (!has_value && static_cast<std::size_t>(modules) == out.size()) {
        findings.add("missing_specified", true, metric,
                     cat({"event ", findings.name(n), " stands over modules only but has no "
                          "specified value of ", metric}))
            .nodes = {findings.name(n)};
      } else if (has_value && modules == 0) {
        findings.add("unused_specified", true, metric,
                     cat({"event ", findings.name(n), " has a specified value of ", metric,
                          " but no module below it directly"}))
            .nodes = {findings.name(n)};
      }
    }
  }
}

void check_counts(const NuvelGraphInner& graph, Findings& findings) {
  for (EdgeIndex e = 0; e < graph.edge_count(); ++e) {
    const double count = graph.edge(e).count;
    if (is_invalid_count(count)) {
      findings.add_edge("invalid_count", true, e, std::nullopt,
                        cat({"edge ", findings.edge_text(e), " has count ", fmt_py(count)}));
    }
  }
  for (NodeIndex n = 0; n < graph.node_count(); ++n) {
    const double instance = graph.node(n).instance;
    if (graph.is_leaf(n) && is_invalid_count(instance)) {
      findings.add("invalid_count", true, std::nullopt,
                   cat({"module ", findings.name(n), " has instance ", fmt_py(instance)}))
          .nodes = {findings.name(n)};
    }
  }
}

void check_names(const NuvelGraphInner& graph, Findings& findings) {
  for (const auto& [name, nodes] : duplicate_names(graph)) {
    findings.add("shadowed_name", false, std::nullopt,
                 cat({nodes_phrase(nodes), " are named ", name,
                      "; the name finds the newest, the older ones keep their edges"}))
        .nodes = {name};
  }
}

/// Nodes that no workload (a node with out-edges and no in-edges) reaches.
void check_reach(const NuvelGraphInner& graph, Findings& findings) {
  AggregationSnapshot& snapshot = graph.snapshot();
  const OutLists lists = snapshot.out_lists(graph);
  const Lease<NodeMarks> reached = snapshot.marks(graph.node_count());
  const Lease<std::vector<NodeIndex>> stack = snapshot.nodes();
  for (NodeIndex n = 0; n < graph.node_count(); ++n) {
    const bool workload = !lists.is_leaf(n) && graph.first_in(n) == kNoIndex;
    if (workload && reached->mark_new(n)) stack->push_back(n);
  }
  while (!stack->empty()) {
    const NodeIndex node = stack->back();
    stack->pop_back();
    for (const OutEdge& out : lists[node]) {
      if (reached->mark_new(out.target)) stack->push_back(out.target);
    }
  }
  NameList unreached;
  for (NodeIndex n = 0; n < graph.node_count(); ++n) {
    if (!reached->marked(n)) unreached.push_back(findings.name(n));
  }
  if (unreached.empty()) return;
  findings.add("unreached", false, std::nullopt,
               cat({nodes_phrase(unreached.size()), " below no workload: ", some_names(unreached)}))
      .nodes = std::move(unreached);
}

void check_aggregations(const NuvelGraphInner& graph, Findings& findings) {
  for (EdgeIndex e = 0; e < graph.edge_count(); ++e) {
    const std::string_view text = graph.aggregation(e);
    if (text == "parallel" || text == "sequential") continue;
    findings.add_edge("unknown_aggregation", false, e, std::nullopt,
                      cat({"edge ", findings.edge_text(e), " has aggregation '", text,
                           "', which the specified mode adds up as sequential"}));
  }
}

}  // namespace

Result<Problems> check_model(const NuvelGraphInner& graph) {
  Findings findings(graph);
  check_cycles(graph, findings);
  check_operations(graph, findings);
  check_metrics(graph, findings);
  check_specified(graph, findings);
  check_counts(graph, findings);
  check_names(graph, findings);
  check_reach(graph, findings);
  check_aggregations(graph, findings);
  return findings.take();
}

// ---- Where a value comes from ----------------------------------------------

namespace {

/// Contributions keyed by node name, in order of first mention.
class ByName {
 public:
  explicit ByName(EventValues& values) : values_(values) {}
  void add(std::string_view name, double value) {
    const auto [found, added] = at_.try_emplace(name, values_.size());
    if (added) {
      values_.emplace_back(name, value);
    } else {
      values_[found->second].second += value;
    }
  }

 private:
  EventValues& values_;
  std::unordered_map<std::string_view, std::size_t> at_;
};

/// Mode module: value x instance of every module below `event`, each once,
/// in the order the depth-first walk of the mode first reaches them.
void module_contributions(const NuvelGraphInner& graph, NodeIndex event, const Metric& metric,
                          Breakdown& out) {
  AggregationSnapshot& snapshot = graph.snapshot();
  const MetricColumn& column = snapshot.column(graph, metric.name);
  const OutLists lists = snapshot.out_lists(graph);
  const Lease<NodeMarks> seen = snapshot.marks(graph.node_count());
  ByName modules(out.modules);
  struct Frame {
    const OutEdge* next;  // walks the out-list backwards: list order
    const OutEdge* end;
  };
  const auto enter = [&](NodeIndex node, std::vector<Frame>& frames) {
    seen->mark(node);
    const std::span<const OutEdge> edges = lists[node];
    if (edges.empty()) {
      modules.add(name_of(graph, node), column.product[node]);
    } else {
      frames.push_back({edges.data() + edges.size(), edges.data()});
    }
  };
  std::vector<Frame> frames;
  enter(event, frames);
  while (!frames.empty()) {
    Frame& frame = frames.back();
    if (frame.next == frame.end) {
      frames.pop_back();
    } else if (const NodeIndex target = (--frame.next)->target; !seen->marked(target)) {
      enter(target, frames);
    }
  }
}

/// Modes summation and specified: the events below `event` top down, with
/// what each child adds to the event's value, as the pass adds it; in
/// summation mode also each module's contribution, its share of the edges
/// into it weighted by the paths from the event (times `scale`).
void event_contributions(const NuvelGraphInner& graph, NodeIndex event, const Metric& metric,
                         FastPass::Mode mode, double scale, Breakdown& out) {
  AggregationSnapshot& snapshot = graph.snapshot();
  FastPass pass(graph, metric, mode);
  pass.add(event);
  const MetricColumn& column = snapshot.column(graph, metric.name);
  const std::span<const double> counts = snapshot.counts(graph);
  const std::span<const std::uint8_t> parallel = snapshot.parallel(graph);
  const OutLists lists = snapshot.out_lists(graph);
  const bool summation = mode == FastPass::Mode::Summation;
  const std::span<const NodeIndex> order = pass.order();
  // The factor-weighted path count from the event to each node whose value
  // reaches its parents.
  const Lease<std::vector<double>> weight = snapshot.values(graph.node_count());
  for (const NodeIndex node : order) (*weight)[node] = 0.0;
  (*weight)[event] = scale;
  ByName modules(out.modules);

  for (auto node = order.rbegin(); node != order.rend(); ++node) {
    const std::span<const OutEdge> edges = lists[*node];
    if (edges.empty()) continue;
    const bool passes_on = pass.holds_single(*node);  // the event's own value is a Single
    BreakdownEvent entry{name_of(graph, *node), pass.value(*node), "sum", out.children.size(), 0};
    std::optional<std::size_t> winner;
    double maximum = 0.0;
    for (auto edge = edges.rbegin(); edge != edges.rend(); ++edge) {
      const NodeIndex child = edge->target;
      const double count = counts[edge->edge];
      const double factor = column.factor[edge->edge];
      const bool module = lists.is_leaf(child);
      if (!summation && module) continue;  // the specified mode ignores modules
      double value = pass.holds_single(child) ? pass.value(child) : 0.0;
      if (module && (column.kind[child] & MetricColumn::kHolds) == MetricColumn::kMultiOp) {
        value = operation_value(graph, metric, child, edge->edge).value_or(0.0);
      }
      const double contribution = summation ? count * value * factor : value * count * factor;
      const bool counted = summation || parallel[edge->edge] == 0;
      if (!counted && contribution > maximum) {
        maximum = contribution;
        winner = out.children.size();
      }
      out.children.push_back({name_of(graph, child), graph.aggregation(edge->edge), contribution,
                              counted});
      if (!summation) continue;
      if (module) {
        modules.add(name_of(graph, child), passes_on ? (*weight)[*node] * contribution : 0.0);
      } else if (passes_on && pass.holds_single(child)) {
        (*weight)[child] = (*weight)[child] + (*weight)[*node] * count * factor;
      }
    }
    if (winner) out.children[*winner].chosen = true;
    if (!summation) entry.rule = entry.first_child == out.children.size() ? "specified" : "combined";
    entry.end_child = out.children.size();
    out.events.push_back(entry);
  }
}

}  // namespace

Result<Breakdown> aggregate_event_breakdown(NuvelGraphInner& graph, std::string_view metric,
                                            std::string_view metric_aggregation,
                                            std::string_view unit,
                                            std::optional<std::string_view> workload,
                                            std::optional<std::string_view> event) {
  if (!event) return value_error("event argument is required");
  // The value, or the failure, of the single call.
  Result<EventValues> single = aggregate_event_metrics(graph, metric, metric_aggregation, unit,
                                                       workload, TextList{std::string(*event)});
  if (!single.ok()) return std::move(single.error());
  Breakdown out{single.value().front().second, unit, {}, {}, {}};
  const NodeIndex node = *graph.lookup(*event);
  const Metric measured(graph, metric);
  const Mode mode = *mode_of(metric_aggregation);
  if (mode == Mode::Module) {
    module_contributions(graph, node, measured, out);
  } else if (graph.is_leaf(node)) {
    // A module asked for itself (summation only): its value is its contribution.
    out.modules.emplace_back(name_of(graph, node), out.value);
  } else {
    const bool scaled = workload && *workload != *event;
    const double scale =
        scaled && mode == Mode::Summation
            ? path_count(graph, *graph.lookup(*workload), node, measured, Narrator::silent())
            : 1.0;
    event_contributions(graph, node, measured,
                        mode == Mode::Summation ? FastPass::Mode::Summation
                                                : FastPass::Mode::Specified,
                        scale, out);
  }
  return out;
}

}  // namespace nuvel
