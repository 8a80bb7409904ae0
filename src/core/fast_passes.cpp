// The aggregation passes computed from the snapshot: the values of the
// narrated passes, without records and without touching the store.
#include <algorithm>
#include <bit>
#include <cmath>

#include "format.h"
#include "passes.h"

namespace nuvel {
namespace {

// ---- Path sums over the sub-graph ------------------------------------------

/// Fraction bits of a finite double (0 for an integer), or -1 past 60 or for
/// a value that is not finite.
int fraction_bits(double x) {
  if (!std::isfinite(x)) return -1;
  if (x == 0.0) return 0;
  const auto bits = std::bit_cast<std::uint64_t>(x);
  const auto biased = static_cast<int>((bits >> 52) & 0x7FF);
  std::uint64_t significand = bits & ((std::uint64_t{1} << 52) - 1);
  if (biased != 0) significand |= std::uint64_t{1} << 52;
  // x = significand * 2^exponent
  const int exponent = (biased != 0 ? biased : 1) - 1075;
  const int fraction = -(exponent + std::countr_zero(significand));
  if (fraction <= 0) return 0;
  return fraction > 60 ? -1 : fraction;
}

/// A partial path sum with what keeps it exact: `bits` bounds the fraction
/// bits and `bound` the magnitude of every product and partial sum in it.
struct Sums {
  double value = 0.0;
  double bound = 0.0;
  int bits = 0;

