// Storage for texts that never change once stored: node names, performance
// paths and aggregation texts.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "result.h"

namespace nuvel {

/// A text kept in a TextPool, as one pointer: its length is stored in the
/// pool just before it. A default-constructed PooledText is absent, which
/// is distinct from an empty text.
class PooledText {
 public:
  PooledText() = default;

  bool has_value() const { return text_ != nullptr; }
  const char* data() const { return text_; }

  /// The text; empty when absent.
  std::string_view view() const {
    if (text_ == nullptr) return {};
    std::uint32_t size = 0;
    std::memcpy(&size, text_ - sizeof size, sizeof size);
    return {text_, size};
  }
  operator std::string_view() const { return view(); }

  std::optional<std::string_view> as_optional() const {
    if (text_ == nullptr) return std::nullopt;
    return view();
  }

 private:
  friend class TextPool;
  explicit PooledText(const char* text) : text_(text) {}

  const char* text_ = nullptr;
};

/// Append-only arena of immutable texts. A stored text never moves and lives
/// as long as the pool (moving the pool included); there is no per-text
/// allocation, only the 32-bit length before each text.
class TextPool {
 public:
  /// Throws InternalError for a text of 4 GiB or more.
  PooledText add(std::string_view text) {
    if (text.size() > 0xFFFFFFFFu) throw InternalError("text too long for the text pool");
    const auto size = static_cast<std::uint32_t>(text.size());
    const std::size_t needed = sizeof size + text.size();
    if (needed > free_) {
      const std::size_t chunk = std::max(kChunkSize, needed);
      chunks_.push_back(std::make_unique_for_overwrite<char[]>(chunk));
      next_ = chunks_.back().get();
      free_ = chunk;
    }
    std::memcpy(next_, &size, sizeof size);
    char* stored = next_ + sizeof size;
    if (!text.empty()) std::memcpy(stored, text.data(), text.size());
    next_ += needed;
    free_ -= needed;
    return PooledText(stored);
  }

 private:
  static constexpr std::size_t kChunkSize = 64 * 1024;

  std::vector<std::unique_ptr<char[]>> chunks_;
  char* next_ = nullptr;
  std::size_t free_ = 0;
};

}  // namespace nuvel
