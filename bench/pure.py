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
  with ``TypeError`` messages of the same shape as the extension's;
* metric values are ``SingleMetric`` records or ``MultiOp`` dicts (operation
  -> ``SingleMetric``); ``set_module_data`` converts ``metrics`` entry by
  entry and keeps the entries written before a failing one, while the edge
  setters convert their dict whole before the edge lookup and replace the
  edge's map;
* ``query_module_metric`` logs its failures as error records of the logger
  "nuvel_core" before raising them, and an ignored operation as a warning.
"""

from __future__ import annotations

import logging
from types import MappingProxyType

__all__ = ["PureGraph", "NodeData", "EdgeData", "SingleMetric", "MultiOp"]

#: Shared read-only empty map for edge fields that are only ever replaced as a
#: whole; saves two dicts per edge on large graphs.
_EMPTY_MAP = MappingProxyType({})

#: Logger of the method layer; failures of the metric queries are logged here
#: before they are raised.
_log = logging.getLogger("nuvel_core")


class SingleMetric:
    """One measured quantity. ``value`` is updated in place by aggregation."""

    __slots__ = ("value", "unit")

    def __init__(self, value: float, unit: str) -> None:
        self.value = value
        self.unit = unit

    def __eq__(self, other) -> bool:
        if not isinstance(other, SingleMetric):
            return NotImplemented
        return self.value == other.value and self.unit == other.unit

    def __repr__(self) -> str:
        return f"SingleMetric({self.value!r}, {self.unit!r})"


class MultiOp(dict):
    """A metric reported per operation: operation name -> SingleMetric, in
    insertion order (possibly empty; still distinct from a single value)."""

    __slots__ = ()

    def op_names(self) -> list[str]:
        return list(self)


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


def _downcast(value, kind: str) -> TypeError:
    return TypeError(f"'{type(value).__name__}' object cannot be converted to '{kind}'")


def _as_text(value) -> str:
    """A str argument as plain text; the bare conversion error otherwise."""
    if type(value) is str:
        return value
    if isinstance(value, str):
        # Keep plain text, copied from the string data itself (str() would
        # call an overridden __str__).
        return "".join((value,))
    raise _downcast(value, "PyString")


def _as_double(value) -> float:
    """A number as a float, the way the host converts it to a C double."""
    if type(value) is float:
        return value
    # Only objects with a float or index conversion are numbers here; float()
    # itself would also parse strings and buffers.
    kind = type(value)
    if hasattr(kind, "__float__") or hasattr(kind, "__index__"):
        return float(value)
    raise TypeError(f"must be real number, not {kind.__name__}")


def _argument(convert, value, param: str):
    """Convert an argument; a plain TypeError gets the parameter prefix."""
    try:
        return convert(value)
    except TypeError as exc:
        if type(exc) is not TypeError:
            raise
        raise TypeError(f"argument '{param}': {exc}") from exc.__cause__


def _text(value, param: str) -> str:
    if type(value) is str:
        return value
    return _argument(_as_text, value, param)


def _double(value, param: str) -> float:
    if type(value) is float:
        return value
    return _argument(_as_double, value, param)


def _dict(value, param: str) -> dict:
    if not isinstance(value, dict):
        raise TypeError(f"argument '{param}': {_downcast(value, 'PyDict')}")
    return value


def _text_map(value, param: str) -> dict:
    """A dict of str -> str, converted whole (in dict order)."""
    items = _dict(value, param).items()
    return {_text(k, param): _text(v, param) for k, v in items}


def _double_map(value, param: str) -> dict:
    """A dict of str -> number, converted whole (in dict order)."""
    items = _dict(value, param).items()
    return {_text(k, param): _double(v, param) for k, v in items}


def _text_list(value, param: str) -> tuple:
    if isinstance(value, str):
        raise TypeError(f"argument '{param}': Can't extract `str` to `Vec`")
    if not isinstance(value, (list, tuple)):
        # The host's sequence check: item access, and not a mapping.
        if isinstance(value, dict) or not hasattr(type(value), "__getitem__"):
            raise TypeError(f"argument '{param}': {_downcast(value, 'Sequence')}")
    return tuple([_text(item, param) for item in value])


def _operation_entry(metric: str, op: str, entry) -> SingleMetric:
    if not isinstance(entry, dict):
        raise _downcast(entry, "PyDict")
    for key in ("value", "unit"):
        if key not in entry:
            raise ValueError(f"Operation '{op}' of metric '{metric}' has no '{key}'")
    return SingleMetric(_as_double(entry["value"]), _as_text(entry["unit"]))


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

    # -- module data --------------------------------------------------------

    def init_metrics(self, metric_units) -> None:
        """Set all node metrics to Single{0.0, unit} for each metric in metric_units."""
        units = tuple(_text_map(metric_units, "metric_units").items())
        if not units:
            return
        for node in self._nodes:
            metrics = node.metrics
            for metric, unit in units:
                metrics[metric] = SingleMetric(0.0, unit)

    def set_module_data(self, node_name, metrics, instance, tags) -> None:
        """Populate a leaf node with hardware interface results, instance count, and tags."""
        node_name = _text(node_name, "node_name")
        metrics = _dict(metrics, "metrics")
        instance = _double(instance, "instance")
        tags = _text_list(tags, "tags")
        node = self._node(node_name)
        stored = node.metrics
        for key, v in metrics.items():
            key = _as_text(key)
            if not isinstance(v, dict):
                continue
            if "value" in v and "unit" in v:
                value = _as_double(v["value"])
                stored[key] = SingleMetric(value, _as_text(v["unit"]))
                continue
            ops = MultiOp()
            for op, entry in v.items():
                op = _as_text(op)
                ops[op] = _operation_entry(key, op, entry)
            stored[key] = ops
        node.instance = instance
        node.tags = tags

    # -- edge operation and factor ------------------------------------------

    def set_edge_operation(self, source, target, operation) -> None:
        source = _text(source, "source")
        target = _text(target, "target")
        operation = _text_map(operation, "operation")
        self._find_edge(source, target).operation = operation

    def set_edge_factor(self, source, target, factor) -> None:
        source = _text(source, "source")
        target = _text(target, "target")
        factor = _double_map(factor, "factor")
        self._find_edge(source, target).factor = factor

    # -- metric queries -----------------------------------------------------

    def query_module_metric(self, metric, module=None, operation=None) -> dict:
        metric = _text(metric, "metric")
        if module is not None:
            module = _text(module, "module")
        if operation is not None:
            operation = _text(operation, "operation")
        if module is None:
            raise ValueError("module argument is required")
        idx = self._index.get(module)
        if idx is None:
            _fail(f"Invalid module <{module}>.")
        node = self._nodes[idx]
        if node.out_edges:
            _fail(f"Invalid event <{module}>; this function requires a module.")
        value = node.metrics.get(metric)
        if value is None:
            raise ValueError(f"Metric '{metric}' not found on module '{module}'")
        if type(value) is SingleMetric:
            if operation is not None:
                _log.warning(
                    f"Ignore operation <{operation}> for metric <{metric}> in module "
                    f"<{module}>; this module requires no specified operation."
                )
            return {"value": value.value, "unit": value.unit}
        single = value.get(operation) if operation is not None else None
        if single is None:
            legal = ", ".join([f"'{op}'" for op in value])
            _fail(
                f"Invalid operation <{operation}> for metric <{metric}> in module "
                f"<{module}>; legal values: [{legal}]."
            )
        return {"value": single.value, "unit": single.unit}

    def set_node_specified_metric(self, node_name, metric_name, value, unit) -> None:
        """Set a per-node specified-mode metric value (from performance model output)."""
        node_name = _text(node_name, "node_name")
        metric_name = _text(metric_name, "metric_name")
        value = _double(value, "value")
        unit = _text(unit, "unit")
        self._node(node_name).specified_metrics[metric_name] = SingleMetric(value, unit)

    def get_node_specified_metric(self, node_name, metric_name) -> float | None:
        node_name = _text(node_name, "node_name")
        metric_name = _text(metric_name, "metric_name")
        single = self._node(node_name).specified_metrics.get(metric_name)
        return None if single is None else single.value


def _fail(message: str):
    """Log the message as an error record, then raise it as ValueError."""
    # No arguments: the text reaches handlers verbatim, '%' included.
    _log.error(message)
    raise ValueError(message)
