"""What the command line and the report ask of a loaded graph, in one place.

Every answer comes from the extension's methods; nothing here re-implements
loading, aggregation or checking. A name stands for its newest node, as in
every call that takes a name.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from nuvel._core import NuvelGraph

if TYPE_CHECKING:
    from nuvel._core import Breakdown, ModelFacts, Problem

MODES = ("summation", "module", "specified")


class ModelError(Exception):
    """A problem with a model file or with what was asked of it."""


def load(path: str) -> NuvelGraph:
    """The graph saved in `path`; its loader's message, file name first, on failure."""
    try:
        return NuvelGraph.load_json(path)
    except OSError as exc:
        raise ModelError(f"cannot read {path}: {exc}") from None
    except ValueError as exc:
        raise ModelError(f"{path}: {exc}") from None


def describe(graph: NuvelGraph) -> ModelFacts:
    return graph.describe_model()


def check(graph: NuvelGraph) -> list[Problem]:
    return graph.check_model()


def metric_unit(graph: NuvelGraph, metric: str) -> str:
    """The first unit under which a module holds `metric`; ModelError when
    no module holds it."""
    about = graph.describe_model()["metrics"].get(metric)
    if about is None or not about["modules"]:
        raise ModelError(f"unknown metric {metric!r}: no module holds it")
    return about["units"][0] if about["units"] else ""


def check_workload(graph: NuvelGraph, workload: str | None) -> None:
    if workload is not None and not graph.has_node(workload):
        raise ModelError(f"unknown workload {workload!r}")


def event_values(graph: NuvelGraph, metric: str, mode: str, unit: str,
                 workload: str | None = None,
                 events: list[str] | None = None) -> dict[str, float]:
    """Each event's value as `aggregate_event_metric` gives it, bit for bit.

    `events` None means every event in node order; with a workload, the
    workload's own value first, then every event below it. A failing event
    raises ModelError with the call's message.
    """
    check_workload(graph, workload)
    try:
        if events is None and workload is not None:
            own = graph.aggregate_event_metrics(metric, mode, unit, workload, [workload])
            return {**own, **graph.aggregate_event_metrics(metric, mode, unit, workload)}
        return graph.aggregate_event_metrics(metric, mode, unit, workload, events)
    except ValueError as exc:
        raise ModelError(str(exc)) from None


def roots(graph: NuvelGraph, events: list[str]) -> list[str]:
    """Those of `events` that no edge from one of them enters: the workloads."""
    entered = {target for name in events for target in graph.get_out_neighbors(name)}
    return [name for name in events if name not in entered]


def breakdown(graph: NuvelGraph, metric: str, mode: str, unit: str,
              workload: str | None, event: str) -> Breakdown:
    """`NuvelGraph.aggregate_event_breakdown`; ModelError with the single
    call's message on failure."""
    check_workload(graph, workload)
    try:
        return graph.aggregate_event_breakdown(metric, mode, unit, workload, event)
    except ValueError as exc:
        raise ModelError(str(exc)) from None
