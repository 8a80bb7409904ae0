"""Mutation check: does the test suite catch realistic single-point faults?

Each fault in tools/faults.py is an exact snippet of a source file and its
replacement. The script builds from a copy of the sources under
build/mutate, so the tree itself is never edited, even by a run that is
killed. For every fault it puts the replacement into the copy, rebuilds the
extension incrementally, runs the test suite with ``-x`` against the rebuilt
extension, and puts the copy back. A fault is

    killed    when the suite fails (or hangs past the time limit),
    survived  when the suite passes,
    stale     when its snippet is no longer found exactly once.

Run it from a virtual environment in which the package is installed with
its test extra (``pip install ".[test]"``); the rebuilt extension shadows
the installed one through PYTHONPATH, so the suite's child processes use it
too:

    python tools/mutate.py                 # every fault
    python tools/mutate.py --only reset-negative-zero,parallel-tie
    python tools/mutate.py --json before.json
    python tools/mutate.py --compare before.json   # exit 1 if a kill was lost
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import time
import tomllib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from faults import FAULTS  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "mutate"
SOURCE = BUILD / "source"


def run(cmd: list[str], **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run(cmd, cwd=ROOT, text=True, capture_output=True, **kwargs)


def json_headers() -> Path:
    """The JSON library headers at the version the build requires."""
    requires = tomllib.loads((ROOT / "pyproject.toml").read_text())["build-system"]["requires"]
    pin = next(r for r in requires if r.startswith("nlohmann-json"))
    target = BUILD / "deps"
    if not (target / "nlohmann_json").is_dir():
        done = run([sys.executable, "-m", "pip", "install", "-q", "--target", str(target), pin])
        if done.returncode != 0:
            sys.exit(f"mutate: cannot install {pin}:\n{done.stderr}")
    return target / "nlohmann_json" / "include"


def copy_sources() -> None:
    """Mirrors the tree's build inputs into SOURCE; unchanged files keep their times."""
    shutil.rmtree(SOURCE / "src", ignore_errors=True)
    shutil.copytree(ROOT / "src", SOURCE / "src")
    shutil.copy2(ROOT / "CMakeLists.txt", SOURCE / "CMakeLists.txt")


def configure() -> None:
    if (BUILD / "build.ninja").exists():
        return
    done = run(["cmake", "-S", str(SOURCE), "-B", str(BUILD), "-G", "Ninja",
                "-DCMAKE_BUILD_TYPE=Release",
                f"-DPython_EXECUTABLE={sys.executable}",
                "-DSKBUILD_SABI_COMPONENT=Development.SABIModule",
                f"-DNLOHMANN_JSON_INCLUDE_DIR={json_headers()}"])
    if done.returncode != 0:
        sys.exit(f"mutate: cmake configure failed:\n{done.stdout}{done.stderr}")


def build() -> str | None:
    """Builds the extension into the overlay package; the compiler's output on failure."""
    done = run(["cmake", "--build", str(BUILD), "--target", "_core"])
    if done.returncode != 0:
        return done.stdout + done.stderr
    package = BUILD / "overlay" / "nuvel"
    package.mkdir(parents=True, exist_ok=True)
    for source in (SOURCE / "src" / "nuvel").iterdir():
        if source.is_file():
            shutil.copy2(source, package / source.name)
    suffix = sysconfig.get_config_var("EXT_SUFFIX").split(".")[-1]
    (built,) = BUILD.glob(f"_core*.{suffix}")
    shutil.copy2(built, package / built.name)
    return None


def run_suite(pytest_args: list[str], timeout: float) -> tuple[bool, str]:
    """(passed, the first failing test or the reason)."""
    env = dict(os.environ, PYTHONPATH=str(BUILD / "overlay"))
    cmd = [sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", *pytest_args]
    try:
        done = run(cmd, env=env, timeout=timeout)
    except subprocess.TimeoutExpired:
        return False, f"timeout after {timeout:.0f} s"
    if done.returncode == 0:
        return True, ""
    failed = [line for line in done.stdout.splitlines() if line.startswith(("FAILED", "ERROR"))]
    return False, failed[0] if failed else f"pytest exit {done.returncode}"


def check_fault(fault: dict, pytest_args: list[str], timeout: float) -> dict:
    path = SOURCE / fault["file"]
    original = path.read_text()
    if original.count(fault["snippet"]) != 1:
        return {"status": "stale", "detail": f"snippet found {original.count(fault['snippet'])} times"}
    path.write_text(original.replace(fault["snippet"], fault["replacement"]))
    try:
        error = build()
        if error is not None:
            return {"status": "invalid", "detail": error.strip().splitlines()[-1]}
        passed, detail = run_suite(pytest_args, timeout)
        return {"status": "survived" if passed else "killed", "detail": detail}
    finally:
        path.write_text(original)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", help="comma-separated fault names")
    parser.add_argument("--list", action="store_true", help="list the faults and exit")
    parser.add_argument("--json", help="write the outcome to this file")
    parser.add_argument("--compare", help="an earlier --json outcome: fail if a kill was lost")
    parser.add_argument("--timeout", type=float, default=900, help="seconds per suite run")
    parser.add_argument("pytest_args", nargs="*", help="passed to pytest (after --)")
    args = parser.parse_args()

    faults = FAULTS
    if args.only:
        wanted = set(args.only.split(","))
        faults = [f for f in FAULTS if f["name"] in wanted]
    if args.list:
        for fault in faults:
            print(f"{fault['name']:32} {fault['file']}")
        return 0

    copy_sources()
    configure()
    if (error := build()) is not None:
        sys.exit(f"mutate: the unchanged sources do not build:\n{error}")
    passed, detail = run_suite(args.pytest_args, args.timeout)
    if not passed:
        sys.exit(f"mutate: the suite fails without any fault: {detail}")

    outcome = {}
    for fault in faults:
        started = time.monotonic()
        result = check_fault(fault, args.pytest_args, args.timeout)
        result["seconds"] = round(time.monotonic() - started, 1)
        outcome[fault["name"]] = result
        print(f"{result['status']:9} {fault['name']:32} {result['seconds']:7.1f} s  {result['detail']}",
              flush=True)
    build()  # leave the overlay matching the sources

    counts = {s: sum(r["status"] == s for r in outcome.values())
              for s in ("killed", "survived", "stale", "invalid")}
    print(", ".join(f"{n} {s}" for s, n in counts.items()))
    if args.json:
        Path(args.json).write_text(json.dumps(outcome, indent=1) + "\n")
    if args.compare:
        before = json.loads(Path(args.compare).read_text())
        lost = [name for name, r in before.items()
                if r["status"] == "killed" and outcome.get(name, {}).get("status") != "killed"]
        if lost:
            print("killed before, not now: " + ", ".join(lost))
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
