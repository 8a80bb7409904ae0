// The map behind every name-keyed collection of the graph.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hash_index.h"

namespace nuvel {

/// Text-keyed map that keeps the order of first insertion. Keys compare byte
/// for byte and occur at most once; inserting a present key replaces its value
/// in place, keeping its position. Entries are never removed (whole maps are
/// replaced). Small maps, the common case, are a plain vector searched
/// linearly; past kLinearLimit entries a hash index makes lookup expected O(1).
template <class V>
class OrderedMap {
 public:
  using Entry = std::pair<std::string, V>;

  OrderedMap() = default;
  OrderedMap(OrderedMap&&) noexcept = default;
  OrderedMap& operator=(OrderedMap&&) noexcept = default;

  const V* find(std::string_view key) const {
    const std::uint32_t at = position_of(key);
    return at == HashIndex::kNotFound ? nullptr : &entries_[at].second;
  }
  V* find(std::string_view key) {
    const std::uint32_t at = position_of(key);
    return at == HashIndex::kNotFound ? nullptr : &entries_[at].second;
  }

  /// Appends an absent key; replaces the value of a present one in place.
  void insert_or_assign(std::string_view key, V value) {
    if (V* present = find(key)) {
      *present = std::move(value);
      return;
    }
    entries_.emplace_back(std::string(key), std::move(value));
    if (index_) {
      index_->insert(hash_of(key), static_cast<std::uint32_t>(entries_.size() - 1));
    } else if (entries_.size() > kLinearLimit) {
      build_index();
    }
  }

  void reserve(std::size_t count) {
    entries_.reserve(count);
    if (index_) index_->reserve(count);
  }

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  auto begin() const { return entries_.cbegin(); }
  auto end() const { return entries_.cend(); }

 private:
  static constexpr std::size_t kLinearLimit = 8;

  static std::uint32_t hash_of(std::string_view key) {
    return static_cast<std::uint32_t>(std::hash<std::string_view>{}(key));
  }

  std::uint32_t position_of(std::string_view key) const {
    if (index_) {
      return index_->find(hash_of(key), [&](std::uint32_t at) {
        return entries_[at].first == key;
      });
    }
    for (std::size_t at = 0; at < entries_.size(); ++at) {
      if (entries_[at].first == key) return static_cast<std::uint32_t>(at);
    }
    return HashIndex::kNotFound;
  }

  void build_index() {
    index_ = std::make_unique<HashIndex>();
    index_->reserve(entries_.capacity());
    for (std::size_t at = 0; at < entries_.size(); ++at) {
      index_->insert(hash_of(entries_[at].first), static_cast<std::uint32_t>(at));
    }
  }

  std::vector<Entry> entries_;
  std::unique_ptr<HashIndex> index_;
};

}  // namespace nuvel
