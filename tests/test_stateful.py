"""Random call sequences on a NuvelGraph and a PureGraph, compared call by call.

Every rule calls one of the 24 methods on both graphs with the same
arguments, valid or not, and requires the same outcome: result (floats by
their bits), exception type and text, and the log records of the call, in
order. Saved files are compared byte for byte; loaded graphs replace the pair
now and then, so that later calls run on them. Names come from a small set,
so that calls often meet existing nodes and edges.

The run is bounded and seeded from the `seed` fixture (NUVEL_SEED);
NUVEL_FUZZ_EXAMPLES sets the number of sequences (README.md, Commands).
test_aggregate_differential runs the machine again at less narration.
"""

import math
import os
import shutil
import tempfile
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import hypothesis
from hypothesis import HealthCheck, event, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, precondition, rule, run_state_machine_as_test
from pure_compare import Capture, NuvelGraph, PureGraph, compare, run


class Text(str):
    pass


class Label:
    class Inner:
        pass


class HasIndex:
    def __index__(self):
        return 3


class FloatFails:
    def __float__(self):
        raise ValueError("no float here")


BASE = ("w", "e", "a", "b", "m")  # built first, in this order, with edges pointing forward
NAMES = BASE + ("", "q\"'", "µé", "x\ny", "%s\x00")
BAD_KEYS = (1, None, b"a", 2.5, "\ud800")
BAD_TEXTS = BAD_KEYS + (["a"], "a\udfff", Text("a"), Label(), Label.Inner())
GOOD_NUMBERS = (0.0, -0.0, 1, 2, 3.0, 0.5, -1.5, 2.5, 1e-7, 1e300, -1e308, 5e-324,
                math.nan, math.inf, -math.inf, True, 2**53 + 1, Fraction(1, 3), Decimal("0.1"), HasIndex())
BAD_NUMBERS = ("1", None, b"1", [1.0], 1j, Label(), FloatFails())
METRICS = ("lat", "bw", "", "x%s")
UNITS = ("ns", "", "µs", "%d")
OPERATIONS = ("rd", "wr", "RD", "Wr", "value", "unit", "ÉCRIT", "écrit", 'q"\\')
MODES = ("module", "summation", "specified") * 5 + ("Module", "", "sum")
AGGREGATIONS = ("parallel", "sequential", "Parallel", "", "other")
NOT_DICTS = ([], "x", None, 5, [("lat", "ns")])
MAX_EDGES = 36  # paths are enumerated exhaustively; keep their number small


def often(good, bad):
    """Mostly `good`, one draw in ten `bad`."""
    return st.integers(0, 9).flatmap(lambda k: bad if k == 9 else good)


names = st.one_of(st.sampled_from(BASE), st.sampled_from(BASE), st.sampled_from(NAMES))
texts = often(names, st.sampled_from(BAD_TEXTS))
optional_texts = st.one_of(st.none(), texts)
# Ints beyond the double range, built lazily: their repr would swamp reports.
huge_ints = st.sampled_from((400, -400, 1000)).map(lambda k: (10 ** abs(k)) * (1 if k > 0 else -1))
numbers = often(st.one_of(st.sampled_from(GOOD_NUMBERS), st.floats(), st.integers(-(2**64), 2**64)),
                st.one_of(st.sampled_from(BAD_NUMBERS), huge_ints))
metric_names = st.one_of(st.sampled_from(METRICS[:2]), st.sampled_from(METRICS))
metric_texts = often(metric_names, st.sampled_from(BAD_TEXTS))
metric_keys = often(metric_names, st.sampled_from(BAD_KEYS))
units = often(st.sampled_from(UNITS), st.sampled_from(BAD_TEXTS))
operations = often(st.sampled_from(OPERATIONS + tuple(op.upper() for op in OPERATIONS)), st.sampled_from(BAD_TEXTS))
single = st.fixed_dictionaries({"value": numbers, "unit": units}, optional={"extra": st.none()})
operation_entry = often(single, st.sampled_from([5, None, {"value": 1.0}, {"unit": "ns"}, {}]))
multi = st.dictionaries(often(st.sampled_from(OPERATIONS), st.sampled_from(BAD_KEYS)), operation_entry, max_size=3)
metric_entry = often(st.one_of(single, multi), st.sampled_from([{}, 5, "x", None, {"value": 1.0}]))
metrics = often(st.dictionaries(metric_keys, metric_entry, max_size=3), st.sampled_from(NOT_DICTS))
tags = often(
    st.one_of(st.lists(st.sampled_from(("t", "u", "", "é")), max_size=3),
              st.lists(st.sampled_from(("t", "u")), max_size=3).map(tuple)),
    st.sampled_from(["ab", {"t": 1}, {"t"}, b"ab", range(2), None, 5, ["t", 1], ("\ud800",)]),
)


