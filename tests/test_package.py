"""The package around the extension: metadata, logging defaults, and the
examples of README.md and docs/guide.md, run as written."""

import re
import subprocess
import sys
from importlib.metadata import version
from pathlib import Path

import pytest

import nuvel

ROOT = Path(__file__).resolve().parent.parent


def run_python(code, cwd):
    """Runs code in a fresh interpreter, so logging starts unconfigured."""
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, capture_output=True, text=True,
                          timeout=120)


def fenced_blocks(path, language):
    return re.findall(rf"^```{language}\n(.*?)^```$", path.read_text(encoding="utf-8"), re.M | re.S)


def test_version_comes_from_the_package_metadata():
    assert nuvel.__version__ == version("nuvel")


CAUGHT_ERROR = """
{configure}
from nuvel import NuvelGraph
try:
    NuvelGraph().query_module_metric("lat", "ghost")
except ValueError as error:
    assert str(error) == "Invalid module <ghost>."
"""


@pytest.mark.parametrize("configure, printed", [
    ("", ""),  # no last-resort output for an error the caller caught
    ("import logging; logging.basicConfig(format='%(levelname)s %(name)s: %(message)s')",
     "ERROR nuvel_core: Invalid module <ghost>.\n"),
])
def test_error_records_print_only_through_configured_handlers(tmp_path, configure, printed):
    done = run_python(CAUGHT_ERROR.format(configure=configure), tmp_path)
    assert (done.returncode, done.stderr) == (0, printed)


def test_readme_python_blocks_run_in_order(tmp_path):
    blocks = fenced_blocks(ROOT / "README.md", "python")
    assert len(blocks) >= 5
    done = run_python("\n".join(blocks), tmp_path)
    assert done.returncode == 0, done.stderr


def test_guide_examples_give_the_numbers_shown(tmp_path):
    examples = "\n".join(fenced_blocks(ROOT / "docs" / "guide.md", "pycon"))
    assert examples.count(">>>") > 50
    done = run_python(f"""
import doctest, sys
test = doctest.DocTestParser().get_doctest({examples!r}, {{}}, "guide", "docs/guide.md", 0)
runner = doctest.DocTestRunner()
runner.run(test)
sys.exit(runner.failures)
""", tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
