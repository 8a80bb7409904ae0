"""Million-node scale benchmark of NuvelGraph.

    python -m bench.scale [--scale 500] [--seed 1] [--chain 1000000]

Not a test: it measures one large run, through the public API only.

1. Model: the synthetic model of bench/model.py at --scale (500 blocks give
   1,000,000 nodes and 2.9 million edges from 3.0 million add_edge calls) is
   built step by step, with every annotation that bench/run.py sets.
2. Aggregation: aggregate_event_count and aggregate_event_metric in the
   modes module, summation and specified, without a workload on the top
   events of the model's sample (workloads and level-1 events) and with one
   on its (workload, event) pairs.
3. Persistence: save_json, then NuvelGraph.load_json in a fresh process,
   which repeats the first aggregation calls of every row and a sample of
   queries; the results must be those of the built graph.
4. Chain: in a fresh process, --chain nodes in one line (a workload, events,
   a module); aggregate_event_count and every mode from the top, each result
   checked against its exact value, then save_json and load_json.

Every phase reports its time and its memory: the growth of the resident set
(RSS after less RSS before) and the peak growth (the high-water mark VmHWM,
reset before the phase, less RSS before).
"""

from __future__ import annotations

import argparse
import ctypes
import dataclasses
import gc
import hashlib
import json
import logging
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from bench import model as model_mod
from bench import run

MIB = 1024 * 1024
NO_PEAK_RESET = "(the peak mark could not be reset: peak growth is the growth of the process's high-water mark)"


# -- phases --------------------------------------------------------------------


@dataclasses.dataclass
class Phase:
    label: str
    calls: int
    seconds: float
    rss_growth: int
    peak_growth: int


class Phases:
    """Runs phases and keeps a row of time and memory for each."""

    def __init__(self) -> None:
        self.rows: list[Phase] = []
        self.exact_peak = True

    def run(self, label: str, calls: int, fn, collector: bool = True):
        gc.collect()
        before = run.rss_bytes()
        self.exact_peak &= run.reset_peak()
        seconds, result = run.timed(fn, collector)
        self.rows.append(Phase(label, calls, seconds, run.rss_bytes() - before, run.peak_bytes() - before))
        return result


def print_phases(rows: list[Phase]) -> None:
    head = f"{'phase':<34}{'calls':>9}{'s':>9}{'us/call':>11}{'RSS +MiB':>10}{'peak +MiB':>11}"
    print(head)
    print("-" * len(head))
    for r in rows:
        per_call = f"{r.seconds / r.calls * 1e6:>11.1f}" if r.calls > 1 else f"{'-':>11}"
        print(f"{r.label:<34}{r.calls:>9}{r.seconds:>9.3f}{per_call}"
              f"{r.rss_growth / MIB:>10.1f}{r.peak_growth / MIB:>11.1f}")


