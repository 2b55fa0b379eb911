#include "support/mem_file_system.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>
#include <thread>
#include <utility>

#include "core/fs/paths.h"

namespace tavrik {

struct MemFileSystem::Node {
  bool folder = false;
  bool link = false;  // a symbolic link; content holds its target text
  mode_t mode = 0644;
  uid_t uid = 0;
  gid_t gid = 0;
  ino_t ino = 0;
  nlink_t links = 1;
  struct timespec mtime {};
  struct timespec ctime {};
  std::string content;
  std::map<std::string, std::shared_ptr<Node>> children;
  std::map<std::string, std::string> xattrs;
  std::weak_ptr<Node> parent;
  // Set on the top folder of a mounted file system.
  std::optional<std::pair<std::string, int64_t>> mount;  // type, time resolution
};

namespace {

constexpr dev_t kDevice = 0x7a7a;

// Keeps its folder's descriptor open, as a directory stream does, so names can be looked
// up relative to it while listing.
class MemDir : public DirStream {
 public:
  MemDir(FileSystem& fs, int fd) : fs_(fs), fd_(fd) {}
  ~MemDir() override { fs_.Close(fd_); }
  std::vector<std::string> names;
  std::vector<unsigned char> types;
  size_t next = 0;

 private:
  FileSystem& fs_;
  int fd_;
};

int Fail(int error) {
  errno = error;
  return -1;
}

std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string::npos) end = path.size();
    parts.push_back(path.substr(pos, end - pos));
    pos = end + 1;
  }
  return parts;
}

bool Writable(int flags) { return (flags & O_ACCMODE) != O_RDONLY; }

}  // namespace

MemFileSystem::MemFileSystem(MemFsOptions options)
    : options_(std::move(options)), root_(std::make_shared<Node>()) {
  root_->folder = true;
  root_->mode = 0755;
  root_->ino = 1;
}

MemFileSystem::~MemFileSystem() = default;

void MemFileSystem::Wait() const {
  if (options_.latency.count() > 0) std::this_thread::sleep_for(options_.latency);
}

const MemFileSystem::Node* MemFileSystem::MountOf(const Node& at) const {
  const Node* node = &at;
  while (node && !node->mount) {
    std::shared_ptr<Node> up = node->parent.lock();
    node = up.get();
  }
  return node;
}

struct timespec MemFileSystem::Round(struct timespec t, const Node& at) const {
  const Node* mount = MountOf(at);
  const int64_t step = mount ? mount->mount->second : options_.time_resolution_ns;
  if (step <= 1) return t;
  __int128 total = static_cast<__int128>(t.tv_sec) * 1000000000 + t.tv_nsec;
  __int128 rounded = total - ((total % step) + step) % step;
  t.tv_sec = static_cast<time_t>(rounded / 1000000000);
  t.tv_nsec = static_cast<long>(rounded % 1000000000);
  if (t.tv_nsec < 0) {
    t.tv_nsec += 1000000000;
    --t.tv_sec;
  }
  return t;
}

struct timespec MemFileSystem::Now(const Node& at) const {
  struct timespec t {};
  clock_gettime(CLOCK_REALTIME, &t);
  return Round(t, at);
}

std::shared_ptr<MemFileSystem::Node> MemFileSystem::Lookup(const Node& folder,
                                                           const std::string& name,
                                                           std::string* stored) const {
  auto it = folder.children.find(name);
  if (it == folder.children.end() && options_.case_insensitive) {
    for (auto c = folder.children.begin(); c != folder.children.end(); ++c)
      if (CaselessEqual(c->first, name)) {
        it = c;
        break;
      }
  }
  if (it == folder.children.end()) return nullptr;
  if (stored) *stored = it->first;
  return it->second;
}

MemFileSystem::Found MemFileSystem::Resolve(int dir, const std::string& path,
                                            bool follow_last) const {
  Found found;
  std::shared_ptr<Node> at = root_;
  if (!path.empty() && path[0] != '/' && dir != AT_FDCWD) {
    auto it = fds_.find(dir);
    if (it == fds_.end()) {
      found.error = EBADF;
      return found;
    }
    at = it->second.node;
    if (!at->folder) {
      found.error = ENOTDIR;
      return found;
    }
  }
  if (path.empty()) {
    found.error = ENOENT;
    return found;
  }
  return Walk(at, path, follow_last, 0);
}

