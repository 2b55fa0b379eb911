// The state file: what a two-way run found in line at its end, kept in each root so the
// next comparison can tell "new here" from "deleted there" and "newer" from "changed on both
// sides". One file per pair, <root>/.tavrik-state/<pair id>, a text file of lines ending in
// "\n":
//
//   tavrik-state 1                      the format; a reader refuses a higher number
//   pair <pair id>                      32 hex digits, made at the pair's first two-way sync
//   generation <generation id>          32 hex digits, new at every save, the same in both roots
//   side L|R                            which side of the pair this root was
//   root <path>                         the root's path when saved, for messages only
//   identity <identity>                 this root (core/state/root_identity.h):
//                                         "ino <volume> <inode>" or "path <volume> <below>"
//   peer <identity>                     the other root of the pair
//   shift <seconds>                     the hour shift of a FAT root in force (0: none)
//   links keep|follow                   the link policy in force
//   inodes 0|1                          1: this root's inode numbers are stable
//   e <kind> <size> <sec> <nsec> <ino> <path>
//   ...                                 one line per entry, sorted by the path's bytes
//   end <number of entries>
//
// An entry: kind "f" (a file) or "l" (a link), size in bytes, modification time as this side
// reports it (seconds and nanoseconds), the inode ("-" where unknown or not stable) and the
// path below the root. Paths and the root are percent-escaped (core/fs/percent_escape.h: every
// control byte, DEL, blank and "%"), so any name fits in one field and the path is the rest
// of the line. A file whose lines break off before "end", whose count differs, whose header
// lacks a line, or that holds a path that is not a clean relative path (empty, beginning with
// "/", with an empty, "." or ".." component) is unreadable and is never trusted.
//
// The file is read in blocks of 1 MiB and its entries are kept in one vector sorted by path,
// the paths back to back in one buffer: a state of 200,000 files costs about 40 bytes per
// entry beyond its path.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/fs/file_system.h"
#include "core/state/root_identity.h"

namespace tavrik {

inline constexpr int kStateFormat = 1;
// The folder in each root that holds the state files and the locks; no scan lists it.
inline constexpr const char* kStateFolder = ".tavrik-state";

// In the file "f" and "l".
enum class StateKind : uint8_t { kFile = 0, kLink = 1 };

// The comparison's notes on an entry, for the save that follows.
inline constexpr uint8_t kEntryRow = 1;       // a row of the list stands for it
inline constexpr uint8_t kEntryKept = 2;      // missing, but a guard keeps it: save it as it is
inline constexpr uint8_t kEntryGoneBoth = 4;  // gone on both sides: the next save drops it

// The seconds of an entry's time are kept in 56 bits, more than a billion years either way.
inline constexpr int64_t kStateSecondsMax = (int64_t{1} << 55) - 1;
inline constexpr int64_t kStateSecondsMin = -(int64_t{1} << 55);
// A time beyond them is kept as the nearest one that fits: never the file's own, so the file
// always reads as changed, never as unchanged.
inline int64_t FitStateSeconds(int64_t sec) {
  return sec > kStateSecondsMax   ? kStateSecondsMax
         : sec < kStateSecondsMin ? kStateSecondsMin
                                  : sec;
}

// One entry of a side's state, in 32 bytes: a large pair holds hundreds of thousands on each
// side. The path lives in the entries' name buffer, its length before it.
struct StateEntry {
  int64_t size = 0;
  uint64_t ino = 0;  // 0: unknown
  int64_t mtime_sec : 56 = 0;
  StateKind kind : 1 = StateKind::kFile;
  // What the last comparison found of the entry (kEntry* bits; never written to the file).
  mutable uint8_t flags : 3 = 0;
  uint32_t path_offset = 0;
  int32_t mtime_nsec = 0;
};
static_assert(sizeof(StateEntry) == 32, "a state entry must stay small");

// The entries of one side, sorted by the bytes of their paths.
class StateEntries {
 public:
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const StateEntry& operator[](size_t i) const { return entries_[i]; }
  StateEntry& operator[](size_t i) { return entries_[i]; }
  std::string_view Path(size_t i) const { return PathOf(entries_[i]); }
  std::string_view PathOf(const StateEntry& e) const {
    // The length is a base-128 number, low digits first, each byte but the last with its
    // high bit set: one byte for the paths of nearly every tree.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(names_->data()) + e.path_offset;
    size_t length = *p & 0x7f;
    for (int shift = 7; *p++ & 0x80; shift += 7) length |= static_cast<size_t>(*p & 0x7f) << shift;
    return {reinterpret_cast<const char*>(p), length};
  }
  // From now on the paths go into other's buffer, and a path other holds already is not
  // stored twice (AddPathOf): the two sides of a pair mostly hold the same paths.
  void ShareNamesWith(const StateEntries& other) { names_ = other.names_; }
  // Appends an entry whose path is that of other's entry e (their buffers shared).
  void AddPathOf(const StateEntry& e, const StateEntry& entry);
  // Appends; Sort must follow unless the paths came in order.
  void Add(std::string_view path, const StateEntry& entry);
  void Reserve(size_t entries, size_t name_bytes);
  void Sort();
  // Sorted and without two entries of the same path.
  bool Ordered() const;
  // The entry of exactly this path, or nullptr.
  const StateEntry* Find(std::string_view path) const;
  // The same, searching from *hint (the place of the last path looked up, updated): cheap
  // when the paths asked for lie near each other, as the rows of one folder do.
  const StateEntry* FindNear(std::string_view path, size_t* hint) const;
  // The entry whose path pairs with path as rows pair (without regard to case and Unicode
  // composition), exact bytes first; nullptr when none does. Builds an index at the first
  // call.
  const StateEntry* FindPairing(std::string_view path) const;
  void Clear();

