"""Event counts and metric aggregation: results, values left in the graph, narration.

Records are compared whole, as (logger, level, text) in order. Values that an
aggregation writes into event nodes cannot be read directly; a following call
shows them, because its reset reports every event whose stored value is not
0.0 (`nonzero_events`).
"""

import math
import re
import subprocess
import sys
import textwrap

import pytest

from nuvel import NuvelGraph

CORE, AGG = "nuvel_core", "nuvel_core.aggregate"
CYCLE = "Graph contains a cycle; expected a DAG"
NAN, INF = float("nan"), float("inf")


def debug(text, logger=AGG):
    return (logger, "DEBUG", text)


def info(text):
    return (AGG, "INFO", text)


def error(text, logger=CORE):
    return (logger, "ERROR", text)


def reset(node):
    return debug(f"  Reset metric <lat> in event <{node}> to 0.", CORE)


def records(caplog):
    return [(r.name, r.levelname, r.getMessage()) for r in caplog.records]


def graph(nodes, *edges, metrics=True):
    """Nodes in index order, then edges as for grow()."""
    g = NuvelGraph()
    for name in nodes.split():
        g.add_node(name)
    grow(g, *edges)
    if metrics:
        g.init_metrics({"lat": "ns"})
    return g


def grow(g, *edges):
    """Adds edges "a>b" or "a>b*count" in order (the newest is listed first), creating missing nodes."""
    for edge in edges:
        pair, _, count = edge.partition("*")
        source, target = pair.split(">")
        for name in (source, target):
            if not g.has_node(name):
                g.add_node(name)
        g.add_edge(source, target)
        if count:
            g.set_edge_count(source, target, float(count))


def single(value, unit="ns"):
    return {"value": value, "unit": unit}


def module(g, name, value, unit="ns", instance=1):
    g.set_module_data(name, {"lat": single(value, unit)}, instance, [])


def multiop(g, name, ops):
    g.set_module_data(name, {"lat": {op: single(v, "B") for op, v in ops.items()}}, 1, [])


def run(g, mode, workload=None, event="E"):
    result = g.aggregate_event_metric("lat", mode, "us", workload, event)
    assert list(result) == ["value", "unit"] and result["unit"] == "us"
    assert type(result["value"]) is float
    return result["value"]


def fails(call, message):
    with pytest.raises(ValueError) as info_:
        call()
    assert str(info_.value) == message


def nonzero_events(g, caplog, event="E"):
    """Nodes with out-edges whose stored value is not 0.0, in node order (the call zeroes them)."""
    caplog.clear()
    fails(lambda: g.aggregate_event_metric("lat", "none", "us", event=event),
          "Invalid aggregation 'none'; legal: module, summation, specified")
    names = [re.fullmatch(r"  Reset metric <lat> in event <(.*)> to 0\.", text).group(1)
             for _, _, text in records(caplog)]
    assert records(caplog) == [reset(name) for name in names]
    caplog.clear()
    return names


