"""Number and name-list formatting and lower-case mapping, through a C++
driver (tests/cpp/format_driver.cpp) built with src/core/format.cpp: numbers
against Python's repr, Unicode facts against the database files the tables
were generated from, never against the interpreter's own Unicode version.
"""

import math
import os
import random
import shutil
import struct
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
COMPILER = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")

pytestmark = pytest.mark.skipif(COMPILER is None, reason="no C++ compiler to build the format driver")


@pytest.fixture(scope="module")
def driver(tmp_path_factory):
    exe = tmp_path_factory.mktemp("format") / "format_driver"
    base = [COMPILER, "-std=c++20", "-O1", "-g", "-Wall", "-Wextra", "-I", str(ROOT / "src" / "core"),
            str(ROOT / "tests" / "cpp" / "format_driver.cpp"), str(ROOT / "src" / "core" / "format.cpp"),
            "-o", str(exe)]
    # Sanitizers catch a write past fmt_py's fixed buffer; not every toolchain has them.
    sanitized = base[:1] + ["-fsanitize=address,undefined", "-fno-sanitize-recover=all"] + base[1:]
    # Under a preloaded sanitizer runtime (.ci/run) the compiler would run with
    # it and fail on its own leaks.
    plain = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    for cmd in (sanitized, base):
        build = subprocess.run(cmd, capture_output=True, text=True, env=plain)
        if build.returncode == 0:
            break
    assert build.returncode == 0, build.stderr

    def run(lines):
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
        done = subprocess.run([str(exe)], input="".join(line + "\n" for line in lines),
                              capture_output=True, text=True, env=env)
        assert done.returncode == 0, done.stderr
        out = done.stdout.splitlines()
        assert len(out) == len(lines)
        return [bytes.fromhex(h).decode("utf-8") for h in out]

    return run


def name_arg(text):
    data = text if isinstance(text, bytes) else text.encode("utf-8")
    return "x" + data.hex()


def from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


# ---- fmt_py ---------------------------------------------------------------

def test_fmt_py_is_repr(driver):
    rng = random.Random(20240531)
    values = [0.0, 1.0, 3.0, 100.0, 0.5, 2.5, 1234.5, 0.1 + 0.2, math.inf]
    for x in [1e-4, 1e-5, 1e15, 1e16, 9.999999999999999e-05, 9999999999999998.0, 0.00012,
              1234567890123456.8, 0.00012345678901234567, 2.2250738585072014e-308]:  # switch points
        values += [x, math.nextafter(x, 0), math.nextafter(x, math.inf)]
    values += [2.0**k for k in range(-1074, 1024)] + [float(f"1e{k}") for k in range(-323, 309)]
    values += [from_bits(b) for b in range(1, 1 << 52, 0x3FFFF00001)]  # spread over the subnormals
    values += [math.nextafter(x, math.inf) for x in values] + [math.nextafter(x, 0) for x in values]
    values += [x for x in map(from_bits, (rng.getrandbits(64) for _ in range(12000))) if not math.isnan(x)]
    for _ in range(8000):  # decimals a person would type, and their sums
        x = float(f"{rng.randint(0, 10 ** rng.randint(1, 17))}e{rng.randint(-25, 25)}")
        values.append(x if rng.random() < 0.7 else x + rng.choice([0.1, 0.2, 1 / 3]))
    values += [-x for x in values]
    got = driver(["py " + struct.pack(">d", x).hex() for x in values])
    assert [(x.hex(), text) for x, text in zip(values, got) if text != repr(x)][:10] == []
    assert max(map(len, got)) <= 24  # kFmtPyMaxLen
    nans = [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001, 0xFFFFFFFFFFFFFFFF]
    assert driver([f"py {b:016x}" for b in nans]) == ["nan"] * 4


# ---- name lists and lower case, against the UCD ---------------------------

ESCAPED_CATEGORIES = {"Cc", "Cf", "Zl", "Zp", "Zs", "Co", "Cs", "Cn"}
SPECIAL = {"\\": "\\\\", '"': '\\"', "\0": "\\0", "\t": "\\t", "\r": "\\r", "\n": "\\n"}
UCD = Path("/usr/share/unicode")
SCALARS = [chr(c) for c in range(0x110000) if not 0xD800 <= c <= 0xDFFF]


def ucd_fields(name):
    with open(UCD / name, encoding="utf-8") as lines:
        for line in lines:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


