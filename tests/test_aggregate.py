"""Aggregation by hand: one narration table per mode, records compared whole
and in order; what random graphs rarely build (a tie for the parallel
maximum, -0.0 left in an event); and a chain of a million nodes."""

import logging
import math
import subprocess
import sys
import textwrap

import pytest

from nuvel import NuvelGraph

CORE, AGG = "nuvel_core", "nuvel_core.aggregate"


def debug(text, logger=AGG):
    return (logger, logging.DEBUG, text)


def info(text):
    return (AGG, logging.INFO, text)


def graph(*edges, metrics=("lat",)):
    """Edges "a>b" or "a>b*count" in order (the newest is listed first); nodes in order of first mention."""
    g = NuvelGraph()
    for edge in edges:
        pair, _, count = edge.partition("*")
        source, target = pair.split(">")
        for name in (source, target):
            if not g.has_node(name):
                g.add_node(name)
        g.add_edge(source, target)
        if count:
            g.set_edge_count(source, target, float(count))
    g.init_metrics({metric: "ns" for metric in metrics})
    return g


def single(value, unit="ns"):
    return {"value": value, "unit": unit}


def module(g, name, value, unit="ns", instance=1):
    g.set_module_data(name, {"lat": single(value, unit)}, instance, [])


def run(g, mode, workload=None, event="E"):
    return g.aggregate_event_metric("lat", mode, "us", workload, event)["value"]


@pytest.mark.parametrize("workload", [None, "w"])
def test_module_mode_records(capture, workload):
    g = graph("w>E", "E>A*10", "E>B", "A>m1", "B>m1", "E>m2")
    module(g, "m1", 2, instance=3)
    module(g, "m2", 5, unit="ps")
    g.set_edge_factor("B", "m1", {"lat": 3})  # counts and factors play no part
    assert run(g, "module", workload) == 11.0
    ignored = [] if workload is None else [(CORE, logging.WARNING, "Ignore workload <w> in aggregation <module>.")]
    assert capture.take() == ignored + [
        debug("  Check subevent <E> -> <m2>."),
        info("Aggregate metric <lat> for module <m2> in event <E>."),
        debug("  Total value (<E> -> <m2>) = <5.0> <ps> = single value <5.0> * instance <1.0>."),
        debug("  Check subevent <E> -> <B>."),
        debug("  Check subevent <B> -> <m1>."),
        info("Aggregate metric <lat> for module <m1> in event <B>."),
        debug("  Total value (<B> -> <m1>) = <6.0> <ns> = single value <2.0> * instance <3.0>."),
        debug("  Check subevent <E> -> <A>."),
        debug("  Check subevent <A> -> <m1>."),
        info("Ignore repeated module <m1>."),
        debug("  Total value (<E>) = <11.0> <us>." if workload is None else
              "  Total value (<w> -> <E>) = <11.0> <us>.", CORE),
    ]


@pytest.mark.parametrize("a_value, b_edge, total", [
    (3.0, "parallel", 6.0), (3.0, "sequential", 11.0), (2.5, "parallel", 5.0),  # the last a tie: B stays chosen
])
@pytest.mark.parametrize("workload", [None, "w"])
def test_specified_mode_records(capture, a_value, b_edge, total, workload):
    g = graph("w>E*2.5", "E>A*2", "E>B", "A>ma", "B>mb")
    g.set_node_specified_metric("A", "lat", a_value, "ps")
    g.set_node_specified_metric("B", "lat", 5, "ps")
    g.set_edge_aggregation("E", "B", b_edge)
    a = a_value * 2
    scale = [] if workload is None else [
        debug("  Path (<w> -> <E>) updates event count to <2.5> and event factor to <1.0>."),
        debug("  Total event count (<w> -> <E>) is increased by <2.5> = count <2.5> * factor <1.0>."),
    ]
    b_update = ("  Update parallel maximum metric value to <5.0>, based on event <B>." if b_edge == "parallel"
                else "  Update sequential accumulated metric value by <5.0>, based on event <B>.")
    a_update = [] if a == 5.0 else [debug(f"  Update parallel maximum metric value to <{a}>, based on event <A>.")]
    if workload is None:
        result, final = total, f"  Total value (<E>) = <{total}> <us> = single value <{total}>."
    else:
        result = total * 2.5
        final = f"  Total value (<w> -> <E>) = <{result}> <us> = single value <{total}> * count <2.5>."
    assert run(g, "specified", workload) == result
    assert capture.take() == scale + [
        info("Ignore module <ma>."),
        info("Aggregate metric <lat> for event <A>."),
        debug("  Ignore module <ma>."),
        debug(f"  Total value (<A>) = <{a_value}> <ns>."),
        info("Ignore module <mb>."),
        info("Aggregate metric <lat> for event <B>."),
        debug("  Ignore module <mb>."),
        debug("  Total value (<B>) = <5.0> <ns>."),
        info("Aggregate metric <lat> for event <E>."),
        debug("  Total value (<B>) = <5.0> <ns> = single value <5.0> * count <1.0> * factor <1.0>."),
        debug(b_update),
        debug(f"  Total value (<A>) = <{a}> <ns> = single value <{a_value}> * count <2.0> * factor <1.0>."),
        *a_update,
        debug(f"  Total value (<E>) = <{total}> <ns>."),
        debug(final, CORE),
    ]


