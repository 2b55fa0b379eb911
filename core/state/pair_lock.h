// A second run on the same pair of roots while one runs is refused: the run holds a lock
// file in the state folder of both roots, "<key>.lock", that names the machine and the
// process ("host <name>\npid <number>\n"). The lock of a process of this machine that has
// ended (zombies included) is taken over; any other lock refuses the run.
#pragma once

#include <cstdint>
#include <string>

#include "core/fs/file_system.h"
#include "core/state/pair_state.h"

namespace tavrik {

// The refusal; the first %s is the process number, the second the machine.
inline constexpr const char* kLockedText =
    "Die beiden Ordner werden gerade von einem anderen Lauf abgeglichen (Prozess %s auf "
    "Rechner '%s'); dieser Lauf wird abgelehnt.";

// The refusal of an undo while a run holds a lock in its root; the same two fields.
inline constexpr const char* kUndoLockedText =
    "Der Ordner wird gerade von einem anderen Lauf abgeglichen (Prozess %s auf Rechner '%s'); "
    "der Widerruf wird abgelehnt.";
// The name of an undo's lock file in the state folder of its root.
inline constexpr const char* kUndoLockName = "undo.lock";

class PairLock {
 public:
  PairLock() = default;
  PairLock(PairLock&& other) noexcept;
  PairLock& operator=(PairLock&& other) noexcept;
  PairLock(const PairLock&) = delete;
  PairLock& operator=(const PairLock&) = delete;
  ~PairLock();  // Release

  // Takes the lock of the pair in both roots; the key is the pair id, or a name made from
  // both roots' identities when the pair has no state yet. On refusal false with the German
  // message in *error (naming the host and the process that holds it, or the error).
  bool Take(FileSystem& left_fs, const std::string& left_root, FileSystem& right_fs,
            const std::string& right_root, const PairState& pair, std::string* error);
  bool held() const { return left_fs_ != nullptr; }
  // Removes both lock files (only those this process wrote).
  void Release();

 private:
  FileSystem* left_fs_ = nullptr;
  FileSystem* right_fs_ = nullptr;
  std::string left_path_;
  std::string right_path_;
};

// An undo changes files of every pair its root belongs to: it runs only while no run holds a
// lock in that root's state folder, and while it holds its own there ("undo.lock"), PairLock
// refuses every sync of a pair of that root. A root without a state folder belongs to no pair
// and gets no lock.
class UndoLock {
 public:
  UndoLock() = default;
  UndoLock(const UndoLock&) = delete;
  UndoLock& operator=(const UndoLock&) = delete;
  ~UndoLock();  // Release

  // On refusal false with the German message in *error.
  bool Take(FileSystem& fs, const std::string& root, std::string* error);
  void Release();

 private:
  FileSystem* fs_ = nullptr;
  std::string path_;
};

// The key of the lock files for a pair (exposed for tests).
std::string PairLockKey(const PairState& pair);

}  // namespace tavrik