// The kernel's limit of links followed in one lookup.
constexpr int kMaxLinkDepth = 40;

MemFileSystem::Found MemFileSystem::Walk(std::shared_ptr<Node> at, const std::string& path,
                                         bool follow_last, int depth) const {
  Found found;
  if (!path.empty() && path[0] == '/') at = root_;
  std::vector<std::string> parts = Split(path);
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    const std::string& part = parts[i];
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (auto up = at->parent.lock()) at = up;
      continue;
    }
    std::shared_ptr<Node> next = Lookup(*at, part, nullptr);
    if (next && next->link) {
      if (depth >= kMaxLinkDepth) {
        found.error = ELOOP;
        return found;
      }
      Found target = Walk(at, next->content, true, depth + 1);
      if (target.error != 0) return target;
      next = target.node;
    }
    if (!next) {
      found.error = ENOENT;
      return found;
    }
    if (!next->folder) {
      found.error = ENOTDIR;
      return found;
    }
    at = next;
  }
  const std::string& leaf = parts.back();
  if (leaf.empty() || leaf == ".") {
    found.parent = at->parent.lock();
    found.node = at;
    return found;
  }
  if (leaf == "..") {
    found.node = at->parent.lock() ? at->parent.lock() : at;
    return found;
  }
  found.parent = at;
  found.leaf = leaf;
  found.node = Lookup(*at, leaf, &found.leaf);
  if (!found.node) found.leaf = leaf;
  if (follow_last && found.node && found.node->link) {
    if (depth >= kMaxLinkDepth) {
      Found loop;
      loop.error = ELOOP;
      return loop;
    }
    return Walk(at, found.node->content, true, depth + 1);
  }
  return found;
}

MemFileSystem::Open* MemFileSystem::Get(int fd) {
  auto it = fds_.find(fd);
  return it == fds_.end() ? nullptr : &it->second;
}

void MemFileSystem::Fill(const Node& node, struct stat* st) const {
  std::memset(st, 0, sizeof *st);
  // Each mounted file system has a device of its own, as on a real machine.
  const Node* mount = MountOf(node);
  st->st_dev = mount ? kDevice + 1 + static_cast<dev_t>(mount->ino) : kDevice;
  st->st_ino = node.ino;
  st->st_mode = (node.folder ? S_IFDIR : (node.link ? S_IFLNK : S_IFREG)) | node.mode;
  st->st_nlink = node.links;
  st->st_uid = node.uid;
  st->st_gid = node.gid;
  st->st_size = static_cast<off_t>(node.folder ? 4096 : node.content.size());
  st->st_blksize = 4096;
  st->st_blocks = (st->st_size + 511) / 512;
  st->st_mtim = node.mtime;
  st->st_atim = node.mtime;
  st->st_ctim = node.ctime;
}

bool MemFileSystem::Resize(Node& node, size_t size) {
  const int64_t grow = static_cast<int64_t>(size) - static_cast<int64_t>(node.content.size());
  if (node.links == 0) {  // nameless: its room is counted as free already
    node.content.resize(size);
    return true;
  }
  if (options_.capacity > 0 && grow > 0 && used_ + grow > options_.capacity) return false;
  used_ += grow;
  node.content.resize(size);
  return true;
}

void MemFileSystem::Unlinked(Node& node) {
  if (--node.links == 0 && !node.folder) used_ -= static_cast<int64_t>(node.content.size());
}

std::shared_ptr<MemFileSystem::Node> MemFileSystem::MakeChain(const std::string& path) {
  std::shared_ptr<Node> at = root_;
  for (const std::string& part : Split(path)) {
    if (part.empty()) continue;
    std::shared_ptr<Node> next = Lookup(*at, part, nullptr);
    if (!next) {
      next = std::make_shared<Node>();
      next->folder = true;
      next->mode = 0755;
      next->ino = next_ino_++;
      next->mtime = next->ctime = Now(*next);
      next->parent = at;
      at->children[part] = next;
    }
    at = next;
  }
  return at;
}

void MemFileSystem::AddFolder(const std::string& path) {
  std::lock_guard lock(mutex_);
  MakeChain(path);
}

