"""Benchmark NuvelGraph against the pure-Python PureGraph.

    python -m bench.run --scale 50 [--seed 1] [--only nuvel|pure]

Seven sections:

1. Time: both graphs are built from the same synthetic model (bench/model.py)
   through their public methods, then queried. Each row times one method over
   the whole batch of calls. The results of both sides are compared, so the
   two columns always measure the same work.
2. Aggregate: on the same graphs, aggregate_event_count and each mode of
   aggregate_event_metric, with and without a workload, over a sample of
   events. The pure side runs a prefix of the calls where it is slow; rows
   compare time per call, and the results of the common calls.
3. Ladder: a path-heavy graph (2**20 paths from the workload to the bottom
   event), timed with aggregate_event_count and a scaled summation.
4. Growth: the extension's time per aggregation call at a tenth of --scale
   and at --scale; a call that costs the event's sub-graph grows little.
5. Memory: each side builds the model in a fresh subprocess that reads its own
   resident set size before and after adding the nodes and the edges, so
   native allocations are counted as well as Python objects.
6. Fan-out: one node with 100,000 and with 400,000 out-edges (distinct
   targets, then the same pairs again to hit merges, then edge lookups); with
   linear cost the larger run takes about 4 times as long.
7. Persistence: the extension's save_json and load_json against json.dump
   (indent=2) and json.load of the same document, at --scale and on a file of
   about 50 MB (--persist-scale), and the peak memory of loading.
"""

from __future__ import annotations

import argparse
import filecmp
import gc
import hashlib
import importlib
import json
import logging
import math
import os
import subprocess
import sys
import tempfile
import time
from collections import deque

from bench import model as model_mod

SIDES = ("nuvel", "pure")
#: The repository root, from which the workers run as modules.
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def load_class(side: str, nuvel_impl: str):
    """The graph class of a side; ``nuvel_impl`` is "module:Class"."""
    if side == "pure":
        from tests.pure import PureGraph

        return PureGraph
    module_name, _, class_name = nuvel_impl.partition(":")
    return getattr(importlib.import_module(module_name), class_name or "NuvelGraph")


def consume(iterator) -> None:
    deque(iterator, maxlen=0)


# -- time ----------------------------------------------------------------------


def timed(fn, collector: bool):
    """Run ``fn`` once after a collection; return (seconds, result).

    Building steps run with the cyclic collector enabled, as a user has it:
    the collections that a pure-Python store's many long-lived objects
    trigger are part of what building it costs. Queries run with it paused,
    as in timeit: their results are short-lived, and the collections they
    would trigger depend on whatever else the process holds."""
    gc.collect()
    if not collector:
        gc.disable()
    try:
        t0 = time.perf_counter()
        result = fn()
        return time.perf_counter() - t0, result
    finally:
        gc.enable()


def digests(results: dict) -> dict:
    """Each result reduced to a digest of its repr, so that one side's
    results (millions of objects) are not alive while the other is timed."""
    return {op: hashlib.sha256(repr(value).encode()).hexdigest() for op, value in results.items()}


def time_side(cls, m: model_mod.Model, missing: list[str], repeat: int):
    """Build and query one graph; return ({op: (calls, seconds)}, {op: result})."""
    names = m.unique_names
    ps, pt = m.pair_sources, m.pair_targets
    has_queries = names + missing
    g = cls()
    times: dict[str, tuple[int, float]] = {}
    results: dict[str, object] = {}

    def run(op, calls, fn, reps=1):
        best, res = math.inf, None
        for _ in range(reps):
            secs, res = timed(fn, collector=op in BUILD_OPS)
            best = min(best, secs)
        times[op] = (calls, best)
        results[op] = res

    run("add_node", len(m.node_names), lambda: list(map(g.add_node, m.node_names, m.node_perfs)))
    run("add_edge", len(m.edge_sources), lambda: list(map(g.add_edge, m.edge_sources, m.edge_targets)))
    run("set_edge_count", len(ps), lambda: consume(map(g.set_edge_count, ps, pt, m.counts)))
    run("set_edge_aggregation", len(ps), lambda: consume(map(g.set_edge_aggregation, ps, pt, m.aggregations)))
    run("init_metrics", 1, lambda: g.init_metrics(m.metric_units))
    run(
        "set_module_data",
        len(m.module_names),
        lambda: consume(map(g.set_module_data, m.module_names, m.module_metrics, m.module_instances, m.module_tags)),
    )
    fs, ft = m.factor_sources, m.factor_targets
    run("set_edge_factor", len(fs), lambda: consume(map(g.set_edge_factor, fs, ft, m.factors)))
    os_, ot = m.operation_sources, m.operation_targets
    run("set_edge_operation", len(os_), lambda: consume(map(g.set_edge_operation, os_, ot, m.operations)))
    sn, sm = m.specified_nodes, m.specified_metrics
    run(
        "set_node_specified_metric",
        len(sn),
        lambda: consume(map(g.set_node_specified_metric, sn, sm, m.specified_values, m.specified_units)),
    )
    for op in BUILD_OPS + ("set_node_specified_metric",):
        if op != "add_edge":
            del results[op]

    run("has_node", len(has_queries), lambda: list(map(g.has_node, has_queries)), repeat)
    run("is_leaf", len(names), lambda: list(map(g.is_leaf, names)), repeat)
    run("get_out_neighbors", len(names), lambda: list(map(g.get_out_neighbors, names)), repeat)
    run("get_performance_path", len(names), lambda: list(map(g.get_performance_path, names)), repeat)
    run("get_edge_count", len(ps), lambda: list(map(g.get_edge_count, ps, pt)), repeat)
    run("get_edge_aggregation", len(ps), lambda: list(map(g.get_edge_aggregation, ps, pt)), repeat)
    listings = 5
    run("get_all_node_names", listings, lambda: [g.get_all_node_names() for _ in range(listings)], repeat)
    run("get_leaf_names", listings, lambda: [g.get_leaf_names() for _ in range(listings)], repeat)

    qm, qn, qo = m.query_metrics, m.query_modules, m.query_operations
    run("query_module_metric", len(qm), lambda: list(map(g.query_module_metric, qm, qn, qo)), repeat)
    # Every event's specified latency, then a metric that no node specifies.
    gn, gm = sn + sn, sm + ["energy"] * len(sn)
    run("get_node_specified_metric", len(gn), lambda: list(map(g.get_node_specified_metric, gn, gm)), repeat)
    tags = model_mod.TAGS
    run("get_tag_modules", len(tags), lambda: list(map(g.get_tag_modules, tags)), repeat)
    return times, results, g