def test_summation_mode_records(capture):
    g = graph("E>A*2", "A>m*3", "E>m", "X>A")
    g.set_edge_aggregation("E", "A", "sequential")
    g.set_edge_factor("E", "m", {"bw": 0.5})
    module(g, "m", 1, unit="B", instance=4)
    assert run(g, "summation") == 7.0
    assert capture.take() == [
        info("Aggregate metric <lat> for module <m>."),
        debug("  Total value (<E> -> <m>) = <1.0> <ns> = single value <1.0> * count <1.0> * factor <1.0>."),
        debug("  Total value (<A> -> <m>) = <3.0> <ns> = single value <1.0> * count <3.0> * factor <1.0>."),
        info("Aggregate metric <lat> for event <A>."),
        debug("  Total value (<E> -> <A>) = <6.0> <ns> = single value <3.0> * count <2.0> * factor <1.0>."),
        info("Aggregate metric <lat> for event <E>."),
        debug("  Total value (<E>) = <7.0> <us>.", CORE),
    ]


def test_summation_per_operation_records(capture):
    g = graph("w>e2", "e2>m", "w>e1", "e1>m", metrics=())
    g.set_module_data("m", {"lat": {"write": single(5.0, "kB"), "read": single(2.0, "B")}}, 1, [])
    for edge, count, op in (("w>e2", 1, "write"), ("e2>m", 4, "WRITE"), ("w>e1", 2, "read"), ("e1>m", 3, "Read")):
        g.set_edge_count(*edge.split(">"), count)
        g.set_edge_operation(*edge.split(">"), {"lat": op})
    g.set_edge_factor("w", "e2", {"lat": 0.5})
    assert run(g, "summation", "w", "m") == 22.0
    assert capture.take() == [
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


def test_negative_zero_never_outlives_the_reset():
    # A summation that adds only -0.0 keeps the sign of its start value.
    g = graph("E>m")
    module(g, "m", -0.0)
    g.set_module_data("E", {"lat": single(-0.0)}, 1, [])
    assert math.copysign(1.0, run(g, "summation")) == 1.0
    # A pass that leaves -0.0 in an event, then a pass over another metric.
    g = graph("E>M*-1", metrics=("lat", "bw"))
    g.set_node_specified_metric("E", "lat", -0.0, "ns")
    assert repr(run(g, "specified")) == "-0.0"
    g.aggregate_event_metric("bw", "summation", "us", None, "M")
    assert repr(run(g, "summation")) == "0.0"


CHAIN = textwrap.dedent("""
    import logging
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
    print(g.aggregate_event_count("n0", leaf))
    for mode in ("module", "specified", "summation"):
        print(g.aggregate_event_metric("lat", mode, "ns", event="n0")["value"])
    print(g.aggregate_event_metric("bw", "summation", "B", "n0", leaf)["value"])
""")


def test_million_node_chain_without_recursion():
    """Run apart, since a native stack overflow ends the process."""
    done = subprocess.run([sys.executable, "-c", CHAIN], capture_output=True, text=True, timeout=600)
    assert (done.returncode, done.stderr[-2000:]) == (0, "")
    assert done.stdout.split() == ["2.0", "2.0", "6.0", "4.0", "8.0"]
