"""Random call sequences, valid arguments or not, on a NuvelGraph and a
PureGraph that start as a small graph of the engine comparison, compared call
by call; saved files byte for byte, and loaded graphs replace the pair now and
then. NUVEL_FUZZ_EXAMPLES sets the number of sequences (README.md, Commands).
"""

import math
import os
import random
import shutil
import tempfile
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import hypothesis
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import (Bundle, RuleBasedStateMachine, initialize, multiple, precondition, rule,
                                 run_state_machine_as_test)
from pure_compare import Capture, Driver, NuvelGraph
from test_aggregate_differential import random_calls, random_pair
from test_bad_input import KINDS, number


class Text(str):
    pass


def wrong(kind):
    return st.sampled_from([value for value, _ in KINDS[kind]])


ODD_NAMES = ("", "q\"'", "µé", "x\ny", "%s\x00")
BAD_KEYS = (1, None, b"a", 2.5, "\ud800")
GOOD_NUMBERS = (0.0, -0.0, 1, 2, 3.0, 0.5, -1.5, 2.5, 1e-7, 1e300, -1e308, 5e-324,
                math.nan, math.inf, -math.inf, True, 2**53 + 1, Fraction(1, 3), Decimal("0.1"),
                number("Four", index=lambda self: 4))
METRICS = ("lat", "bw", "", "x%s")
UNITS = ("ns", "", "µs", "%d")
OPERATIONS = ("read", "write", "READ", "Write", "value", "unit", "ÉCRIT", "écrit", 'q"\\')
AGGREGATIONS = ("parallel", "sequential", "Parallel", "", "other")
MAX_EDGES = 36  # paths are enumerated exhaustively; keep their number small


def often(good, bad):
    """Mostly `good`, one draw in ten `bad`."""
    return st.integers(0, 9).flatmap(lambda k: bad if k == 9 else good)


built_names = Bundle("built_names")
names = st.integers(0, 5).flatmap(lambda k: st.sampled_from(ODD_NAMES) if k == 5 else built_names)
bad_texts = st.sampled_from([value for value, _ in KINDS["text"]] + [Text("a")])  # a str subclass passes
texts = often(names, bad_texts)
optional_texts = st.one_of(st.none(), texts)
numbers = often(st.one_of(st.sampled_from(GOOD_NUMBERS), st.floats(), st.integers(-(2**64), 2**64)), wrong("double"))
metric_names = st.one_of(st.sampled_from(METRICS[:2]), st.sampled_from(METRICS))
metric_texts = often(metric_names, bad_texts)
metric_keys = often(metric_names, st.sampled_from(BAD_KEYS))
units = often(st.sampled_from(UNITS), bad_texts)
operations = often(st.sampled_from(OPERATIONS + tuple(op.upper() for op in OPERATIONS)), bad_texts)
single = st.fixed_dictionaries({"value": numbers, "unit": units}, optional={"extra": st.none()})
operation_entry = often(single, st.sampled_from([5, None, {"value": 1.0}, {"unit": "ns"}, {}]))
multi = st.dictionaries(often(st.sampled_from(OPERATIONS), st.sampled_from(BAD_KEYS)), operation_entry, max_size=3)
metric_entry = often(st.one_of(single, multi), st.sampled_from([{}, 5, "x", None, {"value": 1.0}]))
metrics = often(st.dictionaries(metric_keys, metric_entry, max_size=3), wrong("metrics"))
tags = often(
    st.one_of(st.lists(st.sampled_from(("t", "u", "", "é")), max_size=3),
              st.lists(st.sampled_from(("t", "u")), max_size=3).map(tuple)),
    wrong("tags"),
)


def dicts_of(values, kind):
    return often(st.dictionaries(metric_keys, values, max_size=3), wrong(kind))