class TestEventCount:
    @pytest.fixture
    def g(self):
        g = graph("w a e", "w>a*2", "a>e*3", "w>e*5", metrics=False)
        g.set_edge_factor("w", "e", {"lat": 10.0})  # factors play no part in event counts
        return g

    def test_paths_newest_edge_first(self, g, caplog):
        result = g.aggregate_event_count("w", "e")
        assert type(result) is float and result == 11.0
        assert records(caplog) == [
            debug("  Path (<w> -> <e>) updates event count to <5.0>."),
            debug("  Total event count (<w> -> <e>) is increased by <5.0>."),
            debug("  Path (<w> -> <a>) updates event count to <2.0>."),
            debug("  Path (<a> -> <e>) updates event count to <6.0>."),
            debug("  Total event count (<w> -> <e>) is increased by <6.0>."),
            debug("  Total value (<w> -> <e>) = <11.0>.", CORE),
        ]

    @pytest.mark.parametrize("workload, event", [(None, "e"), ("e", "e"), (None, "ghost"), ("ghost", "ghost")])
    def test_without_workload_is_one(self, g, caplog, workload, event):
        result = g.aggregate_event_count(workload, event)
        assert type(result) is float and result == 1.0
        assert records(caplog) == [debug(f"  Total value (<{event}>) = <1.0>.", CORE)]

    @pytest.mark.parametrize("workload, event, message", [
        ("w", None, "event argument is required"),
        ("nope", "e", "Invalid workload <nope>."),
        ("nope", "ghost", "Invalid workload <nope>."),
        ("w", "ghost", "Invalid event <ghost>."),
        ("e", "w", "Invalid event <w> in workload <e>."),
    ])
    def test_failures(self, g, caplog, workload, event, message):
        fails(lambda: g.aggregate_event_count(workload, event), message)
        assert records(caplog) == ([] if event is None else [error(message)])

    def test_simple_paths_only_and_zero_counts(self, caplog):
        g = graph("a b c d x", "a>b", "b>c", "c>b", "b>d", "a>a", "a>x*0", "x>d", metrics=False)
        assert g.aggregate_event_count("a", "d") == 1.0
        assert records(caplog) == [
            debug("  Path (<a> -> <x>) updates event count to <0.0>."),
            debug("  Path (<x> -> <d>) updates event count to <0.0>."),
            debug("  Total event count (<a> -> <d>) is increased by <0.0>."),
            debug("  Path (<a> -> <b>) updates event count to <1.0>."),
            debug("  Path (<b> -> <d>) updates event count to <1.0>."),
            debug("  Total event count (<a> -> <d>) is increased by <1.0>."),
            debug("  Total value (<a> -> <d>) = <1.0>.", CORE),
        ]
        assert g.aggregate_event_count("a", "x") == 0.0

    def test_arithmetic_order(self):
        # Products run left to right along a path; path totals are added newest route first.
        g = graph("w p q e", "w>p*0.1", "p>q*0.2", "q>e*0.3", metrics=False)
        assert repr(g.aggregate_event_count("w", "e")) == "0.006000000000000001"
        g = graph("w x1 x2 x3 e", "w>x1*0.1", "w>x2*0.2", "w>x3*0.3", "x1>e", "x2>e", "x3>e", metrics=False)
        assert repr(g.aggregate_event_count("w", "e")) == "0.6"

    @pytest.mark.parametrize("direct, routed, total", [
        (0.2, 0.1, "0.30000000000000004"), (1e16, 0.0, "1e+16"), (1e15, 0.0, "1000000000000000.0"),
        (5e-06, 5e-06, "1e-05"), (INF, -INF, "nan"),
    ])
    def test_numbers_print_like_repr(self, caplog, direct, routed, total):
        g = graph("w a e", f"w>a*{routed!r}", "a>e", f"w>e*{direct!r}", metrics=False)
        assert repr(g.aggregate_event_count("w", "e")) == total
        assert records(caplog)[0][2] == f"  Path (<w> -> <e>) updates event count to <{direct!r}>."
        assert records(caplog)[-1][2] == f"  Total value (<w> -> <e>) = <{total}>."


@pytest.fixture
def modules():
    """w -> E -> {m1 (2 ns, instance 3), m2 (5 ps)}, and X -> mx apart; every node holds lat."""
    g = graph("w X E m1 m2 mx", "w>E", "X>mx", "E>m1", "E>m2")
    module(g, "m1", 2, instance=3)
    module(g, "m2", 5, unit="ps")
    module(g, "mx", 1)
    return g


class TestEntry:
    @pytest.mark.parametrize("workload, event, message", [
        (None, None, "event argument is required"),
        ("w", "ghost", "Invalid event <ghost>."),
        ("ghost", "E", "Invalid workload <ghost>."),
        ("X", "E", "Invalid event <E> in workload <X>."),
    ])
    def test_checks_come_before_the_reset(self, modules, caplog, workload, event, message):
        g = modules
        module(g, "X", 7)
        fails(lambda: run(g, "module", workload, event), message)
        assert records(caplog) == ([] if event is None else [error(message)])
        assert nonzero_events(g, caplog) == ["X"]

    @pytest.mark.parametrize("aggregation, stored, is_reset", [
        ("Module", single(7.0), True), ("", single(NAN), True),
        ("SUMMATION", single(-0.0), False), ("specified ", {"rd": single(7.0)}, False),
    ])
    def test_unknown_aggregation_after_the_reset(self, modules, caplog, aggregation, stored, is_reset):
        g = modules
        g.set_module_data("X", {"lat": stored}, 1, [])
        fails(lambda: run(g, aggregation), f"Invalid aggregation '{aggregation}'; legal: module, summation, specified")
        assert records(caplog) == ([reset("X")] if is_reset else [])  # modules (mx) are never reset
        assert nonzero_events(g, caplog) == []

    def test_a_module_that_becomes_an_event_is_reset(self, caplog):
        g = graph("E m")
        module(g, "m", 5)
        run(g, "module")
        grow(g, "m>n")  # m now has an out-edge: an event holding 5.0
        assert nonzero_events(g, caplog) == ["m"]

    def test_negative_zero_is_reset_to_positive_zero(self, caplog):
        # A summation that adds only -0.0 keeps the sign of the start value.
        g = graph("E m", "E>m")
        module(g, "m", -0.0)
        g.set_module_data("E", {"lat": single(-0.0)}, 1, [])
        assert math.copysign(1.0, run(g, "summation")) == 1.0


