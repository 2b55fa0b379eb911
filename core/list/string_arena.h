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
  // A stored string in eight bytes: chunk number (24 bits), offset in the chunk and size
  // (20 bits each). Strings are at most kMaxSize bytes, far more than a path can be.
  struct Ref {
    uint64_t bits = 0;
    uint32_t Chunk() const { return static_cast<uint32_t>(bits >> 40); }
    uint32_t Offset() const { return static_cast<uint32_t>(bits >> 20) & kMask; }
    uint32_t Size() const { return static_cast<uint32_t>(bits) & kMask; }
  };
  static constexpr uint32_t kMask = (1u << 20) - 1;
  static constexpr size_t kMaxSize = kMask;

  Ref Add(std::string_view text);
  std::string_view Get(Ref ref) const {
    if (ref.Size() == 0) return {};
    return {chunks_[ref.Chunk()] + ref.Offset(), ref.Size()};
  }
  void Reset();

 private:
  static constexpr size_t kChunk = size_t{1} << 20;
  // Past the first chunks, two chunks share a block aligned for one huge page.
  static constexpr size_t kBlock = 2 * kChunk;
  static constexpr size_t kSmallChunks = 2;
  struct Free {
    void operator()(char* p) const;
  };
  char* NewChunk();
  std::vector<std::unique_ptr<char[]>> small_;
  std::vector<std::unique_ptr<char, Free>> blocks_;
  std::vector<char*> chunks_;
  size_t used_ = 0;      // bytes used in the last chunk
  size_t capacity_ = 0;  // size of the last chunk
};

}  // namespace tavrik
