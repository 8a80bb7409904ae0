"""Wrong arguments on every method: each raises its exact exception on
NuvelGraph and PureGraph alike and leaves the graph as it was and usable.
test_stateful and test_leaks use these tables too.
"""

import math
from collections import OrderedDict

import pytest
from pure_compare import Driver, NuvelGraph, PureGraph, saved


class OddName(type):
    """Answers __qualname__ with an int: the type name in a message is str() of its qualified name."""

    def __getattribute__(cls, name):
        return 42 if name == "__qualname__" else super().__getattribute__(name)


def number(name, **methods):
    """An instance of a new class `name` with the given dunder methods."""
    return type(name, (), {f"__{k}__": v for k, v in methods.items()})()


def raising(make):
    def method(self):
        raise make()
    return method


def chained():
    error = TypeError("inner")
    error.__cause__ = KeyError("root")
    return error


class StrictTypeError(TypeError):
    pass


NO_FLOAT = number("NoFloat", float=raising(lambda: ValueError("no float here")))


SETUP = [
    ("add_node", ("w",)), ("add_node", ("e", "perf/e")), ("add_node", ("m",)),
    ("add_edge", ("w", "e")), ("add_edge", ("e", "m")),
    ("init_metrics", ({"lat": "ns"},)),
    ("set_module_data", ("m", {"lat": {"value": 2.0, "unit": "ns"},
                               "bw": {"rd": {"value": 1.0, "unit": "B"}}}, 2, ["t"])),
    ("set_edge_count", ("e", "m", 3)), ("set_edge_factor", ("e", "m", {"lat": 0.5})),
    ("set_edge_operation", ("e", "m", {"bw": "rd"})),
    ("set_node_specified_metric", ("e", "lat", 4.0, "ns")),
]


def built(cls):
    graph = cls()
    for method, args in SETUP:
        getattr(graph, method)(*args)
    return graph


def surrogate(text, at):
    return (UnicodeEncodeError,
            f"'utf-8' codec can't encode character {text[at]!r} in position {at}: surrogates not allowed")


def cannot(type_name, kind):
    return (TypeError, f"'{type_name}' object cannot be converted to '{kind}'")


def not_real(type_name):
    return (TypeError, f"must be real number, not {type_name}")


TOO_LARGE = (OverflowError, "int too large to convert to float")

# kind -> [(wrong value, (exception type, message before the parameter prefix))]
OPTIONAL_TEXT = [(OddName("Odd", (), {})(), cannot("42", "PyString")), ("w\udfff", surrogate("w\udfff", 1))]
NOT_A_DICT = [("lat", cannot("str", "PyDict")), (None, cannot("NoneType", "PyDict"))]
KINDS = {
    "optional": OPTIONAL_TEXT,
    "text": OPTIONAL_TEXT + [(None, cannot("NoneType", "PyString"))],
    "double": [("1", not_real("str")), (None, not_real("NoneType")), (10**400, TOO_LARGE),
               (number("HugeIndex", index=lambda self: 2**1024), TOO_LARGE), (NO_FLOAT, (ValueError, "no float here")),
               (number("IntFloat", float=lambda self: 1),
                (TypeError, "IntFloat.__float__ returned non-float (type int)")),
               (number("Chained", float=raising(chained)), (TypeError, "inner")),
               (number("Strict", float=raising(lambda: StrictTypeError("strict"))), (StrictTypeError, "strict"))],
    "texts": NOT_A_DICT + [({1: "a"}, cannot("int", "PyString")), ({"a": 1}, cannot("int", "PyString")),
                           ({"a": None}, cannot("NoneType", "PyString")), ({"a": "\ud800"}, surrogate("\ud800", 0))],
    "doubles": [((("lat", 1.0),), cannot("tuple", "PyDict")), ({1: 1.0}, cannot("int", "PyString")),
                ({"lat": "x"}, not_real("str")), ({"lat": 10**400}, TOO_LARGE),
                ({"\ud800": 1.0}, surrogate("\ud800", 0))],
    "tags": [("ab", (TypeError, "Can't extract `str` to `Vec`")), ({"t": 1}, cannot("dict", "Sequence")),
             (None, cannot("NoneType", "Sequence")), (["t", 1], cannot("int", "PyString")),
             (b"ab", cannot("int", "PyString")), (("\ud800",), surrogate("\ud800", 0))],
    "metrics": NOT_A_DICT,
}
# Entries of `metrics` are read by the body, after the node lookup: no prefix.
# Each fails at the first entry, so nothing is written.
BAD_ENTRIES = [
    ({1: {"value": 1.0, "unit": "ns"}}, cannot("int", "PyString")),
    ({"lat": {"value": "x", "unit": "ns"}}, not_real("str")),
    ({"lat": {"value": 10**400, "unit": "ns"}}, TOO_LARGE),
    ({"lat": {"value": 1.0, "unit": 5}}, cannot("int", "PyString")),
    ({"lat": {"value": math.nan, "unit": "\ud800"}}, surrogate("\ud800", 0)),
    ({"lat": {"value": 1.0}}, cannot("float", "PyDict")),
    ({"lat": {"rd": {"value": 1.0}}}, (ValueError, "Operation 'rd' of metric 'lat' has no 'unit'")),
    ({"lat": {"rd": {"unit": "ns"}}}, (ValueError, "Operation 'rd' of metric 'lat' has no 'value'")),
    ({"lat": {"rd": {"value": NO_FLOAT, "unit": "ns"}}}, (ValueError, "no float here")),
]

