// The graph's index from node name to node.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

#include "hash_index.h"
#include "text_pool.h"

namespace nuvel {

/// Maps a node name to the newest node that has it. Names are not copied:
/// each slot holds the node's PooledText, so a probe reads the candidate's
/// length and text from the pool directly instead of going through the node
/// record. Expected O(1).
class NameIndex {
 public:
  static constexpr std::uint32_t kNotFound = 0xFFFFFFFFu;

  std::uint32_t find(std::string_view name, std::uint32_t hash) const {
    const Slot* slot =
        table_.find(hash, [&](const Slot& candidate) { return candidate.name.view() == name; });
    return slot != nullptr ? slot->node : kNotFound;
  }

  /// Points `name` at `node`: replaces the node of a present name, or adds
  /// the name. Returns the node it replaced, or kNotFound.
  std::uint32_t assign(PooledText name, std::uint32_t hash, std::uint32_t node) {
    const std::string_view text = name.view();
    if (Slot* slot = table_.find(hash, [&](const Slot& s) { return s.name.view() == text; })) {
      return std::exchange(slot->node, node);
    }
    table_.insert(Slot{name, hash, node});
    return kNotFound;
  }

 private:
  struct Slot {
    PooledText name;  ///< absent in an empty slot
    std::uint32_t name_hash = 0;
    std::uint32_t node = 0;
    bool empty() const { return !name.has_value(); }
    std::uint32_t hash() const { return name_hash; }
  };

  OpenTable<Slot> table_;
};

}  // namespace nuvel
