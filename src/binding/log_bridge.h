// The bridge from the core's logging facade to Python's `logging`: records
// become ordinary log records of the Python loggers named after their
// targets ("nuvel_core::aggregate" -> "nuvel_core.aggregate").
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "log.h"

namespace nuvel::binding {

/// One node of the logger cache, for one target path ("nuvel_core",
/// "aggregate", ...). Immutable once published: an update copies the nodes
/// along the changed path and shares every other subtree. Nodes are never
/// freed, so a reader needs neither a lock nor a reference count; an update
/// happens once per target for the life of the process, so the few nodes
/// this keeps are bounded by the number of targets.
struct CacheNode {
  struct Entry {
    /// The Python logger of exactly this target; one strong reference, kept
    /// for the process (nodes never release it).
    PyObject* logger;
    /// The most verbose level that logger had enabled when it was cached.
    log::LevelFilter filter;
  };

  std::optional<Entry> entry;
  /// Children by path segment, in insertion order. A target has few
  /// segments and a node few children, so a linear scan beats a map.
  std::vector<std::pair<std::string, const CacheNode*>> children;

  const CacheNode* child(std::string_view segment) const;
};

/// The facade's sink: forwards records to Python loggers and remembers, per
/// target, the logger and the level it had enabled at the target's first
/// record, so that later records Python would drop are dropped natively.
///
/// The cache only grows and is replaced as a whole: readers load the current
/// root with one atomic load and walk it without a lock; a writer builds a
/// new root and publishes it by compare-and-exchange, retrying on a newer
/// root. log() needs the interpreter lock (it takes it when not held);
/// enabled() never touches Python.
class Logger final : public log::Sink {
 public:
  /// Takes over a strong reference to the `logging` module.
  explicit Logger(PyObject* logging);
  ~Logger() override;
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  /// The native filter: the top filter (Debug) and the cached filter of the
  /// target, if any. A lookup of the target's segments; no Python call, no
  /// allocation.
  bool enabled(log::Level level, std::string_view target) const override;
  /// Forwards one record: getLogger (first record of a target only),
  /// isEnabledFor, makeRecord and handle, then caches the logger. Python
  /// errors are printed and cleared; a PanicException resumes as
  /// InternalError.
  void log(log::Level level, std::string_view target, std::string_view message,
           const char* file, std::uint32_t line) override;

 private:
  /// Caches `logger` (a strong reference, kept for the process) and its
  /// filter for `target`.
  void publish(std::string_view target, PyObject* logger, log::LevelFilter filter);

  PyObject* logging_;
  std::atomic<const CacheNode*> cache_;
};

/// Imports `logging` and installs a Logger as the facade's sink with the
/// maximum level Debug; when a sink is already installed the new Logger is
/// discarded. Returns false with PanicException set when `logging` cannot be
/// imported.
bool install_logger();

}  // namespace nuvel::binding
