"""The graph store, where random sequences (test_stateful) do not go: wide
fan-outs, and a metrics dict that changes while it is read."""

import pytest
from test_reentry import hooked

from nuvel import NuvelGraph


def test_wide_fan_out_merges_through_the_edge_index():
    g = NuvelGraph()
    g.add_node("hub")
    targets = [f"t{i}" for i in range(3000)]
    for t in targets:
        g.add_node(t)
        assert g.add_edge("hub", t) is False
    assert all(g.add_edge("hub", t) is True for t in targets)  # found in the list and in the index
    assert g.get_out_neighbors("hub") == targets[::-1]
    assert g.get_leaf_names() == targets


def test_metrics_dict_changed_mid_walk_keeps_entries_written(driver):
    driver.add_node("m")
    g = driver.graph
    late = hooked(lambda: metrics.update(z=0), float=lambda: 2.0)
    metrics = {"a": {"value": 1, "unit": "s"}, "b": {"value": late, "unit": "s"}, "c": {"value": 3, "unit": "s"}}
    with pytest.raises(BaseException) as info:  # noqa: B017
        g.set_module_data("m", metrics, 5, ["new"])
    assert (type(info.value).__name__, str(info.value)) == (
        "PanicException", "dictionary changed size during iteration")
    assert [g.query_module_metric(k, "m")["value"] for k in "ab"] == [1.0, 2.0]
    with pytest.raises(ValueError, match="^Metric 'c' not found"):
        g.query_module_metric("c", "m")
    assert g.get_tag_modules("new") == []
    driver.check_usable()