class GraphPair(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.pair = Driver(capture=Capture())
        self.dir = Path(tempfile.mkdtemp(prefix="nuvel-fuzz-"))

    def teardown(self):
        try:
            self.pair.saves(self.dir, "final")
        finally:
            self.pair.capture.detach()
            shutil.rmtree(self.dir, ignore_errors=True)

    @initialize(target=built_names, seed=st.integers(0, 2**32 - 1))
    def build(self, seed):
        _, self.roles, self.pair = random_pair(seed, self.pair.capture, most=8)
        return multiple(*self.roles["all"])

    def edge(self, data):
        return data.draw(often(st.sampled_from(self.roles["edges"]), st.tuples(texts, texts)), label="edge")

    # -- building and structure --------------------------------------------

    @rule(name=texts, performance=optional_texts, keyword=st.booleans())
    def add_node(self, name, performance, keyword):
        if keyword:
            self.pair.both("add_node", name=name, performance=performance)
        else:
            self.pair.both("add_node", name, performance)

    @precondition(lambda self: len(self.pair.model._edges) < MAX_EDGES)
    @rule(edges=st.lists(st.tuples(texts, texts, st.integers(0, 9)), min_size=1, max_size=3))
    def add_edge(self, edges):
        for source, to, backward in edges:
            order = self.pair.model._index
            if backward < 9 and {type(source), type(to)} == {str} and source in order and to in order:
                # Mostly downwards: a cycle (a self-loop too) stops most aggregations.
                if source == to:
                    continue
                if order[source] > order[to]:
                    source, to = to, source
            self.pair.both("add_edge", source, to)

    @rule(tag=often(st.sampled_from(("t", "u", "", "é")), bad_texts))
    def queries(self, tag):
        self.pair.check()
        self.pair.both("get_tag_modules", tag)

    # -- metrics and edge attributes ------------------------------------------

    @rule(metric_units=dicts_of(units, "texts"))
    def init_metrics(self, metric_units):
        self.pair.both("init_metrics", metric_units)

    @rule(node_name=texts, metrics=metrics, instance=numbers, tags=tags)
    def set_module_data(self, node_name, metrics, instance, tags):
        self.pair.both("set_module_data", node_name, metrics, instance, tags)

    @rule(data=st.data(), count=numbers)
    def set_edge_count(self, data, count):
        self.pair.both("set_edge_count", *self.edge(data), count)

    @rule(data=st.data(), agg=often(st.sampled_from(AGGREGATIONS), bad_texts))
    def set_edge_aggregation(self, data, agg):
        self.pair.both("set_edge_aggregation", *self.edge(data), agg)

    @rule(data=st.data(), operation=dicts_of(operations, "texts"))
    def set_edge_operation(self, data, operation):
        self.pair.both("set_edge_operation", *self.edge(data), operation)

    @rule(data=st.data(), factor=dicts_of(numbers, "doubles"))
    def set_edge_factor(self, data, factor):
        self.pair.both("set_edge_factor", *self.edge(data), factor)

    @rule(node_name=texts, metric_name=metric_texts, value=numbers, unit=units)
    def set_node_specified_metric(self, node_name, metric_name, value, unit):
        self.pair.both("set_node_specified_metric", node_name, metric_name, value, unit)

    @rule(node_name=texts, metric_name=metric_texts)
    def get_node_specified_metric(self, node_name, metric_name):
        self.pair.both("get_node_specified_metric", node_name, metric_name)

    @rule(data=st.data(), metric=metric_texts, operation=st.one_of(st.none(), operations))
    def query_module_metric(self, data, metric, operation):
        modules = st.sampled_from(self.pair.model.get_leaf_names() or [None])
        self.pair.both("query_module_metric", metric, data.draw(often(modules, optional_texts)), operation)

    # -- aggregation ------------------------------------------------------------

    @rule(seed=st.integers(0, 2**32 - 1), calls=st.integers(1, 6), keyword=st.booleans())
    def aggregate(self, seed, calls, keyword):
        """The calls of the engine comparison, on the names the graph was built with."""
        for method, args in random_calls(random.Random(seed), self.roles, changes=0)[:calls]:
            if keyword:
                self.pair.both(method, *args[:-2], workload=args[-2], event=args[-1])
            else:
                self.pair.both(method, *args)

    # -- graph file ---------------------------------------------------------------

    @rule(swap=st.booleans())
    def load_json(self, swap):
        self.pair.saves(self.dir)
        nuvel, pure = self.pair.both("load_json", str(self.dir / "saved.nuvel.json"))
        if isinstance(nuvel, NuvelGraph):
            loaded = Driver(nuvel, pure, self.pair.capture)
            loaded.saves(self.dir, "loaded")
            if swap:
                self.pair = loaded


EXAMPLES = int(os.environ.get("NUVEL_FUZZ_EXAMPLES", "500"))
SETTINGS = settings(
    max_examples=EXAMPLES,
    stateful_step_count=40,
    database=None,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)


def run_machine(seed, examples=EXAMPLES):
    run_state_machine_as_test(hypothesis.seed(seed)(GraphPair), settings=settings(SETTINGS, max_examples=examples))


def test_graph_pair(seed):
    run_machine(seed)

