"""The extension module and the NuvelGraph class object."""

import gc
import inspect
import subprocess
import sys
import textwrap
import weakref

import pytest

import nuvel
import nuvel._core
from nuvel import NuvelGraph

SIGNATURES = {
    "add_node": "($self, name, performance=None)",
    "add_edge": "($self, source, target)",
    "has_node": "($self, name)",
    "get_all_node_names": "($self)",
    "get_leaf_names": "($self)",
    "get_tag_modules": "($self, tag)",
    "is_leaf": "($self, name)",
    "get_performance_path": "($self, name)",
    "get_out_neighbors": "($self, name)",
    "init_metrics": "($self, metric_units)",
    "set_module_data": "($self, node_name, metrics, instance, tags)",
    "set_edge_count": "($self, source, target, count)",
    "set_edge_aggregation": "($self, source, target, agg)",
    "set_edge_operation": "($self, source, target, operation)",
    "set_edge_factor": "($self, source, target, factor)",
    "get_edge_count": "($self, source, target)",
    "get_edge_aggregation": "($self, source, target)",
    "set_node_specified_metric": "($self, node_name, metric_name, value, unit)",
    "get_node_specified_metric": "($self, node_name, metric_name)",
    "query_module_metric": "($self, metric, module=None, operation=None)",
    "aggregate_event_metric": "($self, metric, metric_aggregation, metric_unit, workload=None, event=None)",
    "aggregate_event_count": "($self, workload=None, event=None)",
    "save_json": "($self, path)",
    "load_json": "(path)",
    "aggregate_event_metrics": "($self, metric, metric_aggregation, metric_unit, workload=None, events=None)",
    "aggregate_event_counts": "($self, workload, events=None)",
    "aggregate_event_breakdown": "($self, metric, metric_aggregation, metric_unit, workload=None, event=None)",
    "describe_model": "($self)",
    "check_model": "($self)",
}

DOCS = {
    "add_edge": (
        "Add a directed edge. Returns True if an edge for this (source, target)\n"
        "already existed and was merged (no parallel edge created), else False."
    ),
    "get_tag_modules": (
        "Leaf module names carrying `tag`, in leaf insertion order. Lets the Python\n"
        "tag-aggregation wrapper drive the per-module loop itself (matching main)."
    ),
    "init_metrics": "Set all node metrics to Single{0.0, unit} for each metric in metric_units.",
    "set_module_data": (
        "Populate a leaf node with hardware interface results, instance count, and tags.\n"
        "`metrics` is a Python dict:\n"
        '  single-op:  { metric_name: {"value": float, "unit": str}, ... }\n'
        '  multi-op:   { metric_name: { op_name: {"value": float, "unit": str}, ... }, ... }'
    ),
    "set_node_specified_metric": "Set a per-node specified-mode metric value (from performance model output).",
    "query_module_metric": 'Returns {"value": float, "unit": str}.',
    "aggregate_event_metrics": (
        "aggregate_event_metric for many events at once: a dict from event name to its\n"
        "value, each the float the single call returns. `events` is a list of names; None\n"
        "means every node with outgoing edges (those below `workload` when given), in\n"
        "node order. One pass over the events' sub-graphs; raises what the single call of\n"
        "the first failing event raises. Logs nothing and leaves metric values as they are."
    ),
    "aggregate_event_counts": (
        "aggregate_event_count for many events at once: a dict from event name to its\n"
        "count. `events` is a list of names; None means every node with outgoing edges\n"
        "below `workload`, in node order. Raises what the single call of the first\n"
        "failing event raises. Logs nothing."
    ),
    "aggregate_event_breakdown": (
        "Where aggregate_event_metric's value for `event` comes from: {\"value\": the\n"
        "single call's value, \"unit\": metric_unit, \"modules\": {module: contribution},\n"
        '"events": [{"event", "value", "rule", "children": [{"node", "aggregation",\n'
        '"contribution", "chosen"}]}]}. Raises what the single call raises. Logs\n'
        "nothing and leaves metric values as they are."
    ),
    "describe_model": (
        "Counts of nodes, edges, workloads, events and modules; the metrics with their\n"
        "units and multi-operation modules; names given to several nodes."
    ),
    "check_model": (
        'Every problem that makes an aggregation fail or mislead, as dicts with "kind",\n'
        '"severity", "nodes", "metric" and "message".'
    ),
}


def test_reimport_and_subinterpreter_import():
    """Imported again after removal from sys.modules: the same module. In a
    subinterpreter: an ImportError, and the main interpreter's copy still works."""
    code = """
        import sys
        import nuvel._core as first
        del sys.modules["nuvel._core"]
        import nuvel._core as second
        assert second is first and second.NuvelGraph is first.NuvelGraph, "new module object"
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:  # 3.13 renamed it and returns the failure
            import _interpreters as interpreters
        interp = interpreters.create()
        try:
            failure = interpreters.run_string(interp, "import nuvel._core")
        except getattr(interpreters, "RunFailedError", ()) as exc:
            failure = exc
        print(getattr(failure, "formatted", failure))
        second.NuvelGraph().add_node("still usable here")
    """
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "ImportError" in done.stdout


def test_module_and_type_objects():
    assert nuvel._core.__all__ == ["NuvelGraph"] and nuvel.NuvelGraph is nuvel._core.NuvelGraph
    assert {n for n in vars(nuvel._core) if not n.startswith("_")} == {"NuvelGraph"}
    assert (NuvelGraph.__name__, NuvelGraph.__qualname__) == ("NuvelGraph", "NuvelGraph")
    assert (NuvelGraph.__module__, NuvelGraph.__bases__) == ("builtins", (object,))
    assert (NuvelGraph.__text_signature__, NuvelGraph.__doc__) == ("()", "")
    with pytest.raises(TypeError):
        type("Sub", (NuvelGraph,), {})
    g = NuvelGraph()
    assert not hasattr(g, "__dict__") and not gc.is_tracked(g)
    with pytest.raises(AttributeError):
        g.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(g)


def test_methods_in_order_with_signatures_and_docs():
    public = [n for n in vars(NuvelGraph) if not n.startswith("_")]
    assert public == list(SIGNATURES)
    for name in public:
        assert inspect.ismethoddescriptor(vars(NuvelGraph)[name]), name
        method = getattr(NuvelGraph, name)
        assert (method.__text_signature__, method.__doc__) == (SIGNATURES[name], DOCS.get(name)), name
