"""Seeded synthetic architecture model for the benchmarks.

The model is built from ``scale`` blocks. Every block has the same shape:

    workloads (2) -> level-1 events (48) -> level-2 events (250)
                  -> level-3 events (500) -> modules (1200)

so one block holds 2000 nodes and about 6,000 edge additions, and scale 50 gives
100,000 nodes and about 290,000 distinct edges. Each node of a level below
the top has at least one parent, and most have several (level-3 events and
modules are shared by about three parents each). A share of the edges reaches
into the previous block, so sub-graphs overlap across blocks. Edges only point
one level down, so the graph is acyclic.

Besides the plain structure the model holds what exercises the store's
special cases:

* repeated ``add_edge`` calls for pairs added earlier (about 5 %), which the
  store merges;
* a few module names added a second time (with another performance path)
  after all other nodes; edges to such a name attach to the newer node and
  the older one stays behind as an unconnected leaf;
* a count and an aggregation text ("parallel" or "sequential") for every
  distinct edge;
* module data for every module: two or three of four metrics, some of them
  reported per operation (two or three of read/write/atomic), an instance
  count and up to three tags; per-metric factors on a share of the edges and
  operation names on another share; a specified latency on every level-3
  event (the events connected only to modules, which the ``specified``
  aggregation takes its values from; the events above them combine their
  sub-events);
* a sample of aggregation calls: events of every level (workloads
  included) for unscaled calls, and (workload, event) pairs joined by at
  least one path for scaled calls and ``aggregate_event_count``.

The metric data and the aggregation sample come from random streams of
their own, so the structure of a model does not depend on them.

``ladder(depth)`` builds the path-heavy graph of the benchmarks: a workload,
``depth`` levels of two events each, every event linked to both events of
the next level, and a bottom event above one module, so that 2**depth paths
lead from the workload to the bottom event. ``chain(length)`` builds the
deepest graph: ``length`` nodes in one line, a workload at the top and a
module at the bottom.

Everything is returned as plain lists of str and float, so every
implementation under test is fed exactly the same calls in the same order.
"""

from __future__ import annotations

import random
from dataclasses import dataclass, field

#: Nodes per level in one block, top to bottom.
WORKLOADS = 2
LEVEL1 = 48
LEVEL2 = 250
LEVEL3 = 500
MODULES = 1200

#: Out-degree of every node of a level (workloads, level 1, 2, 3).
FANOUT = (24, 10, 7, 7)

#: Share of edges whose target lies in the previous block.
CROSS_BLOCK = 0.15
#: Chance that an edge addition is followed by a repeat of an earlier pair.
REPEAT = 0.05
#: Module names per block that are added a second time.
DUPLICATE_NAMES = 2
#: Share of events that carry a performance path (modules always do).
EVENT_PERF = 0.3

NODES_PER_BLOCK = WORKLOADS + LEVEL1 + LEVEL2 + LEVEL3 + MODULES

_COUNTS = (1.0, 1.0, 1.0, 2.0, 4.0, 8.0, 0.5, 16.0, 3.0, 64.0)

#: Metrics given to ``init_metrics``, with their units.
METRIC_UNITS = {"latency": "ns", "bandwidth": "GB/s", "energy": "pJ", "area": "um^2"}
#: Metrics that a module may report per operation, and the operations.
MULTI_METRICS = ("bandwidth", "energy")
OPERATIONS = ("read", "write", "atomic")
#: Chance that a module reports a metric of MULTI_METRICS per operation.
MULTI_OP = 0.4
#: Tags drawn for modules (up to three each).
TAGS = tuple(f"group{i}" for i in range(16))
_INSTANCES = (1, 1, 1, 2, 4, 8, 16)
#: Share of distinct edges that get factors, and operation names.
FACTOR_SHARE = 0.3
OPERATION_SHARE = 0.2
_FACTORS = (0.5, 1.0, 2.0, 0.25, 4.0, 1.5)


