"""Pure-Python graph store with the same observable behaviour as NuvelGraph.

This is the baseline the benchmark measures the extension against, so it is
written the way a careful Python developer would write the store, not as a
strawman: records with ``__slots__``, a name -> node index dict, a
(source index, target index) -> edge dict for constant-time merging and edge
lookup, and per-node adjacency lists.

Behaviour kept identical to the extension:

* nodes and edges are numbered in creation order and never removed;
* adding a name twice creates a second node; every lookup by name finds the
  newest node, while walks over all nodes still see both;
* ``add_edge`` merges a repeated (source, target) pair into the existing edge,
  leaving it untouched, and reports the merge as ``True``;
* out-neighbours are listed most recently added edge first;
* unknown names raise ``ValueError`` with "Node '{}' not found" and missing
  edges "Edge '{}' -> '{}' not found" (the names as passed);
* text arguments must be ``str`` and numeric arguments are stored as floats,
  with ``TypeError`` messages of the same shape as the extension's.
"""

from __future__ import annotations

from types import MappingProxyType

__all__ = ["PureGraph", "NodeData", "EdgeData"]

#: Shared read-only empty map for edge fields that are only ever replaced as a
#: whole; saves two dicts per edge on large graphs.
_EMPTY_MAP = MappingProxyType({})


class NodeData:
    """One node: its data fields and its adjacency lists.

    ``out_edges`` and ``in_edges`` hold EdgeData records in the order they were
    added (oldest first); list order for callers is the reverse.
    """

    __slots__ = (
        "name",
        "performance",
        "instance",
        "tags",
        "metrics",
        "specified_metrics",
        "out_edges",
        "in_edges",
    )

    def __init__(self, name: str, performance: str | None) -> None:
        self.name = name
        self.performance = performance
        self.instance = 1.0
        self.tags: tuple[str, ...] = ()
        self.metrics: dict = {}
        self.specified_metrics: dict = {}
        self.out_edges: list[EdgeData] = []
        self.in_edges: list[EdgeData] = []


class EdgeData:
    """One edge: endpoints as node indices, and its data fields."""

    __slots__ = ("source", "target", "count", "aggregation", "operation", "factor")

    def __init__(self, source: int, target: int) -> None:
        self.source = source
        self.target = target
        self.count = 1.0
        self.aggregation = "parallel"
        self.operation = _EMPTY_MAP
        self.factor = _EMPTY_MAP


def _text(value, param: str) -> str:
    if type(value) is str:
        return value
    if isinstance(value, str):
        # Keep plain text, copied from the string data itself (str() would
        # call an overridden __str__).
        return "".join((value,))
    raise TypeError(
        f"argument '{param}': '{type(value).__name__}' object cannot be "
        f"converted to 'PyString'"
    )


def _double(value, param: str) -> float:
    if type(value) is float:
        return value
    # Only objects with a float or index conversion are numbers here; float()
    # itself would also parse strings and buffers.
    kind = type(value)
    if hasattr(kind, "__float__") or hasattr(kind, "__index__"):
        return float(value)
    raise TypeError(f"argument '{param}': must be real number, not {kind.__name__}")


class PureGraph:
    """Directed graph of workloads, events and modules.

    Nodes and edges only grow. Between an ordered pair of nodes there is at
    most one edge. Name lookup, edge merging and edge lookup are O(1).
    """

    __slots__ = ("_nodes", "_edges", "_index", "_pairs")

    def __init__(self) -> None:
        self._nodes: list[NodeData] = []
        self._edges: list[EdgeData] = []
        self._index: dict[str, int] = {}
        self._pairs: dict[tuple[int, int], EdgeData] = {}

    # -- internal lookups ---------------------------------------------------

    def _node(self, name: str) -> NodeData:
        idx = self._index.get(name)
        if idx is None:
            raise ValueError(f"Node '{name}' not found")
        return self._nodes[idx]

    def _find_edge(self, source: str, target: str) -> EdgeData:
        index = self._index
        s = index.get(source)
        t = index.get(target)
        edge = None if s is None or t is None else self._pairs.get((s, t))
        if edge is None:
            raise ValueError(f"Edge '{source}' -> '{target}' not found")
        return edge

    # -- building -----------------------------------------------------------

    def add_node(self, name, performance=None) -> None:
        name = _text(name, "name")
        if performance is not None:
            performance = _text(performance, "performance")
        # A repeated name keeps its dict position and now maps to the new node.
        self._index[name] = len(self._nodes)
        self._nodes.append(NodeData(name, performance))

    def add_edge(self, source, target) -> bool:
        """Add a directed edge. Returns True if an edge for this (source, target)
        already existed and was merged (no parallel edge created), else False."""
        source = _text(source, "source")
        target = _text(target, "target")
        index = self._index
        s = index.get(source)
        if s is None:
            raise ValueError(f"Node '{source}' not found")
        t = index.get(target)
        if t is None:
            raise ValueError(f"Node '{target}' not found")
        key = (s, t)
        pairs = self._pairs
        if key in pairs:
            return True
        edge = EdgeData(s, t)
        pairs[key] = edge
        self._edges.append(edge)
        nodes = self._nodes
        nodes[s].out_edges.append(edge)
        nodes[t].in_edges.append(edge)
        return False

    # -- node queries -------------------------------------------------------

    def has_node(self, name) -> bool:
        return _text(name, "name") in self._index

    def get_all_node_names(self) -> list[str]:
        return [node.name for node in self._nodes]

    def get_leaf_names(self) -> list[str]:
        return [node.name for node in self._nodes if not node.out_edges]

    def get_tag_modules(self, tag) -> list[str]:
        """Leaf module names carrying `tag`, in leaf insertion order."""
        tag = _text(tag, "tag")
        return [
            node.name
            for node in self._nodes
            if not node.out_edges and tag in node.tags
        ]

    def is_leaf(self, name) -> bool:
        return not self._node(_text(name, "name")).out_edges

    def get_performance_path(self, name) -> str | None:
        return self._node(_text(name, "name")).performance

    def get_out_neighbors(self, name) -> list[str]:
        nodes = self._nodes
        out = self._node(_text(name, "name")).out_edges
        return [nodes[edge.target].name for edge in reversed(out)]

    # -- edge attributes ----------------------------------------------------

    def set_edge_count(self, source, target, count) -> None:
        source = _text(source, "source")
        target = _text(target, "target")
        count = _double(count, "count")
        self._find_edge(source, target).count = count

    def set_edge_aggregation(self, source, target, agg) -> None:
        source = _text(source, "source")
        target = _text(target, "target")
        agg = _text(agg, "agg")
        self._find_edge(source, target).aggregation = agg

    def get_edge_count(self, source, target) -> float:
        return self._find_edge(_text(source, "source"), _text(target, "target")).count

    def get_edge_aggregation(self, source, target) -> str:
        return self._find_edge(
            _text(source, "source"), _text(target, "target")
        ).aggregation
