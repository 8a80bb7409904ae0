// Text formatting of numbers and name lists for log and error messages.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace nuvel {

/// How write_decimal prints a number outside its positional range.
struct DecimalStyle {
  int lowest_positional_exponent;  ///< decimal exponents from here to 15 are positional
  bool pad_exponent;               ///< "1e-05" rather than "1e-5"
};
inline constexpr DecimalStyle kPythonRepr{-4, true};
inline constexpr DecimalStyle kFileNumber{-5, false};

/// A finite double in its shortest round-trip digits (nearest on ties):
/// positional with ".0" after integral values, else "d[.ddd]e(+|-)X".
/// Writes at most 32 bytes at `out`; returns one past the last.
char* write_decimal(char* out, double x, DecimalStyle style);

/// `x` exactly as Python's repr(float) prints it: shortest round-trip
/// digits, positional notation for decimal exponents -4..15, exponent
/// notation ("1e-05", "1.5e+16") outside, "nan", "inf", "-inf", "-0.0".
std::string fmt_py(double x);

/// Longest text fmt_py can produce ("-2.2250738585072014e-308").
inline constexpr std::size_t kFmtPyMaxLen = 24;

/// fmt_py without allocating: writes the same text to `out`, which has room
/// for kFmtPyMaxLen chars, and returns one past its last char. Nothing is
/// NUL-terminated.
char* fmt_py_to(char* out, double x);

/// 'a', 'b': each name in single quotes, no escaping, joined by ", ".
/// Empty for an empty list; the caller supplies any brackets.
std::string fmt_quoted_list(const std::vector<std::string>& names);

/// ["a", "b"]: each name double-quoted with backslash escapes (\\ \" \0 \t
/// \r \n), and \u{hex} for characters that are not printable or that are
/// grapheme extenders; every other character as is. "[]" when empty.
/// Names are valid UTF-8.
std::string fmt_debug_list(const std::vector<std::string>& names);

/// Full Unicode lower-case mapping of `utf8`, as Python's str.lower():
/// language-neutral, with final sigma and one-to-many mappings ("İ" becomes
/// "i" + U+0307). ASCII-only input takes a fast path with no table lookup.
/// Invalid UTF-8 sequences become U+FFFD, one per maximal subpart.
std::string to_lower_unicode(std::string_view utf8);

}  // namespace nuvel