def check_model_results(results: dict, m: model_mod.Model) -> None:
    """Sanity checks of one side's results against the model itself."""
    assert results["get_all_node_names"][0] == m.node_names
    assert results["get_edge_count"] == m.counts
    assert results["get_edge_aggregation"] == m.aggregations
    assert sum(results["add_edge"]) == len(m.edge_sources) - len(m.pair_sources)
    assert results["query_module_metric"] == m.query_expected
    assert results["get_node_specified_metric"] == m.specified_values + [None] * len(m.specified_nodes)
    for tag, modules in zip(model_mod.TAGS, results["get_tag_modules"]):
        expected = {name for name, tags in zip(m.module_names, m.module_tags) if tag in tags}
        assert len(modules) == len(expected) and set(modules) == expected, tag


# -- aggregation ----------------------------------------------------------------

#: Calls per row on the pure side where it cannot run the whole sample: it
#: sorts the whole graph for every summation and specified call.
PURE_CALLS = {"aggregate_event_count": 40, "module": 40, "module, workload": 40}
PURE_SORTING_CALLS = 3


def aggregation_rows(m: model_mod.Model) -> list[tuple[str, str, list]]:
    """(row, method, argument columns) of the aggregation section."""
    events, ws, ts = m.agg_events, m.agg_workloads, m.agg_targets

    def metric_call(mode: str, workloads, targets):
        k = len(targets)
        return ("aggregate_event_metric", [["latency"] * k, [mode] * k, ["ns"] * k, workloads, targets])

    rows = [("aggregate_event_count", "aggregate_event_count", [ws, ts])]
    for mode in ("module", "summation", "specified"):
        rows.append((mode, *metric_call(mode, [None] * len(events), events)))
        rows.append((f"{mode}, workload", *metric_call(mode, ws, ts)))
    return rows


def best_of(fn, repeat: int):
    """(best seconds, last result) of ``repeat`` runs, after one collection
    and with the collector paused: with a large model alive, a collection
    per run would cost more than the calls themselves."""
    best, result = math.inf, None
    gc.collect()
    gc.disable()
    try:
        for _ in range(repeat):
            t0 = time.perf_counter()
            result = fn()
            best = min(best, time.perf_counter() - t0)
    finally:
        gc.enable()
    return best, result


def time_calls(g, method: str, columns: list, calls: int, repeat: int):
    """Best time of ``calls`` calls (the first of each column); (seconds, results)."""
    fn = getattr(g, method)
    cols = [col[:calls] for col in columns]
    return best_of(lambda: list(map(fn, *cols)), repeat)


def time_aggregation(g, m: model_mod.Model, side: str, repeat: int):
    """{row: (calls, seconds)} and {row: results} of one side."""
    times, results = {}, {}
    for row, method, columns in aggregation_rows(m):
        calls = len(columns[0])
        if side == "pure":
            calls = min(calls, PURE_CALLS.get(row, PURE_SORTING_CALLS))
        # The extension is timed best of ``repeat``, so that a structure it
        # computes once per graph is not charged to the batch; the pure side
        # keeps nothing between calls and runs once.
        secs, results[row] = time_calls(g, method, columns, calls, repeat if side == "nuvel" else 1)
        times[row] = (calls, secs)
    return times, results


def check_common_results(results: dict, label: str) -> None:
    """The calls that both sides ran gave the same results."""
    for row, nuvel in results["nuvel"].items():
        pure = results["pure"][row]
        k = min(len(nuvel), len(pure))
        assert repr(nuvel[:k]) == repr(pure[:k]), f"{label} {row}: results differ"


def print_per_call_table(sides, times, label: str = "operation") -> None:
    head = f"{label:<26}"
    for side in sides:
        head += f"{side + ' calls':>12}{side + ' us/call':>16}"
    if len(sides) == 2:
        head += f"{'pure/nuvel':>12}"
    print(head)
    print("-" * len(head))
    for row in times[sides[0]]:
        line = f"{row:<26}"
        per_call = {}
        for side in sides:
            calls, secs = times[side][row]
            per_call[side] = secs / calls
            line += f"{calls:>12}{per_call[side] * 1e6:>16.1f}"
        if len(sides) == 2:
            line += f"{ratio(per_call['pure'], per_call['nuvel']):>12}"
        print(line)


