"""The `nuvel` command: look into, aggregate, compare and report on a model
file saved by `NuvelGraph.save_json`.

Exit codes: 0 success, 1 a problem with a file or with what was asked of the
model, 2 a usage error, 3 `check` found errors.
"""

from __future__ import annotations

import argparse
import csv
import gc
import json
import logging
import math
import os
import sys
import time
from contextlib import contextmanager

from nuvel import _model, report

EXIT_OK = 0
EXIT_MODEL = 1
EXIT_USAGE = 2
EXIT_FINDINGS = 3
#: Steps that take longer than this many seconds say so on stderr.
SLOW_STEP = 1.0


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, or a usage error already printed
        return EXIT_USAGE if exc.code else EXIT_OK
    console = Console(args.quiet)
    with narration(args.verbose), collector_paused():
        try:
            return args.run(args, console)
        except _model.ModelError as exc:
            console.error(str(exc))
        except KeyboardInterrupt:
            return 130
        except BrokenPipeError:
            # The reader went away (`nuvel aggregate ... | head`): say nothing.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except BaseException as exc:
            if type(exc).__name__ != "PanicException":
                raise
            console.error(f"internal failure: {exc}")
    return EXIT_MODEL


# ---- Output -----------------------------------------------------------------


class Console:
    """Where results, errors and the time of slow steps go."""

    def __init__(self, quiet: bool):
        self.quiet = quiet

    def error(self, message: str) -> None:
        print(f"nuvel: error: {message.strip()}", file=sys.stderr)

    def note(self, message: str) -> None:
        if not self.quiet:
            print(f"nuvel: {message}", file=sys.stderr)

    @contextmanager
    def step(self, what: str):
        """Times the block; says how long it took when that was slow."""
        timer = Timer()
        yield timer
        timer.stop()
        if timer.seconds > SLOW_STEP:
            self.note(f"{what} took {timer.seconds:.1f} s")


class Timer:
    def __init__(self):
        self.start = time.perf_counter()
        self.seconds = 0.0

    def stop(self) -> None:
        self.seconds = time.perf_counter() - self.start


@contextmanager
def collector_paused():
    """A command builds its large results (a million values, a problem per
    edge) once and drops them at the end; the cyclic garbage collector would
    only walk them again as they grow, which takes longer than building them."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


@contextmanager
def narration(verbosity: int):
    """Shows the extension's log records on stderr at -v (INFO) and -vv
    (DEBUG). Otherwise they stay out of the output: errors are raised anyway."""
    logger = logging.getLogger("nuvel_core")
    saved = logger.level, logger.propagate
    if verbosity:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
        logger.setLevel(logging.DEBUG if verbosity > 1 else logging.INFO)
        logger.propagate = False
    else:
        handler = logging.NullHandler()
        if logger.level == logging.NOTSET:
            logger.setLevel(logging.CRITICAL + 1)  # not even built natively
    logger.addHandler(handler)
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(saved[0])
        logger.propagate = saved[1]


def write_rows(fmt: str, headings: tuple[str, ...], kinds: tuple[str, ...], rows) -> None:
    """Rows as an aligned table, CSV or a JSON list of objects.

    `kinds` gives each column's kind: "text", "number", "share" or "change"
    (ratios, shown as percentages in the table, a change with its sign).
    None is a missing value. CSV and JSON keep every number exact.
    """
    out = sys.stdout
    if fmt == "json":
        json.dump([dict(zip(headings, row)) for row in rows], out, indent=1)
        out.write("\n")
    elif fmt == "csv":
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(headings)
        writer.writerows([["" if c is None else repr(c) if isinstance(c, float) else c for c in row]
                          for row in rows])
    else:
        cells = [[shown(cell, kind) for cell, kind in zip(row, kinds)] for row in rows]
        widths = [max([len(h)] + [len(r[i]) for r in cells]) for i, h in enumerate(headings)]
        for line in [list(headings)] + cells:
            out.write("  ".join(cell.ljust(w) if kind == "text" else cell.rjust(w)
                                for cell, w, kind in zip(line, widths, kinds)).rstrip() + "\n")


def shown(cell, kind: str) -> str:
    if cell is None:
        return "-"
    if kind == "number":
        return f"{cell:.6g}"
    if kind in ("share", "change") and math.isfinite(cell):
        return f"{cell:+.1%}" if kind == "change" else f"{cell:.1%}"
    return str(cell)


def count(n: int, noun: str) -> str:
    return f"{n:,} {noun}" + ("" if n == 1 else "s")


# ---- Commands ---------------------------------------------------------------


def load(console: Console, path: str):
    with console.step(f"loading {path}") as timer:
        graph = _model.load(path)
    return graph, timer.seconds


def resolve_unit(graph, args) -> str:
    """--unit, else the metric's unit in the model; fails for an unknown metric."""
    unit = _model.metric_unit(graph, args.metric)
    return args.unit if args.unit is not None else unit


