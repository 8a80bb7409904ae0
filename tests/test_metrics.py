"""Module data, edge operations and factors, metric queries, specified metrics.

Stored metrics are read back through `query_module_metric`: the value and unit
of a single metric or of one operation, and the operation names in map order
from the list in its failure message. Tags are seen through `get_tag_modules`.
"""

import logging
import re

import pytest

NAN = float("nan")
PYSTRING = "'{}' object cannot be converted to 'PyString'"


class Boom:
    def __float__(self):
        raise ValueError("no number here")


class Traced:
    """A number, or a one-item sequence, that notes in `seen` when it is read
    and then runs `then`."""

    def __init__(self, seen, name, value, then=None):
        self.seen, self.name, self.value, self.then = seen, name, value, then

    def read(self):
        self.seen.append(self.name)
        if self.then is not None:
            self.then()
        return self.value

    def __float__(self):
        return float(self.read())

    def __getitem__(self, i):
        if i > 0:
            raise IndexError(i)
        return self.read()


def single(value, unit):
    return {"value": value, "unit": unit}


def query(graph, metric, module, operation=None):
    return graph.query_module_metric(metric, module, operation)


def op_names(graph, module, metric):
    """The operations of a multi-operation metric, as the failure lists them."""
    with pytest.raises(ValueError) as info:
        query(graph, metric, module, "\x00no such op")
    return re.fullmatch(r".*; legal values: \[(.*)\]\.", str(info.value)).group(1)


def records(caplog):
    return [(r.name, r.levelname, r.getMessage()) for r in caplog.records]


@pytest.fixture
def data(sample):
    """`sample` with metrics on m1 (single lat, bw over rd/wr, empty none) and on event e."""
    metrics = {"lat": single(2, "ns"), "bw": {"rd": single(1.5, "B/s"), "wr": single(3, "GB/s")}, "none": {}}
    assert sample.graph.set_module_data("m1", metrics, 4, ["a", "b", "a"]) is None
    assert sample.graph.set_module_data("e", {"lat": single(9.0, "ns")}, 1, ["e-tag"]) is None
    return sample