class TestModuleMode:
    @pytest.mark.parametrize("workload", [None, "w", "E"])
    def test_records(self, modules, caplog, workload):
        assert run(modules, "module", workload) == 11.0
        walk = [
            debug("  Check subevent <E> -> <m2>."),
            info("Aggregate metric <lat> for module <m2> in event <E>."),
            debug("  Total value (<E> -> <m2>) = <5.0> <ps> = single value <5.0> * instance <1.0>."),
            debug("  Check subevent <E> -> <m1>."),
            info("Aggregate metric <lat> for module <m1> in event <E>."),
            debug("  Total value (<E> -> <m1>) = <6.0> <ns> = single value <2.0> * instance <3.0>."),
        ]
        if workload is None:
            expected = walk + [debug("  Total value (<E>) = <11.0> <us>.", CORE)]
        else:
            expected = [(CORE, "WARNING", f"Ignore workload <{workload}> in aggregation <module>.")] + walk + [
                debug(f"  Total value (<{workload}> -> <E>) = <11.0> <us>.", CORE)]
        assert records(caplog) == expected
        assert nonzero_events(modules, caplog) == []  # the mode writes nothing

    def test_module_reached_twice_counts_once(self, caplog):
        g = graph("T A B m", "T>A*10", "T>B", "A>m", "B>m")  # counts and factors play no part
        module(g, "m", 4, instance=2)
        g.set_edge_factor("B", "m", {"lat": 3})
        assert run(g, "module", event="T") == 8.0
        assert records(caplog) == [
            debug("  Check subevent <T> -> <B>."),
            debug("  Check subevent <B> -> <m>."),
            info("Aggregate metric <lat> for module <m> in event <B>."),
            debug("  Total value (<B> -> <m>) = <8.0> <ns> = single value <4.0> * instance <2.0>."),
            debug("  Check subevent <T> -> <A>."),
            debug("  Check subevent <A> -> <m>."),
            info("Ignore repeated module <m>."),
            debug("  Total value (<T>) = <8.0> <us>.", CORE),
        ]

    def test_event_without_out_edges_is_its_own_module(self, modules, caplog):
        assert run(modules, "module", event="m1") == 6.0
        assert records(caplog) == [
            info("Aggregate metric <lat> for module <m1> in event <m1>."),
            debug("  Total value (<m1> -> <m1>) = <6.0> <ns> = single value <2.0> * instance <3.0>."),
            debug("  Total value (<m1>) = <6.0> <us>.", CORE),
        ]

    @pytest.mark.parametrize("multi", [False, True])
    def test_module_without_single_metric(self, caplog, multi):
        g = graph("E m1 m2", "E>m1", "E>m2", metrics=False)
        module(g, "m1", 2)
        if multi:
            multiop(g, "m2", {"rd": 1.0})
        fails(lambda: run(g, "module"), "Invalid metric <lat> for module <m2>.")
        assert records(caplog) == [debug("  Check subevent <E> -> <m2>."),
                                   error("Invalid metric <lat> for module <m2>.", AGG)]

    @pytest.mark.parametrize("edges, below", [
        ("E>A A>E", True), ("E>A A>A", True), ("E>E", True), ("X>X", False), ("A>X X>A", False),
    ])
    def test_cycles(self, modules, edges, below):
        grow(modules, *edges.split())
        if below:
            fails(lambda: run(modules, "module"), CYCLE)
        else:
            assert run(modules, "module") == 11.0


