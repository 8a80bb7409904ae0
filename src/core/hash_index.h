// An open-addressing index from 32-bit hashes to the dense positions of an
// array that its owner keeps. Shared by the ordered maps and the edge index.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace nuvel {

/// Maps keys to positions 0..n-1 of the owner's array; the owner hashes and
/// compares keys. Positions are only ever added. Each slot keeps the low 32
/// bits of its key's hash beside the position, so growing never hashes a key
/// again and a probe compares a key only when those bits agree.
/// Expected O(1) find and insert; load factor at most 0.7.
class HashIndex {
 public:
  static constexpr std::uint32_t kNotFound = 0xFFFFFFFFu;

  /// The position whose key satisfies `is_key_at(position)`, or kNotFound.
  template <class IsKeyAt>
  std::uint32_t find(std::uint32_t hash, IsKeyAt&& is_key_at) const {
    if (slots_.empty()) return kNotFound;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const std::uint64_t slot = slots_[i];
      if (slot == 0) return kNotFound;
      if (static_cast<std::uint32_t>(slot >> 32) == hash) {
        const std::uint32_t position = static_cast<std::uint32_t>(slot) - 1;
        if (is_key_at(position)) return position;
      }
    }
  }

  /// Adds a key known to be absent. `position` < 0xFFFFFFFF.
  void insert(std::uint32_t hash, std::uint32_t position) {
    if ((count_ + 1) * 10 > slots_.size() * 7) rebuild(count_ + 1);
    place(hash, position);
    ++count_;
  }

  std::size_t size() const { return count_; }

 private:
  void place(std::uint32_t hash, std::uint32_t position) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = (std::uint64_t{hash} << 32) | (std::uint64_t{position} + 1);
  }

  void rebuild(std::size_t count) {
    const std::size_t capacity = std::max<std::size_t>(8, std::bit_ceil(count * 10 / 7 + 1));
    std::vector<std::uint64_t> old(capacity, 0);
    old.swap(slots_);
    for (const std::uint64_t slot : old) {
      if (slot != 0) {
        place(static_cast<std::uint32_t>(slot >> 32),
              static_cast<std::uint32_t>(slot) - 1);
      }
    }
  }

  std::vector<std::uint64_t> slots_;
  std::size_t count_ = 0;
};

}  // namespace nuvel
