#include "core/list/shared_state.h"

#include <cassert>

namespace tavrik {

void FileTable::Clear(std::string_view base) {
  base_ = base;
  std::deque<Entry>().swap(entries_);
  arena_.Reset();
  excluded_.clear();
  left_out_.clear();
}

void FileTable::Add(std::string_view full_path, const FileStamp& stamp, FileKind kind) {
  assert(full_path.substr(0, base_.size()) == base_);
  entries_.push_back({arena_.Add(full_path.substr(base_.size())), stamp, kind});
}

void FileTable::AddLeftOut(std::string_view full_path, LeftOutWhy why) {
  assert(full_path.substr(0, base_.size()) == base_);
  left_out_.push_back({std::string(full_path.substr(base_.size())), why});
}

void FileTable::AddExcluded(std::string_view full_path, bool folder) {
  assert(full_path.substr(0, base_.size()) == base_);
  excluded_.push_back({std::string(full_path.substr(base_.size())), folder});
}

}  // namespace tavrik
