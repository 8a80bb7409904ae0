// What the aggregation engine keeps between calls, beside the graph store:
// packed out-lists and the whole-graph depth-first order, columns of edge
// and node data per metric, the metric reset candidates, and scratch space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "text_table.h"

namespace nuvel {

class NuvelGraphInner;
using NodeIndex = std::uint32_t;
using EdgeIndex = std::uint32_t;

/// Marks on nodes for one use: begin() drops every mark by moving to a new
/// stamp, so a call pays for the nodes it marks, not for the graph (the
/// stamps are cleared once every 65,535 uses).
class NodeMarks {
 public:
  void begin(std::size_t node_count);
  bool marked(NodeIndex n) const { return stamp_[n] == current_; }
  void mark(NodeIndex n) { stamp_[n] = current_; }
  void unmark(NodeIndex n) { stamp_[n] = 0; }
  /// Marks `n`; true when it was not marked yet.
  bool mark_new(NodeIndex n) {
    if (stamp_[n] == current_) return false;
    stamp_[n] = current_;
    return true;
  }

 private:
  std::vector<std::uint16_t> stamp_;
  std::uint16_t current_ = 0;
};

/// A scratch object on loan from a pool, returned when the lease ends. A
/// pool hands out a new object when all of its own are on loan, so nested
/// uses (a logging handler that calls back into the graph) never collide.
template <class T>
class Lease {
 public:
  /// Takes an object from `pool` and hands it to prepare(T&) first.
  template <class Prepare>
  Lease(std::vector<std::unique_ptr<T>>& pool, Prepare&& prepare)
      : pool_(pool), object_(take(pool)) {
    prepare(*object_);
  }
  ~Lease() { pool_.push_back(std::move(object_)); }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;

  T& operator*() const { return *object_; }
  T* operator->() const { return object_.get(); }

 private:
  static std::unique_ptr<T> take(std::vector<std::unique_ptr<T>>& pool) {
    if (pool.empty()) return std::make_unique<T>();
    std::unique_ptr<T> object = std::move(pool.back());
    pool.pop_back();
    return object;
  }

  std::vector<std::unique_ptr<T>>& pool_;
  std::unique_ptr<T> object_;
};

/// One metric's data as the fast passes read it, indexed by node and edge.
struct MetricColumn {
  enum Kind : std::uint8_t { kAbsent = 0, kSingle = 1, kMultiOp = 2, kHolds = 3, kSpecified = 4 };
  std::string metric;
  std::vector<std::uint8_t> kind;   ///< per node: kAbsent, kSingle or kMultiOp, | kSpecified
  std::vector<double> value;        ///< per node: the value of a Single
  std::vector<double> product;      ///< per node: value x instance, as the module mode reads it
  std::vector<double> specified;    ///< per node: the specified value, where kSpecified
  std::vector<double> factor;       ///< per edge: the factor, 1.0 when absent
};

/// A node's out-edge as the packed lists hold it.
struct OutEdge {
  NodeIndex target;
  EdgeIndex edge;
};

/// Read access to the packed out-lists: lists[n] is node n's out-edges,
/// oldest first, so read backwards for list order.
class OutLists {
 public:
  std::span<const OutEdge> operator[](NodeIndex n) const { return {edges_ + begin_[n], size_[n]}; }
  /// The targets alone of lists[n], in the same order: half the bytes.
  std::span<const NodeIndex> targets(NodeIndex n) const { return {targets_ + begin_[n], size_[n]}; }
  /// The store's is_leaf, from a dense array.
  bool is_leaf(NodeIndex n) const { return size_[n] == 0; }

 private:
  friend class AggregationSnapshot;
  OutLists(const std::uint32_t* begin, const std::uint32_t* size, const OutEdge* edges,
           const NodeIndex* targets)
      : begin_(begin), size_(size), edges_(edges), targets_(targets) {}
  const std::uint32_t* begin_;
  const std::uint32_t* size_;
  const OutEdge* edges_;
  const NodeIndex* targets_;
};

/// The whole graph in the depth-first finish order, for passes that take
/// every node: the node at position i is order[i]; its children, in the
/// same order, are at the positions child[begin[i]] up to
/// child[begin[i + 1]], reached over the edges edge[begin[i]] onwards,
/// whose counts (and factors of `factor_metric`) sit beside them.
struct FinishOrder {
  std::vector<NodeIndex> order;
  std::vector<std::uint32_t> position;  ///< per node
  std::vector<std::uint32_t> begin;     ///< per position, and one past the last
  std::vector<std::uint32_t> child;
  std::vector<EdgeIndex> edge;
  std::vector<double> count;
  std::string factor_metric;
  std::vector<double> factor;
};

/// The aggregation engine's state beside one graph store.
///
/// Contract: everything here is derived from the store, except the reset
/// candidates, and is brought up to date lazily. The store reports every
/// change through the writers' interface below: additions as they happen,
/// data changes before they happen (the snapshot reads the new data at the
/// next sync). Derived data is patched per change where that is cheap and
/// rebuilt on first use otherwise. References returned by the readers stay
/// valid until the store next changes; the scratch pools make nested calls
/// safe. The exact, narrated passes read the store itself and use only the
/// order, the cycle flag and scratch from here.
class AggregationSnapshot {
 public:
  AggregationSnapshot();
  ~AggregationSnapshot();
  AggregationSnapshot(AggregationSnapshot&&) noexcept;
  AggregationSnapshot& operator=(AggregationSnapshot&&) noexcept;

