"""The HTML report: where one metric's value comes from, in a single page.

`collect` asks a graph for the figures; `render` turns plain figures into a
self-contained page (plotly's JavaScript inlined, nothing fetched), so the
page can be built and tested without a graph.
"""

from __future__ import annotations

import html
from collections import deque
from dataclasses import dataclass, field

from nuvel import _model

#: Chart sectors at most; the tree is unfolded breadth first up to this.
MAX_SECTORS = 2000
#: Rows of the top-modules table.
TOP_MODULES = 20
#: Levels the chart shows at once; clicking a sector shows the levels below it.
CHART_DEPTH = 4
ALL_WORKLOADS = "all workloads"


@dataclass
class Report:
    """Everything the page shows, as plain data."""

    title: str
    metric: str
    mode: str
    unit: str
    workload: str | None
    total: float
    #: Chart sectors: {"id", "parent" ("" for the root), "label", "value"}.
    sectors: list[dict] = field(default_factory=list)
    #: Every event's value (scaled to the workload when there is one).
    events: dict[str, float] = field(default_factory=dict)
    #: Every module's contribution to the total.
    modules: dict[str, float] = field(default_factory=dict)

    def after_number(self) -> str:
        return f" {self.unit}" if self.unit else ""

    def in_heading(self) -> str:
        return f" ({self.unit})" if self.unit else ""


def collect(graph, title: str, metric: str, mode: str, unit: str,
            workload: str | None) -> Report:
    """The report of `metric` for `workload`, or for all workloads together."""
    events = _model.event_values(graph, metric, mode, unit, workload)
    if workload is not None and graph.is_leaf(workload):
        raise _model.ModelError(f"workload {workload!r} has no out-edges")
    tops = [workload] if workload is not None else _model.roots(graph, list(events))
    own = {top: events[top] for top in tops}  # a workload's own value is unscaled
    modules: dict[str, float] = {}
    children: dict[str, list[tuple[str, float]]] = {}
    values: dict[str, float] = {}
    for top in tops:
        parts = _model.breakdown(graph, metric, mode, unit, None, top)
        for module, share in parts["modules"].items():
            modules[module] = modules.get(module, 0.0) + share
        for event in parts["events"]:
            values[event["event"]] = event["value"]
            children[event["event"]] = [(child["node"], child["contribution"])
                                        for child in event["children"] if child["chosen"]]
    if mode == "module":
        # Each module counts once, wherever it sits: the chart lists them directly.
        top_shares = largest_first(modules)
    else:
        top_shares = list(own.items()) if workload is None else children[workload]
    root = workload if workload is not None else ALL_WORKLOADS
    total = sum(own.values())
    return Report(title=title, metric=metric, mode=mode, unit=unit, workload=workload,
                  total=total, sectors=unfold(root, total, top_shares, children, values),
                  events=events, modules=modules)


def unfold(root: str, total: float, top: list[tuple[str, float]],
           children: dict[str, list[tuple[str, float]]], values: dict[str, float],
           limit: int = MAX_SECTORS) -> list[dict]:
    """The graph below `root` as a tree of sectors, breadth first.

    `top` holds the root's children with their shares; `children` maps an
    event to its children with what each adds to the event's own value
    (`values`). A sector's share of its parent sector follows the child's
    share of the parent event, so a node reached along several routes gets a
    sector on each, sized by that route.
    """
    sectors = [{"id": "0", "parent": "", "label": root, "value": total}]
    queue = deque([("0", 1.0, top)])
    while queue:
        parent_id, scale, shares = queue.popleft()
        for child, share in shares:
            if len(sectors) == limit:
                return sectors
            size = share * scale
            sector_id = str(len(sectors))
            sectors.append({"id": sector_id, "parent": parent_id, "label": child, "value": size})
            own = values.get(child)
            if child in children and own:
                queue.append((sector_id, size / own, children[child]))
    return sectors


def render(report: Report) -> str:
    """The page, as one HTML document with everything inlined."""
    scope = f"workload {report.workload}" if report.workload is not None else ALL_WORKLOADS
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        f"<title>{esc(report.title)}</title>",
        f"<style>{STYLE}</style></head><body>",
        f"<h1>{esc(report.title)}</h1>",
        f"<p>Metric <b>{esc(report.metric)}</b>, {esc(report.mode)} mode, {esc(scope)}: "
        f"<b>{number(report.total)}{esc(report.after_number())}</b>.</p>",
        "<h2>Where the value comes from</h2>",
        "<p>Click a sector to open it; click the top bar to go back.</p>",
        chart_html(report),
        "<h2>Top modules</h2>",
        modules_html(report),
        f"<h2>Events ({len(report.events)})</h2>",
        "<p>Click a column heading to sort.</p>",
        table_html(("event", "value" + report.in_heading()), list(report.events.items()), "events",
                   (None, number)),
        f"<script>{SORT_SCRIPT}</script>",
        "</body></html>",
    ]
    return "\n".join(parts)


