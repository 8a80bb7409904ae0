from collections.abc import Sequence
from typing import Literal, SupportsFloat, SupportsIndex, TypedDict, final, type_check_only

_Number = SupportsFloat | SupportsIndex

@type_check_only
class ValueUnit(TypedDict):
    value: float
    unit: str

@type_check_only
class MetricFacts(TypedDict):
    units: list[str]
    modules: int
    multi_operation: list[str]
    operations: list[str]

@type_check_only
class ModelFacts(TypedDict):
    nodes: int
    edges: int
    workloads: int
    events: int
    modules: int
    metrics: dict[str, MetricFacts]
    duplicate_names: dict[str, int]

@type_check_only
class Problem(TypedDict):
    kind: str
    severity: Literal["error", "warning"]
    nodes: list[str]
    metric: str | None
    message: str

@type_check_only
class BreakdownChild(TypedDict):
    node: str
    aggregation: str
    contribution: float
    chosen: bool

@type_check_only
class BreakdownEvent(TypedDict):
    event: str
    value: float
    rule: Literal["sum", "combined", "specified"]
    children: list[BreakdownChild]

@type_check_only
class Breakdown(TypedDict):
    value: float
    unit: str
    modules: dict[str, float]
    events: list[BreakdownEvent]

class _Single(TypedDict):
    value: _Number
    unit: str

__all__ = ["NuvelGraph"]

