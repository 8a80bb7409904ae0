// A vector of records that grows in fixed chunks.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace nuvel {

/// Indexed sequence of T stored in chunks of 2^kChunkBits elements. Growing
/// never moves or copies an element, so memory stays within one chunk of what
/// is used (no doubling slack, no copy peak) and references stay valid.
/// Elements are only appended; all are destroyed with the vector.
template <class T, unsigned kChunkBits = 12>
class ChunkedVector {
 public:
  ChunkedVector() = default;
  ChunkedVector(ChunkedVector&& other) noexcept
      : chunks_(std::move(other.chunks_)), size_(std::exchange(other.size_, 0)) {}
  ChunkedVector& operator=(ChunkedVector&& other) noexcept {
    if (this != &other) {
      clear();
      chunks_ = std::move(other.chunks_);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~ChunkedVector() { clear(); }

  T& operator[](std::size_t i) { return chunks_[i >> kChunkBits][i & kMask]; }
  const T& operator[](std::size_t i) const { return chunks_[i >> kChunkBits][i & kMask]; }
  std::size_t size() const { return size_; }

  template <class... Args>
  T& emplace_back(Args&&... args) {
    if ((size_ & kMask) == 0 && (size_ >> kChunkBits) == chunks_.size()) {
      chunks_.reserve(chunks_.size() + 1);
      chunks_.push_back(std::allocator<T>().allocate(kChunkSize));
    }
    T* slot = &chunks_[size_ >> kChunkBits][size_ & kMask];
    std::construct_at(slot, std::forward<Args>(args)...);
    ++size_;
    return *slot;
  }

 private:
  static constexpr std::size_t kChunkSize = std::size_t{1} << kChunkBits;
  static constexpr std::size_t kMask = kChunkSize - 1;

  void clear() {
    for (std::size_t i = 0; i < size_; ++i) std::destroy_at(&(*this)[i]);
    for (T* chunk : chunks_) std::allocator<T>().deallocate(chunk, kChunkSize);
    chunks_.clear();
    size_ = 0;
  }

  std::vector<T*> chunks_;
  std::size_t size_ = 0;
};

}  // namespace nuvel