void MemFileSystem::AddFile(const std::string& path, const std::string& content, int64_t mtime_sec,
                            int32_t mtime_nsec, mode_t mode) {
  std::lock_guard lock(mutex_);
  const size_t cut = path.rfind('/');
  std::shared_ptr<Node> folder = MakeChain(path.substr(0, cut == std::string::npos ? 0 : cut));
  const std::string leaf = cut == std::string::npos ? path : path.substr(cut + 1);
  std::string stored = leaf;
  std::shared_ptr<Node> node = Lookup(*folder, leaf, &stored);
  if (!node) {
    node = std::make_shared<Node>();
    node->ino = next_ino_++;
    node->parent = folder;
    folder->children[leaf] = node;
  }
  used_ += static_cast<int64_t>(content.size()) - static_cast<int64_t>(node->content.size());
  node->content = content;
  node->mode = mode & 07777;
  node->mtime = Round({static_cast<time_t>(mtime_sec), mtime_nsec}, *node);
  node->ctime = Now(*node);
}

void MemFileSystem::AddLink(const std::string& path, const std::string& target, int64_t mtime_sec) {
  std::lock_guard lock(mutex_);
  const size_t cut = path.rfind('/');
  std::shared_ptr<Node> folder = MakeChain(path.substr(0, cut == std::string::npos ? 0 : cut));
  auto node = std::make_shared<Node>();
  node->link = true;
  node->mode = 0777;
  node->ino = next_ino_++;
  node->parent = folder;
  node->content = target;
  node->mtime = Round({static_cast<time_t>(mtime_sec), 0}, *node);
  node->ctime = Now(*node);
  folder->children[cut == std::string::npos ? path : path.substr(cut + 1)] = node;
}

std::optional<std::string> MemFileSystem::LinkTarget(const std::string& path) const {
  std::lock_guard lock(mutex_);
  Found f = Resolve(AT_FDCWD, path);
  if (!f.node || !f.node->link) return std::nullopt;
  return f.node->content;
}

bool MemFileSystem::Remove(const std::string& path) {
  std::lock_guard lock(mutex_);
  Found f = Resolve(AT_FDCWD, path);
  if (!f.node || !f.parent || f.leaf.empty()) return false;
  f.parent->children.erase(f.leaf);
  Unlinked(*f.node);
  return true;
}

bool MemFileSystem::Exists(const std::string& path) const {
  std::lock_guard lock(mutex_);
  return Resolve(AT_FDCWD, path).node != nullptr;
}

std::optional<std::string> MemFileSystem::Content(const std::string& path) const {
  std::lock_guard lock(mutex_);
  Found f = Resolve(AT_FDCWD, path, true);
  if (!f.node || f.node->folder) return std::nullopt;
  return f.node->content;
}

std::optional<struct stat> MemFileSystem::Status(const std::string& path) const {
  std::lock_guard lock(mutex_);
  Found f = Resolve(AT_FDCWD, path);
  if (!f.node) return std::nullopt;
  struct stat st {};
  Fill(*f.node, &st);
  return st;
}

std::vector<std::string> MemFileSystem::Names(const std::string& folder) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  Found f = Resolve(AT_FDCWD, folder);
  if (f.node && f.node->folder)
    for (const auto& [name, node] : f.node->children) names.push_back(name);
  return names;
}

size_t MemFileSystem::OpenDescriptors() const {
  std::lock_guard lock(mutex_);
  return fds_.size();
}

int MemFileSystem::OpenAt(int dir, const char* name, int flags, mode_t mode) {
  Wait();
  std::lock_guard lock(mutex_);
  const bool exclusive = (flags & O_CREAT) && (flags & O_EXCL);
  Found f = Resolve(dir, name, !(flags & O_NOFOLLOW) && !exclusive);
  if (f.error != 0) return Fail(f.error);
  if (f.node && f.node->link) {
    if (exclusive) return Fail(EEXIST);
    if (flags & O_DIRECTORY) return Fail(ENOTDIR);
    if (!(flags & O_PATH)) return Fail(ELOOP);
  }
  if (!f.node) {
    if (!(flags & O_CREAT) || !f.parent) return Fail(ENOENT);
    auto node = std::make_shared<Node>();
    node->ino = next_ino_++;
    node->mode = mode & 07777;
    node->parent = f.parent;
    node->mtime = node->ctime = Now(*node);
    f.parent->children[f.leaf] = node;
    f.parent->mtime = f.parent->ctime = Now(*f.parent);
    f.node = node;
  } else if ((flags & O_CREAT) && (flags & O_EXCL)) {
    return Fail(EEXIST);
  }
  if ((flags & O_DIRECTORY) && !f.node->folder) return Fail(ENOTDIR);
  if (f.node->folder && Writable(flags) && !(flags & O_PATH)) return Fail(EISDIR);
  if (!f.node->folder && (flags & O_TRUNC) && Writable(flags)) {
    Resize(*f.node, 0);
    f.node->mtime = f.node->ctime = Now(*f.node);
  }
  const int fd = next_fd_++;
  fds_[fd] = Open{f.node, flags};
  return fd;
}

