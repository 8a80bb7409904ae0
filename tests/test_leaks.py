"""References and memory over many calls of every NuvelGraph method, in a
child interpreter (this file run as a script). Memory is read after a short
and a long run of the same calls: caches grow once and show in both
readings, a leak grows with the number of calls.
"""

import json
import os
import subprocess
import sys

WARM_UP = 50
SHORT, LONG = 300, 1300  # calls per case at the two readings
# Growth per call between the two readings that counts as a leak: a lost
# object is at least one block, a lost malloc chunk at least 32 bytes, so
# these catch a loss in one call of four.
BLOCKS_PER_CALL = 0.25
BYTES_PER_CALL = 8


def table_cases(g, tmp):
    """(label, expected exception type or None, call) from the bad-input tables."""
    from test_bad_input import BINDING, METHODS, WRONG, built

    from nuvel import NuvelGraph

    seen = set()
    for label, method, args, exc, _, keys in WRONG:
        if not keys <= seen:
            seen |= keys
            yield label, exc, lambda f=getattr(g, method), a=args: f(*a)
    for method, args, kwargs, tail in BINDING:
        target = NuvelGraph if method == "__new__" else getattr(g, method)
        yield f"{method} {tail}", TypeError, lambda t=target, a=args, k=kwargs: t(*a, **k)
    path = os.path.join(tmp, "g.json")
    for method, params in METHODS.items():  # each on a graph of its own
        args = [value for _, _, value in params]
        args = [path] if args == [None] else args
        if method == "add_node":
            yield method, None, lambda a=args: NuvelGraph().add_node(*a)
        else:
            yield method, None, lambda m=getattr(built(NuvelGraph), method), a=args: m(*a)


