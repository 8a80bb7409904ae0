"""Argument binding, argument conversion and borrowing of NuvelGraph methods.

Every failure provoked on the `sample` graph ends with `check_usable()`:
the graph must be unchanged and must accept an exclusive call again.
"""

import pytest

from nuvel import NuvelGraph


class Label:
    pass


class Text(str):
    pass


class StrictTypeError(TypeError):
    pass


class HasIndex:
    def __index__(self):
        return 4


class HasFloat:
    def __init__(self, value=None, exc=None, hook=None):
        self.value, self.exc, self.hook, self.calls = value, exc, hook, 0

    def __float__(self):
        self.calls += 1
        if self.hook is not None:
            self.hook()
        if self.exc is not None:
            raise self.exc
        return self.value


MISSING = "missing {} required positional argument"
BINDING = [
    (lambda g: g.add_edge("w"), "add_edge", MISSING.format(1) + ": 'target'"),
    (lambda g: g.add_edge(), "add_edge", MISSING.format(2) + "s: 'source' and 'target'"),
    (lambda g: g.set_edge_count(), "set_edge_count",
     MISSING.format(3) + "s: 'source', 'target', and 'count'"),
    (lambda g: g.set_edge_count(count="x"), "set_edge_count",
     MISSING.format(2) + "s: 'source' and 'target'"),
    (lambda g: g.add_node(performance="p"), "add_node", MISSING.format(1) + ": 'name'"),
    (lambda g: g.has_node(1, 2), "has_node", "takes 1 positional arguments but 2 were given"),
    (lambda g: g.has_node("a", "b", bogus=1), "has_node",
     "takes 1 positional arguments but 2 were given"),
    (lambda g: g.get_edge_count("w", "e", "x"), "get_edge_count",
     "takes 2 positional arguments but 3 were given"),
    (lambda g: g.add_node("a", "b", "c"), "add_node",
     "takes from 1 to 2 positional arguments but 3 were given"),
    (lambda g: g.add_node("a", name="b"), "add_node", "got multiple values for argument 'name'"),
    (lambda g: g.add_node(nme="a"), "add_node", "got an unexpected keyword argument 'nme'"),
    (lambda g: g.get_tag_modules(Tag="x"), "get_tag_modules",
     "got an unexpected keyword argument 'Tag'"),
    (lambda g: g.add_edge("w", bogus=1, source="e"), "add_edge",
     "got an unexpected keyword argument 'bogus'"),
    (lambda g: g.add_edge("w", source="e", bogus=1), "add_edge",
     "got multiple values for argument 'source'"),
]


class TestBinding:
    @pytest.mark.parametrize("call, method, tail", BINDING)
    def test_messages(self, sample, call, method, tail):
        with pytest.raises(TypeError) as info:
            call(sample.graph)
        assert type(info.value) is TypeError
        assert str(info.value) == f"NuvelGraph.{method}() {tail}"
        sample.check_usable()

    @pytest.mark.parametrize(
        "args, kwargs, tail",
        [
            ((1,), {}, "takes 0 positional arguments but 1 was given"),
            ((1, 2), {}, "takes 0 positional arguments but 2 were given"),
            ((), {"x": 1}, "got an unexpected keyword argument 'x'"),
        ],
    )
    def test_constructor(self, args, kwargs, tail):
        with pytest.raises(TypeError) as info:
            NuvelGraph(*args, **kwargs)
        assert str(info.value) == f"NuvelGraph.__new__() {tail}"

    def test_keywords_in_any_order(self, sample):
        sample.graph.set_edge_count(count=4, target="m2", source="e")
        sample.model.set_edge_count("e", "m2", 4)
        sample.check()

    def test_optional_none_is_absent(self):
        g = NuvelGraph()
        g.add_node("a")
        g.add_node("b", None)
        g.add_node("c", performance=None)
        assert [g.get_performance_path(n) for n in "abc"] == [None] * 3


