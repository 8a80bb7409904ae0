"""What the command line and the report ask of a loaded graph, in one place.

Every answer comes from the extension's methods; nothing here re-implements
loading, aggregation or checking. Functions that need a method this build of
the extension lacks raise `MissingFeature`.
"""

from __future__ import annotations

from collections import deque

from nuvel._core import NuvelGraph

MODES = ("summation", "module", "specified")


class ModelError(Exception):
    """A problem with a model file or with what was asked of it."""


class MissingFeature(ModelError):
    """The extension lacks a method that a command needs."""


def load(path: str) -> NuvelGraph:
    """The graph saved in `path`; its loader's message, file name first, on failure."""
    try:
        return NuvelGraph.load_json(path)
    except OSError as exc:
        raise ModelError(f"cannot read {path}: {exc}") from None
    except ValueError as exc:
        raise ModelError(f"{path}: {exc}") from None


def native(graph: NuvelGraph, method: str):
    """The bound method `method` of `graph`, or MissingFeature."""
    found = getattr(graph, method, None)
    if found is None:
        raise MissingFeature(f"this build of nuvel has no NuvelGraph.{method}")
    return found


# ---- Structure --------------------------------------------------------------


def reached(graph: NuvelGraph, root: str) -> set[str]:
    """Names of the nodes that `root` reaches, `root` included."""
    seen = {root}
    stack = [root]
    while stack:
        for target in graph.get_out_neighbors(stack.pop()):
            if target not in seen:
                seen.add(target)
                stack.append(target)
    return seen


def event_names(graph: NuvelGraph, workload: str | None = None) -> list[str]:
    """Names with out-edges in node order, each once; with a workload, those it reaches.

    A name stands for its newest node, as in every call that takes a name.
    """
    check_workload(graph, workload)
    scope = reached(graph, workload) if workload is not None else None
    names = []
    for name in dict.fromkeys(graph.get_all_node_names()):
        if (scope is None or name in scope) and not graph.is_leaf(name):
            names.append(name)
    return names


def roots(graph: NuvelGraph) -> list[str]:
    """Events that no edge enters (the workloads), in node order."""
    events = event_names(graph)
    entered = {target for name in events for target in graph.get_out_neighbors(name)}
    return [name for name in events if name not in entered]


def check_workload(graph: NuvelGraph, workload: str | None) -> None:
    if workload is not None and not graph.has_node(workload):
        raise ModelError(f"unknown workload {workload!r}")


def metric_unit(graph: NuvelGraph, metric: str) -> str:
    """The unit of `metric` on the first module that holds it as one value
    ("" when every holder reports it per operation); ModelError when no
    module holds it."""
    # phase 2: describe_model()["metrics"][metric]["units"]
    held = False
    for leaf in dict.fromkeys(graph.get_leaf_names()):
        try:
            return graph.query_module_metric(metric, leaf)["unit"]
        except ValueError as exc:
            # A multi-operation metric asks for an operation; a name whose
            # newest node is an event says so. Only the first means "held".
            held = held or str(exc).startswith("Invalid operation <")
    if held:
        return ""
    raise ModelError(f"unknown metric {metric!r}: no module holds it")


# ---- Aggregation ------------------------------------------------------------


def event_values(graph: NuvelGraph, metric: str, mode: str, unit: str,
                 workload: str | None = None,
                 events: list[str] | None = None) -> dict[str, float]:
    """Each event's value as `aggregate_event_metric` gives it, in event order.

    `events` None means `event_names(graph, workload)`. A failing event
    raises ModelError with the call's message.
    """
    if events is None:
        events = event_names(graph, workload)
    values = {}
    try:
        # phase 2: batch
        for event in events:
            values[event] = graph.aggregate_event_metric(metric, mode, unit, workload, event)["value"]
    except ValueError as exc:
        raise ModelError(str(exc)) from None
    return values


def module_contributions(graph: NuvelGraph, metric: str, mode: str, unit: str,
                         event: str) -> dict[str, float]:
    """Each module's contribution to the unscaled value of `event`.

    In summation mode: the module's value scaled to the event as a single
    call with the event as workload scales it (every path, factors and
    operations included). In module mode: value times instance, each module
    once. Specified mode takes no value from modules: the result is empty.
    """
    # phase 2: aggregate_event_breakdown(metric, mode, unit, event=event)
    if mode == "specified":
        return {}
    below = reached(graph, event)
    leaves = [name for name in dict.fromkeys(graph.get_leaf_names()) if name in below]
    scale = event if mode == "summation" else None
    try:
        return {leaf: graph.aggregate_event_metric(metric, mode, unit, scale, leaf)["value"]
                for leaf in leaves}
    except ValueError as exc:
        raise ModelError(str(exc)) from None


