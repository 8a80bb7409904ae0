"""The aggregation engine against the pure model on seeded random layered
graphs, call by call, with the graph changed between calls; batch calls
against the single calls of their events."""

import math
import random
import subprocess
import sys
from pathlib import Path

import pytest
from pure_compare import Driver, bits, outcome, saved

METRICS = ("lat", "bw", "en")
UNITS = {"lat": "ns", "bw": "B/s", "en": "pJ"}
# Mixed case, characters that the legal-values list escapes (quote, backslash,
# tab, a control character, a combining mark) and a non-ASCII upper case.
OPERATIONS = ("read", "write", "atomic", "Read", 'q"\\', "tab\t", "\x07bell", "e\u0301c", "ÉCRIT", "écrit")
EDGE_OPERATIONS = ("read", "READ", "Write", "write", "ATOMIC", "ReAd", "bogus", "ÉCRIT", "écrit", 'Q"\\', "TAB\t")
COUNTS = (1, 1.0, 2.0, 3, 0.0, -0.0, 0.5, 0.1, 2.5, 1e-3, 7.0, -1.5, 1e300)
FACTORS = (0.5, 2.0, 0.1, 3.0, 0.0, -0.0, -1.0, 1.0 / 3.0)
VALUES = (0.0, 1.0, 2.5, 0.1, 0.2, -3.0, 1e-7, 123456.789, 1e16)
AGGREGATIONS = ("parallel", "parallel", "parallel", "sequential", "sequential", "Parallel", "other", "")
PREFIXES = ("n", "n", "n", "ev%s", "a b", "µ", "q'\"", "<x>")

SEEDS = 300
CALLS_PER_SEED = 40


