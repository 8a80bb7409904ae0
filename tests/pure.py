"""The pure-Python model of NuvelGraph: the tests' oracle and the benchmark's
baseline, so written as a careful Python developer would write the store
(records with __slots__, a name index, a pair -> edge dict, adjacency lists),
not as a strawman. It gives the same results, failures (type and text), log
records and file bytes as the extension; it reads only well-formed graph
files. The aggregation engine follows the documented procedures step by
step, iteratively, and recomputes everything per call: the paths, the
topological order of the whole graph and its cycle check.
"""

from __future__ import annotations

import json
import logging
import math
import os
import unicodedata
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


class MultiOp(dict):
    """A metric reported per operation: operation name -> SingleMetric, in
    insertion order (possibly empty; still distinct from a single value)."""

    __slots__ = ()


class NodeData:
    """One node: its data fields and its adjacency lists.

    ``out_edges`` and ``in_edges`` hold EdgeData records in the order they were
    added (oldest first); list order for callers is the reverse.
    """

    __slots__ = ("name", "performance", "instance", "tags", "metrics", "specified_metrics", "out_edges", "in_edges")

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
    return TypeError(f"'{type(value).__qualname__}' object cannot be converted to '{kind}'")


def _as_text(value) -> str:
    """A str argument as plain text; the bare conversion error otherwise."""
    if not isinstance(value, str):
        raise _downcast(value, "PyString")
    if type(value) is not str:
        # Keep plain text, copied from the string data itself (str() would
        # call an overridden __str__).
        value = "".join((value,))
    if not value.isascii():
        # Text must have a UTF-8 form: a lone surrogate raises the host's
        # UnicodeEncodeError here, as the extension's conversion does.
        value.encode("utf-8")
    return value


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
    if type(value) is str and value.isascii():
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


def _optional_text(value, param: str) -> str | None:
    return None if value is None else _text(value, param)


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


# -- aggregation helpers ------------------------------------------------------

_CORE = "nuvel_core"
_AGGREGATE = "nuvel_core.aggregate"
_CYCLE = "Graph contains a cycle; expected a DAG"

_DEBUG_ESCAPES = {"\\": "\\\\", '"': '\\"', "\0": "\\0", "\t": "\\t", "\r": "\\r", "\n": "\\n"}


class _Narrator:
    """The records of one aggregation call.

    Whether a logger takes a level is asked once per call and logger, so
    that a disabled record costs one attribute test and no formatting. Records
    carry no arguments: the text reaches handlers verbatim, '%' included.
    """

    __slots__ = ("core", "agg", "core_debug", "agg_debug", "agg_info")

    def __init__(self) -> None:
        self.core = logging.getLogger(_CORE)
        self.agg = logging.getLogger(_AGGREGATE)
        self.core_debug = self.core.isEnabledFor(logging.DEBUG)
        self.agg_debug = self.agg.isEnabledFor(logging.DEBUG)
        self.agg_info = self.agg.isEnabledFor(logging.INFO)

    def core_log(self, level: int, message: str) -> None:
        if self.core.isEnabledFor(level):
            self.core.log(level, message)

    def agg_log(self, level: int, message: str) -> None:
        if self.agg.isEnabledFor(level):
            self.agg.log(level, message)

    def core_fail(self, message: str):
        """An Error record of the method layer, then the ValueError."""
        self.core_log(logging.ERROR, message)
        raise ValueError(message)

    def agg_fail(self, message: str):
        """An Error record of the engine, then the ValueError."""
        self.agg_log(logging.ERROR, message)
        raise ValueError(message)


def _metric_unit(node: NodeData, metric: str) -> str:
    """Unit of a node's metric: the single value's, the first operation's for a
    multi-operation metric (empty without operations), empty when absent."""
    value = node.metrics.get(metric)
    if value is None:
        return ""
    if type(value) is SingleMetric:
        return value.unit
    for single in value.values():
        return single.unit
    return ""


def _debug_char(ch: str) -> str:
    escaped = _DEBUG_ESCAPES.get(ch)
    if escaped is not None:
        return escaped
    # isprintable() rejects control, format, separator (except the blank),
    # private-use, surrogate and unassigned characters. Grapheme extenders are
    # approximated by the mark categories Mn and Me; the few spacing marks of
    # Other_Grapheme_Extend (for example U+0BBE) are left unescaped here.
    if not ch.isprintable() or unicodedata.category(ch) in ("Mn", "Me"):
        return "\\u{%x}" % ord(ch)
    return ch