def run_info(args, console: Console) -> int:
    graph, seconds = load(console, args.file)
    facts = _model.describe(graph)
    if args.json:
        print(json.dumps({**facts, "load_seconds": seconds}, indent=1))
        return EXIT_OK
    lines = [
        ("file", f"{args.file}, loaded in {seconds:.2f} s"),
        ("nodes", f"{facts['nodes']:,} ({facts['workloads']:,} workloads, "
                  f"{facts['events']:,} events, {facts['modules']:,} modules)"),
        ("edges", f"{facts['edges']:,}"),
    ]
    for metric, about in facts["metrics"].items():
        text = f"{metric} [{', '.join(about['units'])}] on {about['modules']:,} modules"
        if about["multi_operation"]:
            text += (f", {len(about['multi_operation']):,} per operation"
                     f" ({', '.join(about['operations'])})")
        lines.append(("metric", text))
    for name, copies in facts["duplicate_names"].items():
        lines.append(("duplicate", f"{name} ({copies} nodes)"))
    for key, text in lines:
        print(f"{key:<10} {text}")
    return EXIT_OK


def run_aggregate(args, console: Console) -> int:
    graph, _ = load(console, args.file)
    unit = resolve_unit(graph, args)
    with console.step("evaluating every event" if args.event is None else "evaluating the events"):
        values = _model.event_values(graph, args.metric, args.mode, unit, args.workload, args.event)
    write_rows(args.format, ("event", "value", "unit"), ("text", "number", "text"),
               [(event, value, unit) for event, value in values.items()])
    return EXIT_OK


def run_breakdown(args, console: Console) -> int:
    graph, _ = load(console, args.file)
    unit = resolve_unit(graph, args)
    with console.step("breaking the value down"):
        parts = _model.breakdown(graph, args.metric, args.mode, unit, args.workload, args.event)
    if args.mode == "specified":
        decisions = parts["events"][:args.top or None]
        if args.format == "json":
            print(json.dumps(decisions, indent=1))
        else:
            write_rows(args.format, ("event", "value", "rule", "children"),
                       ("text", "number", "text", "text"), [decision_row(d) for d in decisions])
        return EXIT_OK
    total = parts["value"]
    ranked = report.largest_first(parts["modules"])
    shown_rows = ranked[:args.top or None]
    write_rows(args.format, ("module", "contribution", "share"), ("text", "number", "share"),
               [(name, value, value / total if total else math.nan) for name, value in shown_rows])
    if args.format == "table":
        rest = ranked[len(shown_rows):]
        if rest:
            print(f"... {count(len(rest), 'more module')}, {sum(v for _, v in rest):.6g} together")
        print(f"total {total:.6g} {unit}".rstrip())
    return EXIT_OK


def decision_row(decision: dict) -> tuple:
    """One decision of a specified breakdown: the children it took, and the
    parallel ones that lost in parentheses."""
    taken = [f"{c['node']} {c['contribution']:.6g} {c['aggregation']}"
             if c["chosen"] else f"({c['node']} {c['contribution']:.6g} {c['aggregation']})"
             for c in decision["children"]]
    return decision["event"], decision["value"], decision["rule"], ", ".join(taken)


def run_check(args, console: Console) -> int:
    graph, _ = load(console, args.file)
    with console.step("checking the model"):
        problems = _model.check(graph)
    errors = sum(p["severity"] == "error" for p in problems)
    if args.json:
        print(json.dumps(problems, indent=1))
    else:
        for problem in problems:
            print(f"{problem['severity']}: {problem['kind']}: {problem['message']}")
        warnings = len(problems) - errors
        print(f"{count(errors, 'error')}, {count(warnings, 'warning')}" if problems
              else "no problems found")
    return EXIT_FINDINGS if errors else EXIT_OK


def run_diff(args, console: Console) -> int:
    before, after = (file_values(console, path, args) for path in (args.a, args.b))
    rows = [(event, before.get(event), after.get(event), *change(before.get(event), after.get(event)))
            for event in dict.fromkeys([*before, *after])]
    write_rows(args.format, ("event", "a", "b", "change", "relative"),
               ("text", "number", "number", "number", "change"), rows)
    if args.format == "table":
        changed = sum(row[3] != 0.0 for row in rows)
        print(f"{changed:,} of {len(rows):,} events differ")
    return EXIT_OK


def file_values(console: Console, path: str, args) -> dict[str, float]:
    """Every event's value in one of the files compared; errors name the file."""
    graph, _ = load(console, path)
    try:
        unit = resolve_unit(graph, args)
        with console.step(f"evaluating every event of {path}"):
            return _model.event_values(graph, args.metric, args.mode, unit, args.workload)
    except _model.ModelError as exc:
        raise _model.ModelError(f"{path}: {exc}") from None