int MemFileSystem::Close(int fd) {
  std::lock_guard lock(mutex_);
  return fds_.erase(fd) == 1 ? 0 : Fail(EBADF);
}

std::unique_ptr<DirStream> MemFileSystem::OpenDir(int fd) {
  Wait();
  std::lock_guard lock(mutex_);
  Open* open = Get(fd);
  if (!open) {
    errno = EBADF;
    return nullptr;
  }
  std::shared_ptr<Node> node = open->node;
  if (!node->folder) {
    fds_.erase(fd);
    errno = ENOTDIR;
    return nullptr;
  }
  auto dir = std::make_unique<MemDir>(*this, fd);
  dir->names = {".", ".."};
  dir->types = {DT_DIR, DT_DIR};
  for (const auto& child : node->children) {
    dir->names.push_back(child.first);
    dir->types.push_back(child.second->folder ? DT_DIR : (child.second->link ? DT_LNK : DT_REG));
  }
  return dir;
}

int MemFileSystem::ReadDir(DirStream& stream, const char** name, unsigned char* type) {
  auto& dir = static_cast<MemDir&>(stream);
  if (dir.next >= dir.names.size()) return 0;
  *type = dir.types[dir.next];
  *name = dir.names[dir.next++].c_str();
  return 1;
}

ssize_t MemFileSystem::PRead(int fd, void* buf, size_t count, off_t offset) {
  Wait();
  std::lock_guard lock(mutex_);
  Open* open = Get(fd);
  if (!open || (open->flags & O_PATH) || (open->flags & O_ACCMODE) == O_WRONLY) return Fail(EBADF);
  if (open->node->folder) return Fail(EISDIR);
  const std::string& content = open->node->content;
  if (offset < 0) return Fail(EINVAL);
  if (static_cast<size_t>(offset) >= content.size()) return 0;
  size_t n = std::min(count, content.size() - static_cast<size_t>(offset));
  std::memcpy(buf, content.data() + offset, n);
  return static_cast<ssize_t>(n);
}

ssize_t MemFileSystem::PWrite(int fd, const void* buf, size_t count, off_t offset) {
  Wait();
  std::lock_guard lock(mutex_);
  Open* open = Get(fd);
  if (!open || (open->flags & O_PATH) || !Writable(open->flags)) return Fail(EBADF);
  std::string& content = open->node->content;
  if (offset < 0) return Fail(EINVAL);
  const size_t end = static_cast<size_t>(offset) + count;
  if (content.size() < end && !Resize(*open->node, end)) return Fail(ENOSPC);
  std::memcpy(content.data() + offset, buf, count);
  open->node->mtime = open->node->ctime = Now(*open->node);
  return static_cast<ssize_t>(count);
}

ssize_t MemFileSystem::CopyRange(int in, off_t* in_offset, int out, off_t* out_offset,
                                 size_t count) {
  Wait();
  std::string chunk;
  {
    std::lock_guard lock(mutex_);
    Open* from = Get(in);
    Open* to = Get(out);
    if (!from || !to || (from->flags & O_PATH) || !Writable(to->flags)) return Fail(EBADF);
    const std::string& content = from->node->content;
    if (static_cast<size_t>(*in_offset) >= content.size()) return 0;
    chunk = content.substr(static_cast<size_t>(*in_offset), count);
    std::string& target = to->node->content;
    const size_t end = static_cast<size_t>(*out_offset) + chunk.size();
    if (target.size() < end && !Resize(*to->node, end)) return Fail(ENOSPC);
    std::memcpy(target.data() + *out_offset, chunk.data(), chunk.size());
    to->node->mtime = to->node->ctime = Now(*to->node);
  }
  *in_offset += static_cast<off_t>(chunk.size());
  *out_offset += static_cast<off_t>(chunk.size());
  return static_cast<ssize_t>(chunk.size());
}

int MemFileSystem::Advise(int fd, int) {
  std::lock_guard lock(mutex_);
  return Get(fd) ? 0 : Fail(EBADF);
}