def _fmt_debug_list(names) -> str:
    """["a", "b"]: each name double-quoted and escaped."""
    quoted = ['"' + "".join(map(_debug_char, name)) + '"' for name in names]
    return "[" + ", ".join(quoted) + "]"


def _not_single(metric: str, name: str) -> ValueError:
    return ValueError(f"Metric '{metric}' of event '{name}' is not a single value")


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
        performance = _optional_text(performance, "performance")
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
        return [node.name for node in self._nodes if not node.out_edges and tag in node.tags]

    def is_leaf(self, name) -> bool:
        return not self._node(_text(name, "name")).out_edges

    def get_performance_path(self, name) -> str | None:
        return self._node(_text(name, "name")).performance

    def get_out_neighbors(self, name) -> list[str]:
        nodes = self._nodes
        out = self._node(_text(name, "name")).out_edges
        return [nodes[edge.target].name for edge in reversed(out)]

    # -- edge attributes ----------------------------------------------------

    def _set_edge(self, source, target, attribute, value, convert, param) -> None:
        """Converts source, target and the value in that order, then finds the edge."""
        source = _text(source, "source")
        target = _text(target, "target")
        value = convert(value, param)
        setattr(self._find_edge(source, target), attribute, value)

    def set_edge_count(self, source, target, count) -> None:
        self._set_edge(source, target, "count", count, _double, "count")

    def set_edge_aggregation(self, source, target, agg) -> None:
        self._set_edge(source, target, "aggregation", agg, _text, "agg")

    def get_edge_count(self, source, target) -> float:
        return self._find_edge(_text(source, "source"), _text(target, "target")).count

    def get_edge_aggregation(self, source, target) -> str:
        return self._find_edge(_text(source, "source"), _text(target, "target")).aggregation

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
        self._set_edge(source, target, "operation", operation, _text_map, "operation")

    def set_edge_factor(self, source, target, factor) -> None:
        self._set_edge(source, target, "factor", factor, _double_map, "factor")

    # -- metric queries -----------------------------------------------------

    def query_module_metric(self, metric, module=None, operation=None) -> dict:
        metric = _text(metric, "metric")
        module = _optional_text(module, "module")
        operation = _optional_text(operation, "operation")
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
                _log.warning(f"Ignore operation <{operation}> for metric <{metric}> in module "
                             f"<{module}>; this module requires no specified operation.")
            return {"value": value.value, "unit": value.unit}
        single = value.get(operation) if operation is not None else None
        if single is None:
            legal = ", ".join([f"'{op}'" for op in value])
            _fail(f"Invalid operation <{operation}> for metric <{metric}> in module "
                  f"<{module}>; legal values: [{legal}].")
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


    # -- aggregation --------------------------------------------------------

    def aggregate_event_count(self, workload=None, event=None) -> float:
        workload = _optional_text(workload, "workload")
        event = _optional_text(event, "event")
        if event is None:
            raise ValueError("event argument is required")
        log = _Narrator()
        if workload is None or workload == event:
            if log.core_debug:
                log.core.debug(f"  Total value (<{event}>) = <1.0>.")
            return 1.0
        w = self._index.get(workload)
        if w is None:
            log.core_fail(f"Invalid workload <{workload}>.")
        e = self._index.get(event)
        if e is None:
            log.core_fail(f"Invalid event <{event}>.")
        nodes = self._nodes
        debug = log.agg_debug
        total = 0.0
        found = False
        for steps in self._paths(w, e, None):
            found = True
            count = steps[-1][1]
            if debug:
                for edge, c, _ in steps:
                    log.agg.debug(f"  Path (<{nodes[edge.source].name}> -> <{nodes[edge.target].name}>) "
                                  f"updates event count to <{c!r}>.")
                log.agg.debug(f"  Total event count (<{nodes[w].name}> -> <{nodes[e].name}>) "
                              f"is increased by <{count!r}>.")
            total = total + count
        if not found:
            log.core_fail(f"Invalid event <{event}> in workload <{workload}>.")
        if log.core_debug:
            log.core.debug(f"  Total value (<{workload}> -> <{event}>) = <{total!r}>.")
        return total

    def _paths(self, start: int, end: int, metric):
        """Every simple path from ``start`` to ``end`` in depth-first discovery
        order, out-edges newest first.

        Yields one list of steps (edge, running count, running factor) per path;
        the list is reused, so a consumer copies what it keeps. The running
        products are kept per step, so a path's prefix is multiplied once. With
        ``metric`` None the factor stays 1.0.
        """
        nodes = self._nodes
        if start == end:
            yield []
            return
        on_path = {start}
        steps: list = []
        stack = [reversed(nodes[start].out_edges)]
        count = factor = 1.0
        while stack:
            for edge in stack[-1]:
                t = edge.target
                if t in on_path:
                    continue
                c = count * edge.count
                f = factor
                if metric is not None:
                    x = edge.factor.get(metric)
                    if x is not None:
                        f = f * x
                if t == end:
                    steps.append((edge, c, f))
                    yield steps
                    steps.pop()
                    continue
                steps.append((edge, c, f))
                on_path.add(t)
                stack.append(reversed(nodes[t].out_edges))
                count, factor = c, f
                break
            else:
                stack.pop()
                if steps:
                    on_path.discard(steps.pop()[0].target)
                    if steps:
                        _, count, factor = steps[-1]
                    else:
                        count = factor = 1.0

    def _reaches(self, start: int, end: int) -> bool:
        """Whether a path leads from ``start`` to ``end``."""
        nodes = self._nodes
        seen = {start}
        stack = [start]
        while stack:
            n = stack.pop()
            if n == end:
                return True
            for edge in nodes[n].out_edges:
                t = edge.target
                if t not in seen:
                    seen.add(t)
                    stack.append(t)
        return False

    def _compute_path_count(self, w: int, e: int, metric: str, log: _Narrator) -> float:
        """Sum over the paths from w to e of count x factor for ``metric``."""
        nodes = self._nodes
        debug = log.agg_debug
        total = 0.0
        for steps in self._paths(w, e, metric):
            _, count, factor = steps[-1]
            if debug:
                for edge, c, f in steps:
                    log.agg.debug(f"  Path (<{nodes[edge.source].name}> -> <{nodes[edge.target].name}>) "
                                  f"updates event count to <{c!r}> and event factor to <{f!r}>.")
            path_total = factor * count
            if debug:
                log.agg.debug(f"  Total event count (<{nodes[w].name}> -> <{nodes[e].name}>) is increased by "
                              f"<{path_total!r}> = count <{count!r}> * factor <{factor!r}>.")
            total = total + path_total
        return total

    def _topological_order(self, root: int) -> list[int]:
        """Nodes reachable from ``root``, each after all of its successors, root last.

        The order is that of a depth-first sort of the whole graph (outer loop in
        ascending node index, successors pushed in list order), kept to the
        reachable nodes. A cycle anywhere in the graph raises ValueError.
        """
        nodes = self._nodes
        reachable = {root}
        stack = [root]
        while stack:
            for edge in nodes[stack.pop()].out_edges:
                t = edge.target
                if t not in reachable:
                    reachable.add(t)
                    stack.append(t)

        n = len(nodes)
        discovered = bytearray(n)
        finished = bytearray(n)
        finish: list[int] = []
        for i in range(n):
            if discovered[i]:
                continue
            stack = [i]
            while stack:
                v = stack[-1]
                if not discovered[v]:
                    discovered[v] = 1
                    for edge in reversed(nodes[v].out_edges):
                        s = edge.target
                        if s == v:
                            raise ValueError(_CYCLE)
                        if not discovered[s]:
                            stack.append(s)
                else:
                    stack.pop()
                    if not finished[v]:
                        finished[v] = 1
                        finish.append(v)
        # Sources first: every predecessor of a node must come before it.
        finish.reverse()
        placed = bytearray(n)
        for v in finish:
            placed[v] = 1
            for edge in nodes[v].in_edges:
                if not placed[edge.source]:
                    raise ValueError(_CYCLE)
        kept = [v for v in finish if v in reachable]
        kept.reverse()
        return kept

    def _subgraph_has_cycle(self, root: int) -> bool:
        """Whether the nodes reachable from ``root`` contain a cycle (self-loops too)."""
        nodes = self._nodes
        state: dict[int, int] = {root: 1}  # 1: on the walk's stack, 2: done
        stack = [(root, iter(nodes[root].out_edges))]
        while stack:
            v, edges = stack[-1]
            for edge in edges:
                t = edge.target
                mark = state.get(t)
                if mark == 1:
                    return True
                if mark is None:
                    state[t] = 1
                    stack.append((t, iter(nodes[t].out_edges)))
                    break
            else:
                state[v] = 2
                stack.pop()
        return False

    def _aggregate_module(self, event: int, metric: str, log: _Narrator) -> float:
        """Sum of value x instance over the modules below ``event``, each once.

        Inner nodes are walked again on every route; a module met again adds 0.0.
        """
        nodes = self._nodes
        visited: set[int] = set()

        def module_value(m: int, parent: str) -> float:
            node = nodes[m]
            if m in visited:
                log.agg_log(logging.INFO, f"Ignore repeated module <{node.name}>.")
                return 0.0
            visited.add(m)
            single = node.metrics.get(metric)
            if type(single) is not SingleMetric:
                log.agg_fail(f"Invalid metric <{metric}> for module <{node.name}>.")
            if log.agg_info:
                log.agg.info(f"Aggregate metric <{metric}> for module <{node.name}> in event <{parent}>.")
            result = single.value * node.instance
            if log.agg_debug:
                log.agg.debug(f"  Total value (<{parent}> -> <{node.name}>) = <{result!r}> <{single.unit}> "
                              f"= single value <{single.value!r}> * instance <{node.instance!r}>.")
            return result

        root = nodes[event]
        if not root.out_edges:
            return module_value(event, root.name)
        debug = log.agg_debug
        # Frames: [node, its out-edges newest first, running sum].
        stack = [[root, reversed(root.out_edges), 0.0]]
        while True:
            frame = stack[-1]
            node = frame[0]
            for edge in frame[1]:
                child = nodes[edge.target]
                if debug:
                    log.agg.debug(f"  Check subevent <{node.name}> -> <{child.name}>.")
                if child.out_edges:
                    stack.append([child, reversed(child.out_edges), 0.0])
                    break
                frame[2] = frame[2] + module_value(edge.target, node.name)
            else:
                stack.pop()
                if not stack:
                    return frame[2]
                parent = stack[-1]
                parent[2] = parent[2] + frame[2]

    def _aggregate_specified(self, event: int, metric: str, log: _Narrator) -> None:
        """Bottom-up pass writing each event's specified-mode value."""
        nodes = self._nodes
        info, debug = log.agg_info, log.agg_debug
        for n in self._topological_order(event):
            node = nodes[n]
            if not node.out_edges:
                if info:
                    log.agg.info(f"Ignore module <{node.name}>.")
                continue
            if info:
                log.agg.info(f"Aggregate metric <{metric}> for event <{node.name}>.")
            sequential = 0.0
            parallel = 0.0
            module_with_metric = False
            only_modules = True
            for edge in reversed(node.out_edges):
                child = nodes[edge.target]
                value = child.metrics.get(metric)
                if not child.out_edges:
                    if type(value) is not SingleMetric:
                        log.agg_fail(f"Invalid metric <{metric}> for event <{child.name}>; "
                                     "legal metric: {'value': float, 'unit': str}.")
                    module_with_metric = True
                    if debug:
                        log.agg.debug(f"  Ignore module <{child.name}>.")
                    continue
                only_modules = False
                if value is None:
                    value = 0.0
                elif type(value) is SingleMetric:
                    value = value.value
                else:
                    raise _not_single(metric, child.name)
                factor = edge.factor.get(metric, 1.0)
                contribution = value * edge.count * factor
                if debug:
                    log.agg.debug(f"  Total value (<{child.name}>) = <{contribution!r}> "
                                  f"<{_metric_unit(child, metric)}> = single value <{value!r}> "
                                  f"* count <{edge.count!r}> * factor <{factor!r}>.")
                if edge.aggregation == "parallel":
                    if contribution > parallel:
                        if debug:
                            log.agg.debug(f"  Update parallel maximum metric value to <{contribution!r}>, "
                                          f"based on event <{child.name}>.")
                        parallel = contribution
                else:
                    if debug:
                        log.agg.debug(f"  Update sequential accumulated metric value by <{contribution!r}>, "
                                      f"based on event <{child.name}>.")
                    sequential = sequential + contribution
            total = sequential + parallel
            specified = node.specified_metrics.get(metric)
            if not module_with_metric:
                if specified is not None:
                    log.agg_fail(f"  Invalid metric <{metric}> in event <{node.name}>, since it is "
                                 "connected to no modules; check the performance model.")
                value = total
            elif not only_modules:
                value = total
            elif specified is None:
                log.agg_fail(f"  Missing metric <{metric}> in event <{node.name}>, since it is only "
                             "connected to modules; check the performance model.")
            else:
                value = specified.value
            stored = node.metrics.get(metric)
            if type(stored) is SingleMetric:
                stored.value = value
            elif stored is not None:
                raise _not_single(metric, node.name)
            if debug:
                log.agg.debug(f"  Total value (<{node.name}>) = <{value!r}> <{_metric_unit(node, metric)}>.")

    def _aggregate_summation(self, event: int, metric: str, log: _Narrator) -> None:
        """Bottom-up pass pushing count x value x factor to every parent in the pass."""
        nodes = self._nodes
        order = self._topological_order(event)
        in_pass = set(order)
        info, debug = log.agg_info, log.agg_debug
        for n in order:
            node = nodes[n]
            if info:
                kind = "event" if node.out_edges else "module"
                log.agg.info(f"Aggregate metric <{metric}> for {kind} <{node.name}>.")
            own = node.metrics.get(metric)
            for edge in reversed(node.in_edges):
                if edge.source not in in_pass:
                    continue
                parent = nodes[edge.source]
                if own is None:
                    value = 0.0
                elif type(own) is SingleMetric:
                    value = own.value
                else:
                    op = edge.operation.get(metric)
                    if op is None:
                        raise ValueError(f"Invalid operation for metric '{metric}' in module '{node.name}'; "
                                         "multi-operation module requires an operation")
                    op = op.lower()
                    single = own.get(op)
                    if single is None:
                        log.agg_fail(f"Invalid operation <{op}> for metric <{metric}> in module "
                                     f"<{node.name}>; legal values: {_fmt_debug_list(own)}.")
                    value = single.value
                factor = edge.factor.get(metric, 1.0)
                contribution = edge.count * value * factor
                target = parent.metrics.get(metric)
                if type(target) is SingleMetric:
                    target.value = target.value + contribution
                elif target is not None:
                    raise _not_single(metric, parent.name)
                if debug:
                    log.agg.debug(f"  Total value (<{parent.name}> -> <{node.name}>) = <{contribution!r}> "
                                  f"<{_metric_unit(parent, metric)}> = single value <{value!r}> "
                                  f"* count <{edge.count!r}> * factor <{factor!r}>.")

    def _aggregate_summation_multiop(self, w: int, m: int, metric: str, log: _Narrator) -> float:
        """A multi-operation module summed over the workload's paths, each path
        priced by the operation that its last edge names."""
        nodes = self._nodes
        module = nodes[m]
        ops = module.metrics.get(metric)
        debug = log.agg_debug
        values: dict[str, float] = {}  # insertion order: first selection
        weights: dict[str, float] = {}
        for steps in self._paths(w, m, metric):
            if not steps:
                continue
            if debug:
                for edge, c, f in steps:
                    log.agg.debug(f"  Path (<{nodes[edge.source].name}> -> <{nodes[edge.target].name}>) "
                                  f"updates event count to <{c!r}> and event factor to <{f!r}>.")
            last, count, factor = steps[-1]
            op = last.operation.get(metric)
            if op is None:
                raise ValueError(f"Missing operation for metric <{metric}> in multi-operation module "
                                 f"<{module.name}>; legal values: {_fmt_debug_list(ops)}.")
            op = op.lower()
            single = ops.get(op) if type(ops) is MultiOp else None
            if single is None:
                names = ops if type(ops) is MultiOp else ()
                raise ValueError(f"Invalid operation <{op}> for metric <{metric}> in module "
                                 f"<{module.name}>; legal values: {_fmt_debug_list(names)}.")
            values[op] = single.value
            weight = count * factor
            weights[op] = weights.get(op, 0.0) + weight
            if debug:
                log.agg.debug(f"  Total event count (<{module.name}> : <{op}>) is increased by <{weight!r}> "
                              f"= count <{count!r}> * factor <{factor!r}>.")
        total = 0.0
        unit = _metric_unit(module, metric) if debug else ""
        for op, value in values.items():
            result = value * weights[op]
            if debug:
                log.agg.debug(f"  Total value (<{module.name}> : <{op}>) = <{result!r}> <{unit}> "
                              f"= single value <{value!r}> * count <{weights[op]!r}>.")
            total = total + result
        return total

    def aggregate_event_metric(self, metric, metric_aggregation, metric_unit, workload=None, event=None) -> dict:
        metric = _text(metric, "metric")
        metric_aggregation = _text(metric_aggregation, "metric_aggregation")
        unit = _text(metric_unit, "metric_unit")
        workload = _optional_text(workload, "workload")
        event = _optional_text(event, "event")
        if event is None:
            raise ValueError("event argument is required")
        log = _Narrator()
        index = self._index
        nodes = self._nodes
        e = index.get(event)
        if e is None:
            log.core_fail(f"Invalid event <{event}>.")
        w = None
        if workload is not None and workload != event:
            w = index.get(workload)
            if w is None:
                log.core_fail(f"Invalid workload <{workload}>.")
            if not self._reaches(w, e):
                log.core_fail(f"Invalid event <{event}> in workload <{workload}>.")

        # Reset the metric in every node that has out-edges, in node order.
        debug = log.core_debug
        for node in nodes:
            if node.out_edges:
                single = node.metrics.get(metric)
                if type(single) is SingleMetric:
                    old = single.value
                    single.value = 0.0
                    if old != 0.0 and debug:
                        log.core.debug(f"  Reset metric <{metric}> in event <{node.name}> to 0.")

        if metric_aggregation not in ("module", "summation", "specified"):
            raise ValueError(f"Invalid aggregation '{metric_aggregation}'; legal: module, summation, specified")
        node = nodes[e]

        def event_value() -> float:
            single = node.metrics.get(metric)
            if type(single) is not SingleMetric:
                raise _not_single(metric, event)
            return single.value

        if metric_aggregation == "module":
            if workload is not None:
                log.core_log(logging.WARNING, f"Ignore workload <{workload}> in aggregation <module>.")
            if self._subgraph_has_cycle(e):
                raise ValueError(_CYCLE)
            result = self._aggregate_module(e, metric, log)
            if debug:
                if workload is not None:
                    log.core.debug(f"  Total value (<{workload}> -> <{event}>) = <{result!r}> <{unit}>.")
                else:
                    log.core.debug(f"  Total value (<{event}>) = <{result!r}> <{unit}>.")
        elif metric_aggregation == "specified":
            if not node.out_edges:
                log.core_fail(f"Invalid module <{event}> for aggregation <specified>; "
                              "this aggregation requires an event.")
            count = self._compute_path_count(w, e, metric, log) if w is not None else 1.0
            self._aggregate_specified(e, metric, log)
            value = event_value()
            result = count * value
            if debug:
                if workload is not None:
                    log.core.debug(f"  Total value (<{workload}> -> <{event}>) = <{result!r}> <{unit}> "
                                   f"= single value <{value!r}> * count <{count!r}>.")
                else:
                    log.core.debug(f"  Total value (<{event}>) = <{result!r}> <{unit}> = single value <{value!r}>.")
        else:
            multiop = not node.out_edges and type(node.metrics.get(metric)) is MultiOp
            if w is None:
                if multiop:
                    log.core_fail(f"Invalid module <{event}> for aggregation <summation>; "
                                  "this aggregation does not support multi-operation module.")
                self._aggregate_summation(e, metric, log)
                result = event_value()
                if debug:
                    if workload is not None:
                        log.core.debug(f"  Total value (<{workload}> -> <{event}>) = <{result!r}> <{unit}>.")
                    else:
                        log.core.debug(f"  Total value (<{event}>) = <{result!r}> <{unit}>.")
            elif multiop:
                result = self._aggregate_summation_multiop(w, e, metric, log)
                if debug:
                    log.core.debug(f"  Total value (<{workload}> -> <{event}>) = <{result!r}> <{unit}>.")
            else:
                count = self._compute_path_count(w, e, metric, log)
                self._aggregate_summation(e, metric, log)
                value = event_value()
                result = count * value
                if debug:
                    log.core.debug(f"  Total value (<{workload}> -> <{event}>) = <{result!r}> <{unit}> "
                                   f"= single value <{value!r}> * count <{count!r}>.")
        return {"value": result, "unit": unit}

    # -- graph file ---------------------------------------------------------

    def save_json(self, path) -> None:
        """Write the graph as the extension's JSON file, byte for byte."""
        path = _text(path, "path")
        nodes = self._nodes
        document = {
            "edges": [
                {
                    "aggregation": edge.aggregation,
                    "count": edge.count,
                    "factor": dict(edge.factor),
                    "operation": dict(edge.operation),
                    "source": nodes[edge.source].name,
                    "target": nodes[edge.target].name,
                }
                for edge in self._edges
            ],
            "nodes": [
                {
                    "instance": node.instance,
                    "metrics": {name: _metric_object(value) for name, value in node.metrics.items()},
                    "name": node.name,
                    "performance": node.performance,
                    "specified_metrics": {
                        name: _metric_object(single) for name, single in node.specified_metrics.items()
                    },
                    "tags": list(node.tags),
                }
                for node in nodes
            ],
        }
        out: list[str] = []
        _json_text(document, "", out)
        data = "".join(out).encode("utf-8")
        if "\0" in path:
            raise OSError(_NUL_IN_PATH)
        try:
            with open(path, "wb") as file:
                file.write(data)
        except OSError as exc:
            raise OSError(_os_message(exc)) from None

    @staticmethod
    def load_json(path) -> PureGraph:
        """A new graph from a file in the format that save_json writes."""
        path = _text(path, "path")
        if "\0" in path:
            raise OSError(_NUL_IN_PATH)
        try:
            fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        except OSError as exc:
            raise OSError(_os_message(exc)) from None
        chunks = []
        try:
            while chunk := os.read(fd, 1 << 20):
                chunks.append(chunk)
        except OSError as exc:
            # Opened but unreadable (a directory): the content is at fault.
            raise ValueError(_os_message(exc)) from None
        finally:
            os.close(fd)
        return PureGraph._from_document(_parse_graph_file(b"".join(chunks)))

    @staticmethod
    def _from_document(document) -> PureGraph:
        """Lenient walk: only a node's name and an edge's endpoints are
        required; anything else missing or of another type takes its default.
        Object members are read in ascending key order."""
        graph = PureGraph()
        nodes = document.get("nodes") if type(document) is dict else None
        for i, item in enumerate(nodes if type(nodes) is list else ()):
            name = _file_text(item, "name")
            if name is None:
                raise ValueError(f'nodes[{i}] has no string member "name"')
            graph.add_node(name, _file_text(item, "performance"))
            node = graph._nodes[-1]
            node.instance = _file_double(item.get("instance"), 1.0)
            tags = item.get("tags")
            if type(tags) is list:
                node.tags = tuple([tag for tag in tags if type(tag) is str])
            metrics = item.get("metrics")
            if type(metrics) is dict:
                for key in sorted(metrics):
                    value = metrics[key]
                    if type(value) is not dict:
                        continue
                    if "value" in value and "unit" in value:
                        node.metrics[key] = _file_single(value)
                    else:
                        node.metrics[key] = MultiOp((op, _file_single(value[op])) for op in sorted(value))
            specified = item.get("specified_metrics")
            if type(specified) is dict:
                node.specified_metrics = {key: _file_single(specified[key]) for key in sorted(specified)}
        edges = document.get("edges") if type(document) is dict else None
        for i, item in enumerate(edges if type(edges) is list else ()):
            source = _file_text(item, "source")
            target = _file_text(item, "target")
            if source is None or target is None:
                missing = "source" if source is None else "target"
                raise ValueError(f'edges[{i}] has no string member "{missing}"')
            graph.add_edge(source, target)
            # A repeated pair takes this element's annotations, defaults included.
            edge = graph._pairs[graph._index[source], graph._index[target]]
            edge.count = _file_double(item.get("count"), 1.0)
            aggregation = item.get("aggregation")
            edge.aggregation = aggregation if type(aggregation) is str else "parallel"
            operation = item.get("operation")
            edge.operation = _EMPTY_MAP
            if type(operation) is dict and operation:
                edge.operation = {key: _str_or_empty(operation[key]) for key in sorted(operation)}
            factor = item.get("factor")
            edge.factor = _EMPTY_MAP
            if type(factor) is dict and factor:
                edge.factor = {key: _file_double(factor[key], 1.0) for key in sorted(factor)}
        return graph


