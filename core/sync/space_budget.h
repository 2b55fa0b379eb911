// Room for the copies prepared ahead: never more than a run copying one row at a time would
// need at that point. Each target file system is asked once for its free space (again after
// it ran full); the prepared and uncommitted copies, and what the rows handled since then
// changed, are counted here.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/fs/file_stamp.h"
#include "core/fs/file_system.h"

namespace tavrik {

class SpaceBudget {
 public:
  // kept: replaced and deleted files are kept on their medium (in the trash or the run's
  // versions) and free nothing.
  // Each side's medium is asked through its own file system.
  SpaceBudget(FileSystem& left_fs, FileSystem& right_fs, bool kept)
      : fs_{&left_fs, &right_fs}, kept_(kept) {}

  // Reserves room for a copy of size bytes onto the file system of side (0 left, 1 right)
  // whose root is root; false when it does not fit ahead of its turn. A file system that
  // gives no usable figure takes one copy ahead at a time.
  bool Reserve(int side, const std::string& root, int64_t size);
  // The row's turn came: its reservation goes, whatever became of the prepared copy.
  void Release(int side, int64_t size);
  // A copy of size bytes was put in place, replacing a file of the fill's stamp replaced.
  void Copied(int side, int64_t size, const FileStamp* replaced);
  // A file of size bytes was deleted.
  void Deleted(int side, int64_t size);
  // The medium ran full while a copy was prepared: ask it again before the next one.
  void AskAgain(int side);

 private:
  struct Side {
    bool asked = false;
    bool known = false;  // the file system gave a usable figure
    int64_t free = 0;
    int64_t block = 4096;
    int64_t reserved = 0;
    int copies = 0;  // reserved and not yet released
  };
  void Ask(FileSystem& fs, Side& s, const std::string& root);
  // What a file of size bytes takes: whole blocks, and one for its entry.
  int64_t Taken(const Side& s, int64_t size) const;

  std::array<FileSystem*, 2> fs_;
  const bool kept_;
  std::array<Side, 2> sides_;
};

}  // namespace tavrik