@dataclass
class Model:
    """A generated model as parallel lists of call arguments.

    ``node_names``/``node_perfs``: arguments of every ``add_node`` call, in
    order (a name may occur twice). ``edge_sources``/``edge_targets``:
    arguments of every ``add_edge`` call, in order, repeats included.
    ``pair_sources``/``pair_targets``: each distinct edge once, in order of
    first addition, with its ``counts`` and ``aggregations``.
    """

    scale: int
    seed: int
    node_names: list[str] = field(default_factory=list)
    node_perfs: list[str | None] = field(default_factory=list)
    edge_sources: list[str] = field(default_factory=list)
    edge_targets: list[str] = field(default_factory=list)
    pair_sources: list[str] = field(default_factory=list)
    pair_targets: list[str] = field(default_factory=list)
    counts: list[float] = field(default_factory=list)
    aggregations: list[str] = field(default_factory=list)
    # Module data: one set_module_data call per distinct module name.
    metric_units: dict[str, str] = field(default_factory=dict)
    module_names: list[str] = field(default_factory=list)
    module_metrics: list[dict] = field(default_factory=list)
    module_instances: list[int] = field(default_factory=list)
    module_tags: list[list[str]] = field(default_factory=list)
    # Edge annotations: each a share of the distinct edges.
    factor_sources: list[str] = field(default_factory=list)
    factor_targets: list[str] = field(default_factory=list)
    factors: list[dict[str, float]] = field(default_factory=list)
    operation_sources: list[str] = field(default_factory=list)
    operation_targets: list[str] = field(default_factory=list)
    operations: list[dict[str, str]] = field(default_factory=list)
    # set_node_specified_metric calls (every level-3 event, latency).
    specified_nodes: list[str] = field(default_factory=list)
    specified_metrics: list[str] = field(default_factory=list)
    specified_values: list[float] = field(default_factory=list)
    specified_units: list[str] = field(default_factory=list)
    # query_module_metric: every module, metric and operation, with the answer.
    query_metrics: list[str] = field(default_factory=list)
    query_modules: list[str] = field(default_factory=list)
    query_operations: list[str | None] = field(default_factory=list)
    query_expected: list[dict] = field(default_factory=list)
    # Aggregation sample: events for unscaled calls, (workload, event) pairs
    # joined by a path for scaled ones.
    agg_events: list[str] = field(default_factory=list)
    agg_workloads: list[str] = field(default_factory=list)
    agg_targets: list[str] = field(default_factory=list)

    @property
    def unique_names(self) -> list[str]:
        """Every node name once, in order of first addition."""
        return list(dict.fromkeys(self.node_names))

    def summary(self) -> str:
        return (
            f"scale {self.scale}, seed {self.seed}: "
            f"{len(self.node_names)} add_node ({len(set(self.node_names))} names), "
            f"{len(self.edge_sources)} add_edge ({len(self.pair_sources)} edges, "
            f"{len(self.edge_sources) - len(self.pair_sources)} merges), "
            f"{len(self.module_names)} modules with data ({len(self.query_metrics)} metric values)"
        )


def _block_names(b: int) -> list[list[str]]:
    return [
        [f"b{b}/workload{i}" for i in range(WORKLOADS)],
        [f"b{b}/l1/event{i}" for i in range(LEVEL1)],
        [f"b{b}/l2/event{i}" for i in range(LEVEL2)],
        [f"b{b}/l3/event{i}" for i in range(LEVEL3)],
        [f"b{b}/module/m{i}" for i in range(MODULES)],
    ]