def random_build(rng, most=40):
    """Build steps (method name, args) of a random layered graph of at most
    `most` nodes, plus the names by role, for choosing call arguments."""
    count = rng.randint(5, most)
    layers = rng.randint(2, min(5, count - 1))
    layer_of = [i if i <= layers else rng.randint(0, layers) for i in range(count)]
    rng.shuffle(layer_of)
    layer_of.sort()
    names = [f"{rng.choice(PREFIXES)}{i}" for i in range(count)]
    # init_metrics mostly after the last node, sometimes before the last few.
    init_at = rng.choice((count, count, count, rng.randrange(count // 2, count + 1), None))
    units = {m: UNITS[m] for m in METRICS if m != "en" or rng.random() < 0.5}
    steps = [("add_node", (name,)) for name in names]
    if init_at is not None:
        steps.insert(init_at, ("init_metrics", (units,)))

    edges, children = [], [[] for _ in names]
    by_layer = [[i for i in range(count) if layer_of[i] == d] for d in range(layers + 1)]
    for i in range(count):
        d = layer_of[i]
        if d == layers:
            continue
        for _ in range(rng.choice((1, 1, 2, 2, 3, 4))):
            pool = by_layer[d + 1] if rng.random() < 0.75 else [j for j in range(count) if layer_of[j] > d]
            j = rng.choice(pool)
            steps.append(("add_edge", (names[i], names[j])))
            if j not in children[i]:
                children[i].append(j)
                edges.append((i, j))
            elif rng.random() < 0.5:
                steps.append(("add_edge", (names[i], names[j])))
    rng.shuffle(edges)
    if rng.random() < 0.08:
        # A cycle: a back edge or a self-loop.
        i = rng.randrange(count)
        deeper = [j for j in range(count) if layer_of[j] > layer_of[i] or j == i]
        j = rng.choice(deeper)
        steps.append(("add_edge", (names[j], names[i])))
        edges.append((j, i))
        children[j].append(i)
    if rng.random() < 0.2:
        # A name added again: lookups find the new, unconnected node.
        steps.insert(rng.randrange(count, len(steps) + 1), ("add_node", (rng.choice(names),)))

    leaves = {i for i in range(count) if not children[i]}
    multi, data_of = [], {}
    for i in range(count):
        if rng.random() >= (0.85 if i in leaves else 0.05):
            continue
        data = data_of[i] = {}
        for m in METRICS:
            if rng.random() < 0.15:
                continue
            if rng.random() < (0.05 if m == "lat" else 0.4):
                ops = rng.sample(OPERATIONS, rng.choice((0, 1, 2, 2, 3, 3, 4)))
                data[m] = {op: {"value": random_value(rng), "unit": UNITS[m]} for op in ops}
                multi.append(names[i])
            else:
                data[m] = {"value": random_value(rng), "unit": rng.choice((UNITS[m], "x%"))}
        steps.append(("set_module_data", (names[i], data, rng.choice((1, 2, 3, 0.5, 4.0)), [])))

    def edge_operation(j, m):
        # Mostly an operation of the target, in some letter case.
        ops = list(data_of.get(j, {}).get(m, ()))
        if ops and "value" not in ops and rng.random() < 0.8:
            op = rng.choice(ops)
            return rng.choice((op, op.upper(), op.title()))
        return rng.choice(EDGE_OPERATIONS)

    for i, j in edges:
        s, t = names[i], names[j]
        if rng.random() < 0.6:
            steps.append(("set_edge_count", (s, t, rng.choice(COUNTS))))
        if rng.random() < 0.5:
            steps.append(("set_edge_aggregation", (s, t, rng.choice(AGGREGATIONS))))
        if rng.random() < 0.3:
            factor = {m: rng.choice(FACTORS) for m in rng.sample(METRICS + ("zz",), rng.choice((1, 2)))}
            steps.append(("set_edge_factor", (s, t, factor)))
        if rng.random() < (0.85 if j in leaves else 0.15):
            ops = {m: edge_operation(j, m) for m in rng.sample(METRICS, rng.choice((1, 2, 3)))}
            steps.append(("set_edge_operation", (s, t, ops)))

    for i in range(count):
        if i in leaves:
            continue
        only_leaves = all(j in leaves for j in children[i])
        for m in METRICS:
            if rng.random() < (0.8 if only_leaves else 0.08):
                steps.append(("set_node_specified_metric", (names[i], m, random_value(rng), UNITS[m])))
    below = [set() for _ in names]
    for i in reversed(range(count)):  # layers ascend with the index
        for j in children[i]:
            if j > i:
                below[i] |= {j} | below[j]
    roles = {
        "top": [names[i] for i in by_layer[0]],
        "below": {names[i]: sorted(names[j] for j in below[i]) for i in range(count)},
        "events": sorted({names[i] for i in range(count) if children[i]}),
        "all": names,
        "multi": multi or names,
        "modules": sorted(names[i] for i in leaves) or names,  # a cycle may leave none
        "layer": {names[i]: layer_of[i] for i in range(count)},
        "edges": [(names[i], names[j]) for i, j in edges],
    }
    return steps, roles


def random_value(rng):
    x = rng.random()
    if x < 0.03:
        return rng.choice((math.nan, math.inf))
    if x < 0.5:
        return rng.choice(VALUES)
    return rng.uniform(-10.0, 100.0) if x < 0.6 else rng.uniform(0.0, 100.0)


def pick(rng, roles, extra=0.05):
    x = rng.random()
    if x < extra:
        return "missing"
    if x < 0.55:
        return rng.choice(roles["events"] or roles["all"])
    return rng.choice(roles["all"])


def random_change(rng, roles, k):
    """A change of the graph between two calls: cached orders and columns must follow it."""
    names, layer = roles["all"], roles["layer"]
    x = rng.random()
    if x < 0.4:
        # A new module under any node (a module may become an event).
        late = f"late{k}"
        return [("add_node", (late,)), ("add_edge", (rng.choice(names), late)),
                ("set_module_data", (late, {"lat": {"value": random_value(rng), "unit": "ns"}}, 2, []))]
    if x < 0.55:
        # New data on a node, or every metric zeroed: cached values must follow.
        value = {"value": random_value(rng), "unit": "ns"}
        data = {"lat": value if rng.random() < 0.8 else {"rd": value}}
        node = rng.choice(roles["modules"] if rng.random() < 0.8 else names)
        return [("set_module_data", (node, data, rng.choice((1, 3, 0.5)), []))]
    if x < 0.6:
        return [("init_metrics", ({"lat": "ns"},))]
    if x < 0.7:
        return [("set_edge_factor", (*rng.choice(roles["edges"]), {m: rng.choice(FACTORS) for m in METRICS}))]
    a, b = rng.choice(names), rng.choice(names)
    if x < 0.9 and layer[a] > layer[b]:
        a, b = b, a
    steps = [("add_edge", (a, b))]
    if layer[a] != layer[b] and rng.random() < 0.5:
        steps.append(("set_edge_count", (a, b, rng.choice(COUNTS))))
    return steps


def random_calls(rng, roles, changes=0.08):
    calls = []
    for k in range(CALLS_PER_SEED):
        if rng.random() < changes:
            calls += random_change(rng, roles, k)
        event = pick(rng, roles)
        x = rng.random()
        if x < 0.5:
            # Mostly a pair joined by a path.
            workload = rng.choice(roles["top"] if rng.random() < 0.7 else roles["events"] or roles["all"])
            below = roles["below"][workload]
            if rng.random() < 0.6:
                below = [name for name in below if name in roles["events"]]
            event = rng.choice(below or [event])
        elif x < 0.6:
            workload = None
        elif x < 0.65:
            workload = event
        elif x < 0.7:
            workload = "missing"
        elif x < 0.85:
            workload = rng.choice(roles["top"])
        else:
            workload = rng.choice(roles["all"])
        if rng.random() < 0.2:
            calls.append(("aggregate_event_count", (workload, event if rng.random() > 0.03 else None)))
            continue
        if rng.random() < 0.45:
            workload = None
        mode = rng.choice(("module", "summation", "specified") * 6 + ("Module", "sum", ""))
        metric = rng.choice(METRICS * 5 + ("zz",))
        if mode == "summation" and rng.random() < 0.3:
            event = rng.choice(roles["multi"])
            above = [name for name, below in roles["below"].items() if event in below]
            if above and rng.random() < 0.8:
                workload = rng.choice(above)
        unit = rng.choice(("ns", "u%d", "µs"))
        calls.append(("aggregate_event_metric", (metric, mode, unit, workload, event)))
    # Every event's values as the reset of the next call reports them.
    calls += [("aggregate_event_metric", (m, "-", "", None, roles["all"][0])) for m in METRICS]
    return calls


def random_pair(seed, capture=None, most=40):
    """A Driver with a random layered graph built on it; the random stream and the names by role."""
    rng = random.Random(seed)
    steps, roles = random_build(rng, most)
    pair = Driver(capture=capture)
    for method, args in steps:
        pair.both(method, *args)
    return rng, roles, pair


def compare_seeds(first, capture, folder):
    """Every fifth seed changes the graph between nearly every two calls, so
    the order the engine keeps across additions must be the one it would
    compute anew; every fourth then compares batch calls."""
    for seed in range(first, first + SEEDS):
        rng, roles, pair = random_pair(seed, capture)
        for method, args in random_calls(rng, roles, changes=0.6 if seed % 5 == 0 else 0.08):
            pair.both(method, *args)
        if seed % 4 == 0:
            compare_batches(rng, roles, pair, folder)


def default_events(pure, workload):
    """The events a batch call covers without a list: every node with
    out-edges that its name finds, in node order, below the workload if any."""
    w = pure._index.get(workload)
    return [node.name for i, node in enumerate(pure._nodes)
            if node.out_edges and pure._index[node.name] == i
            and (w is None or (i != w and pure._reaches(w, i)))]


def single_calls(graph, method, args, names):
    """The batch outcome the single calls give: their values in order, or the first failure."""
    values = {}
    for name in dict.fromkeys(names):
        key, _, value = outcome(graph, method.removesuffix("s"), args[:-1] + (name,))
        if key[0] != "ok":
            return key
        values[name] = value["value"] if isinstance(value, dict) else value
    return ("ok", bits(values))


def compare_batches(rng, roles, pair, folder):
    """Batch calls against the single calls of their events, failures included,
    between changes; a batch call leaves no record and no trace in the graph."""
    nuvel = pair.graph
    for k in range(12):
        for method, args in random_change(rng, roles, k) if rng.random() < 0.4 else ():
            pair.both(method, *args)
        workload = rng.choice((None, None, rng.choice(roles["top"]), pick(rng, roles)))
        events = None
        if rng.random() < 0.6:
            events = [pick(rng, roles, extra=0.02) for _ in range(rng.randint(0, 8))]
            events += rng.sample(events, min(len(events), 1))
        if rng.random() < 0.3:
            method, args = "aggregate_event_counts", (workload or rng.choice(roles["top"]), events)
        else:
            mode = rng.choice(("module", "summation", "specified") * 3 + ("sum",))
            method, args = "aggregate_event_metrics", (rng.choice(METRICS + ("zz",)), mode, "ns", workload, events)
        before = saved(nuvel, folder / "before.json")
        key, records, _ = outcome(nuvel, method, args, capture=pair.capture)
        assert records == [] and saved(nuvel, folder / "after.json") == before
        names = default_events(pair.model, args[-2]) if events is None else events
        assert key == single_calls(nuvel, method, args, names), (k, method, args)


def test_engine_and_batches_match_reference(seed, capture, tmp_path):
    compare_seeds(seed, capture, tmp_path)


@pytest.mark.parametrize("level", ["INFO", "WARNING"])
def test_with_less_narration(seed, level):
    """These comparisons and half the sequences of test_stateful in a fresh
    interpreter whose loggers start at `level`: records are dropped natively
    and the engine takes its fast passes, which must give the same bits and records."""
    script = f"""
import logging, sys, tempfile
from pathlib import Path
sys.path.insert(0, {str(Path(__file__).resolve().parent)!r})
logging.getLogger("nuvel_core").setLevel(logging.{level})
import test_aggregate_differential as d
import test_stateful as t
from pure_compare import Capture
capture = Capture()
with tempfile.TemporaryDirectory() as folder:
    d.compare_seeds({seed}, capture, Path(folder))
capture.detach()
t.run_machine({seed}, t.EXAMPLES // 2)
print("ok")
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=3000)
    assert done.returncode == 0 and done.stdout.split() == ["ok"], done.stdout[-3000:] + done.stderr[-3000:]
