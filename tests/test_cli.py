"""The `nuvel` command line, called in process through `main(argv)`, and the
HTML report's figures and page, on the model in tests/data/sample_model.json:

    infer, train -> attn, mlp -> gemm -> alu, l2;  attn -> l2;  mlp -> dram

l2 reports energy per operation (read, write); gemm carries a specified
latency, so every mode works for latency.
"""

import io
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from nuvel import NuvelGraph, report
from nuvel.cli import main

MODEL = str(Path(__file__).parent / "data" / "sample_model.json")
UNITS = {"latency": "ns", "energy": "pJ"}


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.mark.parametrize("metric, mode, options, events", [
    ("latency", "summation", [], ["infer", "train", "attn", "mlp", "gemm"]),  # nodes with out-edges
    ("energy", "summation", ["--workload", "infer"], ["infer", "attn", "mlp", "gemm"]),  # those infer reaches
    ("latency", "specified", ["--workload", "train", "--event", "gemm", "train"], ["gemm", "train"]),
])
def test_aggregate_json_is_the_single_calls(capsys, metric, mode, options, events):
    code, out, err = run(capsys, "aggregate", MODEL, "--metric", metric, "--mode", mode, "--format", "json", *options)
    assert (code, err) == (0, "")
    graph, unit = NuvelGraph.load_json(MODEL), UNITS[metric]
    workload = options[1] if options else None
    assert json.loads(out) == [{"event": e, "value": graph.aggregate_event_metric(metric, mode, unit, workload, e)
                                ["value"], "unit": unit} for e in events]


def test_diff(capsys, tmp_path):
    code, out, _ = run(capsys, "diff", MODEL, MODEL, "--metric", "energy", "--mode", "summation")
    assert code == 0 and out.endswith("\n0 of 5 events differ\n")
    changed = NuvelGraph.load_json(MODEL)
    changed.set_edge_count("mlp", "dram", 14)  # doubles dram's share of mlp and above
    other = tmp_path / "other.json"
    changed.save_json(str(other))
    code, out, _ = run(capsys, "diff", MODEL, other, "--metric", "energy", "--mode", "summation", "--format", "csv")
    rows = {line.split(",")[0]: line.split(",")[1:] for line in out.splitlines()[1:]}
    assert rows["gemm"] == ["105.0", "105.0", "0.0", "0.0"]
    assert rows["mlp"] == ["1225.0", "1925.0", "700.0", repr(700.0 / 1225.0)]


def test_errors_are_one_line(capsys, tmp_path):
    broken = tmp_path / "broken.json"
    broken.write_text('{"nodes": [\n  {"name": "a",}\n]}')
    aggregate = ["aggregate", MODEL, "--mode", "summation", "--metric"]
    cases = [
        (["aggregate", broken, "--metric", "latency", "--mode", "module"],
         f"{broken}: trailing comma at line 2 column 16"),
        (aggregate + ["power"], "unknown metric 'power': no module holds it"),
        (aggregate + ["latency", "--event", "fpu"], "Invalid event <fpu>."),
        (aggregate + ["latency", "--workload", "fpu"], "unknown workload 'fpu'"),
        (["report", MODEL, "--metric", "latency", "-o", tmp_path / "no" / "r.html"],
         f"cannot write {tmp_path / 'no' / 'r.html'}: No such file or directory"),
    ]
    for argv, message in cases:
        assert run(capsys, *argv) == (1, "", f"nuvel: error: {message}\n")
    code, out, err = run(capsys, "aggregate", MODEL, "--mode", "module")
    assert code == 2 and "--metric" in err.splitlines()[-1]


def test_info_check_and_breakdown(capsys, tmp_path):
    python_m = subprocess.run([sys.executable, "-m", "nuvel", "--help"], capture_output=True, text=True)
    assert python_m.returncode == 0 and "breakdown" in python_m.stdout

    graph = NuvelGraph.load_json(MODEL)
    graph.add_node("dram")  # a second node named dram, reached by no edge
    model = str(tmp_path / "m.json")
    graph.save_json(model)
    code, out, _ = run(capsys, "info", model)
    assert code == 0 and out.splitlines()[1:3] == ["nodes      9 (2 workloads, 3 events, 4 modules)", "edges      10"]
    assert "metric     energy [pJ] on 3 modules, 1 per operation (read, write)\n" in out
    assert "duplicate  dram (2 nodes)\n" in out

    assert run(capsys, "check", MODEL)[:2] == (0, "no problems found\n")
    graph.add_edge("dram", "mlp")  # mlp -> dram -> mlp
    graph.save_json(model)
    code, out, _ = run(capsys, "check", model, "--json")
    assert code == 3 and "cycle" in {p["kind"] for p in json.loads(out)}

    code, out, _ = run(capsys, "breakdown", MODEL, "--metric", "latency", "--mode", "summation",
                       "--event", "infer", "--top", "0", "--format", "json")
    assert code == 0 and {r["module"] for r in json.loads(out)} == {"l2", "dram", "alu"}


