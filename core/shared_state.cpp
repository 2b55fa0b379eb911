#include "core/shared_state.h"

namespace tavrik {

void FileTable::Clear() {
  entries_.clear();
  entries_.shrink_to_fit();
  arena_.Reset();
}

void FileTable::Add(std::string_view full_path, const FileStamp& stamp) {
  entries_.push_back({arena_.Add(full_path), stamp});
}

}  // namespace tavrik
