// What a folder holds, entry by entry: kind, content hash, size, modification time, inode
// and mode (links by their target text). Two snapshots taken around a run show exactly
// which entries it added, removed or changed, so a test can prove that nothing was lost.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace tavrik::testing {

struct EntryState {
  char kind = '?';  // 'f' file, 'd' folder, 'l' link, 'p' FIFO
  uint64_t hash = 0;
  int64_t size = 0;
  int64_t mtime_sec = 0;
  long mtime_nsec = 0;
  uint64_t inode = 0;
  unsigned mode = 0;
  std::string link;
  bool operator==(const EntryState&) const = default;
};

using Snapshot = std::map<std::string, EntryState>;

inline uint64_t HashFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  uint64_t hash = 1469598103934665603ull;  // FNV-1a
  char c;
  while (in.get(c)) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return hash;
}

inline EntryState StateOf(const std::string& path, const struct stat& st) {
  EntryState e;
  e.inode = st.st_ino;
  e.mode = st.st_mode & 07777;
  if (S_ISDIR(st.st_mode)) {
    e.kind = 'd';  // a folder's time changes with every entry made in it; not compared
    return e;
  }
  e.size = st.st_size;
  e.mtime_sec = st.st_mtim.tv_sec;
  e.mtime_nsec = st.st_mtim.tv_nsec;
  if (S_ISLNK(st.st_mode)) {
    e.kind = 'l';
    char target[4096];
    ssize_t n = readlink(path.c_str(), target, sizeof target);
    if (n > 0) e.link.assign(target, static_cast<size_t>(n));
    return e;
  }
  if (S_ISFIFO(st.st_mode)) {
    e.kind = 'p';
    return e;
  }
  e.kind = 'f';
  e.hash = HashFile(path);
  return e;
}

// Every entry below folder (dot names included, links not followed), by relative path.
inline void AddEntries(const std::string& folder, const std::string& prefix, Snapshot& out) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  while (struct dirent* d = readdir(dir)) {
    std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    std::string path = folder + "/" + name;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) continue;
    out[prefix + name] = StateOf(path, st);
    if (S_ISDIR(st.st_mode)) AddEntries(path, prefix + name + "/", out);
  }
  closedir(dir);
}

inline Snapshot TakeSnapshot(const std::string& folder) {
  Snapshot snap;
  AddEntries(folder, "", snap);
  return snap;
}

// The relative paths whose entry was added, removed or changed, in path order.
// The snapshot without the entries whose relative path begins with skip (a test's own
// output files, say).
inline Snapshot TakeSnapshotWithout(const std::string& folder, const std::string& skip) {
  Snapshot snap = TakeSnapshot(folder);
  for (auto it = snap.begin(); it != snap.end();)
    it = it->first.rfind(skip, 0) == 0 ? snap.erase(it) : std::next(it);
  return snap;
}

inline std::vector<std::string> Changes(const Snapshot& before, const Snapshot& after) {
  std::vector<std::string> changed;
  for (const auto& [path, state] : before) {
    auto it = after.find(path);
    if (it == after.end() || !(it->second == state)) changed.push_back(path);
  }
  for (const auto& [path, state] : after)
    if (!before.count(path)) changed.push_back(path);
  std::sort(changed.begin(), changed.end());
  return changed;
}

}  // namespace tavrik::testing