class TestTextConversion:
    SITES = [
        (lambda g, x: g.has_node(x), "name"),
        (lambda g, x: g.get_tag_modules(x), "tag"),
        (lambda g, x: g.add_node("n", x), "performance"),
        (lambda g, x: g.add_edge("w", x), "target"),
        (lambda g, x: g.set_edge_aggregation("w", "e", x), "agg"),
    ]

    @pytest.mark.parametrize("call, param", SITES)
    @pytest.mark.parametrize(
        "value, type_name", [(1, "int"), (b"w", "bytes"), (Label(), "Label"), (None, "NoneType")]
    )
    def test_non_str_refused(self, sample, call, param, value, type_name):
        if value is None and param == "performance":
            return  # None is the absent value of an optional text
        with pytest.raises(TypeError) as info:
            call(sample.graph, value)
        assert type(info.value) is TypeError
        assert str(info.value) == (
            f"argument '{param}': '{type_name}' object cannot be converted to 'PyString'"
        )
        sample.check_usable()

    def test_str_subclass_accepted(self, driver):
        driver.add_node(Text("a"), Text("perf"))
        driver.add_node("b")
        driver.add_edge(Text("a"), Text("b"))
        driver.set_edge_aggregation(Text("a"), "b", Text("sequential"))
        driver.check()
        g = driver.graph
        assert all(type(n) is str for n in g.get_all_node_names())
        assert type(g.get_performance_path("a")) is str
        assert type(g.get_edge_aggregation("a", "b")) is str

    @pytest.mark.parametrize("call, _", SITES)
    def test_lone_surrogate_raises_encoding_error(self, sample, call, _):
        with pytest.raises(UnicodeEncodeError) as info:
            call(sample.graph, "e\udc80")
        assert not str(info.value).startswith("argument ")
        sample.check_usable()


class TestDoubleConversion:
    @pytest.mark.parametrize(
        "value, expected",
        [(2, 2.0), (True, 1.0), (2**53 + 1, 2.0**53), (HasFloat(3.5), 3.5), (HasIndex(), 4.0)],
    )
    def test_accepted(self, sample, value, expected):
        sample.graph.set_edge_count("w", "e", value)
        result = sample.graph.get_edge_count("w", "e")
        assert type(result) is float and result == expected

    @pytest.mark.parametrize("value", ["1", None, [1.0], Label()])
    def test_refused_with_parameter_prefix(self, sample, value):
        with pytest.raises(TypeError) as info:
            sample.graph.set_edge_count("e", "m1", value)
        assert type(info.value) is TypeError
        assert str(info.value).startswith("argument 'count': ")
        assert type(value).__name__ in str(info.value)
        sample.check_usable()

    @pytest.mark.parametrize(
        "value, exc_type",
        [
            (HasFloat(exc=ValueError("bad value")), ValueError),
            (HasFloat(exc=StrictTypeError("strict")), StrictTypeError),
            (10**400, OverflowError),
        ],
    )
    def test_other_errors_pass_through_unchanged(self, sample, value, exc_type):
        with pytest.raises(exc_type) as info:
            sample.graph.set_edge_count("e", "m1", value)
        assert not str(info.value).startswith("argument ")
        if isinstance(value, HasFloat):
            assert info.value is value.exc
        sample.check_usable()

    @pytest.mark.parametrize("root", [None, KeyError("root")])
    def test_type_error_remapped_with_its_cause(self, sample, root):
        raised = []

        class Chained:
            def __float__(self):
                try:
                    raise TypeError("inner") from root
                except TypeError as exc:
                    raised.append(exc)
                    raise

        with pytest.raises(TypeError) as info:
            sample.graph.set_edge_count("e", "m1", Chained())
        assert type(info.value) is TypeError and info.value is not raised[0]
        assert str(info.value) == "argument 'count': inner"
        assert info.value.__cause__ is root
        sample.check_usable()


class TestConversionOrder:
    @pytest.mark.parametrize(
        "args, kwargs, param",
        [
            ((1, 2), {}, "source"),
            (("w", 2), {}, "target"),
            ((), {"target": 2, "source": 1}, "source"),
            (("nowhere", "nothing"), {"count": "x"}, "count"),
        ],
    )
    def test_first_failing_argument_decides(self, sample, args, kwargs, param):
        probe = HasFloat(5.0)  # a later argument is not looked at
        with pytest.raises(TypeError, match=f"^argument '{param}': "):
            sample.graph.set_edge_count(*args, **{"count": probe, **kwargs})
        assert probe.calls == 0
        sample.check_usable()

    def test_arguments_are_converted_before_the_edge_lookup(self, sample):
        probe = HasFloat(5.0)
        with pytest.raises(ValueError, match="^Edge 'm1' -> 'e' not found$"):
            sample.graph.set_edge_count("m1", "e", probe)
        assert probe.calls == 1
        sample.check_usable()


class TestBorrow:
    @pytest.mark.parametrize(
        "reenter, message",
        [
            (lambda g: g.has_node("w"), "Already mutably borrowed"),
            (lambda g: g.get_edge_count("e", "m1"), "Already mutably borrowed"),
            (lambda g: g.add_node("intruder"), "Already borrowed"),
            (lambda g: g.set_edge_count("e", "m1", 9.0), "Already borrowed"),
        ],
    )
    def test_reentry_during_exclusive_call_is_refused(self, sample, reenter, message):
        g = sample.graph
        with pytest.raises(RuntimeError) as info:
            g.set_edge_count("e", "m1", HasFloat(7.0, hook=lambda: reenter(g)))
        assert type(info.value) is RuntimeError
        assert str(info.value) == message
        sample.check_usable()
