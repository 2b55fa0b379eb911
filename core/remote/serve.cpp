#include "core/remote/serve.h"

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/remote/protocol.h"
#include "core/remote/root_walk.h"

namespace tavrik::remote {

namespace {

// A call's outcome: the result, and the errno to answer (0 for a success).
int Fail(int64_t* result, int error) {
  *result = -1;
  return error;
}
int Done(int64_t* result, int64_t value) {
  *result = value;
  return value < 0 ? errno : 0;
}

// The root as named: "host:~/x" means x in the far user's home, as where a far shell would
// have expanded it; an empty path is the home itself (ssh starts there).
std::string FolderOnThisMachine(const std::string& named) {
  const char* home = std::getenv("HOME");
  const bool tilde = named == "~" || named.rfind("~/", 0) == 0;
  if (tilde && home && *home == '/') return home + named.substr(1);
  if (tilde) return named.size() > 2 ? named.substr(2) : ".";
  return named.empty() ? "." : named;
}

struct Temp {
  std::string folder;  // the absolute path at the far end
  std::string name;
  dev_t dev;
  ino_t ino;
};

// What kPlace names: the handle of the copy's folder, the copy, its name to be and what must
// still hold.
struct PlaceArgs {
  uint32_t dir = 0;
  std::string temp;
  std::string name;
  PlaceCondition want;
};

bool ReadPlace(Reader& in, PlaceArgs* args) {
  args->dir = in.U32();
  args->temp = in.Text();
  args->name = in.Text();
  PlaceCondition& want = args->want;
  want.folder = in.Text();
  want.follow_folder = in.U8() != 0;
  want.folder_dev = in.U64();
  want.folder_ino = in.U64();
  want.replace = in.U8() != 0;
  want.size = in.I64();
  want.mtime.tv_sec = in.I64();
  want.mtime.tv_nsec = in.I64();
  return !in.failed();
}

class Session {
 public:
  Session(FileSystem& fs, Channel& channel, const ServeOptions& options)
      : fs_(fs), channel_(channel), options_(options), walk_(fs) {}
  int Run();

 private:
  int Handshake();
  void Work();
  void Answer(std::string_view request);
  void Reply(uint32_t id, int64_t result, int error, std::string_view payload = {});
  int Dispatch(Op op, Reader& in, int64_t* result, Writer& out);
  int Descriptors(Op op, Reader& in, int64_t* result, Writer& out);
  int Data(Op op, Reader& in, int64_t* result, Writer& out);
  int Status(Op op, Reader& in, int64_t* result, Writer& out);
  int Names(Op op, Reader& in, int64_t* result, Writer& out);
  int Whole(Op op, Reader& in, int64_t* result, Writer& out);
  // The folder of the file named before, kept open for the next of the same request.
  struct LastFolder {
    std::string path;
    std::shared_ptr<Handle> handle;
  };
  // What kDigestFile answers for the file in dir that in names after dir; 0, or the errno of
  // a faulty request. last, where given, spares a file in the same folder as the one before
  // the walk from the root.
  int DigestOne(uint32_t dir, Reader& in, Writer& out, LastFolder* last = nullptr);
  // The place of an absolute name below the root, its folder taken from last where it is the
  // same as before.
  int ResolveBeside(const std::string& name, LastFolder* last, Place* place);
  int Finish(Op op, Reader& in, int64_t* result, Writer& out);
  int PlaceFile(Reader& in, int64_t* result, Writer& out);
  int PlaceAll(Reader& in, int64_t* result, Writer& out);
  int PlaceOne(const PlaceArgs& args, int64_t* result, Writer& out);

  std::shared_ptr<Handle> Get(uint32_t handle);
  uint32_t Add(int fd);
  int Resolve(uint32_t handle, const std::string& path, Place* place) {
    return walk_.Resolve(Get(handle), path, place);
  }
  void NoteTemp(const Place& place, int fd);
  void ForgetTemp(const Place& place);
  void RemoveTemps();

  FileSystem& fs_;
  Channel& channel_;
  const ServeOptions& options_;
  RootWalk walk_;

  std::mutex handles_mutex_;
  std::unordered_map<uint32_t, std::shared_ptr<Handle>> handles_;
  uint32_t next_handle_ = kRootHandle + 1;
  std::vector<uint32_t> free_handles_;  // numbers given back, used again first
  std::mutex temps_mutex_;
  std::vector<Temp> temps_;

  BatchWriter writer_{channel_};

