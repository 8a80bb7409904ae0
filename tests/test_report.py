"""The HTML report: its figures, and the page in a real browser."""

import io
import json
import os
import shutil
from pathlib import Path

import pytest
from test_cli import MODEL

from nuvel import NuvelGraph, report
from nuvel.cli import main


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
    top = [s["value"] for s in figures.sectors if s["parent"] == "0"]
    assert sum(top) == pytest.approx(total, rel=1e-12)


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
