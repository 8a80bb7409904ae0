"""Calls on a NuvelGraph and on the pure-Python PureGraph (tests/pure.py),
reduced to comparable outcomes.

An outcome is the result (floats by their bits, every NaN alike) or the
exception's type name and text, plus the log records of "nuvel_core" and
"nuvel_core.aggregate" emitted during the call (logger, level number, text).
"""

import logging
import math
import struct

import pytest
from pure import PureGraph

from nuvel import NuvelGraph


class Capture(logging.Handler):
    def __init__(self):
        super().__init__(logging.NOTSET)
        self.records = []

    def emit(self, record):
        # Verbatim delivery: no arguments, so the text is the message itself.
        self.records.append((record.name, record.levelno, record.getMessage(), record.msg, record.args))

    def attach(self):
        """Takes the records of "nuvel_core" (and its child) for itself."""
        core = logging.getLogger("nuvel_core")
        core.addHandler(self)
        self.propagate, core.propagate = core.propagate, False
        return self

    def detach(self):
        core = logging.getLogger("nuvel_core")
        core.propagate = self.propagate
        core.removeHandler(self)


@pytest.fixture
def capture():
    handler = Capture().attach()
    try:
        yield handler
    finally:
        handler.detach()


def float_key(x):
    assert type(x) is float, f"not a float: {x!r}"
    return "nan" if math.isnan(x) else struct.pack("<d", x).hex()


def result_key(result):
    if isinstance(result, (NuvelGraph, PureGraph)):
        return ("ok", "graph")
    if isinstance(result, dict):
        assert type(result["unit"]) is str
        return ("ok", list(result), float_key(result["value"]), result["unit"])
    if isinstance(result, float):
        return ("ok", float_key(result))
    return ("ok", type(result).__name__, result)


def run(graph, capture, method, args=(), kwargs=None):
    """(outcome key, records, result or exception) of graph.method(*args, **kwargs)."""
    capture.records.clear()
    try:
        result = getattr(graph, method)(*args, **(kwargs or {}))
    except BaseException as exc:  # PanicException derives from BaseException
        if not isinstance(exc, Exception) and type(exc).__name__ != "PanicException":
            raise
        result, key = exc, (type(exc).__name__, str(exc))
    else:
        key = result_key(result)
    records = list(capture.records)
    for name, level, text, msg, rec_args in records:
        assert rec_args in ((), None) and msg == text, f"record not verbatim: {msg!r} {rec_args!r}"
    return key, [r[:3] for r in records], result


def outcome(graph, capture, method, args):
    key, records, _ = run(graph, capture, method, args)
    return key, records


def compare(where, nuvel, pure):
    """Raises AssertionError naming `where` unless the two outcomes agree."""
    (got, got_records), (want, want_records) = nuvel[:2], pure[:2]
    assert got == want, f"{where}\n  nuvel: {got!r}\n  pure:  {want!r}"
    assert got_records == want_records, f"{where}: records differ\n  nuvel: {got_records!r}\n  pure:  {want_records!r}"