def dicts_of(values):
    return often(st.dictionaries(metric_keys, values, max_size=3), st.sampled_from(NOT_DICTS))


# Well-formed module data, so that aggregations often get past their checks.
good_values = st.sampled_from((0.0, 1.0, 2.5, 4.0, -3.0, 0.1, 1e16))
good_single = st.fixed_dictionaries({"value": good_values, "unit": st.sampled_from(UNITS)})
good_metrics = st.dictionaries(
    st.sampled_from(METRICS[:2]),
    st.one_of(good_single, good_single, st.dictionaries(st.sampled_from(OPERATIONS[:4]), good_single, max_size=2)),
    min_size=1, max_size=2,
)

class GraphPair(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.nuvel, self.pure = NuvelGraph(), PureGraph()
        self.dir = Path(tempfile.mkdtemp(prefix="nuvel-fuzz-"))
        self.capture = Capture().attach()

    def teardown(self):
        try:
            self.same_saves("final")
        finally:
            self.capture.detach()
            shutil.rmtree(self.dir, ignore_errors=True)

    def call(self, method, *args, **kwargs):
        """Both sides' results; the outcomes must agree."""
        got = run(self.nuvel, self.capture, method, args, kwargs)
        want = run(self.pure, self.capture, method, args, kwargs)
        compare(f"{method}{args!r}{kwargs or ''}", got, want)
        event(f"{method}: {got[0][0]} {got[0][1] if got[0][0] != 'ok' else ''}"[:70])
        return got[2], want[2]

    def same_saves(self, label, nuvel=None, pure=None):
        """Saves both graphs; the files must be equal. Returns their bytes."""
        paths = self.dir / f"{label}.nuvel.json", self.dir / f"{label}.pure.json"
        got = run(nuvel or self.nuvel, self.capture, "save_json", (str(paths[0]),))
        want = run(pure or self.pure, self.capture, "save_json", (str(paths[1]),))
        compare(f"save_json ({label})", got, want)
        data = paths[0].read_bytes()
        assert data == paths[1].read_bytes(), f"saved files differ ({label})"
        return data

    @initialize(extra=st.lists(names, max_size=3),
                edges=st.lists(st.tuples(st.integers(0, 3), st.integers(1, 4)), min_size=3, max_size=10),
                units=st.dictionaries(st.sampled_from(METRICS), st.sampled_from(UNITS), max_size=2),
                data=st.lists(st.tuples(st.sampled_from(BASE[1:]), good_metrics), max_size=5),
                specified=st.lists(st.tuples(st.sampled_from(BASE), metric_names, good_values), max_size=4))
    def build(self, extra, edges, units, data, specified):
        for name in BASE + tuple(extra):
            self.call("add_node", name)
        for i, j in edges:
            i, j = min(i, j), max(i, j)
            self.call("add_edge", BASE[i], BASE[j + (i == j)])
        self.call("init_metrics", {"lat": "ns", "bw": "B/s", **units})
        for name, values in data:
            self.call("set_module_data", name, values, 2, ["t"])
        for name, metric, value in specified:
            self.call("set_node_specified_metric", name, metric, value, "ns")

    def edge(self, data):
        """Mostly an existing edge's endpoints, else any two names."""
        nodes = self.pure._nodes
        edges = [(nodes[e.source].name, nodes[e.target].name) for e in self.pure._edges]
        pairs = st.tuples(texts, texts)
        if edges:
            pairs = st.one_of(st.sampled_from(edges), st.sampled_from(edges), pairs)
        return data.draw(pairs, label="edge")

    # -- building and structure --------------------------------------------

    @rule(name=texts, performance=optional_texts, keyword=st.booleans())
    def add_node(self, name, performance, keyword):
        if keyword:
            self.call("add_node", name=name, performance=performance)
        else:
            self.call("add_node", name, performance)

    @precondition(lambda self: len(self.pure._edges) < MAX_EDGES)
    @rule(edges=st.lists(st.tuples(texts, texts, st.integers(0, 9)), min_size=1, max_size=3))
    def add_edge(self, edges):
        for source, to, backward in edges:
            if backward < 9 and {type(source), type(to)} == {str} and {source, to} <= set(NAMES):
                # Mostly downwards: a cycle (a self-loop too) stops most aggregations.
                i, j = sorted((NAMES.index(source), NAMES.index(to)))
                source, to = NAMES[i], NAMES[(j + (i == j)) % len(NAMES)]
            self.call("add_edge", source, to)

    @rule(method=st.sampled_from(["has_node", "is_leaf", "get_performance_path", "get_out_neighbors"]),
          name=texts)
    def node_query(self, method, name):
        self.call(method, name)

    @rule(tag=often(st.sampled_from(("t", "u", "", "é")), st.sampled_from(BAD_TEXTS)))
    def all_nodes_query(self, tag):
        self.call("get_all_node_names")
        self.call("get_leaf_names")
        self.call("get_tag_modules", tag)

    # -- metrics and edge attributes ------------------------------------------

    @rule(metric_units=dicts_of(units))
    def init_metrics(self, metric_units):
        self.call("init_metrics", metric_units)

    @rule(node_name=texts, metrics=st.one_of(metrics, good_metrics), instance=numbers, tags=tags)
    def set_module_data(self, node_name, metrics, instance, tags):
        self.call("set_module_data", node_name, metrics, instance, tags)

    @rule(data=st.data(), count=numbers)
    def set_edge_count(self, data, count):
        self.call("set_edge_count", *self.edge(data), count)

    @rule(data=st.data(), agg=often(st.sampled_from(AGGREGATIONS), st.sampled_from(BAD_TEXTS)))
    def set_edge_aggregation(self, data, agg):
        self.call("set_edge_aggregation", *self.edge(data), agg)

    @rule(data=st.data(), operation=dicts_of(operations))
    def set_edge_operation(self, data, operation):
        self.call("set_edge_operation", *self.edge(data), operation)

    @rule(data=st.data(), factor=dicts_of(numbers))
    def set_edge_factor(self, data, factor):
        self.call("set_edge_factor", *self.edge(data), factor)

    @rule(data=st.data(), method=st.sampled_from(["get_edge_count", "get_edge_aggregation"]))
    def edge_query(self, data, method):
        self.call(method, *self.edge(data))

    @rule(node_name=texts, metric_name=metric_texts, value=numbers, unit=units)
    def set_node_specified_metric(self, node_name, metric_name, value, unit):
        self.call("set_node_specified_metric", node_name, metric_name, value, unit)

    @rule(node_name=texts, metric_name=metric_texts)
    def get_node_specified_metric(self, node_name, metric_name):
        self.call("get_node_specified_metric", node_name, metric_name)

    @rule(metric=metric_texts, module=often(names, optional_texts),
          operation=st.one_of(st.none(), operations))
    def query_module_metric(self, metric, module, operation):
        self.call("query_module_metric", metric, module, operation)

    # -- aggregation ------------------------------------------------------------

    def event_and_workload(self, data):
        """Mostly an event (a node with out-edges) and None or a node above it."""
        nodes, index = self.pure._nodes, self.pure._index
        events = sorted({node.name for node in nodes if node.out_edges and index[node.name] is not None})
        event = data.draw(often(st.sampled_from(events), optional_texts) if events else optional_texts, label="event")
        above = []
        if type(event) is str and event in index:
            e = index[event]
            above = [name for name, w in index.items() if w != e and self.pure._reaches(w, e)]
        workloads = [st.none(), st.none(), optional_texts] + [st.sampled_from(above)] * 3 * bool(above)
        workload = data.draw(st.one_of(*workloads), label="workload")
        return event, workload

    @rule(data=st.data(), calls=st.lists(st.tuples(metric_texts, often(st.sampled_from(MODES), texts), units,
                                                   st.booleans()), min_size=1, max_size=6))
    def aggregate_event_metric(self, data, calls):
        for metric, mode, unit, keyword in calls:
            event, workload = self.event_and_workload(data)
            if keyword:
                self.call("aggregate_event_metric", metric, mode, unit, event=event, workload=workload)
            else:
                self.call("aggregate_event_metric", metric, mode, unit, workload, event)

    @rule(data=st.data(), calls=st.integers(1, 3))
    def aggregate_event_count(self, data, calls):
        for _ in range(calls):
            event, workload = self.event_and_workload(data)
            self.call("aggregate_event_count", workload, event)

    # -- graph file ---------------------------------------------------------------

    @rule(swap=st.booleans())
    def load_json(self, swap):
        """Loads the saved file on both sides; the loaded graphs save alike and may replace the pair."""
        self.same_saves("saved")
        nuvel, pure = self.call("load_json", str(self.dir / "saved.nuvel.json"))
        if isinstance(nuvel, NuvelGraph):
            self.same_saves("loaded", nuvel, pure)
            if swap:
                self.nuvel, self.pure = nuvel, pure


EXAMPLES = int(os.environ.get("NUVEL_FUZZ_EXAMPLES", "500"))
SETTINGS = settings(
    max_examples=EXAMPLES,
    stateful_step_count=40,
    database=None,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)


def test_graph_pair(seed):
    run_state_machine_as_test(hypothesis.seed(seed)(GraphPair), settings=SETTINGS)

