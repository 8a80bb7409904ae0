"""A small model for the command line and report tests.

    infer, train -> attn, mlp -> gemm -> alu, l2;  attn -> l2;  mlp -> dram

l2 reports energy per operation (read, write); gemm carries a specified
latency, so every mode works for latency.
"""

from nuvel import NuvelGraph

EDGES = [("infer", "attn", 4), ("infer", "mlp", 2), ("train", "attn", 8), ("train", "mlp", 6),
         ("attn", "gemm", 3), ("mlp", "gemm", 5), ("attn", "l2", 10), ("mlp", "dram", 7),
         ("gemm", "alu", 100), ("gemm", "l2", 20)]
MODULES = {"l2": ({"latency": 2.0, "energy": {"read": 5.0, "write": 7.0}}, 4),
           "dram": ({"latency": 50.0, "energy": 100.0}, 1), "alu": ({"latency": 0.5, "energy": 0.1}, 64)}
UNITS = {"latency": "ns", "energy": "pJ"}


def metric(name, value):
    if isinstance(value, dict):
        return {op: metric(name, v) for op, v in value.items()}
    return {"value": value, "unit": UNITS[name]}


def build(extra_event: str | None = None) -> NuvelGraph:
    """The model; `extra_event` adds an event of that name between mlp and dram."""
    graph = NuvelGraph()
    for name in ["infer", "train", "attn", "mlp", "gemm", "l2", "dram", "alu"]:
        graph.add_node(name)
    for source, target, count in EDGES:
        graph.add_edge(source, target)
        graph.set_edge_count(source, target, count)
    if extra_event is not None:
        graph.add_node(extra_event)
        graph.add_edge("mlp", extra_event)
        graph.add_edge(extra_event, "dram")
    graph.init_metrics(UNITS)
    for module, (values, instance) in MODULES.items():
        graph.set_module_data(module, {name: metric(name, v) for name, v in values.items()}, instance, [])
    for source in ("attn", "gemm"):
        graph.set_edge_operation(source, "l2", {"energy": "read"})
    graph.set_edge_factor("gemm", "alu", {"energy": 0.5})
    graph.set_node_specified_metric("gemm", "latency", 30.0, "ns")
    return graph


def save(path, graph: NuvelGraph | None = None) -> str:
    (graph or build()).save_json(str(path))
    return str(path)
