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
#include "snapshot.h"
#include "text_pool.h"
#include "text_table.h"

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
  NodeMetrics metrics;                          ///< keyed by NuvelGraphInner::metric_id()
  OrderedMap<SingleMetric> specified_metrics;
};

struct EdgeData {
  double count = 1.0;                       ///< how often the source uses the target
  AggregationId aggregation = kParallel;    ///< see NuvelGraphInner::aggregation()
  OrderedMap<std::string> operation;        ///< metric name to operation name
  OrderedMap<double> factor;                ///< metric name to weight; missing counts as 1.0

  double factor_of(std::string_view metric) const {
    const double* weight = factor.find(metric);
    return weight != nullptr ? *weight : 1.0;
  }
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
/// aggregation texts, metric names and units are kept once per distinct
/// text for the store's life. Beside the records lives the aggregation
/// snapshot: add_node and add_edge report themselves to it, and every
/// other writer reaches node and edge data through change_node and
/// change_edge, which report the change.
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
  /// The nodes that lookup() no longer finds, because their name was added
  /// again later; in the order that happened.
  const std::vector<NodeIndex>& shadowed_nodes() const { return shadowed_; }

  std::size_t node_count() const { return nodes_.size(); }
  std::size_t edge_count() const { return edges_.size(); }

  const NodeData& node(NodeIndex n) const { return nodes_[n].data; }
  const EdgeData& edge(EdgeIndex e) const { return edges_[e].data; }
  NodeIndex source(EdgeIndex e) const { return edges_[e].source; }
  NodeIndex target(EdgeIndex e) const { return edges_[e].target; }

  /// Write access to a node's metrics, instance, tags or specified metrics
  /// (respectively an edge's count, factor or operation): every writer goes
  /// through these, which tell the aggregation snapshot.
  NodeData& change_node(NodeIndex n) {
    snapshot_.node_changing(*this, n);
    return nodes_[n].data;
  }
  EdgeData& change_edge(EdgeIndex e) {
    snapshot_.edge_changing(e);
    return edges_[e].data;
  }
  /// The engine's write access to the Single values of nodes with
  /// out-edges, the values it aggregates into. The snapshot keeps no copy
  /// of those, so it need not hear of them; the engine keeps the reset
  /// candidates itself.
  NodeMetrics& aggregated_metrics(NodeIndex n) { return nodes_[n].data.metrics; }

  /// The aggregation text of an edge ("parallel" for a new edge).
  std::string_view aggregation(EdgeIndex e) const {
    return aggregation_texts_[edges_[e].data.aggregation];
  }
  void set_aggregation(EdgeIndex e, std::string_view text);

  bool is_leaf(NodeIndex n) const { return nodes_[n].first_out == kNoIndex; }

  /// Metric names and unit texts of node metrics, each stored once.
  TextId intern(std::string_view text) { return metric_texts_.intern(texts_, text); }
  std::optional<TextId> metric_id(std::string_view text) const { return metric_texts_.find(text); }
  std::string_view text(TextId id) const { return metric_texts_.text(id); }

  /// The aggregation snapshot, brought up to date with the store.
  AggregationSnapshot& snapshot() const {
    snapshot_.sync(*this);
    return snapshot_;
  }

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
  TextTable metric_texts_;
  std::vector<NodeIndex> shadowed_;
  mutable AggregationSnapshot snapshot_;
};

}  // namespace nuvel