@pytest.fixture
def specified():
    """w -> E (2.5) -> {A (count 2, specified 3), B (specified 5)}; A -> ma, B -> mb."""
    g = graph("w E A B ma mb", "w>E*2.5", "E>A*2", "E>B", "A>ma", "B>mb")
    g.set_node_specified_metric("A", "lat", 3, "ps")
    g.set_node_specified_metric("B", "lat", 5, "ps")
    return g


def fan(children):
    """E over sub-events c0, c1, ... (listed newest first), each alone over a module holding lat.

    Per child: (specified value, count, aggregation, factor); a None value gives a
    sub-event without the metric (specified value 9).
    """
    subs = [f"c{i}" for i in range(len(children))]
    g = graph(" ".join(["E"] + subs + [f"m{i}" for i in range(len(subs))]),
              *[f"E>{c}" for c in subs], *[f"{c}>m{i}" for i, c in enumerate(subs)], metrics=False)
    module(g, "E", 0)
    for i, (value, count, aggregation, factor) in enumerate(children):
        module(g, f"m{i}", 1)
        if value is not None:
            module(g, f"c{i}", 0)
        g.set_node_specified_metric(f"c{i}", "lat", 9 if value is None else value, "ns")
        g.set_edge_count("E", f"c{i}", count)
        g.set_edge_aggregation("E", f"c{i}", aggregation)
        g.set_edge_factor("E", f"c{i}", factor)
    return g


class TestSpecifiedMode:
    @pytest.mark.parametrize("b_edge, total", [("parallel", 6.0), ("sequential", 11.0)])
    @pytest.mark.parametrize("workload", [None, "w"])
    def test_records(self, specified, caplog, b_edge, total, workload):
        g = specified
        g.set_edge_aggregation("E", "B", b_edge)
        b_update = ("  Update parallel maximum metric value to <5.0>, based on event <B>." if b_edge == "parallel"
                    else "  Update sequential accumulated metric value by <5.0>, based on event <B>.")
        scale = [] if workload is None else [
            debug("  Path (<w> -> <E>) updates event count to <2.5> and event factor to <1.0>."),
            debug("  Total event count (<w> -> <E>) is increased by <2.5> = count <2.5> * factor <1.0>."),
        ]
        passed = [
            info("Ignore module <ma>."),
            info("Aggregate metric <lat> for event <A>."),
            debug("  Ignore module <ma>."),
            debug("  Total value (<A>) = <3.0> <ns>."),
            info("Ignore module <mb>."),
            info("Aggregate metric <lat> for event <B>."),
            debug("  Ignore module <mb>."),
            debug("  Total value (<B>) = <5.0> <ns>."),
            info("Aggregate metric <lat> for event <E>."),
            debug("  Total value (<B>) = <5.0> <ns> = single value <5.0> * count <1.0> * factor <1.0>."),
            debug(b_update),
            debug("  Total value (<A>) = <6.0> <ns> = single value <3.0> * count <2.0> * factor <1.0>."),
            debug("  Update parallel maximum metric value to <6.0>, based on event <A>."),
            debug(f"  Total value (<E>) = <{total}> <ns>."),
        ]
        if workload is None:
            result, final = total, f"  Total value (<E>) = <{total}> <us> = single value <{total}>."
        else:
            result = total * 2.5
            final = f"  Total value (<w> -> <E>) = <{result}> <us> = single value <{total}> * count <2.5>."
        assert run(g, "specified", workload) == result
        assert records(caplog) == scale + passed + [debug(final, CORE)]
        assert nonzero_events(g, caplog) == ["E", "A", "B"]

    @pytest.mark.parametrize("children, total", [
        ([(1, 1, "sequential", {}), (2, 1, "Parallel", {}), (4, 1, "parallel", {}), (3, 1, "parallel", {})], 7.0),
        ([(1, -1, "parallel", {}), (2, -3, "parallel", {})], 0.0),
        ([(2, 1, "parallel", {"lat": 3.0}), (5, 1, "parallel", {"bw": 9.0})], 6.0),
        ([(NAN, 1, "parallel", {}), (2, 1, "parallel", {}), (NAN, 1, "parallel", {})], 2.0),
        ([(None, 1, "sequential", {}), (2, 1, "", {})], 2.0),
        ([(0.1, 3, "sequential", {"lat": 0.7})], 0.21000000000000002),  # (value * count) * factor
    ])
    def test_combination(self, children, total):
        assert run(fan(children), "specified") == total

    LEGAL = "; legal metric: {'value': float, 'unit': str}."
    CHECK = "; check the performance model."

    @pytest.mark.parametrize("change, event, message, logger, written", [
        (lambda g: None, "ma",
         "Invalid module <ma> for aggregation <specified>; this aggregation requires an event.", CORE, []),
        (lambda g: grow(g, "B>mc"), "E", "Invalid metric <lat> for event <mc>" + LEGAL, AGG, ["A"]),
        (lambda g: multiop(g, "mb", {"rd": 1.0}), "E", "Invalid metric <lat> for event <mb>" + LEGAL, AGG, ["A"]),
        (lambda g: grow(g, "E>C", "C>mb"), "E",
         "  Missing metric <lat> in event <C>, since it is only connected to modules" + CHECK, AGG, ["A", "B"]),
        (lambda g: g.set_node_specified_metric("E", "lat", 1, "ns"), "E",
         "  Invalid metric <lat> in event <E>, since it is connected to no modules" + CHECK, AGG, ["A", "B"]),
    ], ids=["on-module", "child-without-metric", "child-multi-op", "no-specified-value", "no-module-child"])
    def test_failures_keep_written_values(self, specified, caplog, change, event, message, logger, written):
        g = specified
        change(g)
        fails(lambda: run(g, "specified", event=event), message)
        got = records(caplog)
        assert got[-1] == error(message, logger) and [r for r in got if r[1] == "ERROR"] == got[-1:]
        assert nonzero_events(g, caplog) == written


