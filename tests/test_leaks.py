"""References and memory over many calls of every NuvelGraph method.

A child interpreter (this file run as a script) repeats each case of CASES
many times on graphs of fixed size and reports what changed: the reference
counts of the argument objects, the references held on results and raised
exceptions compared with equal objects made by Python code, and the growth of
Python blocks, malloc bytes and resident size between two call counts.

Memory is read after a short and after a long run of the same calls: caches,
free lists and arenas grow once, by amounts that differ between Python
versions and with the load of the machine, and show in both readings; a leak
grows with the number of calls, so only the difference between the two
readings is held against a rate per call.
"""

import json
import os
import subprocess
import sys

import pytest

WARM_UP = 50
SHORT, LONG = 500, 2500                  # calls per case at the two readings
SHORT_ROUNDS, LONG_ROUNDS = 100, 500     # whole rounds of every case, for the resident size
# Growth per call between the two readings that counts as a leak: a lost
# object is at least one block, a lost malloc chunk at least 32 bytes, so
# these catch a loss in one call of four.
BLOCKS_PER_CALL = 0.25
BYTES_PER_CALL = 8


# --------------------------------------------------------------------------
# Child side


def child():  # noqa: C901 - one table of cases
    import ctypes
    import gc
    import logging
    import shutil
    import tempfile

    from nuvel import NuvelGraph

    # Every record is delivered, so the bridge's whole path runs.
    class Count(logging.Handler):
        seen = 0

        def emit(self, record):
            Count.seen += 1

    log = logging.getLogger("nuvel_core")
    log.setLevel(logging.DEBUG)
    log.propagate = False
    log.addHandler(Count())

    tracked = {}

    def t(label, obj):
        """An argument object whose count must come back."""
        tracked[label] = obj
        return obj

    def s(label, text):
        """A str object of its own (neither interned nor shared)."""
        return t(label, (text + "!")[:-1])

    def f(label, value):
        return t(label, float(str(value)))

    class Number:
        def __init__(self, value, hook=None, exc=None):
            self.value, self.hook, self.exc = value, hook, exc

        def __float__(self):
            if self.hook is not None:
                self.hook()
            if self.exc is not None:
                raise self.exc
            return self.value

    class Index:
        def __index__(self):
            return 3

    class Tags:
        """A sequence that is neither list nor tuple."""

        def __init__(self, *items):
            self.items = items

        def __len__(self):
            return len(self.items)

        def __getitem__(self, i):
            return self.items[i]

    # save_json syncs the file; on a memory file system that costs nothing.
    tmp = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    saved = os.path.join(tmp, "g.json")
    bad = os.path.join(tmp, "bad.json")
    with open(bad, "w") as out:
        out.write('{"nodes": [ {"name": "a"}, ]}')

    single = lambda v, u: {"value": v, "unit": u}  # noqa: E731

    def build():
        g = NuvelGraph()
        for name in ("wl", "ev", "e1", "m1", "m2"):
            g.add_node(name, "perf/" + name)
        for a, b in (("wl", "ev"), ("wl", "e1"), ("e1", "m1"), ("ev", "m1"), ("ev", "m2")):
            g.add_edge(a, b)
        g.init_metrics({"lat": "ns"})
        g.set_module_data("m1", {"lat": single(2.0, "ns")}, 2, ["t1"])
        g.set_module_data("m2", {"lat": {"rd": single(1.0, "By"), "wr": single(4.0, "By")}}, 1,
                          ["t1", "t2"])
        g.set_edge_operation("ev", "m2", {"lat": "rd"})
        g.set_edge_factor("ev", "m1", {"lat": 3.0})
        g.set_edge_aggregation("wl", "ev", "sequential")
        g.set_node_specified_metric("e1", "lat", 5.0, "ns")
        return g

    g = build()
    spare = build()  # for the calls that would change g's metrics
    g.save_json(saved)

    wl, ev, e1, m1, m2 = (s(n, n) for n in ("wl", "ev", "e1", "m1", "m2"))
    lat, ns, t1 = s("lat", "lat"), s("ns", "ns"), s("t1", "t1")
    units = t("units", {s("units.key", "lat"): s("units.value", "ns")})
    m1_data = t("m1_data", {s("m1.metric", "lat"): {"value": f("m1.value", 2.0), "unit": ns}})
    m2_data = t("m2_data", {lat: {s("rd", "rd"): single(f("rd.value", 1.0), s("By", "By")),
                                  "wr": single(4.0, "By")}})
    tags = t("tags", [t1, s("t2", "t2")])
    ops = t("ops", {lat: s("rd.op", "rd")})
    factor = t("factor", {lat: f("factor.value", 3.0)})
    count = f("count", 1.5)
    path, bad_path = s("path", saved), s("bad_path", bad)
    nowhere = s("nowhere", os.path.join(tmp, "no", "such.json"))
    ghost, seq, wr = s("ghost", "ghost"), s("seq", "sequential"), s("wr", "wr")
    surrogate = s("surrogate", "x\udc80y")
    cause = t("cause", KeyError("root"))

    def chained_type_error():
        try:
            raise TypeError("inner") from cause
        except TypeError:
            raise

    bad_value = t("bad_value", Number(0.0, exc=ValueError))
    chained = t("chained", Number(0.0, hook=chained_type_error))
    reads = t("reads", Number(1.0, hook=lambda: g.has_node(ev)))
    writes = t("writes", Number(1.0, hook=lambda: spare.set_edge_count(ev, m1, 1.0)))
    shrinking = t("shrinking", {})
    shrinking[s("sh.key", "lat")] = Number(1.0, hook=lambda: shrinking.__setitem__("zz", 1.0))

    def shrink_back():
        shrinking.pop("zz", None)

    in_shared = set()

    def reenter(record):
        """Tries an exclusive call while a shared call is logging."""
        try:
            g.add_edge(ev, m1)
        except RuntimeError as e:
            in_shared.add(str(e))
        return True

    def raising(exc):
        def refuse(record):
            raise exc("from a filter")
        return refuse

    OK, PANIC = None, "panic"  # PanicException is no Exception
    quiet = open(os.devnull, "w")

    def call_quietly(fn):
        """The result of fn(), or the exception it raised, without traceback."""
        try:
            return fn()
        except BaseException as e:  # noqa: B036 - PanicException is one
            e.__traceback__ = None
            return e

    T, V, O, R = TypeError, ValueError, OSError, RuntimeError

    CASES = [
        # the 24 methods, succeeding
        ("add_edge merged", OK, lambda: g.add_edge(ev, m1)),
        ("has_node", OK, lambda: g.has_node(ev)),
        ("get_all_node_names", OK, lambda: g.get_all_node_names()),
        ("get_leaf_names", OK, lambda: g.get_leaf_names()),
        ("get_tag_modules", OK, lambda: g.get_tag_modules(t1)),
        ("is_leaf", OK, lambda: g.is_leaf(name=m1)),
        ("get_performance_path", OK, lambda: g.get_performance_path(m2)),
        ("get_out_neighbors", OK, lambda: g.get_out_neighbors(ev)),
        ("init_metrics", OK, lambda: spare.init_metrics(units)),
        ("set_module_data single", OK, lambda: g.set_module_data(m1, m1_data, 2, tags)),
        ("set_module_data multi", OK, lambda: g.set_module_data(m2, m2_data, Index(), Tags(t1))),
        ("set_edge_count", OK, lambda: g.set_edge_count(ev, m2, count)),
        ("set_edge_aggregation", OK, lambda: g.set_edge_aggregation(wl, ev, seq)),
        ("set_edge_operation", OK, lambda: g.set_edge_operation(ev, m2, ops)),
        ("set_edge_factor", OK, lambda: g.set_edge_factor(ev, m1, factor)),
        ("get_edge_count", OK, lambda: g.get_edge_count(ev, m2)),
        ("get_edge_aggregation", OK, lambda: g.get_edge_aggregation(wl, ev)),
        ("set_node_specified_metric", OK, lambda: g.set_node_specified_metric(ev, lat, count, ns)),
        ("get_node_specified_metric", OK, lambda: g.get_node_specified_metric(ev, lat)),
        ("query_module_metric", OK, lambda: g.query_module_metric(lat, m1)),
        ("query_module_metric op", OK, lambda: g.query_module_metric(lat, m2, wr)),
        ("query_module_metric warn", OK, lambda: g.query_module_metric(lat, m1, ghost)),
        ("aggregate module", OK, lambda: g.aggregate_event_metric(lat, "module", ns, wl, e1)),
        ("aggregate specified", OK,
         lambda: g.aggregate_event_metric(lat, "specified", ns, wl, e1)),
        ("aggregate summation", OK,
         lambda: g.aggregate_event_metric(lat, "summation", ns, wl, ev)),
        ("aggregate multi-op", OK, lambda: g.aggregate_event_metric(lat, "summation", ns, wl, m2)),
        ("aggregate_event_count", OK, lambda: g.aggregate_event_count(wl, ev)),
        ("save_json", OK, lambda: g.save_json(path)),
        ("load_json", OK, lambda: NuvelGraph.load_json(path)),
        ("new graph with content", OK, lambda: build()),
        # beyond the 24
        ("describe_model", OK, lambda: g.describe_model()),
        ("check_model", OK, lambda: g.check_model()),
        ("breakdown summation", OK, lambda: g.aggregate_event_breakdown(lat, "summation", ns, wl, wl)),
        ("breakdown specified", OK, lambda: g.aggregate_event_breakdown(lat, "specified", ns, None, e1)),
        ("breakdown failing", V, lambda: g.aggregate_event_breakdown(lat, "specified", ns, None, ev)),
        # binding
        ("too many positional", T, lambda: g.has_node(ev, wl)),
        ("too many positional, optional", T, lambda: g.add_node(ev, wl, m1)),
        ("unknown keyword", T, lambda: g.get_edge_count(ev, tgt=m1)),
        ("missing argument", T, lambda: g.set_edge_count(ev)),
        ("duplicate argument", T, lambda: g.add_node(ev, name=wl)),
        ("no-argument method given one", T, lambda: g.get_leaf_names(ev)),
        ("constructor with an argument", T, lambda: NuvelGraph(ev)),
        ("constructor with a keyword", T, lambda: NuvelGraph(name=ev)),
        ("foreign self", T, lambda: NuvelGraph.has_node(units, ev)),
        # conversions
        ("text", T, lambda: g.has_node(count)),
        ("text unencodable", UnicodeEncodeError, lambda: g.has_node(surrogate)),
        ("optional text", T, lambda: g.query_module_metric(lat, units)),
        ("double", T, lambda: g.set_edge_count(ev, m2, ghost)),
        ("double raising", V, lambda: g.set_edge_count(ev, m2, bad_value)),
        ("double remapped with cause", T, lambda: g.set_edge_count(ev, m2, chained)),
        ("double overflow", OverflowError, lambda: g.set_edge_count(ev, m2, 10**400)),
        ("dict not a dict", T, lambda: spare.init_metrics(tags)),
        ("dict bad key", T, lambda: spare.init_metrics({count: ns})),
        ("dict bad value", T, lambda: g.set_edge_operation(ev, m2, {lat: count})),
        ("dict bad number", T, lambda: g.set_edge_factor(ev, m1, {lat: ghost})),
        ("dict changed size", PANIC, lambda: g.set_edge_factor(ev, m1, shrinking)),
        ("metrics not a dict", T, lambda: g.set_module_data(m1, tags, 1, tags)),
        ("metrics bad value", T, lambda: g.set_module_data(m1, {lat: single(ghost, ns)}, 1, tags)),
        ("metrics op lacks unit", V,
         lambda: g.set_module_data(m2, {lat: {"rd": {"value": count}}}, 1, tags)),
        ("metrics op not a dict", T, lambda: g.set_module_data(m2, {lat: {"rd": count}}, 1, tags)),
        ("tags str", T, lambda: g.set_module_data(m1, m1_data, 1, t1)),
        ("tags not a sequence", T, lambda: g.set_module_data(m1, m1_data, 1, count)),
        ("tags bad item", T, lambda: g.set_module_data(m1, m1_data, 1, [t1, count])),
        ("tags bad item, sequence", T, lambda: g.set_module_data(m1, m1_data, 1, Tags(count))),
        # borrow refused
        ("shared refused", R, lambda: g.set_edge_count(ev, m2, reads)),
        ("exclusive refused", R, lambda: spare.set_edge_count(ev, m2, writes)),
        ("other graph open", OK, lambda: g.set_edge_count(ev, m2, writes)),
        ("refused in a filter", OK, lambda: g.query_module_metric(lat, m1, ghost)),
        ("filter raises", OK, lambda: g.query_module_metric(lat, m1, ghost)),
        ("filter panics", PANIC, lambda: g.query_module_metric(lat, m1, ghost)),
        # bodies
        ("unknown node", V, lambda: g.get_edge_count(ghost, m1)),
        ("unknown edge", V, lambda: g.get_edge_aggregation(m1, ev)),
        ("unknown module", V, lambda: g.query_module_metric(lat, ghost)),
        ("unknown mode", V, lambda: g.aggregate_event_metric(lat, ghost, ns, wl, ev)),
        ("no event", V, lambda: g.aggregate_event_count(wl)),
        ("save unwritable", O, lambda: g.save_json(nowhere)),
        ("load missing", O, lambda: NuvelGraph.load_json(nowhere)),
        ("load malformed", V, lambda: NuvelGraph.load_json(bad_path)),
    ]
    after = {"dict changed size": shrink_back}
    panic = type(call_quietly(lambda: g.set_edge_factor(ev, m1, shrinking)))
    shrink_back()
    # Filters run by the bridge in some cases; what the bridge prints is dropped.
    hooks = {"refused in a filter": reenter, "filter raises": raising(KeyError),
             "filter panics": raising(panic)}

    def call(label, expect, fn):
        """One call; the result or the exception (without its traceback)."""
        hook = hooks.get(label)
        if hook is not None:
            log.addFilter(hook)
            sys.stderr = quiet
        try:
            got = call_quietly(fn)
        finally:
            if hook is not None:
                sys.stderr = sys.__stderr__
                log.removeFilter(hook)
            if label in after:
                after[label]()
        outcome = type(got) if isinstance(got, BaseException) else None
        if expect == "panic":
            assert outcome is not None and not issubclass(outcome, Exception), (label, got)
        else:
            assert outcome is expect, (label, got)
        return got

    def look_alike(x):
        """A new object equal to x, made by Python code."""
        if isinstance(x, list):
            return [look_alike(item) for item in x]
        if isinstance(x, dict):
            return {look_alike(k): look_alike(v) for k, v in x.items()}
        if isinstance(x, str):
            return (x + "!")[:-1]
        if isinstance(x, float):
            return float(repr(x))
        if isinstance(x, BaseException):
            return type(x)(*x.args)
        return x

    def extra_refs(label, expect, fn):
        """Parts of a result (or raised exception) that have more or fewer
        references than an equal object that Python code returns (or raises)
        along the same path; no interpreter version's own counts matter."""
        got = call(label, expect, fn)
        template = look_alike(got)

        def replay():
            twin = look_alike(template)
            if isinstance(twin, BaseException):
                raise twin
            return twin

        twin = call(label, expect, replay)
        del replay
        pairs = [(got, twin)]
        if isinstance(got, list):
            pairs += zip(got, twin)
        elif isinstance(got, dict):
            pairs += zip(got.values(), twin.values())
        # Shared objects (None, booleans, one-character strings) are the same on both sides.
        return [repr(a)[:40] for a, b in pairs if a is not b and sys.getrefcount(a) != sys.getrefcount(b)]

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

    def rss():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def growth(run, measure, short, long):
        """Readings after `short` and after `long` runs, less the reading before."""
        start = measure()
        readings = []
        for done, target in ((0, short), (short, long)):
            for _ in range(target - done):
                run()
            readings.append([a - b for a, b in zip(measure(), start)])
        return readings

    def round_of_all_cases():
        for label, expect, fn in CASES:
            call(label, expect, fn)

    counts = {k: sys.getrefcount(v) for k, v in tracked.items()}
    type_refs = sys.getrefcount(NuvelGraph)
    report = {"cases": len(CASES), "memory": {}, "held": {}}
    for label, expect, fn in CASES:
        for _ in range(WARM_UP):
            call(label, expect, fn)
        report["memory"][label] = growth(lambda: call(label, expect, fn), in_use, SHORT, LONG)
        report["held"][label] = extra_refs(label, expect, fn)

    report["rss"] = growth(round_of_all_cases, lambda: [rss()], SHORT_ROUNDS, LONG_ROUNDS)
    gc.collect()
    report["refs"] = {k: sys.getrefcount(v) - counts[k] for k, v in tracked.items()}
    report["type_refs"] = sys.getrefcount(NuvelGraph) - type_refs
    report["records"] = Count.seen
    report["refused"] = sorted(set(in_shared))
    report["graph"] = [g.get_all_node_names(), g.get_out_neighbors("ev")]
    shutil.rmtree(tmp)
    print(json.dumps(report))


