#include "snapshot.h"

#include <algorithm>
#include <optional>

#include "graph.h"

namespace nuvel {

// ---- Scratch ---------------------------------------------------------------

void NodeMarks::begin(std::size_t node_count) {
  if (stamp_.size() < node_count) stamp_.resize(node_count, 0);
  if (++current_ == 0) {  // the stamps wrapped around: forget them all once
    std::fill(stamp_.begin(), stamp_.end(), 0);
    current_ = 1;
  }
}

Lease<NodeMarks> AggregationSnapshot::marks(std::size_t node_count) {
  return Lease<NodeMarks>(marks_, [&](NodeMarks& marks) { marks.begin(node_count); });
}

Lease<std::vector<double>> AggregationSnapshot::values(std::size_t node_count) {
  return Lease<std::vector<double>>(value_lists_, [&](std::vector<double>& values) {
    if (values.size() < node_count) values.resize(node_count);
  });
}

Lease<std::vector<std::uint32_t>> AggregationSnapshot::slots(std::size_t node_count) {
  return Lease<std::vector<std::uint32_t>>(slot_lists_, [&](std::vector<std::uint32_t>& slots) {
    if (slots.size() < node_count) slots.resize(node_count);
  });
}

Lease<std::vector<NodeIndex>> AggregationSnapshot::nodes() {
  return Lease<std::vector<NodeIndex>>(node_lists_, [](std::vector<NodeIndex>& list) { list.clear(); });
}

// ---- Packed out-lists and data columns -------------------------------------

/// Node n's out-edges are edges[begin[n]] up to edges[begin[n] + size[n]],
/// oldest first, with room for capacity[n]; a list that outgrows its room
/// moves to the end, leaving garbage behind until the next compaction.
struct AggregationSnapshot::Structure {
  std::vector<std::uint32_t> begin;
  std::vector<std::uint32_t> size;
  std::vector<std::uint32_t> capacity;
  std::vector<OutEdge> edges;
  std::vector<NodeIndex> targets;  ///< edges[i].target, for walks that need no more
  std::size_t garbage = 0;

  std::vector<double> count;            ///< per edge
  std::vector<std::uint8_t> parallel;   ///< per edge: the aggregation text is "parallel"

  std::span<const OutEdge> out(NodeIndex n) const { return {edges.data() + begin[n], size[n]}; }

  void append(NodeIndex n, OutEdge out_edge) {
    if (size[n] == capacity[n]) relocate(n, std::max<std::uint32_t>(4, 2 * size[n]));
    targets[begin[n] + size[n]] = out_edge.target;
    edges[begin[n] + size[n]++] = out_edge;
    if (garbage > edges.size() / 2) compact();
  }

  void relocate(NodeIndex n, std::uint32_t room) {
    if (edges.size() + room > 0xFFFFFFFFu) throw InternalError("out-lists too large to pack");
    const auto at = static_cast<std::uint32_t>(edges.size());
    edges.resize(edges.size() + room);
    targets.resize(edges.size());
    std::copy_n(edges.begin() + begin[n], size[n], edges.begin() + at);
    std::copy_n(targets.begin() + begin[n], size[n], targets.begin() + at);
    garbage += capacity[n];
    begin[n] = at;
    capacity[n] = room;
  }

  void pack_targets() {
    targets.resize(edges.size());
    std::transform(edges.begin(), edges.end(), targets.begin(), [](OutEdge e) { return e.target; });
  }

