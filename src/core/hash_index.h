// Open-addressing hash tables: the one probing scheme, and the index from
// hashes to the dense positions of an array that its owner keeps (used by
// the ordered maps, the edge index and the loader's key table).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace nuvel {

/// Open addressing with linear probing over slots that the owner defines:
/// a value-initialised Slot is empty (`empty()`), a full one answers its
/// key's 32-bit hash (`hash()`), so a probe compares keys only when the
/// hashes agree and growing never hashes a key again. Slots are only ever
/// added. Expected O(1) find and insert; load factor at most 0.7.
template <class Slot>
class OpenTable {
 public:
  /// The slot with this hash for which `is_key(slot)` holds, or null.
  template <class IsKey>
  const Slot* find(std::uint32_t hash, IsKey&& is_key) const {
    if (slots_.empty()) return nullptr;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.empty()) return nullptr;
      if (slot.hash() == hash && is_key(slot)) return &slot;
    }
  }
  template <class IsKey>
  Slot* find(std::uint32_t hash, IsKey&& is_key) {
    return const_cast<Slot*>(std::as_const(*this).find(hash, is_key));
  }

  /// Adds a full slot whose key is known to be absent.
  void insert(const Slot& slot) {
    if ((count_ + 1) * 10 > slots_.size() * 7) grow();
    place(slot);
    ++count_;
  }

  std::size_t size() const { return count_; }

 private:
  void place(const Slot& slot) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = slot.hash() & mask;
    while (!slots_[i].empty()) i = (i + 1) & mask;
    slots_[i] = slot;
  }

  void grow() {
    std::vector<Slot> old(std::max<std::size_t>(8, slots_.size() * 2));
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (!slot.empty()) place(slot);
    }
  }

  std::vector<Slot> slots_;
  std::size_t count_ = 0;
};

/// Maps keys to positions 0..n-1 of the owner's array; the owner hashes and
/// compares keys. Eight bytes a slot: the hash beside the position.
class HashIndex {
 public:
  static constexpr std::uint32_t kNotFound = 0xFFFFFFFFu;

  /// The position whose key satisfies `is_key_at(position)`, or kNotFound.
  template <class IsKeyAt>
  std::uint32_t find(std::uint32_t hash, IsKeyAt&& is_key_at) const {
    const Slot* slot =
        table_.find(hash, [&](const Slot& candidate) { return is_key_at(candidate.position()); });
    return slot != nullptr ? slot->position() : kNotFound;
  }

  /// Adds a key known to be absent. `position` < 0xFFFFFFFF.
  void insert(std::uint32_t hash, std::uint32_t position) {
    table_.insert(Slot{(std::uint64_t{hash} << 32) | (std::uint64_t{position} + 1)});
  }

  std::size_t size() const { return table_.size(); }

 private:
  /// The hash in the high half, the position plus one in the low half, so
  /// that 0 is empty.
  struct Slot {
    std::uint64_t bits = 0;
    bool empty() const { return bits == 0; }
    std::uint32_t hash() const { return static_cast<std::uint32_t>(bits >> 32); }
    std::uint32_t position() const { return static_cast<std::uint32_t>(bits) - 1; }
  };

  OpenTable<Slot> table_;
};

}  // namespace nuvel