def generate(scale: int, seed: int = 1) -> Model:
    """Build the model of ``scale`` blocks from ``seed``; same input, same model."""
    if scale < 1:
        raise ValueError("scale must be at least 1")
    rng = random.Random(seed)
    m = Model(scale, seed)
    blocks = [_block_names(b) for b in range(scale)]

    # Nodes: block by block, each block top-down.
    for b, levels in enumerate(blocks):
        for depth, names in enumerate(levels):
            for name in names:
                m.node_names.append(name)
                if depth == 4:
                    m.node_perfs.append(f"perf/b{b}/{name.rsplit('/', 1)[1]}.yaml")
                elif depth > 0 and rng.random() < EVENT_PERF:
                    m.node_perfs.append(f"perf/b{b}/events/{name.replace('/', '_')}.yaml")
                else:
                    m.node_perfs.append(None)
    for b, levels in enumerate(blocks):
        for name in rng.sample(levels[4], DUPLICATE_NAMES):
            m.node_names.append(name)
            m.node_perfs.append(f"perf/b{b}/rebuilt/{name.rsplit('/', 1)[1]}.yaml")

    # Edges: block by block, level by level, grouped by parent as a front end
    # walking the model top-down would add them.
    seen: set[tuple[str, str]] = set()
    pair_src, pair_tgt = m.pair_sources, m.pair_targets
    add_src, add_tgt = m.edge_sources, m.edge_targets
    rand = rng.random
    randrange = rng.randrange

    def emit(s: str, t: str) -> None:
        add_src.append(s)
        add_tgt.append(t)
        if (s, t) not in seen:
            seen.add((s, t))
            pair_src.append(s)
            pair_tgt.append(t)
        if rand() < REPEAT:
            k = randrange(len(pair_src))
            add_src.append(pair_src[k])
            add_tgt.append(pair_tgt[k])

    for b, levels in enumerate(blocks):
        for depth in range(4):
            parents = levels[depth]
            children = levels[depth + 1]
            previous = blocks[b - 1][depth + 1] if b > 0 else None
            fanout = FANOUT[depth]
            # Every child gets one parent, spread round robin; the rest of each
            # parent's fan-out is drawn at random, partly from the previous block.
            chosen: list[list[str]] = [[] for _ in parents]
            for j, child in enumerate(children):
                chosen[j % len(parents)].append(child)
            for picks in chosen:
                taken = set(picks)
                while len(picks) < fanout:
                    pool = previous if previous and rand() < CROSS_BLOCK else children
                    child = pool[randrange(len(pool))]
                    if child not in taken:
                        taken.add(child)
                        picks.append(child)
                rng.shuffle(picks)
            for parent, picks in zip(parents, chosen):
                for child in picks:
                    emit(parent, child)

    for _ in pair_src:
        m.counts.append(rng.choice(_COUNTS))
        m.aggregations.append("parallel" if rand() < 0.6 else "sequential")
    _metric_data(m, blocks, random.Random(f"{seed}/metrics"))
    _aggregation_sample(m, blocks, random.Random(f"{seed}/aggregation"))
    return m


#: Size of the aggregation sample: events per level (workloads and three
#: event levels), and workloads times events per workload for the pairs.
SAMPLE_PER_LEVEL = 100
SAMPLE_WORKLOADS = 40
SAMPLE_PER_WORKLOAD = 10


def _aggregation_sample(m: Model, blocks: list[list[list[str]]], rng: random.Random) -> None:
    for depth in range(4):
        level = [name for levels in blocks for name in levels[depth]]
        m.agg_events += rng.sample(level, min(SAMPLE_PER_LEVEL, len(level)))
    rng.shuffle(m.agg_events)
    children: dict[str, list[str]] = {}
    for s, t in zip(m.pair_sources, m.pair_targets):
        children.setdefault(s, []).append(t)
    workloads = [name for levels in blocks for name in levels[0]]
    for workload in rng.sample(workloads, min(SAMPLE_WORKLOADS, len(workloads))):
        # Events below the workload, by level, so that every level is drawn.
        front = [workload]
        by_level = []
        for _ in range(3):
            front = list(dict.fromkeys(t for s in front for t in children.get(s, ())))
            by_level.append(front)
        for k in range(SAMPLE_PER_WORKLOAD):
            m.agg_workloads.append(workload)
            m.agg_targets.append(rng.choice(by_level[k % 3]))


@dataclass
class Ladder:
    """The path-heavy graph: workload -> depth levels of two events -> bottom -> module."""

    depth: int
    top: str
    bottom: str
    module: str
    names: list[str]
    sources: list[str]
    targets: list[str]
    counts: list[float]
    factor_sources: list[str]
    factor_targets: list[str]
    factors: list[dict[str, float]]
    metric_units: dict[str, str]
    module_metrics: dict

    @property
    def paths(self) -> int:
        return 2**self.depth


def ladder(depth: int = 20) -> Ladder:
    levels = [[f"ladder/{k}/a", f"ladder/{k}/b"] for k in range(1, depth + 1)]
    top, bottom, module = "ladder/top", "ladder/bottom", "ladder/module"
    sources, targets, counts = [], [], []
    fs, ft, factors = [], [], []
    for upper, lower in zip([[top]] + levels, levels + [[bottom]]):
        for s in upper:
            for t in lower:
                sources.append(s)
                targets.append(t)
                # Counts 1 and 0.5 keep the path sums exact and far from overflow.
                counts.append(0.5 if t.endswith("/b") else 1.0)
                if t.endswith("/a") and s.endswith("/b"):
                    fs.append(s)
                    ft.append(t)
                    factors.append({"latency": 1.5})
    sources.append(bottom)
    targets.append(module)
    counts.append(3.0)
    names = [top] + [name for level in levels for name in level] + [bottom, module]
    return Ladder(
        depth, top, bottom, module, names, sources, targets, counts, fs, ft, factors,
        {"latency": "ns"}, {"latency": {"value": 2.0, "unit": "ns"}},
    )


