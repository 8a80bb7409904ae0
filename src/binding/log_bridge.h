// The bridge from the core's logging facade to Python's `logging`: records
// become ordinary log records of the Python loggers named after their
// targets ("nuvel_core::aggregate" -> "nuvel_core.aggregate").
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "log.h"

namespace nuvel::binding {

/// The facade's sink: forwards records to Python loggers and remembers, per
/// target, the logger and the level it had enabled at the target's first
/// record, so that later records Python would drop are dropped natively.
/// Every call comes from a method body, under the interpreter lock, which
/// is what guards the cache; the cache only grows, one entry per target.
class Logger final : public log::Sink {
 public:
  /// Takes over a strong reference to the `logging` module.
  explicit Logger(PyObject* logging);
  ~Logger() override;
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  /// The native filter: the top filter (Debug) and the cached filter of the
  /// target, if any. No Python call, no allocation.
  bool enabled(log::Level level, std::string_view target) const override;
  /// Forwards one record: getLogger (first record of a target only),
  /// isEnabledFor, makeRecord and handle, then caches the logger. Python
  /// errors are printed and cleared; a PanicException resumes as
  /// InternalError.
  void log(log::Level level, std::string_view target, std::string_view message,
           const char* file, std::uint32_t line) override;

 private:
  struct Entry {
    /// The Python logger of exactly this target; one strong reference, kept
    /// for the process.
    PyObject* logger;
    /// The most verbose level that logger had enabled when it was cached.
    log::LevelFilter filter;
  };

  const Entry* cached(std::string_view target) const;

  PyObject* logging_;
  std::map<std::string, Entry, std::less<>> cache_;
};

/// Imports `logging` and installs a Logger as the facade's sink with the
/// maximum level Debug; when a sink is already installed the new Logger is
/// discarded. Returns false with PanicException set when `logging` cannot be
/// imported.
bool install_logger();

}  // namespace nuvel::binding
