"""Number and name-list formatting, checked against Python itself.

The formatting unit is not reachable from Python, so a small C++ driver
(tests/cpp/format_driver.cpp) is compiled together with src/core/format.cpp
and fed commands on stdin. Doubles travel as bit patterns and texts as hex
of their UTF-8 bytes, so NUL, newlines and invalid bytes survive the trip.
"""

import math
import os
import random
import shutil
import struct
import subprocess
import sys
import unicodedata
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
            "-o", str(exe), "-licuuc"]
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


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def check_floats(driver, values):
    got = driver([f"py {bits(x):016x}" for x in values])
    bad = [(x.hex(), text, repr(x)) for x, text in zip(values, got) if text != repr(x)]
    assert bad[:10] == []
    assert max(map(len, got)) <= 24  # kFmtPyMaxLen


# ---- fmt_py ---------------------------------------------------------------

TABLE = [
    (0.0, "0.0"), (-0.0, "-0.0"), (1.0, "1.0"), (3.0, "3.0"), (100.0, "100.0"), (0.5, "0.5"),
    (-2.5, "-2.5"), (1234.5, "1234.5"), (0.1 + 0.2, "0.30000000000000004"), (0.0001, "0.0001"),
    (9.999e-05, "9.999e-05"), (1e-05, "1e-05"), (2.5e-05, "2.5e-05"), (1e15, "1000000000000000.0"),
    (2.0**53, "9007199254740992.0"), (1e16, "1e+16"), (1.5e16, "1.5e+16"),
    (123456789012345678.0, "1.2345678901234568e+17"), (1e100, "1e+100"), (5e-324, "5e-324"),
    (1.7976931348623157e308, "1.7976931348623157e+308"), (math.inf, "inf"), (-math.inf, "-inf"),
]


def test_fmt_py_table(driver):
    values = [x for x, _ in TABLE]
    assert driver([f"py {bits(x):016x}" for x in values]) == [text for _, text in TABLE]


def test_fmt_py_nan_of_any_sign_and_payload(driver):
    nans = [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001, 0xFFFFFFFFFFFFFFFF]
    assert driver([f"py {b:016x}" for b in nans]) == ["nan"] * 4


def test_fmt_py_switch_points(driver):
    edges = [1e-4, 1e-5, 1e15, 1e16, 9.999999999999999e-05, 9999999999999998.0, 0.00012,
             1234567890123456.8, 0.00012345678901234567, 2.2250738585072014e-308]
    values = []
    for x in edges:
        for y in (x, math.nextafter(x, 0), math.nextafter(x, math.inf)):
            values += [y, -y]
    check_floats(driver, values)


def test_fmt_py_powers_and_subnormals(driver):
    values = [2.0**k for k in range(-1074, 1024)]
    values += [float(f"1e{k}") for k in range(-323, 309)]
    values += [from_bits(b) for b in (1, 2, 3, 0x000FFFFFFFFFFFFF, 0x0008000000000000, 0x0010000000000000)]
    values += [from_bits(b) for b in range(1, 1 << 52, 0x3FFFF00001)]  # spread over the subnormals
    values += [math.nextafter(x, math.inf) for x in values] + [math.nextafter(x, 0) for x in values]
    check_floats(driver, values + [-x for x in values])


def test_fmt_py_random(driver):
    rng = random.Random(20240531)
    values = []
    while len(values) < 12000:
        x = from_bits(rng.getrandbits(64))
        if not math.isnan(x):
            values.append(x)
    for _ in range(8000):  # decimals a person would type, and their sums
        digits = rng.randint(0, 10 ** rng.randint(1, 17))
        x = float(f"{digits}e{rng.randint(-25, 25)}")
        values.append(x if rng.random() < 0.7 else x + rng.choice([0.1, 0.2, 1 / 3]))
    check_floats(driver, values)


# ---- name lists -------------------------------------------------------------

def test_fmt_quoted_list(driver):
    lines = ["quoted", f"quoted {name_arg('a')}", f"quoted {name_arg('a')} {name_arg('b')}",
             f"quoted {name_arg('')} {name_arg(chr(39) + 'x' + chr(92))}"]
    assert driver(lines) == ["", "'a'", "'a', 'b'", "'', ''x\\'"]


