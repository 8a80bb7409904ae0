// Paths between two nodes and the bottom-up order of a sub-graph.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "graph.h"
#include "result.h"

namespace nuvel {

inline constexpr std::string_view kCycleMessage = "Graph contains a cycle; expected a DAG";

/// Marks every node from which a path leads to `to`, `to` itself included,
/// searching backwards from it: the cost is that of the ancestors.
void mark_ancestors(const NuvelGraphInner& graph, NodeIndex to, NodeMarks& marks);

/// Walks every simple path from `from` to `to` (no node twice) in
/// depth-first discovery order, out-edges in list order (newest first);
/// the search never continues past `to`, and from == to gives one empty
/// path. Branches that cannot reach `to` are not entered: they hold no
/// path, so the order of the paths found is unchanged. The visitor sees the
/// path grow and shrink instead of receiving copies: push(edge) when an
/// edge joins the current path, pop() when the last one leaves it,
/// complete() when the current path reaches `to`; complete() returns false
/// to end the walk. Explicit stack; the marks are the snapshot's scratch.
template <class Visitor>
void walk_paths(const NuvelGraphInner& graph, NodeIndex from, NodeIndex to, Visitor& visitor) {
  if (from == to) {
    visitor.complete();
    return;
  }
  struct Frame {
    NodeIndex node;
    EdgeIndex next;
  };
  AggregationSnapshot& snapshot = graph.snapshot();
  const Lease<NodeMarks> leads_to = snapshot.marks(graph.node_count());
  mark_ancestors(graph, to, *leads_to);
  const Lease<NodeMarks> on_path = snapshot.marks(graph.node_count());
  std::vector<Frame> frames{{from, graph.first_out(from)}};
  on_path->mark(from);
  while (!frames.empty()) {
    Frame& frame = frames.back();
    if (frame.next == kNoIndex) {
      on_path->unmark(frame.node);
      frames.pop_back();
      if (!frames.empty()) visitor.pop();
      continue;
    }
    const EdgeIndex edge = frame.next;
    frame.next = graph.next_out(edge);
    const NodeIndex target = graph.target(edge);
    if (on_path->marked(target) || !leads_to->marked(target)) continue;
    visitor.push(edge);
    if (target == to) {
      if (!visitor.complete()) return;
      visitor.pop();
      continue;
    }
    on_path->mark(target);
    frames.push_back({target, graph.first_out(target)});
  }
}

/// Whether a path leads from `from` to `to` (from == to included), found
/// by a search backwards from `to`.
bool reaches(const NuvelGraphInner& graph, NodeIndex from, NodeIndex to);

/// Every node reachable from `root` (itself included), each after all of its
/// successors, `root` last. Ties follow the whole-graph depth-first order:
/// ascending node index, successors in list order. Fails with kCycleMessage
/// when the graph has a cycle anywhere.
Result<std::vector<NodeIndex>> topological_sort_subgraph(const NuvelGraphInner& graph,
                                                         NodeIndex root);

/// Whether a cycle (a self-loop included) is reachable from `root`.
bool subgraph_has_cycle(const NuvelGraphInner& graph, NodeIndex root);

}  // namespace nuvel
