// A whole file's bytes to and from the far end: reads asked for ahead and writes sent without
// waiting for their answers, so that a file costs about one round trip instead of one per
// chunk, plus one call for what the file gets after its bytes.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

#include "core/remote/remote_file_system.h"

namespace tavrik::remote {

namespace {

// One read or write of a stream.
constexpr uint32_t kStreamChunk = 1u << 20;
// Reads in flight at once: enough to fill a link of 100 Mbit/s at a few ms each way.
constexpr size_t kReadsAhead = 8;
// Bytes written but not yet answered.
constexpr size_t kWritesAhead = size_t{16} << 20;

int Failed(int error) {
  errno = error;
  return -1;
}

}  // namespace

class RemoteFeed : public ByteFeed {
 public:
  RemoteFeed(RemoteFileSystem& fs, uint32_t handle, uint64_t size)
      : fs_(fs), handle_(handle), size_(size) {}
  ~RemoteFeed() override { AwaitAll(); }

  ssize_t Next(std::string_view* chunk) override {
    if (ended_) return 0;
    AskAhead();
    Ask ask = std::move(asked_.front());
    asked_.pop_front();
    std::string reply;
    const int64_t got = fs_.Await(ask.ticket, &reply);
    if (got < 0) return Fail();
    Reader in(reply);
    const std::string_view data = in.Bytes();
    if (in.failed() || data.size() != static_cast<size_t>(got) || data.size() > ask.count) {
      errno = EPROTO;
      return Fail();
    }
    data_.assign(data);
    // A read short of what was asked is the file's end, wherever its status put it.
    if (data_.size() < ask.count) {
      ended_ = true;
      AwaitAll();
    }
    *chunk = data_;
    return static_cast<ssize_t>(data_.size());
  }

 private:
  struct Ask {
    uint32_t count = 0;
    RemoteFileSystem::Ticket ticket;
  };

  // The bytes the status promised and one read past them, which sees the end; a file that
  // grew is read on one request at a time.
  void AskAhead() {
    while (asked_.size() < kReadsAhead && (next_ <= size_ || asked_.empty())) {
      const uint32_t count =
          next_ < size_ ? static_cast<uint32_t>(std::min<uint64_t>(kStreamChunk, size_ - next_))
                        : kStreamChunk;
      Writer w;
      w.U32(handle_);
      w.U64(count);
      w.I64(static_cast<int64_t>(next_));
      asked_.push_back({count, fs_.Send(Op::kPRead, w)});
      next_ += count;
    }
  }

  ssize_t Fail() {
    const int error = errno;
    ended_ = true;
    AwaitAll();
    errno = error;
    return -1;
  }

  // Reads still in flight are waited for, not forgotten: once the handle is closed the far
  // end may give its number to another file.
  void AwaitAll() {
    for (Ask& ask : asked_) fs_.Await(ask.ticket);
    asked_.clear();
  }

