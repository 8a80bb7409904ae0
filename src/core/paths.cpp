#include "paths.h"

#include <algorithm>
#include <memory>

namespace nuvel {
namespace {

/// The depth-first finish order of the whole graph, reversed (sources
/// first): roots taken in ascending index, a node's successors pushed in
/// list order. Empty with `has_cycle` set when a self-loop is met.
std::vector<NodeIndex> candidate_order(const NuvelGraphInner& graph, bool& has_cycle) {
  const std::size_t count = graph.node_count();
  std::vector<std::uint8_t> discovered(count, 0);
  std::vector<std::uint8_t> finished(count, 0);
  std::vector<NodeIndex> stack;
  std::vector<NodeIndex> order;
  order.reserve(count);
  for (NodeIndex root = 0; root < count; ++root) {
    if (discovered[root] != 0) continue;
    stack.push_back(root);
    while (!stack.empty()) {
      const NodeIndex node = stack.back();
      if (discovered[node] == 0) {
        discovered[node] = 1;
        for (EdgeIndex e = graph.first_out(node); e != kNoIndex; e = graph.next_out(e)) {
          const NodeIndex successor = graph.target(e);
          if (successor == node) {
            has_cycle = true;
            return {};
          }
          if (discovered[successor] == 0) stack.push_back(successor);
        }
      } else {
        stack.pop_back();
        if (finished[node] == 0) {
          finished[node] = 1;
          order.push_back(node);
        }
      }
    }
  }
  std::reverse(order.begin(), order.end());
  return order;
}

StructureFacts compute_structure_facts(const NuvelGraphInner& graph) {
  StructureFacts facts;
  const std::vector<NodeIndex> order = candidate_order(graph, facts.has_cycle);
  if (facts.has_cycle) return facts;
  facts.position.resize(graph.node_count());
  for (std::size_t at = 0; at < order.size(); ++at) {
    facts.position[order[at]] = static_cast<std::uint32_t>(at);
  }
  // The order is topological exactly when no edge points backwards in it;
  // any cycle has such an edge in every order.
  for (EdgeIndex e = 0; e < graph.edge_count(); ++e) {
    if (facts.position[graph.source(e)] >= facts.position[graph.target(e)]) {
      facts.has_cycle = true;
      return facts;
    }
  }
  return facts;
}

/// Depth-first search from `start` along out-edges (or in-edges when
/// kBackwards), marking each node in `seen` once and calling visit(node) for
/// it, `start` first; stops when visit returns false.
template <bool kBackwards, class Visit>
void search(const NuvelGraphInner& graph, NodeIndex start, std::vector<std::uint8_t>& seen,
            Visit&& visit) {
  // Forwards, the packed copy of the out-lists is the cheaper read.
  const PackedOutLists* out = kBackwards ? nullptr : &graph.packed_out_lists();
  std::vector<NodeIndex> stack{start};
  seen[start] = 1;
  while (!stack.empty()) {
    const NodeIndex node = stack.back();
    stack.pop_back();
    if (!visit(node)) return;
    if constexpr (kBackwards) {
      for (EdgeIndex e = graph.first_in(node); e != kNoIndex; e = graph.next_in(e)) {
        const NodeIndex next = graph.source(e);
        if (seen[next] == 0) {
          seen[next] = 1;
          stack.push_back(next);
        }
      }
    } else {
      for (std::uint32_t at = out->begin[node]; at != out->begin[node + 1]; ++at) {
        const NodeIndex next = out->targets[at];
        if (seen[next] == 0) {
          seen[next] = 1;
          stack.push_back(next);
        }
      }
    }
  }
}

}  // namespace

const StructureFacts& NuvelGraphInner::structure_facts() const {
  if (!facts_) facts_ = std::make_unique<StructureFacts>(compute_structure_facts(*this));
  return *facts_;
}

std::vector<std::uint8_t> ancestors_of(const NuvelGraphInner& graph, NodeIndex to) {
  std::vector<std::uint8_t> marked(graph.node_count(), 0);
  search<true>(graph, to, marked, [](NodeIndex) { return true; });
  return marked;
}

bool reaches(const NuvelGraphInner& graph, NodeIndex from, NodeIndex to) {
  std::vector<std::uint8_t> seen(graph.node_count(), 0);
  bool found = false;
  search<false>(graph, from, seen, [&](NodeIndex node) {
    found = node == to;
    return !found;
  });
  return found;
}

Result<std::vector<NodeIndex>> topological_sort_subgraph(const NuvelGraphInner& graph,
                                                         NodeIndex root) {
  const StructureFacts& facts = graph.structure_facts();
  if (facts.has_cycle) return value_error(std::string(kCycleMessage));
  std::vector<std::uint8_t> seen(graph.node_count(), 0);
  std::vector<NodeIndex> order;
  search<false>(graph, root, seen, [&](NodeIndex node) {
    order.push_back(node);
    return true;
  });
  // The reachable nodes in the whole-graph order, reversed: successors first.
  std::sort(order.begin(), order.end(), [&](NodeIndex a, NodeIndex b) {
    return facts.position[a] > facts.position[b];
  });
  return order;
}

bool subgraph_has_cycle(const NuvelGraphInner& graph, NodeIndex root) {
  enum : std::uint8_t { kUnseen, kOnStack, kDone };
  struct Frame {
    NodeIndex node;
    EdgeIndex next;
  };
  std::vector<std::uint8_t> state(graph.node_count(), kUnseen);
  std::vector<Frame> frames{{root, graph.first_out(root)}};
  state[root] = kOnStack;
  while (!frames.empty()) {
    Frame& frame = frames.back();
    if (frame.next == kNoIndex) {
      state[frame.node] = kDone;
      frames.pop_back();
      continue;
    }
    const NodeIndex target = graph.target(frame.next);
    frame.next = graph.next_out(frame.next);
    if (state[target] == kOnStack) return true;
    if (state[target] == kUnseen) {
      state[target] = kOnStack;
      frames.push_back({target, graph.first_out(target)});
    }
  }
  return false;
}

}  // namespace nuvel