class TestSummationMode:
    def test_records(self, caplog):
        g = graph("E A m X", "E>A*2", "A>m*3", "E>m", "X>A")
        g.set_edge_aggregation("E", "A", "sequential")
        module(g, "m", 1, unit="B", instance=4)
        assert run(g, "summation") == 7.0
        assert records(caplog) == [
            info("Aggregate metric <lat> for module <m>."),
            debug("  Total value (<E> -> <m>) = <1.0> <ns> = single value <1.0> * count <1.0> * factor <1.0>."),
            debug("  Total value (<A> -> <m>) = <3.0> <ns> = single value <1.0> * count <3.0> * factor <1.0>."),
            info("Aggregate metric <lat> for event <A>."),
            debug("  Total value (<E> -> <A>) = <6.0> <ns> = single value <3.0> * count <2.0> * factor <1.0>."),
            info("Aggregate metric <lat> for event <E>."),
            debug("  Total value (<E>) = <7.0> <us>.", CORE),
        ]
        assert nonzero_events(g, caplog) == ["E", "A"]  # X, a parent outside the pass, received nothing

    @pytest.mark.parametrize("count, value, factor, total", [
        (3, 4, {"lat": 0.5}, 6.0), (3, 4, {"bw": 0.5}, 12.0), (3, 0.1, {"lat": 0.7}, 0.21000000000000002),
    ])
    def test_edge_weights(self, count, value, factor, total):
        g = graph("E m", f"E>m*{count}")
        module(g, "m", value)
        g.set_edge_factor("E", "m", factor)
        assert run(g, "summation") == total

    def test_values_of_nodes_without_the_metric(self, caplog):
        g = graph("E A m", "E>A", "A>m", metrics=False)
        module(g, "E", 0)
        module(g, "m", 2)
        assert run(g, "summation") == 0.0
        assert records(caplog) == [
            info("Aggregate metric <lat> for module <m>."),
            debug("  Total value (<A> -> <m>) = <2.0> <> = single value <2.0> * count <1.0> * factor <1.0>."),
            info("Aggregate metric <lat> for event <A>."),
            debug("  Total value (<E> -> <A>) = <0.0> <ns> = single value <0.0> * count <1.0> * factor <1.0>."),
            info("Aggregate metric <lat> for event <E>."),
            debug("  Total value (<E>) = <0.0> <us>.", CORE),
        ]

    @pytest.mark.parametrize("workload, final", [(None, "  Total value (<m>) = <2.0> <us>."),
                                                 ("m", "  Total value (<m> -> <m>) = <2.0> <us>.")])
    def test_module_returns_its_own_value(self, caplog, workload, final):
        g = graph("E m", "E>m")
        module(g, "m", 2)
        assert run(g, "summation", workload, "m") == 2.0
        assert records(caplog) == [info("Aggregate metric <lat> for module <m>."), debug(final, CORE)]
        assert nonzero_events(g, caplog) == []

    def test_structure_changes_between_calls(self, caplog):
        g = graph("E A m", "E>A*2", "A>m*3")
        module(g, "m", 1)
        assert run(g, "summation") == 6.0
        g.add_edge("E", "m")
        assert run(g, "summation") == 7.0  # m contributes once per edge
        g.add_node("n")
        module(g, "n", 10)
        g.add_edge("A", "n")
        assert run(g, "summation") == 27.0
        g.add_node("Y")
        g.add_edge("Y", "Y")
        fails(lambda: run(g, "summation"), CYCLE)

    def test_failure_keeps_contributions(self, caplog):
        g = graph("E A m1 mm", "E>A", "A>m1", "E>mm")
        module(g, "m1", 2)
        multiop(g, "mm", {"rd": 1.0})
        fails(lambda: run(g, "summation"),
              "Invalid operation for metric 'lat' in module 'mm'; multi-operation module requires an operation")
        assert records(caplog) == [
            info("Aggregate metric <lat> for module <m1>."),
            debug("  Total value (<A> -> <m1>) = <2.0> <ns> = single value <2.0> * count <1.0> * factor <1.0>."),
            info("Aggregate metric <lat> for event <A>."),
            debug("  Total value (<E> -> <A>) = <2.0> <ns> = single value <2.0> * count <1.0> * factor <1.0>."),
            info("Aggregate metric <lat> for module <mm>."),
        ]
        assert nonzero_events(g, caplog) == ["E", "A"]

    def test_multi_operation_module_needs_a_workload(self, caplog):
        g = graph("E m", "E>m")
        multiop(g, "m", {"rd": 1.0})
        message = ("Invalid module <m> for aggregation <summation>; "
                   "this aggregation does not support multi-operation module.")
        fails(lambda: run(g, "summation", event="m"), message)
        assert records(caplog) == [error(message)]