  RemoteFileSystem& fs_;
  uint32_t handle_;
  uint64_t size_;
  uint64_t next_ = 0;  // where the next read asks from
  std::deque<Ask> asked_;
  std::string data_;
  bool ended_ = false;
};

std::unique_ptr<ByteFeed> RemoteFileSystem::ReadStream(int fd, uint64_t size) {
  uint32_t handle;
  if (fd == AT_FDCWD || !HandleOf(fd, &handle)) return FileSystem::ReadStream(fd, size);
  return std::make_unique<RemoteFeed>(*this, handle, size);
}

namespace {

// A write sent and not yet answered, kept until its answer says it was written whole.
struct Written {
  off_t offset = 0;
  std::string data;
};

}  // namespace

int RemoteFileSystem::WriteStream(int fd, ByteFeed& feed, const FileFinish& finish,
                                  FileWritten* out) {
  *out = FileWritten();
  uint32_t handle;
  if (fd == AT_FDCWD || !HandleOf(fd, &handle)) return Failed(EBADF);
  std::deque<std::pair<Ticket, Written>> sent;
  size_t in_flight = 0;
  // Writes still in flight are waited for even after a failure: once the handle is closed
  // the far end may give its number to another file, which a late write would then hit.
  const auto drop_all = [&] {
    const int error = errno;
    for (auto& [ticket, written] : sent) Await(ticket);
    sent.clear();
    errno = error;
    return -1;
  };
  // Takes the answers of the oldest writes until at most limit bytes are in flight. A write
  // the far end took in part has its rest written on the spot, as a short write is answered.
  const auto settle = [&](size_t limit) {
    while (!sent.empty() && in_flight > limit) {
      auto [ticket, written] = std::move(sent.front());
      sent.pop_front();
      in_flight -= written.data.size();
      int64_t n = Await(ticket);
      for (size_t done = 0; n >= 0;) {
        done += static_cast<size_t>(n);
        if (done >= written.data.size()) break;
        if (n == 0) n = Failed(EIO);
        if (n < 0) break;
        n = PWrite(fd, written.data.data() + done, written.data.size() - done,
                   written.offset + static_cast<off_t>(done));
      }
      if (n < 0) return false;
    }
    return true;
  };
  off_t offset = 0;
  for (;;) {
    std::string_view chunk;
    const ssize_t got = feed.Next(&chunk);
    if (got < 0) {
      out->feed_failed = true;
      return drop_all();
    }
    if (got == 0) break;
    while (!chunk.empty()) {
      const size_t take = std::min<size_t>(chunk.size(), kStreamChunk);
      Writer w;
      w.U32(handle);
      w.I64(offset);
      w.Bytes(chunk.substr(0, take));
      Ticket ticket = Send(Op::kPWrite, w);
      sent.emplace_back(std::move(ticket), Written{offset, std::string(chunk.substr(0, take))});
      in_flight += take;
      offset += static_cast<off_t>(take);
      chunk.remove_prefix(take);
      if (!settle(kWritesAhead)) return drop_all();
    }
  }
  if (!settle(0)) return drop_all();
  Writer w;
  w.U32(handle);
  w.Finish(finish);
  std::string reply;
  if (Call(Op::kFinishFile, w, &reply) < 0) return -1;
  Reader in(reply);
  in.Stat(&out->st);
  if (in.failed()) return Failed(EPROTO);
  return 0;
}

int RemoteFileSystem::Signature(int fd, std::string* sig, struct stat* st) {
  Writer w;
  if (!RealHandle(fd, w)) return Failed(EBADF);
  std::string reply;
  if (Call(Op::kSignature, w, &reply) < 0) return -1;
  Reader in(reply);
  std::string got(in.Bytes());
  in.Stat(st);
  if (in.failed()) return Failed(EPROTO);
  *sig = std::move(got);
  return 0;
}

int RemoteFileSystem::Delta(int fd, const std::string& sig, size_t limit, std::string* delta) {
  if (sig.size() > kMaxDelta) return Failed(EFBIG);
  Writer w;
  if (!RealHandle(fd, w)) return Failed(EBADF);
  w.Bytes(sig);
  w.U64(std::min<uint64_t>(limit, kMaxDelta));
  std::string reply;
  if (Call(Op::kDelta, w, &reply) < 0) return -1;
  Reader in(reply);
  std::string got(in.Bytes());
  if (in.failed() || got.size() > limit) return Failed(EPROTO);
  *delta = std::move(got);
  return 0;
}

int RemoteFileSystem::WritePatched(int fd, int basis, const std::string& delta,
                                   const FileFinish& finish, FileWritten* out,
                                   struct stat* basis_st) {
  *out = FileWritten();
  if (delta.size() > kMaxDelta) return Failed(EFBIG);
  Writer w;
  if (!RealHandle(fd, w) || !RealHandle(basis, w)) return Failed(EBADF);
  w.Bytes(delta);
  w.Finish(finish);
  std::string reply;
  if (Call(Op::kPatch, w, &reply) < 0) return -1;
  Reader in(reply);
  in.Stat(&out->st);
  in.Stat(basis_st);
  return in.failed() ? Failed(EPROTO) : 0;
}

namespace {

void WritePlace(Writer& w, uint32_t handle, const char* temp, const char* name,
                const PlaceCondition& want) {
  w.U32(handle);
  w.Bytes(temp);
  w.Bytes(name);
  w.Bytes(want.folder);
  w.U8(want.follow_folder ? 1 : 0);
  w.U64(want.folder_dev);
  w.U64(want.folder_ino);
  w.U8(want.replace ? 1 : 0);
  w.I64(want.size);
  w.I64(want.mtime.tv_sec);
  w.I64(want.mtime.tv_nsec);
}

}  // namespace

size_t RemoteFileSystem::PlaceInOrder(std::vector<PlaceStep>& steps) {
  if (steps.empty()) return 0;
  if (steps.size() > kMaxPlacesAtOnce) return FileSystem::PlaceInOrder(steps);
  Writer w;
  w.U32(static_cast<uint32_t>(steps.size()));
  for (const PlaceStep& step : steps) {
    uint32_t handle;
    // A descriptor of an earlier connection fails as a single call says it.
    if (!HandleOf(step.dir, &handle)) return FileSystem::PlaceInOrder(steps);
    WritePlace(w, handle, step.temp.c_str(), step.name.c_str(), step.want);
  }
  std::string reply;
  if (Call(Op::kPlaceAll, w, &reply) < 0) {
    // A far end without the request takes them one by one; a lost connection fails each
    // in its own turn, as it fails a single call.
    if (errno == EPROTO) return FileSystem::PlaceInOrder(steps);
    return 0;
  }
  Reader in(reply);
  const uint32_t tried = in.U32();
  if (in.failed() || tried == 0 || tried > steps.size()) return 0;
  for (uint32_t i = 0; i < tried; ++i) {
    PlaceStep& step = steps[i];
    const int64_t result = in.I64();
    step.error = in.I32();
    in.Stat(&step.after);
    step.result = result < 0 ? -1 : static_cast<int>(result);
    if (in.failed() || result > 2) return i;
  }
  return tried;
}

int RemoteFileSystem::PlaceIfUnchanged(int dir, const char* temp, const char* name,
                                       const PlaceCondition& want, struct stat* after) {
  Writer w;
  uint32_t handle;
  if (!HandleOf(dir, &handle)) return Failed(EBADF);
  WritePlace(w, handle, temp, name, want);
  std::string reply;
  const int64_t placed = Call(Op::kPlace, w, &reply);
  if (placed < 0) return -1;
  Reader in(reply);
  in.Stat(after);
  if (in.failed() || placed > 2) return Failed(EPROTO);
  return static_cast<int>(placed);
}

}  // namespace tavrik::remote
