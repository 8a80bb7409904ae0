"""Write src/core/unicode_table.h from the Unicode Character Database.

    python3 tools/gen_unicode_table.py [UCD folder] > src/core/unicode_table.h

The folder (default /usr/share/unicode, Debian's unicode-data package) must
hold UnicodeData.txt, SpecialCasing.txt and DerivedCoreProperties.txt. The
output gives every code point one record of what the formatting unit needs:
its lower-case mapping and the flags listed in FLAGS, in two-level tables.
"""

import sys
from pathlib import Path

SOURCE = "src/core/unicode_table.h"
COMMAND = "python3 tools/gen_unicode_table.py /usr/share/unicode > " + SOURCE
MAX_CODE_POINT = 0x10FFFF

# General categories whose characters a name list prints as \u{...}.
ESCAPED_CATEGORIES = {"Cc", "Cf", "Zl", "Zp", "Zs", "Co", "Cs", "Cn"}

FLAGS = [  # (C++ name, meaning), in bit order
    ("kEscaped", "not printable, or a grapheme extender"),
    ("kCased", "Cased"),
    ("kCaseIgnorable", "Case_Ignorable"),
    ("kLowerText", "lower-cases to kLowerTexts[lower], not to one code point"),
    ("kFinalSigma", "lower-cases to kFinalSigmaLower at the end of a word"),
]
BIT = {name: 1 << i for i, (name, _) in enumerate(FLAGS)}


def data_lines(path):
    """The fields of each data line, comments and blanks left out."""
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


def code_points(field):
    """'0041' or '0041..005A' as a range."""
    first, _, last = field.partition("..")
    return range(int(first, 16), int(last or first, 16) + 1)


def ucd_version(folder):
    # The first line of a derived file names it: "# DerivedCoreProperties-15.0.0.txt".
    with open(folder / "DerivedCoreProperties.txt", encoding="utf-8") as f:
        first = f.readline()
    return first.split("-", 1)[1].rsplit(".txt", 1)[0]


def read_ucd(folder):
    """Per code point: general category and simple lower-case mapping."""
    category = ["Cn"] * (MAX_CODE_POINT + 1)
    lower = list(range(MAX_CODE_POINT + 1))
    range_start = None
    for fields in data_lines(folder / "UnicodeData.txt"):
        cp, name, gc = int(fields[0], 16), fields[1], fields[2]
        if name.endswith(", First>"):
            range_start = cp
            continue
        for c in range(range_start if name.endswith(", Last>") else cp, cp + 1):
            category[c] = gc
        if fields[13]:
            lower[cp] = int(fields[13], 16)
    return category, lower


def read_properties(folder, names):
    found = {name: set() for name in names}
    for fields in data_lines(folder / "DerivedCoreProperties.txt"):
        if fields[1] in found:
            found[fields[1]].update(code_points(fields[0]))
    return found


def read_special_lower(folder, lower):
    """Language-neutral full mappings: {cp: [cps]}, and the final-sigma pairs."""
    special, final_sigma = {}, {}
    for fields in data_lines(folder / "SpecialCasing.txt"):
        cp, mapping, condition = int(fields[0], 16), [int(x, 16) for x in fields[1].split()], fields[4]
        if condition == "Final_Sigma":
            (final_sigma[cp],) = mapping
        elif condition == "" and mapping != [lower[cp]]:
            assert len(mapping) > 1, f"U+{cp:04X}: one-to-one mapping differs from UnicodeData"
            special[cp] = mapping
    return special, final_sigma


