"""The pure-Python model of NuvelGraph, the tests' oracle and the benchmark's
baseline: the store as a careful Python developer writes it (slotted records, a
name index, a pair -> edge dict, adjacency lists), with the extension's results,
failures, log records and file bytes. It reads only well-formed graph files and
recomputes each aggregation in full."""

from __future__ import annotations

import json
import logging
import math
import os
import unicodedata
from collections.abc import Mapping
from dataclasses import dataclass, field
from types import MappingProxyType

__all__ = ["PureGraph", "NodeData", "EdgeData", "SingleMetric", "MultiOp"]

_EMPTY_MAP = MappingProxyType({})

_log = logging.getLogger("nuvel_core")
_agg_log = logging.getLogger("nuvel_core.aggregate")


@dataclass(slots=True, eq=False)
class SingleMetric:
    """One measured quantity. ``value`` is updated in place by aggregation."""

    value: float
    unit: str


class MultiOp(dict):
    """A metric per operation: operation name -> SingleMetric (possibly none)."""

    __slots__ = ()


@dataclass(slots=True, eq=False)
class NodeData:
    """One node. ``out_edges`` and ``in_edges`` hold EdgeData records oldest
    first; callers see neighbour lists newest first."""

    name: str
    performance: str | None
    instance: float = 1.0
    tags: tuple[str, ...] = ()
    metrics: dict = field(default_factory=dict)
    specified_metrics: dict = field(default_factory=dict)
    out_edges: list[EdgeData] = field(default_factory=list)
    in_edges: list[EdgeData] = field(default_factory=list)


@dataclass(slots=True, eq=False)
class EdgeData:
    """One edge between node indices. ``operation`` and ``factor`` share one
    empty map until replaced whole: two dicts fewer per edge."""

    source: int
    target: int
    count: float = 1.0
    aggregation: str = "parallel"
    operation: Mapping[str, str] = field(default_factory=lambda: _EMPTY_MAP)
    factor: Mapping[str, float] = field(default_factory=lambda: _EMPTY_MAP)


def _downcast(value, kind: str) -> TypeError:
    return TypeError(f"'{type(value).__qualname__}' object cannot be converted to '{kind}'")


def _as_text(value) -> str:
    """A str argument as plain text; the bare conversion error otherwise."""
    if not isinstance(value, str):
        raise _downcast(value, "PyString")
    if type(value) is not str:
        # Copied from the string data itself: str() would call an overridden __str__.
        value = "".join((value,))
    # Text must have a UTF-8 form: a lone surrogate raises UnicodeEncodeError.
    value.encode("utf-8")
    return value


def _as_double(value) -> float:
    """A number as a float, the way the host converts it to a C double: only
    objects with a float or index conversion (float() would also parse strings)."""
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
    return _argument(_as_text, value, param)


def _optional_text(value, param: str) -> str | None:
    return None if value is None else _text(value, param)


def _double(value, param: str) -> float:
    return _argument(_as_double, value, param)


def _dict(value, param: str) -> dict:
    if not isinstance(value, dict):
        raise TypeError(f"argument '{param}': {_downcast(value, 'PyDict')}")
    return value


def _text_map(value, param: str) -> dict:
    """A dict of str -> str, converted whole (in dict order)."""
    return {_text(k, param): _text(v, param) for k, v in _dict(value, param).items()}


def _double_map(value, param: str) -> dict:
    """A dict of str -> number, converted whole (in dict order)."""
    return {_text(k, param): _double(v, param) for k, v in _dict(value, param).items()}


def _text_list(value, param: str) -> tuple:
    if isinstance(value, str):
        raise TypeError(f"argument '{param}': Can't extract `str` to `Vec`")
    # The host's sequence check: item access, and not a mapping.
    if isinstance(value, dict) or not hasattr(type(value), "__getitem__"):
        raise TypeError(f"argument '{param}': {_downcast(value, 'Sequence')}")
    return tuple([_text(item, param) for item in value])


def _module_metric(metric: str, data: dict) -> SingleMetric | MultiOp:
    """{"value": number, "unit": text}, else operation name -> such a dict."""
    if "value" in data and "unit" in data:
        return SingleMetric(_as_double(data["value"]), _as_text(data["unit"]))
    ops = MultiOp()
    for op, entry in data.items():
        op = _as_text(op)
        if not isinstance(entry, dict):
            raise _downcast(entry, "PyDict")
        for key in ("value", "unit"):
            if key not in entry:
                raise ValueError(f"Operation '{op}' of metric '{metric}' has no '{key}'")
        ops[op] = SingleMetric(_as_double(entry["value"]), _as_text(entry["unit"]))
    return ops


