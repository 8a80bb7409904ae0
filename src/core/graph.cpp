#include "graph.h"

#include <utility>

namespace nuvel {

NodeIndex NuvelGraphInner::add_node(std::string_view name,
                                    std::optional<std::string_view> performance) {
  if (nodes_.size() >= kNoIndex) throw InternalError("node handles exhausted");
  const auto index = static_cast<NodeIndex>(nodes_.size());
  NodeRecord& record = nodes_.emplace_back();
  record.data.name.assign(name);
  if (performance) record.data.performance.emplace(*performance);
  name_index_.insert_or_assign(name, index);
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
  edges_.push_back(EdgeRecord{{}, *from, *to, nodes_[*from].first_out, nodes_[*to].first_in});
  nodes_[*from].first_out = index;
  nodes_[*to].first_in = index;
  edge_index_.insert(pair_hash(*from, *to), index);
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
  const std::uint32_t at = edge_index_.find(pair_hash(source, target), [&](std::uint32_t e) {
    return edges_[e].source == source && edges_[e].target == target;
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
  const NodeIndex* found = name_index_.find(name);
  if (!found) return std::nullopt;
  return *found;
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
