"""The `nuvel` command line, called in process through `main(argv)`."""

import json
import subprocess
import sys

import pytest
import sample_model

from nuvel import NuvelGraph
from nuvel.cli import main


@pytest.fixture
def model(tmp_path):
    return sample_model.save(tmp_path / "model.json")


def run(capsys, *argv):
    """Exit code, stdout and stderr of one command."""
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.mark.parametrize("metric, mode, options, events", [
    ("latency", "summation", [], ["infer", "train", "attn", "mlp", "gemm"]),  # nodes with out-edges
    ("energy", "summation", ["--workload", "infer"], ["infer", "attn", "mlp", "gemm"]),  # those infer reaches
    ("latency", "specified", ["--workload", "train", "--event", "gemm", "train"], ["gemm", "train"]),
])
def test_aggregate_json_is_the_single_calls(capsys, model, metric, mode, options, events):
    code, out, err = run(capsys, "aggregate", model, "--metric", metric, "--mode", mode, "--format", "json", *options)
    assert (code, err) == (0, "")
    graph, unit = NuvelGraph.load_json(model), sample_model.UNITS[metric]
    workload = options[1] if options else None
    assert json.loads(out) == [{"event": e, "value": graph.aggregate_event_metric(metric, mode, unit, workload, e)
                                ["value"], "unit": unit} for e in events]


def test_diff(capsys, tmp_path, model):
    code, out, _ = run(capsys, "diff", model, model, "--metric", "energy", "--mode", "summation")
    assert code == 0 and out.endswith("\n0 of 5 events differ\n")
    changed = sample_model.build()
    changed.set_edge_count("mlp", "dram", 14)  # doubles dram's share of mlp and above
    other = sample_model.save(tmp_path / "other.json", changed)
    code, out, _ = run(capsys, "diff", model, other, "--metric", "energy", "--mode", "summation", "--format", "csv")
    rows = {line.split(",")[0]: line.split(",")[1:] for line in out.splitlines()[1:]}
    assert rows["gemm"] == ["105.0", "105.0", "0.0", "0.0"]
    assert rows["mlp"] == ["1225.0", "1925.0", "700.0", repr(700.0 / 1225.0)]


def test_errors_are_one_line(capsys, tmp_path, model):
    broken = tmp_path / "broken.json"
    broken.write_text('{"nodes": [\n  {"name": "a",}\n]}')
    aggregate = ["aggregate", model, "--mode", "summation", "--metric"]
    cases = [
        (["aggregate", broken, "--metric", "latency", "--mode", "module"],
         f"{broken}: trailing comma at line 2 column 16"),
        (aggregate + ["power"], "unknown metric 'power': no module holds it"),
        (aggregate + ["latency", "--event", "fpu"], "Invalid event <fpu>."),
        (aggregate + ["latency", "--workload", "fpu"], "unknown workload 'fpu'"),
        (["report", model, "--metric", "latency", "-o", tmp_path / "no" / "r.html"],
         f"cannot write {tmp_path / 'no' / 'r.html'}: No such file or directory"),
    ]
    for argv, message in cases:
        assert run(capsys, *argv) == (1, "", f"nuvel: error: {message}\n")
    code, out, err = run(capsys, "aggregate", model, "--mode", "module")
    assert code == 2 and "--metric" in err.splitlines()[-1]


def test_help_info_check_and_breakdown(capsys, tmp_path, model):
    for command in ("info", "aggregate", "breakdown", "check", "diff", "report"):
        code, out, _ = run(capsys, command, "--help")
        assert code == 0 and out.startswith(f"usage: nuvel {command} ")
    python_m = subprocess.run([sys.executable, "-m", "nuvel", "--help"], capture_output=True, text=True)
    assert python_m.returncode == 0 and "breakdown" in python_m.stdout

    graph = sample_model.build()
    graph.add_node("dram")  # a second node named dram, reached by no edge
    code, out, _ = run(capsys, "info", sample_model.save(tmp_path / "m.json", graph))
    assert code == 0 and out.splitlines()[1:3] == ["nodes      9 (2 workloads, 3 events, 4 modules)", "edges      10"]
    assert "metric     energy [pJ] on 3 modules, 1 per operation (read, write)\n" in out
    assert "duplicate  dram (2 nodes)\n" in out

    assert run(capsys, "check", model)[:2] == (0, "no problems found\n")
    graph.add_edge("dram", "mlp")  # mlp -> dram -> mlp
    code, out, _ = run(capsys, "check", sample_model.save(tmp_path / "bad.json", graph), "--json")
    assert code == 3 and "cycle" in {p["kind"] for p in json.loads(out)}

    code, out, _ = run(capsys, "breakdown", model, "--metric", "latency", "--mode", "summation",
                       "--event", "infer", "--top", "0", "--format", "json")
    assert code == 0 and {r["module"] for r in json.loads(out)} == {"l2", "dram", "alu"}
