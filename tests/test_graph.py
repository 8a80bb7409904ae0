"""The graph store, its structure queries and the scalar edge attributes."""

import random

import pytest

from nuvel import NuvelGraph

EDGE_METHODS = [
    ("get_edge_count", ()),
    ("get_edge_aggregation", ()),
    ("set_edge_count", (3.0,)),
    ("set_edge_aggregation", ("x",)),
]


class TestNodeQueries:
    @pytest.mark.parametrize("method", ["is_leaf", "get_out_neighbors", "get_performance_path"])
    def test_unknown_name(self, sample, method):
        with pytest.raises(ValueError) as info:
            getattr(sample.graph, method)("Ünknown 'x'")
        assert str(info.value) == "Node 'Ünknown 'x'' not found"
        sample.check_usable()

    def test_performance_path(self, driver):
        for i, performance in enumerate([None, "", "models/l2.json", "ü/路径"]):
            driver.add_node(f"n{i}", performance)
        driver.check()

    @pytest.mark.parametrize(
        "names",
        [["", " ", "a"], ["é", "e\u0301", "E"], ["a\x00b", "a", "a\x00c"], ["节点", "🚀"]],
    )
    def test_names_are_distinct_texts(self, driver, names):
        for name in names:
            driver.add_node(name)
        for source, target in zip(names, names[1:]):
            driver.add_edge(source, target)
        driver.check()

    def test_leaves_in_insertion_order(self, driver):
        for name in ("z", "a", "m", "b"):
            driver.add_node(name)
        driver.add_edge("a", "z")
        assert driver.graph.get_leaf_names() == ["z", "m", "b"]
        driver.check()


class TestDuplicateNames:
    def test_lookups_find_the_newest_node(self, driver):
        for name in ("e", "m"):
            driver.add_node(name, "old")
        driver.add_edge("e", "m")
        driver.add_edge("m", "e")
        driver.set_edge_count("e", "m", 5.0)
        driver.add_node("m")
        g = driver.graph
        assert g.get_all_node_names() == ["e", "m", "m"]
        assert g.get_performance_path("m") is None
        assert g.is_leaf("m") is True
        assert g.get_out_neighbors("e") == ["m"]
        with pytest.raises(ValueError, match="^Edge 'e' -> 'm' not found$"):
            g.get_edge_count("e", "m")
        driver.check()
        assert driver.add_edge("e", "m") is False
        assert g.get_edge_count("e", "m") == 1.0
        assert g.get_out_neighbors("e") == ["m", "m"]
        driver.check()

    def test_older_source_keeps_its_edges(self, driver):
        for name in ("a", "b", "a", "c"):
            driver.add_node(name)
        driver.add_edge("a", "c")
        driver.add_node("a")
        assert driver.graph.get_leaf_names() == ["a", "b", "c", "a"]
        assert driver.graph.get_out_neighbors("a") == []
        driver.check()


class TestAddEdge:
    @pytest.mark.parametrize("present, missing", [((), "a"), (("b",), "a"), (("a",), "b")])
    def test_unknown_endpoint(self, driver, present, missing):
        for name in present:
            driver.add_node(name)
        with pytest.raises(ValueError) as info:
            driver.graph.add_edge("a", "b")
        assert str(info.value) == f"Node '{missing}' not found"
        driver.check_usable()

    def test_merge_keeps_attributes_and_order(self, driver):
        for name in ("a", "b", "c", "d"):
            driver.add_node(name)
        assert [driver.add_edge("a", t) for t in ("b", "c", "d")] == [False] * 3
        driver.set_edge_count("a", "b", 3.5)
        driver.set_edge_aggregation("a", "b", "sequential")
        assert [driver.add_edge("a", "b") for _ in range(3)] == [True] * 3
        assert driver.graph.get_out_neighbors("a") == ["d", "c", "b"]
        driver.check()

    def test_both_directions_and_self_loop(self, driver):
        for name in ("a", "b", "z"):
            driver.add_node(name)
        assert driver.add_edge("a", "b") is False
        assert driver.add_edge("b", "a") is False
        driver.set_edge_count("b", "a", 0.5)
        assert driver.add_edge("z", "z") is False
        assert driver.add_edge("z", "z") is True
        driver.check()

    def test_wide_fan_out(self):
        g = NuvelGraph()
        g.add_node("hub")
        targets = [f"t{i}" for i in range(3000)]
        for t in targets:
            g.add_node(t)
            assert g.add_edge("hub", t) is False
        assert all(g.add_edge("hub", t) is True for t in targets[::7])
        assert g.get_out_neighbors("hub") == targets[::-1]
        assert g.get_leaf_names() == targets

    def test_random_build_matches_model(self, driver):
        rng = random.Random(20240611)
        pool = [f"n{i}" for i in range(40)]
        for step in range(800):
            source, target = rng.choice(pool), rng.choice(pool)
            roll = rng.random()
            if roll < 0.12:
                driver.add_node(source, rng.choice([None, "", f"p{step}"]))
            elif roll < 0.8 or not driver.model.edge(source, target):
                driver.add_edge(source, target)
            else:
                driver.set_edge_count(source, target, rng.uniform(-4, 4))
                driver.set_edge_aggregation(source, target, rng.choice(["seq", ""]))
            if step % 100 == 0:
                driver.check()
        driver.check()


class TestEdgeAttributes:
    def test_values_round_trip(self, sample):
        # check() compares counts by repr and aggregations exactly
        for count in (0.0, -0.0, -2.5, 5e-324, float("-inf"), float("nan")):
            sample.set_edge_count("w", "e", count)
            sample.check()
        for agg in ("sequential", "", "Parallel", "max über 𝔸", "a\x00b"):
            sample.set_edge_aggregation("e", "m1", agg)
            sample.check()

    @pytest.mark.parametrize("method, extra", EDGE_METHODS)
    @pytest.mark.parametrize(
        "source, target", [("e", "w"), ("m1", "m2"), ("ghost", "m1"), ("e", "ghost"), ("w", "w")]
    )
    def test_missing_edge(self, sample, method, extra, source, target):
        with pytest.raises(ValueError) as info:
            getattr(sample.graph, method)(source, target, *extra)
        assert str(info.value) == f"Edge '{source}' -> '{target}' not found"
        sample.check_usable()