int MemFileSystem::StatAt(int dir, const char* name, struct stat* st, int flags) {
  Wait();
  std::lock_guard lock(mutex_);
  Found f = Resolve(dir, name, !(flags & AT_SYMLINK_NOFOLLOW));
  if (f.error != 0) return Fail(f.error);
  if (!f.node) return Fail(ENOENT);
  Fill(*f.node, st);
  return 0;
}

int MemFileSystem::Fstat(int fd, struct stat* st) {
  Wait();
  std::lock_guard lock(mutex_);
  Open* open = Get(fd);
  if (!open) return Fail(EBADF);
  Fill(*open->node, st);
  return 0;
}

int MemFileSystem::Fchmod(int fd, mode_t mode) {
  Wait();
  std::lock_guard lock(mutex_);
  Open* open = Get(fd);
  if (!open) return Fail(EBADF);
  if (options_.attribute_error != 0) return Fail(options_.attribute_error);
  open->node->mode = mode & 07777;
  open->node->ctime = Now(*open->node);
  return 0;
}

int MemFileSystem::Fchown(int fd, uid_t uid, gid_t gid) {
  Wait();
  std::lock_guard lock(mutex_);
  Open* open = Get(fd);
  if (!open) return Fail(EBADF);
  if (options_.attribute_error != 0) return Fail(options_.attribute_error);
  if (uid != static_cast<uid_t>(-1)) open->node->uid = uid;
  if (gid != static_cast<gid_t>(-1)) open->node->gid = gid;
  return 0;
}

void MemFileSystem::SetTime(Node& node, const struct timespec times[2]) {
  if (times[1].tv_nsec == UTIME_OMIT) return;
  node.mtime = times[1].tv_nsec == UTIME_NOW ? Now(node) : Round(times[1], node);
  node.ctime = Now(node);
}

int MemFileSystem::Futimens(int fd, const struct timespec times[2]) {
  Wait();
  std::lock_guard lock(mutex_);
  Open* open = Get(fd);
  if (!open) return Fail(EBADF);
  SetTime(*open->node, times);
  return 0;
}

int MemFileSystem::UtimensAt(int dir, const char* name, const struct timespec times[2], int flags) {
  Wait();
  std::lock_guard lock(mutex_);
  Found f = Resolve(dir, name, !(flags & AT_SYMLINK_NOFOLLOW));
  if (f.error != 0) return Fail(f.error);
  if (!f.node) return Fail(ENOENT);
  SetTime(*f.node, times);
  return 0;
}

ssize_t MemFileSystem::ListXattr(int fd, char* list, size_t size) {
  Wait();
  std::lock_guard lock(mutex_);
  Open* open = Get(fd);
  if (!open) return Fail(EBADF);
  if (options_.attribute_error != 0) return Fail(options_.attribute_error);
  std::string all;
  for (const auto& entry : open->node->xattrs) all.append(entry.first).push_back('\0');
  if (size == 0) return static_cast<ssize_t>(all.size());
  if (size < all.size()) return Fail(ERANGE);
  std::memcpy(list, all.data(), all.size());
  return static_cast<ssize_t>(all.size());
}

ssize_t MemFileSystem::GetXattr(int fd, const char* name, void* value, size_t size) {
  Wait();
  std::lock_guard lock(mutex_);
  Open* open = Get(fd);
  if (!open) return Fail(EBADF);
  if (options_.attribute_error != 0) return Fail(options_.attribute_error);
  auto it = open->node->xattrs.find(name);
  if (it == open->node->xattrs.end()) return Fail(ENODATA);
  if (size == 0) return static_cast<ssize_t>(it->second.size());
  if (size < it->second.size()) return Fail(ERANGE);
  std::memcpy(value, it->second.data(), it->second.size());
  return static_cast<ssize_t>(it->second.size());
}

int MemFileSystem::SetXattr(int fd, const char* name, const void* value, size_t size) {
  Wait();
  std::lock_guard lock(mutex_);
  Open* open = Get(fd);
  if (!open) return Fail(EBADF);
  if (options_.attribute_error != 0) return Fail(options_.attribute_error);
  open->node->xattrs[name].assign(static_cast<const char*>(value), size);
  return 0;
}

int MemFileSystem::RenameAt(int from_dir, const char* from, int to_dir, const char* to) {
  return Rename(from_dir, from, to_dir, to, true);
}