@final
class NuvelGraph:
    """Performance model of a hardware architecture: workloads, events and
    modules (the leaves) joined by directed edges, with metrics to aggregate."""

    def __new__(cls) -> NuvelGraph:
        """An empty graph."""
    def add_node(self, name: str, performance: str | None = None) -> None:
        """Add a node; `performance` is the path of its performance model output."""
    def add_edge(self, source: str, target: str) -> bool:
        """Add a directed edge. Returns True if an edge for this (source, target)
        already existed and was merged (no parallel edge created), else False."""
    def has_node(self, name: str) -> bool:
        """Whether a node of this name exists."""
    def get_all_node_names(self) -> list[str]:
        """Every node name, in the order the nodes were added."""
    def get_leaf_names(self) -> list[str]:
        """Names of the modules (nodes without outgoing edges), in insertion order."""
    def get_tag_modules(self, tag: str) -> list[str]:
        """Leaf module names carrying `tag`, in leaf insertion order."""
    def is_leaf(self, name: str) -> bool:
        """Whether the node has no outgoing edges."""
    def get_performance_path(self, name: str) -> str | None:
        """The node's performance path, or None if it has none."""
    def get_out_neighbors(self, name: str) -> list[str]:
        """Targets of the node's outgoing edges, most recently added first."""
    def init_metrics(self, metric_units: dict[str, str]) -> None:
        """Set all node metrics to Single{0.0, unit} for each metric in metric_units."""
    def set_module_data(
        self,
        node_name: str,
        metrics: dict[str, _Single | dict[str, _Single]],
        instance: _Number,
        tags: Sequence[str],
    ) -> None:
        """Populate a leaf node with hardware interface results, instance count, and tags.

        A metric is {"value": float, "unit": str}, or one such entry per
        operation name for a multi-operation module."""
    def set_edge_count(self, source: str, target: str, count: _Number) -> None:
        """How many times `target` happens per occurrence of `source` (default 1.0)."""
    def set_edge_aggregation(self, source: str, target: str, agg: str) -> None:
        """The edge's aggregation text: "parallel" (default) or another, such as "sequential"."""
    def set_edge_operation(self, source: str, target: str, operation: dict[str, str]) -> None:
        """Per metric, the operation the edge uses on a multi-operation module."""
    def set_edge_factor(self, source: str, target: str, factor: dict[str, _Number]) -> None:
        """Per metric, a factor applied to what flows along the edge (default 1.0)."""
    def get_edge_count(self, source: str, target: str) -> float:
        """The edge's count."""
    def get_edge_aggregation(self, source: str, target: str) -> str:
        """The edge's aggregation text."""
    def set_node_specified_metric(
        self, node_name: str, metric_name: str, value: _Number, unit: str
    ) -> None:
        """Set a per-node specified-mode metric value (from performance model output)."""
    def get_node_specified_metric(self, node_name: str, metric_name: str) -> float | None:
        """The node's specified value of the metric, or None if it has none."""
    def query_module_metric(
        self, metric: str, module: str | None = None, operation: str | None = None
    ) -> ValueUnit:
        """Returns {"value": float, "unit": str}.

        `operation` selects the value of a multi-operation metric."""
    def aggregate_event_metric(
        self,
        metric: str,
        metric_aggregation: str,
        metric_unit: str,
        workload: str | None = None,
        event: str | None = None,
    ) -> ValueUnit:
        """Aggregate `metric` for `event` in the mode `metric_aggregation`
        ("module", "summation" or "specified"), scaled to `workload` if given.

        Writes the computed values into the events and returns
        {"value": float, "unit": metric_unit}."""
    def aggregate_event_count(self, workload: str | None = None, event: str | None = None) -> float:
        """How many times `event` happens per occurrence of `workload`: edge
        counts multiplied along each path, summed over the paths."""
    def save_json(self, path: str) -> None:
        """Write the whole graph to a JSON file."""
    @staticmethod
    def load_json(path: str) -> NuvelGraph:
        """A new graph read from a JSON file written by save_json."""
    def aggregate_event_metrics(
        self,
        metric: str,
        metric_aggregation: str,
        metric_unit: str,
        workload: str | None = None,
        events: Sequence[str] | None = None,
    ) -> dict[str, float]:
        """aggregate_event_metric for many events at once: a dict from event name to its
        value, each the float the single call returns. `events` is a list of names; None
        means every node with outgoing edges (those below `workload` when given), in
        node order. One pass over the events' sub-graphs; raises what the single call of
        the first failing event raises. Logs nothing and leaves metric values as they are."""
    def aggregate_event_counts(
        self, workload: str, events: Sequence[str] | None = None
    ) -> dict[str, float]:
        """aggregate_event_count for many events at once: a dict from event name to its
        count. `events` is a list of names; None means every node with outgoing edges
        below `workload`, in node order. Raises what the single call of the first
        failing event raises. Logs nothing."""
    def aggregate_event_breakdown(
        self,
        metric: str,
        metric_aggregation: str,
        metric_unit: str,
        workload: str | None = None,
        event: str | None = None,
    ) -> Breakdown:
        """Where aggregate_event_metric's value for `event` comes from.

        "value" is the single call's value and "unit" is metric_unit.
        "modules" (modes summation and module) maps each module below the
        event to its contribution, scaled to the workload as the single call
        scales; they add up to "value" within rounding. Summation: the
        module's value (of the operation its edge names) times the
        factor-weighted count of paths to it; module: value times instance,
        each module once. Modules that share a name add up.
        "events" (modes summation and specified) lists every event below
        `event`, itself first, top down, with its unscaled "value" and
        "rule" ("sum"; "combined": sequential children add up, the largest
        parallel one counts; "specified": its own figure over modules only)
        and its "children" in edge order: the child's name, the edge's
        aggregation text, what it adds to the event's value, and whether
        that is "chosen" (counted). Entries stand for nodes, so a name a newer
        node took over may appear twice. Raises what the single call raises.
        Logs nothing and leaves metric values as they are."""
    def describe_model(self) -> ModelFacts:
        """The model's make-up: counts of nodes and edges; of workloads
        (out-edges, no in-edges), events (both) and modules (no out-edges);
        every metric a node holds, with the units, count and multi-operation
        modules (and their operation names) among the modules that hold it;
        and each name given to several nodes, with how many."""
    def check_model(self) -> list[Problem]:
        """Every problem that makes an aggregation fail or mislead, grouped by
        kind: errors "cycle", "missing_operation", "unknown_operation",
        "missing_metric", "multi_operation_event", "missing_specified",
        "unused_specified", "invalid_count"; warnings "shadowed_name",
        "unreached", "unknown_aggregation". Each names the nodes involved and
        its metric, if any."""
