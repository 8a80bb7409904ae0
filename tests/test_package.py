"""The package around the extension: its version, and the examples of
README.md and docs/guide.md, run as written."""

import re
import subprocess
import sys
from importlib.metadata import version
from pathlib import Path

import nuvel

ROOT = Path(__file__).resolve().parent.parent


def fenced_blocks(path, language):
    return re.findall(rf"^```{language}\n(.*?)^```$", path.read_text(encoding="utf-8"), re.M | re.S)


def test_version_comes_from_the_package_metadata():
    assert nuvel.__version__ == version("nuvel")


def test_readme_blocks_run_and_guide_examples_give_the_numbers_shown(tmp_path):
    # In a fresh interpreter, so that logging starts unconfigured: the README's
    # Python blocks in order, then the guide's examples as one doctest.
    readme = "\n".join(fenced_blocks(ROOT / "README.md", "python"))
    guide = "\n".join(fenced_blocks(ROOT / "docs" / "guide.md", "pycon"))
    assert readme.count("\n") > 20 and guide.count(">>>") > 50
    code = f"""
import doctest, sys
exec(compile({readme!r}, "README.md", "exec"), {{}})
test = doctest.DocTestParser().get_doctest({guide!r}, {{}}, "guide", "docs/guide.md", 0)
runner = doctest.DocTestRunner()
runner.run(test)
sys.exit(runner.failures)
"""
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