# ---- The report -----------------------------------------------------------

def test_unfold_sizes_each_route():
    # r -> a (half of a's value 6) and b; a -> m, x; b -> x; x -> m
    children = {"a": [("m", 2.0), ("x", 4.0)], "b": [("x", 4.0)], "x": [("m", 4.0)]}
    values = {"a": 6.0, "b": 4.0, "x": 4.0}
    sectors = report.unfold("r", 7.0, [("a", 3.0), ("b", 4.0)], children, values)
    assert [(s["parent"], s["label"], s["value"]) for s in sectors] == [
        ("", "r", 7.0), ("0", "a", 3.0), ("0", "b", 4.0),
        ("1", "m", 1.0), ("1", "x", 2.0), ("2", "x", 4.0), ("4", "m", 2.0), ("5", "m", 4.0)]
    assert [s["id"] for s in sectors] == [str(i) for i in range(8)]
    assert report.unfold("r", 7.0, [("a", 3.0), ("b", 4.0)], children, values, limit=4) == sectors[:4]


@pytest.mark.parametrize("metric, mode, workload", [
    ("energy", "summation", None), ("energy", "summation", "infer"), ("latency", "module", "train")])
def test_figures_add_up(metric, mode, workload):
    graph = NuvelGraph.load_json(MODEL)
    figures = report.collect(graph, "t", metric, mode, "", workload)
    total = graph.aggregate_event_metric(metric, mode, "", event=workload or "infer")["value"]
    if workload is None:
        total += graph.aggregate_event_metric(metric, mode, "", event="train")["value"]
    assert figures.total == total == figures.sectors[0]["value"]
    assert sum(figures.modules.values()) == pytest.approx(total, rel=1e-12)
    assert sum(s["value"] for s in figures.sectors if s["parent"] == "0") == pytest.approx(total, rel=1e-12)


HOSTILE = "</td><script>window.pwned = 1</script>"


@pytest.fixture
def chromium(monkeypatch):
    """The system's chromium, driven by playwright; CI sets NUVEL_REQUIRE_CHROMIUM
    to fail rather than skip without it."""
    found = shutil.which("chromium") or shutil.which("chromium-browser")
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        found = None
    if found is None:
        if os.environ.get("NUVEL_REQUIRE_CHROMIUM"):
            pytest.fail("chromium or playwright is missing and NUVEL_REQUIRE_CHROMIUM is set")
        pytest.skip("chromium or playwright is missing")
    # Under a preloaded sanitizer runtime (.ci/sanitize) the driver and the
    # browser would run with it too.
    monkeypatch.delenv("LD_PRELOAD", raising=False)
    with sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=found, args=["--no-sandbox"])
        yield browser
        browser.close()


def test_page_in_chromium(tmp_path, chromium):
    from PIL import Image

    model = tmp_path / "model.json"  # the event attn renamed
    model.write_text(Path(MODEL).read_text().replace('"attn"', json.dumps(HOSTILE)))
    page_path = tmp_path / "report.html"
    assert main(["report", str(model), "--metric", "energy", "-o", str(page_path), "-q"]) == 0
    page = chromium.new_page(viewport={"width": 1200, "height": 900})
    errors, requested = [], []
    page.on("console", lambda message: message.type == "error" and errors.append(message.text))
    page.on("pageerror", lambda error: errors.append(str(error)))
    page.on("request", lambda request: requested.append(request.url))
    page.goto(page_path.as_uri())
    page.wait_for_function("document.querySelectorAll('#chart g.slice').length > 10")
    chart = page.locator("#chart .main-svg").first
    shot = Image.open(io.BytesIO(chart.screenshot())).convert("RGB")
    colours = shot.getcolors(maxcolors=1 << 24)
    painted = sum(count for count, rgb in colours if min(rgb) < 230)
    assert len(colours) > 20 and painted > 0.5 * shot.width * shot.height

    # Clicking a sector makes it the root of the chart.
    page.locator("#chart g.slice").filter(has_text="train").first.click()
    page.wait_for_function("document.querySelector('#chart g.slice').textContent.startsWith('train')")
    page.locator("#events th").nth(1).click()
    assert page.locator("#events td").first.text_content() == "train"
    assert page.evaluate("window.pwned") is None
    assert page.locator("#events td", has_text=HOSTILE).count() == 1
    assert errors == [] and requested == [page_path.as_uri()]
