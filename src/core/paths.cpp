#include "paths.h"

#include <algorithm>

namespace nuvel {
namespace {

/// Depth-first search from `start` along in-edges, marking each node once
/// and calling visit(node) for it, `start` first; stops when visit returns
/// false.
template <class Visit>
void search_backwards(const NuvelGraphInner& graph, NodeIndex start, NodeMarks& seen,
                      Visit&& visit) {
  const Lease<std::vector<NodeIndex>> stack = graph.snapshot().nodes();
  stack->push_back(start);
  seen.mark(start);
  while (!stack->empty()) {
    const NodeIndex node = stack->back();
    stack->pop_back();
    if (!visit(node)) return;
    for (EdgeIndex e = graph.first_in(node); e != kNoIndex; e = graph.next_in(e)) {
      if (seen.mark_new(graph.source(e))) stack->push_back(graph.source(e));
    }
  }
}

}  // namespace

void mark_ancestors(const NuvelGraphInner& graph, NodeIndex to, NodeMarks& marks) {
  search_backwards(graph, to, marks, [](NodeIndex) { return true; });
}

bool reaches(const NuvelGraphInner& graph, NodeIndex from, NodeIndex to) {
  const Lease<NodeMarks> seen = graph.snapshot().marks(graph.node_count());
  bool found = false;
  search_backwards(graph, to, *seen, [&](NodeIndex node) {
    found = node == from;
    return !found;
  });
  return found;
}

Result<std::vector<NodeIndex>> topological_sort_subgraph(const NuvelGraphInner& graph,
                                                         NodeIndex root) {
  AggregationSnapshot& snapshot = graph.snapshot();
  if (snapshot.has_cycle(graph)) return value_error(std::string(kCycleMessage));
  const std::span<const std::uint64_t> finished = snapshot.finish_keys(graph);
  const Lease<NodeMarks> seen = snapshot.marks(graph.node_count());
  std::vector<NodeIndex> order{root};
  seen->mark(root);
  const OutLists lists = snapshot.out_lists(graph);
  for (std::size_t at = 0; at < order.size(); ++at) {
    for (const NodeIndex target : lists.targets(order[at])) {
      if (seen->mark_new(target)) order.push_back(target);
    }
  }
  // The reachable nodes in the whole-graph finish order: successors first.
  std::sort(order.begin(), order.end(),
            [&](NodeIndex a, NodeIndex b) { return finished[a] < finished[b]; });
  return order;
}

bool subgraph_has_cycle(const NuvelGraphInner& graph, NodeIndex root) {
  struct Frame {
    NodeIndex node;
    EdgeIndex next;
  };
  AggregationSnapshot& snapshot = graph.snapshot();
  const Lease<NodeMarks> seen = snapshot.marks(graph.node_count());
  const Lease<NodeMarks> on_stack = snapshot.marks(graph.node_count());
  std::vector<Frame> frames{{root, graph.first_out(root)}};
  seen->mark(root);
  on_stack->mark(root);
  while (!frames.empty()) {
    Frame& frame = frames.back();
    if (frame.next == kNoIndex) {
      on_stack->unmark(frame.node);
      frames.pop_back();
      continue;
    }
    const NodeIndex target = graph.target(frame.next);
    frame.next = graph.next_out(frame.next);
    if (on_stack->marked(target)) return true;
    if (seen->mark_new(target)) {
      on_stack->mark(target);
      frames.push_back({target, graph.first_out(target)});
    }
  }
  return false;
}

}  // namespace nuvel