  /// Adds the sums that reach the source of an edge of this weight, extended
  /// by the edge; false when the result may no longer be exact.
  bool add(const Sums& source, double count, double factor) {
    const int count_bits = fraction_bits(count);
    const int factor_bits = fraction_bits(factor);
    if (count_bits < 0 || factor_bits < 0) return false;
    bits = std::max(bits, count_bits + factor_bits + source.bits);
    bound += std::max(std::fabs(count), 1.0) * std::max(std::fabs(factor), 1.0) * source.bound;
    if (bits > 52 || !(bound <= std::ldexp(1.0, 52 - bits))) return false;
    value = value + count * factor * source.value;
    return true;
  }
};

constexpr Sums kStart{1.0, 1.0, 0};

}  // namespace

std::optional<PathSum> exact_path_count(const NuvelGraphInner& graph, NodeIndex workload,
                                        NodeIndex event, const std::optional<Metric>& metric) {
  if (workload == event) return PathSum{1.0, true};
  AggregationSnapshot& snapshot = graph.snapshot();
  const std::span<const double> counts = snapshot.counts(graph);
  const MetricColumn* column = metric ? &snapshot.column(graph, metric->name) : nullptr;
  const std::size_t node_count = graph.node_count();

  // The ancestors of the event, each after all of its own ancestors.
  struct Frame {
    NodeIndex node;
    EdgeIndex next;
  };
  const Lease<NodeMarks> seen = snapshot.marks(node_count);
  const Lease<NodeMarks> on_stack = snapshot.marks(node_count);
  const Lease<std::vector<NodeIndex>> ancestors = snapshot.nodes();
  std::vector<Frame> frames{{event, graph.first_in(event)}};
  seen->mark(event);
  on_stack->mark(event);
  while (!frames.empty()) {
    Frame& frame = frames.back();
    if (frame.next == kNoIndex) {
      on_stack->unmark(frame.node);
      ancestors->push_back(frame.node);
      frames.pop_back();
      continue;
    }
    const NodeIndex source = graph.source(frame.next);
    frame.next = graph.next_in(frame.next);
    if (on_stack->marked(source)) return std::nullopt;  // a cycle: paths are not a sum over a DAG
    if (seen->mark_new(source)) {
      on_stack->mark(source);
      frames.push_back({source, graph.first_in(source)});
    }
  }
  if (!seen->marked(workload)) return PathSum{0.0, false};

  // The sums from the workload, in that order; `reached` marks the nodes a
  // path from the workload leads to.
  const Lease<NodeMarks> reached = snapshot.marks(node_count);
  const Lease<std::vector<std::uint32_t>> slot = snapshot.slots(node_count);
  std::vector<Sums> sums(ancestors->size());
  for (std::uint32_t at = 0; at < ancestors->size(); ++at) {
    const NodeIndex node = (*ancestors)[at];
    (*slot)[node] = at;
    if (node == workload) {
      sums[at] = kStart;
      reached->mark(node);
      continue;
    }
    for (EdgeIndex e = graph.first_in(node); e != kNoIndex; e = graph.next_in(e)) {
      const NodeIndex source = graph.source(e);
      if (!reached->marked(source)) continue;
      reached->mark(node);
      if (!sums[at].add(sums[(*slot)[source]], counts[e], column ? column->factor[e] : 1.0)) {
        return std::nullopt;
      }
    }
  }
  return PathSum{sums.back().value, true};
}

std::vector<std::optional<PathSum>> exact_path_counts(const NuvelGraphInner& graph,
                                                      NodeIndex workload,
                                                      std::span<const NodeIndex> events,
                                                      const std::optional<Metric>& metric) {
  AggregationSnapshot& snapshot = graph.snapshot();
  const OutLists lists = snapshot.out_lists(graph);
  const std::span<const double> counts = snapshot.counts(graph);
  const MetricColumn* column = metric ? &snapshot.column(graph, metric->name) : nullptr;
  const std::size_t node_count = graph.node_count();
  std::vector<std::optional<PathSum>> found(events.size());

  // The nodes below the workload, each after all of its successors.
  struct Frame {
    NodeIndex node;
    const NodeIndex* next;
    const NodeIndex* end;
  };
  const auto frame_of = [&](NodeIndex node) {
    const std::span<const NodeIndex> out = lists.targets(node);
    return Frame{node, out.data(), out.data() + out.size()};
  };
  const Lease<NodeMarks> reached = snapshot.marks(node_count);
  const Lease<NodeMarks> on_stack = snapshot.marks(node_count);
  const Lease<std::vector<NodeIndex>> below = snapshot.nodes();
  std::vector<Frame> frames{frame_of(workload)};
  reached->mark(workload);
  on_stack->mark(workload);
  while (!frames.empty()) {
    Frame& frame = frames.back();
    if (frame.next == frame.end) {
      on_stack->unmark(frame.node);
      below->push_back(frame.node);
      frames.pop_back();
      continue;
    }
    const NodeIndex target = *frame.next++;
    if (on_stack->marked(target)) return found;  // a cycle: every event left to the walk
    if (reached->mark_new(target)) {
      on_stack->mark(target);
      frames.push_back(frame_of(target));
    }
  }

  // The sums from the workload, pushed down; a node whose sum may not be
  // exact passes that on to everything below it.
  const Lease<std::vector<double>> value = snapshot.values(node_count);
  const Lease<std::vector<double>> bound = snapshot.values(node_count);
  const Lease<std::vector<std::uint32_t>> bits = snapshot.slots(node_count);
  const Lease<NodeMarks> inexact = snapshot.marks(node_count);
  for (const NodeIndex node : *below) {
    (*value)[node] = 0.0;
    (*bound)[node] = 0.0;
    (*bits)[node] = 0;
  }
  (*value)[workload] = 1.0;
  (*bound)[workload] = 1.0;
  for (auto it = below->rbegin(); it != below->rend(); ++it) {
    const NodeIndex node = *it;
    const Sums from{(*value)[node], (*bound)[node], static_cast<int>((*bits)[node])};
    for (const OutEdge& out : lists[node]) {
      if (inexact->marked(node)) {
        inexact->mark(out.target);
        continue;
      }
      Sums to{(*value)[out.target], (*bound)[out.target], static_cast<int>((*bits)[out.target])};
      if (!to.add(from, counts[out.edge], column ? column->factor[out.edge] : 1.0)) {
        inexact->mark(out.target);
        continue;
      }
      (*value)[out.target] = to.value;
      (*bound)[out.target] = to.bound;
      (*bits)[out.target] = static_cast<std::uint32_t>(to.bits);
    }
  }
  for (std::size_t i = 0; i < events.size(); ++i) {
    const NodeIndex event = events[i];
    if (event == workload) {
      found[i] = PathSum{1.0, true};
    } else if (!reached->marked(event)) {
      found[i] = PathSum{0.0, false};
    } else if (!inexact->marked(event)) {
      found[i] = PathSum{(*value)[event], true};
    }
  }
  return found;
}

// ---- Summation and specified values ----------------------------------------

FastPass::FastPass(const NuvelGraphInner& graph, const Metric& metric, Mode mode)
    : graph_(graph),
      metric_(metric),
      mode_(mode),
      snapshot_(graph.snapshot()),
      lists_(snapshot_.out_lists(graph)),
      column_(snapshot_.column(graph, metric.name)),
      counts_(snapshot_.counts(graph)),
      parallel_(snapshot_.parallel(graph)),
      finished_(snapshot_.finish_keys(graph)),
      taken_(snapshot_.marks(graph.node_count())),
      failed_(snapshot_.marks(graph.node_count())),
      values_(snapshot_.values(graph.node_count())),
      order_(snapshot_.nodes()) {}

bool FastPass::holds_single(NodeIndex n) const {
  return (column_.kind[n] & MetricColumn::kHolds) == MetricColumn::kSingle;
}

void FastPass::add(NodeIndex event) {
  const auto frame_of = [&](NodeIndex node) {
    const std::span<const OutEdge> out = lists_[node];
    return Frame{node, out.data(), out.data() + out.size()};
  };
  if (!taken_->mark_new(event)) return;
  std::vector<Frame>& frames = frames_;
  frames.push_back(frame_of(event));
  while (!frames.empty()) {
    Frame& frame = frames.back();
    if (frame.next == frame.end) {
      if (mode_ == Mode::Summation) {
        compute_summation(frame.node);
      } else {
        compute_specified(frame.node);
      }
      order_->push_back(frame.node);
      frames.pop_back();
      continue;
    }
    const NodeIndex target = (frame.next++)->target;
    if (taken_->mark_new(target)) frames.push_back(frame_of(target));
  }
}

std::optional<double> operation_value(const NuvelGraphInner& graph, const Metric& metric,
                                      NodeIndex module, EdgeIndex edge) {
  const std::string* named = graph.edge(edge).operation.find(metric.name);
  if (named == nullptr) return std::nullopt;
  const NodeMetrics::Entry* entry = metric_of(graph, module, metric);
  const SingleMetric* selected = entry->ops().find(to_lower_unicode(*named));
  if (selected == nullptr) return std::nullopt;
  return selected->value;
}

/// A node's value is 0.0 plus count x value x factor of each child, in the
/// whole-graph finish order of the children: the order in which the
/// narrated pass takes them.
void FastPass::compute_summation(NodeIndex n) {
  const std::span<const OutEdge> out = lists_[n];
  const std::uint8_t holds = column_.kind[n] & MetricColumn::kHolds;
  if (out.empty()) {
    (*values_)[n] = holds == MetricColumn::kSingle ? column_.value[n] : 0.0;
    return;
  }
  // The list holds the oldest edge first, which the search pushes last and
  // so finishes first: mostly in order already.
  children_.assign(out.begin(), out.end());
  for (std::size_t i = 1; i < children_.size(); ++i) {
    const OutEdge moved = children_[i];
    std::size_t j = i;
    for (; j > 0 && finished_[children_[j - 1].target] > finished_[moved.target]; --j) {
      children_[j] = children_[j - 1];
    }
    children_[j] = moved;
  }
  bool failed = holds == MetricColumn::kMultiOp;
  double sum = 0.0;
  for (const OutEdge& child : children_) {
    if (failed || failed_->marked(child.target)) {
      failed = true;
      break;
    }
    double value = 0.0;
    switch (column_.kind[child.target] & MetricColumn::kHolds) {
      case MetricColumn::kSingle:
        value = (*values_)[child.target];
        break;
      case MetricColumn::kMultiOp:
        // Only a module gets here: an event holding a MultiOp has failed.
        if (const std::optional<double> selected =
                operation_value(graph_, metric_, child.target, child.edge)) {
          value = *selected;
        } else {
          failed = true;
        }
        break;
      default:
        break;
    }
    sum = sum + counts_[child.edge] * value * column_.factor[child.edge];
  }
  if (failed) failed_->mark(n);
  (*values_)[n] = sum;
}

DenseSummation::DenseSummation(const NuvelGraphInner& graph, const Metric& metric)
    : order_(graph.snapshot().finish_order(graph, metric.name)),
      values_(graph.snapshot().values(graph.node_count())),
      states_(graph.snapshot().slots(graph.node_count())) {
  const MetricColumn& column = graph.snapshot().column(graph, metric.name);
  std::vector<double>& values = *values_;
  std::vector<std::uint32_t>& states = *states_;
  const std::uint32_t* const child = order_.child.data();
  const double* const count = order_.count.data();
  const double* const factor = order_.factor.data();
  const std::size_t size = order_.order.size();
  for (std::uint32_t at = 0; at < size; ++at) {
    const NodeIndex node = order_.order[at];
    const std::uint32_t holds = column.kind[node] & MetricColumn::kHolds;
    std::uint32_t k = order_.begin[at];
    const std::uint32_t last = order_.begin[at + 1];
    if (k == last) {
      values[at] = holds == MetricColumn::kSingle ? column.value[node] : 0.0;
      states[at] = holds;
      continue;
    }
    bool failed = holds == MetricColumn::kMultiOp;
    double sum = 0.0;
    // Children that hold a Single or nothing; the loop stops at the first
    // failed one or multi-operation module, which the slower loop takes on.
    for (; k < last; ++k) {
      const std::uint32_t state = states[child[k]];
      if ((state & (kFailed | MetricColumn::kMultiOp)) != 0) break;
      const double value = state == MetricColumn::kSingle ? values[child[k]] : 0.0;
      sum = sum + count[k] * value * factor[k];
    }
    for (; k < last && !failed; ++k) {
      const std::uint32_t state = states[child[k]];
      double value = 0.0;
      if ((state & kFailed) != 0) {
        failed = true;
      } else if (state == MetricColumn::kSingle) {
        value = values[child[k]];
      } else if (state == MetricColumn::kMultiOp) {
        // Only a module gets here: an event holding a MultiOp has failed.
        const std::optional<double> selected =
            operation_value(graph, metric, order_.order[child[k]], order_.edge[k]);
        failed = !selected;
        value = selected.value_or(0.0);
      }
      sum = sum + count[k] * value * factor[k];
    }
    values[at] = sum;
    states[at] = holds | (failed ? kFailed : 0);
  }
}

void FastPass::compute_specified(NodeIndex n) {
  const std::span<const OutEdge> out = lists_[n];
  if (out.empty()) return;
  double sequential = 0.0;
  double parallel = 0.0;
  bool module_with_metric = false;
  bool only_modules = true;
  bool failed = false;
  for (auto it = out.rbegin(); it != out.rend() && !failed; ++it) {
    const NodeIndex child = it->target;
    const std::uint8_t holds = column_.kind[child] & MetricColumn::kHolds;
    if (lists_.is_leaf(child)) {
      failed = holds != MetricColumn::kSingle;
      module_with_metric = true;
      continue;
    }
    only_modules = false;
    failed = failed_->marked(child) || holds == MetricColumn::kMultiOp;
    const double value = holds == MetricColumn::kSingle ? (*values_)[child] : 0.0;
    const double contribution = value * counts_[it->edge] * column_.factor[it->edge];
    if (parallel_[it->edge] == 0) {
      sequential = sequential + contribution;
    } else if (contribution > parallel) {
      parallel = contribution;
    }
  }
  const bool specified = (column_.kind[n] & MetricColumn::kSpecified) != 0;
  double decided = sequential + parallel;
  if (!module_with_metric && specified) failed = true;
  if (module_with_metric && only_modules) {
    if (specified) {
      decided = column_.specified[n];
    } else {
      failed = true;
    }
  }
  if ((column_.kind[n] & MetricColumn::kHolds) == MetricColumn::kMultiOp) failed = true;
  if (failed) failed_->mark(n);
  (*values_)[n] = decided;
}

}  // namespace nuvel
