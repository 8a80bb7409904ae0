"""Fixtures shared by the suite: the random seed, and a NuvelGraph built step
by step beside the pure model (tests/pure.py), with a check that every
structure query of the two agrees."""

import logging
import os

import pytest
from pure import PureGraph

from nuvel import NuvelGraph

# The native bridge fixes a target's level at its first record, for the whole
# process. Open "nuvel_core" (and so "nuvel_core.aggregate") before any record
# can be emitted, so that every record reaches caplog in every test.
logging.getLogger("nuvel_core").setLevel(logging.DEBUG)

SEED = int(os.environ.get("NUVEL_SEED", "0"))


def pytest_report_header(config):
    return f"random tests start at seed {SEED} (set NUVEL_SEED to change it)"


@pytest.fixture
def seed():
    """The first seed of the random tests; each derives its own from it."""
    return SEED


def outcome(graph, method, *args):
    """(the result's type and repr, or the failure's type and text; the result)."""
    try:
        result = getattr(graph, method)(*args)
    except (TypeError, ValueError) as exc:
        return (type(exc).__name__, str(exc)), None
    return (type(result).__name__, repr(result)), result


class Driver:
    """Applies each step to a NuvelGraph and to a PureGraph, requiring the same outcome."""

    def __init__(self):
        self.graph, self.model = NuvelGraph(), PureGraph()

    def both(self, method, *args):
        """The NuvelGraph's result, after comparing outcomes; None where both refused alike."""
        got, result = outcome(self.graph, method, *args)
        assert got == outcome(self.model, method, *args)[0], (method, args)
        return result

    def add_node(self, name, performance=None):
        assert self.both("add_node", name, performance) is None

    def add_edge(self, source, target):
        return self.both("add_edge", source, target)

    def set_edge_count(self, source, target, count):
        assert self.both("set_edge_count", source, target, count) is None

    def set_edge_aggregation(self, source, target, agg):
        assert self.both("set_edge_aggregation", source, target, agg) is None

    def check(self):
        """Every structure query agrees with the model, on every name and out-edge."""
        model = self.model
        self.both("get_all_node_names")
        self.both("get_leaf_names")
        for name in dict.fromkeys(model.get_all_node_names() + ["", "\x00never added"]):
            for query in ("has_node", "is_leaf", "get_performance_path", "get_out_neighbors", "get_tag_modules"):
                self.both(query, name)
            for target in dict.fromkeys(model.get_out_neighbors(name) if model.has_node(name) else ()):
                self.both("get_edge_count", name, target)
                self.both("get_edge_aggregation", name, target)
        return self

    def check_usable(self):
        """Unchanged so far, unborrowed, and open to exclusive calls again."""
        self.check()
        name = f"probe{len(self.model.get_all_node_names())}"
        self.add_node(name)
        assert self.add_edge(self.model.get_all_node_names()[0], name) is False
        return self.check()


@pytest.fixture
def driver():
    return Driver()


@pytest.fixture
def sample():
    """w -> e -> {m1, m2} and an unconnected node, with non-default attributes."""
    d = Driver()
    for name in ("w", "e", "m1", "m2"):
        d.add_node(name)
    d.add_node("lonely", "perf/lonely.json")
    for source, target in (("w", "e"), ("e", "m1"), ("e", "m2")):
        d.add_edge(source, target)
    d.set_edge_count("e", "m1", 2.5)
    d.set_edge_aggregation("w", "e", "sequential")
    return d.check()