class TestModuleData:
    def test_both_shapes_and_tags(self, data, caplog):
        g = data.graph
        result = query(g, "lat", "m1")
        assert list(result) == ["value", "unit"] and type(result["value"]) is float
        assert result == {"value": 2.0, "unit": "ns"}
        assert query(g, "bw", "m1", "rd") == {"value": 1.5, "unit": "B/s"}
        assert query(g, "bw", "m1", "wr") == {"value": 3.0, "unit": "GB/s"}
        assert records(caplog) == []
        assert (op_names(g, "m1", "bw"), op_names(g, "m1", "none")) == ("'rd', 'wr'", "")
        assert g.get_tag_modules("a") == ["m1"] == g.get_tag_modules("b")
        assert g.get_tag_modules("e-tag") == []  # tags of events are not consulted
        data.check()

    def test_value_and_unit_make_a_single(self, driver):
        driver.add_node("m")
        for extra in ({"note": "x"}, {"rd": single(1, "u")}, {"z": 5}):
            driver.graph.set_module_data("m", {"lat": {**extra, **single(7, "ns")}}, 1, [])
            assert query(driver.graph, "lat", "m") == {"value": 7.0, "unit": "ns"}
        for entry, kind in (({"value": 2.0}, "float"), ({"unit": "ns"}, "str")):  # one key: multi-op
            with pytest.raises(TypeError) as info:
                driver.graph.set_module_data("m", {"lat": entry}, 1, [])
            assert type(info.value) is TypeError
            assert str(info.value) == f"'{kind}' object cannot be converted to 'PyDict'"

    def test_non_dict_metrics_are_skipped(self, driver):
        driver.add_node("m")
        metrics = {"a": 3, "lat": single(1, "s"), "b": None, "c": [single(1, "s")]}
        driver.graph.set_module_data("m", metrics, 2, ("t",))
        assert query(driver.graph, "lat", "m") == {"value": 1.0, "unit": "s"}
        for metric in "abc":
            with pytest.raises(ValueError, match=f"^Metric '{metric}' not found on module 'm'$"):
                query(driver.graph, metric, "m")
        assert driver.graph.get_tag_modules("t") == ["m"]

    def test_second_call_replaces_named_metrics_and_all_tags(self, data):
        g = data.graph
        g.set_module_data("m1", {"bw": single(5, "B"), "lat": {"x": single(1, "s")}}, 1, ["c"])
        assert query(g, "bw", "m1") == {"value": 5.0, "unit": "B"}
        assert op_names(g, "m1", "lat") == "'x'"
        assert op_names(g, "m1", "none") == ""  # not named: left alone
        assert g.get_tag_modules("a") == [] and g.get_tag_modules("c") == ["m1"]

    def test_unknown_node_wins_over_bad_metrics(self, sample):
        with pytest.raises(ValueError, match="^Node 'zz' not found$"):
            sample.graph.set_module_data("zz", {1: 2, "x": {"rd": 5}}, 1, [])
        sample.check_usable()

    @pytest.mark.parametrize("node", ["m", "zz"])
    def test_arguments_then_node_then_each_entry(self, driver, node):
        driver.add_node("m")
        seen = []
        metrics = {k: single(Traced(seen, k, 1), "s") for k in "ab"}
        call = lambda: driver.graph.set_module_data(  # noqa: E731
            node, metrics, Traced(seen, "instance", 2), Traced(seen, "tags", "t"))
        if node == "zz":
            with pytest.raises(ValueError, match="^Node 'zz' not found$"):
                call()
            assert seen == ["instance", "tags"]
        else:
            call()
            assert seen == ["instance", "tags", "a", "b"]

    def test_dict_changed_mid_walk_keeps_entries_written(self, driver):
        driver.add_node("m")
        g = driver.graph
        metrics = {"a": single(1, "s")}
        metrics["b"] = single(Traced([], "b", 2, then=lambda: metrics.update(z=0)), "s")
        metrics["c"] = single(3, "s")
        with pytest.raises(BaseException) as info:  # noqa: B017
            g.set_module_data("m", metrics, 5, ["new"])
        assert type(info.value).__name__ == "PanicException"
        assert str(info.value) == "dictionary changed size during iteration"
        assert [query(g, k, "m")["value"] for k in "ab"] == [1.0, 2.0]
        with pytest.raises(ValueError, match="^Metric 'c' not found"):
            query(g, "c", "m")
        assert g.get_tag_modules("new") == []
        driver.check_usable()

    @pytest.mark.parametrize(
        "key, bad, exc, message",
        [
            ("bad", {"value": "1", "unit": "ns"}, TypeError, "must be real number, not str"),
            ("bad", {"value": 1, "unit": 5}, TypeError, PYSTRING.format("int")),
            (7, single(1, "s"), TypeError, PYSTRING.format("int")),
            ("bad", {"rd": single(1, "u"), "wr": 7}, TypeError, "'int' object cannot be converted to 'PyDict'"),
            ("bad", {3: single(1, "u")}, TypeError, PYSTRING.format("int")),
            ("bad", {"rd": single(None, "u")}, TypeError, "must be real number, not NoneType"),
            ("bad", {"rd": single(Boom(), "u")}, ValueError, "no number here"),
            ("bad", {"rd": {"unit": "u"}}, ValueError, "Operation 'rd' of metric 'bad' has no 'value'"),
            ("bad", {"rd": {"value": 1}}, ValueError, "Operation 'rd' of metric 'bad' has no 'unit'"),
            ("bad", {"rd": {}}, ValueError, "Operation 'rd' of metric 'bad' has no 'value'"),
        ],
    )
    def test_failure_keeps_earlier_entries_only(self, driver, key, bad, exc, message):
        driver.add_node("m")
        g = driver.graph
        g.set_module_data("m", {"bad": single(9, "old")}, 1, ["old"])
        with pytest.raises(exc) as info:
            g.set_module_data("m", {"lat": single(1, "ns"), key: bad, "late": single(3, "s")}, 2, ["new"])
        assert type(info.value) is exc and str(info.value) == message
        assert query(g, "lat", "m") == {"value": 1.0, "unit": "ns"}
        assert query(g, "bad", "m") == {"value": 9.0, "unit": "old"}
        with pytest.raises(ValueError, match="^Metric 'late' not found"):
            query(g, "late", "m")
        assert g.get_tag_modules("old") == ["m"] and g.get_tag_modules("new") == []
        driver.check_usable()

    @pytest.mark.parametrize("node", ["m1", "zz"])
    @pytest.mark.parametrize(
        "override, param, message",
        [
            ({"node_name": 1, "instance": "x"}, "node_name", PYSTRING.format("int")),
            ({"metrics": [("lat", 1)]}, "metrics", "'list' object cannot be converted to 'PyDict'"),
            ({"instance": "4", "tags": "ab"}, "instance", "must be real number, not str"),
            ({"tags": "ab"}, "tags", "Can't extract `str` to `Vec`"),
            ({"tags": 5}, "tags", "'int' object cannot be converted to 'Sequence'"),
            ({"tags": {"a"}}, "tags", "'set' object cannot be converted to 'Sequence'"),
            ({"tags": ["a", 1]}, "tags", PYSTRING.format("int")),
        ],
    )
    def test_argument_conversion_first(self, sample, node, override, param, message):
        args = {"node_name": node, "metrics": {"lat": single(1, "ns")}, "instance": 1, "tags": ["t"]}
        with pytest.raises(TypeError) as info:
            sample.graph.set_module_data(**{**args, **override})
        assert str(info.value) == f"argument '{param}': {message}"
        with pytest.raises(ValueError, match="^Metric 'lat' not found"):
            query(sample.graph, "lat", "m1")
        assert sample.graph.get_tag_modules("t") == []
        sample.check_usable()