# -- aggregation helpers ------------------------------------------------------

_CYCLE = "Graph contains a cycle; expected a DAG"

_DEBUG_ESCAPES = {"\\": "\\\\", '"': '\\"', "\0": "\\0", "\t": "\\t", "\r": "\\r", "\n": "\\n"}


def _fail(logger: logging.Logger, message: str):
    """An error record, then the ValueError. Records carry no arguments: the
    text reaches handlers verbatim, '%' included."""
    logger.error(message)
    raise ValueError(message)


def _single(node: NodeData, metric: str, required: bool = False) -> SingleMetric | None:
    """A node's single-valued metric; None when absent and not required."""
    value = node.metrics.get(metric)
    if type(value) is not SingleMetric and (required or value is not None):
        raise ValueError(f"Metric '{metric}' of event '{node.name}' is not a single value")
    return value


def _metric_unit(node: NodeData, metric: str) -> str:
    """Unit of a node's metric: the single value's, the first operation's for a
    multi-operation metric (empty without operations), empty when absent."""
    value = node.metrics.get(metric)
    if type(value) is SingleMetric:
        return value.unit
    if value:
        return next(iter(value.values())).unit
    return ""


def _debug_char(ch: str) -> str:
    escaped = _DEBUG_ESCAPES.get(ch)
    if escaped is not None:
        return escaped
    # isprintable() rejects control, format, separator (but the blank), private-use,
    # surrogate and unassigned characters; Mn and Me approximate the grapheme extenders.
    if not ch.isprintable() or unicodedata.category(ch) in ("Mn", "Me"):
        return "\\u{%x}" % ord(ch)
    return ch


def _fmt_debug_list(names) -> str:
    """["a", "b"]: each name double-quoted and escaped."""
    quoted = ['"' + "".join(map(_debug_char, name)) + '"' for name in names]
    return "[" + ", ".join(quoted) + "]"