# --------------------------------------------------------------------------
# Test side


@pytest.fixture(scope="module")
def report():
    proc = subprocess.run([sys.executable, __file__], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.splitlines()[-1])


def test_every_case_ran_and_the_graph_kept_its_size(report):
    assert report["cases"] >= 70 and report["records"] > 0
    assert report["graph"] == [["wl", "ev", "e1", "m1", "m2"], ["m2", "m1"]]
    assert report["refused"] == ["Already borrowed"]


def test_argument_counts_come_back(report):
    assert {k: v for k, v in report["refs"].items() if v} == {}


def test_results_are_not_kept_by_the_graph(report):
    assert {k: v for k, v in report["held"].items() if v} == {}


def test_graphs_are_freed(report):
    # Each live NuvelGraph holds a reference to its type.
    assert report["type_refs"] == 0


def leaks(short, long, calls, allowed):
    """Growth between the two readings, per call, where it reaches `allowed`."""
    rates = [(b - a) / calls for a, b in zip(short, long)]
    return [round(r, 3) for r in rates] if any(r >= x for r, x in zip(rates, allowed)) else None


def test_no_case_grows_memory(report):
    grown = {label: (short, long) for label, (short, long) in report["memory"].items()
             if leaks(short, long, LONG - SHORT, (BLOCKS_PER_CALL, BYTES_PER_CALL))}
    assert grown == {}


# AddressSanitizer holds freed memory in quarantine, so the resident size
# grows there by design; its leak checker covers that run instead.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="resident size is not meaningful under AddressSanitizer")
def test_resident_size_stays_put(report):
    short, long = report["rss"]
    calls = (LONG_ROUNDS - SHORT_ROUNDS) * report["cases"]
    assert leaks(short, long, calls, (BYTES_PER_CALL,)) is None, (short, long)


if __name__ == "__main__":
    child()
