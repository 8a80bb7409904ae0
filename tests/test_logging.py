"""Log records forwarded to Python `logging`.

The bridge caches each target's Python logger and level at the target's first
record, for the life of the process, so every test runs in a fresh
interpreter: the child script builds what it needs, checks the order of calls
where that matters, and prints one JSON report on its last stdout line.

The scripts log through query_module_metric (target "nuvel_core"): a Warn
when a Single metric is queried with an operation, an Error (then
ValueError) for an unknown module. Re-entry from a handler and the text of
records are checked in process (test_reentry, test_metrics).
"""

import json
import subprocess
import sys
import textwrap

PRELUDE = """
import json, logging, sys

calls = []

class Spy(logging.Logger):
    '''Records the calls the bridge makes on a logger.'''

    def isEnabledFor(self, level):
        calls.append(["isEnabledFor", level])
        return super().isEnabledFor(level)

    def makeRecord(self, *args, **kwargs):
        calls.append(["makeRecord", args[0], args[1], args[4]])
        Spy.made = (args, kwargs)
        return super().makeRecord(*args, **kwargs)

    def handle(self, record):
        calls.append(["handle", record.getMessage()])
        return super().handle(record)

def use_logger_class(cls):
    '''For loggers made from now on, and for "nuvel_core", which the package
    made at import to give it a NullHandler.'''
    logging.setLoggerClass(cls)
    logging.getLogger("nuvel_core").__class__ = cls

def spy_on_get_logger():
    real = logging.getLogger
    def getLogger(name=None):
        calls.append(["getLogger", name])
        return real(name)
    logging.getLogger = getLogger

class Capture(logging.Handler):
    def __init__(self):
        super().__init__()
        self.records = []

    def emit(self, record):
        self.records.append(record)

from nuvel import NuvelGraph

def module_graph(name="m"):
    g = NuvelGraph()
    g.add_node(name)
    g.set_module_data(name, {"lat": {"value": 2.0, "unit": "ns"}}, 1, [])
    return g

def warn(g, module="m"):
    '''One Warn record; returns the query's result.'''
    return g.query_module_metric("lat", module, "op")

def error(g, module="nowhere"):
    '''One Error record; returns the text of the ValueError that follows.'''
    try:
        g.query_module_metric("lat", module)
    except ValueError as e:
        return str(e)
    raise AssertionError("no ValueError")

def taken():
    out = calls[:]
    calls.clear()
    return out

def report(value):
    print()
    print(json.dumps(value))
"""

WARN_TEXT = (
    "Ignore operation <op> for metric <lat> in module <{}>; "
    "this module requires no specified operation."
)
RESULT = {"value": 2.0, "unit": "ns"}


def run(body, prelude=PRELUDE):
    """Runs prelude + body in a new interpreter: (report, stderr)."""
    code = prelude + textwrap.dedent(body)
    proc = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=60
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1]), proc.stderr


def delivered(level, message):
    return [["isEnabledFor", level], ["makeRecord", "nuvel_core", level, message],
            ["handle", message]]


class TestCallSequence:
    def test_first_record_then_cached(self):
        report, _ = run("""
            use_logger_class(Spy)
            spy_on_get_logger()
            g = module_graph()
            first = warn(g)
            first_calls = taken()
            args, kwargs = Spy.made
            shape = [len(args), kwargs, args[2], type(args[3]).__name__, args[3] > 0,
                     type(args[5]).__name__, args[5] == (), args[6] is None]
            warn(g)
            error(g)
            later = taken()
            # Less verbose later takes effect: the Warn asks Python and stops there.
            logging.getLogger("nuvel_core").setLevel(logging.ERROR)
            calls.clear()
            warn(g)
            report([first, first_calls, shape, later, taken()])
        """)
        first, first_calls, shape, later, quieter = report
        assert first == RESULT
        message = WARN_TEXT.format("m")
        # With the defaults (effective level WARNING) the filter comes out Warn.
        assert first_calls == (
            [["getLogger", "nuvel_core"]]
            + delivered(30, message)
            + [["isEnabledFor", n] for n in (5, 10, 20, 30)]
        )
        assert shape == [7, {}, "src/core/methods.cpp", "int", True, "tuple", True, True]
        # The logger comes from the cache from now on.
        assert later == delivered(30, message) + delivered(40, "Invalid module <nowhere>.")
        assert quieter == [["isEnabledFor", 30]]

    def test_first_debug_record_of_the_engine(self):
        # aggregate_event_count narrates at Debug on both targets. With the
        # defaults, the engine target's first record is refused by Python
        # and fixes its filter at Warn; later Debug records make no call.
        report, _ = run("""
            use_logger_class(Spy)
            spy_on_get_logger()
            g = NuvelGraph()
            for name in ("w", "e"):
                g.add_node(name)
            g.add_edge("w", "e")
            values = [g.aggregate_event_count("w", "e")]
            first_calls = taken()
            values.append(g.aggregate_event_count("w", "e"))
            report([values, first_calls, taken()])
        """)
        values, first_calls, later = report
        assert values == [1.0, 1.0]
        probe = [["isEnabledFor", n] for n in (5, 10, 20, 30)]
        assert first_calls == (
            [["getLogger", "nuvel_core.aggregate"], ["isEnabledFor", 10]] + probe
            + [["getLogger", "nuvel_core"], ["isEnabledFor", 10]] + probe
        )
        assert later == []

    def test_disabled_at_first_record_stays_native(self):
        report, _ = run("""
            use_logger_class(Spy)
            logging.getLogger("nuvel_core").setLevel(logging.ERROR)
            spy_on_get_logger()
            g = module_graph()
            warn(g)
            first = taken()
            warn(g)
            dropped = taken()
            # More verbose later does not bring Warn back ...
            logging.getLogger("nuvel_core").setLevel(logging.DEBUG)
            calls.clear()
            warn(g)
            still_dropped = taken()
            error(g)
            report([first, dropped, still_dropped, taken()])
        """)
        first, dropped, still_dropped, errors = report
        assert first == (
            [["getLogger", "nuvel_core"], ["isEnabledFor", 30]]
            + [["isEnabledFor", n] for n in (5, 10, 20, 30, 40)]
        )
        assert dropped == [] and still_dropped == []
        assert errors == delivered(40, "Invalid module <nowhere>.")