NAME = [("name", "text", "w")]
EDGE = [("source", "text", "e"), ("target", "text", "m")]
METHODS = {
    "add_node": [("name", "text", "x"), ("performance", "optional", "p")],
    "add_edge": [("source", "text", "w"), ("target", "text", "m")],
    "has_node": NAME, "is_leaf": NAME, "get_performance_path": NAME, "get_out_neighbors": NAME,
    "get_tag_modules": [("tag", "text", "t")],
    "init_metrics": [("metric_units", "texts", {"bw": "B/s"})],
    "set_module_data": [("node_name", "text", "m"), ("metrics", "metrics", {}), ("instance", "double", 1),
                        ("tags", "tags", ["t"])],
    "set_edge_count": EDGE + [("count", "double", 2)],
    "set_edge_aggregation": EDGE + [("agg", "text", "sequential")],
    "set_edge_operation": EDGE + [("operation", "texts", {"bw": "wr"})],
    "set_edge_factor": EDGE + [("factor", "doubles", {"lat": 2})],
    "get_edge_count": EDGE, "get_edge_aggregation": EDGE,
    "set_node_specified_metric": [("node_name", "text", "e"), ("metric_name", "text", "lat"),
                                  ("value", "double", 1.5), ("unit", "text", "ns")],
    "get_node_specified_metric": [("node_name", "text", "e"), ("metric_name", "text", "lat")],
    "query_module_metric": [("metric", "text", "lat"), ("module", "optional", "m"), ("operation", "optional", None)],
    "aggregate_event_metric": [("metric", "text", "lat"), ("metric_aggregation", "text", "summation"),
                               ("metric_unit", "text", "ns"), ("workload", "optional", "w"), ("event", "optional", "e")],
    "aggregate_event_count": [("workload", "optional", "w"), ("event", "optional", "e")],
    "save_json": [("path", "text", None)],
    "load_json": [("path", "text", None)],
}


BINDING = [  # (method, args, kwargs, the message after "NuvelGraph.method() ")
    ("add_edge", ("w",), {}, "missing 1 required positional argument: 'target'"),
    ("set_edge_count", (), {}, "missing 3 required positional arguments: 'source', 'target', and 'count'"),
    ("set_edge_count", (), {"count": "x"}, "missing 2 required positional arguments: 'source' and 'target'"),
    ("add_node", (), {"performance": "p"}, "missing 1 required positional argument: 'name'"),
    ("has_node", ("a", "b"), {"bogus": 1}, "takes 1 positional arguments but 2 were given"),
    ("add_node", ("a", "b", "c"), {}, "takes from 1 to 2 positional arguments but 3 were given"),
    ("get_edge_count", ("w", "e", "x"), {}, "takes 2 positional arguments but 3 were given"),
    ("add_node", ("a",), {"name": "b"}, "got multiple values for argument 'name'"),
    ("get_tag_modules", (), {"Tag": "x"}, "got an unexpected keyword argument 'Tag'"),
    ("add_edge", ("w",), {"bogus": 1, "source": "e"}, "got an unexpected keyword argument 'bogus'"),
    ("add_edge", ("w",), {"source": "e", "bogus": 1}, "got multiple values for argument 'source'"),
    ("__new__", (1,), {}, "takes 0 positional arguments but 1 was given"),
    ("__new__", (), {"x": 1}, "got an unexpected keyword argument 'x'"),
]


