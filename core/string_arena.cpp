#include "core/string_arena.h"

#include <algorithm>
#include <cstring>

namespace tavrik {

StringArena::Ref StringArena::Add(std::string_view text) {
  if (text.empty()) return {};
  if (chunks_.empty() || capacity_ - used_ < text.size()) {
    capacity_ = std::max(kChunk, text.size());
    chunks_.push_back(std::make_unique<char[]>(capacity_));
    used_ = 0;
    reserved_ += capacity_;
  }
  char* dest = chunks_.back().get() + used_;
  std::memcpy(dest, text.data(), text.size());
  Ref ref{(static_cast<uint64_t>(chunks_.size() - 1) << 32) | used_,
          static_cast<uint32_t>(text.size())};
  used_ += text.size();
  return ref;
}

void StringArena::Reset() {
  chunks_.clear();
  used_ = capacity_ = reserved_ = 0;
}

}  // namespace tavrik
