from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypedDict, final

_Number = SupportsFloat | SupportsIndex

class ValueUnit(TypedDict):
    value: float
    unit: str

class _Single(TypedDict):
    value: _Number
    unit: str

__all__: list[str]

@final
class NuvelGraph:
    def __new__(cls) -> NuvelGraph: ...
    def add_node(self, name: str, performance: str | None = None) -> None: ...
    def add_edge(self, source: str, target: str) -> bool:
        """Add a directed edge. Returns True if an edge for this (source, target)
        already existed and was merged (no parallel edge created), else False."""
    def has_node(self, name: str) -> bool: ...
    def get_all_node_names(self) -> list[str]: ...
    def get_leaf_names(self) -> list[str]: ...
    def get_tag_modules(self, tag: str) -> list[str]:
        """Leaf module names carrying `tag`, in leaf insertion order."""
    def is_leaf(self, name: str) -> bool: ...
    def get_performance_path(self, name: str) -> str | None: ...
    def get_out_neighbors(self, name: str) -> list[str]: ...
    def init_metrics(self, metric_units: dict[str, str]) -> None:
        """Set all node metrics to Single{0.0, unit} for each metric in metric_units."""
    def set_module_data(
        self,
        node_name: str,
        metrics: dict[str, _Single | dict[str, _Single]],
        instance: _Number,
        tags: Sequence[str],
    ) -> None:
        """Populate a leaf node with hardware interface results, instance count, and tags."""
    def set_edge_count(self, source: str, target: str, count: _Number) -> None: ...
    def set_edge_aggregation(self, source: str, target: str, agg: str) -> None: ...
    def set_edge_operation(self, source: str, target: str, operation: dict[str, str]) -> None: ...
    def set_edge_factor(self, source: str, target: str, factor: dict[str, _Number]) -> None: ...
    def get_edge_count(self, source: str, target: str) -> float: ...
    def get_edge_aggregation(self, source: str, target: str) -> str: ...
    def set_node_specified_metric(
        self, node_name: str, metric_name: str, value: _Number, unit: str
    ) -> None:
        """Set a per-node specified-mode metric value (from performance model output)."""
    def get_node_specified_metric(self, node_name: str, metric_name: str) -> float | None: ...
    def query_module_metric(
        self, metric: str, module: str | None = None, operation: str | None = None
    ) -> ValueUnit:
        """Returns {"value": float, "unit": str}."""
    def aggregate_event_metric(
        self,
        metric: str,
        metric_aggregation: str,
        metric_unit: str,
        workload: str | None = None,
        event: str | None = None,
    ) -> ValueUnit: ...
    def aggregate_event_count(self, workload: str | None = None, event: str | None = None) -> float: ...
    def save_json(self, path: str) -> None: ...
    @staticmethod
    def load_json(path: str) -> NuvelGraph: ...
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
