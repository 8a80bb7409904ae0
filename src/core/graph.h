// The graph store: nodes, edges, their records and the name index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chunked_vector.h"
#include "hash_index.h"
#include "metric.h"
#include "name_index.h"
#include "ordered_map.h"
#include "result.h"
#include "text_pool.h"

namespace nuvel {

/// Dense handles, numbered from 0 in order of creation and never removed.
using NodeIndex = std::uint32_t;
using EdgeIndex = std::uint32_t;

/// End marker of the adjacency lists; never a valid handle, so a store holds
/// at most 0xFFFFFFFF nodes and as many edges.
inline constexpr std::uint32_t kNoIndex = 0xFFFFFFFFu;

using TextList = std::vector<std::string>;

/// Handle of an aggregation text in the store's table of distinct texts.
using AggregationId = std::uint32_t;
inline constexpr AggregationId kParallel = 0;  ///< the text "parallel"

struct NodeData {
  PooledText name;         ///< never changes
  PooledText performance;  ///< absent unless given; a path that is never opened
  double instance = 1.0;                        ///< instance count of a module
  std::unique_ptr<TextList> tags;               ///< caller order, duplicates allowed; null if empty
  OrderedMap<MetricValue> metrics;
  OrderedMap<SingleMetric> specified_metrics;
};

struct EdgeData {
  double count = 1.0;                       ///< how often the source uses the target
  AggregationId aggregation = kParallel;    ///< see NuvelGraphInner::aggregation()
  OrderedMap<std::string> operation;        ///< metric name to operation name
  OrderedMap<double> factor;                ///< metric name to weight; missing counts as 1.0
};

/// Facts that depend only on which nodes and edges exist, not on their data.
/// Computed by the first caller that needs them and dropped when a node or
/// an edge is added.
struct StructureFacts {
  bool has_cycle = false;              ///< a self-loop included
  std::vector<std::uint32_t> position;  ///< each node's place in the topological order
};

/// The out-lists packed in list order: node n's targets are
/// targets[begin[n]] up to targets[begin[n + 1]]. Walks that touch many
/// nodes read these two arrays instead of the scattered records.
struct PackedOutLists {
  std::vector<std::uint32_t> begin;
  std::vector<NodeIndex> targets;

  bool is_leaf(NodeIndex n) const { return begin[n] == begin[n + 1]; }
};

/// One metric's value x instance of each module, as the module walk reads
/// it: an entry is filled on its first read and cleared whenever the node's
/// metrics or instance may change.
struct ModuleProducts {
  enum State : std::uint8_t { kUnread, kSingle, kNotSingle };
  std::string metric;
  std::vector<double> product;
  std::vector<std::uint8_t> state;
};

struct AddedEdge {
  EdgeIndex edge;
  bool merged;  ///< the pair already had an edge, which is returned unchanged
};

/// A directed graph of NodeData and EdgeData records with a name index.
///
/// Contract: nodes and edges only grow; records live in chunked arrays
/// indexed by their handles and never move. Each node's outgoing and incoming
/// edges form singly linked lists with the newest edge at the head, so every
/// walk of a list ("list order") yields edges in descending EdgeIndex order.
/// At most one edge joins an ordered (source, target) pair: add_edge merges a
/// repeat. find_edge walks at most kUnindexedOut edges of the source's list
/// and finds older edges in a hash index over pairs, so add_edge and
/// find_edge are expected O(1) whatever the out-degree. Self-loops and cycles are stored as given. Names in the index are
/// unique; adding a name again creates a second node, and the index then maps
/// the name to the newest one while the older node keeps its data and edges.
/// Node names and performance paths are immutable and kept in a text pool;
/// aggregation texts are kept once per distinct text for the store's life.
class NuvelGraphInner {
 public:
  NuvelGraphInner();
  NuvelGraphInner(NuvelGraphInner&&) noexcept = default;
  NuvelGraphInner& operator=(NuvelGraphInner&&) noexcept = default;

  /// Appends a node with default data and points the name index at it.
  /// Throws InternalError when the handle space is exhausted.
  NodeIndex add_node(std::string_view name, std::optional<std::string_view> performance);

  /// Links source to target, or returns the existing edge of that pair
  /// untouched. Fails with "Node '{}' not found", source checked first.
  Result<AddedEdge> add_edge(std::string_view source, std::string_view target);

  /// The edge from the node named `source` to the node named `target`;
  /// nothing if either name is unknown or the pair has no edge.
  std::optional<EdgeIndex> find_edge(std::string_view source, std::string_view target) const;
  std::optional<EdgeIndex> find_edge(NodeIndex source, NodeIndex target) const;