class TestRecords:
    def test_fields_reaching_a_handler(self):
        # The logger's own level decides, not the root's.
        report, _ = run("""
            logging.getLogger().setLevel(logging.CRITICAL)
            log = logging.getLogger("nuvel_core")
            log.setLevel(logging.DEBUG)
            capture = Capture()
            log.addHandler(capture)
            g = module_graph()
            out = [warn(g), error(g)]
            for r in capture.records:
                out.append([r.name, r.levelno, r.levelname, r.args, r.exc_info,
                            r.pathname, r.lineno > 0, r.msg, r.getMessage()])
            report(out)
        """)
        result, raised, warn_record, error_record = report
        assert result == RESULT
        assert raised == "Invalid module <nowhere>."
        text = WARN_TEXT.format("m")
        assert warn_record[:5] == ["nuvel_core", 30, "WARNING", [], None]
        assert error_record[:5] == ["nuvel_core", 40, "ERROR", [], None]
        for record, message in ((warn_record, text), (error_record, raised)):
            assert record[5].startswith("src/") and record[5].endswith(".cpp")
            assert record[6:] == [True, message, message]


class TestPythonErrors:
    def test_raising_filter_is_printed_and_the_call_returns(self):
        # SystemExit included: it does not end the process.
        report, stderr = run("""
            errors = [RuntimeError("filter says no")] * 2 + [SystemExit(3)]
            def refuse(record):
                raise errors.pop(0)
            logging.getLogger("nuvel_core").addFilter(refuse)
            g = module_graph()
            out = [warn(g), error(g), warn(g), hasattr(sys, "last_value")]
            report(out)
        """)
        assert report == [RESULT, "Invalid module <nowhere>.", RESULT, False]
        assert stderr.count("RuntimeError: filter says no") == 2
        assert stderr.count("Traceback (most recent call last):") == 3
        assert "in refuse" in stderr and "SystemExit: 3" in stderr

    def test_failing_get_logger_is_retried_on_the_next_record(self):
        report, stderr = run("""
            real = logging.getLogger
            def getLogger(name=None):
                calls.append(name)
                if len(calls) == 1:
                    raise LookupError("no logger yet")
                return real(name)
            logging.getLogger = getLogger
            capture = Capture()
            real("nuvel_core").addHandler(capture)
            g = module_graph()
            out = [warn(g), warn(g), warn(g)]
            report([out, calls, len(capture.records)])
        """)
        assert report == [[RESULT] * 3, ["nuvel_core", "nuvel_core"], 2]
        assert "LookupError: no logger yet" in stderr

    def test_failing_level_probe_caches_everything_passes(self):
        # isEnabledFor fails only for the probe of level 5; the filter
        # becomes Trace, so the Warn asks Python again although ERROR was set
        # before the first record.
        report, stderr = run("""
            class Probe(Spy):
                def isEnabledFor(self, level):
                    if level == 5:
                        raise ValueError("cannot tell")
                    return super().isEnabledFor(level)
            use_logger_class(Probe)
            logging.getLogger("nuvel_core").setLevel(logging.ERROR)
            g = module_graph()
            warn(g)
            calls.clear()
            warn(g)
            report(taken())
        """)
        assert report == [["isEnabledFor", 30]]
        assert stderr.count("ValueError: cannot tell") == 1

    def test_panic_raised_in_a_handler_resumes(self):
        # The import fails first without `logging`, which also hands out the
        # PanicException class; a retried import then succeeds.
        report, stderr = run("""
            import json, sys
            sys.modules["logging"] = None
            try:
                import nuvel
            except BaseException as e:
                failed = e
            del sys.modules["logging"]
            import logging
            from nuvel import NuvelGraph
            panic = type(failed)

            class Raiser(logging.Handler):
                def emit(self, record):
                    raise panic("handler gave up")
            logging.getLogger("nuvel_core").addHandler(Raiser())
            g = NuvelGraph()
            g.add_node("m")
            g.set_module_data("m", {"lat": {"value": 2.0, "unit": "ns"}}, 1, [])
            try:
                g.query_module_metric("lat", "m", "op")
                outcome = None
            except BaseException as e:
                outcome = [type(e) is panic, str(e)]
            g.add_node("after")  # the borrow was released
            print(json.dumps([panic.__name__, issubclass(panic, Exception), str(failed),
                              outcome]))
        """, prelude="")
        name, is_exception, failed, outcome = report
        assert name == "PanicException" and not is_exception
        assert failed.startswith("Failed to initialize python logging: ")
        assert "logging" in failed[len("Failed to initialize python logging: "):]
        assert outcome == [True, "handler gave up"]
        assert "an internal failure raised in Python code is resumed" in stderr
        assert "in emit" in stderr