class PureGraph:
    """Directed graph of workloads, events and modules. Nodes and edges only
    grow; an ordered pair of nodes has at most one edge."""

    __slots__ = ("_nodes", "_edges", "_index", "_pairs")

    def __init__(self) -> None:
        self._nodes: list[NodeData] = []
        self._edges: list[EdgeData] = []
        self._index: dict[str, int] = {}
        self._pairs: dict[tuple[int, int], EdgeData] = {}

    def _position(self, name: str, kind: str | None = None) -> int:
        """A node's index. A missing node is "not found", or given its ``kind``,
        the logged "Invalid <kind> <name>." of the queries and aggregations."""
        idx = self._index.get(name)
        if idx is None and kind is not None:
            _fail(_log, f"Invalid {kind} <{name}>.")
        if idx is None:
            raise ValueError(f"Node '{name}' not found")
        return idx

    def _node(self, name: str) -> NodeData:
        return self._nodes[self._position(name)]

    def _find_edge(self, source: str, target: str) -> EdgeData:
        edge = self._pairs.get((self._index.get(source), self._index.get(target)))
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
        """True when the pair already had its edge (merged), else False."""
        source = _text(source, "source")
        target = _text(target, "target")
        key = (self._position(source), self._position(target))
        if key in self._pairs:
            return True
        edge = EdgeData(*key)
        self._pairs[key] = edge
        self._edges.append(edge)
        self._nodes[edge.source].out_edges.append(edge)
        self._nodes[edge.target].in_edges.append(edge)
        return False

    # -- node queries -------------------------------------------------------

    def has_node(self, name) -> bool:
        return _text(name, "name") in self._index

    def get_all_node_names(self) -> list[str]:
        return [node.name for node in self._nodes]

    def get_leaf_names(self) -> list[str]:
        return [node.name for node in self._nodes if not node.out_edges]

    def get_tag_modules(self, tag) -> list[str]:
        tag = _text(tag, "tag")
        return [node.name for node in self._nodes if not node.out_edges and tag in node.tags]

    def is_leaf(self, name) -> bool:
        return not self._node(_text(name, "name")).out_edges

    def get_performance_path(self, name) -> str | None:
        return self._node(_text(name, "name")).performance

    def get_out_neighbors(self, name) -> list[str]:
        out = self._node(_text(name, "name")).out_edges
        return [self._nodes[edge.target].name for edge in reversed(out)]

    # -- edge data ----------------------------------------------------------

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

    def set_edge_operation(self, source, target, operation) -> None:
        self._set_edge(source, target, "operation", operation, _text_map, "operation")

    def set_edge_factor(self, source, target, factor) -> None:
        self._set_edge(source, target, "factor", factor, _double_map, "factor")

    def get_edge_count(self, source, target) -> float:
        return self._find_edge(_text(source, "source"), _text(target, "target")).count

    def get_edge_aggregation(self, source, target) -> str:
        return self._find_edge(_text(source, "source"), _text(target, "target")).aggregation

    # -- metrics ------------------------------------------------------------

    def init_metrics(self, metric_units) -> None:
        units = _text_map(metric_units, "metric_units")
        for node in self._nodes:
            for metric, unit in units.items():
                node.metrics[metric] = SingleMetric(0.0, unit)

    def set_module_data(self, node_name, metrics, instance, tags) -> None:
        node_name = _text(node_name, "node_name")
        metrics = _dict(metrics, "metrics")
        instance = _double(instance, "instance")
        tags = _text_list(tags, "tags")
        node = self._node(node_name)
        for key, value in metrics.items():
            key = _as_text(key)
            if isinstance(value, dict):
                node.metrics[key] = _module_metric(key, value)
        node.instance = instance
        node.tags = tags

    def query_module_metric(self, metric, module=None, operation=None) -> dict:
        metric = _text(metric, "metric")
        module = _optional_text(module, "module")
        operation = _optional_text(operation, "operation")
        if module is None:
            raise ValueError("module argument is required")
        node = self._nodes[self._position(module, "module")]
        if node.out_edges:
            _fail(_log, f"Invalid event <{module}>; this function requires a module.")
        value = node.metrics.get(metric)
        if value is None:
            raise ValueError(f"Metric '{metric}' not found on module '{module}'")
        if type(value) is MultiOp:
            single = value.get(operation)
            if single is None:
                legal = ", ".join([f"'{op}'" for op in value])
                _fail(_log, f"Invalid operation <{operation}> for metric <{metric}> in module "
                      f"<{module}>; legal values: [{legal}].")
            value = single
        elif operation is not None:
            _log.warning(f"Ignore operation <{operation}> for metric <{metric}> in module "
                         f"<{module}>; this module requires no specified operation.")
        return {"value": value.value, "unit": value.unit}

    def set_node_specified_metric(self, node_name, metric_name, value, unit) -> None:
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
        if workload is None or workload == event:
            _log.debug(f"  Total value (<{event}>) = <1.0>.")
            return 1.0
        w = self._position(workload, "workload")
        e = self._position(event, "event")
        if not self._reaches(w, e):
            _fail(_log, f"Invalid event <{event}> in workload <{workload}>.")
        total = self._compute_path_count(w, e, None)
        _log.debug(f"  Total value (<{workload}> -> <{event}>) = <{total!r}>.")
        return total

    def _paths(self, start: int, end: int, metric: str | None):
        """Every simple path from ``start`` to another node ``end``, depth first,
        out-edges newest first, as one reused list of steps (edge, running count,
        running factor of ``metric``): a shared prefix is multiplied once."""
        nodes = self._nodes
        on_path = {start}
        steps: list = []
        stack = [reversed(nodes[start].out_edges)]
        while stack:
            count, factor = (steps[-1][1], steps[-1][2]) if steps else (1.0, 1.0)
            for edge in stack[-1]:
                t = edge.target
                if t in on_path:
                    continue
                steps.append((edge, count * edge.count, factor * edge.factor.get(metric, 1.0)))
                if t == end:
                    yield steps
                    steps.pop()
                    continue
                on_path.add(t)
                stack.append(reversed(nodes[t].out_edges))
                break
            else:
                stack.pop()
                if steps:
                    on_path.discard(steps.pop()[0].target)

    def _narrate_path(self, steps: list, with_factor: bool) -> None:
        nodes = self._nodes
        for edge, count, factor in steps:
            update = f"event count to <{count!r}>"
            if with_factor:
                update += f" and event factor to <{factor!r}>"
            route = f"<{nodes[edge.source].name}> -> <{nodes[edge.target].name}>"
            _agg_log.debug(f"  Path ({route}) updates {update}.")

    def _reachable(self, start: int) -> set[int]:
        """``start`` and every node that a path from it leads to."""
        nodes = self._nodes
        seen = {start}
        stack = [start]
        while stack:
            for edge in nodes[stack.pop()].out_edges:
                if edge.target not in seen:
                    seen.add(edge.target)
                    stack.append(edge.target)
        return seen

    def _reaches(self, start: int, end: int) -> bool:
        return end in self._reachable(start)

    def _compute_path_count(self, w: int, e: int, metric: str | None) -> float:
        """Sum over the paths from w to e of count x factor of ``metric`` (None: the count alone)."""
        debug = _agg_log.isEnabledFor(logging.DEBUG)
        nodes = self._nodes
        route = f"<{nodes[w].name}> -> <{nodes[e].name}>"
        total = 0.0
        for steps in self._paths(w, e, metric):
            _, count, factor = steps[-1]
            path_total = factor * count
            if debug:
                self._narrate_path(steps, metric is not None)
                # Without a metric every factor is 1.0, so path_total is the count.
                factors = "" if metric is None else f" = count <{count!r}> * factor <{factor!r}>"
                _agg_log.debug(f"  Total event count ({route}) is increased by <{path_total!r}>{factors}.")
            total = total + path_total
        return total

    def _finish_order(self, starts) -> list[int]:
        """The nodes reachable from ``starts``, each after all of its successors
        (depth first, successors pushed in list order); a cycle raises ValueError."""
        nodes = self._nodes
        discovered = bytearray(len(nodes))
        finished = bytearray(len(nodes))
        finish: list[int] = []
        for i in starts:
            stack = [i]
            while stack:
                v = stack[-1]
                if not discovered[v]:
                    discovered[v] = 1
                    for edge in reversed(nodes[v].out_edges):
                        if not discovered[edge.target]:
                            stack.append(edge.target)
                        elif not finished[edge.target]:
                            # Still open, so it leads to v: the edge closes a cycle.
                            raise ValueError(_CYCLE)
                else:
                    stack.pop()
                    if not finished[v]:
                        finished[v] = 1
                        finish.append(v)
        return finish

    def _topological_order(self, root: int) -> list[int]:
        """Reachable nodes, root last, in the depth-first order of the whole graph; any cycle raises."""
        reachable = self._reachable(root)
        return [v for v in self._finish_order(range(len(self._nodes))) if v in reachable]

    def _aggregate_module(self, event: int, metric: str) -> float:
        """Sum of value x instance over the modules below ``event``, each once:
        inner nodes are walked again on every route, a module met again adds 0.0."""
        debug = _agg_log.isEnabledFor(logging.DEBUG)
        nodes = self._nodes
        visited: set[int] = set()

        def module_value(m: int, parent: str) -> float:
            node = nodes[m]
            if m in visited:
                _agg_log.info(f"Ignore repeated module <{node.name}>.")
                return 0.0
            visited.add(m)
            single = node.metrics.get(metric)
            if type(single) is not SingleMetric:
                _fail(_agg_log, f"Invalid metric <{metric}> for module <{node.name}>.")
            _agg_log.info(f"Aggregate metric <{metric}> for module <{node.name}> in event <{parent}>.")
            result = single.value * node.instance
            if debug:
                _agg_log.debug(f"  Total value (<{parent}> -> <{node.name}>) = <{result!r}> <{single.unit}> "
                               f"= single value <{single.value!r}> * instance <{node.instance!r}>.")
            return result

        root = nodes[event]
        if not root.out_edges:
            return module_value(event, root.name)
        # Frames: [node, its out-edges newest first, running sum].
        stack = [[root, reversed(root.out_edges), 0.0]]
        while True:
            frame = stack[-1]
            node = frame[0]
            for edge in frame[1]:
                child = nodes[edge.target]
                if debug:
                    _agg_log.debug(f"  Check subevent <{node.name}> -> <{child.name}>.")
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

    def _aggregate_specified(self, event: int, metric: str) -> None:
        """Bottom-up pass writing each event's specified-mode value."""
        nodes = self._nodes
        debug = _agg_log.isEnabledFor(logging.DEBUG)
        for n in self._topological_order(event):
            node = nodes[n]
            if not node.out_edges:
                _agg_log.info(f"Ignore module <{node.name}>.")
                continue
            _agg_log.info(f"Aggregate metric <{metric}> for event <{node.name}>.")
            sequential = 0.0
            parallel = 0.0
            modules = 0
            for edge in reversed(node.out_edges):
                child = nodes[edge.target]
                if not child.out_edges:
                    if type(child.metrics.get(metric)) is not SingleMetric:
                        _fail(_agg_log, f"Invalid metric <{metric}> for event <{child.name}>; "
                              "legal metric: {'value': float, 'unit': str}.")
                    modules += 1
                    if debug:
                        _agg_log.debug(f"  Ignore module <{child.name}>.")
                    continue
                single = _single(child, metric)
                value = 0.0 if single is None else single.value
                factor = edge.factor.get(metric, 1.0)
                contribution = value * edge.count * factor
                if debug:
                    _agg_log.debug(f"  Total value (<{child.name}>) = <{contribution!r}> "
                                   f"<{_metric_unit(child, metric)}> = single value <{value!r}> "
                                   f"* count <{edge.count!r}> * factor <{factor!r}>.")
                if edge.aggregation != "parallel":
                    if debug:
                        _agg_log.debug(f"  Update sequential accumulated metric value by <{contribution!r}>, "
                                       f"based on event <{child.name}>.")
                    sequential = sequential + contribution
                elif contribution > parallel:
                    if debug:
                        _agg_log.debug(f"  Update parallel maximum metric value to <{contribution!r}>, "
                                       f"based on event <{child.name}>.")
                    parallel = contribution
            value = sequential + parallel
            specified = node.specified_metrics.get(metric)
            if modules == 0 and specified is not None:
                _fail(_agg_log, f"  Invalid metric <{metric}> in event <{node.name}>, since it is "
                      "connected to no modules; check the performance model.")
            if modules == len(node.out_edges):
                if specified is None:
                    _fail(_agg_log, f"  Missing metric <{metric}> in event <{node.name}>, since it is only "
                          "connected to modules; check the performance model.")
                value = specified.value
            stored = _single(node, metric)
            if stored is not None:
                stored.value = value
            if debug:
                _agg_log.debug(f"  Total value (<{node.name}>) = <{value!r}> <{_metric_unit(node, metric)}>.")

    def _aggregate_summation(self, event: int, metric: str) -> None:
        """Bottom-up pass pushing count x value x factor to every parent in the pass."""
        debug = _agg_log.isEnabledFor(logging.DEBUG)
        nodes = self._nodes
        order = self._topological_order(event)
        in_pass = set(order)
        for n in order:
            node = nodes[n]
            kind = "event" if node.out_edges else "module"
            _agg_log.info(f"Aggregate metric <{metric}> for {kind} <{node.name}>.")
            own = node.metrics.get(metric)
            for edge in reversed(node.in_edges):
                if edge.source not in in_pass:
                    continue
                parent = nodes[edge.source]
                if type(own) is MultiOp:
                    op = edge.operation.get(metric)
                    if op is None:
                        raise ValueError(f"Invalid operation for metric '{metric}' in module '{node.name}'; "
                                         "multi-operation module requires an operation")
                    op = op.lower()
                    single = own.get(op)
                    if single is None:
                        _fail(_agg_log, f"Invalid operation <{op}> for metric <{metric}> in module "
                              f"<{node.name}>; legal values: {_fmt_debug_list(own)}.")
                    value = single.value
                else:
                    value = 0.0 if own is None else own.value
                factor = edge.factor.get(metric, 1.0)
                contribution = edge.count * value * factor
                target = _single(parent, metric)
                if target is not None:
                    target.value = target.value + contribution
                if debug:
                    _agg_log.debug(f"  Total value (<{parent.name}> -> <{node.name}>) = <{contribution!r}> "
                                   f"<{_metric_unit(parent, metric)}> = single value <{value!r}> "
                                   f"* count <{edge.count!r}> * factor <{factor!r}>.")

    def _aggregate_summation_multiop(self, w: int, m: int, metric: str) -> float:
        """A multi-operation module summed over the workload's paths, each path
        priced by the operation that its last edge names."""
        debug = _agg_log.isEnabledFor(logging.DEBUG)
        module = self._nodes[m]
        ops = module.metrics[metric]
        weights: dict[str, float] = {}  # insertion order: first selection
        for steps in self._paths(w, m, metric):
            if debug:
                self._narrate_path(steps, True)
            last, count, factor = steps[-1]
            op = last.operation.get(metric)
            if op is None:
                raise ValueError(f"Missing operation for metric <{metric}> in multi-operation module "
                                 f"<{module.name}>; legal values: {_fmt_debug_list(ops)}.")
            op = op.lower()
            if op not in ops:
                raise ValueError(f"Invalid operation <{op}> for metric <{metric}> in module "
                                 f"<{module.name}>; legal values: {_fmt_debug_list(ops)}.")
            weight = count * factor
            weights[op] = weights.get(op, 0.0) + weight
            if debug:
                _agg_log.debug(f"  Total event count (<{module.name}> : <{op}>) is increased by <{weight!r}> "
                               f"= count <{count!r}> * factor <{factor!r}>.")
        total = 0.0
        for op, weight in weights.items():
            value = ops[op].value
            result = value * weight
            if debug:
                unit = _metric_unit(module, metric)
                _agg_log.debug(f"  Total value (<{module.name}> : <{op}>) = <{result!r}> <{unit}> "
                               f"= single value <{value!r}> * count <{weight!r}>.")
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
        debug = _log.isEnabledFor(logging.DEBUG)
        e = self._position(event, "event")
        w = None
        if workload is not None and workload != event:
            w = self._position(workload, "workload")
            if not self._reaches(w, e):
                _fail(_log, f"Invalid event <{event}> in workload <{workload}>.")

        # Reset the metric in every node that has out-edges, in node order.
        for node in self._nodes:
            single = node.metrics.get(metric)
            if node.out_edges and type(single) is SingleMetric:
                if single.value != 0.0 and debug:
                    _log.debug(f"  Reset metric <{metric}> in event <{node.name}> to 0.")
                single.value = 0.0

        if metric_aggregation not in ("module", "summation", "specified"):
            raise ValueError(f"Invalid aggregation '{metric_aggregation}'; legal: module, summation, specified")
        node = self._nodes[e]
        value = None  # the event's own value, when narrated as a factor
        if metric_aggregation == "module":
            if workload is not None:
                _log.warning(f"Ignore workload <{workload}> in aggregation <module>.")
            self._finish_order([e])  # a cycle below the event raises
            result = self._aggregate_module(e, metric)
        elif metric_aggregation == "specified" and not node.out_edges:
            _fail(_log, f"Invalid module <{event}> for aggregation <specified>; "
                  "this aggregation requires an event.")
        elif not node.out_edges and type(node.metrics.get(metric)) is MultiOp:  # summation from here on
            if w is None:
                _fail(_log, f"Invalid module <{event}> for aggregation <summation>; "
                      "this aggregation does not support multi-operation module.")
            result = self._aggregate_summation_multiop(w, e, metric)
        else:
            count = 1.0 if w is None else self._compute_path_count(w, e, metric)
            if metric_aggregation == "specified":
                self._aggregate_specified(e, metric)
            else:
                self._aggregate_summation(e, metric)
            value = _single(node, metric, required=True).value
            result = count * value
            if w is None and metric_aggregation == "summation":
                value = None  # the total alone is narrated
        if debug:
            route = f"<{event}>" if workload is None else f"<{workload}> -> <{event}>"
            factors = ""
            if value is not None:
                factors = f" = single value <{value!r}>" + ("" if workload is None else f" * count <{count!r}>")
            _log.debug(f"  Total value ({route}) = <{result!r}> <{unit}>{factors}.")
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
                    "metrics": _metric_object(node.metrics),
                    "name": node.name,
                    "performance": node.performance,
                    "specified_metrics": _metric_object(node.specified_metrics),
                    "tags": list(node.tags),
                }
                for node in nodes
            ],
        }
        data = _json_text(document).encode("utf-8")
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
        try:
            with open(fd, "rb", closefd=False) as file:
                data = file.read()
        except OSError as exc:
            # Opened but unreadable (a directory): the content is at fault.
            raise ValueError(_os_message(exc)) from None
        finally:
            os.close(fd)
        # Every number is a float: an integer is read exactly, then converted ("-0" is 0.0).
        text = data.decode("utf-8")
        return PureGraph._from_document(json.loads(text, parse_int=lambda digits: float(int(digits))))

    @staticmethod
    def _from_document(document) -> PureGraph:
        """Lenient walk, members in key order: only a node's name and an edge's
        endpoints are required; anything missing or mistyped takes its default."""
        graph = PureGraph()
        document = _typed(document, dict, {})
        for i, item in enumerate(_typed(document.get("nodes"), list, [])):
            item = _typed(item, dict, {})
            name = _typed(item.get("name"), str, None)
            if name is None:
                raise ValueError(f'nodes[{i}] has no string member "name"')
            graph.add_node(name, _typed(item.get("performance"), str, None))
            node = graph._nodes[-1]
            node.instance = _typed(item.get("instance"), float, 1.0)
            tags = _typed(item.get("tags"), list, [])
            node.tags = tuple([tag for tag in tags if type(tag) is str])
            metrics = _typed(item.get("metrics"), dict, {})
            for key in sorted(metrics):
                value = metrics[key]
                if type(value) is dict and "value" in value and "unit" in value:
                    node.metrics[key] = _file_single(value)
                elif type(value) is dict:
                    node.metrics[key] = MultiOp((op, _file_single(value[op])) for op in sorted(value))
            specified = _typed(item.get("specified_metrics"), dict, {})
            node.specified_metrics = {key: _file_single(specified[key]) for key in sorted(specified)}
        for i, item in enumerate(_typed(document.get("edges"), list, [])):
            item = _typed(item, dict, {})
            source = _typed(item.get("source"), str, None)
            target = _typed(item.get("target"), str, None)
            if source is None or target is None:
                missing = "source" if source is None else "target"
                raise ValueError(f'edges[{i}] has no string member "{missing}"')
            graph.add_edge(source, target)
            # A repeated pair takes this element's annotations, defaults included.
            edge = graph._pairs[graph._index[source], graph._index[target]]
            edge.count = _typed(item.get("count"), float, 1.0)
            edge.aggregation = _typed(item.get("aggregation"), str, "parallel")
            operation = _typed(item.get("operation"), dict, {})
            edge.operation = {key: _typed(operation[key], str, "") for key in sorted(operation)} or _EMPTY_MAP
            factor = _typed(item.get("factor"), dict, {})
            edge.factor = {key: _typed(factor[key], float, 1.0) for key in sorted(factor)} or _EMPTY_MAP
        return graph


