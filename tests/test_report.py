"""The HTML report: its figures, and the page in a real browser."""

import io

import pytest
import sample_model

from nuvel import report
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
    graph = sample_model.build()
    figures = report.collect(graph, "t", metric, mode, "", workload)
    total = graph.aggregate_event_metric(metric, mode, "", event=workload or "infer")["value"]
    if workload is None:
        total += graph.aggregate_event_metric(metric, mode, "", event="train")["value"]
    assert figures.total == total == figures.sectors[0]["value"]
    assert sum(figures.modules.values()) == pytest.approx(total, rel=1e-12)
    top = [s["value"] for s in figures.sectors if s["parent"] == "0"]
    assert sum(top) == pytest.approx(total, rel=1e-12)


HOSTILE = "</td><script>window.pwned = 1</script>"


def test_page_in_chromium(tmp_path):
    import chromium
    from PIL import Image

    chromium.executable()
    pytest.importorskip("websocket")
    model = sample_model.save(tmp_path / "model.json", sample_model.build(extra_event=HOSTILE))
    page_path = tmp_path / "report.html"
    assert main(["report", model, "--metric", "energy", "-o", str(page_path), "-q"]) == 0
    url = page_path.as_uri()
    with chromium.open_page(url, tmp_path / "profile") as page:
        assert page.poll("document.querySelectorAll('#chart g.slice').length") > 10
        rect = page.evaluate("(() => { const r = document.querySelector('#chart .main-svg')"
                             ".getBoundingClientRect(); return [r.x, r.y, r.right, r.bottom]; })()")
        shot = Image.open(io.BytesIO(page.screenshot())).convert("RGB").crop(tuple(map(int, rect)))
        colours = shot.getcolors(maxcolors=1 << 24)
        painted = sum(count for count, rgb in colours if min(rgb) < 230)
        assert len(colours) > 20 and painted > 0.5 * shot.width * shot.height

        # Clicking a sector makes it the root of the chart.
        train = page.evaluate("(() => { const g = Array.from(document.querySelectorAll("
                              "'#chart g.slice')).find(g => g.textContent.startsWith('train'));"
                              " const r = g.getBoundingClientRect();"
                              " return [r.x + r.width / 2, r.y + r.height / 2]; })()")
        page.click(*train)
        page.poll("document.querySelector('#chart g.slice').textContent.startsWith('train')")

        page.evaluate("document.querySelectorAll('#events th')[1].click()")
        assert page.evaluate("document.querySelector('#events td').textContent") == "train"
        assert page.evaluate("window.pwned") is None
        assert page.evaluate("Array.from(document.querySelectorAll('#events td'))"
                             f".some(td => td.textContent === {HOSTILE!r})")
        assert page.console_errors() == []
        assert page.requested_urls() == [url]
