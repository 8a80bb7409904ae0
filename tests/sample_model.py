"""A small saved model for the command line and report tests.

    infer, train -> attn, mlp -> gemm -> alu, l2;  attn -> l2;  mlp -> dram

l2 reports energy per operation (read, write); gemm carries a specified
latency, so every mode works for latency.
"""

from nuvel import NuvelGraph

EDGES = [("infer", "attn", 4), ("infer", "mlp", 2), ("train", "attn", 8), ("train", "mlp", 6),
         ("attn", "gemm", 3), ("mlp", "gemm", 5), ("attn", "l2", 10), ("mlp", "dram", 7),
         ("gemm", "alu", 100), ("gemm", "l2", 20)]
#: Nodes with out-edges in node order, and those that "infer" reaches.
EVENTS = ["infer", "train", "attn", "mlp", "gemm"]
INFER_EVENTS = ["infer", "attn", "mlp", "gemm"]


def single(value, unit):
    return {"value": value, "unit": unit}


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
    graph.init_metrics({"latency": "ns", "energy": "pJ"})
    graph.set_module_data("l2", {"latency": single(2.0, "ns"),
                                 "energy": {"read": single(5.0, "pJ"), "write": single(7.0, "pJ")}},
                          4, ["memory"])
    graph.set_module_data("dram", {"latency": single(50.0, "ns"), "energy": single(100.0, "pJ")},
                          1, ["memory"])
    graph.set_module_data("alu", {"latency": single(0.5, "ns"), "energy": single(0.1, "pJ")},
                          64, ["compute"])
    for source in ("attn", "gemm"):
        graph.set_edge_operation(source, "l2", {"energy": "read"})
    graph.set_edge_factor("gemm", "alu", {"energy": 0.5})
    graph.set_node_specified_metric("gemm", "latency", 30.0, "ns")
    return graph


def save(path, graph: NuvelGraph | None = None) -> str:
    (graph or build()).save_json(str(path))
    return str(path)