int MemFileSystem::RenameNoReplaceAt(int from_dir, const char* from, int to_dir, const char* to) {
  return Rename(from_dir, from, to_dir, to, false);
}

int MemFileSystem::Rename(int from_dir, const char* from, int to_dir, const char* to,
                          bool replace) {
  Wait();
  std::lock_guard lock(mutex_);
  Found a = Resolve(from_dir, from);
  if (a.error != 0) return Fail(a.error);
  if (!a.node || !a.parent || a.leaf.empty()) return Fail(a.node ? EBUSY : ENOENT);
  Found b = Resolve(to_dir, to);
  if (b.error != 0) return Fail(b.error);
  if (!b.parent || b.leaf.empty()) return Fail(EBUSY);
  if (MountOf(*a.parent) != MountOf(*b.parent)) return Fail(EXDEV);
  // A medium that ignores case finds the name taken by the file itself in another case.
  if (!replace && b.node) return Fail(EEXIST);
  if (b.node == a.node) return 0;
  if (b.node) {
    if (b.node->folder && !a.node->folder) return Fail(EISDIR);
    if (!b.node->folder && a.node->folder) return Fail(ENOTDIR);
    if (b.node->folder && !b.node->children.empty()) return Fail(ENOTEMPTY);
    b.parent->children.erase(b.leaf);
    Unlinked(*b.node);
  }
  a.parent->children.erase(a.leaf);
  // A case-insensitive medium keeps the name the rename gives.
  b.parent->children[std::string(Split(to).back())] = a.node;
  a.node->parent = b.parent;
  a.node->ctime = Now(*a.node);
  return 0;
}

int MemFileSystem::LinkAt(int from_dir, const char* from, int to_dir, const char* to) {
  Wait();
  std::lock_guard lock(mutex_);
  Found a = Resolve(from_dir, from);
  if (a.error != 0) return Fail(a.error);
  if (!a.node) return Fail(ENOENT);
  if (a.node->folder) return Fail(EPERM);
  Found b = Resolve(to_dir, to);
  if (b.error != 0) return Fail(b.error);
  if (b.node) return Fail(EEXIST);
  if (!b.parent) return Fail(ENOENT);
  b.parent->children[b.leaf] = a.node;
  ++a.node->links;
  a.node->ctime = Now(*a.node);
  return 0;
}

int MemFileSystem::UnlinkAt(int dir, const char* name, int flags) {
  Wait();
  std::lock_guard lock(mutex_);
  Found f = Resolve(dir, name);
  if (f.error != 0) return Fail(f.error);
  if (!f.node) return Fail(ENOENT);
  if (!f.parent || f.leaf.empty()) return Fail(EBUSY);
  if (flags & AT_REMOVEDIR) {
    if (!f.node->folder) return Fail(ENOTDIR);
    if (!f.node->children.empty()) return Fail(ENOTEMPTY);
  } else if (f.node->folder) {
    return Fail(EISDIR);
  }
  f.parent->children.erase(f.leaf);
  Unlinked(*f.node);
  f.parent->mtime = f.parent->ctime = Now(*f.parent);
  return 0;
}

int MemFileSystem::MkdirAt(int dir, const char* name, mode_t mode) {
  Wait();
  std::lock_guard lock(mutex_);
  Found f = Resolve(dir, name);
  if (f.error != 0) return Fail(f.error);
  if (f.node) return Fail(EEXIST);
  if (!f.parent) return Fail(ENOENT);
  auto node = std::make_shared<Node>();
  node->folder = true;
  node->mode = mode & 07777;
  node->ino = next_ino_++;
  node->parent = f.parent;
  node->mtime = node->ctime = Now(*node);
  f.parent->children[f.leaf] = node;
  return 0;
}

int MemFileSystem::SymlinkAt(const char* target, int dir, const char* name) {
  Wait();
  std::lock_guard lock(mutex_);
  Found f = Resolve(dir, name);
  if (f.error != 0) return Fail(f.error);
  if (f.node) return Fail(EEXIST);
  if (!f.parent) return Fail(ENOENT);
  // FAT and exFAT have no links; their drivers refuse them.
  const Node* mount = MountOf(*f.parent);
  const std::string& type = mount ? mount->mount->first : options_.type;
  if (type == "vfat" || type == "exfat" || type == "msdos") return Fail(EPERM);
  auto node = std::make_shared<Node>();
  node->link = true;
  node->mode = 0777;
  node->ino = next_ino_++;
  node->parent = f.parent;
  node->content = target;
  node->mtime = node->ctime = Now(*node);
  used_ += static_cast<int64_t>(node->content.size());
  f.parent->children[f.leaf] = node;
  f.parent->mtime = f.parent->ctime = Now(*f.parent);
  return 0;
}

