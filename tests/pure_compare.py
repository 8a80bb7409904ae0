"""The one comparison of a NuvelGraph with the pure-Python PureGraph (tests/pure.py): the same
call on both gives the same result (floats by their bits, every NaN alike) or exception (type,
text, cause), and the same records of "nuvel_core" and its child (logger, level number, text)."""

import logging
import math
import struct

from pure import PureGraph

from nuvel import NuvelGraph


class Capture(logging.Handler):
    """Takes the records of "nuvel_core" and its child for itself until detached."""

    def __init__(self):
        super().__init__(logging.NOTSET)
        self.records = []
        core = logging.getLogger("nuvel_core")
        core.addHandler(self)
        self.propagate, core.propagate = core.propagate, False

    def emit(self, record):
        self.records.append(record)

    def detach(self):
        core = logging.getLogger("nuvel_core")
        core.propagate = self.propagate
        core.removeHandler(self)

    def take(self):
        """The records since the last take, each delivered verbatim: no arguments."""
        records, self.records = self.records, []
        for r in records:
            assert r.args in ((), None) and r.msg == r.getMessage(), f"record not verbatim: {r.msg!r} {r.args!r}"
        return [(r.name, r.levelno, r.msg) for r in records]


def bits(value):
    """`value` in a form that compares floats by their bits and every type exactly."""
    if type(value) is float:
        return "nan" if math.isnan(value) else struct.pack("<d", value).hex()
    if isinstance(value, dict):
        return "dict", [(key, bits(item)) for key, item in value.items()]
    if isinstance(value, (list, tuple)):
        return type(value).__name__, [bits(item) for item in value]
    if isinstance(value, (NuvelGraph, PureGraph)):
        return "graph"
    return type(value).__name__, value


def outcome(graph, method, args=(), kwargs=None, capture=None):
    """(outcome key, records, result or exception) of graph.method(*args, **kwargs)."""
    if capture is not None:
        capture.take()
    try:
        result = getattr(graph, method)(*args, **(kwargs or {}))
    except BaseException as exc:  # PanicException derives from BaseException
        if not isinstance(exc, Exception) and type(exc).__name__ != "PanicException":
            raise
        result, key = exc, (type(exc).__name__, str(exc), repr(exc.__cause__))
    else:
        key = ("ok", bits(result))
    return key, capture.take() if capture is not None else [], result


def saved(graph, path):
    graph.save_json(str(path))
    return path.read_bytes()


def agree(where, got, want):
    assert got[:2] == want[:2], f"{where}\n  nuvel: {got[:2]!r}\n  pure:  {want[:2]!r}"


class Driver:
    """A NuvelGraph and a PureGraph given the same calls. With a Capture, the
    records of each call are compared too."""

    def __init__(self, graph=None, model=None, capture=None):
        self.graph = NuvelGraph() if graph is None else graph
        self.model = PureGraph() if model is None else model
        self.capture = capture

    def both(self, method, *args, **kwargs):
        """Both graphs' results (or exceptions), after requiring the same outcome."""
        got, want = (outcome(graph, method, args, kwargs, self.capture) for graph in (self.graph, self.model))
        agree(f"{method}{args!r}{kwargs or ''}", got, want)
        return got[2], want[2]

    def __getattr__(self, method):
        """Any other method of the graphs: called on both, the NuvelGraph's result."""
        if method.startswith("_"):
            raise AttributeError(method)
        return lambda *args, **kwargs: self.both(method, *args, **kwargs)[0]

    def saves(self, folder, label="saved"):
        """Saves both graphs to files of their own, which must be equal; their bytes."""
        paths = [folder / f"{label}.{side}.json" for side in ("nuvel", "pure")]
        got, want = (outcome(graph, "save_json", (str(path),), None, self.capture)
                     for graph, path in zip((self.graph, self.model), paths))
        agree(f"save_json ({label})", got, want)
        data = paths[0].read_bytes()
        assert data == paths[1].read_bytes(), f"saved files differ ({label})"
        return data

    def check(self):
        """Every structure query agrees, on every name and edge."""
        model = self.model
        self.both("get_all_node_names")
        self.both("get_leaf_names")
        for name in dict.fromkeys(model.get_all_node_names() + ["", "\x00never added"]):
            for query in ("has_node", "is_leaf", "get_performance_path", "get_out_neighbors", "get_tag_modules"):
                self.both(query, name)
            targets = model.get_out_neighbors(name) if model.has_node(name) else []
            for target in dict.fromkeys(targets + [name]):  # the self-loop mostly missing
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