def edge_contributions(graph: NuvelGraph, metric: str, mode: str, unit: str,
                       event: str, limit: int) -> dict[str, list[tuple[str, float]]]:
    """For the events below `event` (breadth first, at most `limit` edges):
    event -> [(child, what the child adds to the event's value)], in
    out-list order; summation and specified mode.

    A child's share is its value scaled to the parent by a single call with
    the parent as workload, which is exact where the direct edge is the
    only route between them and, in specified mode, the child is not a
    parallel child that a larger sibling beat. Modules count in summation
    mode only.
    """
    # phase 2: aggregate_edge_contributions(metric, mode, unit, event=event),
    # [(source, target, contribution)] over every edge of the event's
    # sub-graph in one pass: count x factor x the target's value (the
    # operation's in summation mode; 0.0 for parallel losers and modules in
    # specified mode).
    children: dict[str, list[tuple[str, float]]] = {}
    queue = deque([event])
    edges = 0
    try:
        while queue and edges < limit:
            parent = queue.popleft()
            if parent in children:
                continue
            shares = children[parent] = []
            for child in graph.get_out_neighbors(parent)[:limit - edges]:
                edges += 1
                if not graph.is_leaf(child):
                    queue.append(child)
                elif mode != "summation":
                    continue
                share = graph.aggregate_event_metric(metric, mode, unit, parent, child)["value"]
                shares.append((child, share))
    except ValueError as exc:
        raise ModelError(str(exc)) from None
    return children


# ---- Native introspection ---------------------------------------------------


def describe(graph: NuvelGraph) -> dict:
    """The model's make-up, from `NuvelGraph.describe_model()`:

        {"nodes": int, "edges": int,            # every node and edge stored
         "workloads": int,                      # out-edges, no in-edges
         "events": int,                         # out-edges and in-edges
         "modules": int,                        # no out-edges
         "metrics": {metric: {                  # first seen in node order
             "units": [str, ...],               # distinct, first seen first
             "modules": int,                    # modules holding the metric
             "multi_operation": [str, ...],     # modules holding it per operation
             "operations": [str, ...]}},        # their operation names, distinct
         "duplicate_names": {name: int}}        # names of several nodes: how many

    workloads + events + modules == nodes.
    """
    return native(graph, "describe_model")()


def check(graph: NuvelGraph) -> list[dict]:
    """Every problem that makes an aggregation fail or mislead, from
    `NuvelGraph.check_model()`, each as

        {"kind": str, "severity": "error" | "warning",
         "nodes": [str, ...], "metric": str | None, "message": str}

    Kinds (severity; the nodes):
        cycle (error; the cycle's nodes in edge order),
        missing_operation, unknown_operation (error; source, module):
            an edge into a multi-operation module names no operation of it,
        missing_metric (error; the modules that lack `metric` while others hold it),
        missing_specified (error; an event over modules only with no specified value),
        unused_specified (error; an event with a specified value but no module holding the metric),
        invalid_count (error; source, target, or the module for its instance):
            NaN, infinite or negative,
        shadowed_name (warning; the name given to several nodes),
        unreached (warning; the nodes that no workload reaches),
        unknown_aggregation (warning; source, target): neither "parallel" nor "sequential".
    Problems come grouped by kind in that order.
    """
    return native(graph, "check_model")()


def breakdown(graph: NuvelGraph, metric: str, mode: str, unit: str,
              workload: str | None, event: str):
    """`NuvelGraph.aggregate_event_breakdown(metric, mode, unit, workload, event=event)`:

    summation and module mode: {module: contribution}, adding up to the
    single call's value (contributions of nodes sharing a name add up);
    specified mode: the decisions from the event down, each event once,
    top down:

        [{"event": str, "value": float,        # unscaled
          "rule": "specified" | "combined",    # own figure, or sum + max
          "children": [{"event": str, "aggregation": str,
                        "contribution": float, "chosen": bool}]}]

    A failure raises ModelError with the single call's message.
    """
    method = native(graph, "aggregate_event_breakdown")
    try:
        return method(metric, mode, unit, workload, event=event)
    except ValueError as exc:
        raise ModelError(str(exc)) from None
