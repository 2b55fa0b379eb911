#include "core/list/string_arena.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace tavrik {

StringArena::Ref StringArena::Add(std::string_view text) {
  assert(text.size() <= kMaxSize);
  text = text.substr(0, kMaxSize);
  if (text.empty()) return {};
  if (chunks_.empty() || capacity_ - used_ < text.size()) {
    capacity_ = kChunk;
    chunks_.push_back(std::make_unique<char[]>(capacity_));
    used_ = 0;
  }
  char* dest = chunks_.back().get() + used_;
  std::memcpy(dest, text.data(), text.size());
  Ref ref{(static_cast<uint64_t>(chunks_.size() - 1) << 40) | (static_cast<uint64_t>(used_) << 20) |
          text.size()};
  used_ += text.size();
  return ref;
}

void StringArena::Reset() {
  chunks_.clear();
  used_ = capacity_ = 0;
}

}  // namespace tavrik
