#include "core/list/comparison_list.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>

#include "core/fs/paths.h"
#include "core/list/status.h"

namespace tavrik {

namespace {

constexpr std::array<std::string_view, kMarkCount> kMarkTexts = {
    "", "-->", "<--", "X->", "<-X", "XX", "][", "=", "<", ">", "<>", "?", "? -->", "? <--"};

constexpr size_t kChunk = 8;

// Eight bytes of the lower-cased text from offset on, big-endian and padded with zeros,
// so that comparing two keys compares those bytes as text does.
uint64_t ChunkKey(std::string_view folded, size_t offset, bool lower_ascii) {
  uint64_t key = 0;
  for (size_t i = 0; i < kChunk; ++i) {
    unsigned char c =
        offset + i < folded.size() ? static_cast<unsigned char>(folded[offset + i]) : 0;
    if (lower_ascii && c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + 32);
    key = (key << 8) | c;
  }
  return key;
}

int Sign(int64_t a, int64_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

}  // namespace

std::string_view MarkText(Mark mark) { return kMarkTexts[static_cast<size_t>(mark)]; }

bool MarkFromText(std::string_view text, Mark* mark) {
  for (size_t i = 0; i < kMarkTexts.size(); ++i) {
    if (kMarkTexts[i] == text) {
      *mark = static_cast<Mark>(i);
      return true;
    }
  }
  return false;
}

ComparisonList::ComparisonList()
    : headers_{"Erster Ordner",
               "<-->",
               kRightHeader,
               "",
               "unsichtbar für datum LINKS",
               "unsichtbar für datum Rechts"} {}

int ComparisonList::AddRow(int pos, std::string_view left_name) {
  assert(pos >= 1 && pos <= RowCount() + 1);
  Row row;
  row.left = left_.Add(left_name);
  bool appended_plain = pos == RowCount() + 1;
  rows_.insert(rows_.begin() + (pos - 1), row);
  if (!appended_plain || !left_name.empty()) InvalidateIndex();
  if (listener_) listener_->RowsInserted(pos, 1);
  if (sorted_ && hold_ == 0) return Reposition(pos);
  return pos;
}

void ComparisonList::RemoveRow(int pos) {
  assert(pos >= 1 && pos <= RowCount());
  rows_.erase(rows_.begin() + (pos - 1));
  InvalidateIndex();
  if (listener_) listener_->RowsRemoved(pos, 1);
}

void ComparisonList::RemoveRowsIf(const std::function<bool(int)>& drop) {
  size_t kept = 0;
  for (size_t i = 0; i < rows_.size(); ++i)
    if (!drop(static_cast<int>(i) + 1)) rows_[kept++] = rows_[i];
  if (kept == rows_.size()) return;
  rows_.resize(kept);
  InvalidateIndex();
  if (listener_) listener_->ListReset();
}

void ComparisonList::Clear() {
  rows_.clear();
  rows_.shrink_to_fit();
  left_.Reset();
  right_.Reset();
  InvalidateIndex();
  index_.clear();
  index_.shrink_to_fit();
  order_dirty_ = false;
  if (listener_) listener_->ListReset();
}

const FileStamp* ComparisonList::LeftStamp(int pos) const {
  const Row& row = At(pos);
  return row.has_left_stamp ? &row.left_stamp : nullptr;
}

const FileStamp* ComparisonList::RightStamp(int pos) const {
  const Row& row = At(pos);
  return row.has_right_stamp ? &row.right_stamp : nullptr;
}

std::string ComparisonList::Text(int pos, int col) const {
  const Row& row = At(pos);
  switch (col) {
    case 1:
      return std::string(left_.Get(row.left));
    case 2:
      return std::string(MarkText(row.mark));
    case 3:
      return std::string(right_.Get(row.right));
    case 5:
      return row.has_left_stamp ? FileDateText(row.left_stamp) : std::string();
    case 6:
      return row.has_right_stamp ? FileDateText(row.right_stamp) : std::string();
    default:
      return {};
  }
}

void ComparisonList::SetLeftName(int pos, std::string_view name) {
  At(pos).left = left_.Add(name);
  InvalidateIndex();
  Changed(pos, 1);
}

void ComparisonList::SetRightName(int pos, std::string_view name) {
  At(pos).right = right_.Add(name);
  Changed(pos, 3);
}

void ComparisonList::SetMark(int pos, Mark mark) {
  At(pos).mark = mark;
  Changed(pos, 2);
}

void ComparisonList::SetLeftStamp(int pos, const FileStamp* stamp, FileKind kind) {
  Row& row = At(pos);
  row.has_left_stamp = stamp != nullptr;
  row.left_stamp = stamp ? *stamp : FileStamp{};
  row.left_kind = stamp ? kind : FileKind::kFile;
  Changed(pos, 5);
}

void ComparisonList::SetRightStamp(int pos, const FileStamp* stamp, FileKind kind) {
  Row& row = At(pos);
  row.has_right_stamp = stamp != nullptr;
  row.right_stamp = stamp ? *stamp : FileStamp{};
  row.right_kind = stamp ? kind : FileKind::kFile;
  Changed(pos, 6);
}

void ComparisonList::ClearRightNamesAndMarks() {
  for (Row& row : rows_) {
    row.right = {};
    row.mark = Mark::kNone;
    row.right_kind = FileKind::kFile;
  }
  right_.Reset();
  // Every row now holds the same texts in columns 2 and 3, so a stable order is unchanged.
  if (listener_ && !rows_.empty()) listener_->RowsChanged(1, RowCount());
}

void ComparisonList::Changed(int pos, int col) {
  if (listener_) listener_->RowsChanged(pos, pos);
  if (!sorted_ || col != sort_column_ + 1) return;
  if (hold_ > 0) {
    order_dirty_ = true;
    return;
  }
  Reposition(pos);
}

void ComparisonList::SetHeader(int col, std::string_view caption) {
  headers_[col - 1] = caption;
  if (listener_) listener_->HeaderChanged(col);
}

void ComparisonList::SetSorted(bool on) {
  sorted_ = on;
  if (on) SortNow();
}

void ComparisonList::SetSortColumn(int column) {
  sort_column_ = column;
  if (sorted_) SortNow();
}

void ComparisonList::SetSortOrder(int order) {
  sort_order_ = order;
  if (sorted_) SortNow();
}

void ComparisonList::SetSortState(bool on, int column, int order) {
  sort_column_ = column;
  sort_order_ = order;
  SetSorted(on);
}

void ComparisonList::HoldOrder() { ++hold_; }

void ComparisonList::ReleaseOrder() {
  assert(hold_ > 0);
  if (--hold_ > 0) return;
  if (order_dirty_ && sorted_) SortNow();
  order_dirty_ = false;
}

int ComparisonList::CompareRows(const Row& a, const Row& b) const {
  switch (sort_column_) {
    case 0:
      return CaselessCompare(left_.Get(a.left), left_.Get(b.left));
    case 1:
      return CaselessCompare(MarkText(a.mark), MarkText(b.mark));
    case 2:
      return CaselessCompare(right_.Get(a.right), right_.Get(b.right));
    case 4:
      if (a.has_left_stamp != b.has_left_stamp) return a.has_left_stamp ? 1 : -1;
      return a.has_left_stamp ? Sign(DateKey(a.left_stamp), DateKey(b.left_stamp)) : 0;
    case 5:
      if (a.has_right_stamp != b.has_right_stamp) return a.has_right_stamp ? 1 : -1;
      return a.has_right_stamp ? Sign(DateKey(a.right_stamp), DateKey(b.right_stamp)) : 0;
    default:
      return 0;  // the spare column holds the same empty text in every row
  }
}

std::string_view ComparisonList::SortText(const Row& row) const {
  switch (sort_column_) {
    case 0:
      return left_.Get(row.left);
    case 1:
      return MarkText(row.mark);
    default:
      return right_.Get(row.right);
  }
}

void ComparisonList::SortNow() {
  if (hold_ > 0) {
    order_dirty_ = true;
    return;
  }
  if (rows_.size() < 2 || sort_column_ == 3) return;  // the spare column is empty everywhere
  const bool descending = sort_order_ == 1;
  auto before = [&](uint32_t a, uint32_t b) {
    int c = CompareRows(rows_[a], rows_[b]);
    if (c != 0) return descending ? c > 0 : c < 0;
    return a < b;
  };
  // Often only rows added at the end are out of place (after a right fill): then sort
  // just those and merge them into the part that is in order already.
  size_t sorted = 1;
  while (sorted < rows_.size() &&
         !before(static_cast<uint32_t>(sorted), static_cast<uint32_t>(sorted - 1)))
    ++sorted;
  if (sorted == rows_.size()) return;
  std::vector<SortItem> items;
  if ((rows_.size() - sorted) * 8 > rows_.size()) {
    items = SortedItems(0, rows_.size());
  } else {
    std::vector<SortItem> tail = SortedItems(sorted, rows_.size());
    std::vector<SortItem> head(sorted);
    for (size_t i = 0; i < sorted; ++i) head[i] = {0, static_cast<uint32_t>(i), 1};
    items.resize(rows_.size());
    std::merge(head.begin(), head.end(), tail.begin(), tail.end(), items.begin(),
               [&](const SortItem& a, const SortItem& b) { return before(a.pos, b.pos); });
  }
  ApplyOrder(items);
  InvalidateIndex();
  if (listener_) listener_->RowsReordered();
}

// Rows [begin, end) as sort items, in sorted order.
std::vector<ComparisonList::SortItem> ComparisonList::SortedItems(size_t begin, size_t end) const {
  std::vector<SortItem> items(end - begin);
  if (sort_column_ >= 4) {
    const bool left = sort_column_ == 4;
    for (size_t i = begin; i < end; ++i) {
      const Row& row = rows_[i];
      bool has = left ? row.has_left_stamp : row.has_right_stamp;
      // Empty date texts sort first; the rest by the second their key names.
      int64_t second = has ? DateKey(left ? row.left_stamp : row.right_stamp) : 0;
      uint64_t key =
          has ? static_cast<uint64_t>(second - std::numeric_limits<int64_t>::min() / 2) + 1 : 0;
      items[i - begin] = {key, static_cast<uint32_t>(i), 1};
    }
    SortRange(items, 0, items.size(), 0, false);
    return items;
  }
  std::string folded;
  for (size_t i = begin; i < end; ++i) {
    std::string_view text = SortText(rows_[i]);
    bool ascii = IsAscii(text);
    if (!ascii) FoldCase(text, folded);
    items[i - begin] = {ChunkKey(ascii ? text : folded, 0, ascii), static_cast<uint32_t>(i), ascii};
  }
  SortRange(items, 0, items.size(), 0, true);
  return items;
}

// Sorts items[begin, end) by key, then sorts every run of equal keys by the next eight
// bytes, and so on, so most texts are compared by their keys alone. Texts that are equal
// without regard to case are ordered by their bytes, equal texts by their old position.
void ComparisonList::SortRange(std::vector<SortItem>& items, size_t begin, size_t end,
                               size_t offset, bool texts) const {
  const bool descending = sort_order_ == 1;
  auto by_key = [descending](const SortItem& a, const SortItem& b) {
    if (a.key != b.key) return descending ? a.key > b.key : a.key < b.key;
    return a.pos < b.pos;
  };
  std::sort(items.begin() + begin, items.begin() + end, by_key);
  if (!texts) return;
  std::string folded;
  for (size_t run = begin; run < end;) {
    size_t next = run + 1;
    while (next < end && items[next].key == items[run].key) ++next;
    if (next - run > 1) {
      size_t longest = 0;
      for (size_t k = run; k < next; ++k) {
        std::string_view text = SortText(rows_[items[k].pos]);
        if (!items[k].ascii) FoldCase(text, folded);
        longest = std::max(longest, items[k].ascii ? text.size() : folded.size());
      }
      if (longest > offset + kChunk) {
        for (size_t k = run; k < next; ++k) {
          std::string_view text = SortText(rows_[items[k].pos]);
          if (!items[k].ascii) FoldCase(text, folded);
          items[k].key = ChunkKey(items[k].ascii ? text : folded, offset + kChunk, items[k].ascii);
        }
        SortRange(items, run, next, offset + kChunk, true);
      } else {
        std::sort(items.begin() + run, items.begin() + next,
                  [&](const SortItem& a, const SortItem& b) {
                    int c = SortText(rows_[a.pos]).compare(SortText(rows_[b.pos]));
                    if (c != 0) return descending ? c > 0 : c < 0;
                    return a.pos < b.pos;
                  });
      }
    }
    run = next;
  }
}

// Puts row items[k].pos at position k, moving rows along cycles so no second copy of the
// list is needed.
void ComparisonList::ApplyOrder(std::vector<SortItem>& items) {
  constexpr uint32_t kPlaced = std::numeric_limits<uint32_t>::max();
  for (size_t start = 0; start < items.size(); ++start) {
    if (items[start].pos == kPlaced || items[start].pos == start) continue;
    Row held = rows_[start];
    size_t at = start;
    for (;;) {
      size_t from = items[at].pos;
      items[at].pos = kPlaced;
      if (from == start) {
        rows_[at] = held;
        break;
      }
      rows_[at] = rows_[from];
      at = from;
    }
  }
}

int ComparisonList::Reposition(int pos) {
  Row row = At(pos);
  rows_.erase(rows_.begin() + (pos - 1));
  bool descending = sort_order_ == 1;
  auto it = std::upper_bound(rows_.begin(), rows_.end(), row, [&](const Row& a, const Row& b) {
    int c = CompareRows(a, b);
    return descending ? c > 0 : c < 0;
  });
  int target = static_cast<int>(it - rows_.begin()) + 1;
  rows_.insert(it, row);
  if (target == pos) return pos;
  InvalidateIndex();
  if (listener_) listener_->RowsReordered();
  return target;
}

void ComparisonList::BuildIndex() const {
  size_t capacity = 16;
  while (capacity < rows_.size() * 2) capacity <<= 1;
  index_.assign(capacity, Slot{});
  for (size_t i = 0; i < rows_.size(); ++i) {
    std::string_view name = left_.Get(rows_[i].left);
    if (name.empty()) continue;
    uint64_t h = RelPath(name).KeyHash();
    size_t s = h & (capacity - 1);
    while (index_[s].pos != 0) s = (s + 1) & (capacity - 1);
    index_[s] = {static_cast<uint32_t>(i + 1), static_cast<uint32_t>(h >> 32)};
  }
  index_valid_ = true;
}

int ComparisonList::FindFirstPairing(std::string_view text) const {
  return FindFirstPairing(text, nullptr);
}

int ComparisonList::FindFirstPairing(std::string_view text,
                                     const std::function<bool(int)>& accept) const {
  if (text.empty() || rows_.empty()) return 0;
  if (!index_valid_) BuildIndex();
  const RelPath key(text);
  uint64_t h = key.KeyHash();
  size_t mask = index_.size() - 1;
  // Rows with the same folded text share a home slot and were entered in list order,
  // so along the probe sequence the first match is the first row in the list.
  for (size_t s = h & mask; index_[s].pos != 0; s = (s + 1) & mask) {
    const Slot& slot = index_[s];
    if (slot.hash != static_cast<uint32_t>(h >> 32)) continue;
    int pos = static_cast<int>(slot.pos);
    if (!key.SameKey(LeftName(pos))) continue;
    if (!accept || accept(pos)) return pos;
  }
  return 0;
}

}  // namespace tavrik