def operation_graph(scaled, ops, operation):
    """w -> m (scaled, summed over the paths) or E -> m (unscaled pass), count 3, m multi-operation."""
    g = graph("w m" if scaled else "E m", "w>m" if scaled else "E>m", metrics=False)
    source = "w" if scaled else "E"
    module(g, source, 0)
    multiop(g, "m", ops)
    g.set_edge_count(source, "m", 3)
    g.set_edge_operation(source, "m", operation)
    return g, (lambda: run(g, "summation", "w", "m") if scaled else run(g, "summation"))


class TestOperations:
    @pytest.mark.parametrize("scaled", [False, True])
    @pytest.mark.parametrize("ops, operation, value", [
        ({"read": 2.0, "write": 5.0}, "READ", 2.0),
        ({"lire": 2.0, "écrire": 5.0}, "ÉCRIRE", 5.0),
        ({"чтение": 2.0, "запись": 5.0}, "Запись", 5.0),
    ])
    def test_lower_cased_operation_selects(self, scaled, ops, operation, value):
        g, call = operation_graph(scaled, ops, {"lat": operation, "bw": "read"})
        assert call() == 3 * value

    @pytest.mark.parametrize("scaled", [False, True])
    @pytest.mark.parametrize("ops, operation, legal", [
        ({"Read": 2.0, "write": 5.0}, {"bw": "read"}, '["Read", "write"]'),
        ({"Read": 2.0, "write": 5.0}, {"lat": "Read"}, '["Read", "write"]'),
        ({"Read": 2.0, 'say "hi"\t': 5.0}, {"lat": "READ"}, r'["Read", "say \"hi\"\t"]'),
        ({}, {"lat": "read"}, "[]"),
    ])
    def test_operation_failures(self, caplog, scaled, ops, operation, legal):
        g, call = operation_graph(scaled, ops, operation)
        if "lat" not in operation:
            message = (f"Missing operation for metric <lat> in multi-operation module <m>; legal values: {legal}."
                       if scaled else
                       "Invalid operation for metric 'lat' in module 'm'; multi-operation module requires an operation")
        else:
            message = f"Invalid operation <read> for metric <lat> in module <m>; legal values: {legal}."
        fails(call, message)
        if scaled:  # no Error record from the per-path summation
            assert records(caplog) == [
                debug("  Path (<w> -> <m>) updates event count to <3.0> and event factor to <1.0>.")]
        else:
            assert records(caplog) == [info("Aggregate metric <lat> for module <m>.")] + (
                [error(message, AGG)] if "lat" in operation else [])

    def test_weights_per_operation(self, caplog):
        g = graph("w e2 e1 m", "w>e2", "e2>m", "w>e1", "e1>m", metrics=False)
        g.set_module_data("m", {"lat": {"write": single(5.0, "kB"), "read": single(2.0, "B")}}, 1, [])
        for edge, count, op in (("w>e2", 1, "write"), ("e2>m", 4, "write"), ("w>e1", 2, "read"), ("e1>m", 3, "read")):
            g.set_edge_count(*edge.split(">"), count)
            g.set_edge_operation(*edge.split(">"), {"lat": op})
        g.set_edge_factor("w", "e2", {"lat": 0.5})
        assert run(g, "summation", "w", "m") == 22.0
        assert records(caplog) == [
            debug("  Path (<w> -> <e1>) updates event count to <2.0> and event factor to <1.0>."),
            debug("  Path (<e1> -> <m>) updates event count to <6.0> and event factor to <1.0>."),
            debug("  Total event count (<m> : <read>) is increased by <6.0> = count <6.0> * factor <1.0>."),
            debug("  Path (<w> -> <e2>) updates event count to <1.0> and event factor to <0.5>."),
            debug("  Path (<e2> -> <m>) updates event count to <4.0> and event factor to <0.5>."),
            debug("  Total event count (<m> : <write>) is increased by <2.0> = count <4.0> * factor <0.5>."),
            debug("  Total value (<m> : <read>) = <12.0> <kB> = single value <2.0> * count <6.0>."),
            debug("  Total value (<m> : <write>) = <10.0> <kB> = single value <5.0> * count <2.0>."),
            debug("  Total value (<w> -> <m>) = <22.0> <us>.", CORE),
        ]

    def test_paths_through_one_edge_share_the_operation(self, caplog):
        g = graph("w a b e m", "w>a*3", "w>b", "a>e", "b>e", "e>m", metrics=False)
        multiop(g, "m", {"rd": 2.0})
        g.set_edge_operation("e", "m", {"lat": "rd"})
        assert run(g, "summation", "w", "m") == 8.0
        assert [t for _, _, t in records(caplog) if t.startswith("  Total value (<m>")] == [
            "  Total value (<m> : <rd>) = <8.0> <B> = single value <2.0> * count <4.0>."]


