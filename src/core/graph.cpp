#include "graph.h"

#include <functional>
#include <utility>

namespace nuvel {

NuvelGraphInner::NuvelGraphInner() { set_aggregation_text("parallel"); }

AggregationId NuvelGraphInner::set_aggregation_text(std::string_view text) {
  if (const AggregationId* known = aggregation_ids_.find(text)) return *known;
  const auto id = static_cast<AggregationId>(aggregation_texts_.size());
  aggregation_texts_.push_back(texts_.add(text));
  aggregation_ids_.insert_or_assign(text, id);
  return id;
}

void NuvelGraphInner::set_aggregation(EdgeIndex e, std::string_view text) {
  change_edge(e).aggregation = set_aggregation_text(text);
}

NodeIndex NuvelGraphInner::add_node(std::string_view name,
                                    std::optional<std::string_view> performance) {
  if (nodes_.size() >= kNoIndex) throw InternalError("node handles exhausted");
  const auto index = static_cast<NodeIndex>(nodes_.size());
  NodeRecord& record = nodes_.emplace_back();
  record.data.name = texts_.add(name);
  if (performance) record.data.performance = texts_.add(*performance);
  const std::uint32_t shadowed = name_index_.assign(record.data.name, text_hash(name), index);
  if (shadowed != NameIndex::kNotFound) shadowed_.push_back(shadowed);
  snapshot_.node_added(*this, index);
  return index;
}

Result<AddedEdge> NuvelGraphInner::add_edge(std::string_view source, std::string_view target) {
  const std::optional<NodeIndex> from = lookup(source);
  if (!from) return value_error("Node '" + std::string(source) + "' not found");
  const std::optional<NodeIndex> to = lookup(target);
  if (!to) return value_error("Node '" + std::string(target) + "' not found");

  if (const std::optional<EdgeIndex> existing = find_edge(*from, *to)) {
    return AddedEdge{*existing, true};
  }
  if (edges_.size() >= kNoIndex) throw InternalError("edge handles exhausted");
  const auto index = static_cast<EdgeIndex>(edges_.size());
  const bool source_was_leaf = nodes_[*from].first_out == kNoIndex;
  edges_.emplace_back(EdgeRecord{{}, *from, *to, nodes_[*from].first_out, nodes_[*to].first_in});
  nodes_[*from].first_out = index;
  nodes_[*to].first_in = index;

  // The edge pushed to position kUnindexedOut of the out-list leaves the
  // walked prefix and enters the index, where it stays.
  EdgeIndex e = index;
  for (unsigned position = 0; position < kUnindexedOut && e != kNoIndex; ++position) {
    e = edges_[e].next_out;
  }
  if (e != kNoIndex) edge_index_.insert(pair_hash(*from, edges_[e].target), e);
  snapshot_.edge_added(*this, index, source_was_leaf);
  return AddedEdge{index, false};
}

std::optional<EdgeIndex> NuvelGraphInner::find_edge(std::string_view source,
                                                    std::string_view target) const {
  const std::optional<NodeIndex> from = lookup(source);
  if (!from) return std::nullopt;
  const std::optional<NodeIndex> to = lookup(target);
  if (!to) return std::nullopt;
  return find_edge(*from, *to);
}

std::optional<EdgeIndex> NuvelGraphInner::find_edge(NodeIndex source, NodeIndex target) const {
  // The newest kUnindexedOut out-edges are found by walking the list, which
  // for the common small out-degree touches a few adjacent records and no
  // index; older ones are in the index.
  EdgeIndex e = nodes_[source].first_out;
  for (unsigned position = 0; position < kUnindexedOut && e != kNoIndex; ++position) {
    if (edges_[e].target == target) return e;
    e = edges_[e].next_out;
  }
  if (e == kNoIndex) return std::nullopt;
  const std::uint32_t at = edge_index_.find(pair_hash(source, target), [&](std::uint32_t found) {
    return edges_[found].source == source && edges_[found].target == target;
  });
  if (at == HashIndex::kNotFound) return std::nullopt;
  return at;
}

std::vector<NodeIndex> NuvelGraphInner::leaf_indices() const {
  std::vector<NodeIndex> leaves;
  for (std::size_t n = 0; n < nodes_.size(); ++n) {
    if (nodes_[n].first_out == kNoIndex) leaves.push_back(static_cast<NodeIndex>(n));
  }
  return leaves;
}

std::optional<NodeIndex> NuvelGraphInner::lookup(std::string_view name) const {
  const std::uint32_t at = name_index_.find(name, text_hash(name));
  if (at == NameIndex::kNotFound) return std::nullopt;
  return at;
}

std::uint32_t NuvelGraphInner::text_hash(std::string_view text) {
  return static_cast<std::uint32_t>(std::hash<std::string_view>{}(text));
}

std::uint32_t NuvelGraphInner::pair_hash(NodeIndex source, NodeIndex target) {
  // splitmix64's finaliser: every input bit reaches the low 32 bits used.
  std::uint64_t x = (std::uint64_t{source} << 32) | target;
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return static_cast<std::uint32_t>(x);
}

}  // namespace nuvel