class Ucd:
    """The facts the tables hold, read straight from the UCD files."""

    def __init__(self):
        self.category, self.lower, first = {}, {}, None
        for f in ucd_fields("UnicodeData.txt"):
            cp = int(f[0], 16)
            if f[1].endswith(", First>"):
                first = cp
                continue
            for c in range(first if f[1].endswith(", Last>") else cp, cp + 1):
                self.category[c] = f[2]
            if f[13]:
                self.lower[cp] = chr(int(f[13], 16))
        for f in ucd_fields("SpecialCasing.txt"):
            if not f[4]:  # unconditional
                self.lower[int(f[0], 16)] = "".join(chr(int(x, 16)) for x in f[1].split())
        self.props = {"Cased": set(), "Case_Ignorable": set(), "Grapheme_Extend": set()}
        for f in ucd_fields("DerivedCoreProperties.txt"):
            if f[1] in self.props:
                first, _, last = f[0].partition("..")
                self.props[f[1]].update(range(int(first, 16), int(last or first, 16) + 1))

    def escaped(self, ch):
        c = ord(ch)
        if ch in SPECIAL:
            return SPECIAL[ch]
        if ch != " " and (self.category.get(c, "Cn") in ESCAPED_CATEGORIES
                          or c in self.props["Grapheme_Extend"]):
            return "\\u{%x}" % c
        return ch

    def cased_beyond(self, text, indices):
        """Whether the first character at `indices` that is not case-ignorable is cased."""
        for i in indices:
            if ord(text[i]) not in self.props["Case_Ignorable"]:
                return ord(text[i]) in self.props["Cased"]
        return False

    def to_lower(self, text):
        out = []
        for i, ch in enumerate(text):
            final = (ch == "\u03a3" and self.cased_beyond(text, range(i - 1, -1, -1))
                     and not self.cased_beyond(text, range(i + 1, len(text))))
            out.append("\u03c2" if final else self.lower.get(ord(ch), ch))
        return "".join(out)


@pytest.fixture(scope="module")
def ucd():
    if not (UCD / "DerivedCoreProperties.txt").exists():
        pytest.skip(f"no Unicode Character Database in {UCD} (Debian: unicode-data)")
    return Ucd()


def mismatches(driver, line, expected):
    """The code points whose output differs from `expected`, run in chunks of
    2000 (line(chunk) is the command) and singly where a chunk differs."""
    chunks = [SCALARS[i:i + 2000] for i in range(0, len(SCALARS), 2000)]
    bad = []
    for chunk, text in zip(chunks, driver([line(chunk) for chunk in chunks])):
        if text != expected(chunk):
            singly = driver([line([ch]) for ch in chunk])
            bad += [ch for ch, got in zip(chunk, singly) if got != expected([ch])]
    return [f"U+{ord(ch):04X}" for ch in bad]


def test_fmt_debug_list_every_code_point(driver, ucd):
    # In lists of 2000 names, one name per code point (the Python messages
    # compared with the pure model cover short lists and the usual escapes).
    def expected(chunk):
        return "[" + ", ".join(f'"{ucd.escaped(ch)}"' for ch in chunk) + "]"

    assert mismatches(driver, lambda chunk: "debug " + " ".join(map(name_arg, chunk)), expected) == []


# Empty, and one U+FFFD for each maximal ill-formed subpart, as Python's decoder does.
ODD_UTF8 = [b"", b"A\xffB\xc3", b"\xe0\x80\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xc0\xafQ", b"\xe2\x82Z",
            b"Q\xf0\x9f\x98\x80\x80\xf0\x9f\x98"]


def test_to_lower_empty_and_invalid_utf8(driver):
    assert driver(["lower " + name_arg(data) for data in ODD_UTF8]) == [
        data.decode("utf-8", "replace").lower() for data in ODD_UTF8]


def test_to_lower_every_code_point_and_random_strings(driver, ucd):
    # Singly (space-separated, so no sigma sees a cased neighbour) ...
    assert mismatches(driver, lambda chunk: "lower " + name_arg(" ".join(chunk)),
                      lambda chunk: " ".join(map(ucd.to_lower, chunk))) == []
    # ... and in random strings, where the final-sigma context meets letters and marks.
    rng = random.Random(7)
    greek = "ΣσςΑΒΓ.'\u0301\u0345 "
    strings = ["".join(rng.choice(SCALARS) if rng.random() < 0.5 else rng.choice(greek)
                       for _ in range(rng.randint(1, 12))) for _ in range(3000)]
    got = driver(["lower " + name_arg(s) for s in strings])
    assert [ascii(s) for s, text in zip(strings, got) if text != ucd.to_lower(s)] == []
