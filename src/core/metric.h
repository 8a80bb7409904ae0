// Metric values held by nodes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "hash_index.h"
#include "ordered_map.h"
#include "text_table.h"

namespace nuvel {

/// One measured quantity. `value` may be any double (NaN and infinities
/// included); `unit` is kept exactly as supplied and never interpreted.
struct SingleMetric {
  double value = 0.0;
  std::string unit;
};

/// A multi-operation metric: operation name to its value. May be empty, and
/// an empty one stays distinct from a Single.
using MultiOp = OrderedMap<SingleMetric>;

/// A node's value of one metric, Single or MultiOp, as module data and
/// graph files supply it; NodeMetrics keeps it in a compact form.
using MetricValue = std::variant<SingleMetric, MultiOp>;

/// Whether a value is +0.0 (not -0.0, not NaN): what a metric reset leaves.
inline bool is_positive_zero(double value) { return std::bit_cast<std::uint64_t>(value) == 0; }

/// The operation names of a MultiOp in map order; empty for a Single.
std::vector<std::string> op_names(const MetricValue& metric);
std::vector<std::string> op_names(const MultiOp& ops);

/// The SingleMetric of a Single value. The caller has established the
/// variant; a MultiOp throws InternalError and is left untouched.
const SingleMetric& as_single(const MetricValue& metric);
SingleMetric& as_single_mut(MetricValue& metric);

/// The metrics of one node: each metric the node holds, under the id of its
/// name, in order of first insertion (listings and saved files follow it).
/// A Single is held in place as its unit's id and its value, a MultiOp out
/// of line. One allocation per node, 16 bytes per entry; entries are
/// searched linearly, and through a hash index once there are more than
/// kLinearLimit. An entry is replaced in place and never removed.
class NodeMetrics {
 public:
  class Entry {
   public:
    TextId metric() const { return metric_; }
    bool is_single() const { return unit_ != kMultiOpMark; }
    /// The value and unit of a Single.
    double value() const { return value_; }
    void set_value(double value) { value_ = value; }
    TextId unit() const { return unit_; }
    /// The operations of a MultiOp.
    const MultiOp& ops() const { return ops_; }

    ~Entry();

   private:
    friend class NodeMetrics;
    static constexpr TextId kMultiOpMark = 0xFFFFFFFFu;

    Entry(TextId metric, double value, TextId unit) : metric_(metric), unit_(unit), value_(value) {}
    Entry(TextId metric, MultiOp&& ops) : metric_(metric), unit_(kMultiOpMark), ops_(std::move(ops)) {}
    Entry(Entry&& other) noexcept;

    TextId metric_;
    TextId unit_;  ///< kMultiOpMark for a MultiOp
    union {
      double value_;
      MultiOp ops_;
    };
  };

  NodeMetrics() = default;
  NodeMetrics(NodeMetrics&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  NodeMetrics& operator=(NodeMetrics&& other) noexcept;
  ~NodeMetrics() { release(); }

  const Entry* find(TextId metric) const;
  Entry* find(TextId metric) { return const_cast<Entry*>(std::as_const(*this).find(metric)); }

  /// Puts a Single (respectively a MultiOp) under `metric`: replaces the
  /// entry of that metric in place, or appends one.
  void assign(TextId metric, double value, TextId unit);
  void assign(TextId metric, MultiOp ops);

  /// Room for `count` entries in all, for a caller that knows the size.
  void reserve(std::size_t count);

  std::size_t size() const { return block_ != nullptr ? block_->size : 0; }
  bool empty() const { return size() == 0; }
  const Entry* begin() const { return block_ != nullptr ? entries() : nullptr; }
  const Entry* end() const { return begin() + size(); }

 private:
  static constexpr std::uint32_t kLinearLimit = 8;

  struct Header {
    std::uint32_t size;
    std::uint32_t capacity;
  };

  Entry* entries() const { return reinterpret_cast<Entry*>(block_ + 1); }
  /// Past kLinearLimit entries of capacity, the hash index follows them.
  HashIndex* index() const {
    return block_->capacity > kLinearLimit
               ? reinterpret_cast<HashIndex*>(entries() + block_->capacity)
               : nullptr;
  }
  static std::uint32_t hash_of(TextId metric) { return metric * 0x9E3779B1u; }

  /// The slot for a new entry of `metric`, after growing if needed.
  Entry* append_slot(TextId metric);
  void grow(std::uint32_t capacity);
  void release();

  Header* block_ = nullptr;
};

}  // namespace nuvel