  void compact() {
    std::vector<OutEdge> packed;
    packed.reserve(edges.size() - garbage);
    for (std::size_t n = 0; n < begin.size(); ++n) {
      const auto at = static_cast<std::uint32_t>(packed.size());
      packed.insert(packed.end(), edges.begin() + begin[n], edges.begin() + begin[n] + capacity[n]);
      begin[n] = at;
    }
    edges = std::move(packed);
    pack_targets();
    garbage = 0;
  }
};

AggregationSnapshot::Structure& AggregationSnapshot::structure(const NuvelGraphInner& graph) {
  if (!structure_) {
    auto built = std::make_unique<Structure>();
    const std::size_t node_count = graph.node_count();
    built->begin.reserve(node_count);
    built->size.reserve(node_count);
    built->edges.reserve(graph.edge_count());
    for (NodeIndex n = 0; n < node_count; ++n) {
      const auto at = static_cast<std::uint32_t>(built->edges.size());
      for (EdgeIndex e = graph.first_out(n); e != kNoIndex; e = graph.next_out(e)) {
        built->edges.push_back({graph.target(e), e});
      }
      std::reverse(built->edges.begin() + at, built->edges.end());
      built->begin.push_back(at);
      built->size.push_back(static_cast<std::uint32_t>(built->edges.size()) - at);
    }
    built->capacity = built->size;
    built->pack_targets();
    structure_ = std::move(built);
  }
  extend(graph, *structure_);
  return *structure_;
}

void AggregationSnapshot::extend(const NuvelGraphInner& graph, Structure& structure) const {
  for (EdgeIndex e = static_cast<EdgeIndex>(structure.count.size()); e < graph.edge_count(); ++e) {
    structure.count.push_back(graph.edge(e).count);
    structure.parallel.push_back(graph.edge(e).aggregation == kParallel ? 1 : 0);
  }
}

OutLists AggregationSnapshot::out_lists(const NuvelGraphInner& graph) {
  const Structure& lists = structure(graph);
  return OutLists(lists.begin.data(), lists.size.data(), lists.edges.data(), lists.targets.data());
}

std::span<const double> AggregationSnapshot::counts(const NuvelGraphInner& graph) {
  return structure(graph).count;
}

std::span<const std::uint8_t> AggregationSnapshot::parallel(const NuvelGraphInner& graph) {
  return structure(graph).parallel;
}

// ---- The whole-graph depth-first order -------------------------------------

/// The depth-first search of the whole graph: roots in ascending index, a
/// node's undiscovered successors pushed in list order when it is
/// discovered, a node finished when it is popped again. Discovery and
/// finish times are keys on one clock, `spacing` apart when computed in one
/// go, so that a later change can give a moved part of the graph keys
/// between existing ones.
struct AggregationSnapshot::Order {
  bool has_cycle = false;
  std::vector<std::uint64_t> discovered;  ///< per node; empty when has_cycle
  std::vector<std::uint64_t> finished;
  std::uint64_t last = 0;                 ///< the largest key given out
  std::uint64_t spacing = 1;
};

AggregationSnapshot::Order& AggregationSnapshot::order(const NuvelGraphInner& graph) {
  if (order_) return *order_;
  const Structure& lists = structure(graph);
  auto built = std::make_unique<Order>();
  const std::size_t node_count = graph.node_count();
  built->spacing = std::max<std::uint64_t>(1, (std::uint64_t{1} << 62) / (2 * node_count + 2));
  built->discovered.assign(node_count, 0);
  built->finished.assign(node_count, 0);
  std::uint64_t clock = 0;
  const Lease<std::vector<NodeIndex>> stack = nodes();
  for (NodeIndex root = 0; root < node_count && !built->has_cycle; ++root) {
    if (built->discovered[root] != 0) continue;
    stack->push_back(root);
    while (!stack->empty() && !built->has_cycle) {
      const NodeIndex node = stack->back();
      if (built->discovered[node] == 0) {
        built->discovered[node] = clock += built->spacing;
        const std::span<const OutEdge> out = lists.out(node);
        for (auto it = out.rbegin(); it != out.rend(); ++it) {
          const NodeIndex next = it->target;
          // A successor discovered and not finished is on the search's
          // current path: the edge closes a cycle (every cycle has one).
          if (next == node || (built->discovered[next] != 0 && built->finished[next] == 0)) {
            built->has_cycle = true;
          }
          if (built->discovered[next] == 0) stack->push_back(next);
        }
      } else {
        stack->pop_back();
        if (built->finished[node] == 0) built->finished[node] = clock += built->spacing;
      }
    }
  }
  if (built->has_cycle) {
    built->discovered.clear();
    built->finished.clear();
  }
  built->last = clock;
  order_ = std::move(built);
  return *order_;
}

bool AggregationSnapshot::has_cycle(const NuvelGraphInner& graph) { return order(graph).has_cycle; }

std::span<const std::uint64_t> AggregationSnapshot::finish_keys(const NuvelGraphInner& graph) {
  return order(graph).finished;
}

/// The new edge u -> v reaches v, which the search had not discovered when
/// it finished u. Now the search discovers v from u, last of u's
/// successors: the nodes it meets from there on that were still
/// undiscovered (T) get discovered and finished just before u is finished,
/// and every other node keeps its place. T gets keys between u's finish and
/// the event before it; when they do not fit, the order is computed again
/// on next use. The edge closes a cycle exactly when the search from v
/// meets u or a node on the search's path to u.
void AggregationSnapshot::move_below(NodeIndex u, NodeIndex v) {
  Order& order = *order_;
  const std::uint64_t boundary = order.finished[u];
  const auto undiscovered = [&](NodeIndex x) { return order.discovered[x] > boundary; };
  std::uint64_t low = order.discovered[u];
  for (const OutEdge& out : structure_->out(u)) {
    const std::uint64_t found = order.discovered[out.target];
    if (order.discovered[u] < found && found < boundary) {
      low = std::max(low, order.finished[out.target]);
    }
  }

  struct Event {
    NodeIndex node;
    bool finish;
  };
  std::vector<Event> events;
  const std::size_t node_count = order.discovered.size();
  const Lease<NodeMarks> seen = marks(node_count);
  const Lease<NodeMarks> done = marks(node_count);
  const Lease<std::vector<NodeIndex>> stack = nodes();
  stack->push_back(v);
  while (!stack->empty()) {
    const NodeIndex node = stack->back();
    if (seen->mark_new(node)) {
      events.push_back({node, false});
      const std::span<const OutEdge> out = structure_->out(node);
      for (auto it = out.rbegin(); it != out.rend(); ++it) {
        const NodeIndex next = it->target;
        if (!undiscovered(next)) {
          if (order.discovered[next] <= order.discovered[u] && order.finished[next] >= boundary) {
            order.has_cycle = true;
            return;
          }
          continue;
        }
        if (!seen->marked(next)) stack->push_back(next);
      }
    } else {
      stack->pop_back();
      if (done->mark_new(node)) events.push_back({node, true});
    }
  }

  const std::uint64_t step = (boundary - low) / (8 * events.size() + 1);
  if (step == 0) {
    order_.reset();
    return;
  }
  std::uint64_t key = low;
  for (const Event& event : events) {
    key += step;
    (event.finish ? order.finished : order.discovered)[event.node] = key;
  }
}

const FinishOrder& AggregationSnapshot::finish_order(const NuvelGraphInner& graph,
                                                     std::string_view metric) {
  if (!finish_order_) build_finish_order(graph);
  FinishOrder& built = *finish_order_;
  if (built.factor.empty() || built.factor_metric != metric) {
    const MetricColumn& factors = column(graph, metric);
    built.factor_metric = std::string(metric);
    built.factor.resize(built.edge.size());
    for (std::size_t k = 0; k < built.edge.size(); ++k) built.factor[k] = factors.factor[built.edge[k]];
  }
  return built;
}

void AggregationSnapshot::build_finish_order(const NuvelGraphInner& graph) {
  const std::span<const std::uint64_t> finished = finish_keys(graph);
  const Structure& lists = structure(graph);
  auto built = std::make_unique<FinishOrder>();
  const std::size_t node_count = finished.size();
  built->order.resize(node_count);
  for (NodeIndex n = 0; n < node_count; ++n) built->order[n] = n;
  std::sort(built->order.begin(), built->order.end(),
            [&](NodeIndex a, NodeIndex b) { return finished[a] < finished[b]; });
  built->position.resize(node_count);
  for (std::uint32_t at = 0; at < node_count; ++at) built->position[built->order[at]] = at;
  built->begin.reserve(node_count + 1);
  built->child.reserve(lists.edges.size() - lists.garbage);
  built->edge.reserve(lists.edges.size() - lists.garbage);
  std::vector<std::pair<std::uint32_t, EdgeIndex>> children;
  for (const NodeIndex node : built->order) {
    built->begin.push_back(static_cast<std::uint32_t>(built->child.size()));
    children.clear();
    for (const OutEdge& out : lists.out(node)) children.emplace_back(built->position[out.target], out.edge);
    std::sort(children.begin(), children.end());
    for (const auto& [at, edge] : children) {
      built->child.push_back(at);
      built->edge.push_back(edge);
      built->count.push_back(lists.count[edge]);
    }
  }
  built->begin.push_back(static_cast<std::uint32_t>(built->child.size()));
  finish_order_ = std::move(built);
}

// ---- The writers' interface ------------------------------------------------

AggregationSnapshot::AggregationSnapshot() = default;
AggregationSnapshot::~AggregationSnapshot() = default;
AggregationSnapshot::AggregationSnapshot(AggregationSnapshot&&) noexcept = default;
AggregationSnapshot& AggregationSnapshot::operator=(AggregationSnapshot&&) noexcept = default;

namespace {

/// Keeps a list of changed handles within a bound by dropping repeats.
void note(std::vector<std::uint32_t>& changed, std::uint32_t handle, std::size_t bound) {
  changed.push_back(handle);
  if (changed.size() > 1024 && changed.size() > 2 * bound) {
    std::sort(changed.begin(), changed.end());
    changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
  }
}

}  // namespace

void AggregationSnapshot::node_added(const NuvelGraphInner& /*graph*/, NodeIndex /*n*/) {
  finish_order_.reset();
  if (structure_) {
    structure_->begin.push_back(static_cast<std::uint32_t>(structure_->edges.size()));
    structure_->size.push_back(0);
    structure_->capacity.push_back(0);
  }
  if (order_ && !order_->has_cycle) {
    // A node without edges is the search's last root.
    Order& order = *order_;
    if (order.last > (std::uint64_t{1} << 63)) {
      order_.reset();
      return;
    }
    order.discovered.push_back(order.last += order.spacing);
    order.finished.push_back(order.last += order.spacing);
  }
}

void AggregationSnapshot::edge_added(const NuvelGraphInner& graph, EdgeIndex e,
                                     bool source_was_leaf) {
  const NodeIndex u = graph.source(e);
  const NodeIndex v = graph.target(e);
  if (source_was_leaf && !graph.node(u).metrics.empty()) changed_nodes_.push_back(u);
  finish_order_.reset();
  if (!structure_) return;
  structure_->append(u, {v, e});
  if (!order_ || order_->has_cycle) return;
  Order& order = *order_;
  if (u == v) {
    order.has_cycle = true;
  } else if (order.discovered[v] < order.finished[u]) {
    // The search met v before it finished u, so it runs as before; v on the
    // path to u makes a cycle.
    if (order.discovered[v] < order.discovered[u] && order.finished[u] < order.finished[v]) {
      order.has_cycle = true;
    }
  } else {
    move_below(u, v);
  }
}

void AggregationSnapshot::node_changing(const NuvelGraphInner& graph, NodeIndex n) {
  // A leaf's values need no reset; a leaf that gains an out-edge is noted then.
  if (!columns_.empty() || !graph.is_leaf(n)) {
    note(changed_nodes_, n, graph.node_count());
  }
}

void AggregationSnapshot::edge_changing(EdgeIndex e) {
  if (structure_ || !columns_.empty() || finish_order_) note(changed_edges_, e, e + std::size_t{1});
}

// ---- Metric columns and reset candidates -----------------------------------

namespace {

void read_node(const NuvelGraphInner& graph, MetricColumn& column, std::optional<TextId> id,
               NodeIndex n) {
  const NodeData& data = graph.node(n);
  const NodeMetrics::Entry* entry = id ? data.metrics.find(*id) : nullptr;
  std::uint8_t kind = MetricColumn::kAbsent;
  double value = 0.0;
  if (entry != nullptr) {
    kind = entry->is_single() ? MetricColumn::kSingle : MetricColumn::kMultiOp;
    if (entry->is_single()) value = entry->value();
  }
  double specified = 0.0;
  if (const SingleMetric* given = data.specified_metrics.find(column.metric)) {
    kind |= MetricColumn::kSpecified;
    specified = given->value;
  }
  column.kind[n] = kind;
  column.value[n] = value;
  column.product[n] = value * data.instance;
  column.specified[n] = specified;
}

}  // namespace

void AggregationSnapshot::extend(const NuvelGraphInner& graph, MetricColumn& column) const {
  const std::size_t node_count = graph.node_count();
  if (column.kind.size() < node_count) {
    const std::optional<TextId> id = graph.metric_id(column.metric);
    std::size_t n = column.kind.size();
    column.kind.resize(node_count);
    column.value.resize(node_count);
    column.product.resize(node_count);
    column.specified.resize(node_count);
    for (; n < node_count; ++n) read_node(graph, column, id, static_cast<NodeIndex>(n));
  }
  for (EdgeIndex e = static_cast<EdgeIndex>(column.factor.size()); e < graph.edge_count(); ++e) {
    column.factor.push_back(graph.edge(e).factor_of(column.metric));
  }
}

const MetricColumn& AggregationSnapshot::column(const NuvelGraphInner& graph,
                                                std::string_view metric) {
  constexpr std::size_t kKept = 4;
  auto found = std::find_if(columns_.begin(), columns_.end(),
                            [&](const auto& column) { return column->metric == metric; });
  if (found == columns_.end()) {
    if (columns_.size() == kKept) columns_.pop_back();
    columns_.push_back(std::make_unique<MetricColumn>());
    columns_.back()->metric = std::string(metric);
    found = columns_.end() - 1;
  }
  std::rotate(columns_.begin(), found, found + 1);
  extend(graph, *columns_.front());
  return *columns_.front();
}

void AggregationSnapshot::distribute_candidates(const NuvelGraphInner& graph, NodeIndex n) {
  if (graph.is_leaf(n)) return;
  for (const NodeMetrics::Entry& entry : graph.node(n).metrics) {
    if (entry.is_single() && !is_positive_zero(entry.value())) add_reset_candidate(entry.metric(), n);
  }
}

void AggregationSnapshot::sync(const NuvelGraphInner& graph) {
  if (changed_nodes_.empty() && changed_edges_.empty()) return;
  std::vector<std::optional<TextId>> ids;
  for (const auto& column : columns_) ids.push_back(graph.metric_id(column->metric));
  for (const NodeIndex n : changed_nodes_) {
    distribute_candidates(graph, n);
    for (std::size_t c = 0; c < columns_.size(); ++c) {
      if (n < columns_[c]->kind.size()) read_node(graph, *columns_[c], ids[c], n);
    }
  }
  if (!changed_edges_.empty()) finish_order_.reset();
  for (const EdgeIndex e : changed_edges_) {
    const EdgeData& data = graph.edge(e);
    if (structure_ && e < structure_->count.size()) {
      structure_->count[e] = data.count;
      structure_->parallel[e] = data.aggregation == kParallel ? 1 : 0;
    }
    for (const auto& column : columns_) {
      if (e < column->factor.size()) column->factor[e] = data.factor_of(column->metric);
    }
  }
  changed_nodes_.clear();
  changed_edges_.clear();
}

std::vector<NodeIndex> AggregationSnapshot::take_reset_candidates(TextId metric) {
  for (auto& [id, list] : candidates_) {
    if (id != metric) continue;
    std::vector<NodeIndex> taken = std::move(list);
    list.clear();
    std::sort(taken.begin(), taken.end());
    taken.erase(std::unique(taken.begin(), taken.end()), taken.end());
    return taken;
  }
  return {};
}

void AggregationSnapshot::add_reset_candidate(TextId metric, NodeIndex n) {
  for (auto& [id, list] : candidates_) {
    if (id == metric) {
      list.push_back(n);
      return;
    }
  }
  candidates_.emplace_back(metric, std::vector<NodeIndex>{n});
}

}  // namespace nuvel
