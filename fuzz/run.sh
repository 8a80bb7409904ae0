#!/usr/bin/env bash
# Builds the loader's fuzz target with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs it for a bounded time on a copy of the
# seed corpus. Fails on any crash, leak, sanitizer report or escaped exception.
#
#   fuzz/run.sh [seconds]      (default 60)
set -euo pipefail
seconds=${1:-60}
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"

# CI runs as root on a fresh Debian machine: install clang when it is missing.
if ! command -v clang++ >/dev/null 2>&1; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y clang
fi

# The JSON library's headers: the pinned build requirement, installed into a
# scratch directory unless the current Python already has it.
python=${PYTHON:-python3}
include=$("$python" -c 'import importlib.util, pathlib; s = importlib.util.find_spec("nlohmann_json"); print(pathlib.Path(s.origin).parent / "include" if s else "")' 2>/dev/null || true)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -z "$include" ] || [ ! -f "$include/nlohmann/json.hpp" ]; then
  pin=$(sed -n 's/.*"\(nlohmann-json==[^"]*\)".*/\1/p' "$root/pyproject.toml")
  "$python" -m pip install -q --target "$work/json" "${pin:-nlohmann-json}"
  include="$work/json/nlohmann_json/include"
fi

# The loader and the store it builds, which links against the rest of the
# core (the store keeps the aggregation snapshot beside it).
# NUVEL_LOADER_CROSS_CHECK makes the loader read every text the library
# accepts with its own rules as well, so the two must agree on every input.
clang++ -std=c++20 -g -O1 \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -DNUVEL_LOADER_CROSS_CHECK \
  -I "$root/src/core" -isystem "$include" \
  "$here/load_json_fuzzer.cpp" "$root"/src/core/*.cpp \
  -o "$work/load_json_fuzzer"

# New inputs go to a scratch corpus, so the seeds in the tree stay as they are.
mkdir -p "$work/corpus" "$work/artifacts"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The fuzzer narrates every new input; keep that in a log and show its end.
"$work/load_json_fuzzer" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
  -rss_limit_mb=2048 -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
  -dict="$here/json.dict" "$work/corpus" "$here/corpus" > "$work/fuzz.log" 2>&1 || {
  status=$?
  tail -n 60 "$work/fuzz.log" >&2
  mkdir -p "$here/findings"
  cp "$work"/artifacts/* "$here/findings/" 2>/dev/null || true
  echo "fuzz/run.sh: the fuzz target failed (status $status); inputs kept in fuzz/findings/" >&2
  exit "$status"
}
tail -n 15 "$work/fuzz.log"
