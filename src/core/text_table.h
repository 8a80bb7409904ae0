// Texts that many records share, each kept once with a dense id: metric
// names and unit texts.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "hash_index.h"
#include "text_pool.h"

namespace nuvel {

/// Handle of a text in a TextTable, numbered from 0 in order of first use.
using TextId = std::uint32_t;

/// Each distinct text once, under a dense id. Texts are compared byte for
/// byte, live in the owner's TextPool and are never removed, so an id and
/// the view of its text stay valid as long as the pool. Expected O(1).
class TextTable {
 public:
  /// The id of `text`, stored in `pool` on first use.
  TextId intern(TextPool& pool, std::string_view text) {
    const std::uint32_t hash = hash_of(text);
    const std::uint32_t at = position_of(text, hash);
    if (at != HashIndex::kNotFound) return at;
    const auto id = static_cast<TextId>(texts_.size());
    texts_.push_back(pool.add(text));
    index_.insert(hash, id);
    return id;
  }

  /// The id of `text`, or nothing when it was never interned.
  std::optional<TextId> find(std::string_view text) const {
    const std::uint32_t at = position_of(text, hash_of(text));
    if (at == HashIndex::kNotFound) return std::nullopt;
    return at;
  }

  std::string_view text(TextId id) const { return texts_[id].view(); }
  std::size_t size() const { return texts_.size(); }

 private:
  static std::uint32_t hash_of(std::string_view text) {
    return static_cast<std::uint32_t>(std::hash<std::string_view>{}(text));
  }

  std::uint32_t position_of(std::string_view text, std::uint32_t hash) const {
    return index_.find(hash, [&](std::uint32_t at) { return texts_[at].view() == text; });
  }

  std::vector<PooledText> texts_;
  HashIndex index_;
};

}  // namespace nuvel