ssize_t MemFileSystem::ReadLinkAt(int dir, const char* name, char* buf, size_t size) {
  Wait();
  std::lock_guard lock(mutex_);
  Found f = Resolve(dir, name);
  if (f.error != 0) return Fail(f.error);
  if (!f.node) return Fail(ENOENT);
  if (!f.node->link) return Fail(EINVAL);
  const size_t n = std::min(size, f.node->content.size());
  std::memcpy(buf, f.node->content.data(), n);
  return static_cast<ssize_t>(n);
}

int MemFileSystem::SyncData(int fd) {
  std::lock_guard lock(mutex_);
  return Get(fd) ? 0 : Fail(EBADF);
}

int MemFileSystem::FdPath(int fd, std::string* path) {
  std::lock_guard lock(mutex_);
  Open* open = Get(fd);
  if (!open) return Fail(EBADF);
  std::string built;
  std::shared_ptr<Node> at = open->node;
  while (at != root_) {
    std::shared_ptr<Node> up = at->parent.lock();
    if (!up) return Fail(ENOENT);
    auto named = std::find_if(up->children.begin(), up->children.end(),
                              [&](const auto& child) { return child.second == at; });
    if (named == up->children.end()) return Fail(ENOENT);  // no longer has a name
    built.insert(0, "/" + named->first);
    at = up;
  }
  *path = built.empty() ? "/" : built;
  return 0;
}

int MemFileSystem::SyncFs(int fd) {
  std::lock_guard lock(mutex_);
  return Get(fd) ? 0 : Fail(EBADF);
}

int MemFileSystem::StatFs(int fd, struct statfs* st) {
  std::lock_guard lock(mutex_);
  if (!Get(fd)) return Fail(EBADF);
  std::memset(st, 0, sizeof *st);
  st->f_type = options_.type == "vfat" ? 0x4d44 : (options_.type == "tmpfs" ? 0x01021994 : 0);
  st->f_bsize = 4096;
  st->f_namelen = 255;
  if (options_.capacity > 0) {
    st->f_frsize = 4096;
    st->f_blocks = static_cast<fsblkcnt_t>(options_.capacity / 4096);
    st->f_bfree = st->f_bavail = static_cast<fsblkcnt_t>((options_.capacity - used_) / 4096);
  }
  return 0;
}

int MemFileSystem::MountType(int fd, std::string* type) {
  std::lock_guard lock(mutex_);
  Open* open = Get(fd);
  if (!open) return Fail(EBADF);
  const Node* mount = MountOf(*open->node);
  *type = mount ? mount->mount->first : options_.type;
  return 0;
}

int MemFileSystem::VolumeOf(int fd, VolumeInfo* info) {
  std::lock_guard lock(mutex_);
  Open* open = Get(fd);
  if (!open) return Fail(EBADF);
  const Node* mount = MountOf(*open->node);
  const Node* top = mount ? mount : root_.get();
  std::string below;
  std::shared_ptr<Node> at = open->node;
  while (at.get() != top) {
    std::shared_ptr<Node> up = at->parent.lock();
    if (!up) return Fail(ENOENT);
    auto named = std::find_if(up->children.begin(), up->children.end(),
                              [&](const auto& child) { return child.second == at; });
    if (named == up->children.end()) return Fail(ENOENT);
    below.insert(0, "/" + named->first);
    at = up;
  }
  auto named = volume_ids_.find(top);
  info->id =
      named != volume_ids_.end() ? named->second : "mem:" + std::to_string(mount ? mount->ino : 0);
  info->below = below.empty() ? "/" : below;
  return 0;
}

void MemFileSystem::SetVolumeId(const std::string& folder, const std::string& id) {
  std::lock_guard lock(mutex_);
  volume_ids_[MakeChain(folder).get()] = id;
}

void MemFileSystem::Mount(const std::string& folder, const std::string& type,
                          int64_t time_resolution_ns) {
  std::lock_guard lock(mutex_);
  MakeChain(folder)->mount = std::make_pair(type, time_resolution_ns);
}

}  // namespace tavrik