# -- graph file helpers -------------------------------------------------------

_NUL_IN_PATH = "file name contained an unexpected NUL byte"

_json_string = json.JSONEncoder(ensure_ascii=False).encode


def _os_message(exc: OSError) -> str:
    return f"{exc.strerror} (os error {exc.errno})"


def _metric_object(value):
    """A metric, or a dict of metrics or of operations, as JSON objects."""
    if type(value) is SingleMetric:
        return {"unit": value.unit, "value": value.value}
    return {name: _metric_object(item) for name, item in value.items()}


def _json_number(x: float) -> str:
    """The file's number text: the shortest digits that read back to x,
    positional for decimal exponents -5 to 15, else d.ddde+N / d.ddde-N;
    null for NaN and the infinities."""
    if math.isnan(x) or math.isinf(x):
        return "null"
    # repr() already writes this form except for the exponent -5 and the
    # exponent's sign and leading zero.
    mantissa, _, exponent = repr(x).partition("e")
    if not exponent:
        return mantissa
    exp = int(exponent)
    if exp == -5:
        sign = "-" if x < 0.0 else ""
        return sign + "0.0000" + mantissa.lstrip("-").replace(".", "")
    return mantissa + ("e-" if exp < 0 else "e+") + str(abs(exp))


def _json_text(value, indent: str = "") -> str:
    """Pretty-prints dicts (keys sorted), lists, str, float and None."""
    if type(value) is str:
        return _json_string(value)
    if value is None:
        return "null"
    if type(value) is float:
        return _json_number(value)
    if not value:
        return "{}" if type(value) is dict else "[]"
    inner = indent + "  "
    if type(value) is dict:
        items = [_json_text(key) + ": " + _json_text(value[key], inner) for key in sorted(value)]
    else:
        items = [_json_text(item, inner) for item in value]
    body = "\n" + inner + (",\n" + inner).join(items) + "\n" + indent
    return "{" + body + "}" if type(value) is dict else "[" + body + "]"


def _typed(value, kind: type, default):
    """value when its type is exactly kind, else default."""
    return value if type(value) is kind else default


def _file_single(value) -> SingleMetric:
    """{"value": number, "unit": string}, 0.0 and "" for what is missing."""
    value = _typed(value, dict, {})
    return SingleMetric(_typed(value.get("value"), float, 0.0), _typed(value.get("unit"), str, ""))
