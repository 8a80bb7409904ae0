"""The `nuvel` command line, called in process through `main(argv)`, on the
model in tests/data/sample_model.json:

    infer, train -> attn, mlp -> gemm -> alu, l2;  attn -> l2;  mlp -> dram

l2 reports energy per operation (read, write); gemm carries a specified
latency, so every mode works for latency.
"""

import json
import subprocess
import sys
from pathlib import Path

import pytest

from nuvel import NuvelGraph
from nuvel.cli import main

MODEL = str(Path(__file__).parent / "data" / "sample_model.json")
UNITS = {"latency": "ns", "energy": "pJ"}


def saved(graph, path):
    graph.save_json(str(path))
    return str(path)


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
    other = saved(changed, tmp_path / "other.json")
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
    code, out, _ = run(capsys, "info", saved(graph, tmp_path / "m.json"))
    assert code == 0 and out.splitlines()[1:3] == ["nodes      9 (2 workloads, 3 events, 4 modules)", "edges      10"]
    assert "metric     energy [pJ] on 3 modules, 1 per operation (read, write)\n" in out
    assert "duplicate  dram (2 nodes)\n" in out

    assert run(capsys, "check", MODEL)[:2] == (0, "no problems found\n")
    graph.add_edge("dram", "mlp")  # mlp -> dram -> mlp
    code, out, _ = run(capsys, "check", saved(graph, tmp_path / "bad.json"), "--json")
    assert code == 3 and "cycle" in {p["kind"] for p in json.loads(out)}

    code, out, _ = run(capsys, "breakdown", MODEL, "--metric", "latency", "--mode", "summation",
                       "--event", "infer", "--top", "0", "--format", "json")
    assert code == 0 and {r["module"] for r in json.loads(out)} == {"l2", "dram", "alu"}
