#include "metric.h"

#include <algorithm>
#include <memory>
#include <new>

#include "result.h"

namespace nuvel {

std::vector<std::string> op_names(const MultiOp& ops) {
  std::vector<std::string> names;
  names.reserve(ops.size());
  for (const auto& [name, value] : ops) names.push_back(name);
  return names;
}

std::vector<std::string> op_names(const MetricValue& metric) {
  if (const MultiOp* ops = std::get_if<MultiOp>(&metric)) return op_names(*ops);
  return {};
}

const SingleMetric& as_single(const MetricValue& metric) {
  if (const SingleMetric* single = std::get_if<SingleMetric>(&metric)) return *single;
  throw InternalError("a multi-operation metric was used as a single value");
}

SingleMetric& as_single_mut(MetricValue& metric) {
  if (SingleMetric* single = std::get_if<SingleMetric>(&metric)) return *single;
  throw InternalError("a multi-operation metric was used as a single value");
}

// ---- NodeMetrics -----------------------------------------------------------

NodeMetrics::Entry::Entry(Entry&& other) noexcept : metric_(other.metric_), unit_(other.unit_) {
  if (other.is_single()) {
    value_ = other.value_;
  } else {
    std::construct_at(&ops_, std::move(other.ops_));
  }
}

NodeMetrics::Entry::~Entry() {
  if (!is_single()) std::destroy_at(&ops_);
}

NodeMetrics& NodeMetrics::operator=(NodeMetrics&& other) noexcept {
  if (this != &other) {
    release();
    block_ = std::exchange(other.block_, nullptr);
  }
  return *this;
}

const NodeMetrics::Entry* NodeMetrics::find(TextId metric) const {
  if (block_ == nullptr) return nullptr;
  const Entry* all = entries();
  if (const HashIndex* by_metric = index()) {
    const std::uint32_t at = by_metric->find(
        hash_of(metric), [&](std::uint32_t position) { return all[position].metric_ == metric; });
    return at == HashIndex::kNotFound ? nullptr : all + at;
  }
  for (const Entry* entry = all; entry != all + block_->size; ++entry) {
    if (entry->metric_ == metric) return entry;
  }
  return nullptr;
}

void NodeMetrics::assign(TextId metric, double value, TextId unit) {
  if (Entry* present = find(metric)) {
    present->~Entry();
    new (present) Entry(metric, value, unit);
    return;
  }
  new (append_slot(metric)) Entry(metric, value, unit);
}

void NodeMetrics::assign(TextId metric, MultiOp ops) {
  if (Entry* present = find(metric)) {
    present->~Entry();
    new (present) Entry(metric, std::move(ops));
    return;
  }
  new (append_slot(metric)) Entry(metric, std::move(ops));
}

void NodeMetrics::reserve(std::size_t count) {
  if (count > 0xFFFFFFFEu) throw InternalError("too many metrics on one node");
  if (count > (block_ != nullptr ? block_->capacity : 0)) grow(static_cast<std::uint32_t>(count));
}

NodeMetrics::Entry* NodeMetrics::append_slot(TextId metric) {
  const auto size = static_cast<std::uint32_t>(this->size());
  const std::uint32_t capacity = block_ != nullptr ? block_->capacity : 0;
  if (size == capacity) {
    if (size == 0xFFFFFFFEu) throw InternalError("too many metrics on one node");
    grow(std::max(capacity + 1, capacity + capacity / 2));
  }
  ++block_->size;
  if (HashIndex* by_metric = index()) by_metric->insert(hash_of(metric), size);
  return entries() + size;
}

void NodeMetrics::grow(std::uint32_t capacity) {
  const bool indexed = capacity > kLinearLimit;
  const std::size_t bytes =
      sizeof(Header) + capacity * sizeof(Entry) + (indexed ? sizeof(HashIndex) : 0);
  static_assert(sizeof(Header) % alignof(Entry) == 0 &&
                alignof(Entry) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
  auto* grown = static_cast<Header*>(::operator new(bytes));
  const auto size = static_cast<std::uint32_t>(this->size());
  grown->size = size;
  grown->capacity = capacity;
  auto* moved = reinterpret_cast<Entry*>(grown + 1);
  HashIndex* old_index = block_ != nullptr ? index() : nullptr;
  for (std::uint32_t i = 0; i < size; ++i) {
    new (moved + i) Entry(std::move(entries()[i]));
    entries()[i].~Entry();
  }
  if (indexed) {
    auto* by_metric = reinterpret_cast<HashIndex*>(moved + capacity);
    if (old_index != nullptr) {
      std::construct_at(by_metric, std::move(*old_index));
    } else {
      std::construct_at(by_metric);
      for (std::uint32_t i = 0; i < size; ++i) by_metric->insert(hash_of(moved[i].metric_), i);
    }
  }
  if (old_index != nullptr) std::destroy_at(old_index);
  ::operator delete(block_);
  block_ = grown;
}

void NodeMetrics::release() {
  if (block_ == nullptr) return;
  for (std::uint32_t i = 0; i < block_->size; ++i) std::destroy_at(entries() + i);
  if (HashIndex* by_metric = index()) std::destroy_at(by_metric);
  ::operator delete(block_);
  block_ = nullptr;
}

}  // namespace nuvel
