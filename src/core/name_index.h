// The graph's index from node name to node.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "text_pool.h"

namespace nuvel {

/// Maps a node name to the newest node that has it. Names are not copied:
/// each slot holds the node's PooledText, so a probe reads the candidate's
/// length and text from the pool directly instead of going through the node
/// record.
/// Open addressing with linear probing; expected O(1); load at most 0.7.
class NameIndex {
 public:
  static constexpr std::uint32_t kNotFound = 0xFFFFFFFFu;

  std::uint32_t find(std::string_view name, std::uint32_t hash) const {
    const std::size_t at = find_slot(name, hash);
    return at == kNoSlot ? kNotFound : slots_[at].node;
  }

  /// Points `name` at `node`: replaces the node of a present name, or adds
  /// the name. Returns the node it replaced, or kNotFound.
  std::uint32_t assign(PooledText name, std::uint32_t hash, std::uint32_t node) {
    if (const std::size_t at = find_slot(name, hash); at != kNoSlot) {
      return std::exchange(slots_[at].node, node);
    }
    if ((count_ + 1) * 10 > slots_.size() * 7) grow();
    place(Slot{name, hash, node});
    ++count_;
    return kNotFound;
  }

 private:
  struct Slot {
    PooledText name;  ///< absent in an empty slot
    std::uint32_t hash;
    std::uint32_t node;
  };

  static constexpr std::size_t kNoSlot = ~std::size_t{0};

  std::size_t find_slot(std::string_view name, std::uint32_t hash) const {
    if (slots_.empty()) return kNoSlot;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (!slot.name.has_value()) return kNoSlot;
      if (slot.hash == hash && slot.name.view() == name) return i;
    }
  }

  void place(const Slot& slot) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = slot.hash & mask;
    while (slots_[i].name.has_value()) i = (i + 1) & mask;
    slots_[i] = slot;
  }

  void grow() {
    std::vector<Slot> old(std::max<std::size_t>(16, slots_.size() * 2), Slot{{}, 0, 0});
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.name.has_value()) place(slot);
    }
  }

  std::vector<Slot> slots_;
  std::size_t count_ = 0;
};

}  // namespace nuvel