def level(name: str) -> int:
    """Level of a node name of ``generate``: 0 for workloads, 1 to 3 for the
    event levels, 4 for modules."""
    return {"l1": 1, "l2": 2, "l3": 3, "module": 4}.get(name.split("/", 2)[1], 0)


@dataclass
class Chain:
    """A workload above ``length - 2`` events in a line and one module.

    Counts alternate 2.0 and 0.5 (exact products), aggregation texts
    alternate "parallel" and "sequential"; the last event carries a
    specified latency, and the module a single latency and a per-operation
    energy, whose operation the last edge names."""

    names: list[str]
    counts: list[float]  # counts[i]: the edge names[i] -> names[i + 1]
    aggregations: list[str]
    metric_units: dict[str, str]
    module_metrics: dict
    instance: int
    specified: float
    operation: dict[str, str]

    @property
    def workload(self) -> str:
        return self.names[0]

    @property
    def module(self) -> str:
        return self.names[-1]


def chain(length: int = 1_000_000) -> Chain:
    if length < 3:
        raise ValueError("a chain needs at least 3 nodes")
    width = len(str(length - 1))
    names = ["chain/workload"] + [f"chain/e{i:0{width}d}" for i in range(1, length - 1)] + ["chain/module"]
    edges = length - 1
    counts = [2.0 if i % 2 == 0 else 0.5 for i in range(edges - 1)] + [3.0]
    aggregations = ["parallel" if i % 2 == 0 else "sequential" for i in range(edges)]
    metrics = {
        "latency": {"value": 2.0, "unit": "ns"},
        "energy": {"read": {"value": 1.5, "unit": "pJ"}, "write": {"value": 2.5, "unit": "pJ"}},
    }
    return Chain(names, counts, aggregations, {"latency": "ns", "energy": "pJ"}, metrics, 4, 5.0,
                 {"energy": "write"})


def _metric_data(m: Model, blocks: list[list[list[str]]], rng: random.Random) -> None:
    rand = rng.random
    m.metric_units = dict(METRIC_UNITS)
    names = list(METRIC_UNITS)
    for levels in blocks:
        for module in levels[4]:
            data = {}
            for metric in rng.sample(names, rng.choice((2, 3))):
                unit = METRIC_UNITS[metric]
                if metric in MULTI_METRICS and rand() < MULTI_OP:
                    ops = rng.sample(OPERATIONS, rng.choice((2, 3)))
                    data[metric] = {op: {"value": rand() * 100.0, "unit": unit} for op in ops}
                    for op in ops:
                        _expect(m, metric, module, op, data[metric][op])
                else:
                    data[metric] = {"value": rand() * 100.0, "unit": unit}
                    _expect(m, metric, module, None, data[metric])
            m.module_names.append(module)
            m.module_metrics.append(data)
            m.module_instances.append(rng.choice(_INSTANCES))
            m.module_tags.append(rng.sample(TAGS, rng.randrange(4)))
        for event in levels[3]:
            m.specified_nodes.append(event)
            m.specified_metrics.append("latency")
            m.specified_values.append(rand() * 1000.0)
            m.specified_units.append("ns")
    for s, t in zip(m.pair_sources, m.pair_targets):
        if rand() < FACTOR_SHARE:
            m.factor_sources.append(s)
            m.factor_targets.append(t)
            m.factors.append({metric: rng.choice(_FACTORS) for metric in rng.sample(names, rng.choice((1, 2)))})
        if rand() < OPERATION_SHARE:
            m.operation_sources.append(s)
            m.operation_targets.append(t)
            metrics = rng.sample(MULTI_METRICS, rng.choice((1, 2)))
            m.operations.append({metric: rng.choice(OPERATIONS) for metric in metrics})


def _expect(m: Model, metric: str, module: str, op: str | None, single: dict) -> None:
    m.query_metrics.append(metric)
    m.query_modules.append(module)
    m.query_operations.append(op)
    m.query_expected.append({"value": float(single["value"]), "unit": single["unit"]})


if __name__ == "__main__":
    import sys
    import time

    t0 = time.perf_counter()
    model = generate(int(sys.argv[1]) if len(sys.argv) > 1 else 50)
    print(model.summary(), f"in {time.perf_counter() - t0:.2f} s")