class TestWorkloadScaling:
    PATHS = [
        debug("  Path (<w> -> <E>) updates event count to <5.0> and event factor to <1.0>."),
        debug("  Total event count (<w> -> <E>) is increased by <5.0> = count <5.0> * factor <1.0>."),
        debug("  Path (<w> -> <a>) updates event count to <2.0> and event factor to <0.5>."),
        debug("  Path (<a> -> <E>) updates event count to <6.0> and event factor to <0.5>."),
        debug("  Total event count (<w> -> <E>) is increased by <3.0> = count <6.0> * factor <0.5>."),
    ]
    PASS = {
        "specified": [info("Ignore module <m>."), info("Aggregate metric <lat> for event <E>."),
                      debug("  Ignore module <m>."), debug("  Total value (<E>) = <4.0> <ns>.")],
        "summation": [info("Aggregate metric <lat> for module <m>."),
                      debug("  Total value (<E> -> <m>) = <4.0> <ns> = single value <4.0> * count <1.0> "
                            "* factor <1.0>."),
                      info("Aggregate metric <lat> for event <E>.")],
    }

    @pytest.mark.parametrize("mode", ["specified", "summation"])
    def test_factor_weighted_path_count(self, caplog, mode):
        g = graph("w a E m", "w>a*2", "a>E*3", "w>E*5", "E>m")
        g.set_edge_factor("w", "a", {"lat": 0.5})
        g.set_edge_factor("w", "E", {"bw": 7.0})
        module(g, "m", 4)
        g.set_node_specified_metric("E", "lat", 4, "ns")
        assert run(g, mode, "w") == 32.0
        assert records(caplog) == self.PATHS + self.PASS[mode] + [
            debug("  Total value (<w> -> <E>) = <32.0> <us> = single value <4.0> * count <8.0>.", CORE)]
        assert nonzero_events(g, caplog) == ["E"]
        assert g.aggregate_event_count("w", "E") == 11.0