  /// Every node without outgoing edges, in ascending index order.
  std::vector<NodeIndex> leaf_indices() const;

  std::optional<NodeIndex> lookup(std::string_view name) const;

  std::size_t node_count() const { return nodes_.size(); }
  std::size_t edge_count() const { return edges_.size(); }

  NodeData& node(NodeIndex n) { return nodes_[n].data; }
  const NodeData& node(NodeIndex n) const { return nodes_[n].data; }
  EdgeData& edge(EdgeIndex e) { return edges_[e].data; }
  const EdgeData& edge(EdgeIndex e) const { return edges_[e].data; }
  NodeIndex source(EdgeIndex e) const { return edges_[e].source; }
  NodeIndex target(EdgeIndex e) const { return edges_[e].target; }

  /// The aggregation text of an edge ("parallel" for a new edge).
  std::string_view aggregation(EdgeIndex e) const {
    return aggregation_texts_[edges_[e].data.aggregation];
  }
  void set_aggregation(EdgeIndex e, std::string_view text);

  bool is_leaf(NodeIndex n) const { return nodes_[n].first_out == kNoIndex; }

  /// Nodes with out-edges whose metrics may hold a Single value other than
  /// +0.0, in no order and possibly repeated: the only nodes that a metric
  /// reset has to visit. Whoever writes a metric value calls
  /// note_metric_written(); add_edge adds a node with metrics that gains its
  /// first out-edge. The reset prunes the list.
  std::vector<NodeIndex>& reset_candidates() { return reset_candidates_; }
  void note_metric_written(NodeIndex n) {
    if (!is_leaf(n)) reset_candidates_.push_back(n);
  }

  /// The out-lists of the current graph, packed on first use; the reference
  /// stays valid until a node or an edge is added.
  const PackedOutLists& packed_out_lists() const;

  /// The cached products of `metric`, covering every node. Kept for the
  /// few most recently used metrics.
  ModuleProducts& module_products(std::string_view metric) const;
  /// Whoever changes a node's metrics or instance through node() calls
  /// this, for that node or for all of them.
  void forget_module_products(NodeIndex n) {
    // Only modules are read from the cache, and a node with out-edges never
    // becomes a module again.
    if (products_.empty() || !is_leaf(n)) return;
    for (const auto& column : products_) {
      if (n < column->state.size()) column->state[n] = ModuleProducts::kUnread;
    }
  }
  void forget_module_products() { products_.clear(); }

  /// The structure facts of the current graph, computed on first use
  /// (defined with the topological sort in paths.cpp). The reference stays
  /// valid until a node or an edge is added.
  const StructureFacts& structure_facts() const;

  /// Heads and links of the adjacency lists, for walks in list order:
  /// for (EdgeIndex e = first_out(n); e != kNoIndex; e = next_out(e)).
  EdgeIndex first_out(NodeIndex n) const { return nodes_[n].first_out; }
  EdgeIndex first_in(NodeIndex n) const { return nodes_[n].first_in; }
  EdgeIndex next_out(EdgeIndex e) const { return edges_[e].next_out; }
  EdgeIndex next_in(EdgeIndex e) const { return edges_[e].next_in; }

 private:
  struct NodeRecord {
    NodeData data;
    EdgeIndex first_out = kNoIndex;
    EdgeIndex first_in = kNoIndex;
  };
  struct EdgeRecord {
    EdgeData data;
    NodeIndex source;
    NodeIndex target;
    EdgeIndex next_out;
    EdgeIndex next_in;
  };

  AggregationId set_aggregation_text(std::string_view text);  ///< interns the text
  void forget_structure() {  ///< after a node or an edge is added
    facts_.reset();
    packed_.reset();
  }
  static std::uint32_t text_hash(std::string_view text);
  static std::uint32_t pair_hash(NodeIndex source, NodeIndex target);

  /// Out-edges nearer the head of their list than this are not indexed.
  static constexpr unsigned kUnindexedOut = 8;

  ChunkedVector<NodeRecord> nodes_;
  ChunkedVector<EdgeRecord> edges_;
  TextPool texts_;
  NameIndex name_index_;
  HashIndex edge_index_;  ///< (source, target) to EdgeIndex, for older out-edges
  std::vector<PooledText> aggregation_texts_;        ///< distinct texts
  OrderedMap<AggregationId> aggregation_ids_;        ///< few in practice: searched linearly
  mutable std::unique_ptr<StructureFacts> facts_;    ///< null until needed
  mutable std::unique_ptr<PackedOutLists> packed_;   ///< null until needed
  std::vector<NodeIndex> reset_candidates_;
  mutable std::vector<std::unique_ptr<ModuleProducts>> products_;  ///< most recent first
};

}  // namespace nuvel
