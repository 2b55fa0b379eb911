#include "core/list/string_arena.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/list/huge_pages.h"

namespace tavrik {

StringArena::Ref StringArena::Add(std::string_view text) {
  assert(text.size() <= kMaxSize);
  text = text.substr(0, kMaxSize);
  if (text.empty()) return {};
  if (chunks_.empty() || capacity_ - used_ < text.size()) {
    capacity_ = kChunk;
    chunks_.push_back(NewChunk());
    used_ = 0;
  }
  char* dest = chunks_.back() + used_;
  std::memcpy(dest, text.data(), text.size());
  Ref ref{(static_cast<uint64_t>(chunks_.size() - 1) << 40) | (static_cast<uint64_t>(used_) << 20) |
          text.size()};
  used_ += text.size();
  return ref;
}

void StringArena::Free::operator()(char* p) const { std::free(p); }

char* StringArena::NewChunk() {
  if (chunks_.size() < kSmallChunks) {
    small_.push_back(std::make_unique_for_overwrite<char[]>(kChunk));
    return small_.back().get();
  }
  if ((chunks_.size() - kSmallChunks) % 2 == 1) return blocks_.back().get() + kChunk;
  char* block = static_cast<char*>(std::aligned_alloc(kBlock, kBlock));
  if (!block) throw std::bad_alloc();
  blocks_.emplace_back(block);
  AdviseHugePages(block, kBlock);
  return block;
}

void StringArena::Reset() {
  chunks_.clear();
  small_.clear();
  blocks_.clear();
  used_ = capacity_ = 0;
}

}  // namespace tavrik
