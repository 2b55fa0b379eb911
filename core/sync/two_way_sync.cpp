#include "core/sync/two_way_sync.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/fs/error_text.h"
#include "core/fs/folder_walk.h"
#include "core/fs/no_replace.h"
#include "core/fs/paths.h"
#include "core/state/pair_state.h"
#include "core/sync/versions.h"

namespace tavrik {

namespace {

std::string ParentOf(std::string_view rel) {
  const size_t cut = rel.rfind(kSep);
  return cut == std::string_view::npos ? std::string() : std::string(rel.substr(0, cut));
}

// The row's names for the move's two rows, as the list holds them.
struct Names {
  std::unordered_map<std::string, int> left_only, right_only, both;
};

std::string BothKey(std::string_view left, std::string_view right) {
  std::string key(left);
  key.push_back('\0');
  key += right;
  return key;
}

Names RowNames(const ComparisonList& list) {
  Names names;
  for (int i = 1; i <= list.RowCount(); ++i) {
    // Only rows marked for a copy or a deletion can be half of a move.
    const Mark mark = list.GetMark(i);
    if (mark != Mark::kCopyRight && mark != Mark::kCopyLeft && mark != Mark::kDeleteLeft &&
        mark != Mark::kDeleteRight)
      continue;
    const std::string_view left = list.LeftName(i);
    const std::string_view right = list.RightName(i);
    if (right.empty())
      names.left_only.emplace(std::string(left), i);
    else if (left.empty())
      names.right_only.emplace(std::string(right), i);
    else
      names.both.emplace(BothKey(left, right), i);
  }
  return names;
}

int Find(const std::unordered_map<std::string, int>& map, const std::string& key) {
  const auto it = map.find(key);
  return it == map.end() ? 0 : it->second;
}

// A file is still the one the comparison saw: size and time, and the inode where known.
bool StillAsSeen(const struct stat& st, const MovePair& move) {
  return st.st_size == move.from_stamp.size && st.st_mtim.tv_sec == move.from_stamp.mtime_sec &&
         st.st_mtim.tv_nsec == move.from_stamp.mtime_nsec &&
         (move.from_ino == 0 || static_cast<uint64_t>(st.st_ino) == move.from_ino);
}

// The entry a file has in the state, from an attribute query made after its row.
// Under the follow policy a link stands for what it leads to, as the fill read it.
bool FreshEntry(FileSystem& fs, const std::string& full, bool stable_inodes, bool follow,
                StateEntry* entry) {
  struct stat st {};
  if (fs.StatAt(AT_FDCWD, full.c_str(), &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return false;
  entry->size = st.st_size;
  entry->mtime_sec = FitStateSeconds(st.st_mtim.tv_sec);
  entry->mtime_nsec = static_cast<int32_t>(st.st_mtim.tv_nsec);
  entry->kind = S_ISLNK(st.st_mode) ? StateKind::kLink : StateKind::kFile;
  entry->ino = stable_inodes ? static_cast<uint64_t>(st.st_ino) : 0;
  entry->flags = 0;
  return true;
}

// One side's new entries: the old ones less those this run replaced or dropped, and the new.
class SideBuilder {
 public:
  SideBuilder(const SideState& old, std::string_view root, bool stable_inodes, bool follow)
      : old_(old.entries),
        root_(root),
        stable_(stable_inodes),
        follow_(follow),
        drop_(old.entries.size(), false) {}

  void Drop(std::string_view path) {
    if (path.empty()) return;
    if (const StateEntry* e = old_.Find(path)) drop_[static_cast<size_t>(e - &old_[0])] = true;
    if (const StateEntry* e = old_.FindPairing(path))
      drop_[static_cast<size_t>(e - &old_[0])] = true;
  }
  void Fresh(std::string_view path) {
    if (path.empty()) return;
    Drop(path);
    StateEntry entry;
    if (FreshEntry(*fs_, JoinPath(root_, path), stable_, follow_, &entry)) added_.Add(path, entry);
  }
  void SetFs(FileSystem* fs) { fs_ = fs; }

  // The kept entries point at the old entries' paths (no path is copied), the new ones are
  // added to the same buffer.
  StateEntries Build() {
    StateEntries out;
    out.ShareNamesWith(old_);
    size_t added_bytes = 0;
    for (size_t i = 0; i < added_.size(); ++i) added_bytes += added_.Path(i).size();
    out.Reserve(old_.size() + added_.size(), added_bytes);
    for (size_t i = 0; i < old_.size(); ++i) {
      if (drop_[i] || (old_[i].flags & kEntryGoneBoth)) continue;
      StateEntry entry = old_[i];
      entry.flags = 0;
      out.AddPathOf(old_[i], entry);
    }
    for (size_t i = 0; i < added_.size(); ++i) out.Add(added_.Path(i), added_[i]);
    if (!added_.empty()) out.Sort();
    return out;
  }

 private:
  const StateEntries& old_;
  std::string_view root_;
  bool stable_;
  bool follow_;
  std::vector<bool> drop_;
  StateEntries added_;
  FileSystem* fs_ = nullptr;
};

}  // namespace

MovePlan::MovePlan(const ComparisonList& list, const TwoWaySession& session) {
  if (!session.active || !session.trusted || session.moves.empty()) return;
  const Names names = RowNames(list);
  for (const MovePair& move : session.moves) {
    const bool right = move.side == 'R';
    // The copy of the new name towards the side that has the old one, and its deletion there.
    const Mark copy = right ? Mark::kCopyRight : Mark::kCopyLeft;
    const Mark remove = right ? Mark::kDeleteRight : Mark::kDeleteLeft;
    if (move.case_only) {
      const int pos =
          Find(names.both, right ? BothKey(move.to, move.from) : BothKey(move.from, move.to));
      if (pos != 0 && list.GetMark(pos) == copy) by_row_[pos] = {&move, pos, false, -1};
      continue;
    }
    const int to = Find(right ? names.left_only : names.right_only, move.to);
    const int from = Find(right ? names.right_only : names.left_only, move.from);
    if (to == 0 || from == 0 || list.GetMark(to) != copy || list.GetMark(from) != remove) continue;
    if (by_row_.count(to) || by_row_.count(from)) continue;
    by_row_[to] = {&move, from, false, -1};
    by_row_[from] = {&move, to, false, -1};
  }
  FindFolderMoves(list);
}

namespace {

// The folders of from and to above their common tail of whole components (f/x/y.txt and
// g/x/y.txt: f and g); false where the tail is the whole of either or nothing.
bool FolderPair(std::string_view from, std::string_view to, std::string* from_dir,
                std::string* to_dir) {
  size_t k = 0;
  while (k < from.size() && k < to.size() && from[from.size() - 1 - k] == to[to.size() - 1 - k])
    ++k;
  size_t fs = from.size() - k, ts = to.size() - k;
  while (k > 0 && !(fs > 0 && from[fs - 1] == kSep && ts > 0 && to[ts - 1] == kSep)) {
    ++fs;
    ++ts;
    --k;
  }
  if (k == 0 || fs < 2 || ts < 2) return false;
  *from_dir = std::string(from.substr(0, fs - 1));
  *to_dir = std::string(to.substr(0, ts - 1));
  const auto inside = [](const std::string& a, const std::string& b) {
    return a == b || (a.size() > b.size() && a.compare(0, b.size(), b) == 0 && a[b.size()] == kSep);
  };
  return !inside(*from_dir, *to_dir) && !inside(*to_dir, *from_dir);
}

}  // namespace

void MovePlan::FindFolderMoves(const ComparisonList& list) {
  std::unordered_map<std::string, size_t> index;
  std::unordered_map<int, bool> seen;
  for (const auto& [pos, item] : by_row_) {
    const MovePair& move = *item.move;
    if (move.case_only || seen.count(item.twin)) continue;
    seen[pos] = true;
    std::string from_dir, to_dir;
    if (!FolderPair(move.from, move.to, &from_dir, &to_dir)) continue;
    std::string key(1, move.side);
    key += from_dir + '\0' + to_dir;
    auto [it, fresh] = index.emplace(key, folders_.size());
    if (fresh) folders_.push_back({move.side, from_dir, to_dir, {}, {}, false});
    folders_[it->second].moves.push_back(&move);
    folders_[it->second].rows.push_back(pos);
    folders_[it->second].rows.push_back(item.twin);
  }
  if (folders_.empty()) return;
  // A folder qualifies when its side's rows below it are exactly its moves' old names.
  std::unordered_map<std::string, int64_t> below[2];
  for (const FolderMove& f : folders_) below[f.side == 'R'][f.from] = 0;
  for (int i = 1; i <= list.RowCount(); ++i) {
    for (int r = 0; r < 2; ++r) {
      const std::string_view name = r ? list.RightName(i) : list.LeftName(i);
      for (size_t cut = name.find(kSep); cut != std::string_view::npos;
           cut = name.find(kSep, cut + 1)) {
        const auto it = below[r].find(std::string(name.substr(0, cut)));
        if (it != below[r].end()) ++it->second;
      }
    }
  }
  for (size_t g = 0; g < folders_.size(); ++g) {
    const FolderMove& f = folders_[g];
    if (f.moves.size() < 2 || below[f.side == 'R'][f.from] != static_cast<int64_t>(f.moves.size()))
      continue;
    for (int pos : f.rows) by_row_[pos].folder = static_cast<int>(g);
  }
}

MovePlan::FolderMove* MovePlan::FolderOf(int pos) {
  const auto it = by_row_.find(pos);
  if (it == by_row_.end() || it->second.folder < 0) return nullptr;
  FolderMove& folder = folders_[static_cast<size_t>(it->second.folder)];
  return folder.tried ? nullptr : &folder;
}

const MovePair* MovePlan::At(int pos, int* twin) const {
  const auto it = by_row_.find(pos);
  if (it == by_row_.end()) return nullptr;
  *twin = it->second.twin;
  return it->second.move;
}

void MovePlan::Done(int pos) {
  const auto it = by_row_.find(pos);
  if (it == by_row_.end()) return;
  it->second.done = true;
  const auto twin = by_row_.find(it->second.twin);
  if (twin != by_row_.end()) twin->second.done = true;
}

bool MovePlan::IsDone(int pos) const {
  const auto it = by_row_.find(pos);
  return it != by_row_.end() && it->second.done;
}

namespace {

// The root folder, open, when it is still the folder the fill scanned (root_id, where known);
// a failure names full.
Result<Fd> OpenRootAsScanned(FileSystem& fs, std::string_view root, const RootId* root_id,
                             const std::string& full) {
  Fd root_dir(fs, fs.OpenAt(AT_FDCWD, std::string(root).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (root_dir.get() < 0) return ErrorAt(full);
  struct stat st {};
  if (root_id && root_id->known &&
      (fs.Fstat(root_dir.get(), &st) != 0 || st.st_dev != root_id->dev ||
       st.st_ino != root_id->ino))
    return Because(full, ENOENT, kWhyTargetRootGone);
  return root_dir;
}

}  // namespace

FsResult RenameMove(FileSystem& fs, std::string_view root, const RootId* root_id,
                    const MovePair& move, VersionFolder* versions, std::vector<std::string>* made,
                    FileStamp* after) {
  const std::string from_full = JoinPath(root, move.from);
  const std::string to_full = JoinPath(root, move.to);
  Result<Fd> root_dir = OpenRootAsScanned(fs, root, root_id, from_full);
  if (!root_dir.ok()) return root_dir.error();
  Result<Fd> from_dir = OpenRelParent(fs, root_dir.value().get(), move.from, from_full);
  if (!from_dir.ok()) return from_dir.error();
  const std::string from_leaf = LeafOfRel(move.from);
  const std::string to_leaf = LeafOfRel(move.to);
  struct stat st {};
  if (fs.StatAt(from_dir.value().get(), from_leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return ErrorAt(from_full);
  if (!StillAsSeen(st, move)) return Because(from_full, EAGAIN, kWhyChanged);
  std::vector<std::string> new_folders;
  Result<Fd> to_dir = OpenRelParent(fs, root_dir.value().get(), move.to, to_full, &new_folders);
  for (std::string& folder : new_folders) made->push_back(std::move(folder));
  if (!to_dir.ok()) return to_dir.error();
  if (versions) {
    FsResult noted = versions->Note({EntryKind::kMoved, move.from, {}, StampOf(st), move.to});
    if (!noted.ok()) return noted;
  }
  const int from_fd = from_dir.value().get();
  const int to_fd = to_dir.value().get();
  if (move.case_only) {
    // Where the medium ignores case the new name is the old one's: through a name of our own.
    const std::string temp = from_leaf + std::string(kTempPrefix) + std::to_string(::getpid());
    if (RenameNoReplace(fs, from_fd, from_leaf.c_str(), from_fd, temp.c_str()) != 0)
      return ErrorAt(from_full);
    if (RenameNoReplace(fs, from_fd, temp.c_str(), to_fd, to_leaf.c_str()) != 0) {
      const int code = errno;
      (void)fs.RenameAt(from_fd, temp.c_str(), from_fd, from_leaf.c_str());
      return code == EEXIST ? Because(to_full, EEXIST, kWhyNameTaken) : ErrorAt(to_full, code);
    }
  } else if (RenameNoReplace(fs, from_fd, from_leaf.c_str(), to_fd, to_leaf.c_str()) != 0) {
    return errno == EEXIST ? Because(to_full, EEXIST, kWhyNameTaken) : ErrorAt(to_full);
  }
  // A FAT driver in user space gives a renamed file the time of the rename.
  (void)KeepTimeOf(fs, to_fd, to_leaf, StampOf(st), to_full);
  *after = StampOf(st);
  return {};
}

namespace {

// Looks through the folder rel (open as dir): every entry is one of the files, each still as
// the comparison saw it, or a folder on their way. *checked counts the files met.
bool HoldsExactly(FileSystem& fs, int dir, const std::string& rel,
                  const std::unordered_map<std::string, const MovePair*>& files,
                  const std::unordered_map<std::string, bool>& folders, size_t* checked) {
  std::vector<std::string> names;
  if (ListNames(fs, dir, &names) != 0) return false;
  for (const std::string& name : names) {
    const std::string path = rel + kSep + name;
    if (const auto file = files.find(path); file != files.end()) {
      struct stat st {};
      if (fs.StatAt(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
          !StillAsSeen(st, *file->second))
        return false;
      ++*checked;
      continue;
    }
    if (!folders.count(path)) return false;
    Result<Fd> inner = OpenFolderStep(fs, dir, name, false, false, path, nullptr);
    if (!inner.ok() || !HoldsExactly(fs, inner.value().get(), path, files, folders, checked))
      return false;
  }
  return true;
}

}  // namespace

FsResult RenameFolderMove(FileSystem& fs, std::string_view root, const RootId* root_id,
                          const MovePlan::FolderMove& folder, VersionFolder* versions,
                          std::vector<std::string>* made) {
  const std::string from_full = JoinPath(root, folder.from);
  const std::string to_full = JoinPath(root, folder.to);
  Result<Fd> root_dir = OpenRootAsScanned(fs, root, root_id, from_full);
  if (!root_dir.ok()) return root_dir.error();
  Result<Fd> from_parent = OpenRelParent(fs, root_dir.value().get(), folder.from, from_full);
  if (!from_parent.ok()) return from_parent.error();
  const std::string from_leaf = LeafOfRel(folder.from);
  Result<Fd> from_dir =
      OpenFolderStep(fs, from_parent.value().get(), from_leaf, false, false, from_full, nullptr);
  if (!from_dir.ok()) return from_dir.error();
  std::unordered_map<std::string, const MovePair*> files;
  std::unordered_map<std::string, bool> folders;
  for (const MovePair* move : folder.moves) {
    files.emplace(move->from, move);
    for (std::string up = ParentOf(move->from); up.size() > folder.from.size(); up = ParentOf(up))
      folders.emplace(up, true);
  }
  size_t checked = 0;
  if (!HoldsExactly(fs, from_dir.value().get(), folder.from, files, folders, &checked) ||
      checked != files.size())
    return Because(from_full, EAGAIN, kWhyChanged);
  std::vector<std::string> new_folders;
  Result<Fd> to_parent =
      OpenRelParent(fs, root_dir.value().get(), folder.to, to_full, &new_folders);
  for (std::string& f : new_folders) made->push_back(std::move(f));
  if (!to_parent.ok()) return to_parent.error();
  if (versions) {
    for (const MovePair* move : folder.moves) {
      FsResult noted =
          versions->Note({EntryKind::kMoved, move->from, {}, move->from_stamp, move->to});
      if (!noted.ok()) return noted;
    }
  }
  const std::string to_leaf = LeafOfRel(folder.to);
  if (RenameNoReplace(fs, from_parent.value().get(), from_leaf.c_str(), to_parent.value().get(),
                      to_leaf.c_str()) != 0)
    return errno == EEXIST ? Because(to_full, EEXIST, kWhyNameTaken) : ErrorAt(to_full);
  return {};
}

void StateLedger::Equal(std::string_view left, std::string_view right) {
  rows_.push_back({std::string(left), std::string(right), true});
}

void StateLedger::EqualSeen(std::string_view left, std::string_view right,
                            const FileStamp* left_seen, const FileStamp* right_seen) {
  // The rows come in the list's order, their entries near each other's: searched from where
  // the last search ended.
  const auto same = [](const StateEntries& entries, std::string_view path, const FileStamp* seen,
                       size_t* hint) {
    const StateEntry* e = entries.FindNear(path, hint);
    return e && seen && e->size == seen->size && e->mtime_sec == seen->mtime_sec &&
           e->mtime_nsec == seen->mtime_nsec;
  };
  if (same(pair_.left.entries, left, left_seen, &left_hint_) &&
      same(pair_.right.entries, right, right_seen, &right_hint_))
    return;
  Equal(left, right);
}

void StateLedger::Gone(std::string_view left, std::string_view right) {
  rows_.push_back({std::string(left), std::string(right), false});
}

void StateLedger::Moved(const MovePair& move) {
  // The old name is gone on both sides (the other side renamed it first), the new one equal.
  rows_.push_back({move.from, move.from, false});
  rows_.push_back({move.to, move.to, true});
  Emptied(move.side, move.from);
}

void StateLedger::Emptied(char side, std::string_view rel) {
  const std::string parent = ParentOf(rel);
  if (!parent.empty()) emptied_.emplace_back(side, parent);
}

void StateLedger::RemoveEmptiedFolders(Context& ctx) {
  // Deepest first, and each folder's parents after it: a folder emptied of its only
  // subfolder goes too.
  std::vector<std::pair<char, std::string>> todo = emptied_;
  for (size_t i = 0; i < todo.size(); ++i) {
    std::string parent = ParentOf(todo[i].second);
    if (!parent.empty()) todo.emplace_back(todo[i].first, std::move(parent));
  }
  std::sort(todo.begin(), todo.end(), [](const auto& a, const auto& b) {
    const auto depth = [](const std::string& p) { return std::count(p.begin(), p.end(), kSep); };
    if (depth(a.second) != depth(b.second)) return depth(a.second) > depth(b.second);
    return a < b;
  });
  todo.erase(std::unique(todo.begin(), todo.end()), todo.end());
  for (const auto& [side, rel] : todo) {
    const bool left = side == 'L';
    const RootPath& root = left ? ctx.state.left_root : ctx.state.right_root;
    const RootPath& other = left ? ctx.state.right_root : ctx.state.left_root;
    FileSystem& fs = left ? ctx.LeftFs() : ctx.RightFs();
    FileSystem& other_fs = left ? ctx.RightFs() : ctx.LeftFs();
    struct stat st {};
    if (other_fs.StatAt(AT_FDCWD, JoinPath(other, rel).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
      continue;
    Fd root_dir(fs, fs.OpenAt(AT_FDCWD, root.str().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (root_dir.get() < 0) continue;
    Result<Fd> parent = OpenRelParent(fs, root_dir.get(), rel, JoinPath(root, rel));
    if (!parent.ok()) continue;
    // Only an empty folder goes: rmdir refuses any other.
    (void)fs.UnlinkAt(parent.value().get(), LeafOfRel(rel).c_str(), AT_REMOVEDIR);
  }
}

namespace {

bool SameEntries(const StateEntries& a, const StateEntries& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const StateEntry& x = a[i];
    const StateEntry& y = b[i];
    if (x.size != y.size || x.mtime_sec != y.mtime_sec || x.mtime_nsec != y.mtime_nsec ||
        x.ino != y.ino || x.kind != y.kind || a.Path(i) != b.Path(i))
      return false;
  }
  return true;
}

bool SameSide(const SideState& a, const SideState& b) {
  return a.header.follow_links == b.header.follow_links &&
         a.header.shift_seconds == b.header.shift_seconds && SameEntries(a.entries, b.entries);
}

bool AnyGoneOnBothSides(const StateEntries& entries) {
  for (size_t i = 0; i < entries.size(); ++i)
    if (entries[i].flags & kEntryGoneBoth) return true;
  return false;
}

// The pair without its entries, for the save to fill in.
PairState WithoutEntries(const PairState& pair) {
  PairState out;
  out.pair_id = pair.pair_id;
  out.generation = pair.generation;
  out.left_identity = pair.left_identity;
  out.right_identity = pair.right_identity;
  out.left_stable_inodes = pair.left_stable_inodes;
  out.right_stable_inodes = pair.right_stable_inodes;
  out.left.header = pair.left.header;
  out.right.header = pair.right.header;
  return out;
}

}  // namespace

bool StateLedger::Save(Context& ctx, std::string* error) {
  PairState& pair = ctx.state.two_way.state;
  const bool follow = ctx.state.follow_links;
  // The policy and the hour shift the entries were read under.
  const RunNotes& notes = ctx.state.notes;
  const int64_t left_shift = notes.shifted_side == 1 ? notes.shift_hours * 3600 : 0;
  const int64_t right_shift = notes.shifted_side == 2 ? notes.shift_hours * 3600 : 0;
  // A run that changed nothing the state holds (the pair was in line) leaves both roots at
  // the generation they share: rewriting two large files would only wear the medium.
  const bool trusted = ctx.state.two_way.trusted && !pair.pair_id.empty();
  if (trusted && rows_.empty() && pair.left.header.follow_links == follow &&
      pair.right.header.follow_links == follow && pair.left.header.shift_seconds == left_shift &&
      pair.right.header.shift_seconds == right_shift && !AnyGoneOnBothSides(pair.left.entries) &&
      !AnyGoneOnBothSides(pair.right.entries))
    return true;
  SideBuilder left(pair.left, ctx.state.left_root.str(), pair.left_stable_inodes, follow);
  SideBuilder right(pair.right, ctx.state.right_root.str(), pair.right_stable_inodes, follow);
  left.SetFs(&ctx.LeftFs());
  right.SetFs(&ctx.RightFs());
  for (const Row& row : rows_) {
    if (row.equal) {
      left.Fresh(row.left);
      right.Fresh(row.right);
    } else {
      left.Drop(row.left.empty() ? row.right : row.left);
      right.Drop(row.right.empty() ? row.left : row.right);
    }
  }
  PairState saved = WithoutEntries(pair);
  saved.left.entries = left.Build();
  saved.right.entries = right.Build();
  saved.left.header.follow_links = saved.right.header.follow_links = follow;
  saved.left.header.shift_seconds = left_shift;
  saved.right.header.shift_seconds = right_shift;
  // Rows whose files ended as the state holds them change nothing either.
  if (trusted && SameSide(pair.left, saved.left) && SameSide(pair.right, saved.right)) {
    rows_.clear();
    return true;
  }
  if (!SavePairState(ctx.LeftFs(), ctx.state.left_root.str(), ctx.RightFs(),
                     ctx.state.right_root.str(), saved, error))
    return false;
  // A later sync of the same comparison (rows skipped now, marked anew) starts from this.
  pair = std::move(saved);
  rows_.clear();
  return true;
}

}  // namespace tavrik
