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
/// replaced). An empty map is one null pointer, since most nodes and edges
/// carry empty maps; small maps are searched linearly, and past kLinearLimit
/// entries a hash index makes lookup expected O(1).
template <class V>
class OrderedMap {
 public:
  using Entry = std::pair<std::string, V>;

  const V* find(std::string_view key) const {
    const std::uint32_t at = position_of(key);
    return at == HashIndex::kNotFound ? nullptr : &impl_->entries[at].second;
  }
  V* find(std::string_view key) {
    const std::uint32_t at = position_of(key);
    return at == HashIndex::kNotFound ? nullptr : &impl_->entries[at].second;
  }

  /// Appends an absent key; replaces the value of a present one in place.
  void insert_or_assign(std::string_view key, V value) {
    if (V* present = find(key)) {
      *present = std::move(value);
      return;
    }
    if (!impl_) impl_ = std::make_unique<Impl>();
    std::vector<Entry>& entries = impl_->entries;
    entries.emplace_back(std::string(key), std::move(value));
    const auto position = static_cast<std::uint32_t>(entries.size() - 1);
    if (impl_->index.size() > 0) {
      impl_->index.insert(hash_of(key), position);
    } else if (entries.size() > kLinearLimit) {
      for (std::uint32_t at = 0; at <= position; ++at) {
        impl_->index.insert(hash_of(entries[at].first), at);
      }
    }
  }

  /// Room for `count` entries in all, for a caller that knows the size.
  void reserve(std::size_t count) {
    if (count == 0) return;
    if (!impl_) impl_ = std::make_unique<Impl>();
    impl_->entries.reserve(count);
  }

  std::size_t size() const { return impl_ ? impl_->entries.size() : 0; }
  bool empty() const { return size() == 0; }
  const Entry* begin() const { return impl_ ? impl_->entries.data() : nullptr; }
  const Entry* end() const { return begin() + size(); }

 private:
  static constexpr std::size_t kLinearLimit = 8;

  struct Impl {
    std::vector<Entry> entries;
    HashIndex index;  ///< empty while entries.size() <= kLinearLimit
  };

  static std::uint32_t hash_of(std::string_view key) {
    return static_cast<std::uint32_t>(std::hash<std::string_view>{}(key));
  }

  std::uint32_t position_of(std::string_view key) const {
    if (!impl_) return HashIndex::kNotFound;
    const std::vector<Entry>& entries = impl_->entries;
    if (impl_->index.size() > 0) {
      return impl_->index.find(hash_of(key),
                               [&](std::uint32_t at) { return entries[at].first == key; });
    }
    for (std::size_t at = 0; at < entries.size(); ++at) {
      if (entries[at].first == key) return static_cast<std::uint32_t>(at);
    }
    return HashIndex::kNotFound;
  }

  std::unique_ptr<Impl> impl_;
};

}  // namespace nuvel