def build_ladder(cls, lad: model_mod.Ladder):
    g = cls()
    consume(map(g.add_node, lad.names))
    consume(map(g.add_edge, lad.sources, lad.targets))
    consume(map(g.set_edge_count, lad.sources, lad.targets, lad.counts))
    consume(map(g.set_edge_factor, lad.factor_sources, lad.factor_targets, lad.factors))
    g.init_metrics(lad.metric_units)
    g.set_module_data(lad.module, lad.module_metrics, 1, [])
    return g


def run_ladder(sides, classes, args) -> None:
    lad = model_mod.ladder(args.ladder_depth)
    n = len(lad.names)
    print(f"ladder: depth {lad.depth}, {n} nodes, {len(lad.sources)} edges, {lad.paths} paths top -> bottom")
    rows = [
        ("ladder count", "aggregate_event_count", [[lad.top], [lad.bottom]]),
        ("ladder summation", "aggregate_event_metric",
         [["latency"], ["summation"], ["ns"], [lad.top], [lad.bottom]]),
    ]
    times, results = {}, {}
    for side in sides:
        g = build_ladder(classes[side], lad)
        times[side], results[side] = {}, {}
        for row, method, columns in rows:
            calls = 3 if side == "nuvel" else 1
            reps = args.repeat if side == "nuvel" else 1
            secs, results[side][row] = time_calls(g, method, [col * calls for col in columns], calls, reps)
            times[side][row] = (calls, secs)
        del g
    if len(sides) == 2:
        check_common_results(results, "ladder")
        print("ladder results: identical on both sides")
    print_per_call_table(sides, times)


def build_graph(cls, m: model_mod.Model):
    """The annotated graph of a model, untimed."""
    g = cls()
    consume(map(g.add_node, m.node_names, m.node_perfs))
    consume(map(g.add_edge, m.edge_sources, m.edge_targets))
    consume(map(g.set_edge_count, m.pair_sources, m.pair_targets, m.counts))
    consume(map(g.set_edge_aggregation, m.pair_sources, m.pair_targets, m.aggregations))
    g.init_metrics(m.metric_units)
    consume(map(g.set_module_data, m.module_names, m.module_metrics, m.module_instances, m.module_tags))
    consume(map(g.set_edge_factor, m.factor_sources, m.factor_targets, m.factors))
    consume(map(g.set_edge_operation, m.operation_sources, m.operation_targets, m.operations))
    consume(map(g.set_node_specified_metric, m.specified_nodes, m.specified_metrics,
                m.specified_values, m.specified_units))
    return g


# -- growth, with a fixed sub-graph ---------------------------------------------

PROBE_WIDTH = 7  # sub-events of the probe event, and modules of each


def add_probe(g, m: model_mod.Model) -> None:
    """The same small sub-graph at every scale: probe/event over 7 sub-events
    over 7 modules each (56 edges), and probe/top, a workload above it and
    above every workload of the model, so that it reaches the whole graph."""
    subs = [f"probe/sub{i}" for i in range(PROBE_WIDTH)]
    modules = [f"probe/m{i}.{j}" for i in range(PROBE_WIDTH) for j in range(PROBE_WIDTH)]
    for name in ["probe/top", "probe/event"] + subs + modules:
        g.add_node(name)
    workloads = [name for name in m.unique_names if model_mod.level(name) == 0]
    for w in workloads + ["probe/event", subs[0]]:
        g.add_edge("probe/top", w)
    single = lambda value, unit: {"value": value, "unit": unit}  # noqa: E731
    for i, sub in enumerate(subs):
        g.add_edge("probe/event", sub)
        g.set_edge_count("probe/event", sub, 1 + i % 3)
        g.set_edge_aggregation("probe/event", sub, "sequential" if i % 2 else "parallel")
        g.set_module_data(sub, {"latency": single(0.0, "ns"), "area": single(0.0, "um^2")}, 1, [])
        g.set_node_specified_metric(sub, "latency", 10.0 + i, "ns")
        for j in range(PROBE_WIDTH):
            module = f"probe/m{i}.{j}"
            g.add_edge(sub, module)
            g.set_edge_factor(sub, module, {"latency": 0.5 * (1 + j % 2)})
            g.set_module_data(module, {"latency": single(1.0 + j, "ns"), "area": single(2.0, "um^2")}, 2, [])
    for event in ("probe/top", "probe/event"):
        g.set_module_data(event, {"latency": single(0.0, "ns"), "area": single(0.0, "um^2")}, 1, [])


def probe_calls():
    """(row, method, args) of the calls on the probe."""
    metric = lambda mode, workload: ("aggregate_event_metric", ("latency", mode, "ns", workload, "probe/event"))  # noqa: E731
    rows = [("probe: aggregate_event_count", "aggregate_event_count", ("probe/top", "probe/event"))]
    for mode in ("module", "summation", "specified"):
        rows.append((f"probe: {mode}", *metric(mode, None)))
        rows.append((f"probe: {mode}, workload", *metric(mode, "probe/top")))
    return rows


def per_call(fn, calls: int, repeat: int) -> float:
    """Best time per call of ``calls`` calls of ``fn``, collector paused."""
    return best_of(lambda: [fn() for _ in range(calls)], repeat)[0] / calls