class TestCycles:
    @pytest.mark.parametrize("mode", ["specified", "summation"])
    @pytest.mark.parametrize("edges", ["X>X", "X>Y Y>X", "A>A", "A>E"])
    def test_cycle_anywhere_fails_after_the_reset(self, caplog, mode, edges):
        g = graph("E A m X Y", "E>A", "A>m", *edges.split())
        module(g, "m", 2)
        module(g, "E", 5)
        g.set_node_specified_metric("A", "lat", 3, "ns")
        fails(lambda: run(g, mode), CYCLE)
        assert records(caplog) == [reset("E")]
        assert nonzero_events(g, caplog) == []


class TestResultRead:
    @pytest.mark.parametrize("mode, event, written", [
        ("specified", "E", ["A"]), ("summation", "E", ["A"]), ("summation", "z", []),
    ])
    def test_event_without_the_metric(self, caplog, mode, event, written):
        g = graph("E A m z", "E>A", "A>m", metrics=False)
        module(g, "A", 0)
        module(g, "m", 2)
        g.set_node_specified_metric("A", "lat", 3, "ns")
        fails(lambda: run(g, mode, event=event), f"Metric 'lat' of event '{event}' is not a single value")
        assert nonzero_events(g, caplog) == written

    @pytest.mark.parametrize("mode", ["specified", "summation"])
    def test_event_holding_multi_operation_fails(self, mode):
        g = graph("E A m", "E>A", "A>m")
        module(g, "m", 2)
        multiop(g, "A", {"rd": 1.0})
        g.set_node_specified_metric("A", "lat", 3, "ns")
        with pytest.raises(BaseException):
            run(g, mode)
        assert g.aggregate_event_count("E", "m") == 1.0  # the graph is still usable


CHAIN = textwrap.dedent("""
    import logging, sys
    logging.getLogger("nuvel_core").setLevel(logging.WARNING)  # before the first record: dropped natively
    from nuvel import NuvelGraph
    names = [f"n{i}" for i in range(1_000_000)]
    g = NuvelGraph()
    for name in names:
        g.add_node(name)
    for source, target in zip(names, names[1:]):
        g.add_edge(source, target)
    g.init_metrics({"lat": "ns"})
    leaf = names[-1]
    g.set_module_data(leaf, {"lat": {"value": 2.0, "unit": "ns"}, "bw": {"rd": {"value": 4.0, "unit": "B"}}}, 1, [])
    g.set_edge_operation(names[-2], leaf, {"bw": "rd"})
    g.set_node_specified_metric(names[-2], "lat", 3.0, "ns")
    g.set_edge_count("n0", "n1", 2.0)
    print(repr(eval(sys.argv[1])))
""")


class TestMillionNodeChain:
    """Depth is walked without recursion; run apart, since a native stack overflow ends the process."""

    @pytest.mark.parametrize("call, expected", [
        ("g.aggregate_event_count('n0', leaf)", 2.0),
        ("g.aggregate_event_metric('lat', 'module', 'ns', event='n0')['value']", 2.0),
        ("g.aggregate_event_metric('lat', 'specified', 'ns', event='n0')['value']", 6.0),
        ("g.aggregate_event_metric('lat', 'summation', 'ns', event='n0')['value']", 4.0),
        ("g.aggregate_event_metric('bw', 'summation', 'B', 'n0', leaf)['value']", 8.0),
    ], ids=["event-count", "module", "specified", "summation", "multi-operation"])
    def test_chain(self, call, expected):
        done = subprocess.run([sys.executable, "-c", CHAIN, call], capture_output=True, text=True, timeout=300)
        assert (done.returncode, done.stderr[-2000:]) == (0, "")
        assert done.stdout.split() == [repr(expected)]