 private:
  const std::shared_ptr<std::string>& Names() {
    if (!names_) names_ = std::make_shared<std::string>();
    return names_;
  }
  std::shared_ptr<std::string> names_ = std::make_shared<std::string>();
  std::vector<StateEntry> entries_;
  mutable std::vector<uint32_t> pairing_index_;  // open addressing, entry number + 1
};

struct StateHeader {
  int format = kStateFormat;
  std::string pair_id;
  std::string generation;
  char side = 'L';
  std::string root;
  RootIdentity identity;
  RootIdentity peer;
  int64_t shift_seconds = 0;
  bool follow_links = false;
  bool stable_inodes = false;
};

// One root's state file.
struct SideState {
  StateHeader header;
  StateEntries entries;
};

enum class StateRead {
  kOk,
  kMissing,     // no such file
  kUnreadable,  // cannot be read, broken, or holds a path that is not clean
  kNewer,       // written by a newer program (format above kStateFormat)
};

// Reads the state file at path (an absolute path); with header_only, stops before the
// entries. error gets the reason of kUnreadable, for the report. With same_paths (the other
// side's entries, read first), out shares its buffer of paths and stores only the paths
// same_paths lacks.
// A cancel flag set meanwhile ends the read between two blocks as kUnreadable.
StateRead ReadStateFile(FileSystem& fs, const std::string& path, SideState* out, bool header_only,
                        std::string* error = nullptr, StateEntries* same_paths = nullptr,
                        const std::atomic<bool>* cancel = nullptr);

// The same from text in memory, for tests and the reader's own checks.
StateRead ParseStateText(std::string_view text, SideState* out, std::string* error = nullptr);

// Writes the state as a new file name in the open folder dir (which must not hold it yet),
// flushed to the medium before it returns. 0, or -1 with errno set (the partial file is
// removed).
int WriteStateFile(FileSystem& fs, int dir, const char* name, const SideState& state);

// The text WriteStateFile writes.
std::string StateText(const SideState& state);

// True for a clean relative path: not empty, no leading or trailing "/", no empty, "." or ".."
// component, no NUL byte.
bool CleanRelativePath(std::string_view path);

}  // namespace tavrik
