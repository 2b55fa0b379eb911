// The comparison list: the one model of a comparison. Rows are addressed by their
// current position from 1, columns by number from 1:
//   1 left name, 2 relation mark, 3 right name, 4 spare, 5 left date text, 6 right date text.
// Rows are stored compactly and the column texts are produced on demand.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/fs/file_stamp.h"
#include "core/list/huge_pages.h"
#include "core/list/string_arena.h"

namespace tavrik {

enum class Mark : uint8_t {
  kNone,             // ""
  kCopyRight,        // "-->"
  kCopyLeft,         // "<--"
  kDeleteRight,      // "X->"
  kDeleteLeft,       // "<-X"
  kDeleteBoth,       // "XX"
  kSkip,             // "]["
  kEqual,            // "="
  kLess,             // "<"
  kGreater,          // ">"
  kDiffer,           // "<>"
  kOrphan,           // "?"
  kOrphanCopyRight,  // "? -->"
  kOrphanCopyLeft,   // "? <--"
};
inline constexpr int kMarkCount = 14;

std::string_view MarkText(Mark mark);
// Exact, case-sensitive lookup of a mark text; false for text outside the vocabulary.
bool MarkFromText(std::string_view text, Mark* mark);

// Gets told what changed, so a view can follow. Positions are 1-based.
class ListListener {
 public:
  virtual ~ListListener() = default;
  virtual void RowsInserted(int first, int count) = 0;
  virtual void RowsRemoved(int first, int count) = 0;
  virtual void RowsChanged(int first, int last) = 0;
  virtual void ListReset() = 0;
  virtual void RowsReordered() = 0;
  virtual void HeaderChanged(int column) = 0;
};

class ComparisonList {
 public:
  static constexpr int kColumns = 6;
  static constexpr const char* kRightHeader = "Zweiter Ordner";

  ComparisonList();
  ComparisonList(const ComparisonList&) = delete;
  ComparisonList& operator=(const ComparisonList&) = delete;

  void SetListener(ListListener* listener) { listener_ = listener; }

  int RowCount() const { return static_cast<int>(rows_.size()); }
  void Reserve(size_t rows) {
    rows_.reserve(rows);
    AdviseHugePages(rows_.data(), rows_.capacity() * sizeof(Row));
  }

  // Adds a row at position pos (1..RowCount()+1) with left_name as its column 1 text.
  // With sorting on (and the order not held) the row goes to its sorted place instead.
  // Returns the row's position.
  int AddRow(int pos, std::string_view left_name);
  void RemoveRow(int pos);
  // Removes every row for which drop(pos) is true, in one pass; the others keep their order.
  void RemoveRowsIf(const std::function<bool(int)>& drop);
  void Clear();

  // The text of column col (1..6) of row pos, as the list shows it.
  std::string Text(int pos, int col) const;

  std::string_view LeftName(int pos) const { return left_.Get(At(pos).left); }
  std::string_view RightName(int pos) const { return right_.Get(At(pos).right); }
  Mark GetMark(int pos) const { return At(pos).mark; }
  // The stamp behind column 5 or 6; nullptr when that column is empty.
  const FileStamp* LeftStamp(int pos) const;
  const FileStamp* RightStamp(int pos) const;

  void SetLeftName(int pos, std::string_view name);
  void SetRightName(int pos, std::string_view name);
  void SetMark(int pos, Mark mark);
  // kind: what the entry behind the stamp is; a side without a stamp is a file.
  void SetLeftStamp(int pos, const FileStamp* stamp, FileKind kind = FileKind::kFile);
  void SetRightStamp(int pos, const FileStamp* stamp, FileKind kind = FileKind::kFile);
  FileKind LeftKind(int pos) const { return At(pos).left_kind; }
  FileKind RightKind(int pos) const { return At(pos).right_kind; }
  // Empties columns 3 and 2 of every row, as a right fill does first.
  void ClearRightNamesAndMarks();

  // First row (in the present order) whose column 1 pairs with text: equal without regard to
  // letter case or Unicode composition (RelPath's pairing key), optionally also satisfying
  // accept(pos); 0 when there is none. Uses an index.
  int FindFirstPairing(std::string_view text) const;
  int FindFirstPairing(std::string_view text, const std::function<bool(int)>& accept) const;

  const std::string& Header(int col) const { return headers_[col - 1]; }
  void SetHeader(int col, std::string_view caption);

  // Automatic sorting: column is 0-based (0 = column 1), order 0 ascending, 1 descending.
  bool Sorted() const { return sorted_; }
  int SortColumn() const { return sort_column_; }
  int SortOrder() const { return sort_order_; }
  void SetSorted(bool on);
  void SetSortColumn(int column);
  void SetSortOrder(int order);
  // Sets all three at once and sorts (once) when on.
  void SetSortState(bool on, int column, int order);

  // While held, no change moves rows, so positions stay fixed during a run; the
  // release re-sorts once if anything in the sort column changed.
  void HoldOrder();
  void ReleaseOrder();

 private:
  struct Row {
    StringArena::Ref left;
    StringArena::Ref right;
    FileStamp left_stamp;
    FileStamp right_stamp;
    Mark mark = Mark::kNone;
    bool has_left_stamp = false;
    bool has_right_stamp = false;
    FileKind left_kind = FileKind::kFile;
    FileKind right_kind = FileKind::kFile;
  };
  static_assert(sizeof(Row) <= 64, "a row must stay small: lists hold millions of them");
  struct SortItem {
    uint64_t key;
    uint32_t pos;
    uint32_t ascii;
  };
  struct Slot {
    uint32_t pos = 0;  // 0 = empty
    uint32_t hash = 0;
  };

  const Row& At(int pos) const { return rows_[static_cast<size_t>(pos - 1)]; }
  Row& At(int pos) { return rows_[static_cast<size_t>(pos - 1)]; }
  void Changed(int pos, int col);
  void SortNow();
  std::string_view SortText(const Row& row) const;
  std::vector<SortItem> SortedItems(size_t begin, size_t end) const;
  void SortRange(std::vector<SortItem>& items, size_t begin, size_t end, size_t offset,
                 bool texts) const;
  void ApplyOrder(std::vector<SortItem>& items);
  int Reposition(int pos);  // moves a changed row to its sorted place, returns it
  int CompareRows(const Row& a, const Row& b) const;
  void InvalidateIndex() { index_valid_ = false; }
  void BuildIndex() const;

  std::vector<Row> rows_;
  StringArena left_;
  StringArena right_;
  std::array<std::string, kColumns> headers_;
  bool sorted_ = false;
  int sort_column_ = 0;
  int sort_order_ = 0;
  int hold_ = 0;
  bool order_dirty_ = false;
  ListListener* listener_ = nullptr;

  mutable std::vector<Slot> index_;
  mutable bool index_valid_ = false;
};

// Holds the list's order for its lifetime, so a run that ends early (an exception, a stop)
// still releases it.
class OrderHold {
 public:
  explicit OrderHold(ComparisonList& list) : list_(list) { list_.HoldOrder(); }
  ~OrderHold() { list_.ReleaseOrder(); }
  OrderHold(const OrderHold&) = delete;
  OrderHold& operator=(const OrderHold&) = delete;

 private:
  ComparisonList& list_;
};

}  // namespace tavrik
