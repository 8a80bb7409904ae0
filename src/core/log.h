// The logging facade: call sites in the core name a level, a target and a
// message; an installed sink (the Python bridge) decides what is delivered.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "result.h"

namespace nuvel::log {

enum class Level : std::uint8_t { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

/// Off (0) or the most verbose level that passes.
enum class LevelFilter : std::uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

inline constexpr std::string_view kCoreTarget = "nuvel_core";
inline constexpr std::string_view kAggregateTarget = "nuvel_core::aggregate";

/// Receives the records that pass the facade's maximum level.
class Sink {
 public:
  virtual ~Sink() = default;
  /// Whether a record of this level and target would be considered at all;
  /// must be cheap and must not format anything.
  virtual bool enabled(Level level, std::string_view target) const = 0;
  /// Delivers one record. May throw InternalError to resume an internal
  /// failure raised by the receiver.
  virtual void log(Level level, std::string_view target, std::string_view message,
                   const char* file, std::uint32_t line) = 0;
};

/// Installs the process-wide sink and raises the maximum level to `max`.
/// Returns false, changing nothing, when a sink is already installed.
bool install(std::unique_ptr<Sink> sink, LevelFilter max);

/// The installed sink if `level` passes the maximum level, else null.
Sink* sink_for(Level level);

/// Whether a record of this level and target would be delivered now.
inline bool would_emit(Level level, std::string_view target) {
  Sink* sink = sink_for(level);
  return sink != nullptr && sink->enabled(level, target);
}

/// Logs the message that `make_message()` returns; it is called only when
/// the record would be delivered, so a dropped record formats nothing.
/// The call site's file and line come from the compiler's builtins, which
/// both supported compilers provide (std::source_location is missing from
/// some of them).
template <class MakeMessage>
void emit(Level level, std::string_view target, MakeMessage&& make_message,
          const char* file = __builtin_FILE(), std::uint32_t line = __builtin_LINE()) {
  Sink* sink = sink_for(level);
  if (sink == nullptr || !sink->enabled(level, target)) return;
  const std::string message = make_message();
  sink->log(level, target, message, file, line);
}

}  // namespace nuvel::log

namespace nuvel {

/// Error-and-raise: logs `message` at Error level to `target`, then returns
/// it as a ValueError. The record names the caller's file and line.
inline PendingError logged_error(std::string_view target, std::string message,
                                 const char* file = __builtin_FILE(),
                                 std::uint32_t line = __builtin_LINE()) {
  log::emit(log::Level::Error, target, [&] { return message; }, file, line);
  return value_error(std::move(message));
}

}  // namespace nuvel
