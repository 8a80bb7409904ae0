"""A pure-Python picture of a graph, and the checker that compares the two.

`GraphModel` records what a test added: node names by index, the name index
(a name maps to its newest node), edges with count and aggregation, and each
node's out-list newest first. `check_invariants` compares every structural
query of a NuvelGraph with the model; tests run it after building steps and
after refused calls.
"""

import logging
from dataclasses import dataclass

import pytest

from nuvel import NuvelGraph

# The native bridge fixes a target's level at its first record, for the whole
# process. Open "nuvel_core" (and so "nuvel_core.aggregate") before any record
# can be emitted, so that every record reaches caplog in every test.
logging.getLogger("nuvel_core").setLevel(logging.DEBUG)


@dataclass
class ModelEdge:
    target: int
    count: float = 1.0
    aggregation: str = "parallel"


class GraphModel:
    def __init__(self):
        self.names, self.performance, self.out, self.edges = [], [], [], []
        self.index = {}

    def add_node(self, name, performance=None):
        self.index[name] = len(self.names)
        self.names.append(name)
        self.performance.append(performance)
        self.out.append([])

    def edge(self, source, target):
        if source not in self.index or target not in self.index:
            return None
        tgt = self.index[target]
        return next((e for e in self.out[self.index[source]] if e.target == tgt), None)

    def add_edge(self, source, target):
        """The merged flag, or the ValueError text for an unknown name."""
        for name in (source, target):
            if name not in self.index:
                return f"Node '{name}' not found"
        if self.edge(source, target) is not None:
            return True
        self.out[self.index[source]].insert(0, ModelEdge(self.index[target]))
        return False


def check_invariants(graph, model):
    assert graph.get_all_node_names() == model.names
    assert graph.get_leaf_names() == [n for n, out in zip(model.names, model.out) if not out]
    assert graph.get_tag_modules("") == []
    assert graph.has_node("\x00never added") is False
    assert graph.has_node("") is ("" in model.index)
    for name, idx in model.index.items():
        assert graph.has_node(name) is True
        assert graph.is_leaf(name) is (not model.out[idx])
        assert graph.get_performance_path(name) == model.performance[idx]
        out = model.out[idx]
        assert graph.get_out_neighbors(name) == [model.names[e.target] for e in out]
        for e in out:
            target = model.names[e.target]
            if model.index[target] != e.target:
                continue  # reached only through an older node of that name
            count = graph.get_edge_count(name, target)
            assert type(count) is float and repr(count) == repr(e.count)
            assert graph.get_edge_aggregation(name, target) == e.aggregation


class Driver:
    """Applies each step to a NuvelGraph and to its model, comparing results."""

    def __init__(self):
        self.graph = NuvelGraph()
        self.model = GraphModel()

    def add_node(self, name, performance=None):
        assert self.graph.add_node(name, performance) is None
        self.model.add_node(name, performance)

    def add_edge(self, source, target):
        expected = self.model.add_edge(source, target)
        if isinstance(expected, str):
            with pytest.raises(ValueError) as info:
                self.graph.add_edge(source, target)
            assert str(info.value) == expected
            return None
        merged = self.graph.add_edge(source, target)
        assert merged is expected
        return merged

    def set_edge_count(self, source, target, count):
        assert self.graph.set_edge_count(source, target, count) is None
        self.model.edge(source, target).count = float(count)

    def set_edge_aggregation(self, source, target, agg):
        assert self.graph.set_edge_aggregation(source, target, agg) is None
        self.model.edge(source, target).aggregation = agg

    def check(self):
        check_invariants(self.graph, self.model)
        return self

    def check_usable(self):
        """Unchanged so far, unborrowed, and open to exclusive calls again."""
        self.check()
        name = f"probe{len(self.model.names)}"
        self.add_node(name)
        self.add_edge(self.model.names[0], name)
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
