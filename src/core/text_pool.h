// Storage for texts that never change once stored: node names and
// performance paths.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace nuvel {

/// Append-only arena of immutable texts. A stored text never moves and lives
/// as long as the pool, so callers keep plain string_views into it; there is
/// no per-text allocation or header. Moving the pool keeps the views valid.
class TextPool {
 public:
  std::string_view add(std::string_view text) {
    if (text.size() > free_) {
      const std::size_t size = std::max(kChunkSize, text.size());
      chunks_.push_back(std::make_unique_for_overwrite<char[]>(size));
      next_ = chunks_.back().get();
      free_ = size;
    }
    // An empty text still gets a non-null address, so that it stays
    // distinct from an absent one.
    char* stored = next_;
    if (!text.empty()) std::memcpy(stored, text.data(), text.size());
    next_ += text.size();
    free_ -= text.size();
    return {stored, text.size()};
  }

 private:
  static constexpr std::size_t kChunkSize = 64 * 1024;

  std::vector<std::unique_ptr<char[]>> chunks_;
  char* next_ = nullptr;
  std::size_t free_ = 0;
};

}  // namespace nuvel