def chart_html(report: Report) -> str:
    """The icicle chart as a div and its script, plotly's library inlined."""
    try:
        import plotly.graph_objects as go
        import plotly.io as pio
    except ImportError:
        raise _model.ModelError("the report needs plotly: pip install 'nuvel[report]'") from None
    sectors = report.sectors
    below: dict[str, float] = {}
    for sector in sectors[1:]:
        below[sector["parent"]] = below.get(sector["parent"], 0.0) + max(sector["value"], 0.0)
    # Areas must be sums of non-negative parts: each sector draws what its
    # children leave over, and the hover text gives the exact figure.
    remainders = [max(s["value"] - below.get(s["id"], 0.0), 0.0) for s in sectors]
    figure = go.Figure(go.Icicle(
        ids=[s["id"] for s in sectors],
        parents=[s["parent"] for s in sectors],
        labels=[s["label"] for s in sectors],
        values=remainders,
        customdata=[s["value"] for s in sectors],
        branchvalues="remainder",
        maxdepth=CHART_DEPTH,
        texttemplate="%{label}<br>%{customdata:.4~g} (%{percentRoot:.1%})",
        hovertemplate="%{label}<br>%{customdata:.6~g}" + esc(report.after_number()) + "<extra></extra>",
        root_color="lightgrey",
    ))
    figure.update_layout(margin={"t": 10, "l": 10, "r": 10, "b": 10}, height=520)
    return pio.to_html(figure, full_html=False, include_plotlyjs=True, div_id="chart",
                       config={"displaylogo": False, "responsive": True})


def modules_html(report: Report) -> str:
    if not report.modules:
        return "<p>No module contributes directly in this mode.</p>"
    rows = [(name, value, value / report.total if report.total else float("nan"))
            for name, value in largest_first(report.modules)[:TOP_MODULES]]
    return table_html(("module", "contribution" + report.in_heading(), "share"), rows, "modules",
                      (None, number, percent))


def largest_first(values: dict[str, float]) -> list[tuple[str, float]]:
    """(name, value) pairs, largest value first, NaN last, ties in the given order."""
    return sorted(values.items(), key=lambda row: -row[1] if row[1] == row[1] else float("inf"))


def table_html(headings: tuple[str, ...], rows, table_id: str, formats: tuple) -> str:
    """A sortable table; a column with a format holds numbers, the others text."""
    head = "".join(f"<th>{esc(h)}</th>" for h in headings)
    body = "\n".join(
        "<tr>" + "".join(cell_html(cell, fmt) for cell, fmt in zip(row, formats)) + "</tr>"
        for row in rows)
    return (f'<table class="sortable" id="{table_id}"><thead><tr>{head}</tr></thead>'
            f"<tbody>\n{body}\n</tbody></table>")


def cell_html(cell, fmt) -> str:
    if fmt is None:
        return f"<td>{esc(cell)}</td>"
    return f'<td class="num" data-value="{cell!r}">{fmt(cell)}</td>'


def percent(share: float) -> str:
    return f"{share:.1%}"


def number(value: float) -> str:
    return f"{value:.6g}"


def esc(text: str) -> str:
    return html.escape(text, quote=True)


STYLE = """
body { font-family: system-ui, sans-serif; margin: 0 auto; padding: 1em 1.5em;
       max-width: 1100px; color: #222; }
table { border-collapse: collapse; margin-bottom: 2em; }
th, td { padding: 0.2em 0.8em; border-bottom: 1px solid #ddd; text-align: left; }
th { cursor: pointer; background: #f3f3f3; user-select: none; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
"""

# Sorts a table by the clicked column: numbers by their exact value (NaN
# lowest), text alphabetically; a second click reverses the order.
SORT_SCRIPT = """
function sortKey(cell) {
  if (cell.dataset.value === undefined) return cell.textContent;
  var x = Number(cell.dataset.value);
  return isNaN(x) ? -Infinity : x;
}
document.querySelectorAll("table.sortable th").forEach(function (th) {
  th.addEventListener("click", function () {
    var column = th.cellIndex;
    var body = th.closest("table").tBodies[0];
    var rows = Array.from(body.rows);
    var down = th.dataset.order !== "down";
    th.dataset.order = down ? "down" : "up";
    rows.sort(function (a, b) {
      var x = sortKey(a.cells[column]), y = sortKey(b.cells[column]);
      var r = typeof x === "string" ? x.localeCompare(y) : (x < y ? -1 : x > y ? 1 : 0);
      return down ? -r : r;
    });
    rows.forEach(function (row) { body.appendChild(row); });
  });
});
"""
