"""The methods that explain a model: describe_model and check_model on a
model with a problem of every kind, aggregate_event_breakdown on the random
graphs of the engine comparison."""

import math
from pathlib import Path

import test_aggregate_differential as d
from pure_compare import NuvelGraph, bits, outcome, saved

MODES = ("module", "summation", "specified")


def adds_up(terms, total):
    if not all(map(math.isfinite, [*terms, total])):
        return True
    return math.isclose(math.fsum(terms), total, rel_tol=1e-9, abs_tol=1e-9 * math.fsum(map(abs, terms)))


def test_describe_and_check_a_model_with_every_problem():
    """describe_model counts each part; check_model names each problem, and
    none in a sound model."""
    g = NuvelGraph()
    for name in ("w", "e", "f", "m", "x", "c1", "c2", "lone", "m"):
        g.add_node(name)
    for source, target in (("w", "e"), ("w", "f"), ("e", "m"), ("f", "e"), ("e", "x"),
                           ("c1", "c2"), ("c2", "c1")):
        g.add_edge(source, target)
    g.init_metrics({"lat": "ns"})
    g.add_node("late")
    g.add_edge("e", "late")
    g.set_module_data("m", {"en": {"rd": {"value": 1.0, "unit": "pJ"}}}, -1, [])
    g.set_edge_operation("f", "e", {"en": "rd"})
    g.set_module_data("x", {"en": {"rd": {"value": 1.0, "unit": "pJ"}}, "lat": {"value": 1.0, "unit": "ns"}}, 1, [])
    g.set_edge_operation("e", "x", {"en": "WR"})
    g.set_module_data("f", {"en": {}}, 1, [])
    g.set_node_specified_metric("f", "lat", 2.0, "ns")
    g.set_edge_count("w", "f", math.nan)
    g.set_edge_aggregation("w", "e", "Parallel")
    facts = g.describe_model()
    assert facts == {
        "nodes": 10, "edges": 8, "workloads": 1, "events": 4, "modules": 5,
        "metrics": {"lat": {"units": ["ns"], "modules": 4, "multi_operation": [], "operations": []},
                    "en": {"units": ["pJ"], "modules": 2, "multi_operation": ["x", "m"], "operations": ["rd"]}},
        "duplicate_names": {"m": 2},
    }
    assert list(facts["metrics"]) == ["lat", "en"]
    found = [(p["kind"], p["severity"], p["nodes"], p["metric"]) for p in g.check_model()]
    assert found == [
        ("cycle", "error", ["c1", "c2"], None),
        ("missing_operation", "error", ["e", "m"], "en"),
        ("unknown_operation", "error", ["e", "x"], "en"),
        ("missing_metric", "error", ["late"], "lat"),
        ("missing_metric", "error", ["w", "e", "m", "c1", "c2", "lone", "late"], "en"),
        ("multi_operation_event", "error", ["f"], "en"),
        ("missing_specified", "error", ["e"], "lat"),
        ("unused_specified", "error", ["f"], "lat"),
        ("invalid_count", "error", ["w", "f"], None),
        ("invalid_count", "error", ["m"], None),
        ("shadowed_name", "warning", ["m"], None),
        ("unreached", "warning", ["m", "c1", "c2", "lone"], None),
        ("unknown_aggregation", "warning", ["w", "e"], None),
    ]
    assert NuvelGraph.load_json(str(Path(__file__).parent / "data" / "sample_model.json")).check_model() == []


def test_breakdown_explains_the_single_call(seed, capture, tmp_path):
    """The breakdown fails as the single call does; otherwise its value is the
    single call's, its modules add up to it, each event's chosen children
    add up to that event's value, which is the event's own single call."""
    for seed in range(seed, seed + d.SEEDS, 3):
        rng, roles, pair = d.random_pair(seed, capture)
        graph = pair.graph
        shadowed = set(graph.describe_model()["duplicate_names"])
        for _ in range(12):
            metric, mode = rng.choice(d.METRICS), rng.choice(MODES)
            event = d.pick(rng, roles)
            workload = rng.choice((None, None, event, rng.choice(roles["top"]), d.pick(rng, roles)))
            args = (metric, mode, "u", workload, event)
            before = saved(graph, tmp_path / "before.json")
            key, records, parts = outcome(graph, "aggregate_event_breakdown", args, capture=capture)
            assert records == [] and saved(graph, tmp_path / "after.json") == before
            single, _, value = outcome(graph, "aggregate_event_metric", args)
            if single[0] != "ok":
                assert key == single
                continue
            assert bits([parts["value"], parts["unit"]]) == bits([value["value"], value["unit"]])
            if mode == "specified":
                assert parts["modules"] == {}
            else:
                assert adds_up(list(parts["modules"].values()), parts["value"]), (seed, args, parts)
            assert (parts["events"] == []) == (mode == "module" or graph.is_leaf(event))
            passed_on = True  # every event below holds its value, under a name of its own
            for entry in parts["events"]:
                chosen = [c["contribution"] for c in entry["children"] if c["chosen"]]
                assert adds_up(chosen, entry["value"]) or entry["rule"] == "specified", (seed, args, entry)
                assert (entry["rule"] == "specified") == (mode == "specified" and entry["children"] == [])
                own = ("shadowed",)
                if entry["event"] not in shadowed:
                    own, _, value = outcome(graph, "aggregate_event_metric", (metric, mode, "u", None, entry["event"]))
                    assert own[0] != "ok" or bits(value["value"]) == bits(entry["value"]), (seed, args, entry)
                passed_on = passed_on and own[0] == "ok"
            assert [entry["event"] for entry in parts["events"][:1]] in ([], [event])
            if mode == "summation" and workload in (None, event) and passed_on:
                # A module's share: its value scaled from the event as a workload.
                for module, share in parts["modules"].items():
                    try:
                        scaled = graph.aggregate_event_metric(metric, mode, "u", event, module)["value"]
                    except ValueError:  # the module lacks the metric
                        scaled = 0.0
                    assert module in shadowed or adds_up([share], scaled), (seed, args, module)
