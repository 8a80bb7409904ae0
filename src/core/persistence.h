// The graph's JSON file: the writer behind save_json and the loader behind
// load_json.
#pragma once

#include <string_view>

#include "graph.h"
#include "result.h"

namespace nuvel {

/// Writes the whole graph as a JSON document: nodes and edges in index
/// order, object members in byte order of their keys, two-blank indents,
/// no final line feed. The document is built in memory first. A regular
/// file (or a new one) is replaced atomically: the text goes to a temporary
/// file in the same directory, which is then renamed over the target, so a
/// failed save leaves the old file intact. Fails with IO errors
/// "{} (os error {})" or "file name contained an unexpected NUL byte".
Result<Done> save_json(const NuvelGraphInner& graph, std::string_view path);

/// Reads a graph file: strict JSON first (errors "{} at line {} column {}"),
/// then a lenient walk that creates the nodes and edges through the store's
/// own add_node and add_edge. No partial graph is ever returned.
Result<NuvelGraphInner> load_json(std::string_view path);

/// The loader's rules applied to a text in memory (load_json reads the file,
/// then does the same). Errors are ValueErrors only; the fuzz target's entry.
Result<NuvelGraphInner> load_json_text(std::string_view text);

}  // namespace nuvel