def spawn(argv: list[str]) -> dict:
    """Runs this script as a worker in a fresh process; its last output line is JSON."""
    proc = subprocess.run([sys.executable, "-m", __spec__.name, *argv], cwd=run.ROOT,
                          capture_output=True, text=True, check=False)
    if proc.returncode != 0:
        raise RuntimeError(f"worker {argv} failed with exit code {proc.returncode}:\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def trimmed_rss() -> int | None:
    """RSS once the C library has returned its free heap memory to the
    system (glibc's malloc_trim); None where there is no such call."""
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        return None
    return run.rss_bytes()


def names_digest(g) -> str:
    return hashlib.sha256("\n".join(g.get_all_node_names()).encode()).hexdigest()


# -- model ---------------------------------------------------------------------


def build_steps(g, m: model_mod.Model) -> list[tuple[str, int, object]]:
    """(label, calls, fn) of each building step, in the order of bench/run.py."""
    ps, pt = m.pair_sources, m.pair_targets
    consume = run.consume
    return [
        ("add_node", len(m.node_names), lambda: consume(map(g.add_node, m.node_names, m.node_perfs))),
        ("add_edge", len(m.edge_sources), lambda: consume(map(g.add_edge, m.edge_sources, m.edge_targets))),
        ("set_edge_count", len(ps), lambda: consume(map(g.set_edge_count, ps, pt, m.counts))),
        ("set_edge_aggregation", len(ps), lambda: consume(map(g.set_edge_aggregation, ps, pt, m.aggregations))),
        ("init_metrics", 1, lambda: g.init_metrics(m.metric_units)),
        ("set_module_data", len(m.module_names), lambda: consume(
            map(g.set_module_data, m.module_names, m.module_metrics, m.module_instances, m.module_tags))),
        ("set_edge_factor", len(m.factor_sources),
         lambda: consume(map(g.set_edge_factor, m.factor_sources, m.factor_targets, m.factors))),
        ("set_edge_operation", len(m.operation_sources),
         lambda: consume(map(g.set_edge_operation, m.operation_sources, m.operation_targets, m.operations))),
        ("set_node_specified_metric", len(m.specified_nodes), lambda: consume(
            map(g.set_node_specified_metric, m.specified_nodes, m.specified_metrics,
                m.specified_values, m.specified_units))),
    ]


def top_rows(m: model_mod.Model, calls: int | None):
    """The aggregation rows of bench/run.py on the sample's workloads and
    level-1 events, at most ``calls`` calls per row."""
    top = [name for name in m.agg_events if model_mod.level(name) <= 1]
    sample = dataclasses.replace(m, agg_events=top[:calls], agg_workloads=m.agg_workloads[:calls],
                                 agg_targets=m.agg_targets[:calls])
    return run.aggregation_rows(sample)


def timed_calls(fn, columns: list) -> tuple[list[float], list]:
    """Each call timed on its own, with the collector paused; (seconds, results)."""
    seconds, results = [], []
    gc.disable()
    try:
        for args in zip(*columns):
            t0 = time.perf_counter()
            results.append(fn(*args))
            seconds.append(time.perf_counter() - t0)
    finally:
        gc.enable()
    return seconds, results


def check_calls(m: model_mod.Model, rows, per_row: int) -> list[tuple[str, list]]:
    """(method, args) of the calls repeated on the loaded graph: the first
    ``per_row`` calls of each aggregation row and a sample of queries."""
    checks = [(method, list(args)) for _, method, columns in rows for args in list(zip(*columns))[:per_row]]
    step = max(1, len(m.pair_sources) // 1000)
    for s, t in zip(m.pair_sources[::step], m.pair_targets[::step]):
        checks += [("get_edge_count", [s, t]), ("get_edge_aggregation", [s, t]), ("get_out_neighbors", [s])]
    step = max(1, len(m.query_modules) // 1000)
    checks += [("query_module_metric", list(args)) for args in
               zip(m.query_metrics[::step], m.query_modules[::step], m.query_operations[::step])]
    step = max(1, len(m.specified_nodes) // 200)
    checks += [("get_node_specified_metric", [name, "latency"]) for name in m.specified_nodes[::step]]
    checks += [("get_tag_modules", [tag]) for tag in model_mod.TAGS[:4]]
    return checks


def check_batch(g, batch: dict, counts: dict, workload: str, sample: int = 200) -> None:
    """A sample of the batch values equals the single calls bit for bit."""
    for name in list(batch)[:: max(1, len(batch) // sample)]:
        single = g.aggregate_event_metric("latency", "summation", "ns", None, name)["value"]
        assert repr(single) == repr(batch[name]), f"batch summation of {name}: {batch[name]!r} != {single!r}"
    for name in list(counts)[:: max(1, len(counts) // sample)]:
        single = g.aggregate_event_count(workload, name)
        assert repr(single) == repr(counts[name]), f"batch count of {name}: {counts[name]!r} != {single!r}"
    print(f"batch calls: {len(batch)} summation values and {len(counts)} counts; a sample equals the single calls")


def run_checks(g, checks) -> list:
    return [getattr(g, method)(*args) for method, args in checks]


def run_model(args, tmp: str) -> None:
    phases = Phases()
    m = phases.run("generate model (Python lists)", 1, lambda: model_mod.generate(args.scale, args.seed))
    print(f"model: {m.summary()}")
    g = run.load_class("nuvel", "nuvel:NuvelGraph")()
    for label, calls, fn in build_steps(g, m):
        phases.run(label, calls, fn)
    build = phases.rows[1:]
    nodes, edges = len(m.node_names), len(m.pair_sources)

    rows = top_rows(m, args.calls)
    per_call = {}
    for label, method, columns in rows:
        seconds, _ = phases.run(label, len(columns[0]), lambda: timed_calls(getattr(g, method), columns),
                                collector=False)
        per_call[label] = seconds
    batch = phases.run("batch: summation of every event", 1,
                       lambda: g.aggregate_event_metrics("latency", "summation", "ns"), collector=False)
    workload = m.agg_workloads[0]
    counts = phases.run("batch: counts from one workload", 1,
                        lambda: g.aggregate_event_counts(workload), collector=False)
    check_batch(g, batch, counts, workload)
    checks = check_calls(m, rows, args.check_calls)
    expected = run_checks(g, checks)
    names = names_digest(g)
    del m
    gc.collect()

    path = os.path.join(tmp, "model.json")
    phases.run("save_json", 1, lambda: g.save_json(path))
    size = os.path.getsize(path)
    with open(os.path.join(tmp, "checks.json"), "w") as f:
        json.dump(checks, f)
    loaded = spawn(["--worker", "load", "--file", path, "--checks", os.path.join(tmp, "checks.json")])
    phases.rows += [Phase(**row) for row in loaded["rows"]]
    phases.exact_peak &= loaded["exact_peak"]
    if args.keep:
        shutil.copy(path, args.keep)
    os.remove(path)

    print()
    print_phases(phases.rows)
    print("(load_json and the checks after it run in a fresh process)")
    print()
    print_per_call(per_call)
    print()
    graph_bytes = sum(r.rss_growth for r in build)
    print(f"{nodes} nodes, {edges} edges; graph file {size / 1e6:.1f} MB")
    by_step = {r.label: r for r in build}
    print(f"built graph: {graph_bytes / MIB:.0f} MiB resident "
          f"({by_step['add_node'].rss_growth / nodes:.0f} B per node from add_node, "
          f"{by_step['add_edge'].rss_growth / edges:.0f} B per edge from add_edge, "
          f"{graph_bytes / (nodes + edges):.0f} B per node or edge in all)")
    print(f"loaded graph: {loaded['rows'][0]['rss_growth'] / MIB:.0f} MiB resident{trimmed(loaded)}; "
          f"peak growth of loading {loaded['rows'][0]['peak_growth'] / size:.2f}x the file")
    same = [a == b for a, b in zip(json.loads(json.dumps(expected)), loaded["results"])]
    if not all(same) or loaded["names"] != names:
        first = same.index(False) if not all(same) else None
        raise AssertionError(f"loaded graph differs: node names {'agree' if loaded['names'] == names else 'DIFFER'}"
                             f", first differing check {checks[first] if first is not None else None}")
    print(f"after load_json: node names and all {len(checks)} checked calls agree")
    if not phases.exact_peak:
        print(NO_PEAK_RESET)


def trimmed(out: dict) -> str:
    growth = out["trimmed_growth"]
    return "" if growth is None else f" ({growth / MIB:.0f} MiB once the freed heap is returned)"


def print_per_call(per_call: dict[str, list[float]]) -> None:
    head = f"{'aggregation row':<26}{'calls':>7}{'median ms':>11}{'mean ms':>10}{'max ms':>10}"
    print(head)
    print("-" * len(head))
    for label, secs in per_call.items():
        print(f"{label:<26}{len(secs):>7}{statistics.median(secs) * 1e3:>11.2f}"
              f"{statistics.fmean(secs) * 1e3:>10.2f}{max(secs) * 1e3:>10.2f}")


def load_worker(args) -> dict:
    cls = run.load_class("nuvel", "nuvel:NuvelGraph")
    with open(args.checks) as f:
        checks = json.load(f)
    phases = Phases()
    before = trimmed_rss()
    g = phases.run("load_json", 1, lambda: cls.load_json(args.file))
    after = trimmed_rss()
    results = phases.run("checks on the loaded graph", len(checks), lambda: run_checks(g, checks))
    return {"rows": [dataclasses.asdict(r) for r in phases.rows], "results": results, "names": names_digest(g),
            "trimmed_growth": None if after is None else after - before, "exact_peak": phases.exact_peak}


# -- chain ---------------------------------------------------------------------


def chain_expectations(c: model_mod.Chain) -> list[tuple[str, str, list, float]]:
    """(label, method, args, exact result) of the calls on the chain."""
    n = len(c.names)
    w, top, last, module = c.workload, c.names[1], c.names[n - 2], c.module

    def paths(a: int, b: int) -> float:
        """The product of the counts from node a down to node b (exact: powers of two, then 3)."""
        return math.prod(c.counts[a:b])

    latency = c.module_metrics["latency"]["value"]
    write = c.module_metrics["energy"]["write"]["value"]
    metric = lambda mode, workload, event: ["latency", mode, "ns", workload, event]  # noqa: E731
    return [
        ("aggregate_event_count", "aggregate_event_count", [w, module], paths(0, n - 1)),
        ("module", "aggregate_event_metric", metric("module", None, top), latency * c.instance),
        ("module, workload", "aggregate_event_metric", metric("module", w, last), latency * c.instance),
        ("summation", "aggregate_event_metric", metric("summation", None, top), paths(1, n - 1) * latency),
        ("summation, workload", "aggregate_event_metric", metric("summation", w, top), paths(0, n - 1) * latency),
        ("summation, multi-operation", "aggregate_event_metric", ["energy", "summation", "pJ", w, module],
         paths(0, n - 1) * write),
        ("specified", "aggregate_event_metric", metric("specified", None, top), paths(1, n - 2) * c.specified),
        ("specified, workload", "aggregate_event_metric", metric("specified", w, last), paths(0, n - 2) * c.specified),
    ]


def chain_worker(args) -> dict:
    cls = run.load_class("nuvel", "nuvel:NuvelGraph")
    c = model_mod.chain(args.chain)
    sources, targets = c.names[:-1], c.names[1:]
    consume = run.consume
    phases = Phases()
    g = cls()
    phases.run("chain: add_node", len(c.names), lambda: consume(map(g.add_node, c.names)))
    phases.run("chain: add_edge", len(sources), lambda: consume(map(g.add_edge, sources, targets)))

    def annotate():
        consume(map(g.set_edge_count, sources, targets, c.counts))
        consume(map(g.set_edge_aggregation, sources, targets, c.aggregations))
        g.init_metrics(c.metric_units)
        g.set_module_data(c.module, c.module_metrics, c.instance, [])
        g.set_node_specified_metric(c.names[-2], "latency", c.specified, "ns")
        g.set_edge_operation(c.names[-2], c.module, c.operation)

    phases.run("chain: annotate", 2 * len(sources) + 4, annotate)
    failures = []
    for label, method, call_args, exact in chain_expectations(c):
        result = phases.run(f"chain: {label}", 1, lambda: getattr(g, method)(*call_args), collector=False)
        value = result if isinstance(result, float) else result["value"]
        if value != exact:
            failures.append(f"{label}: {value!r}, expected {exact!r}")
    path = os.path.join(args.dir, "chain.json")
    phases.run("chain: save_json", 1, lambda: g.save_json(path))
    size = os.path.getsize(path)
    del g
    gc.collect()
    before = trimmed_rss()
    loaded = phases.run("chain: load_json", 1, lambda: cls.load_json(path))
    after = trimmed_rss()
    os.remove(path)
    label, method, call_args, exact = chain_expectations(c)[0]
    if getattr(loaded, method)(*call_args) != exact:
        failures.append(f"{label} after load_json differs")
    return {"rows": [dataclasses.asdict(r) for r in phases.rows], "file_size": size, "failures": failures,
            "trimmed_growth": None if after is None else after - before, "exact_peak": phases.exact_peak}


def run_chain(args, tmp: str) -> None:
    out = spawn(["--worker", "chain", "--chain", str(args.chain), "--dir", tmp])
    rows = [Phase(**row) for row in out["rows"]]
    print(f"chain: {args.chain} nodes, {args.chain - 1} edges, in a fresh process; "
          f"graph file {out['file_size'] / 1e6:.1f} MB")
    print_phases(rows)
    if out["failures"]:
        raise AssertionError("chain results differ: " + "; ".join(out["failures"]))
    built = sum(r.rss_growth for r in rows[:3])
    print(f"built chain: {built / MIB:.0f} MiB resident, {built / args.chain:.0f} B per node (with its edge); "
          f"loaded chain: {rows[-1].rss_growth / MIB:.0f} MiB resident{trimmed(out)}")
    print("every result equals its exact value")
    if not out["exact_peak"]:
        print(NO_PEAK_RESET)


# -- main ----------------------------------------------------------------------


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--scale", type=int, default=500, help="model size; 500 gives 1,000,000 nodes (default 500)")
    p.add_argument("--seed", type=int, default=1, help="model seed (default 1)")
    p.add_argument("--calls", type=int, help="at most this many calls per aggregation row (default: the whole sample)")
    p.add_argument("--check-calls", type=int, default=5,
                   help="calls per aggregation row repeated on the loaded graph (default 5)")
    p.add_argument("--chain", type=int, default=1_000_000, help="nodes of the chain; 0 skips it (default 1000000)")
    p.add_argument("--no-model", action="store_true", help="run the chain only")
    p.add_argument("--keep", metavar="PATH", help="copy the model's graph file to PATH")
    p.add_argument("--worker", choices=("load", "chain"), help=argparse.SUPPRESS)
    p.add_argument("--file", help=argparse.SUPPRESS)
    p.add_argument("--checks", help=argparse.SUPPRESS)
    p.add_argument("--dir", help=argparse.SUPPRESS)
    return p.parse_args(argv)


def main(argv=None) -> int:
    args = parse_args(argv)
    # The module mode with a workload logs a warning per call.
    logging.getLogger("nuvel_core").addHandler(logging.NullHandler())
    if args.worker == "load":
        print(json.dumps(load_worker(args)))
        return 0
    if args.worker == "chain":
        print(json.dumps(chain_worker(args)))
        return 0
    started = time.perf_counter()
    print(f"python {sys.version.split()[0]}")
    with tempfile.TemporaryDirectory(prefix="nuvel-scale-") as tmp:
        if not args.no_model:
            run_model(args, tmp)
        if args.chain:
            if not args.no_model:
                print()
            run_chain(args, tmp)
    print(f"\ntotal run time {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
