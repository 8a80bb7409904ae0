"""Log records forwarded to Python `logging`.

The bridge caches each target's Python logger and level filter at the
target's first record, for the life of the process, so each script runs in a
fresh interpreter and prints one JSON report on its last stdout line. The
scripts log through query_module_metric (target "nuvel_core"): a Warn when a
Single metric is queried with an operation, an Error (then ValueError) for an
unknown module; aggregate_event_count narrates at Debug on "nuvel_core" and
"nuvel_core.aggregate". Re-entry from a handler and the text of records are
checked in process (test_reentry, test_aggregate).
"""

import json
import subprocess
import sys
import textwrap

PRELUDE = """
import io, json, sys
sys.modules["logging"] = None  # the import fails without logging ...
try:
    import nuvel
except BaseException as e:
    failed = e
del sys.modules["logging"]
import logging
from nuvel import NuvelGraph  # ... and succeeds when tried again

calls = []

class Spy(logging.Logger):
    '''Records the calls the bridge makes on a logger.'''

    def isEnabledFor(self, level):
        calls.append(["isEnabledFor", level])
        return super().isEnabledFor(level)

    def makeRecord(self, *args, **kwargs):
        calls.append(["makeRecord", args[0], args[1], args[4]])
        return super().makeRecord(*args, **kwargs)

    def handle(self, record):
        calls.append(["handle", record.getMessage()])
        return super().handle(record)

def use_logger_class(cls):
    '''For loggers made from now on, and for "nuvel_core", made at import.'''
    logging.setLoggerClass(cls)
    logging.getLogger("nuvel_core").__class__ = cls

def spy_on_get_logger(fail_first=False):
    real, tries = logging.getLogger, []
    def getLogger(name=None):
        calls.append(["getLogger", name])
        tries.append(name)
        if fail_first and len(tries) == 1:
            raise LookupError("no logger yet")
        return real(name)
    logging.getLogger = getLogger

class Capture(logging.Handler):
    records = []

    def emit(self, record):
        self.records.append(record)

def module_graph():
    g = NuvelGraph()
    g.add_node("m")
    g.set_module_data("m", {"lat": {"value": 2.0, "unit": "ns"}}, 1, [])
    return g

def warn(g):
    return g.query_module_metric("lat", "m", "op")

def error(g):
    '''One Error record; returns the text of the ValueError that follows.'''
    try:
        g.query_module_metric("lat", "nowhere")
    except ValueError as e:
        return str(e)

def taken():
    out = calls[:]
    calls.clear()
    return out
"""

WARN = "Ignore operation <op> for metric <lat> in module <m>; this module requires no specified operation."
ERROR = "Invalid module <nowhere>."
RESULT = {"value": 2.0, "unit": "ns"}


def run(body):
    """Runs the prelude and body in a new interpreter: (report, stderr)."""
    proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1]), proc.stderr


def delivered(level, message):
    return [["isEnabledFor", level], ["makeRecord", "nuvel_core", level, message], ["handle", message]]