def build_records(folder):
    """One (lower, flags) record per code point, as an index into a list of distinct records."""
    category, lower = read_ucd(folder)
    props = read_properties(folder, ("Cased", "Case_Ignorable", "Grapheme_Extend"))
    special, final_sigma = read_special_lower(folder, lower)
    assert len(set(final_sigma.values())) == 1, "one final form of sigma"
    special_order = sorted(special)

    records, index = [], {}
    per_code_point = []
    for c in range(MAX_CODE_POINT + 1):
        flags = 0
        if category[c] in ESCAPED_CATEGORIES or c in props["Grapheme_Extend"]:
            flags |= BIT["kEscaped"]
        if c in props["Cased"]:
            flags |= BIT["kCased"]
        if c in props["Case_Ignorable"]:
            flags |= BIT["kCaseIgnorable"]
        if c in final_sigma:
            flags |= BIT["kFinalSigma"]
        if c in special:
            flags |= BIT["kLowerText"]
            value = special_order.index(c)
        else:
            value = lower[c] - c
        record = (value, flags)
        per_code_point.append(index.setdefault(record, len(records)))
        if len(records) < len(index):
            records.append(record)
    specials = [(c, special[c]) for c in special_order]
    return records, per_code_point, specials, next(iter(final_sigma.values()))


def split_bins(values):
    """(shift, first level, second level), the pair smallest in bytes.

    values[c] == second[(first[c >> shift] << shift) + (c & mask)]; identical
    blocks of the second level are stored once.
    """
    best = None
    for shift in range(2, 12):
        size = 1 << shift
        blocks, first, second = {}, [], []
        for start in range(0, len(values), size):
            block = tuple(values[start:start + size])
            if block not in blocks:
                blocks[block] = len(blocks)
                second.extend(block)
            first.append(blocks[block])
        cost = len(first) * item_bytes(first) + len(second) * item_bytes(second)
        if best is None or cost < best[0]:
            best = (cost, shift, first, second)
    return best[1:]


def item_bytes(values):
    return 1 if max(values) < 1 << 8 else 2 if max(values) < 1 << 16 else 4


def c_type(values):
    return f"std::uint{8 * item_bytes(values)}_t"


def c_array(name, values, per_line=16):
    rows = [", ".join(map(str, values[i:i + per_line])) for i in range(0, len(values), per_line)]
    body = ",\n".join("    " + row for row in rows)
    return f"inline constexpr {c_type(values)} {name}[{len(values)}] = {{\n{body},\n}};\n"


def utf8_literal(cps):
    return '"' + "".join(f"\\x{b:02x}" for b in "".join(map(chr, cps)).encode("utf-8")) + '"'


def render(folder):
    version = ucd_version(folder)
    records, per_code_point, specials, final_sigma_lower = build_records(folder)
    shift, first, second = split_bins(per_code_point)
    flags = "\n".join(f"inline constexpr std::uint8_t {name} = {BIT[name]};  // {meaning}"
                      for name, meaning in FLAGS)
    record_rows = "\n".join(f"    {{{value}, {flag}}}," for value, flag in records)
    special_rows = "\n".join(
        f"    {utf8_literal(cps)},  // U+{c:04X} -> {' '.join(f'U+{x:04X}' for x in cps)}"
        for c, cps in specials)
    return f"""\
// Generated file: do not edit. Unicode Character Database {version}, generated by
// tools/gen_unicode_table.py. Regenerate with:
//   {COMMAND}
#pragma once

#include <cstdint>

namespace nuvel::unicode {{

inline constexpr char kVersion[] = "{version}";

// Bits of CharRecord::flags.
{flags}

/// What a code point needs: `lower` is the distance to its simple lower-case
/// mapping (or, with kLowerText, an index into kLowerTexts), `flags` the
/// bits above.
struct CharRecord {{
  std::int32_t lower;
  std::uint8_t flags;
}};

inline constexpr CharRecord kRecords[{len(records)}] = {{
{record_rows}
}};

/// Lower-case texts (UTF-8) longer than one code point.
inline constexpr const char* kLowerTexts[{len(specials)}] = {{
{special_rows}
}};

inline constexpr char32_t kFinalSigmaLower = 0x{final_sigma_lower:04X};

/// The record of code point c is
/// kRecords[kRecordIndex[(kBlockIndex[c >> kBlockShift] << kBlockShift) + (c & (block size - 1))]].
inline constexpr unsigned kBlockShift = {shift};
{c_array("kBlockIndex", first)}
{c_array("kRecordIndex", second)}
}}  // namespace nuvel::unicode
"""


def main():
    folder = Path(sys.argv[1] if len(sys.argv) > 1 else "/usr/share/unicode")
    sys.stdout.write(render(folder))


if __name__ == "__main__":
    main()
