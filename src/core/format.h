// Text formatting of numbers and name lists for log and error messages.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nuvel {

/// `x` exactly as Python's repr(float) prints it: shortest round-trip
/// digits, positional notation for decimal exponents -4..15, exponent
/// notation ("1e-05", "1.5e+16") outside, "nan", "inf", "-inf", "-0.0".
std::string fmt_py(double x);

/// 'a', 'b': each name in single quotes, no escaping, joined by ", ".
/// Empty for an empty list; the caller supplies any brackets.
std::string fmt_quoted_list(const std::vector<std::string>& names);

/// ["a", "b"]: each name double-quoted with backslash escapes (\\ \" \0 \t
/// \r \n), and \u{hex} for characters that are not printable or that are
/// grapheme extenders; every other character as is. "[]" when empty.
std::string fmt_debug_list(const std::vector<std::string>& names);

}  // namespace nuvel