def child():
    import ctypes
    import gc
    import logging
    import tempfile

    from test_bad_input import built
    from test_reentry import hooked

    from nuvel import NuvelGraph

    # Every record is delivered, so the bridge's whole path runs.
    log, records = logging.getLogger("nuvel_core"), []
    log.setLevel(logging.DEBUG)
    log.propagate = False
    counting = logging.Handler()
    counting.emit = lambda record: records.append(1) if not records else None
    log.addHandler(counting)

    tmp = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    bad = os.path.join(os.path.dirname(__file__), "data", "json", "n_trailing_comma_object.json")
    g, spare = built(NuvelGraph), built(NuvelGraph)
    names = [g.get_all_node_names(), g.get_out_neighbors("e")]

    reads = hooked(lambda: g.has_node("w"), float=lambda: 1.0)
    writes = hooked(lambda: spare.set_edge_count("e", "m", 1.0), float=lambda: 1.0)
    shrinking = {}  # loses a key while it is read
    shrinking["lat"] = hooked(lambda: shrinking.pop("zz", None), float=lambda: 1.0)
    in_shared = set()

    def reenter(record):
        try:
            g.add_edge("e", "m")
        except RuntimeError as e:
            in_shared.add(str(e))
        return True

    def raising(exc):
        def refuse(record):
            raise exc("from a filter")
        return refuse

    def call_quietly(fn):
        try:
            return fn()
        except BaseException as e:  # noqa: B036 - PanicException is one
            e.__traceback__ = None
            return e

    def shrink():
        shrinking["zz"] = 1.0
        return g.set_edge_factor("e", "m", shrinking)

    def filtered(refuse):
        """A call with one Warn record, which meets `refuse` (what the bridge prints about it is dropped)."""
        def call():
            log.addFilter(refuse)
            sys.stderr = quiet
            try:
                return g.query_module_metric("lat", "m", "op")
            finally:
                sys.stderr = sys.__stderr__
                log.removeFilter(refuse)
        return call

    panic = type(call_quietly(shrink))
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception), panic
    type_refs = sys.getrefcount(NuvelGraph)
    quiet = open(os.devnull, "w")
    cases = list(table_cases(g, tmp)) + [
        ("shared refused", RuntimeError, lambda: g.set_edge_count("e", "m", reads)),
        ("exclusive refused", RuntimeError, lambda: spare.set_edge_count("e", "m", writes)),
        ("other graph open", None, lambda: g.set_edge_count("e", "m", writes)),
        ("dict changed size", panic, shrink),
        ("refused in a filter", None, filtered(reenter)), ("filter raises", None, filtered(raising(KeyError))),
        ("filter panics", panic, filtered(raising(panic))),
        ("foreign self", TypeError, lambda: NuvelGraph.has_node({}, "w")),
        ("load malformed", ValueError, lambda: NuvelGraph.load_json(bad)),
        ("describe_model", None, g.describe_model), ("check_model", None, g.check_model),
        ("breakdown", None, lambda: g.aggregate_event_breakdown("lat", "summation", "ns", "w", "w")),
        ("breakdown failing", ValueError, lambda: g.aggregate_event_breakdown("lat", "specified", "ns", None, "ghost")),
    ]

    def call(label, expect, fn):
        got = call_quietly(fn)
        assert type(got) is expect if expect else not isinstance(got, BaseException), (label, got)

    def parts(args):
        """The argument objects whose counts must come back (cached small
        objects are shared with the rest of the interpreter)."""
        for x in args:
            if isinstance(x, (dict, list, tuple)):
                yield from parts([*x, *x.values()] if isinstance(x, dict) else x)
            if not (x is None or isinstance(x, (bool, int)) or isinstance(x, str) and len(x) < 2):
                yield x

    # Bytes in use by malloc (glibc); C++ allocations show up here exactly.
    heap = getattr(ctypes.CDLL(None), "mallinfo2", None)
    if heap is not None:
        heap.restype = type("MallInfo2", (ctypes.Structure,),
                            {"_fields_": [(n, ctypes.c_size_t) for n in (
                                "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                                "fsmblks", "uordblks", "fordblks", "keepcost")]})

    def in_use():
        gc.collect()
        info = heap() if heap is not None else None
        return sys.getallocatedblocks(), info.uordblks + info.hblkhd if info else 0

    report = {"cases": len(cases), "memory": {}, "refs": {}}
    for label, expect, fn in cases:
        for _ in range(WARM_UP):
            call(label, expect, fn)
        cells = getattr(fn, "__closure__", None) or ()
        args = [getattr(fn, "__defaults__", None) or (), [cell.cell_contents for cell in cells]]
        gc.collect()  # cycles left by earlier calls may hold arguments
        counts = [sys.getrefcount(x) for x in parts(args)]
        start, readings = in_use(), []
        for runs in (SHORT, LONG - SHORT):  # growth after SHORT and after LONG calls
            for _ in range(runs):
                call(label, expect, fn)
            readings.append([a - b for a, b in zip(in_use(), start)])
        report["memory"][label] = readings
        if counts != [sys.getrefcount(x) for x in parts(args)]:
            report["refs"][label] = counts

    del cases
    gc.collect()
    report.update(type_refs=sys.getrefcount(NuvelGraph) - type_refs,
                  records=len(records), refused=sorted(in_shared),
                  graph=[g.get_all_node_names(), g.get_out_neighbors("e")] == names)
    print(json.dumps(report))


def test_no_case_leaks_references_or_memory():
    proc = subprocess.run([sys.executable, __file__], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    report = json.loads(proc.stdout.splitlines()[-1])
    assert report["cases"] >= 120 and report["records"] > 0
    assert report["graph"] is True and report["refused"] == ["Already borrowed"]
    # Argument counts come back; each live NuvelGraph holds a reference to its type.
    assert (report["refs"], report["type_refs"]) == ({}, 0)
    per_call = {label: [(b - a) / (LONG - SHORT) for a, b in zip(short, long)]
                for label, (short, long) in report["memory"].items()}
    assert {label: rates for label, rates in per_call.items()
            if rates[0] >= BLOCKS_PER_CALL or rates[1] >= BYTES_PER_CALL} == {}


if __name__ == "__main__":
    child()
