#include "format.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "result.h"

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

// ---- name lists ------------------------------------------------------------

namespace {

bool needs_unicode_escape(UChar32 c) {
  switch (static_cast<UCharCategory>(u_charType(c))) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
    case U_SPACE_SEPARATOR:  // U+0020 never gets here: it is ASCII
    case U_PRIVATE_USE_CHAR:
    case U_SURROGATE:
    case U_UNASSIGNED:
      return true;
    default:
      return u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND) != 0;
  }
}

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
    std::size_t len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
    std::uint32_t c = b >= 0xF0 ? b & 0x07u : b >= 0xE0 ? b & 0x0Fu : b & 0x1Fu;
    if (len > n - i) len = n - i;  // valid input never ends mid-character
    for (std::size_t k = 1; k < len; ++k) {
      c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3Fu);
    }
    if (needs_unicode_escape(static_cast<UChar32>(c))) {
      append_unicode_escape(out, c);
    } else {
      out.append(s.data() + i, len);
    }
    i += len;
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

  // Final sigma looks at context on both sides, so the whole text goes
  // through the library, not just the part after the ASCII prefix.
  if (utf8.size() > INT32_MAX / 8) throw InternalError("text too long to change case");
  const auto n8 = static_cast<int32_t>(utf8.size());

  // A UTF-8 text never has more UTF-16 units than bytes.
  std::u16string src(utf8.size(), u'\0');
  int32_t n16 = 0;
  UErrorCode err = U_ZERO_ERROR;
  u_strFromUTF8WithSub(src.data(), n8, &n16, utf8.data(), n8, 0xFFFD, nullptr, &err);
  if (U_FAILURE(err)) throw InternalError("UTF-8 to UTF-16 conversion failed");

  // One-to-many mappings rarely grow a text much; retry once at the size
  // the library asks for.
  std::u16string lower(static_cast<std::size_t>(n16) + 16, u'\0');
  int32_t n_lower = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    err = U_ZERO_ERROR;
    n_lower = u_strToLower(lower.data(), static_cast<int32_t>(lower.size()), src.data(), n16,
                           "", &err);
    if (err != U_BUFFER_OVERFLOW_ERROR) break;
    lower.assign(static_cast<std::size_t>(n_lower), u'\0');
  }
  if (U_FAILURE(err)) throw InternalError("lower-case mapping failed");

  // At most three UTF-8 bytes per UTF-16 unit.
  out.assign(static_cast<std::size_t>(n_lower) * 3, '\0');
  int32_t n_out = 0;
  err = U_ZERO_ERROR;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &n_out, lower.data(), n_lower, &err);
  if (U_FAILURE(err)) throw InternalError("UTF-16 to UTF-8 conversion failed");
  out.resize(static_cast<std::size_t>(n_out));
  return out;
}

}  // namespace nuvel