def _fail(message: str):
    """Log the message as an error record, then raise it as ValueError."""
    # No arguments: the text reaches handlers verbatim, '%' included.
    _log.error(message)
    raise ValueError(message)


# -- graph file helpers -----------------------------------------------------

_NUL_IN_PATH = "file name contained an unexpected NUL byte"

#: Escapes of the graph file: the short forms, \u00xx for other control bytes.
_JSON_ESCAPES = {code: "\\u%04x" % code for code in range(0x20)}
_JSON_ESCAPES.update({0x08: "\\b", 0x09: "\\t", 0x0A: "\\n", 0x0C: "\\f", 0x0D: "\\r", 0x22: '\\"', 0x5C: "\\\\"})

def _os_message(exc: OSError) -> str:
    return f"{exc.strerror} (os error {exc.errno})"


def _metric_object(value):
    if type(value) is SingleMetric:
        return {"unit": value.unit, "value": value.value}
    return {op: {"unit": single.unit, "value": single.value} for op, single in value.items()}


def _json_string(text: str) -> str:
    return '"' + text.translate(_JSON_ESCAPES) + '"'


def _json_number(x: float) -> str:
    """The file's number text: the shortest digits that read back to x,
    positional for decimal exponents -5 to 15, else d.ddde+N / d.ddde-N;
    null for NaN and the infinities."""
    if math.isnan(x) or math.isinf(x):
        return "null"
    sign = "-" if math.copysign(1.0, x) < 0.0 else ""
    mantissa, _, exponent = repr(abs(x)).partition("e")
    whole, _, fraction = mantissa.partition(".")
    digits = (whole + fraction).lstrip("0")
    # Decimal exponent of the first significant digit.
    exp = int(exponent or 0) + len(whole) - 1 - (len(whole) + len(fraction) - len(digits))
    digits = digits.rstrip("0")
    if not digits:
        digits, exp = "0", 0
    if -5 <= exp <= 15:
        if exp < 0:
            body = "0." + "0" * (-exp - 1) + digits
        elif len(digits) <= exp + 1:
            body = digits + "0" * (exp + 1 - len(digits)) + ".0"
        else:
            body = digits[: exp + 1] + "." + digits[exp + 1 :]
    else:
        body = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
        body += ("e-" if exp < 0 else "e+") + str(abs(exp))
    return sign + body


