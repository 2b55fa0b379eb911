#include "core/remote/remote_file_system.h"

#include <cerrno>
#include <cstring>
#include <optional>

#include "core/fs/error_text.h"

namespace tavrik::remote {

namespace {

// The whole listing, fetched at once; the folder's descriptor stays usable for calls by name
// until the stream goes, as with fdopendir.
class RemoteDir : public DirStream {
 public:
  RemoteDir(FileSystem& fs, int fd) : fd_(fs, fd) {}
  std::vector<std::pair<std::string, unsigned char>> entries;
  size_t next = 0;

 private:
  Fd fd_;
};

// Waits for the far end's greeting, past whatever a login prints first.
bool ReadGreeting(Channel& channel, uint32_t* version) {
  std::string seen;
  const std::string_view magic(kMagic, sizeof kMagic);
  while (seen.size() < kBannerLimit) {
    char c;
    if (ReadExact(channel, &c, 1) != 1) return false;
    seen.push_back(c);
    if (seen.size() >= magic.size() &&
        std::string_view(seen).substr(seen.size() - magic.size()) == magic) {
      unsigned char word[4];
      if (ReadExact(channel, word, sizeof word) != 1) return false;
      *version = word[0] | word[1] << 8 | word[2] << 16 | static_cast<uint32_t>(word[3]) << 24;
      return true;
    }
  }
  return false;
}

int Failed(int error) {
  errno = error;
  return -1;
}

}  // namespace

std::string ConnectionLostText(const std::string& host) {
  return "Die Verbindung zu " + host + " ist abgebrochen.";
}

std::string NoAgentText(const std::string& host) {
  return "Auf " + host + " läuft kein passendes tavrik-cli (Protokoll " +
         std::to_string(kProtocolVersion) +
         " erwartet). Bitte dort Tavrik installieren oder --push-agent angeben.";
}

RemoteFileSystem::RemoteFileSystem(std::unique_ptr<Channel> channel, std::string host,
                                   std::string root)
    : channel_(std::move(channel)),
      host_(std::move(host)),
      root_(std::move(root)),
      writer_(std::make_shared<BatchWriter>(*channel_)) {
  StartReader();
}

RemoteFileSystem::~RemoteFileSystem() {
  DropDigestsAhead();
  Disconnect();
  if (reader_.joinable()) reader_.join();
  if (process_) process_->Finish();
}

void RemoteFileSystem::StartReader() {
  std::shared_ptr<Channel> channel;
  uint32_t connection;
  {
    std::lock_guard lock(mutex_);
    channel = channel_;
    connection = connection_;
  }
  reader_ =
      std::thread([this, channel, connection] { ReadAnswers(std::move(channel), connection); });
}

namespace {

// The handshake: the far end's greeting, ours with the root, its answer. The root's
// absolute path there, or nothing with *error.
std::optional<std::string> Greet(Channel& channel, const std::string& host, const std::string& root,
                                 ConnectError* error) {
  uint32_t version = 0;
  if (!ReadGreeting(channel, &version) || version != kProtocolVersion) {
    *error = {EPROTO, NoAgentText(host)};
    return std::nullopt;
  }
  Writer hello;
  hello.buffer().append(kMagic, sizeof kMagic);
  hello.U32(kProtocolVersion);
  hello.Bytes(root);
  unsigned char head[8];
  if (!channel.Write(hello.buffer().data(), hello.buffer().size()) ||
      ReadExact(channel, head, sizeof head) != 1) {
    *error = {EPROTO, NoAgentText(host)};
    return std::nullopt;
  }
  Reader answer(std::string_view(reinterpret_cast<char*>(head), sizeof head));
  const int code = static_cast<int>(answer.U32());
  const uint32_t size = answer.U32();
  std::string text;
  if (size <= kMaxPathText) text.resize(size);
  if (size > kMaxPathText || ReadExact(channel, text.data(), text.size()) != 1 || code == EPROTO) {
    *error = {EPROTO, NoAgentText(host)};
    return std::nullopt;
  }
  if (code != 0) {
    *error = {code, "Der Ordner " + root + " auf " + host +
                        " lässt sich nicht öffnen: " + GermanErrorText(code)};
    return std::nullopt;
  }
  return text;
}

}  // namespace

std::unique_ptr<RemoteFileSystem> RemoteFileSystem::Connect(std::unique_ptr<Channel> channel,
                                                            const std::string& host,
                                                            const std::string& root,
                                                            ConnectError* error) {
  std::optional<std::string> far_root = Greet(*channel, host, root, error);
  if (!far_root) return nullptr;
  return std::unique_ptr<RemoteFileSystem>(
      new RemoteFileSystem(std::move(channel), host, std::move(*far_root)));
}

namespace {

// Greet, where a stop (when stopped is given) ends the wait for a far end that is a child
// process: ECANCELED then, and the child that hangs gets no time to end by itself.
std::optional<std::string> GreetUnlessStopped(Channel& channel, const std::string& host,
                                              const std::string& root,
                                              const std::function<bool()>& stopped,
                                              ConnectError* error) {
  auto* child = dynamic_cast<ProcessChannel*>(&channel);
  if (child && stopped) child->StopWhen(stopped);
  std::optional<std::string> far_root = Greet(channel, host, root, error);
  if (!far_root && child && stopped && stopped()) {
    *error = {ECANCELED, ""};
    child->Finish(std::chrono::milliseconds(0));
  }
  // Before the reader starts: from here on only the connection's own end stops it.
  if (child) child->StopWhen({});
  return far_root;
}

}  // namespace

std::unique_ptr<RemoteFileSystem> RemoteFileSystem::Open(
    const FarName& name, const std::vector<std::string>& ssh_command, ConnectError* error,
    std::function<bool()> stopped, const std::vector<std::string>& far_command) {
  std::unique_ptr<ProcessChannel> child =
      ProcessChannel::Spawn(SshArgv(ssh_command, name, far_command));
  if (!child) {
    const int code = errno;
    *error = {code, "Das Programm " + (ssh_command.empty() ? std::string("ssh") : ssh_command[0]) +
                        " lässt sich nicht starten: " + GermanErrorText(code)};
    return nullptr;
  }
  std::optional<std::string> far_root =
      GreetUnlessStopped(*child, name.host, name.path, stopped, error);
  if (!far_root) return nullptr;
  ProcessChannel* process = child.get();
  std::unique_ptr<RemoteFileSystem> fs(
      new RemoteFileSystem(std::move(child), name.host, std::move(*far_root)));
  fs->process_ = process;
  const std::vector<std::string> argv = SshArgv(ssh_command, name, far_command);
  fs->SetReopen([argv]() -> std::unique_ptr<Channel> { return ProcessChannel::Spawn(argv); });
  return fs;
}

void RemoteFileSystem::SetReopen(std::function<std::unique_ptr<Channel>()> reopen) {
  reopen_ = std::move(reopen);
}

int RemoteFileSystem::Reconnect(const std::function<bool()>& stopped) {
  if (!reopen_) return Failed(ENOTSUP);
  Disconnect();
  if (reader_.joinable()) reader_.join();
  // The old far end sees its input end and removes what it left half-made; one that hangs
  // is stopped by signal, and the sweep of a later run takes what it left.
  if (process_) process_->Finish();
  process_ = nullptr;
  std::unique_ptr<Channel> channel = reopen_();
  if (!channel) return -1;
  ConnectError error;
  std::optional<std::string> far_root = GreetUnlessStopped(*channel, host_, root_, stopped, &error);
  if (!far_root) return Failed(error.code != 0 ? error.code : EPROTO);
  if (*far_root != root_) return Failed(ESTALE);
  {
    std::lock_guard lock(mutex_);
    process_ = dynamic_cast<ProcessChannel*>(channel.get());
    channel_ = std::move(channel);
    writer_ = std::make_shared<BatchWriter>(*channel_);
    writing_.clear();
    connection_ = (connection_ + 1) % kConnectionMarks;
    lost_ = false;
  }
  StartReader();
  return 0;
}

bool RemoteFileSystem::HandleOf(int fd, uint32_t* handle) const {
  if (fd == AT_FDCWD) {
    *handle = kRootHandle;
    return true;
  }
  if (fd < kFdBase) return false;
  const uint32_t rest = static_cast<uint32_t>(fd - kFdBase);
  if (rest >> kHandleBits != connection_.load()) return false;
  *handle = rest & kHandleMask;
  return true;
}

bool RemoteFileSystem::RealHandle(int fd, Writer& w) const {
  uint32_t handle;
  if (fd == AT_FDCWD || !HandleOf(fd, &handle)) return false;
  w.U32(handle);
  return true;
}

int RemoteFileSystem::DescriptorOf(uint32_t handle) const {
  return kFdBase + static_cast<int>(connection_.load() << kHandleBits) + static_cast<int>(handle);
}

bool RemoteFileSystem::Lost() const {
  std::lock_guard lock(mutex_);
  return lost_;
}

void RemoteFileSystem::Lose(uint32_t connection) {
  std::lock_guard lock(mutex_);
  if (connection != connection_) return;
  lost_ = true;
  for (auto& [id, pending] : pending_)
    if (pending->connection == connection) {
      pending->done = true;
      pending->answered.notify_one();
    }
}

void RemoteFileSystem::Disconnect() {
  std::shared_ptr<Channel> channel;
  uint32_t connection;
  {
    std::lock_guard lock(mutex_);
    channel = channel_;
    connection = connection_;
  }
  Lose(connection);
  channel->Shutdown();
}

void RemoteFileSystem::ReadAnswers(std::shared_ptr<Channel> channel, uint32_t connection) {
  for (;;) {
    std::string frame;
    if (ReadFrame(*channel, &frame) != 1 || frame.size() < 4) break;
    Reader in(frame);
    const uint32_t id = in.U32();
    std::lock_guard lock(mutex_);
    auto it = pending_.find(id);
    // An answer nobody waits for is a protocol fault.
    if (it == pending_.end() || it->second->connection != connection) continue;
    it->second->body = frame.substr(4);
    it->second->done = true;
    it->second->answered.notify_one();
  }
  Lose(connection);
}

RemoteFileSystem::Ticket RemoteFileSystem::Send(Op op, Writer& args) {
  Ticket ticket;
  ticket.pending = std::make_unique<Pending>();
  std::shared_ptr<Channel> channel;
  std::shared_ptr<BatchWriter> writer;
  {
    std::lock_guard lock(mutex_);
    if (lost_) {
      ticket.pending->done = true;
      return ticket;
    }
    channel = channel_;
    writer = writer_;
    ticket.pending->connection = connection_;
    ticket.id = next_id_++;
    if (next_id_ == 0) next_id_ = 1;
    pending_.emplace(ticket.id, ticket.pending.get());
  }
  if (!SendFrame(*writer, ticket.id, op, args)) Broke(*channel, ticket.pending->connection);
  return ticket;
}

int64_t RemoteFileSystem::Await(Ticket& ticket, std::string* reply) {
  Pending& pending = *ticket.pending;
  {
    std::unique_lock lock(mutex_);
    pending.answered.wait(lock, [&] { return pending.done; });
    if (ticket.id != 0) pending_.erase(ticket.id);
  }
  if (pending.body.empty()) return Failed(kLostErrno);
  Reader in(pending.body);
  const int64_t result = in.I64();
  const int error = in.I32();
  if (in.failed()) return Failed(EPROTO);
  if (reply) *reply = pending.body.substr(12);
  if (result < 0) return Failed(error);
  return result;
}

int64_t RemoteFileSystem::Call(Op op, Writer& args, std::string* reply) {
  Ticket ticket = Send(op, args);
  return Await(ticket, reply);
}

bool RemoteFileSystem::SendFrame(BatchWriter& writer, uint32_t id, Op op, Writer& args) {
  Writer frame;
  frame.U32(static_cast<uint32_t>(4 + 2 + args.buffer().size()));
  frame.U32(id);
  frame.U16(static_cast<uint16_t>(op));
  frame.buffer().append(args.buffer());
  return writer.Write(frame.buffer());
}

void RemoteFileSystem::Broke(Channel& channel, uint32_t connection) {
  Lose(connection);
  channel.Shutdown();
}

void RemoteFileSystem::Post(Op op, Writer& args) {
  uint32_t id = 0;
  uint32_t connection = 0;
  std::shared_ptr<Channel> channel;
  std::shared_ptr<BatchWriter> writer;
  {
    std::lock_guard lock(mutex_);
    if (lost_) return;
    channel = channel_;
    writer = writer_;
    connection = connection_;
    id = next_id_++;
    if (next_id_ == 0) next_id_ = 1;
  }
  if (!SendFrame(*writer, id, op, args)) Broke(*channel, connection);
}

// A place the far end resolves: the folder's handle and the name below it.
bool RemoteFileSystem::Place(Writer& w, int dir, const char* name) const {
  uint32_t handle;
  if (!HandleOf(dir, &handle)) return false;
  w.U32(handle);
  w.Bytes(name);
  return true;
}

int RemoteFileSystem::OpenAt(int dir, const char* name, int flags, mode_t mode) {
  uint32_t wire_flags;
  if (!WireOpenFlags(flags, &wire_flags)) return Failed(EINVAL);
  Writer w;
  if (!Place(w, dir, name)) return Failed(EBADF);
  w.U32(wire_flags);
  w.U32(mode);
  const int64_t got = Call(Op::kOpenAt, w);
  if (got < 0) return -1;
  if (got > static_cast<int64_t>(kHandleMask)) {
    Writer close;
    close.U32(static_cast<uint32_t>(got));
    Call(Op::kClose, close);
    return Failed(EMFILE);
  }
  const int fd = DescriptorOf(static_cast<uint32_t>(got));
  if ((flags & O_ACCMODE) != O_RDONLY) {
    std::lock_guard lock(mutex_);
    writing_.insert(fd);
  }
  return fd;
}

int RemoteFileSystem::Close(int fd) {
  Writer w;
  if (!RealHandle(fd, w)) return Failed(EBADF);
  bool written;
  {
    std::lock_guard lock(mutex_);
    written = writing_.erase(fd) > 0;
  }
  if (written) return static_cast<int>(Call(Op::kClose, w));
  // Closing what was only read cannot fail in a way that matters: no round trip for it.
  if (Lost()) return Failed(kLostErrno);
  Post(Op::kClose, w);
  return 0;
}

std::unique_ptr<DirStream> RemoteFileSystem::OpenDir(int fd) {
  Writer w;
  if (!RealHandle(fd, w)) {
    errno = EBADF;
    return nullptr;
  }
  auto dir = std::make_unique<RemoteDir>(*this, fd);
  std::string reply;
  if (Call(Op::kListDir, w, &reply) < 0) return nullptr;
  Reader in(reply);
  const uint32_t count = in.U32();
  for (uint32_t i = 0; i < count && !in.failed(); ++i) {
    const unsigned char type = in.U8();
    dir->entries.emplace_back(in.Text(), type);
  }
  if (in.failed()) {
    errno = EPROTO;
    return nullptr;
  }
  return dir;
}

int RemoteFileSystem::ReadDir(DirStream& stream, const char** name, unsigned char* type) {
  RemoteDir& dir = static_cast<RemoteDir&>(stream);
  if (dir.next >= dir.entries.size()) return 0;
  const auto& entry = dir.entries[dir.next++];
  *name = entry.first.c_str();
  *type = entry.second;
  return 1;
}

ssize_t RemoteFileSystem::PRead(int fd, void* buf, size_t count, off_t offset) {
  Writer w;
  if (!RealHandle(fd, w)) return Failed(EBADF);
  w.U64(std::min<uint64_t>(count, kMaxChunk));
  w.I64(offset);
  std::string reply;
  const int64_t got = Call(Op::kPRead, w, &reply);
  if (got < 0) return -1;
  Reader in(reply);
  const std::string_view data = in.Bytes();
  if (in.failed() || data.size() != static_cast<size_t>(got) || data.size() > count)
    return Failed(EPROTO);
  std::memcpy(buf, data.data(), data.size());
  return got;
}

ssize_t RemoteFileSystem::PWrite(int fd, const void* buf, size_t count, off_t offset) {
  Writer w;
  if (!RealHandle(fd, w)) return Failed(EBADF);
  w.I64(offset);
  w.Bytes(std::string_view(static_cast<const char*>(buf), std::min<size_t>(count, kMaxChunk)));
  return Call(Op::kPWrite, w);
}

ssize_t RemoteFileSystem::CopyRange(int in, off_t* in_offset, int out, off_t* out_offset,
                                    size_t count) {
  uint32_t from, to;
  if (in == AT_FDCWD || out == AT_FDCWD || !HandleOf(in, &from) || !HandleOf(out, &to))
    return Failed(EBADF);
  Writer w;
  w.U32(from);
  w.U8(in_offset ? 1 : 0);
  w.I64(in_offset ? *in_offset : 0);
  w.U32(to);
  w.U8(out_offset ? 1 : 0);
  w.I64(out_offset ? *out_offset : 0);
  w.U64(std::min<uint64_t>(count, kMaxChunk));
  std::string reply;
  const int64_t got = Call(Op::kCopyRange, w, &reply);
  if (got < 0) return -1;
  Reader r(reply);
  const off_t new_in = r.I64();
  const off_t new_out = r.I64();
  if (r.failed()) return Failed(EPROTO);
  if (in_offset) *in_offset = new_in;
  if (out_offset) *out_offset = new_out;
  return got;
}

int RemoteFileSystem::Advise(int fd, int advice) {
  Writer w;
  if (!RealHandle(fd, w)) return Failed(EBADF);
  int32_t wire_advice;
  if (!WireAdvice(advice, &wire_advice)) return Failed(EINVAL);
  w.I32(wire_advice);
  return static_cast<int>(Call(Op::kAdvise, w));
}

int RemoteFileSystem::StatAt(int dir, const char* name, struct stat* st, int flags) {
  Writer w;
  if (!Place(w, dir, name)) return Failed(EBADF);
  w.I32(flags);
  std::string reply;
  if (Call(Op::kStatAt, w, &reply) < 0) return -1;
  Reader in(reply);
  in.Stat(st);
  return in.failed() ? Failed(EPROTO) : 0;
}

int RemoteFileSystem::Fstat(int fd, struct stat* st) {
  Writer w;
  if (!RealHandle(fd, w)) return Failed(EBADF);
  std::string reply;
  if (Call(Op::kFstat, w, &reply) < 0) return -1;
  Reader in(reply);
  in.Stat(st);
  return in.failed() ? Failed(EPROTO) : 0;
}

int RemoteFileSystem::Fchmod(int fd, mode_t mode) {
  Writer w;
  if (!RealHandle(fd, w)) return Failed(EBADF);
  w.U32(mode);
  return static_cast<int>(Call(Op::kFchmod, w));
}

int RemoteFileSystem::Fchown(int fd, uid_t uid, gid_t gid) {
  Writer w;
  if (!RealHandle(fd, w)) return Failed(EBADF);
  w.U32(uid);
  w.U32(gid);
  return static_cast<int>(Call(Op::kFchown, w));
}

int RemoteFileSystem::Futimens(int fd, const struct timespec times[2]) {
  Writer w;
  if (!RealHandle(fd, w)) return Failed(EBADF);
  w.Times(times);
  return static_cast<int>(Call(Op::kFutimens, w));
}

int RemoteFileSystem::UtimensAt(int dir, const char* name, const struct timespec times[2],
                                int flags) {
  Writer w;
  if (!Place(w, dir, name)) return Failed(EBADF);
  w.Times(times);
  w.I32(flags);
  return static_cast<int>(Call(Op::kUtimensAt, w));
}

ssize_t RemoteFileSystem::ListXattr(int fd, char* list, size_t size) {
  Writer w;
  if (!RealHandle(fd, w)) return Failed(EBADF);
  w.U64(size);
  std::string reply;
  const int64_t got = Call(Op::kListXattr, w, &reply);
  if (got < 0) return -1;
  Reader in(reply);
  const std::string_view data = in.Bytes();
  if (in.failed() || data.size() > size) return Failed(EPROTO);
  if (size > 0) std::memcpy(list, data.data(), data.size());
  return got;
}

ssize_t RemoteFileSystem::GetXattr(int fd, const char* name, void* value, size_t size) {
  Writer w;
  if (!RealHandle(fd, w)) return Failed(EBADF);
  w.Bytes(name);
  w.U64(size);
  std::string reply;
  const int64_t got = Call(Op::kGetXattr, w, &reply);
  if (got < 0) return -1;
  Reader in(reply);
  const std::string_view data = in.Bytes();
  if (in.failed() || data.size() > size) return Failed(EPROTO);
  if (size > 0) std::memcpy(value, data.data(), data.size());
  return got;
}

int RemoteFileSystem::SetXattr(int fd, const char* name, const void* value, size_t size) {
  Writer w;
  if (!RealHandle(fd, w)) return Failed(EBADF);
  w.Bytes(name);
  w.Bytes(std::string_view(static_cast<const char*>(value), size));
  return static_cast<int>(Call(Op::kSetXattr, w));
}

bool RemoteFileSystem::TwoPlaces(Writer& w, int from_dir, const char* from, int to_dir,
                                 const char* to) const {
  uint32_t a, b;
  if (!HandleOf(from_dir, &a) || !HandleOf(to_dir, &b)) return false;
  w.U32(a);
  w.Bytes(from);
  w.U32(b);
  w.Bytes(to);
  return true;
}

int RemoteFileSystem::RenameAt(int from_dir, const char* from, int to_dir, const char* to) {
  Writer w;
  if (!TwoPlaces(w, from_dir, from, to_dir, to)) return Failed(EBADF);
  return static_cast<int>(Call(Op::kRenameAt, w));
}

int RemoteFileSystem::RenameNoReplaceAt(int from_dir, const char* from, int to_dir,
                                        const char* to) {
  Writer w;
  if (!TwoPlaces(w, from_dir, from, to_dir, to)) return Failed(EBADF);
  return static_cast<int>(Call(Op::kRenameNoReplaceAt, w));
}

int RemoteFileSystem::LinkAt(int from_dir, const char* from, int to_dir, const char* to) {
  Writer w;
  if (!TwoPlaces(w, from_dir, from, to_dir, to)) return Failed(EBADF);
  return static_cast<int>(Call(Op::kLinkAt, w));
}

int RemoteFileSystem::UnlinkAt(int dir, const char* name, int flags) {
  Writer w;
  if (!Place(w, dir, name)) return Failed(EBADF);
  w.I32(flags);
  return static_cast<int>(Call(Op::kUnlinkAt, w));
}

int RemoteFileSystem::MkdirAt(int dir, const char* name, mode_t mode) {
  Writer w;
  if (!Place(w, dir, name)) return Failed(EBADF);
  w.U32(mode);
  return static_cast<int>(Call(Op::kMkdirAt, w));
}

int RemoteFileSystem::SymlinkAt(const char* target, int dir, const char* name) {
  uint32_t handle;
  if (!HandleOf(dir, &handle)) return Failed(EBADF);
  Writer w;
  w.Bytes(target);
  w.U32(handle);
  w.Bytes(name);
  return static_cast<int>(Call(Op::kSymlinkAt, w));
}

ssize_t RemoteFileSystem::ReadLinkAt(int dir, const char* name, char* buf, size_t size) {
  Writer w;
  if (!Place(w, dir, name)) return Failed(EBADF);
  w.U64(size);
  std::string reply;
  const int64_t got = Call(Op::kReadLinkAt, w, &reply);
  if (got < 0) return -1;
  Reader in(reply);
  const std::string_view text = in.Bytes();
  if (in.failed() || text.size() > size) return Failed(EPROTO);
  std::memcpy(buf, text.data(), text.size());
  return got;
}

int RemoteFileSystem::SyncFs(int fd) {
  Writer w;
  if (!RealHandle(fd, w)) return Failed(EBADF);
  return static_cast<int>(Call(Op::kSyncFs, w));
}

int RemoteFileSystem::SyncData(int fd) {
  Writer w;
  if (!RealHandle(fd, w)) return Failed(EBADF);
  return static_cast<int>(Call(Op::kSyncData, w));
}

int RemoteFileSystem::FdPath(int fd, std::string* path) {
  Writer w;
  if (!RealHandle(fd, w)) return Failed(EBADF);
  std::string reply;
  if (Call(Op::kFdPath, w, &reply) < 0) return -1;
  Reader in(reply);
  std::string text = in.Text();
  if (in.failed()) return Failed(EPROTO);
  *path = std::move(text);
  return 0;
}

int RemoteFileSystem::StatFs(int fd, struct statfs* st) {
  Writer w;
  if (!RealHandle(fd, w)) return Failed(EBADF);
  std::string reply;
  if (Call(Op::kStatFs, w, &reply) < 0) return -1;
  Reader in(reply);
  *st = {};
  st->f_type = static_cast<decltype(st->f_type)>(in.U64());
  st->f_bsize = static_cast<decltype(st->f_bsize)>(in.U64());
  st->f_blocks = in.U64();
  st->f_bfree = in.U64();
  st->f_bavail = in.U64();
  st->f_files = in.U64();
  st->f_ffree = in.U64();
  int fsid[2] = {static_cast<int>(in.U64()), static_cast<int>(in.U64())};
  std::memcpy(&st->f_fsid, fsid, sizeof fsid);
  st->f_namelen = static_cast<decltype(st->f_namelen)>(in.U64());
  st->f_frsize = static_cast<decltype(st->f_frsize)>(in.U64());
  st->f_flags = static_cast<decltype(st->f_flags)>(in.U64());
  return in.failed() ? Failed(EPROTO) : 0;
}

int RemoteFileSystem::MountType(int fd, std::string* type) {
  Writer w;
  if (!RealHandle(fd, w)) return Failed(EBADF);
  std::string reply;
  if (Call(Op::kMountType, w, &reply) < 0) return -1;
  Reader in(reply);
  std::string text = in.Text();
  if (in.failed()) return Failed(EPROTO);
  *type = std::move(text);
  return 0;
}

int RemoteFileSystem::VolumeOf(int fd, VolumeInfo* info) {
  Writer w;
  if (!RealHandle(fd, w)) return Failed(EBADF);
  std::string reply;
  if (Call(Op::kVolumeOf, w, &reply) < 0) return -1;
  Reader in(reply);
  VolumeInfo got;
  got.id = in.Text();
  got.below = in.Text();
  if (in.failed()) return Failed(EPROTO);
  *info = std::move(got);
  return 0;
}

int RemoteFileSystem::TakeListing(Reader& in, std::vector<FolderEntry>* entries, bool* more) {
  const int error = in.I32();
  *more = in.U8() != 0;
  const uint32_t count = in.U32();
  for (uint32_t i = 0; i < count && !in.failed(); ++i) {
    FolderEntry& entry = entries->emplace_back();
    entry.type = in.U8();
    entry.name = in.Text();
    entry.error = in.I32();
    if (entry.error == 0) in.Stat(&entry.st);
  }
  if (in.failed() || !in.done() || (*more && count == 0)) return -1;
  return error;
}

int RemoteFileSystem::ListFolder(int dir, bool skip_dot_names, std::vector<FolderEntry>* entries) {
  const size_t first = entries->size();
  for (bool more = true; more;) {
    Writer w;
    if (!RealHandle(dir, w)) return Failed(EBADF);
    w.U8(skip_dot_names ? 1 : 0);
    w.U64(entries->size() - first);
    std::string reply;
    if (Call(Op::kListFolder, w, &reply) < 0) return -1;
    Reader in(reply);
    const int error = TakeListing(in, entries, &more);
    if (error != 0) return Failed(error < 0 ? EPROTO : error);
  }
  return 0;
}

int RemoteFileSystem::ListFolderAt(int dir, const char* name, int open_flags, bool skip_dot_names,
                                   std::vector<FolderEntry>* entries, bool* opened) {
  *opened = false;
  uint32_t wire_flags;
  if (!WireOpenFlags(open_flags, &wire_flags)) return Failed(EINVAL);
  const size_t first = entries->size();
  for (bool more = true; more;) {
    Writer w;
    if (!Place(w, dir, name)) return Failed(EBADF);
    w.U32(wire_flags);
    w.U8(skip_dot_names ? 1 : 0);
    w.U64(entries->size() - first);
    std::string reply;
    if (Call(Op::kListFolderAt, w, &reply) < 0) return -1;
    Reader in(reply);
    const int open_error = in.I32();
    if (open_error != 0) return Failed(open_error);
    *opened = true;
    const int error = TakeListing(in, entries, &more);
    if (error != 0) return Failed(error < 0 ? EPROTO : error);
  }
  return 0;
}

int RemoteFileSystem::BlockHashes(int fd, uint64_t offset, uint64_t length, uint32_t block_size,
                                  BlockHashList* out) {
  *out = BlockHashList();
  Writer w;
  if (!RealHandle(fd, w)) {
    out->error = EBADF;
    return Failed(EBADF);
  }
  w.U64(offset);
  w.U64(length);
  w.U32(block_size);
  std::string reply;
  if (Call(Op::kBlockHashes, w, &reply) < 0) {
    out->error = errno;
    return -1;
  }
  Reader in(reply);
  ReadHashes(in, out);
  if (in.failed() || !in.done()) {
    *out = BlockHashList();
    out->error = EPROTO;
    return Failed(EPROTO);
  }
  if (out->short_file) return Failed(EIO);
  return out->error != 0 ? Failed(out->error) : 0;
}

int RemoteFileSystem::DigestFile(int dir, const char* name, int flags, uint64_t max_length,
                                 uint32_t block_size, FileDigests* out) {
  *out = FileDigests();
  if (dir == AT_FDCWD && TakeAhead(name, flags, max_length, block_size, out)) return 0;
  Writer w;
  if (!Place(w, dir, name)) {
    out->stat_error = EBADF;
    return 0;
  }
  w.I32(flags);
  w.U64(max_length);
  w.U32(block_size);
  std::string reply;
  if (Call(Op::kDigestFile, w, &reply) < 0) {
    out->stat_error = errno;
    return 0;
  }
  Reader in(reply);
  ReadDigests(in, out);
  if (in.failed() || !in.done()) {
    *out = FileDigests();
    out->stat_error = EPROTO;
  }
  return 0;
}

void RemoteFileSystem::DigestAhead(std::vector<DigestWant> wants) {
  for (size_t first = 0; first < wants.size(); first += kMaxDigestsAhead) {
    auto batch = std::make_shared<AheadBatch>();
    const size_t end = std::min(wants.size(), first + kMaxDigestsAhead);
    for (size_t i = first; i < end; ++i) batch->wants.push_back(std::move(wants[i]));
    Writer w;
    w.U32(static_cast<uint32_t>(batch->wants.size()));
    for (const DigestWant& want : batch->wants) {
      w.Bytes(want.path);
      w.I32(want.flags);
      w.U64(want.max_length);
      w.U32(want.block_size);
    }
    // A caller that finds a file of it before its request is on its way waits for that.
    std::lock_guard sending(batch->mutex);
    {
      std::lock_guard lock(ahead_mutex_);
      for (size_t i = 0; i < batch->wants.size(); ++i)
        ahead_.insert_or_assign(batch->wants[i].path, std::make_pair(batch, i));
    }
    batch->ticket = Send(Op::kDigestFiles, w);
  }
}

void RemoteFileSystem::DropDigestsAhead() {
  std::unordered_map<std::string, std::pair<std::shared_ptr<AheadBatch>, size_t>> dropped;
  {
    std::lock_guard lock(ahead_mutex_);
    dropped.swap(ahead_);
  }
  for (auto& [path, place] : dropped) {
    AheadBatch& batch = *place.first;
    std::lock_guard lock(batch.mutex);
    if (!batch.awaited) Forget(batch.ticket);
    batch.awaited = true;
  }
}

void RemoteFileSystem::Forget(Ticket& ticket) {
  std::lock_guard lock(mutex_);
  if (ticket.id != 0) pending_.erase(ticket.id);
}

bool RemoteFileSystem::TakeAhead(const char* path, int flags, uint64_t max_length,
                                 uint32_t block_size, FileDigests* out) {
  std::shared_ptr<AheadBatch> batch;
  size_t index = 0;
  {
    std::lock_guard lock(ahead_mutex_);
    if (ahead_.empty()) return false;
    auto it = ahead_.find(path);
    if (it == ahead_.end()) return false;
    batch = std::move(it->second.first);
    index = it->second.second;
    ahead_.erase(it);
  }
  std::lock_guard lock(batch->mutex);
  if (!batch->awaited) {
    batch->awaited = true;
    std::string reply;
    if (Await(batch->ticket, &reply) >= 0) {
      Reader in(reply);
      batch->found.resize(batch->wants.size());
      for (FileDigests& found : batch->found) ReadDigests(in, &found);
      batch->answered = !in.failed() && in.done();
    }
  }
  const DigestWant& want = batch->wants[index];
  // A far end without the request, a lost connection, or other arguments: asked anew.
  if (!batch->answered || want.flags != flags || want.max_length != max_length ||
      want.block_size != block_size)
    return false;
  *out = std::move(batch->found[index]);
  return true;
}

std::string RemoteFileSystem::Machine() {
  std::call_once(machine_once_, [this] {
    Writer w;
    std::string reply;
    if (Call(Op::kMachine, w, &reply) < 0) return;
    Reader in(reply);
    std::string name = in.Text();
    const int64_t pid = in.I64();
    if (in.failed() || name.empty() || pid <= 0) return;
    machine_ = std::move(name);
    far_pid_ = pid;
  });
  return far_pid_ > 0 ? machine_ : MachineName();
}

int64_t RemoteFileSystem::ProcessId() {
  Machine();
  return far_pid_ > 0 ? far_pid_ : OwnProcessId();
}

bool RemoteFileSystem::ProcessGone(int64_t pid) {
  Machine();
  if (far_pid_ <= 0) return ProcessEnded(pid);
  if (pid <= 0) return false;
  Writer w;
  w.I64(pid);
  return Call(Op::kProcessEnded, w) == 1;
}

std::string RemoteFileSystem::FarMachine() {
  Machine();
  return far_pid_ > 0 ? machine_ : host_;
}

}  // namespace tavrik::remote