DEBUG_CASES = [
    ([], "[]"),
    (["a", "b"], '["a", "b"]'),
    ([""], '[""]'),
    (['say "hi"', "a\\b"], r'["say \"hi\"", "a\\b"]'),
    (["\t\0\r\n"], r'["\t\0\r\n"]'),
    (["it's", "é日本", "\U0001F600"], '["it\'s", "é日本", "\U0001F600"]'),
    (["\x01\x1b\x7f\x85"], r'["\u{1}\u{1b}\u{7f}\u{85}"]'),
    (["e\u0301x", "\u20dd"], r'["e\u{301}x", "\u{20dd}"]'),  # Mn, Me
    (["\ue000", "\U000f0000"], r'["\u{e000}", "\u{f0000}"]'),  # private use
    (["\u200d", "\u200c", "\xad", "\U000e0001"], r'["\u{200d}", "\u{200c}", "\u{ad}", "\u{e0001}"]'),
    (["\xa0", "\u3000", "\u2028", "\u2029"], r'["\u{a0}", "\u{3000}", "\u{2028}", "\u{2029}"]'),
    (["\u0378", "\uffff", "\U0010ffff"], r'["\u{378}", "\u{ffff}", "\u{10ffff}"]'),  # unassigned
    # Spacing mark and modifier letter that are grapheme extenders; a spacing mark that is not.
    (["\u0bbe", "\uff9e", "\u0903"], '["\\u{bbe}", "\\u{ff9e}", "\u0903"]'),
    # Edges of the UTF-8 lengths.
    (["\x7e\x80\u07ff\u0800\U00010000"], r'["~\u{80}' + '\u07ff\u0800\U00010000"]'),
]


def test_fmt_debug_list_cases(driver):
    lines = ["debug " + " ".join(map(name_arg, names)) for names, _ in DEBUG_CASES]
    assert driver(lines) == [text for _, text in DEBUG_CASES]


# Grapheme_Extend is Mn + Me + Other_Grapheme_Extend; these are the members of
# the last that are neither format characters nor marks Python reports as Mn.
OTHER_GRAPHEME_EXTEND = {
    0x09BE, 0x09D7, 0x0B3E, 0x0B57, 0x0BBE, 0x0BD7, 0x0CC2, 0x0CD5, 0x0CD6, 0x0D3E, 0x0D57, 0x0DCF,
    0x0DDF, 0x1B35, 0x302E, 0x302F, 0xFF9E, 0xFF9F, 0x1133E, 0x11357, 0x114B0, 0x114BD, 0x115AF,
    0x11930, 0x1D165, 0x1D16E, 0x1D16F, 0x1D170, 0x1D171, 0x1D172,
}
ESCAPED_CATEGORIES = {"Cc", "Cf", "Zl", "Zp", "Zs", "Co", "Mn", "Me"}
SPECIAL = {"\\": "\\\\", '"': '\\"', "\0": "\\0", "\t": "\\t", "\r": "\\r", "\n": "\\n"}


def assigned_chars(limit=0x110000):
    """Characters assigned in Python's Unicode version (surrogates left out)."""
    return [chr(c) for c in range(limit)
            if unicodedata.category(chr(c)) not in ("Cn", "Cs")]


def test_fmt_debug_list_every_assigned_char(driver):
    def expected(ch):
        if ch in SPECIAL:
            return SPECIAL[ch]
        if ch != " " and (unicodedata.category(ch) in ESCAPED_CATEGORIES
                          or ord(ch) in OTHER_GRAPHEME_EXTEND):
            return "\\u{%x}" % ord(ch)
        return ch

    chars = assigned_chars()
    chunks = [chars[i:i + 2000] for i in range(0, len(chars), 2000)]
    got = driver(["debug " + name_arg("".join(chunk)) for chunk in chunks])
    for chunk, text in zip(chunks, got):
        if text != '["' + "".join(map(expected, chunk)) + '"]':
            bad = [ch for ch in chunk if driver(["debug " + name_arg(ch)])[0] != f'["{expected(ch)}"]']
            assert [f"U+{ord(ch):04X}" for ch in bad] == []


# ---- to_lower_unicode -------------------------------------------------------

LOWER_CASES = ["", "abc", "Hello, World! 123 @[`{", "ÀÉÎ", "ΣΑΣ", "ΑΣ.", "Σ", "ΑΣΑ", "Α.Σ Β",
               "İ", "ẞ", "ǅ", "ΌΣΟΣ ΣΑΣ", "ÅNGSTRÖM", "\U00010400", "MIXED ascii Ünïcode"]


def test_to_lower_fixed(driver):
    assert driver(["lower " + name_arg(s) for s in LOWER_CASES]) == [s.lower() for s in LOWER_CASES]


def test_to_lower_invalid_utf8_becomes_replacement(driver):
    assert driver(["lower " + name_arg(b"A\xffB\xc3")]) == ["a\ufffdb\ufffd"]


def test_to_lower_every_assigned_char_and_random_strings(driver):
    chars = assigned_chars()
    # Singly (space-separated, so no sigma sees a cased neighbour) ...
    chunks = [" ".join(chars[i:i + 2000]) for i in range(0, len(chars), 2000)]
    # ... and in random BMP strings, where context rules meet letters and marks.
    rng = random.Random(7)
    bmp = assigned_chars(0x10000)
    greek = "ΣσςΑΒΓ.'\u0301 "
    strings = ["".join(rng.choice(bmp if rng.random() < 0.6 else greek) for _ in range(rng.randint(1, 12)))
               for _ in range(400)]
    lines = chunks + strings
    got = driver(["lower " + name_arg(s) for s in lines])
    bad = [s for s, text in zip(lines, got) if text != s.lower()]
    assert [ascii(s)[:200] for s in bad] == []
