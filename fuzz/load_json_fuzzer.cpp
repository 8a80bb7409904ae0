// libFuzzer target for the graph file loader: any byte string goes through
// load_json_text, the same rules load_json applies to a file's content.
//
// A clean run never crashes, leaks or throws: every rejected text is a
// ValueError, and a syntax error names a line and column inside the text.
// An exception escaping the loader aborts the run: built with
// NUVEL_LOADER_CROSS_CHECK, the loader throws InternalError whenever the JSON
// library and its own reading of the format disagree on whether a text is
// valid, in either direction.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "persistence.h"

namespace {

constexpr std::string_view kSyntaxTexts[] = {
    "EOF while parsing a list", "EOF while parsing an object", "EOF while parsing a string",
    "EOF while parsing a value", "expected `:`", "expected `,` or `]`", "expected `,` or `}`",
    "expected ident", "expected value", "invalid escape", "invalid number",
    "number out of range", "invalid unicode code point",
    "control character (\\u0000-\\u001F) found while parsing a string", "key must be a string",
    "lone leading surrogate in hex escape", "unexpected end of hex escape", "trailing comma",
    "trailing characters", "recursion limit exceeded",
};

/// Whether `message` is "{text} at line {l} column {c}" with a text of the
/// format's table and a position inside `text`.
bool is_syntax_error(std::string_view input, const std::string& message) {
  for (const std::string_view text : kSyntaxTexts) {
    if (message.compare(0, text.size(), text) != 0) continue;
    unsigned long line = 0;
    unsigned long column = 0;
    int end = 0;
    if (std::sscanf(message.c_str() + text.size(), " at line %lu column %lu%n", &line, &column,
                    &end) != 2 ||
        text.size() + static_cast<std::size_t>(end) != message.size() || line == 0) {
      continue;
    }
    std::size_t start = 0;  // of the reported line
    for (unsigned long l = 1; l < line; ++l) {
      start = input.find('\n', start);
      if (start == std::string_view::npos) return false;
      ++start;
    }
    const std::size_t feed = input.find('\n', start);
    const std::size_t length = (feed == std::string_view::npos ? input.size() : feed + 1) - start;
    return column <= length;
  }
  return false;
}

/// Whether `message` is one of the graph errors of a well-formed text.
bool is_graph_error(const std::string& message) {
  return message.starts_with("Node '") || message.starts_with("nodes[") ||
         message.starts_with("edges[");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  nuvel::Result<nuvel::NuvelGraphInner> result = nuvel::load_json_text(text);
  if (!result.ok()) {
    const nuvel::PendingError& error = result.error();
    if (error.kind != nuvel::ErrorKind::Value || error.message.empty() ||
        !(is_syntax_error(text, error.message) || is_graph_error(error.message))) {
      std::abort();
    }
  }
  return 0;
}
