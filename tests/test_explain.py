"""The methods that explain a model: describe_model, check_model and
aggregate_event_breakdown, on the random graphs of the differential tests."""

import json
import math
from collections import Counter

import test_aggregate_differential as d
from pure_compare import NuvelGraph, bits, outcome, saved

MODES = ("module", "summation", "specified")


def adds_up(terms, total):
    """sum(terms) == total within rounding, where every figure is finite."""
    if not all(map(math.isfinite, [*terms, total])):
        return True
    return math.isclose(math.fsum(terms), total, rel_tol=1e-9, abs_tol=1e-9 * math.fsum(map(abs, terms)))


def every_third(first):
    return range(first, first + d.SEEDS, 3)


def test_describe_matches_the_store(seed, tmp_path):
    """Against the pure model's structure and the saved file's nodes, in store
    order (the file sorts the names of metrics and operations)."""
    for seed in every_third(seed):
        _, _, pair = d.random_pair(seed)
        facts, pure = pair.graph.describe_model(), pair.model
        document = json.loads(saved(pair.graph, tmp_path / "g.json"))
        metrics = {}
        for node, entry in zip(pure._nodes, document["nodes"], strict=True):
            for metric, value in entry["metrics"].items():
                about = metrics.setdefault(metric, {"units": set(), "modules": 0, "multi_operation": [],
                                                    "operations": set()})
                if node.out_edges:
                    continue
                about["modules"] += 1
                singles = [value] if "value" in value else list(value.values())
                if "value" not in value:
                    about["multi_operation"].append(node.name)
                    about["operations"] |= set(value)
                about["units"] |= {single["unit"] for single in singles}
        for about in facts["metrics"].values():
            about["units"], about["operations"] = set(about["units"]), set(about["operations"])
        targets = {edge.target for edge in pure._edges}
        names = Counter(node.name for node in pure._nodes)
        duplicates, seen = {}, set()
        for node in pure._nodes:  # a name counts from the node that takes it over
            if node.name in seen:
                duplicates.setdefault(node.name, names[node.name])
            seen.add(node.name)
        events = sum(bool(node.out_edges) and i in targets for i, node in enumerate(pure._nodes))
        assert facts == {
            "nodes": len(pure._nodes), "edges": len(pure._edges),
            "workloads": sum(bool(node.out_edges) for node in pure._nodes) - events, "events": events,
            "modules": sum(not node.out_edges for node in pure._nodes),
            "metrics": metrics, "duplicate_names": duplicates,
        }
        assert list(facts["duplicate_names"]) == list(duplicates)


def test_check_names_each_kind():
    """One model with a problem of every kind; each is found with its names.
    A sound model has none."""
    sound = NuvelGraph()
    for name in ("w", "e", "m"):
        sound.add_node(name)
    sound.add_edge("w", "e")
    sound.add_edge("e", "m")
    sound.init_metrics({"lat": "ns"})
    assert sound.check_model() == []
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


def test_breakdown_explains_the_single_call(seed, capture, tmp_path):
    """The breakdown fails as the single call does; otherwise its value is the
    single call's, its modules add up to it, each event's chosen children
    add up to that event's value, which is the event's own single call."""
    for seed in every_third(seed):
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