  // ---- Writers' interface ----------------------------------------------
  void node_added(const NuvelGraphInner& graph, NodeIndex n);
  /// A new edge `e`; `source_was_leaf` when it is its source's first.
  void edge_added(const NuvelGraphInner& graph, EdgeIndex e, bool source_was_leaf);
  /// The metrics, instance or specified metrics of `n` are about to change.
  void node_changing(const NuvelGraphInner& graph, NodeIndex n);
  /// The count, aggregation, factor or operation of `e` is about to change.
  void edge_changing(EdgeIndex e);

  // ---- Readers -----------------------------------------------------------
  /// Applies the reported data changes; the store calls it before handing
  /// the snapshot to the engine.
  void sync(const NuvelGraphInner& graph);

  /// Whether the graph has a cycle (a self-loop included).
  bool has_cycle(const NuvelGraphInner& graph);
  /// Each node's place in the whole-graph depth-first finish order, as a
  /// key that grows with it; valid while has_cycle() is false.
  std::span<const std::uint64_t> finish_keys(const NuvelGraphInner& graph);
  OutLists out_lists(const NuvelGraphInner& graph);
  /// Edge counts and "parallel" flags as columns.
  std::span<const double> counts(const NuvelGraphInner& graph);
  std::span<const std::uint8_t> parallel(const NuvelGraphInner& graph);
  /// The finish order of the whole graph with the factors of `metric`,
  /// built on first use after a node or an edge was added or an edge
  /// changed; valid while has_cycle() is false.
  const FinishOrder& finish_order(const NuvelGraphInner& graph, std::string_view metric);
  /// The column of `metric`, built on first use; the few most recently
  /// used are kept.
  const MetricColumn& column(const NuvelGraphInner& graph, std::string_view metric);

  /// The nodes with out-edges that may hold a Single of `metric` other than
  /// +0.0, sorted, each once; the list starts empty again.
  std::vector<NodeIndex> take_reset_candidates(TextId metric);
  /// The engine wrote a value other than +0.0 into node n's `metric`.
  void add_reset_candidate(TextId metric, NodeIndex n);

  /// Scratch per node: marks, and arrays of at least `node_count` values
  /// that hold whatever the last user left (read only what you wrote).
  Lease<NodeMarks> marks(std::size_t node_count);
  Lease<std::vector<double>> values(std::size_t node_count);
  Lease<std::vector<std::uint32_t>> slots(std::size_t node_count);
  /// An empty list of nodes.
  Lease<std::vector<NodeIndex>> nodes();

 private:
  struct Structure;
  struct Order;

  Structure& structure(const NuvelGraphInner& graph);
  Order& order(const NuvelGraphInner& graph);
  void build_finish_order(const NuvelGraphInner& graph);
  void extend(const NuvelGraphInner& graph, Structure& structure) const;
  void extend(const NuvelGraphInner& graph, MetricColumn& column) const;
  void distribute_candidates(const NuvelGraphInner& graph, NodeIndex n);
  void move_below(NodeIndex u, NodeIndex v);

  std::unique_ptr<Structure> structure_;  ///< null until first needed
  std::unique_ptr<Order> order_;          ///< null until first needed, or stale
  std::unique_ptr<FinishOrder> finish_order_;  ///< null until first needed, or stale
  std::vector<std::unique_ptr<MetricColumn>> columns_;  ///< most recently used first
  std::vector<std::pair<TextId, std::vector<NodeIndex>>> candidates_;

  std::vector<NodeIndex> changed_nodes_;
  std::vector<EdgeIndex> changed_edges_;

  std::vector<std::unique_ptr<NodeMarks>> marks_;
  std::vector<std::unique_ptr<std::vector<double>>> value_lists_;
  std::vector<std::unique_ptr<std::vector<std::uint32_t>>> slot_lists_;
  std::vector<std::unique_ptr<std::vector<NodeIndex>>> node_lists_;
};

}  // namespace nuvel
