// The graph's index from node name to node.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace nuvel {

/// Maps a node name to the newest node that has it. Names are not copied:
/// each slot points at the name's text in the store's pool, where a 32-bit
/// length precedes it (TextPool::add_prefixed), so a probe reads the
/// candidate's text directly instead of going through the node record.
/// Open addressing with linear probing; expected O(1); load at most 0.7.
class NameIndex {
 public:
  static constexpr std::uint32_t kNotFound = 0xFFFFFFFFu;

  std::uint32_t find(std::string_view name, std::uint32_t hash) const {
    const std::size_t at = find_slot(name, hash);
    return at == kNoSlot ? kNotFound : slots_[at].node;
  }

  /// Points `name` at `node`: replaces the node of a present name, or adds
  /// the name. `name` must be a prefixed text of the pool.
  void assign(std::string_view name, std::uint32_t hash, std::uint32_t node) {
    if (const std::size_t at = find_slot(name, hash); at != kNoSlot) {
      slots_[at].node = node;
      return;
    }
    if ((count_ + 1) * 10 > slots_.size() * 7) grow();
    place(Slot{name.data(), hash, node});
    ++count_;
  }

 private:
  struct Slot {
    const char* text;  ///< null for an empty slot
    std::uint32_t hash;
    std::uint32_t node;
  };

  static std::size_t stored_size(const char* text) {
    std::uint32_t size = 0;
    std::memcpy(&size, text - sizeof size, sizeof size);
    return size;
  }

  static constexpr std::size_t kNoSlot = ~std::size_t{0};

  std::size_t find_slot(std::string_view name, std::uint32_t hash) const {
    if (slots_.empty()) return kNoSlot;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.text == nullptr) return kNoSlot;
      if (slot.hash == hash && stored_size(slot.text) == name.size() &&
          std::memcmp(slot.text, name.data(), name.size()) == 0) {
        return i;
      }
    }
  }

  void place(const Slot& slot) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = slot.hash & mask;
    while (slots_[i].text != nullptr) i = (i + 1) & mask;
    slots_[i] = slot;
  }

  void grow() {
    std::vector<Slot> old(std::max<std::size_t>(16, slots_.size() * 2), Slot{nullptr, 0, 0});
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.text != nullptr) place(slot);
    }
  }

  std::vector<Slot> slots_;
  std::size_t count_ = 0;
};

}  // namespace nuvel