  std::mutex queue_mutex_;
  std::condition_variable queue_cv_;
  std::deque<std::string> queue_;
  bool closing_ = false;
};

int Session::Handshake() {
  Writer hello;
  hello.buffer().append(kMagic, sizeof kMagic);
  hello.U32(kProtocolVersion);
  if (!channel_.Write(hello.buffer().data(), hello.buffer().size())) return errno;
  char head[sizeof kMagic + 8];
  if (ReadExact(channel_, head, sizeof head) != 1) return ECONNRESET;
  Reader in(std::string_view(head, sizeof head));
  if (std::string_view(head, sizeof kMagic) != std::string_view(kMagic, sizeof kMagic))
    return EPROTO;
  for (size_t i = 0; i < sizeof kMagic; ++i) in.U8();
  const uint32_t version = in.U32();
  const uint32_t root_size = in.U32();
  if (root_size > kMaxPathText) return EPROTO;
  std::string root(root_size, '\0');
  if (ReadExact(channel_, root.data(), root.size()) != 1) return ECONNRESET;
  Writer answer;
  int error = 0;
  std::string text;
  if (version != kProtocolVersion || root.find('\0') != std::string::npos) {
    error = EPROTO;
    text = "Protokoll " + std::to_string(kProtocolVersion);
  } else {
    const std::string folder = FolderOnThisMachine(root);
    const int fd = fs_.OpenAt(AT_FDCWD, folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    auto handle = fd < 0 ? nullptr : std::make_shared<Handle>(fs_, fd);
    if (fd < 0 || fs_.FdPath(fd, &text) != 0) error = errno;
    if (error == 0) walk_.SetRoot(std::move(handle), text, root);
    if (error != 0) text = root;
  }
  answer.U32(static_cast<uint32_t>(error));
  answer.Bytes(text);
  if (!channel_.Write(answer.buffer().data(), answer.buffer().size())) return errno;
  return error;
}

std::shared_ptr<Handle> Session::Get(uint32_t handle) {
  if (handle == kRootHandle) return walk_.root();
  std::lock_guard lock(handles_mutex_);
  auto it = handles_.find(handle);
  return it == handles_.end() ? nullptr : it->second;
}

uint32_t Session::Add(int fd) {
  std::lock_guard lock(handles_mutex_);
  uint32_t handle = next_handle_;
  if (free_handles_.empty()) {
    ++next_handle_;
  } else {
    handle = free_handles_.back();
    free_handles_.pop_back();
  }
  handles_.emplace(handle, std::make_shared<Handle>(fs_, fd));
  return handle;
}

// A copy in progress: the prefix, then "<host>-<pid>-<counter>". Other names with the prefix
// are a run's results (its undo record ".tavrik-record") and must outlive the connection.
bool WorkInProgress(std::string_view leaf, std::string_view prefix) {
  if (prefix.empty() || leaf.substr(0, prefix.size()) != prefix) return false;
  leaf.remove_prefix(prefix.size());
  for (int number = 0; number < 2; ++number) {
    const size_t dash = leaf.rfind('-');
    if (dash == std::string_view::npos || dash + 1 == leaf.size()) return false;
    for (char c : leaf.substr(dash + 1))
      if (c < '0' || c > '9') return false;
    leaf = leaf.substr(0, dash);
  }
  return !leaf.empty();
}

void Session::NoteTemp(const Place& place, int fd) {
  if (!WorkInProgress(place.leaf, options_.temp_prefix)) return;
  struct stat st {};
  Temp temp;
  if (fs_.Fstat(fd, &st) != 0 || fs_.FdPath(place.dir, &temp.folder) != 0) return;
  temp.name = place.leaf;
  temp.dev = st.st_dev;
  temp.ino = st.st_ino;
  std::lock_guard lock(temps_mutex_);
  temps_.push_back(std::move(temp));
}

// A temporary name this connection renamed or removed: a file made there later, even one
// that gets the freed inode number, is not its work.
void Session::ForgetTemp(const Place& place) {
  if (!WorkInProgress(place.leaf, options_.temp_prefix)) return;
  std::string folder;
  if (fs_.FdPath(place.dir, &folder) != 0) return;
  std::lock_guard lock(temps_mutex_);
  std::erase_if(temps_, [&](const Temp& t) { return t.name == place.leaf && t.folder == folder; });
}

// What this connection created as work in progress and did not rename or remove: the name
// must still hold the very file, so a newer one under the same name stays.
void Session::RemoveTemps() {
  std::lock_guard lock(temps_mutex_);
  for (const Temp& temp : temps_) {
    Place place;
    Components below;
    if (walk_.Strip(SplitPath(temp.folder), &below) != 0) continue;
    below.push_back(temp.name);
    if (walk_.WalkFromRoot(below, &place) != 0) continue;
    struct stat st {};
    if (fs_.StatAt(place.dir, place.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_dev == temp.dev && st.st_ino == temp.ino)
      fs_.UnlinkAt(place.dir, place.leaf.c_str(), 0);
  }
  temps_.clear();
}

void Session::Reply(uint32_t id, int64_t result, int error, std::string_view payload) {
  Writer w;
  w.U32(0);
  w.U32(id);
  w.I64(result);
  w.I32(result < 0 ? error : 0);
  w.buffer().append(payload);
  std::string& frame = w.buffer();
  const uint32_t size = static_cast<uint32_t>(frame.size() - 4);
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>(size >> (8 * i));
  if (!writer_.Write(frame)) channel_.Shutdown();
}

void Session::Answer(std::string_view request) {
  Reader in(request);
  const uint32_t id = in.U32();
  const uint16_t op = in.U16();
  Writer out;
  int64_t result = -1;
  int error = EPROTO;
  if (!in.failed() && op > 0 && op < static_cast<uint16_t>(Op::kEnd)) {
    error = Dispatch(static_cast<Op>(op), in, &result, out);
    if (in.failed() || !in.done()) {
      result = -1;
      error = EPROTO;
      out.buffer().clear();
    }
  }
  Reply(id, result, error, result < 0 ? std::string_view() : out.buffer());
}

// Opening and closing: handles and listings.
int Session::Descriptors(Op op, Reader& in, int64_t* result, Writer& out) {
  const auto fail = [&](int error) { return Fail(result, error); };
  const auto done = [&](int64_t value) { return Done(result, value); };
  switch (op) {
    case Op::kOpenAt: {
      const uint32_t dir = in.U32();
      const std::string name = in.Text();
      int flags = 0;
      const bool known = LocalOpenFlags(in.U32(), &flags);
      const mode_t mode = in.U32();
      if (in.failed()) return fail(EPROTO);
      if (!known) return fail(EINVAL);
      Place place;
      if (int e = Resolve(dir, name, &place)) return fail(e);
      const bool exclusive = (flags & O_CREAT) && (flags & O_EXCL);
      if (!(flags & O_NOFOLLOW) && !exclusive)
        if (int e = walk_.FollowLeaf(&place)) return fail(e);
      const int fd =
          fs_.OpenAt(place.dir, place.leaf.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
      if (fd < 0) return fail(errno);
      if (exclusive) NoteTemp(place, fd);
      return done(Add(fd));
    }
    case Op::kClose: {
      const uint32_t handle = in.U32();
      std::shared_ptr<Handle> h;
      {
        std::lock_guard lock(handles_mutex_);
        auto it = handles_.find(handle);
        if (it == handles_.end()) return fail(EBADF);
        h = std::move(it->second);
        handles_.erase(it);
        free_handles_.push_back(handle);
      }
      // The last user closes: a late write error reaches the caller then.
      return done(h.use_count() == 1 ? h->Close() : 0);
    }
    case Op::kListDir: {
      const uint32_t number = in.U32();
      if (in.failed()) return fail(EPROTO);
      std::shared_ptr<Handle> h = number == kRootHandle ? nullptr : Get(number);
      if (!h) return fail(EBADF);
      const int fd = fs_.OpenAt(h->fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd < 0) return fail(errno);
      std::unique_ptr<DirStream> stream = fs_.OpenDir(fd);
      if (!stream) return fail(errno);
      Writer entries;
      uint32_t count = 0;
      const char* name = nullptr;
      unsigned char type = DT_UNKNOWN;
      int got = 0;
      while ((got = fs_.ReadDir(*stream, &name, &type)) == 1) {
        entries.U8(type);
        entries.Bytes(name);
        ++count;
      }
      if (got < 0) return fail(errno);
      out.U32(count);
      out.buffer().append(entries.buffer());
      return done(0);
    }
    default:
      break;
  }
  return fail(EPROTO);
}

// Reading, writing and flushing through a handle.
int Session::Data(Op op, Reader& in, int64_t* result, Writer& out) {
  const auto fail = [&](int error) { return Fail(result, error); };
  const auto done = [&](int64_t value) { return Done(result, value); };
  switch (op) {
    case Op::kPRead: {
      std::shared_ptr<Handle> h = Get(in.U32());
      const uint64_t count = std::min<uint64_t>(in.U64(), kMaxChunk);
      const off_t offset = in.I64();
      if (in.failed()) return fail(EPROTO);
      if (!h) return fail(EBADF);
      std::string data(count, '\0');
      const ssize_t n = fs_.PRead(h->fd(), data.data(), count, offset);
      if (n < 0) return fail(errno);
      data.resize(static_cast<size_t>(n));
      out.Bytes(data);
      return done(n);
    }
    case Op::kPWrite: {
      std::shared_ptr<Handle> h = Get(in.U32());
      const off_t offset = in.I64();
      const std::string_view data = in.Bytes();
      if (in.failed()) return fail(EPROTO);
      if (!h) return fail(EBADF);
      return done(fs_.PWrite(h->fd(), data.data(), data.size(), offset));
    }
    case Op::kCopyRange: {
      std::shared_ptr<Handle> from = Get(in.U32());
      const bool has_in = in.U8() != 0;
      off_t in_offset = in.I64();
      std::shared_ptr<Handle> to = Get(in.U32());
      const bool has_out = in.U8() != 0;
      off_t out_offset = in.I64();
      const size_t count = std::min<uint64_t>(in.U64(), kMaxChunk);
      if (in.failed()) return fail(EPROTO);
      if (!from || !to) return fail(EBADF);
      const ssize_t n = fs_.CopyRange(from->fd(), has_in ? &in_offset : nullptr, to->fd(),
                                      has_out ? &out_offset : nullptr, count);
      if (n < 0) return fail(errno);
      out.I64(in_offset);
      out.I64(out_offset);
      return done(n);
    }
    case Op::kAdvise: {
      std::shared_ptr<Handle> h = Get(in.U32());
      int advice = 0;
      const bool known = LocalAdvice(in.I32(), &advice);
      if (in.failed()) return fail(EPROTO);
      if (!h) return fail(EBADF);
      if (!known) return fail(EINVAL);
      return done(fs_.Advise(h->fd(), advice));
    }
    case Op::kSyncFs:
    case Op::kSyncData: {
      std::shared_ptr<Handle> h = Get(in.U32());
      if (in.failed()) return fail(EPROTO);
      if (!h) return fail(EBADF);
      return done(op == Op::kSyncFs ? fs_.SyncFs(h->fd()) : fs_.SyncData(h->fd()));
    }
    default:
      break;
  }
  return fail(EPROTO);
}

// Status, times, modes, attributes and what the medium is.
int Session::Status(Op op, Reader& in, int64_t* result, Writer& out) {
  const auto fail = [&](int error) { return Fail(result, error); };
  const auto done = [&](int64_t value) { return Done(result, value); };
  switch (op) {
    case Op::kStatAt: {
      const uint32_t dir = in.U32();
      const std::string name = in.Text();
      const int flags = in.I32();
      if (in.failed()) return fail(EPROTO);
      Place place;
      if (int e = Resolve(dir, name, &place)) return fail(e);
      if (!(flags & AT_SYMLINK_NOFOLLOW))
        if (int e = walk_.FollowLeaf(&place)) return fail(e);
      struct stat st {};
      if (fs_.StatAt(place.dir, place.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return fail(errno);
      out.Stat(st);
      return done(0);
    }
    case Op::kFstat: {
      std::shared_ptr<Handle> h = Get(in.U32());
      if (in.failed()) return fail(EPROTO);
      if (!h) return fail(EBADF);
      struct stat st {};
      if (fs_.Fstat(h->fd(), &st) != 0) return fail(errno);
      out.Stat(st);
      return done(0);
    }
    case Op::kFchmod: {
      std::shared_ptr<Handle> h = Get(in.U32());
      const mode_t mode = in.U32();
      if (in.failed()) return fail(EPROTO);
      if (!h) return fail(EBADF);
      return done(fs_.Fchmod(h->fd(), mode));
    }
    case Op::kFchown: {
      std::shared_ptr<Handle> h = Get(in.U32());
      const uid_t uid = in.U32();
      const gid_t gid = in.U32();
      if (in.failed()) return fail(EPROTO);
      if (!h) return fail(EBADF);
      return done(fs_.Fchown(h->fd(), uid, gid));
    }
    case Op::kFutimens: {
      std::shared_ptr<Handle> h = Get(in.U32());
      struct timespec times[2];
      const bool given = in.Times(times);
      if (in.failed()) return fail(EPROTO);
      if (!h) return fail(EBADF);
      return done(fs_.Futimens(h->fd(), given ? times : nullptr));
    }
    case Op::kUtimensAt: {
      const uint32_t dir = in.U32();
      const std::string name = in.Text();
      struct timespec times[2];
      const bool given = in.Times(times);
      const int flags = in.I32();
      if (in.failed()) return fail(EPROTO);
      Place place;
      if (int e = Resolve(dir, name, &place)) return fail(e);
      if (!(flags & AT_SYMLINK_NOFOLLOW))
        if (int e = walk_.FollowLeaf(&place)) return fail(e);
      return done(fs_.UtimensAt(place.dir, place.leaf.c_str(), given ? times : nullptr,
                                AT_SYMLINK_NOFOLLOW));
    }
    case Op::kListXattr: {
      std::shared_ptr<Handle> h = Get(in.U32());
      const size_t size = std::min<uint64_t>(in.U64(), kMaxChunk);
      if (in.failed()) return fail(EPROTO);
      if (!h) return fail(EBADF);
      std::string list(size, '\0');
      const ssize_t n = fs_.ListXattr(h->fd(), size ? list.data() : nullptr, size);
      if (n < 0) return fail(errno);
      list.resize(size ? static_cast<size_t>(n) : 0);
      out.Bytes(list);
      return done(n);
    }
    case Op::kGetXattr: {
      std::shared_ptr<Handle> h = Get(in.U32());
      const std::string name = in.Text();
      const size_t size = std::min<uint64_t>(in.U64(), kMaxChunk);
      if (in.failed()) return fail(EPROTO);
      if (!h) return fail(EBADF);
      std::string value(size, '\0');
      const ssize_t n = fs_.GetXattr(h->fd(), name.c_str(), size ? value.data() : nullptr, size);
      if (n < 0) return fail(errno);
      value.resize(size ? static_cast<size_t>(n) : 0);
      out.Bytes(value);
      return done(n);
    }
    case Op::kSetXattr: {
      std::shared_ptr<Handle> h = Get(in.U32());
      const std::string name = in.Text();
      const std::string_view value = in.Bytes();
      if (in.failed()) return fail(EPROTO);
      if (!h) return fail(EBADF);
      return done(fs_.SetXattr(h->fd(), name.c_str(), value.data(), value.size()));
    }
    case Op::kFdPath: {
      std::shared_ptr<Handle> h = Get(in.U32());
      if (in.failed()) return fail(EPROTO);
      if (!h) return fail(EBADF);
      std::string path;
      if (fs_.FdPath(h->fd(), &path) != 0) return fail(errno);
      out.Bytes(path);
      return done(0);
    }
    case Op::kStatFs: {
      std::shared_ptr<Handle> h = Get(in.U32());
      if (in.failed()) return fail(EPROTO);
      if (!h) return fail(EBADF);
      struct statfs st {};
      if (fs_.StatFs(h->fd(), &st) != 0) return fail(errno);
      int fsid[2];
      std::memcpy(fsid, &st.f_fsid, sizeof fsid);
      for (uint64_t v : {static_cast<uint64_t>(st.f_type), static_cast<uint64_t>(st.f_bsize),
                         static_cast<uint64_t>(st.f_blocks), static_cast<uint64_t>(st.f_bfree),
                         static_cast<uint64_t>(st.f_bavail), static_cast<uint64_t>(st.f_files),
                         static_cast<uint64_t>(st.f_ffree), static_cast<uint64_t>(fsid[0]),
                         static_cast<uint64_t>(fsid[1]), static_cast<uint64_t>(st.f_namelen),
                         static_cast<uint64_t>(st.f_frsize), static_cast<uint64_t>(st.f_flags)})
        out.U64(v);
      return done(0);
    }
    case Op::kMountType: {
      std::shared_ptr<Handle> h = Get(in.U32());
      if (in.failed()) return fail(EPROTO);
      if (!h) return fail(EBADF);
      std::string type;
      if (fs_.MountType(h->fd(), &type) != 0) return fail(errno);
      out.Bytes(type);
      return done(0);
    }
    case Op::kVolumeOf: {
      std::shared_ptr<Handle> h = Get(in.U32());
      if (in.failed()) return fail(EPROTO);
      if (!h) return fail(EBADF);
      VolumeInfo info;
      if (fs_.VolumeOf(h->fd(), &info) != 0) return fail(errno);
      out.Bytes(info.id);
      out.Bytes(info.below);
      return done(0);
    }
    default:
      break;
  }
  return fail(EPROTO);
}

// A copy's file after its bytes, and a replacement made of the older file and a delta:
// each in one call.
int Session::Finish(Op op, Reader& in, int64_t* result, Writer& out) {
  const auto fail = [&](int error) { return Fail(result, error); };
  std::shared_ptr<Handle> h = Get(in.U32());
  switch (op) {
    case Op::kFinishFile: {
      FileFinish finish;
      const bool timed = in.Finish(&finish);
      if (in.failed()) return fail(EPROTO);
      if (!h) return fail(EBADF);
      if (!timed) return fail(EINVAL);
      struct stat st {};
      if (FinishFile(fs_, h->fd(), finish, &st) != 0) return fail(errno);
      out.Stat(st);
      return Done(result, 0);
    }
    case Op::kSignature: {
      if (in.failed()) return fail(EPROTO);
      if (!h) return fail(EBADF);
      std::string sig;
      struct stat st {};
      if (fs_.Signature(h->fd(), &sig, &st) != 0) return fail(errno);
      out.Bytes(sig);
      out.Stat(st);
      return Done(result, 0);
    }
    case Op::kDelta: {
      const std::string sig(in.Bytes());
      const size_t limit = std::min<uint64_t>(in.U64(), kMaxDelta);
      if (in.failed()) return fail(EPROTO);
      if (!h) return fail(EBADF);
      std::string delta;
      if (fs_.Delta(h->fd(), sig, limit, &delta) != 0) return fail(errno);
      out.Bytes(delta);
      return Done(result, 0);
    }
    case Op::kPatch: {
      std::shared_ptr<Handle> basis = Get(in.U32());
      const std::string delta(in.Bytes());
      FileFinish finish;
      const bool timed = in.Finish(&finish);
      if (in.failed()) return fail(EPROTO);
      if (!h || !basis) return fail(EBADF);
      if (!timed) return fail(EINVAL);
      FileWritten written;
      struct stat basis_st {};
      if (fs_.WritePatched(h->fd(), basis->fd(), delta, finish, &written, &basis_st) != 0)
        return fail(errno);
      out.Stat(written.st);
      out.Stat(basis_st);
      return Done(result, 0);
    }
    default:
      break;
  }
  return fail(EPROTO);
}

// A copy's rename into place where nothing changed, with its checks, in one call. The
// folder's path is walked below the root like every other.

int Session::PlaceFile(Reader& in, int64_t* result, Writer& out) {
  PlaceArgs args;
  if (!ReadPlace(in, &args)) return Fail(result, EPROTO);
  return PlaceOne(args, result, out);
}

int Session::PlaceOne(const PlaceArgs& args, int64_t* result, Writer& out) {
  const PlaceCondition& want = args.want;
  struct stat st {};
  Place folder;
  if (Resolve(kRootHandle, want.folder, &folder) != 0 ||
      (want.follow_folder && walk_.FollowLeaf(&folder) != 0) ||
      fs_.StatAt(folder.dir, folder.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      static_cast<uint64_t>(st.st_dev) != want.folder_dev ||
      static_cast<uint64_t>(st.st_ino) != want.folder_ino) {
    out.Stat(st);
    return Done(result, 0);
  }
  Place from, to;
  if (int e = Resolve(args.dir, args.temp, &from)) return Fail(result, e);
  if (int e = Resolve(args.dir, args.name, &to)) return Fail(result, e);
  const int placed =
      PlaceChecked(fs_, from.dir, from.leaf.c_str(), to.dir, to.leaf.c_str(), want, &st);
  if (placed < 0) return Fail(result, errno);
  if (placed > 0) ForgetTemp(from);
  out.Stat(st);
  return Done(result, placed);
}

int Session::PlaceAll(Reader& in, int64_t* result, Writer& out) {
  const uint32_t count = in.U32();
  if (in.failed()) return Fail(result, EPROTO);
  if (count > kMaxPlacesAtOnce) return Fail(result, EINVAL);
  // All read before any is done: a faulty request changes nothing.
  std::vector<PlaceArgs> places(count);
  for (PlaceArgs& args : places)
    if (!ReadPlace(in, &args)) return Fail(result, EPROTO);
  Writer steps;
  uint32_t tried = 0;
  for (const PlaceArgs& args : places) {
    int64_t placed = 0;
    Writer one;
    const int error = PlaceOne(args, &placed, one);
    ++tried;
    steps.I64(placed);
    steps.I32(placed < 0 ? error : 0);
    if (placed < 0) {
      const struct stat none {};
      one.Stat(none);
    }
    steps.buffer().append(one.buffer());
    if (placed != 1 && placed != 2) break;
  }
  out.U32(tried);
  out.buffer().append(steps.buffer());
  return Done(result, 0);
}

// Calls on names: renames, links, deletions, folders.
int Session::Names(Op op, Reader& in, int64_t* result, Writer& out) {
  const auto fail = [&](int error) { return Fail(result, error); };
  const auto done = [&](int64_t value) { return Done(result, value); };
  switch (op) {
    case Op::kRenameAt:
    case Op::kRenameNoReplaceAt:
    case Op::kLinkAt: {
      const uint32_t from_dir = in.U32();
      const std::string from = in.Text();
      const uint32_t to_dir = in.U32();
      const std::string to = in.Text();
      if (in.failed()) return fail(EPROTO);
      Place a, b;
      if (int e = Resolve(from_dir, from, &a)) return fail(e);
      if (int e = Resolve(to_dir, to, &b)) return fail(e);
      if (op == Op::kLinkAt) return done(fs_.LinkAt(a.dir, a.leaf.c_str(), b.dir, b.leaf.c_str()));
      const int renamed = op == Op::kRenameAt
                              ? fs_.RenameAt(a.dir, a.leaf.c_str(), b.dir, b.leaf.c_str())
                              : fs_.RenameNoReplaceAt(a.dir, a.leaf.c_str(), b.dir, b.leaf.c_str());
      const int error = errno;
      if (renamed == 0) ForgetTemp(a);
      errno = error;
      return done(renamed);
    }
    case Op::kUnlinkAt: {
      const uint32_t dir = in.U32();
      const std::string name = in.Text();
      const int flags = in.I32();
      if (in.failed()) return fail(EPROTO);
      Place place;
      if (int e = Resolve(dir, name, &place)) return fail(e);
      const int removed = fs_.UnlinkAt(place.dir, place.leaf.c_str(), flags);
      const int error = errno;
      if (removed == 0) ForgetTemp(place);
      errno = error;
      return done(removed);
    }
    case Op::kMkdirAt: {
      const uint32_t dir = in.U32();
      const std::string name = in.Text();
      const mode_t mode = in.U32();
      if (in.failed()) return fail(EPROTO);
      Place place;
      if (int e = Resolve(dir, name, &place)) return fail(e);
      return done(fs_.MkdirAt(place.dir, place.leaf.c_str(), mode));
    }
    case Op::kSymlinkAt: {
      const std::string target = in.Text();
      const uint32_t dir = in.U32();
      const std::string name = in.Text();
      if (in.failed()) return fail(EPROTO);
      Place place;
      if (int e = Resolve(dir, name, &place)) return fail(e);
      return done(fs_.SymlinkAt(target.c_str(), place.dir, place.leaf.c_str()));
    }
    case Op::kReadLinkAt: {
      const uint32_t dir = in.U32();
      const std::string name = in.Text();
      const size_t size = std::min<uint64_t>(in.U64(), kMaxChunk);
      if (in.failed()) return fail(EPROTO);
      Place place;
      if (int e = Resolve(dir, name, &place)) return fail(e);
      std::string text(size, '\0');
      const ssize_t n = fs_.ReadLinkAt(place.dir, place.leaf.c_str(), text.data(), size);
      if (n < 0) return fail(errno);
      text.resize(static_cast<size_t>(n));
      out.Bytes(text);
      return done(n);
    }
    default:
      break;
  }
  return fail(EPROTO);
}

namespace {

// What one answer of a folder's listing may hold, well below a frame's limit.
constexpr size_t kListingPart = 16u << 20;
// The most blocks one answer of digests may hold.
constexpr uint64_t kMostBlocks = 1u << 20;

bool FewEnoughBlocks(uint64_t length, uint32_t block_size) {
  return block_size > 0 && block_size <= kMaxChunk && length / block_size < kMostBlocks;
}

// A listing's answer from entry first on, as much as one answer holds.
void WriteListing(const std::vector<FolderEntry>& entries, int error, uint64_t first, Writer& out) {
  Writer part;
  uint32_t count = 0;
  size_t at = static_cast<size_t>(std::min<uint64_t>(first, entries.size()));
  for (; at < entries.size() && part.buffer().size() < kListingPart; ++at, ++count) {
    const FolderEntry& entry = entries[at];
    part.U8(entry.type);
    part.Bytes(entry.name);
    part.I32(entry.error);
    if (entry.error == 0) part.Stat(entry.st);
  }
  const bool more = at < entries.size();
  out.I32(more ? 0 : error);
  out.U8(more ? 1 : 0);
  out.U32(count);
  out.buffer().append(part.buffer());
}

}  // namespace

// A folder's listing with its entries' status, a file's block digests: work that would cost
// a round trip per entry or block, done here in one.
int Session::ResolveBeside(const std::string& name, LastFolder* last, Place* place) {
  const size_t cut = name.rfind('/');
  const std::string_view leaf =
      cut == std::string::npos ? std::string_view() : std::string_view(name).substr(cut + 1);
  // Anything but a plain name in a folder takes the whole walk, which says what is wrong.
  if (cut == std::string::npos || cut == 0 || leaf.empty() || leaf == "." || leaf == "..")
    return Resolve(kRootHandle, name, place);
  std::string_view folder(name.data(), cut);
  if (!last->handle || last->path != folder) {
    last->handle.reset();
    Place found;
    if (Resolve(kRootHandle, std::string(folder), &found) != 0)
      return Resolve(kRootHandle, name, place);
    const int fd =
        fs_.OpenAt(found.dir, found.leaf.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return Resolve(kRootHandle, name, place);
    last->handle = std::make_shared<Handle>(fs_, fd);
    last->path.assign(folder);
  }
  place->owned = Fd();
  place->keep = last->handle;
  place->dir = last->handle->fd();
  place->leaf.assign(leaf);
  return 0;
}

int Session::DigestOne(uint32_t dir, Reader& in, Writer& out, LastFolder* last) {
  const std::string name = in.Text();
  const int flags = in.I32();
  const uint64_t max_length = in.U64();
  const uint32_t block_size = in.U32();
  if (in.failed()) return EPROTO;
  if (!FewEnoughBlocks(max_length, block_size)) return EINVAL;
  FileDigests found;
  Place place;
  int e = last && dir == kRootHandle && !name.empty() && name.front() == '/'
              ? ResolveBeside(name, last, &place)
              : Resolve(dir, name, &place);
  if (e == 0 && !(flags & AT_SYMLINK_NOFOLLOW)) e = walk_.FollowLeaf(&place);
  if (e != 0)
    found.stat_error = e;
  else
    fs_.DigestFile(place.dir, place.leaf.c_str(), AT_SYMLINK_NOFOLLOW, max_length, block_size,
                   &found);
  WriteDigests(out, found);
  return 0;
}

int Session::Whole(Op op, Reader& in, int64_t* result, Writer& out) {
  const auto fail = [&](int error) { return Fail(result, error); };
  const auto done = [&](int64_t value) { return Done(result, value); };
  switch (op) {
    case Op::kListFolder: {
      const uint32_t number = in.U32();
      const bool skip_dot_names = in.U8() != 0;
      const uint64_t first = in.U64();
      if (in.failed()) return fail(EPROTO);
      std::shared_ptr<Handle> h = number == kRootHandle ? nullptr : Get(number);
      if (!h) return fail(EBADF);
      std::vector<FolderEntry> entries;
      const int error = fs_.ListFolder(h->fd(), skip_dot_names, &entries) == 0 ? 0 : errno;
      WriteListing(entries, error, first, out);
      return done(0);
    }
    case Op::kListFolderAt: {
      const uint32_t dir = in.U32();
      const std::string name = in.Text();
      int flags = 0;
      const bool known = LocalOpenFlags(in.U32(), &flags);
      const bool skip_dot_names = in.U8() != 0;
      const uint64_t first = in.U64();
      if (in.failed()) return fail(EPROTO);
      if (!known) return fail(EINVAL);
      Place place;
      int e = Resolve(dir, name, &place);
      if (e == 0 && !(flags & O_NOFOLLOW)) e = walk_.FollowLeaf(&place);
      std::vector<FolderEntry> entries;
      bool opened = false;
      int error = e;
      if (e == 0 && fs_.ListFolderAt(place.dir, place.leaf.c_str(),
                                     flags | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, skip_dot_names,
                                     &entries, &opened) != 0)
        error = errno;
      out.I32(opened ? 0 : error);
      WriteListing(entries, opened ? error : 0, first, out);
      return done(0);
    }
    case Op::kBlockHashes: {
      std::shared_ptr<Handle> h = Get(in.U32());
      const uint64_t offset = in.U64();
      const uint64_t length = in.U64();
      const uint32_t block_size = in.U32();
      if (in.failed()) return fail(EPROTO);
      if (!h) return fail(EBADF);
      if (!FewEnoughBlocks(length, block_size)) return fail(EINVAL);
      BlockHashList list;
      fs_.BlockHashes(h->fd(), offset, length, block_size, &list);
      WriteHashes(out, list);
      return done(0);
    }
    case Op::kDigestFile: {
      const uint32_t dir = in.U32();
      if (const int e = DigestOne(dir, in, out)) return fail(e);
      return done(0);
    }
    case Op::kDigestFiles: {
      const uint32_t count = in.U32();
      if (in.failed()) return fail(EPROTO);
      if (count > kMaxDigestsAhead) return fail(EINVAL);
      LastFolder last;
      for (uint32_t i = 0; i < count; ++i)
        if (const int e = DigestOne(kRootHandle, in, out, &last)) return fail(e);
      return done(0);
    }
    default:
      break;
  }
  return fail(EPROTO);
}

// Carries out one call; returns the errno for a result below 0.
int Session::Dispatch(Op op, Reader& in, int64_t* result, Writer& out) {
  switch (op) {
    case Op::kOpenAt:
    case Op::kClose:
    case Op::kListDir:
      return Descriptors(op, in, result, out);
    case Op::kPRead:
    case Op::kPWrite:
    case Op::kCopyRange:
    case Op::kAdvise:
    case Op::kSyncFs:
    case Op::kSyncData:
      return Data(op, in, result, out);
    case Op::kStatAt:
    case Op::kFstat:
    case Op::kFchmod:
    case Op::kFchown:
    case Op::kFutimens:
    case Op::kUtimensAt:
    case Op::kListXattr:
    case Op::kGetXattr:
    case Op::kSetXattr:
    case Op::kFdPath:
    case Op::kStatFs:
    case Op::kMountType:
    case Op::kVolumeOf:
      return Status(op, in, result, out);
    case Op::kMachine:
      out.Bytes(fs_.Machine());
      out.I64(fs_.ProcessId());
      return Done(result, 0);
    case Op::kProcessEnded: {
      const int64_t pid = in.I64();
      return Done(result, !in.failed() && fs_.ProcessGone(pid) ? 1 : 0);
    }
    case Op::kFinishFile:
    case Op::kSignature:
    case Op::kDelta:
    case Op::kPatch:
      return Finish(op, in, result, out);
    case Op::kPlace:
      return PlaceFile(in, result, out);
    case Op::kPlaceAll:
      return PlaceAll(in, result, out);
    case Op::kRenameAt:
    case Op::kRenameNoReplaceAt:
    case Op::kLinkAt:
    case Op::kUnlinkAt:
    case Op::kMkdirAt:
    case Op::kSymlinkAt:
    case Op::kReadLinkAt:
      return Names(op, in, result, out);
    case Op::kListFolder:
    case Op::kBlockHashes:
    case Op::kDigestFile:
    case Op::kDigestFiles:
    case Op::kListFolderAt:
      return Whole(op, in, result, out);
    case Op::kEnd:
      break;
  }
  return Fail(result, EPROTO);
}

void Session::Work() {
  for (;;) {
    std::string request;
    {
      std::unique_lock lock(queue_mutex_);
      queue_cv_.wait(lock, [&] { return closing_ || !queue_.empty(); });
      if (closing_) return;
      request = std::move(queue_.front());
      queue_.pop_front();
    }
    Answer(request);
  }
}

int Session::Run() {
  const int opened = Handshake();
  if (opened != 0) return opened;
  std::vector<std::thread> workers;
  for (int i = 0; i < std::max(1, options_.threads); ++i) workers.emplace_back([this] { Work(); });
  int end = 0;
  for (;;) {
    std::string frame;
    const int got = ReadFrame(channel_, &frame);
    if (got <= 0) {
      end = got == 0 ? 0 : errno;
      break;
    }
    std::lock_guard lock(queue_mutex_);
    queue_.push_back(std::move(frame));
    queue_cv_.notify_one();
  }
  // Calls not yet begun are dropped: nobody waits for their answers any more, and a worker
  // blocked on a near side that stopped reading is let go.
  channel_.Shutdown();
  {
    std::lock_guard lock(queue_mutex_);
    closing_ = true;
    queue_.clear();
  }
  queue_cv_.notify_all();
  for (std::thread& worker : workers) worker.join();
  RemoveTemps();
  std::lock_guard lock(handles_mutex_);
  handles_.clear();
  return end;
}

}  // namespace

int Serve(FileSystem& fs, Channel& channel, const ServeOptions& options) {
  Session session(fs, channel, options);
  return session.Run();
}

}  // namespace tavrik::remote
