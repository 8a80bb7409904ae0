"""A small architecture model built through nuvel's API.

One workload runs two events; the events share a cache module and each
uses a compute module. The script builds the graph, annotates the edges,
and prints what the model can answer about its structure.
"""

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
    return graph


def main() -> None:
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


if __name__ == "__main__":
    main()
