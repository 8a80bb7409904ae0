#!/usr/bin/env bash
# Installs a built wheel into a fresh virtual environment of each Python
# version and runs the test suite against it (the tests come from this
# checkout, the package only from the wheel).
#
#   tools/test_wheel.sh [--wheel FILE] [--python VERSIONS] [pytest arguments]
#
# Without --wheel the wheel is built first. VERSIONS is a blank-separated
# list (default "3.10 3.11 3.12 3.13"); each is the newest pyenv install of
# that version, or pythonX.Y on PATH. Ends non-zero if any version
# fails; the last lines give the outcome per version.
set -euo pipefail
cd "$(dirname "$0")/.."

wheel=""
versions="3.10 3.11 3.12 3.13"
while [ $# -gt 0 ]; do
  case "$1" in
    --wheel) wheel=$2; shift 2 ;;
    --python) versions=$2; shift 2 ;;
    *) break ;;
  esac
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The newest pyenv install of a version, else pythonX.Y on PATH if it runs
# (a pyenv shim is on PATH for every installed version but runs only some).
find_python() {
  local version=$1 found
  found=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}/versions/$version".*/bin/python3 2>/dev/null |
          sort -V | tail -n 1)
  if [ -z "$found" ] && "python$version" -c '' 2>/dev/null; then
    found=$(command -v "python$version")
  fi
  if [ -z "$found" ]; then
    echo "tools/test_wheel.sh: no Python $version (neither pyenv's nor python$version)" >&2
    return 1
  fi
  echo "$found"
}

if [ -z "$wheel" ]; then
  echo "+ building the wheel"
  python3 -m pip wheel -q --no-deps -w "$scratch/dist" .
  wheel=$(ls "$scratch"/dist/*.whl)
fi
wheel=$(realpath "$wheel")

summary=()
status=0
for version in $versions; do
  python=$(find_python "$version")
  venv="$scratch/venv-$version"
  echo "+ Python $version ($python): $(basename "$wheel")"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q "$wheel[test]"
  if "$venv/bin/python" -m pytest -p no:cacheprovider "$@"; then
    summary+=("Python $version: passed")
  else
    summary+=("Python $version: FAILED")
    status=1
  fi
done
printf '%s\n' "${summary[@]}"
exit "$status"