class TestInitMetrics:
    def test_every_edgeless_node_gets_zero(self, sample):
        g = sample.graph
        assert g.init_metrics({"lat": "ns", "bw": ""}) is None
        for node in ("m1", "m2", "lonely"):
            assert query(g, "lat", node) == {"value": 0.0, "unit": "ns"}
            assert query(g, "bw", node) == {"value": 0.0, "unit": ""}
        sample.add_node("late")
        with pytest.raises(ValueError, match="^Metric 'lat' not found on module 'late'$"):
            query(g, "lat", "late")
        sample.check()

    def test_replaces_listed_metrics_only(self, data):
        g = data.graph
        g.init_metrics({"bw": "B", "none": "x"})
        assert query(g, "bw", "m1") == {"value": 0.0, "unit": "B"}
        assert query(g, "none", "m1") == {"value": 0.0, "unit": "x"}
        assert query(g, "lat", "m1") == {"value": 2.0, "unit": "ns"}
        g.init_metrics({})
        assert query(g, "lat", "m1")["value"] == 2.0

    @pytest.mark.parametrize(
        "units, message",
        [
            ([("lat", "ns")], "'list' object cannot be converted to 'PyDict'"),
            ({"lat": "ns", "bw": 1}, PYSTRING.format("int")),
            ({"lat": "ns", 2: "s"}, PYSTRING.format("int")),
        ],
    )
    def test_converted_whole_before_any_change(self, sample, units, message):
        with pytest.raises(TypeError) as info:
            sample.graph.init_metrics(units)
        assert str(info.value) == f"argument 'metric_units': {message}"
        with pytest.raises(ValueError, match="^Metric 'lat' not found"):
            query(sample.graph, "lat", "m1")
        sample.check_usable()


@pytest.mark.parametrize(
    "method, param, good, bad, message",
    [
        ("set_edge_factor", "factor", {"lat": 0.0, "a": -2, "b": NAN, "c": True, "d": float("-inf")},
         {"lat": "2"}, "must be real number, not str"),
        ("set_edge_operation", "operation", {"lat": "rd", "bw": "no such op"},
         {"lat": 1}, PYSTRING.format("int")),
    ],
)
class TestEdgeSetters:
    def test_any_values_accepted(self, sample, method, param, good, bad, message):
        setter = getattr(sample.graph, method)
        assert [setter("e", "m1", good), setter("e", "m1", {}), setter("w", "e", good)] == [None] * 3
        sample.check()

    @pytest.mark.parametrize("source, target", [("m1", "e"), ("m1", "m2"), ("zz", "m1"), ("e", "zz")])
    def test_missing_edge(self, sample, caplog, method, param, good, bad, message, source, target):
        with pytest.raises(ValueError) as info:
            getattr(sample.graph, method)(source, target, good)
        assert str(info.value) == f"Edge '{source}' -> '{target}' not found"
        assert records(caplog) == []
        sample.check_usable()

    @pytest.mark.parametrize("source", ["e", "zz"])
    def test_conversion_before_lookup(self, sample, method, param, good, bad, message, source):
        setter = getattr(sample.graph, method)
        for arg, text in ((bad, message), ([], "'list' object cannot be converted to 'PyDict'")):
            with pytest.raises(TypeError) as info:
                setter(source, "m1", arg)
            assert str(info.value) == f"argument '{param}': {text}"
        with pytest.raises(TypeError, match="^argument 'target': 'int' object"):
            setter(source, 1, bad)
        sample.check_usable()


INVALID_OP = "Invalid operation <{}> for metric <{}> in module <m1>; legal values: [{}]."