def probe_times(g, repeat: int) -> dict[str, float]:
    """Seconds per call of each probe row, of the cliff and of the first
    aggregation after an addition."""
    times = {}
    for row, method, args in probe_calls():
        fn = getattr(g, method)
        times[row] = per_call(lambda: fn(*args), 200, repeat)
    latency = lambda: g.aggregate_event_metric("latency", "module", "ns", None, "probe/event")  # noqa: E731
    times["cliff: module, before"] = per_call(latency, 200, repeat)
    # A summation of another metric over the whole graph leaves values in
    # every event; calls for latency must not pay for them.
    g.aggregate_event_metric("area", "summation", "um^2", None, "probe/top")
    times["cliff: module, after"] = per_call(latency, 200, repeat)
    summation = lambda: g.aggregate_event_metric("latency", "summation", "ns", None, "probe/event")  # noqa: E731
    added = []
    for i in range(50):
        name = f"probe/late{i}"
        g.add_node(name)
        g.add_edge(f"probe/sub{i % PROBE_WIDTH}", name)
        t0 = time.perf_counter()
        summation()
        added.append(time.perf_counter() - t0)
    times["first summation after add_node + add_edge"] = min(added)
    return times


def run_growth(cls, args) -> None:
    """Time per call of each aggregation row at a tenth of the scale and at the
    scale: the model's sample, and a fixed sub-graph (the probe)."""
    small, large = max(1, args.scale // 10), args.scale
    per_call_at = {}
    for scale in (small, large):
        m = model_mod.generate(scale, args.seed)
        g = build_graph(cls, m)
        times, _ = time_aggregation(g, m, "nuvel", args.repeat)
        per_call_at[scale] = {row: secs / calls for row, (calls, secs) in times.items()}
        add_probe(g, m)
        per_call_at[scale].update(probe_times(g, args.repeat))
        del g, m
        gc.collect()
    print(f"nuvel: time per call at scale {small} and at scale {large} ({large / small:.0f}x the graph)")
    head = f"{'operation':<44}{f'scale {small} us':>14}{f'scale {large} us':>14}{'ratio':>8}"
    print(head)
    print("-" * len(head))
    worst = 0.0
    for row in per_call_at[small]:
        a, b = per_call_at[small][row], per_call_at[large][row]
        if row.startswith("probe:"):
            worst = max(worst, b / a)
        print(f"{row:<44}{a * 1e6:>14.2f}{b * 1e6:>14.2f}{b / a:>8.2f}")
    print(f"(largest ratio on the fixed sub-graph {worst:.2f}; the graph grew {large / small:.0f}x)")
    for scale in (small, large):
        before, after = per_call_at[scale]["cliff: module, before"], per_call_at[scale]["cliff: module, after"]
        print(f"scale {scale}: a latency call after a whole-graph summation of area takes "
              f"{after / before:.2f}x its time before")


# -- peers ---------------------------------------------------------------------


def run_peers(cls, args) -> None:
    """The extension against networkx, scipy and rustworkx on the same queries."""
    from bench import peers

    m = model_mod.generate(args.scale, args.seed)
    g = build_graph(cls, m)
    pairs = list(zip(m.agg_workloads, m.agg_targets))
    nx_peer, sp_peer, rx_peer = peers.NetworkxPeer(m), peers.ScipyPeer(m), peers.RustworkxPeer(m)
    workload = m.agg_workloads[0]
    summation_all = lambda: g.aggregate_event_metrics("latency", "summation", "ns")  # noqa: E731
    counts_from = lambda: g.aggregate_event_counts(workload)  # noqa: E731
    single_all = lambda: {e: g.aggregate_event_metric("latency", "summation", "ns", None, e)["value"]  # noqa: E731
                          for e in summation_all()}
    rows = [
        ("event count, per call", len(pairs),
         lambda: [g.aggregate_event_count(w, e) for w, e in pairs],
         "networkx", lambda: [nx_peer.count(w, e) for w, e in pairs]),
        ("summation with a workload, per call", len(pairs),
         lambda: [g.aggregate_event_metric("latency", "summation", "ns", w, e)["value"] for w, e in pairs],
         "networkx", lambda: [nx_peer.summation(w, e) for w, e in pairs]),
        ("summation of every event", 1, summation_all, "scipy", sp_peer.summation_all),
        ("summation of every event", 1, summation_all, "rustworkx", rx_peer.summation_all),
        ("summation of every event, single calls", 1, single_all, "scipy", sp_peer.summation_all),
        ("counts from one workload", 1, counts_from, "scipy", lambda: sp_peer.counts_from(workload)),
    ]
    print(f"peers: scale {args.scale}, {len(m.unique_names)} nodes, {len(m.pair_sources)} edges; "
          f"metric latency, best of {max(args.repeat, 5)} turns")
    head = f"{'query':<40}{'calls':>7}{'nuvel us':>12}{'peer':>11}{'peer us':>12}{'peer/nuvel':>12}"
    print(head)
    print("-" * len(head))
    for label, calls, ours, peer, theirs in rows:
        # Turn about, so that a busy machine slows both sides alike.
        ours_s = theirs_s = math.inf
        for _ in range(max(args.repeat, 5)):
            secs, ours_result = best_of(ours, 1)
            ours_s = min(ours_s, secs)
            secs, theirs_result = best_of(theirs, 1)
            theirs_s = min(theirs_s, secs)
        if isinstance(ours_result, dict):
            assert ours_result.keys() == theirs_result.keys(), f"{label}: {peer} covers other events"
            ours_result, theirs_result = list(ours_result.values()), list(theirs_result.values())
        bad = [i for i, (a, b) in enumerate(zip(ours_result, theirs_result)) if not peers.close(a, b)]
        assert not bad, f"{label}: {peer} differs at {bad[:3]}"
        print(f"{label:<40}{calls:>7}{ours_s / calls * 1e6:>12.2f}{peer:>11}{theirs_s / calls * 1e6:>12.2f}"
              f"{theirs_s / ours_s:>12.2f}")
    print("(results agree to 1e-9 relative; a peer's time includes building its name -> value dict)")



def outcome(fn):
    try:
        return ("ok", fn())
    except (ValueError, TypeError) as exc:
        # Argument-binding texts name the class, so only the type is compared
        # for TypeError; ValueError texts must match exactly.
        return (type(exc).__name__, str(exc) if isinstance(exc, ValueError) else "")


def semantics_script(cls) -> list:
    """Small scenarios around merging, duplicate names and failures."""
    g = cls()
    out = []
    rec = lambda fn: out.append(outcome(fn))  # noqa: E731
    rec(lambda: g.add_edge("a", "b"))
    for n in ("a", "b", "c"):
        g.add_node(n)
    g.add_node("d", performance="")
    rec(lambda: g.add_edge("a", "x"))
    rec(lambda: [g.add_edge("a", t) for t in ("b", "c", "d", "b", "a")])
    rec(lambda: g.add_edge("b", "a"))
    rec(lambda: g.set_edge_count("a", "b", 2))
    rec(lambda: g.set_edge_count("a", "b", "1"))
    rec(lambda: g.set_edge_count("c", "a", 1.0))
    rec(lambda: g.set_edge_aggregation("a", "c", ""))
    rec(lambda: g.add_edge("a", "b"))
    rec(lambda: (g.get_edge_count("a", "b"), g.get_edge_aggregation("a", "c")))
    rec(lambda: g.set_edge_count("a", "d", float("inf")))
    rec(lambda: g.get_edge_count("a", "d"))
    rec(lambda: g.get_edge_aggregation("nobody", "a"))
    rec(lambda: g.get_out_neighbors("a"))
    g.add_node("b", "perf/b2")
    rec(lambda: g.add_edge("c", "b"))
    rec(lambda: (g.get_all_node_names(), g.get_leaf_names(), g.is_leaf("b")))
    rec(lambda: (g.get_performance_path("b"), g.get_performance_path("c"), g.get_performance_path("d")))
    rec(lambda: g.get_out_neighbors("a"))
    rec(lambda: g.get_tag_modules("x"))
    rec(lambda: g.is_leaf("zz"))
    rec(lambda: g.get_performance_path("zz"))
    rec(lambda: g.has_node(1))
    rec(lambda: g.has_node("zz"))
    # Module data, edge annotations and metric queries.
    single = lambda value, unit: {"value": value, "unit": unit}  # noqa: E731
    rec(lambda: g.init_metrics({"lat": "ns", "bw": "B/s"}))
    rec(lambda: g.query_module_metric("lat", "d", "rd"))
    rec(lambda: g.set_module_data("d", {"lat": single(2, "s"), "bw": {"rd": single(1, "B"), "wr": single(3, "B")}}, 4, ["t", "u"]))
    rec(lambda: [g.query_module_metric("bw", "d", op) for op in ("rd", "wr")])
    rec(lambda: g.query_module_metric("bw", "d"))
    rec(lambda: g.set_module_data("d", {"x": single(1, "s"), "bw": {"rd": {"value": 1}}}, 1, []))
    rec(lambda: g.set_module_data("d", {"y": {}, "z": {"rd": 5}}, 1, []))
    rec(lambda: g.set_module_data("d", {"e": 7, "w": {"value": 1}}, 1, []))
    rec(lambda: (g.query_module_metric("x", "d"), g.query_module_metric("bw", "d", "wr"), g.get_tag_modules("t")))
    rec(lambda: g.query_module_metric("y", "d", "rd"))
    rec(lambda: g.query_module_metric("z", "d"))
    rec(lambda: g.set_module_data("zz", {1: 2}, 1, []))
    rec(lambda: g.set_module_data("d", {}, 1, "t"))
    rec(lambda: g.query_module_metric("lat"))
    rec(lambda: g.query_module_metric("lat", "zz"))
    rec(lambda: g.query_module_metric("lat", "a"))
    rec(lambda: g.query_module_metric("nope", "c"))
    rec(lambda: g.set_edge_factor("a", "b", {"lat": 2, "bw": float("nan")}))
    rec(lambda: g.set_edge_factor("b", "a", {"lat": 2}))
    rec(lambda: g.set_edge_factor("b", "a", {"lat": "2"}))
    rec(lambda: g.set_edge_operation("a", "b", {"bw": "rd"}))
    rec(lambda: g.set_edge_operation("a", "zz", {}))
    rec(lambda: g.set_node_specified_metric("a", "lat", 3.5, "ms"))
    rec(lambda: (g.get_node_specified_metric("a", "lat"), g.get_node_specified_metric("a", "bw")))
    rec(lambda: g.get_node_specified_metric("zz", "lat"))
    return out


BUILD_OPS = (
    "add_node",
    "add_edge",
    "set_edge_count",
    "set_edge_aggregation",
    "init_metrics",
    "set_module_data",
    "set_edge_factor",
    "set_edge_operation",
)


def print_time_table(sides, times) -> None:
    ops = list(times[sides[0]])
    head = f"{'operation':<26}{'calls':>9}"
    for side in sides:
        head += f"{side + ' s':>12}"
    if len(sides) == 2:
        head += f"{'pure/nuvel':>12}"
    head += f"{sides[0] + ' us/call':>16}"
    print(head)
    print("-" * len(head))
    total = dict.fromkeys(sides, 0.0)
    for op in ops:
        calls = times[sides[0]][op][0]
        line = f"{op:<26}{calls:>9}"
        for side in sides:
            secs = times[side][op][1]
            total[side] += secs
            line += f"{secs:>12.4f}"
        if len(sides) == 2:
            line += f"{ratio(times['pure'][op][1], times['nuvel'][op][1]):>12}"
        line += f"{times[sides[0]][op][1] / calls * 1e6:>16.3f}"
        print(line)
    build = {side: sum(times[side][op][1] for op in BUILD_OPS if op in times[side])
             for side in sides}
    for label, sums in ((f"build ({len(BUILD_OPS)} steps)", build), ("total", total)):
        line = f"{label:<26}{'':>9}"
        for side in sides:
            line += f"{sums[side]:>12.4f}"
        if len(sides) == 2:
            line += f"{ratio(sums['pure'], sums['nuvel']):>12}"
        print(line)


def ratio(a: float, b: float) -> str:
    return f"{a / b:.2f}" if b > 0 else "-"


# -- memory --------------------------------------------------------------------

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def reset_peak() -> bool:
    """Restart the kernel's peak-RSS mark (VmHWM) at the current RSS."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_bytes() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def memory_worker(side: str, args) -> dict:
    """Runs in its own process: RSS growth of building one side."""
    cls = load_class(side, args.nuvel_impl)
    m = model_mod.generate(args.scale, args.seed)
    gc.collect()
    g = cls()
    rss0 = rss_bytes()
    exact_peak = reset_peak()
    consume(map(g.add_node, m.node_names, m.node_perfs))
    gc.collect()
    rss1 = rss_bytes()
    consume(map(g.add_edge, m.edge_sources, m.edge_targets))
    gc.collect()
    rss2 = rss_bytes()
    consume(map(g.set_edge_count, m.pair_sources, m.pair_targets, m.counts))
    consume(map(g.set_edge_aggregation, m.pair_sources, m.pair_targets, m.aggregations))
    gc.collect()
    rss3 = rss_bytes()
    g.init_metrics(dict(list(m.metric_units.items())[:3]))
    gc.collect()
    rss4 = rss_bytes()
    return {
        "nodes": len(m.node_names),
        "edges": len(m.pair_sources),
        "base": rss0,
        "after_nodes": rss1,
        "after_edges": rss2,
        "after_build": rss3,
        "after_init": rss4,
        "peak": peak_bytes(),
        "exact_peak": exact_peak,
    }


def spawn_worker(argv: list[str], timeout: float | None = None) -> dict | None:
    cmd = [sys.executable, "-m", __spec__.name, *argv]
    try:
        proc = subprocess.run(cmd, cwd=ROOT, capture_output=True, text=True, timeout=timeout, check=False)
    except subprocess.TimeoutExpired:
        return None
    if proc.returncode != 0:
        raise RuntimeError(f"worker {argv} failed:\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def run_memory(sides, args) -> None:
    mem = {}
    for side in sides:
        mem[side] = spawn_worker(common_argv(args) + ["--worker", "memory", "--side", side])
    mib = 1024 * 1024
    first = mem[sides[0]]
    print(f"{first['nodes']} nodes, {first['edges']} edges; resident set growth per side")
    head = f"{'':<30}" + "".join(f"{side:>14}" for side in sides)
    if len(sides) == 2:
        head += f"{'pure/nuvel':>12}"
    print(head)
    print("-" * len(head))

    def row(label, values, fmt):
        line = f"{label:<30}" + "".join(fmt(v) for v in values)
        if len(sides) == 2:
            line += f"{ratio(values[1], values[0]):>12}"
        print(line)

    per_node = [(r["after_nodes"] - r["base"]) / r["nodes"] for r in mem.values()]
    per_edge = [(r["after_edges"] - r["after_nodes"]) / r["edges"] for r in mem.values()]
    per_init = [(r["after_init"] - r["after_build"]) / r["nodes"] for r in mem.values()]
    build = [(r["after_build"] - r["base"]) / mib for r in mem.values()]
    peak_growth = [(r["peak"] - r["base"]) / mib for r in mem.values()]
    peak = [r["peak"] / mib for r in mem.values()]
    row("bytes per node", per_node, lambda v: f"{v:>14.1f}")
    row("bytes per edge (add_edge)", per_edge, lambda v: f"{v:>14.1f}")
    row("init_metrics, 3 metrics, B/node", per_init, lambda v: f"{v:>14.1f}")
    row("whole build, MiB", build, lambda v: f"{v:>14.1f}")
    row("peak growth in build, MiB", peak_growth, lambda v: f"{v:>14.1f}")
    row("peak RSS of process, MiB", peak, lambda v: f"{v:>14.1f}")
    if not all(r["exact_peak"] for r in mem.values()):
        print("(peak mark could not be reset: peak growth includes model generation)")


# -- fan-out -------------------------------------------------------------------


def fanout_worker(side: str, degree: int, args) -> dict:
    """Runs in its own process: one hub node with ``degree`` out-edges."""
    cls = load_class(side, args.nuvel_impl)
    g = cls()
    targets = [f"target/{i}" for i in range(degree)]
    g.add_node("hub")
    consume(map(g.add_node, targets))
    hub = ["hub"] * degree
    out = {}
    out["add_edge"], merged = timed(lambda: list(map(g.add_edge, hub, targets)), collector=True)
    assert not any(merged)
    out["add_edge merge"], merged = timed(lambda: list(map(g.add_edge, hub, targets)), collector=True)
    assert all(merged)
    out["get_edge_count"], counts = timed(lambda: list(map(g.get_edge_count, hub, targets)), collector=False)
    assert counts == [1.0] * degree
    out["get_out_neighbors"], neighbours = timed(lambda: g.get_out_neighbors("hub"), collector=False)
    assert neighbours == targets[::-1]
    return out


def run_fanout(sides, args) -> None:
    small, large = args.fanout
    budget = args.fanout_budget
    for side in sides if args.fanout_all else sides[:1]:
        base = spawn_worker(common_argv(args) + ["--worker", "fanout", "--side", side, "--degree", str(small)], budget)
        if base is None:
            print(f"{side}: {small} out-edges did not finish within {budget:.0f} s")
            continue
        # Linear growth needs about large/small times as long; allow twice that
        # before calling it superlinear.
        linear_limit = max(10.0, 2 * (large / small) * sum(base.values()) + 5.0)
        limit = min(budget, linear_limit)
        big = spawn_worker(common_argv(args) + ["--worker", "fanout", "--side", side, "--degree", str(large)], limit)
        print(f"{side}: one node with {small} and {large} out-edges")
        head = f"{'operation':<22}{f'{small} s':>12}{f'{large} s':>12}{'ratio':>8}"
        print(head)
        print("-" * len(head))
        for op, secs in base.items():
            if big is None:
                print(f"{op:<22}{secs:>12.4f}{'-':>12}{'-':>8}")
            else:
                print(f"{op:<22}{secs:>12.4f}{big[op]:>12.4f}{big[op] / secs:>8.2f}")
        if big is None:
            verdict = "cost grows faster than linear" if limit == linear_limit else "the time limit (--fanout-budget)"
            print(f"{large} out-edges did not finish within {limit:.0f} s: {verdict}")
        print(f"(linear growth gives a ratio near {large / small:.0f})")


# -- persistence ---------------------------------------------------------------

#: Scale whose graph file is about 50 MB (50.5 MB at seed 1).
PERSIST_SCALE = 21


def best_time(fn, repeat: int) -> float:
    """Best of ``repeat`` runs with the collector enabled, as a user has it.
    A result is dropped after the clock stops, so freeing it is not timed."""
    best = math.inf
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
        del result
    return best


def json_load(path: str):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def loader_failure(cls, path: str) -> str | None:
    """Why ``load_json`` cannot read ``path``, or None when it can."""
    try:
        cls.load_json(path)
    except BaseException as exc:  # an internal failure is a BaseException
        if isinstance(exc, KeyboardInterrupt):
            raise
        return f"{type(exc).__name__}: {exc}"
    return None


def persist_load_worker(args) -> dict:
    """Runs in its own process: peak RSS growth of loading one file."""
    if args.reader == "nuvel":
        cls = load_class("nuvel", args.nuvel_impl)
        load = lambda: cls.load_json(args.file)  # noqa: E731
    else:
        load = lambda: json_load(args.file)  # noqa: E731
    gc.collect()
    rss0 = rss_bytes()
    exact_peak = reset_peak()
    loaded = load()
    growth = peak_bytes() - rss0
    del loaded
    return {"growth": growth, "exact_peak": exact_peak}


def persist_run(cls, scale: int, args) -> None:
    m = model_mod.generate(scale, args.seed)
    g = build_graph(cls, m)
    del m
    gc.collect()
    mib = 1024 * 1024
    with tempfile.TemporaryDirectory(prefix="nuvel-bench-") as tmp:
        ours, theirs = os.path.join(tmp, "graph.json"), os.path.join(tmp, "python.json")
        rows = [("save_json / json.dump", best_time(lambda: g.save_json(ours), args.repeat))]
        size = os.path.getsize(ours)
        doc = json_load(ours)
        print(f"scale {scale}: {len(doc['nodes'])} nodes, {len(doc['edges'])} edges, file {size / 1e6:.1f} MB")

        def dump():
            with open(theirs, "w", encoding="utf-8") as f:
                json.dump(doc, f, indent=2, ensure_ascii=False)

        rows[0] += (best_time(dump, args.repeat),)
        same_text = filecmp.cmp(ours, theirs, shallow=False)
        del doc
        gc.collect()
        failure = loader_failure(cls, ours)
        if failure is None:
            rows.append(("load_json / json.load", best_time(lambda: cls.load_json(ours), args.repeat),
                         best_time(lambda: json_load(ours), args.repeat)))
            again = os.path.join(tmp, "again.json")
            cls.load_json(ours).save_json(again)
            round_trip = "identical bytes" if filecmp.cmp(ours, again, shallow=False) else "DIFFERENT bytes"
        head = f"{'nuvel / python':<26}{'nuvel s':>10}{'python s':>10}{'python/nuvel':>14}"
        print(head)
        print("-" * len(head))
        for label, ours_s, theirs_s in rows:
            print(f"{label:<26}{ours_s:>10.3f}{theirs_s:>10.3f}{ratio(theirs_s, ours_s):>14}")
        print(f"json.dump writes {'the same' if same_text else 'a different'} text as save_json")
        if failure is not None:
            print(f"loader not available ({failure})")
            return
        print(f"save, load, save: {round_trip}")
        readers = {"nuvel": "load_json", "json": "json.load"}
        peaks = {}
        for reader in readers:
            peaks[reader] = spawn_worker(common_argv(args) + ["--worker", "persist-load", "--reader", reader,
                                                              "--file", ours])
        line = "; ".join(f"{name} {peaks[r]['growth'] / mib:.0f} MiB = {peaks[r]['growth'] / size:.2f}x the file"
                         for r, name in readers.items())
        print(f"peak RSS growth of loading: {line}")
        if not all(p["exact_peak"] for p in peaks.values()):
            print("(peak mark could not be reset: figures include start-up)")


def run_persistence(cls, args) -> None:
    """save_json and load_json against json.dump and json.load at --scale and
    at --persist-scale."""
    scales = dict.fromkeys(s for s in (args.scale, args.persist_scale) if s > 0)
    for i, scale in enumerate(scales):
        if i:
            print()
        persist_run(cls, scale, args)


# -- main ----------------------------------------------------------------------


def common_argv(args) -> list[str]:
    return ["--scale", str(args.scale), "--seed", str(args.seed), "--nuvel-impl", args.nuvel_impl]


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--scale", type=int, default=50, help="model size; 50 gives about 100k nodes (default 50)")
    p.add_argument("--seed", type=int, default=1, help="model seed (default 1)")
    p.add_argument("--only", choices=SIDES, help="measure one side only")
    p.add_argument("--repeat", type=int, default=3, help="runs of each query batch, best is kept (default 3)")
    p.add_argument(
        "--sections",
        default="time,aggregate,ladder,growth,peers,memory,fanout,persistence",
        help="comma-separated subset of time,aggregate,ladder,growth,peers,memory,fanout,persistence "
        "(default all)",
    )
    p.add_argument("--ladder-depth", type=int, default=20, help="levels of the ladder graph (default 20)")
    p.add_argument("--fanout", type=int, nargs=2, default=(100_000, 400_000), metavar=("SMALL", "LARGE"))
    p.add_argument("--fanout-all", action="store_true", help="run the fan-out section for both sides")
    p.add_argument("--fanout-budget", type=float, default=40.0, help="time limit of each fan-out run, s (default 40)")
    p.add_argument(
        "--nuvel-impl",
        default="nuvel:NuvelGraph",
        help="module:Class measured as the nuvel side (default nuvel:NuvelGraph)",
    )
    p.add_argument(
        "--persist-scale",
        type=int,
        default=PERSIST_SCALE,
        help=f"second model size of the persistence section; {PERSIST_SCALE} gives a file of about 50 MB, "
        f"0 skips it (default {PERSIST_SCALE})",
    )
    p.add_argument("--worker", choices=("memory", "fanout", "persist-load"), help=argparse.SUPPRESS)
    p.add_argument("--reader", choices=("nuvel", "json"), help=argparse.SUPPRESS)
    p.add_argument("--file", help=argparse.SUPPRESS)
    p.add_argument("--side", choices=SIDES, help=argparse.SUPPRESS)
    p.add_argument("--degree", type=int, help=argparse.SUPPRESS)
    return p.parse_args(argv)


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.worker == "memory":
        print(json.dumps(memory_worker(args.side, args)))
        return 0
    if args.worker == "fanout":
        print(json.dumps(fanout_worker(args.side, args.degree, args)))
        return 0
    if args.worker == "persist-load":
        print(json.dumps(persist_load_worker(args)))
        return 0

    # The scenario provokes logged failures; keep them off the console.
    logging.getLogger("nuvel_core").addHandler(logging.NullHandler())
    sides = (args.only,) if args.only else SIDES
    sections = {s.strip() for s in args.sections.split(",") if s.strip()}
    classes = {side: load_class(side, args.nuvel_impl) for side in sides}
    started = time.perf_counter()
    print(f"python {sys.version.split()[0]}; nuvel side: {args.nuvel_impl}")

    if len(sides) == 2:
        a, b = (semantics_script(classes[side]) for side in sides)
        for i, (x, y) in enumerate(zip(a, b)):
            assert x == y, f"behaviour differs at step {i}: nuvel {x!r}, pure {y!r}"
        print(f"behaviour check: {len(a)} scenario steps agree")

    if "time" in sections or "aggregate" in sections:
        t0 = time.perf_counter()
        m = model_mod.generate(args.scale, args.seed)
        print(f"model: {m.summary()} (generated in {time.perf_counter() - t0:.2f} s)")
        missing = [f"{name}/missing" for name in m.node_names[:: 10]]
        times, results, agg_times, agg_results = {}, {}, {}, {}
        for side in sides:
            times[side], side_results, g = time_side(classes[side], m, missing, args.repeat)
            check_model_results(side_results, m)
            results[side] = digests(side_results)
            del side_results
            if "aggregate" in sections:
                agg_times[side], agg_results[side] = time_aggregation(g, m, side, args.repeat)
            del g
            gc.collect()
        if len(sides) == 2:
            for op in results["nuvel"]:
                assert results["nuvel"][op] == results["pure"][op], f"{op}: results differ"
            print("query results: identical on both sides")
            if agg_results:
                check_common_results(agg_results, "aggregation")
                print("aggregation results: identical on both sides (calls both ran)")
        del results, agg_results
        if "time" in sections:
            print()
            print_time_table(sides, times)
        if agg_times:
            print()
            print("aggregation (metric latency; the pure side runs the first calls of a row only)")
            print_per_call_table(sides, agg_times)
        del m
        gc.collect()

    if "ladder" in sections:
        print()
        run_ladder(sides, classes, args)

    if "growth" in sections and "nuvel" in sides:
        print()
        run_growth(classes["nuvel"], args)

    if "peers" in sections and "nuvel" in sides:
        print()
        run_peers(classes["nuvel"], args)

    if "memory" in sections:
        print()
        run_memory(sides, args)

    if "fanout" in sections:
        print()
        run_fanout(sides, args)

    if "persistence" in sections and "nuvel" in sides:
        print()
        run_persistence(classes["nuvel"], args)

    print(f"\ntotal run time {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