def _json_text(value, indent: str, out: list) -> None:
    """Pretty-prints dicts (keys sorted), lists, str, float and None into out."""
    if type(value) is dict or type(value) is list:
        if not value:
            out.append("{}" if type(value) is dict else "[]")
            return
        inner = indent + "  "
        separator = "\n" + inner
        if type(value) is dict:
            out.append("{")
            for key in sorted(value):
                out.append(separator + _json_string(key) + ": ")
                _json_text(value[key], inner, out)
                separator = ",\n" + inner
            out.append("\n" + indent + "}")
        else:
            out.append("[")
            for item in value:
                out.append(separator)
                _json_text(item, inner, out)
                separator = ",\n" + inner
            out.append("\n" + indent + "]")
    elif type(value) is str:
        out.append(_json_string(value))
    elif value is None:
        out.append("null")
    else:
        out.append(_json_number(value))


def _file_int(text: str) -> float:
    # An integer is read exactly, then converted: "-0" is 0.0.
    return float(int(text))


def _parse_graph_file(data: bytes):
    """The JSON value of a file that save_json wrote, every number a float.
    Malformed files are not modelled: the loader's own tests pin its messages."""
    return json.loads(data.decode("utf-8"), parse_int=_file_int)


def _file_text(item, key: str):
    value = item.get(key) if type(item) is dict else None
    return value if type(value) is str else None


def _file_double(value, default: float) -> float:
    return value if type(value) is float else default


def _str_or_empty(value) -> str:
    return value if type(value) is str else ""


def _file_single(value) -> SingleMetric:
    """{"value": number, "unit": string}, 0.0 and "" for what is missing."""
    if type(value) is not dict:
        return SingleMetric(0.0, "")
    return SingleMetric(_file_double(value.get("value"), 0.0), _str_or_empty(value.get("unit")))
