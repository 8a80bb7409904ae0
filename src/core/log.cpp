#include "log.h"

#include <atomic>

namespace nuvel::log {
namespace {

std::atomic<Sink*> installed_sink{nullptr};
std::atomic<std::uint8_t> max_level{static_cast<std::uint8_t>(LevelFilter::Off)};

}  // namespace

bool install(std::unique_ptr<Sink> sink, LevelFilter max) {
  Sink* expected = nullptr;
  if (!installed_sink.compare_exchange_strong(expected, sink.get())) return false;
  static_cast<void>(sink.release());  // lives for the process
  max_level.store(static_cast<std::uint8_t>(max));
  return true;
}

Sink* sink_for(Level level) {
  if (static_cast<std::uint8_t>(level) > max_level.load(std::memory_order_relaxed)) return nullptr;
  return installed_sink.load(std::memory_order_acquire);
}

}  // namespace nuvel::log
