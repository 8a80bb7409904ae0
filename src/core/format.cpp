#include "format.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "result.h"
#include "unicode_table.h"

namespace nuvel {

// ---- numbers ---------------------------------------------------------------

char* write_decimal(char* out, double x, DecimalStyle style) {
  // Shortest round-trip digits, nearest on ties, as "[-]d[.ddd]e(+|-)XX[X]".
  char sci[32];
  const auto [end, ec] = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
  if (ec != std::errc()) throw InternalError("to_chars failed on a finite double");

  const char* p = sci;
  if (*p == '-') *out++ = *p++;
  const char* e = p + 1;
  while (*e != 'e') ++e;
  int exp = 0;
  for (const char* q = e + 2; q != end; ++q) exp = exp * 10 + (*q - '0');
  if (e[1] == '-') exp = -exp;

  if (exp < style.lowest_positional_exponent || exp > 15) {
    // The library's form pads the exponent to two digits.
    const char* digits = e + 2;
    if (!style.pad_exponent) {
      while (digits + 1 != end && *digits == '0') ++digits;
    }
    const auto mantissa = static_cast<std::size_t>(e + 2 - p);
    std::memcpy(out, p, mantissa);
    out += mantissa;
    const auto n = static_cast<std::size_t>(end - digits);
    std::memcpy(out, digits, n);
    return out + n;
  }

  // Digits are p[0] followed by [p + 2, e) when there is a point.
  const char* rest = p + 2;
  const auto n_rest = e > p + 1 ? static_cast<std::size_t>(e - rest) : std::size_t{0};
  if (exp >= 0) {
    const auto int_digits = static_cast<std::size_t>(exp);  // after the first one
    *out++ = p[0];
    if (n_rest <= int_digits) {
      std::memcpy(out, rest, n_rest);
      out += n_rest;
      std::memset(out, '0', int_digits - n_rest);
      out += int_digits - n_rest;
      *out++ = '.';
      *out++ = '0';
    } else {
      std::memcpy(out, rest, int_digits);
      out += int_digits;
      *out++ = '.';
      std::memcpy(out, rest + int_digits, n_rest - int_digits);
      out += n_rest - int_digits;
    }
    return out;
  }
  const auto zeros = static_cast<std::size_t>(-exp - 1);
  *out++ = '0';
  *out++ = '.';
  std::memset(out, '0', zeros);
  out += zeros;
  *out++ = p[0];
  std::memcpy(out, rest, n_rest);
  return out + n_rest;
}

char* fmt_py_to(char* out, double x) {
  if (std::isnan(x)) {
    std::memcpy(out, "nan", 3);
    return out + 3;
  }
  if (std::isinf(x)) {
    if (x < 0) *out++ = '-';
    std::memcpy(out, "inf", 3);
    return out + 3;
  }
  return write_decimal(out, x, kPythonRepr);
}

std::string fmt_py(double x) {
  char buf[kFmtPyMaxLen];
  return std::string(buf, fmt_py_to(buf, x));
}

// ---- Unicode ---------------------------------------------------------------

namespace {

const unicode::CharRecord& char_record(char32_t c) {
  constexpr char32_t kMask = (char32_t{1} << unicode::kBlockShift) - 1;
  const char32_t block = unicode::kBlockIndex[c >> unicode::kBlockShift];
  return unicode::kRecords[unicode::kRecordIndex[(block << unicode::kBlockShift) + (c & kMask)]];
}

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

struct Decoded {
  char32_t c;
  std::size_t length;  ///< bytes taken, at least 1
};

/// The character that starts at s[i]. An ill-formed sequence becomes one
/// U+FFFD for each maximal subpart (the lead byte and the continuation bytes
/// that could still follow it), as the standard recommends.
Decoded decode_utf8(std::string_view s, std::size_t i) {
  constexpr Decoded kInvalid{0xFFFD, 1};
  const auto b = static_cast<unsigned char>(s[i]);
  if (b < 0x80) return {b, 1};
  std::size_t length = 0;
  char32_t c = 0;
  // Bounds of the second byte; they exclude overlong forms, surrogates and
  // code points past U+10FFFF.
  unsigned char low = 0x80, high = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2, c = b & 0x1Fu;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3, c = b & 0x0Fu;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4, c = b & 0x07u;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  } else {
    return kInvalid;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (i + k >= s.size()) return {0xFFFD, k};
    const auto next = static_cast<unsigned char>(s[i + k]);
    if (k == 1 ? next < low || next > high : !is_continuation(next)) return {0xFFFD, k};
    c = (c << 6) | (next & 0x3Fu);
  }
  return {c, length};
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

// ---- name lists ------------------------------------------------------------

namespace {

void append_unicode_escape(std::string& out, std::uint32_t c) {
  static constexpr char kHex[] = "0123456789abcdef";
  char buf[8];
  char* q = buf + sizeof buf;
  do {
    *--q = kHex[c & 0xF];
    c >>= 4;
  } while (c != 0);
  out += "\\u{";
  out.append(q, buf + sizeof buf);
  out += '}';
}

void append_debug_string(std::string& out, std::string_view s) {
  out += '"';
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      switch (b) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\0': out += "\\0"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default:
          if (b < 0x20 || b == 0x7F) {
            append_unicode_escape(out, b);
          } else {
            out += static_cast<char>(b);
          }
      }
      ++i;
      continue;
    }
    const Decoded d = decode_utf8(s, i);
    if ((char_record(d.c).flags & unicode::kEscaped) != 0) {
      append_unicode_escape(out, d.c);
    } else {
      out.append(s.data() + i, d.length);
    }
    i += d.length;
  }
  out += '"';
}

}  // namespace