def test_records_loggers_and_levels():
    report, stderr = run("""
        use_logger_class(Spy)
        spy_on_get_logger()
        sys.stderr = io.StringIO()  # nothing configured: no last-resort output
        g = module_graph()
        out = [error(g), sys.stderr.getvalue()]
        sys.stderr = sys.__stderr__
        first = taken()
        printed = io.StringIO()
        logging.basicConfig(stream=printed, format="%(levelname)s %(name)s: %(message)s")
        logging.getLogger().setLevel(logging.CRITICAL)  # the logger's own level decides
        log = logging.getLogger("nuvel_core")
        log.setLevel(logging.WARNING)
        log.addHandler(Capture())
        calls.clear()
        out += [warn(g), error(g), printed.getvalue()]
        later = taken()
        fields = [[r.name, r.levelno, r.levelname, r.args, r.exc_info, r.pathname, r.lineno > 0, r.msg,
                   r.getMessage()] for r in Capture.records]

        # A raising filter is printed and the call returns; SystemExit does not end the process.
        errors = [RuntimeError("filter says no"), SystemExit(3)]
        def refuse(record):
            raise errors.pop(0)
        log.addFilter(refuse)
        out += [warn(g), error(g), hasattr(sys, "last_value")]
        log.removeFilter(refuse)

        # Less verbose later: the Warn asks Python, which drops it.
        log.setLevel(logging.ERROR)
        calls.clear()
        out.append(warn(g))
        quieter = taken()

        # The engine's first Debug record meets ERROR: more verbose later does not bring Debug back.
        g = NuvelGraph()
        for name in ("w", "e"):
            g.add_node(name)
        g.add_edge("w", "e")
        out.append(g.aggregate_event_count("w", "e"))
        engine_first = taken()
        logging.getLogger("nuvel_core.aggregate").setLevel(logging.DEBUG)
        calls.clear()
        out.append(g.aggregate_event_count("w", "e"))
        print(json.dumps([out, first, later, fields, quieter, engine_first, taken(), len(Capture.records)]))
    """)
    out, first, later, fields, quieter, engine_first, engine_later, records = report
    assert out == [ERROR, "", RESULT, ERROR, f"WARNING nuvel_core: {WARN}\nERROR nuvel_core: {ERROR}\n",
                   RESULT, ERROR, False, RESULT, 1.0, 1.0]
    assert first[:4] == [["getLogger", "nuvel_core"]] + delivered(40, ERROR)
    assert later == delivered(30, WARN) + delivered(40, ERROR)  # the logger comes from the cache
    for record, (level, name, message) in zip(fields, [(30, "WARNING", WARN), (40, "ERROR", ERROR)]):
        assert record[:5] == ["nuvel_core", level, name, [], None]
        assert record[5].startswith("src/") and record[5].endswith(".cpp")
        assert record[6:] == [True, message, message]
    assert stderr.count("RuntimeError: filter says no") == 1 and "SystemExit: 3" in stderr
    assert stderr.count("Traceback (most recent call last):") == 2 and "in refuse" in stderr
    assert quieter == [["isEnabledFor", 30]]
    assert [c for c in engine_first if c[0] == "getLogger"] == [["getLogger", "nuvel_core.aggregate"]]
    assert engine_later == [] and records == 2


def test_python_failures_in_the_bridge():
    # getLogger fails at the first record and is tried again at the next; a
    # failing level probe makes the filter let everything through to Python
    # although ERROR was set before the first record; a PanicException raised
    # in a handler is resumed, and the graph is released.
    report, stderr = run("""
        class Probe(Spy):
            def isEnabledFor(self, level):
                if level == 5:
                    raise ValueError("cannot tell")
                return super().isEnabledFor(level)
        use_logger_class(Probe)
        log = logging.getLogger("nuvel_core")
        log.setLevel(logging.ERROR)
        spy_on_get_logger(fail_first=True)
        g = module_graph()
        out = [warn(g), warn(g)]
        looked_up = [c for c in taken() if c[0] == "getLogger"]
        out.append(warn(g))
        asked = taken()

        panic = type(failed)
        class Raiser(logging.Handler):
            def emit(self, record):
                raise panic("handler gave up")
        log.addHandler(Raiser())
        try:
            error(g)
        except BaseException as e:
            out.append([type(e) is panic, str(e)])
        g.add_node("after")
        print(json.dumps([out, looked_up, asked, panic.__name__, issubclass(panic, Exception), str(failed)]))
    """)
    out, looked_up, asked, name, is_exception, failed = report
    assert out == [RESULT] * 3 + [[True, "handler gave up"]]
    assert looked_up == [["getLogger", "nuvel_core"]] * 2 and asked == [["isEnabledFor", 30]]
    assert "LookupError: no logger yet" in stderr and stderr.count("ValueError: cannot tell") == 1
    assert name == "PanicException" and not is_exception
    assert failed.startswith("Failed to initialize python logging: ") and "logging" in failed[37:]
    assert "an internal failure raised in Python code is resumed" in stderr and "in emit" in stderr
