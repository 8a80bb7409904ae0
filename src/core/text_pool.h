// Storage for texts that never change once stored: node names and
// performance paths.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "result.h"

namespace nuvel {

/// Append-only arena of immutable texts. A stored text never moves and lives
/// as long as the pool, so callers keep plain string_views into it; there is
/// no per-text allocation or header. Moving the pool keeps the views valid.
class TextPool {
 public:
  std::string_view add(std::string_view text) { return add(text, 0); }

  /// Stores the text behind its length as a 32-bit number, for readers that
  /// hold only the text's address (NameIndex). Throws InternalError for a
  /// text of 4 GiB or more.
  std::string_view add_prefixed(std::string_view text) {
    if (text.size() > 0xFFFFFFFFu) throw InternalError("text too long for the name index");
    const auto size = static_cast<std::uint32_t>(text.size());
    return add(text, sizeof size, &size);
  }

 private:
  static constexpr std::size_t kChunkSize = 64 * 1024;

  std::string_view add(std::string_view text, std::size_t prefix_size,
                       const std::uint32_t* prefix = nullptr) {
    const std::size_t needed = prefix_size + text.size();
    if (needed > free_) {
      const std::size_t size = std::max(kChunkSize, needed);
      chunks_.push_back(std::make_unique_for_overwrite<char[]>(size));
      next_ = chunks_.back().get();
      free_ = size;
    }
    if (prefix != nullptr) std::memcpy(next_, prefix, prefix_size);
    // An empty text still gets a non-null address, so that it stays
    // distinct from an absent one.
    char* stored = next_ + prefix_size;
    if (!text.empty()) std::memcpy(stored, text.data(), text.size());
    next_ += needed;
    free_ -= needed;
    return {stored, text.size()};
  }

  std::vector<std::unique_ptr<char[]>> chunks_;
  char* next_ = nullptr;
  std::size_t free_ = 0;
};

}  // namespace nuvel
