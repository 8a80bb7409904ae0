"""The extension module and the NuvelGraph class object."""

import ast
import gc
import inspect
import subprocess
import sys
import textwrap
import weakref
from pathlib import Path

import pytest

import nuvel
import nuvel._core
from nuvel import NuvelGraph

STUB = Path(nuvel.__file__).with_name("_core.pyi")


def stub_methods():
    """{name: (text signature, docstring)} of the public methods the stub declares, in order."""
    stub = ast.parse(STUB.read_text(encoding="utf-8"))
    graph = next(node for node in stub.body if isinstance(node, ast.ClassDef) and node.name == "NuvelGraph")
    methods = {}
    for method in graph.body:
        if isinstance(method, ast.FunctionDef) and not method.name.startswith("_"):
            params = method.args.args
            defaults = [None] * (len(params) - len(method.args.defaults)) + method.args.defaults
            names = ["$self" if p.arg == "self" else p.arg if d is None else f"{p.arg}={ast.unparse(d)}"
                     for p, d in zip(params, defaults)]
            methods[method.name] = (f"({', '.join(names)})", ast.get_docstring(method))
    return methods


# The methods whose docstring is the stub's; the others have their own, or none.
STUB_DOCS = {"add_edge", "init_metrics", "set_node_specified_metric", "aggregate_event_metrics",
             "aggregate_event_counts"}
DOCS = {
    "get_tag_modules": "Leaf module names carrying `tag`, in leaf insertion order. Lets the Python\n"
                       "tag-aggregation wrapper drive the per-module loop itself (matching main).",
    "set_module_data": "Populate a leaf node with hardware interface results, instance count, and tags.\n"
                       "`metrics` is a Python dict:\n"
                       '  single-op:  { metric_name: {"value": float, "unit": str}, ... }\n'
                       '  multi-op:   { metric_name: { op_name: {"value": float, "unit": str}, ... }, ... }',
    "query_module_metric": 'Returns {"value": float, "unit": str}.',
    "aggregate_event_breakdown": "Where aggregate_event_metric's value for `event` comes from: {\"value\": the\n"
                                 "single call's value, \"unit\": metric_unit, \"modules\": {module: contribution},\n"
                                 '"events": [{"event", "value", "rule", "children": [{"node", "aggregation",\n'
                                 '"contribution", "chosen"}]}]}. Raises what the single call raises. Logs\n'
                                 "nothing and leaves metric values as they are.",
    "describe_model": "Counts of nodes, edges, workloads, events and modules; the metrics with their\n"
                      "units and multi-operation modules; names given to several nodes.",
    "check_model": 'Every problem that makes an aggregation fail or mislead, as dicts with "kind",\n'
                   '"severity", "nodes", "metric" and "message".',
}


def test_reimport_and_subinterpreter_import():
    """Imported again: the same module; in a subinterpreter: an ImportError, and the first copy still works."""
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


def test_type_object_and_methods_with_the_stubs_signatures_and_docs():
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

    stub = stub_methods()
    public = [n for n in vars(NuvelGraph) if not n.startswith("_")]
    assert public == list(stub)
    for name in public:
        assert inspect.ismethoddescriptor(vars(NuvelGraph)[name]), name
        method = getattr(NuvelGraph, name)
        signature, doc = stub[name]
        expected = doc if name in STUB_DOCS else DOCS.get(name)
        assert (method.__text_signature__, method.__doc__) == (signature, expected), name
