// Append-only storage for many short strings: one allocation per MiB instead of one per
// string, and views that stay valid until Reset.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace tavrik {

class StringArena {
 public:
  // A stored string: chunk number in the high 32 bits, offset in the low 32 bits.
  struct Ref {
    uint64_t where = 0;
    uint32_t size = 0;
  };

  Ref Add(std::string_view text);
  std::string_view Get(Ref ref) const {
    if (ref.size == 0) return {};
    return {chunks_[ref.where >> 32].get() + (ref.where & 0xffffffffu), ref.size};
  }
  void Reset();
  size_t BytesReserved() const { return reserved_; }

 private:
  static constexpr size_t kChunk = 1 << 20;
  std::vector<std::unique_ptr<char[]>> chunks_;
  size_t used_ = 0;      // bytes used in the last chunk
  size_t capacity_ = 0;  // size of the last chunk
  size_t reserved_ = 0;
};

}  // namespace tavrik
