#include "core/state/pair_state.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

#include "core/fs/paths.h"

namespace tavrik {

namespace {

bool IsPairId(std::string_view name) {
  if (name.size() != 32) return false;
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

constexpr const char* kForgottenSuffix = ".forgotten";

std::string Folder(const std::string& root) { return AddBackslash(root) + kStateFolder; }

// What one root's state folder holds: the header of each pair file, or why it cannot be read.
struct Listed {
  std::string id;
  StateRead read = StateRead::kOk;
  StateHeader header;
};

std::vector<Listed> ListStates(FileSystem& fs, const std::string& root) {
  std::vector<Listed> found;
  const std::string folder = Folder(root);
  int fd = fs.OpenAt(AT_FDCWD, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return found;
  std::unique_ptr<DirStream> dir = fs.OpenDir(fd);
  if (!dir) return found;
  std::vector<std::string> names;
  const char* name = nullptr;
  while (fs.ReadDir(*dir, &name) == 1)
    if (IsPairId(name)) names.emplace_back(name);
  dir.reset();
  std::sort(names.begin(), names.end());
  SideState side;
  for (const std::string& id : names) {
    Listed item;
    item.id = id;
    item.read = ReadStateFile(fs, folder + "/" + id, &side, true);
    item.header = side.header;
    if (item.read == StateRead::kOk && item.header.pair_id != id)
      item.read = StateRead::kUnreadable;
    if (item.read != StateRead::kMissing) found.push_back(std::move(item));
  }
  return found;
}

const Listed* FindId(const std::vector<Listed>& listed, const std::string& id) {
  for (const Listed& item : listed)
    if (item.id == id) return &item;
  return nullptr;
}

std::string WithFile(const char* text, const std::string& path) {
  std::string out = text;
  const size_t at = out.find("%s");
  if (at != std::string::npos) out.replace(at, 2, path);
  return out;
}

TrustVerdict Verdict(Trust trust, std::string reason) { return {trust, std::move(reason)}; }

// The verdict on a file that is not kOk.
TrustVerdict FileVerdict(StateRead read, const std::string& path) {
  if (read == StateRead::kNewer) return Verdict(Trust::kNewer, WithFile(kWhyNewer, path));
  return Verdict(Trust::kUnreadable, WithFile(kWhyUnreadable, path));
}

}  // namespace

std::string NewStateId() {
  static thread_local std::random_device device;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id;
  id.reserve(32);
  for (int i = 0; i < 4; ++i) {
    uint32_t word = device();
    for (int k = 0; k < 8; ++k) {
      id += kHex[word & 15];
      word >>= 4;
    }
  }
  return id;
}

std::string StateFilePath(const std::string& root, const std::string& pair_id) {
  return Folder(root) + "/" + pair_id;
}

TrustVerdict LoadPairState(FileSystem& left_fs, const std::string& left_root, FileSystem& right_fs,
                           const std::string& right_root, PairState* state,
                           const std::atomic<bool>* cancel, const std::function<void()>& between) {
  *state = PairState();
  if (!IdentityOfRoot(left_fs, left_root, &state->left_identity, &state->left_stable_inodes) ||
      !IdentityOfRoot(right_fs, right_root, &state->right_identity, &state->right_stable_inodes))
    return Verdict(Trust::kNoIdentity, kWhyNoIdentity);
  // The same folder on both sides has no pair.
  if (state->left_identity == state->right_identity)
    return Verdict(Trust::kNoIdentity, kWhyNoIdentity);
  const std::vector<Listed> left = ListStates(left_fs, left_root);
  const std::vector<Listed> right = ListStates(right_fs, right_root);
  // The pair: a file in one root that names the other root as its peer; a file of the same
  // id in the other root belongs to it too, whatever it says (a copied or restored root).
  std::string id;
  for (const Listed& item : left)
    if (item.read == StateRead::kOk && item.header.peer == state->right_identity) {
      id = item.id;
      if (FindId(right, id)) break;
    }
  if (id.empty() || !FindId(right, id)) {
    for (const Listed& item : right)
      if (item.read == StateRead::kOk && item.header.peer == state->left_identity) {
        if (id.empty() || FindId(left, item.id)) id = item.id;
        if (FindId(left, id)) break;
      }
  }
  if (id.empty()) {
    // No file names the other root: a file that cannot be read might; say so.
    for (const auto* side : {&left, &right})
      for (const Listed& item : *side)
        if (item.read != StateRead::kOk) {
          const std::string& root = side == &left ? left_root : right_root;
          return FileVerdict(item.read, StateFilePath(root, item.id));
        }
    return Verdict(Trust::kFirstRun, kWhyFirstRun);
  }
  const Listed* l = FindId(left, id);
  const Listed* r = FindId(right, id);
  // A file that cannot be read stays as it is: the next save makes the pair anew beside it.
  if (l && l->read != StateRead::kOk) return FileVerdict(l->read, StateFilePath(left_root, id));
  if (r && r->read != StateRead::kOk) return FileVerdict(r->read, StateFilePath(right_root, id));
  // A root that is not the one the pair was saved with (a copy, a restored folder) gets a
  // pair of its own at the next save, so the files of the true pair stay as they are.
  const bool left_same = !l || (l->header.identity == state->left_identity &&
                                (!r || r->header.peer == state->left_identity));
  const bool right_same = !r || (r->header.identity == state->right_identity &&
                                 (!l || l->header.peer == state->right_identity));
  if (!left_same) return Verdict(Trust::kIdentityLeft, kWhyIdentityLeft);
  if (!right_same) return Verdict(Trust::kIdentityRight, kWhyIdentityRight);
  state->pair_id = id;
  // A file an undo set aside says why it is missing.
  auto forgotten = [&](FileSystem& fs, const std::string& root) {
    struct stat st {};
    return fs.StatAt(AT_FDCWD, (StateFilePath(root, id) + kForgottenSuffix).c_str(), &st,
                     AT_SYMLINK_NOFOLLOW) == 0;
  };
  if (!l || !r) {
    if (forgotten(left_fs, left_root) || forgotten(right_fs, right_root))
      return Verdict(Trust::kForgotten, kWhyForgotten);
    return !l ? Verdict(Trust::kLostLeft, kWhyLostLeft) : Verdict(Trust::kLostRight, kWhyLostRight);
  }
  if (l->header.generation != r->header.generation)
    return Verdict(Trust::kGeneration, kWhyGeneration);
  // The whole files now; either may have changed or broken since the headers were read.
  const std::string left_path = StateFilePath(left_root, id);
  const std::string right_path = StateFilePath(right_root, id);
  StateRead read = ReadStateFile(left_fs, left_path, &state->left, false, nullptr, nullptr, cancel);
  if (read != StateRead::kOk) {
    state->left.entries.Clear();
    state->pair_id.clear();
    return FileVerdict(read, left_path);
  }
  if (between) between();
  read = ReadStateFile(right_fs, right_path, &state->right, false, nullptr, &state->left.entries,
                       cancel);
  if (read != StateRead::kOk) {
    state->left.entries.Clear();
    state->right.entries.Clear();
    state->pair_id.clear();
    return FileVerdict(read, right_path);
  }
  if (state->left.header.generation != state->right.header.generation) {
    state->left.entries.Clear();
    state->right.entries.Clear();
    return Verdict(Trust::kGeneration, kWhyGeneration);
  }
  state->generation = state->left.header.generation;
  return Verdict(Trust::kTrusted, {});
}

namespace {

// One root's part of a save.
struct SaveSide {
  FileSystem* fs = nullptr;
  std::string root;
  Fd dir;
  std::string temp;
  bool written = false;
  bool had_old = false;  // the pair's file was there before and went to ".prev"
  bool placed = false;   // the new file took its place
};

bool OpenStateFolder(SaveSide& side) {
  FileSystem& fs = *side.fs;
  const std::string folder = Folder(side.root);
  if (fs.MkdirAt(AT_FDCWD, folder.c_str(), 0755) != 0 && errno != EEXIST) return false;
  side.dir =
      Fd(fs, fs.OpenAt(AT_FDCWD, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
  return side.dir.get() >= 0;
}

// Puts the side back as it was before the save.
void Undo(SaveSide& side, const std::string& id) {
  if (!side.fs) return;
  FileSystem& fs = *side.fs;
  const std::string prev = id + ".prev";
  if (side.placed) {
    if (side.had_old)
      fs.RenameAt(side.dir.get(), prev.c_str(), side.dir.get(), id.c_str());
    else
      fs.UnlinkAt(side.dir.get(), id.c_str(), 0);
  } else if (side.had_old) {
    fs.RenameAt(side.dir.get(), prev.c_str(), side.dir.get(), id.c_str());
  }
  if (side.written && !side.placed) fs.UnlinkAt(side.dir.get(), side.temp.c_str(), 0);
}

std::string SaveError(const std::string& root, int error) {
  return "Der gemeinsame Stand konnte in '" + root +
         "' nicht gespeichert werden: " + std::strerror(error) + " (" + std::to_string(error) + ")";
}

}  // namespace

bool SavePairState(FileSystem& left_fs, const std::string& left_root, FileSystem& right_fs,
                   const std::string& right_root, PairState& state, std::string* error) {
  RootIdentity left_id, right_id;
  bool left_stable = false, right_stable = false;
  if (!IdentityOfRoot(left_fs, left_root, &left_id, &left_stable) ||
      !IdentityOfRoot(right_fs, right_root, &right_id, &right_stable)) {
    if (error) *error = kWhyNoIdentity;
    return false;
  }
  const std::string id = state.pair_id.empty() ? NewStateId() : state.pair_id;
  const std::string generation = NewStateId();
  auto fill = [&](SideState& side, char letter, const std::string& root, const RootIdentity& self,
                  const RootIdentity& peer, bool stable) {
    StateHeader& h = side.header;
    h.format = kStateFormat;
    h.pair_id = id;
    h.generation = generation;
    h.side = letter;
    h.root = root;
    h.identity = self;
    h.peer = peer;
    h.stable_inodes = stable;
  };
  fill(state.left, 'L', left_root, left_id, right_id, left_stable);
  fill(state.right, 'R', right_root, right_id, left_id, right_stable);
  SaveSide sides[2];
  sides[0].fs = &left_fs;
  sides[0].root = left_root;
  sides[1].fs = &right_fs;
  sides[1].root = right_root;
  const SideState* contents[2] = {&state.left, &state.right};
  const std::string temp = id + ".tmp-" + std::to_string(OwnProcessId());
  const std::string prev = id + ".prev";
  // A failure puts both roots back as they were (Undo goes by what each side did so far).
  const auto put_back = [&](const SaveSide& side) {
    const int failed = errno;
    for (SaveSide& s : sides) Undo(s, id);
    if (error) *error = SaveError(side.root, failed);
    return false;
  };
  // Phase one: both new files written and flushed under their temporary names.
  for (int i = 0; i < 2; ++i) {
    SaveSide& side = sides[i];
    side.temp = temp;
    if (!OpenStateFolder(side)) return put_back(side);
    FileSystem& fs = *side.fs;
    fs.UnlinkAt(side.dir.get(), temp.c_str(), 0);  // left by a run that died here
    if (WriteStateFile(fs, side.dir.get(), temp.c_str(), *contents[i]) != 0) return put_back(side);
    side.written = true;
  }
  // Phase two: each old file steps aside, each new one takes its place.
  for (SaveSide& side : sides) {
    FileSystem& fs = *side.fs;
    struct stat st {};
    if (fs.StatAt(side.dir.get(), id.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (fs.RenameAt(side.dir.get(), id.c_str(), side.dir.get(), prev.c_str()) != 0)
        return put_back(side);
      side.had_old = true;
    }
    if (fs.RenameAt(side.dir.get(), temp.c_str(), side.dir.get(), id.c_str()) != 0)
      return put_back(side);
    side.placed = true;
  }
  const std::string forgotten = id + kForgottenSuffix;
  for (SaveSide& side : sides) {
    side.fs->UnlinkAt(side.dir.get(), forgotten.c_str(), 0);
    side.fs->SyncData(side.dir.get());  // the renames; a hint only
  }
  state.pair_id = id;
  state.generation = generation;
  state.left_identity = left_id;
  state.right_identity = right_id;
  state.left_stable_inodes = left_stable;
  state.right_stable_inodes = right_stable;
  return true;
}

int ForgetPairStates(FileSystem& fs, const std::string& root) {
  const std::string folder = Folder(root);
  Fd dir_fd(fs,
            fs.OpenAt(AT_FDCWD, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
  if (dir_fd.get() < 0) return errno == ENOENT ? 0 : -1;
  std::vector<std::string> names;
  {
    int listing = fs.OpenAt(dir_fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return -1;
    std::unique_ptr<DirStream> dir = fs.OpenDir(listing);
    if (!dir) return -1;
    const char* name = nullptr;
    while (fs.ReadDir(*dir, &name) == 1)
      if (IsPairId(name)) names.emplace_back(name);
  }
  int forgotten = 0;
  int failed = 0;
  for (const std::string& id : names) {
    const std::string aside = id + kForgottenSuffix;
    if (fs.RenameAt(dir_fd.get(), id.c_str(), dir_fd.get(), aside.c_str()) == 0)
      ++forgotten;
    else if (errno != ENOENT)
      failed = errno;
  }
  if (failed != 0) {
    errno = failed;
    return -1;
  }
  return forgotten;
}

}  // namespace tavrik
