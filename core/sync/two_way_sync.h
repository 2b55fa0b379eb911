// The synchronisation's side of a two-way run (core/compare/two_way.h): the moves it carries
// out as renames, the folders its propagated deletions emptied, and the common state it
// saves at its end, however it ends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/fs/file_stamp.h"
#include "core/list/shared_state.h"
#include "core/list/two_way_text.h"
#include "core/sync/file_ops.h"

namespace tavrik {

class VersionFolder;

// The moves the comparison proposed whose rows still carry the marks it gave them: the copy
// of the new name towards the side that still has the old one, and the deletion of the old
// name there. A move whose marks the user changed is no move: its rows are copied and
// deleted as their marks say.
class MovePlan {
 public:
  MovePlan(const ComparisonList& list, const TwoWaySession& session);
  bool empty() const { return by_row_.empty(); }
  // The move the row at pos belongs to, or nullptr; *twin gets the position of its other
  // row (the same position for a rename in letter case only).
  const MovePair* At(int pos, int* twin) const;
  // The move of the row at pos was carried out: its twin has nothing left to do.
  void Done(int pos);
  bool IsDone(int pos) const;

  // A folder whose every file moved the same way (a folder renamed or moved as a whole on
  // the other side): one rename of the folder instead of one per file.
  struct FolderMove {
    char side = 'R';
    std::string from;  // the folder, as the side that still has it names it
    std::string to;
    std::vector<const MovePair*> moves;
    std::vector<int> rows;  // both rows of each move
    bool tried = false;     // once tried, its files go one by one where it failed
  };
  // The folder move the row at pos belongs to and that is still to be tried, or nullptr.
  FolderMove* FolderOf(int pos);

 private:
  struct Item {
    const MovePair* move = nullptr;
    int twin = 0;
    bool done = false;
    int folder = -1;
  };
  void FindFolderMoves(const ComparisonList& list);
  std::unordered_map<int, Item> by_row_;
  std::vector<FolderMove> folders_;
};

// A folder move as one rename of the folder, after a look into it: it must hold exactly the
// files of its moves, each still as the comparison saw it, and the new name must be free.
// Made folders are appended to made; every move is on record in versions first.
FsResult RenameFolderMove(FileSystem& fs, std::string_view root, const RootId* root_id,
                          const MovePlan::FolderMove& folder, VersionFolder* versions,
                          std::vector<std::string>* made);

// One move on one root: the file at from is renamed to to (folders made on the way, as for a
// copy), right after a check that it is still the file the comparison saw (size, time, and
// the inode where known). A rename in letter case only goes through a temporary name, as a
// medium that ignores case takes the new name for the old one. The move is on record in
// versions before it happens, and made folders in made (for the record too). On success
// *after gets the file's stamp under its new name.
FsResult RenameMove(FileSystem& fs, std::string_view root, const RootId* root_id,
                    const MovePair& move, VersionFolder* versions, std::vector<std::string>* made,
                    FileStamp* after);

// The end of each row of a two-way run, for the state saved at the run's end: rows that
// ended equal (with stamps read after the row) and rows whose files are gone on both sides.
// Rows not reached, skipped, or left one-sided keep their old entries.
class StateLedger {
 public:
  explicit StateLedger(const PairState& pair) : pair_(pair) {}
  // The row ended with equal files: left and right as each side names the file.
  void Equal(std::string_view left, std::string_view right);
  // A row the run left alone because its files were equal, with the stamps the fill saw:
  // where the state holds the same, nothing changes.
  void EqualSeen(std::string_view left, std::string_view right, const FileStamp* left_seen,
                 const FileStamp* right_seen);
  // The row ended with its file gone on both sides.
  void Gone(std::string_view left, std::string_view right);
  // A move carried out: the file is at to on both sides now, no longer at from.
  void Moved(const MovePair& move);
  // The folder a propagated deletion or move took a file from, on side 'L' or 'R'.
  void Emptied(char side, std::string_view rel);

  // Removes, deepest first, the folders noted as emptied that hold nothing now and that the
  // other side does not have; never a root.
  void RemoveEmptiedFolders(Context& ctx);
  // Saves the pair's state from the session's state and this run's rows; false with the
  // German reason when the save failed (both roots then keep the old generation).
  bool Save(Context& ctx, std::string* error);

 private:
  struct Row {
    std::string left, right;
    bool equal = false;
  };
  const PairState& pair_;
  size_t left_hint_ = 0;  // where EqualSeen's last search ended on each side
  size_t right_hint_ = 0;
  std::vector<Row> rows_;
  std::vector<std::pair<char, std::string>> emptied_;
};

}  // namespace tavrik
