#include "core/sync/stream_copy.h"

#include <fcntl.h>

#include <cerrno>
#include <memory>

#include "core/fs/delta.h"
#include "core/sync/file_ops.h"

namespace tavrik {

namespace {

bool Stopping(const RunScope* scope) { return scope && scope->Stopping(); }

FsError StoppedAt(const std::string& path) { return Because(path, ECANCELED, kWhyStopped); }

// The source's bytes as its file system feeds them, a stop seen between two chunks.
class StoppableFeed : public ByteFeed {
 public:
  StoppableFeed(ByteFeed& feed, const RunScope* scope) : feed_(feed), scope_(scope) {}
  ssize_t Next(std::string_view* chunk) override {
    if (Stopping(scope_)) {
      errno = ECANCELED;
      return -1;
    }
    return feed_.Next(chunk);
  }

 private:
  ByteFeed& feed_;
  const RunScope* scope_;
};

// Neither written nor replaced meanwhile, as far as its status tells.
bool Untouched(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// What says a delta cannot be had, so the file goes whole: a delta longer than the file is
// worth, or a far end of a program that does not offer deltas.
bool NoDelta(int error) { return error == EFBIG || error == EPROTO || error == ENOSYS; }

// The copy as a delta against the older file at the target. False where it goes whole
// instead (nothing written yet then); true with *result saying how the delta went.
bool CopyByDelta(const StreamEnds& e, const FileFinish& finish, struct stat* written,
                 FsResult* result) {
  if (!e.dst_seen || e.st.st_size < static_cast<off_t>(kDeltaThreshold)) return false;
  if (!e.src_fs.IsFar() && !e.dst_fs.IsFar()) return false;
  Fd basis(e.dst_fs, e.dst_fs.OpenAt(e.dir, e.leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (basis.get() < 0) return false;
  std::string sig;
  struct stat basis_st {};
  if (e.dst_fs.Signature(basis.get(), &sig, &basis_st) != 0) return false;
  // Only the file the comparison saw is a basis; another one is the commit's to report.
  if (!S_ISREG(basis_st.st_mode) || !(StampOf(basis_st) == *e.dst_seen)) return false;
  if (Stopping(e.scope)) {
    *result = StoppedAt(e.dst_path);
    return true;
  }
  std::string delta;
  if (e.src_fs.Delta(e.in, sig, kDeltaLimit, &delta) != 0) {
    if (NoDelta(errno)) return false;
    *result = ErrorAt(e.src_path);
    return true;
  }
  FileWritten done;
  struct stat basis_after {};
  if (e.dst_fs.WritePatched(e.out, basis.get(), delta, finish, &done, &basis_after) != 0) {
    *result = ErrorAt(e.dst_path);
    return true;
  }
  // The older file changed while it was read: the copy would hold bytes no longer there.
  if (!Untouched(basis_st, basis_after)) {
    *result = Because(e.dst_path, ESTALE, kWhyChanged);
    return true;
  }
  if (done.st.st_size != e.st.st_size) {
    *result = ErrorAt(e.dst_path, EIO);
    return true;
  }
  *written = done.st;
  *result = {};
  return true;
}

}  // namespace

FsResult ReadXattrs(FileSystem& fs, int in, const std::string& path, Xattrs* out) {
  ssize_t size = fs.ListXattr(in, nullptr, 0);
  if (size < 0) return AttributeRefused(errno) ? FsResult{} : ErrorAt(path);
  std::vector<char> names(static_cast<size_t>(size) + 1);
  size = fs.ListXattr(in, names.data(), names.size());
  if (size < 0) return AttributeRefused(errno) || errno == ERANGE ? FsResult{} : ErrorAt(path);
  std::vector<char> value;
  for (size_t at = 0; at < static_cast<size_t>(size);) {
    const char* name = names.data() + at;
    at += std::char_traits<char>::length(name) + 1;
    ssize_t length = fs.GetXattr(in, name, nullptr, 0);
    if (length < 0) continue;  // gone meanwhile, or not readable: best effort
    value.resize(static_cast<size_t>(length) + 1);
    length = fs.GetXattr(in, name, value.data(), value.size());
    if (length < 0) continue;
    out->emplace_back(name, std::string(value.data(), static_cast<size_t>(length)));
  }
  return {};
}

FsResult StreamCopy(const StreamEnds& e, struct stat* written) {
  FileFinish finish;
  finish.uid = e.st.st_uid;
  finish.gid = e.st.st_gid;
  finish.mode = e.st.st_mode;
  finish.times[0] = e.st.st_atim;
  finish.times[1] = e.st.st_mtim;
  // A copy that takes an older file's place is on the medium before the rename.
  finish.sync_data = e.dst_seen != nullptr;
  FsResult xattrs = ReadXattrs(e.src_fs, e.in, e.dst_path, &finish.xattrs);
  if (!xattrs.ok()) return xattrs;
  FsResult by_delta;
  if (CopyByDelta(e, finish, written, &by_delta)) return by_delta;
  std::unique_ptr<ByteFeed> feed = e.src_fs.ReadStream(e.in, static_cast<uint64_t>(e.st.st_size));
  StoppableFeed stoppable(*feed, e.scope);
  FileWritten done;
  if (e.dst_fs.WriteStream(e.out, stoppable, finish, &done) == 0) {
    *written = done.st;
    return {};
  }
  const int error = errno;
  if (done.feed_failed && error == ECANCELED && Stopping(e.scope)) return StoppedAt(e.dst_path);
  return ErrorAt(done.feed_failed ? e.src_path : e.dst_path, error);
}

}  // namespace tavrik