def wrong_rows():
    """(id, method, args, exception type, message, what the row is a case of)."""
    for method, params in METHODS.items():
        valid = [value for _, _, value in params]
        for i, (param, kind, _) in enumerate(params):
            for k, (value, (exc, message)) in enumerate(KINDS[kind]):
                args = valid[:i] + [value] + valid[i + 1:]
                if exc is TypeError:
                    message = f"argument '{param}': {message}"
                yield (f"{method}-{param}-{value!r:.20}", method, tuple(args), exc, message,
                       {(method, param), (kind, k)})
        if len(params) > 1:
            # Arguments convert in order: with every one wrong, the first decides.
            message = f"argument '{params[0][0]}': {cannot('complex', 'PyString')[1]}"
            yield f"{method}-all-wrong", method, tuple(1.5j for _ in params), TypeError, message, {(method, "all")}
    for k, (metrics, (exc, message)) in enumerate(BAD_ENTRIES):
        yield f"entry-{metrics!r:.30}", "set_module_data", ("m", metrics, 7, ["u"]), exc, message, {("entry", k)}


WRONG = list(wrong_rows())


def unchanged_and_usable(pair, folder):
    assert pair.saves(folder) == saved(built(PureGraph), folder / "valid.json")
    pair.check_usable()


def assert_refused(folder, method, args, exc, message):
    pair = Driver(built(NuvelGraph), built(PureGraph))
    error = pair.both(method, *args)[0]
    assert (type(error), str(error)) == (exc, message)
    unchanged_and_usable(pair, folder)


@pytest.mark.parametrize("method, args, exc, message", [row[1:5] for row in WRONG], ids=[row[0] for row in WRONG])
def test_wrong_argument(tmp_path, method, args, exc, message):
    assert_refused(tmp_path, method, args, exc, message)


@pytest.mark.parametrize("method, args, kwargs, tail", BINDING)
def test_binding_message(tmp_path, method, args, kwargs, tail):
    pair = Driver(built(NuvelGraph), built(PureGraph))
    target = NuvelGraph if method == "__new__" else getattr(pair.graph, method)
    with pytest.raises(TypeError) as info:
        target(*args, **kwargs)
    assert (type(info.value), str(info.value)) == (TypeError, f"NuvelGraph.{method}() {tail}")
    unchanged_and_usable(pair, tmp_path)


@pytest.mark.parametrize("where, message", [
    ("a\x00b.json", "file name contained an unexpected NUL byte"),
    ("missing/g.json", "No such file or directory (os error 2)"),
    ("file/g.json", "Not a directory (os error 20)"),
    ("", "Is a directory (os error 21)"),
])
@pytest.mark.parametrize("method", ["save_json", "load_json"])
def test_refused_path(tmp_path, method, where, message):
    exc = ValueError if method == "load_json" and where == "" else OSError
    folder = tmp_path / "files"
    folder.mkdir()
    (folder / "file").write_text("{}")
    assert_refused(tmp_path, method, (str(folder / where),), exc, message)
    assert sorted(p.name for p in folder.iterdir()) == ["file"]


LONG = "n" * (1 << 20)
# Odd but valid values that the random calls of test_stateful do not draw.
ODD_CALLS = [
    ("add_node", (LONG, LONG)), ("has_node", (LONG[:-1],)), ("get_performance_path", (LONG,)),
    ("add_edge", (LONG, "m")), ("add_edge", ("w", LONG)), ("set_edge_count", ("w", LONG, 2**1023)),
    ("get_edge_count", ("w", LONG)),
    ("set_edge_operation", ("e", "m", {"bw": "RD", LONG: "\x00"})),
    ("init_metrics", ({"": "", LONG: "u"},)),
    ("set_module_data", (LONG, {"bw": {"rd": {"value": math.nan, "unit": LONG}}}, -5, ["", LONG])),
    ("set_module_data", ("m", OrderedDict(lat={"value": 1, "unit": "s"}), 2**64,
                         number("Letters", getitem=lambda self, i: "xy"[i]))),  # a sequence by item access
    ("set_node_specified_metric", ("w", "lat", -math.inf, LONG)), ("get_node_specified_metric", ("w", "lat")),
    ("get_tag_modules", (LONG,)), ("query_module_metric", ("bw", LONG, "RD")), ("aggregate_event_count", (None, LONG)),
]


def test_odd_values_match_the_reference(tmp_path, capture):
    pair = Driver(built(NuvelGraph), built(PureGraph), capture)
    for method, args in ODD_CALLS:
        pair.both(method, *args)
    # Lower-cased, the sigma of "ΟΣΑ" is not final: the edge finds the module's operation.
    pair.init_metrics({"bw": "B"})
    pair.set_module_data("m", {"bw": {"οσα": {"value": 2.0, "unit": "B"}}}, 1, [])
    pair.set_edge_operation("e", "m", {"bw": "ΟΣΑ"})
    assert pair.aggregate_event_metric("bw", "summation", "B", "w", "e") == {"value": 6.0, "unit": "B"}
    pair.saves(tmp_path)
