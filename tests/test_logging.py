"""Log records forwarded to Python `logging`. The bridge fixes each target's
logger and level at its first record, for the life of the process, so each
script runs in a fresh interpreter and prints a JSON report on its last line.
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

looked_up, asked = [], []
real_get_logger = logging.getLogger

def get_logger(name=None):
    looked_up.append(name)
    if fail_first_lookup and len(looked_up) == 1:
        raise LookupError("no logger yet")
    return real_get_logger(name)

logging.getLogger = get_logger

def capture(name):
    handler, records = logging.Handler(), []
    handler.emit = records.append
    real_get_logger(name).addHandler(handler)
    return records

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
"""

WARN = "Ignore operation <op> for metric <lat> in module <m>; this module requires no specified operation."
ERROR = "Invalid module <nowhere>."
RESULT = {"value": 2.0, "unit": "ns"}


def run(body, fail_first_lookup=False):
    """Runs the prelude and body in a new interpreter: (report, stderr)."""
    script = f"fail_first_lookup = {fail_first_lookup}\n" + PRELUDE + textwrap.dedent(body)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1]), proc.stderr


def test_records_loggers_and_levels():
    report, stderr = run("""
        sys.stderr = io.StringIO()  # nothing configured: the package's NullHandler keeps it quiet
        g = module_graph()
        out = [error(g), sys.stderr.getvalue()]
        sys.stderr = sys.__stderr__
        printed = io.StringIO()
        logging.basicConfig(stream=printed, format="%(levelname)s %(name)s: %(message)s")
        real_get_logger().setLevel(logging.CRITICAL)  # the logger's own level decides
        log = real_get_logger("nuvel_core")
        log.setLevel(logging.WARNING)
        core = capture("nuvel_core")
        out += [warn(g), error(g), printed.getvalue()]
        fields = [[r.name, r.levelno, r.levelname, r.args, r.exc_info, r.pathname, r.lineno > 0, r.msg,
                   r.getMessage()] for r in core]

        # A raising filter is printed and the call returns; SystemExit does not end the process.
        errors = [RuntimeError("filter says no"), SystemExit(3)]
        def refuse(record):
            raise errors.pop(0)
        log.addFilter(refuse)
        out += [warn(g), error(g), hasattr(sys, "last_value")]
        log.removeFilter(refuse)

        # Less verbose later: Python drops the Warn.
        log.setLevel(logging.ERROR)
        out += [warn(g), len(core)]

        # The engine's first Debug record meets ERROR: more verbose later does not bring Debug back.
        engine = capture("nuvel_core.aggregate")
        g.add_node("w")
        g.add_edge("w", "m")
        out.append(g.aggregate_event_count("w", "m"))
        real_get_logger("nuvel_core.aggregate").setLevel(logging.DEBUG)
        out += [g.aggregate_event_count("w", "m"), len(engine)]
        print(json.dumps([out, fields, looked_up]))
    """)
    out, fields, looked_up = report
    assert out == [ERROR, "", RESULT, ERROR, f"WARNING nuvel_core: {WARN}\nERROR nuvel_core: {ERROR}\n",
                   RESULT, ERROR, False, RESULT, 2, 1.0, 1.0, 0]
    for record, (level, name, message) in zip(fields, [(30, "WARNING", WARN), (40, "ERROR", ERROR)], strict=True):
        assert record[:5] == ["nuvel_core", level, name, [], None]
        assert record[5].startswith("src/") and record[5].endswith(".cpp")
        assert record[6:] == [True, message, message]
    assert stderr.count("RuntimeError: filter says no") == 1 and "SystemExit: 3" in stderr
    assert stderr.count("Traceback (most recent call last):") == 2 and "in refuse" in stderr
    # Each target's logger is looked up once, at its first record.
    assert looked_up == ["nuvel_core", "nuvel_core.aggregate"]


def test_python_failures_in_the_bridge():
    # getLogger fails at the first record and is tried again at the next; a
    # failing level probe makes the filter let everything through to Python
    # although ERROR was set before the first record.
    report, stderr = run("""
        class Probe(logging.Logger):
            def isEnabledFor(self, level):
                asked.append(level)
                if level == 5:
                    raise ValueError("cannot tell")
                return super().isEnabledFor(level)
        log = real_get_logger("nuvel_core")
        log.__class__ = Probe
        log.setLevel(logging.ERROR)
        g = module_graph()
        out = [warn(g), warn(g), looked_up[:]]
        asked.clear()
        out += [warn(g), asked[:]]
        print(json.dumps([out, type(failed).__name__, isinstance(failed, Exception), str(failed)]))
    """, fail_first_lookup=True)
    out, name, is_exception, failed = report
    assert out == [RESULT, RESULT, ["nuvel_core"] * 2, RESULT, [30]]
    assert "LookupError: no logger yet" in stderr and stderr.count("ValueError: cannot tell") == 1
    assert name == "PanicException" and not is_exception
    assert failed.startswith("Failed to initialize python logging: ") and "logging" in failed[37:]