std::string fmt_quoted_list(const std::vector<std::string>& names) {
  std::size_t size = 0;
  for (const auto& name : names) size += name.size() + 4;
  std::string out;
  out.reserve(size);
  for (const auto& name : names) {
    if (!out.empty()) out += ", ";
    out += '\'';
    out += name;
    out += '\'';
  }
  return out;
}

std::string fmt_debug_list(const std::vector<std::string>& names) {
  std::size_t size = 2;
  for (const auto& name : names) size += name.size() + 4;
  std::string out;
  out.reserve(size);
  out += '[';
  bool first = true;
  for (const auto& name : names) {
    if (!first) out += ", ";
    first = false;
    append_debug_string(out, name);
  }
  out += ']';
  return out;
}

// ---- case mapping ----------------------------------------------------------

namespace {

/// Whether the first character from s[i] on that is not case-ignorable is
/// cased: the right-hand half of the final-sigma condition.
bool cased_letter_follows(std::string_view s, std::size_t i) {
  while (i < s.size()) {
    const Decoded d = decode_utf8(s, i);
    const std::uint8_t flags = char_record(d.c).flags;
    if ((flags & unicode::kCaseIgnorable) == 0) return (flags & unicode::kCased) != 0;
    i += d.length;
  }
  return false;
}

}  // namespace

std::string to_lower_unicode(std::string_view utf8) {
  std::string out(utf8);
  bool ascii = true;
  for (char& ch : out) {
    const auto b = static_cast<unsigned char>(ch);
    if (b >= 0x80) {
      ascii = false;
      break;
    }
    if (b >= 'A' && b <= 'Z') ch = static_cast<char>(b + ('a' - 'A'));
  }
  if (ascii) return out;

  // Final sigma looks at context on both sides, so the whole text is mapped
  // again here, not just the part after the ASCII prefix.
  out.clear();
  bool after_cased = false;  // the last character that is not case-ignorable was cased
  for (std::size_t i = 0; i < utf8.size();) {
    const Decoded d = decode_utf8(utf8, i);
    const unicode::CharRecord& record = char_record(d.c);
    i += d.length;
    if ((record.flags & unicode::kFinalSigma) != 0 && after_cased &&
        !cased_letter_follows(utf8, i)) {
      append_utf8(out, unicode::kFinalSigmaLower);
    } else if ((record.flags & unicode::kLowerText) != 0) {
      out += unicode::kLowerTexts[record.lower];
    } else {
      append_utf8(out, static_cast<char32_t>(static_cast<std::int32_t>(d.c) + record.lower));
    }
    if ((record.flags & unicode::kCaseIgnorable) == 0) {
      after_cased = (record.flags & unicode::kCased) != 0;
    }
  }
  return out;
}

}  // namespace nuvel
