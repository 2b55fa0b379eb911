#include "core/list/shared_state.h"

#include <algorithm>
#include <cassert>

namespace tavrik {

namespace {

std::string_view AddBackslashFree(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

}  // namespace

void FileTable::Clear(std::string_view base) {
  base_ = base;
  std::deque<Entry>().swap(entries_);
  arena_.Reset();
  excluded_.clear();
  left_out_.clear();
  holes_.clear();
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

void FileTable::AddHole(std::string_view full_path) {
  // The root itself, or a path below it; anything else cannot be a hole of this fill.
  if (full_path.substr(0, base_.size()) != base_) {
    if (AddBackslashFree(full_path) == AddBackslashFree(base_)) holes_.emplace_back();
    return;
  }
  holes_.emplace_back(full_path.substr(base_.size()));
}

TwoWayWhy TwoWaySession::WhyOf(std::string_view left_name, std::string_view right_name) const {
  if (!active) return TwoWayWhy::kNone;
  if (!trusted) return TwoWayWhy::kNoState;
  const std::string_view key = left_name.empty() ? right_name : left_name;
  auto name = [this](const WhyItem& item) {
    return std::string_view(why_names_).substr(item.offset, item.size);
  };
  auto it =
      std::lower_bound(why_.begin(), why_.end(), key,
                       [&](const WhyItem& item, std::string_view k) { return name(item) < k; });
  return it != why_.end() && name(*it) == key ? it->why : TwoWayWhy::kNone;
}

void TwoWaySession::SetWhy(std::string_view left_name, std::string_view right_name, TwoWayWhy why) {
  const std::string_view key = left_name.empty() ? right_name : left_name;
  why_.push_back(
      {static_cast<uint32_t>(why_names_.size()), static_cast<uint32_t>(key.size()), why});
  why_names_.append(key);
}

void TwoWaySession::SortWhy() {
  auto name = [this](const WhyItem& item) {
    return std::string_view(why_names_).substr(item.offset, item.size);
  };
  std::stable_sort(why_.begin(), why_.end(),
                   [&](const WhyItem& a, const WhyItem& b) { return name(a) < name(b); });
}

std::string BrokenOffRefusal(const SharedState& state, const std::string& head) {
  const bool left = !state.left_broken_off.empty();
  if (!left && state.right_broken_off.empty()) return {};
  const std::string& root = left ? state.left_root.str() : state.right_root.str();
  return head + '\r' + "Die Aufstellung der Dateien in '" + root + "' ist unvollständig:" + '\r' +
         (left ? state.left_broken_off : state.right_broken_off);
}

}  // namespace tavrik
