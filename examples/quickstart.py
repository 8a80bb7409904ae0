"""A small architecture model built through nuvel's API.

One workload runs two events; the events share a cache module and each
uses a compute module. The script builds the graph, annotates the edges,
fills the modules with metric data, and prints what the model can answer.
Errors and warnings of the queries are narrated through Python logging.
"""

import logging
import os
import tempfile

from nuvel import NuvelGraph


def build_model() -> NuvelGraph:
    graph = NuvelGraph()
    graph.add_node("inference")  # the workload
    graph.add_node("attention", performance="out/attention.json")
    graph.add_node("mlp", performance="out/mlp.json")
    for module in ("l2_cache", "tensor_core", "vector_unit"):
        graph.add_node(module)

    for source, target in [
        ("inference", "attention"),
        ("inference", "mlp"),
        ("attention", "l2_cache"),
        ("attention", "tensor_core"),
        ("mlp", "l2_cache"),
        ("mlp", "vector_unit"),
    ]:
        graph.add_edge(source, target)

    # Adding a pair again merges into the existing edge.
    assert graph.add_edge("mlp", "l2_cache") is True

    graph.set_edge_count("inference", "attention", 12)  # 12 layers
    graph.set_edge_count("inference", "mlp", 12)
    graph.set_edge_count("attention", "tensor_core", 4.5)
    graph.set_edge_aggregation("mlp", "vector_unit", "sequential")

    # Every node gets a zero slot per metric; modules are then filled with the
    # results of their hardware models: one value per metric, or one value
    # per operation for a multi-operation module.
    graph.init_metrics({"latency": "ns", "energy": "pJ"})
    graph.set_module_data(
        "l2_cache",
        {
            "latency": {"read": {"value": 12.0, "unit": "ns"},
                        "write": {"value": 15.5, "unit": "ns"}},
            "energy": {"value": 3.2, "unit": "pJ"},
        },
        instance=4,
        tags=["memory"],
    )
    graph.set_module_data("tensor_core", {"latency": {"value": 2.5, "unit": "ns"},
                                          "energy": {"value": 1.1, "unit": "pJ"}}, 8, ["compute"])
    graph.set_module_data("vector_unit", {"latency": {"value": 1.0, "unit": "ns"},
                                          "energy": {"value": 0.4, "unit": "pJ"}}, 16, ["compute"])

    # Edges choose the operation of a multi-operation module and weigh metrics.
    graph.set_edge_operation("attention", "l2_cache", {"latency": "read"})
    graph.set_edge_operation("mlp", "l2_cache", {"latency": "write"})
    graph.set_edge_factor("mlp", "vector_unit", {"energy": 0.5})
    # The performance model's own figures for events that use modules only.
    graph.set_node_specified_metric("attention", "energy", 40.0, "pJ")
    graph.set_node_specified_metric("mlp", "energy", 25.0, "pJ")
    graph.set_edge_aggregation("inference", "mlp", "sequential")
    return graph


def main() -> None:
    logging.basicConfig(format="%(levelname)s %(name)s: %(message)s")
    graph = build_model()
    print("nodes:", graph.get_all_node_names())
    print("modules (leaves):", graph.get_leaf_names())
    print("inference runs:", graph.get_out_neighbors("inference"), "(newest edge first)")
    print("attention is a leaf?", graph.is_leaf("attention"))
    print("attention model output:", graph.get_performance_path("attention"))
    print("l2_cache model output: ", graph.get_performance_path("l2_cache"))
    for source, target in [("inference", "attention"), ("attention", "tensor_core"),
                           ("mlp", "vector_unit")]:
        print(f"edge {source} -> {target}: count {graph.get_edge_count(source, target)},"
              f" aggregation {graph.get_edge_aggregation(source, target)!r}")
    try:
        graph.get_edge_count("l2_cache", "mlp")
    except ValueError as error:
        print("asking for a missing edge:", error)

    print("compute modules:", graph.get_tag_modules("compute"))
    print("l2_cache read latency:", graph.query_module_metric("latency", "l2_cache", "read"))
    print("tensor_core latency:", graph.query_module_metric("latency", "tensor_core"))
    print("attention's specified energy:", graph.get_node_specified_metric("attention", "energy"))
    try:
        graph.query_module_metric("latency", "l2_cache")
    except ValueError as error:
        print("a multi-operation metric needs its operation:", error)

    # How often each event happens per inference, and one metric per event
    # in each aggregation mode.
    print("attention per inference:", graph.aggregate_event_count("inference", "attention"))
    print("module energy of mlp (value x instance, each module once):",
          graph.aggregate_event_metric("energy", "module", "pJ", event="mlp"))
    print("summed latency of attention:",
          graph.aggregate_event_metric("latency", "summation", "ns", event="attention"))
    print("summed latency of mlp per inference:",
          graph.aggregate_event_metric("latency", "summation", "ns", "inference", "mlp"))
    print("l2_cache latency over its operations, per inference:",
          graph.aggregate_event_metric("latency", "summation", "ns", "inference", "l2_cache"))
    print("specified energy of inference (parallel maximum plus sequential sum):",
          graph.aggregate_event_metric("energy", "specified", "pJ", event="inference"))

    # The whole model round-trips through a JSON file.
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "model.json")
        graph.save_json(path)
        loaded = NuvelGraph.load_json(path)
        print(f"saved {os.path.getsize(path)} bytes; loaded {len(loaded.get_all_node_names())} nodes,"
              f" leaves {loaded.get_leaf_names()}")


if __name__ == "__main__":
    main()