class TestQueryModuleMetric:
    @pytest.mark.parametrize(
        "args, message, logged",
        [
            (("lat",), "module argument is required", False),
            (("lat", None, "rd"), "module argument is required", False),
            (("nope", "zz"), "Invalid module <zz>.", True),
            (("lat", "%s %(x)d 100% é\u0301 😀"), "Invalid module <%s %(x)d 100% é\u0301 😀>.", True),
            (("lat", "e"), "Invalid event <e>; this function requires a module.", True),
            (("nope", "w", "rd"), "Invalid event <w>; this function requires a module.", True),
            (("nope", "m1"), "Metric 'nope' not found on module 'm1'", False),
            (("lat", "m2", "rd"), "Metric 'lat' not found on module 'm2'", False),
            (("bw", "m1"), INVALID_OP.format("None", "bw", "'rd', 'wr'"), True),
            (("bw", "m1", "RD"), INVALID_OP.format("RD", "bw", "'rd', 'wr'"), True),
            (("none", "m1", ""), INVALID_OP.format("", "none", ""), True),
        ],
    )
    def test_failures(self, data, caplog, args, message, logged):
        with pytest.raises(ValueError) as info:
            data.graph.query_module_metric(*args)
        assert type(info.value) is ValueError and str(info.value) == message
        assert records(caplog) == ([("nuvel_core", "ERROR", message)] if logged else [])
        assert all(not r.args and r.exc_info is None for r in caplog.records)
        data.check_usable()

    @pytest.mark.parametrize("operation", [None, "rd", "%d"])
    def test_single_ignores_operation_with_a_warning(self, data, caplog, operation):
        result = data.graph.query_module_metric("lat", module="m1", operation=operation)
        assert result == {"value": 2.0, "unit": "ns"}
        warning = (f"Ignore operation <{operation}> for metric <lat> in module <m1>; "
                   "this module requires no specified operation.")
        assert records(caplog) == ([] if operation is None else [("nuvel_core", "WARNING", warning)])

    @pytest.mark.parametrize(
        "args, param, kind",
        [((1,), "metric", "int"), (("lat", 1), "module", "int"), (("lat", None, b"rd"), "operation", "bytes")],
    )
    def test_argument_conversion_first(self, data, caplog, args, param, kind):
        with pytest.raises(TypeError) as info:
            data.graph.query_module_metric(*args)
        assert str(info.value) == f"argument '{param}': " + PYSTRING.format(kind)
        assert records(caplog) == []

    def test_handler_runs_under_a_shared_borrow(self, data):
        g, seen = data.graph, []

        class Reenter(logging.Handler):
            def emit(self, record):
                seen.append(g.get_tag_modules("a"))
                try:
                    g.set_node_specified_metric("m1", "lat", 1.0, "s")
                except RuntimeError as exc:
                    seen.append(str(exc))

        logger, handler = logging.getLogger("nuvel_core"), Reenter()
        logger.addHandler(handler)
        try:
            with pytest.raises(ValueError, match="^Invalid module <zz>.$"):
                query(g, "lat", "zz")
        finally:
            logger.removeHandler(handler)
        assert seen == [["m1"], "Already borrowed"]
        assert g.get_node_specified_metric("m1", "lat") is None
        data.check_usable()


class TestSpecifiedMetric:
    def test_set_get_replace(self, data):
        g = data.graph
        assert g.get_node_specified_metric("m1", "lat") is None
        assert g.set_node_specified_metric("m1", "lat", 3.5, "ms") is None
        g.set_node_specified_metric("m1", "bw", 2, "")
        value = g.get_node_specified_metric("m1", "bw")
        assert type(value) is float and value == 2.0
        g.set_node_specified_metric("m1", "lat", -1, "s")
        assert g.get_node_specified_metric("m1", "lat") == -1.0
        assert g.get_node_specified_metric("m1", "Lat") is None
        assert g.get_node_specified_metric("m2", "lat") is None
        assert query(g, "lat", "m1") == {"value": 2.0, "unit": "ns"}  # a separate map
        for node in ("w", "e", "lonely"):  # any node
            g.set_node_specified_metric(node, "x", NAN, "u")
            assert repr(g.get_node_specified_metric(node, "x")) == "nan"

    @pytest.mark.parametrize(
        "call",
        [lambda g: g.set_node_specified_metric("zz", "lat", 1.0, "s"),
         lambda g: g.get_node_specified_metric("zz", "lat")],
    )
    def test_unknown_node(self, data, caplog, call):
        with pytest.raises(ValueError) as info:
            call(data.graph)
        assert str(info.value) == "Node 'zz' not found"
        assert records(caplog) == []
        data.check_usable()

    @pytest.mark.parametrize(
        "args, message",
        [
            (("zz", "lat", "1", "s"), "argument 'value': must be real number, not str"),
            (("m1", 2, "1", None), "argument 'metric_name': " + PYSTRING.format("int")),
            (("m1", "lat", 1.0, None), "argument 'unit': " + PYSTRING.format("NoneType")),
        ],
    )
    def test_argument_conversion_first(self, data, args, message):
        with pytest.raises(TypeError) as info:
            data.graph.set_node_specified_metric(*args)
        assert str(info.value) == message
        assert data.graph.get_node_specified_metric("m1", "lat") is None