def change(a: float | None, b: float | None) -> tuple[float | None, float | None]:
    """b - a and the change relative to |a|; 0.0 for equal values, NaN included."""
    if a is None or b is None:
        return None, None
    if a == b or (math.isnan(a) and math.isnan(b)):
        return 0.0, 0.0
    difference = b - a
    return difference, difference / abs(a) if a else math.copysign(math.inf, difference)


def run_report(args, console: Console) -> int:
    graph, _ = load(console, args.file)
    unit = resolve_unit(graph, args)
    title = f"{args.metric} of {args.workload or os.path.basename(args.file)}"
    with console.step("collecting the figures"):
        figures = report.collect(graph, title, args.metric, args.mode, unit, args.workload)
    page = report.render(figures)
    try:
        with open(args.output, "w", encoding="utf-8") as out:
            out.write(page)
    except OSError as exc:
        raise _model.ModelError(f"cannot write {args.output}: {exc.strerror or exc}") from None
    console.note(f"wrote {args.output}")
    return EXIT_OK


# ---- Arguments --------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="nuvel", description="Look into, aggregate, compare and report on a nuvel model file.",
        epilog="Exit codes: 0 success, 1 a file or model problem, 2 usage, 3 check found errors.")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-q", "--quiet", action="store_true",
                        help="do not say how long slow steps took")
    common.add_argument("-v", "--verbose", action="count", default=0,
                        help="show the aggregation's narration (-vv: in full detail)")

    def command(name, run, help, description, files=(("file", "model file"),)):
        sub = commands.add_parser(name, parents=[common], help=help, description=description)
        sub.set_defaults(run=run)
        for dest, text in files:
            sub.add_argument(dest, metavar=dest.upper(), help=text)
        return sub

    info = command("info", run_info, "counts, metrics and names of a model",
                   "Node, edge, workload, event and module counts; metrics with their units; "
                   "multi-operation modules; duplicate names; the load time.")
    info.add_argument("--json", action="store_true", help="print the facts as JSON")

    aggregate = command("aggregate", run_aggregate, "one metric for every event",
                        "Aggregate one metric for every event (or the events named).")
    add_metric_options(aggregate, mode_required=True)
    aggregate.add_argument("--event", nargs="+", metavar="E",
                           help="only these events (default: every event, or every event "
                                "the workload reaches)")
    add_format_option(aggregate)

    breakdown = command("breakdown", run_breakdown, "each module's share of an event's value",
                        "Each module's contribution to one event's value and its share of the "
                        "total; in specified mode, the children each event took.")
    add_metric_options(breakdown, mode_required=True)
    breakdown.add_argument("--event", required=True, metavar="E", help="the event to break down")
    breakdown.add_argument("--top", type=non_negative, default=20, metavar="N",
                           help="show the N largest (default 20; 0 shows all)")
    add_format_option(breakdown)

    check = command("check", run_check, "find what would make an aggregation fail or mislead",
                    "Report cycles, missing or unknown operations, missing metrics, invalid "
                    "counts, shadowed names, unreached nodes and unknown aggregation texts. "
                    "Exits with 3 when an error is found.")
    check.add_argument("--json", action="store_true", help="print the problems as JSON")

    diff = command("diff", run_diff, "compare two models event by event",
                   "Every event's value in A and in B, with the absolute and relative change.",
                   files=(("a", "first model file"), ("b", "second model file")))
    add_metric_options(diff, mode_required=True)
    add_format_option(diff)

    page = command("report", run_report, "write an HTML report of one metric",
                   "Write one self-contained HTML page: a chart of where the value comes "
                   "from, the top modules and every event's value. Needs plotly "
                   "(pip install 'nuvel[report]').")
    add_metric_options(page, mode_required=False)
    page.add_argument("-o", "--output", required=True, metavar="PATH", help="the page to write")
    return parser


def add_metric_options(parser: argparse.ArgumentParser, mode_required: bool) -> None:
    parser.add_argument("--metric", required=True, metavar="M", help="the metric to aggregate")
    parser.add_argument("--mode", choices=_model.MODES, required=mode_required,
                        default=None if mode_required else "summation",
                        help="aggregation mode" + ("" if mode_required else " (default summation)"))
    parser.add_argument("--unit", metavar="U",
                        help="unit to label values with (default: the metric's unit in the model)")
    parser.add_argument("--workload", metavar="W", help="scale values to this workload")


def add_format_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--format", choices=("table", "csv", "json"), default="table",
                        help="output format (default table)")


def non_negative(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more: {text}")
    return value
