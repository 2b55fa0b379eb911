#include "core/fs/file_system.h"

#include "core/fs/no_replace.h"

// The plain SHA-256 functions: they cannot fail, and they link into a static program without
// the rest of the library (its providers, configuration and loadable modules).
#define OPENSSL_API_COMPAT 0x10100000L
#include <openssl/sha.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <tuple>

namespace tavrik {

namespace {

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Reads count bytes of a block at offset into buffer (which has room for one byte more);
// with last, asks for one byte more to see whether the file goes on. The bytes read, fewer
// than count where the file ended first; -1 with errno set on a failed read.
ssize_t ReadWholeBlock(FileSystem& fs, int fd, char* buffer, size_t count, uint64_t offset,
                       bool last) {
  const size_t want = last ? count + 1 : count;
  size_t done = 0;
  while (done < count) {
    const ssize_t n = fs.PRead(fd, buffer + done, want - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

// The file read one buffer at a time, each read waiting for its answer.
class ReadingFeed : public ByteFeed {
 public:
  ReadingFeed(FileSystem& fs, int fd) : fs_(fs), fd_(fd), buffer_(kFeedBuffer) {}
  ssize_t Next(std::string_view* chunk) override {
    for (;;) {
      const ssize_t got = fs_.PRead(fd_, buffer_.data(), buffer_.size(), offset_);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return -1;
      offset_ += got;
      *chunk = std::string_view(buffer_.data(), static_cast<size_t>(got));
      return got;
    }
  }

 private:
  static constexpr size_t kFeedBuffer = size_t{1} << 18;
  FileSystem& fs_;
  int fd_;
  off_t offset_ = 0;
  std::vector<char> buffer_;
};

}  // namespace

bool AttributeRefused(int error) {
  return error == EPERM || error == ENOTSUP || error == EOPNOTSUPP || error == ENOSYS ||
         error == EINVAL;
}

bool FlushNotOffered(int error) {
  return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP;
}

int FinishFile(FileSystem& fs, int fd, const FileFinish& finish, struct stat* st) {
  // Owner first: a change of owner clears set-id bits that the mode below sets again.
  if (geteuid() == 0 && fs.Fchown(fd, finish.uid, finish.gid) != 0 && !AttributeRefused(errno))
    return -1;
  for (const auto& [name, value] : finish.xattrs) {
    if (fs.SetXattr(fd, name.c_str(), value.data(), value.size()) != 0 &&
        !AttributeRefused(errno) && errno != EACCES)
      return -1;
  }
  // After the ACL: the source's mode agrees with its ACL, so this keeps both.
  if (fs.Fchmod(fd, finish.mode & 07777) != 0 && !AttributeRefused(errno)) return -1;
  if (fs.Futimens(fd, finish.times) != 0) return -1;
  if (fs.Fstat(fd, st) != 0) return -1;
  if (finish.sync_data && fs.SyncData(fd) != 0 && !FlushNotOffered(errno)) return -1;
  return 0;
}

std::unique_ptr<ByteFeed> FileSystem::ReadStream(int fd, uint64_t /*size*/) {
  return std::make_unique<ReadingFeed>(*this, fd);
}

int FileSystem::WriteStream(int fd, ByteFeed& feed, const FileFinish& finish, FileWritten* out) {
  *out = FileWritten();
  off_t offset = 0;
  for (;;) {
    std::string_view chunk;
    const ssize_t got = feed.Next(&chunk);
    if (got < 0) {
      out->feed_failed = true;
      return -1;
    }
    if (got == 0) break;
    while (!chunk.empty()) {
      const ssize_t n = PWrite(fd, chunk.data(), chunk.size(), offset);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return -1;
      if (n == 0) {
        errno = EIO;
        return -1;
      }
      chunk.remove_prefix(static_cast<size_t>(n));
      offset += n;
    }
  }
  return FinishFile(*this, fd, finish, &out->st);
}

int PlaceChecked(FileSystem& fs, int temp_dir, const char* temp, int dir, const char* name,
                 const PlaceCondition& want, struct stat* after) {
  struct stat st {};
  const int there = fs.StatAt(dir, name, &st, AT_SYMLINK_NOFOLLOW);
  if (!want.replace && !(there != 0 && errno == ENOENT)) return 0;
  if (want.replace && (there != 0 || !S_ISREG(st.st_mode) || (st.st_mode & S_IWUSR) == 0 ||
                       st.st_size != want.size || st.st_mtim.tv_sec != want.mtime.tv_sec ||
                       st.st_mtim.tv_nsec != want.mtime.tv_nsec))
    return 0;
  const int renamed = want.replace ? fs.RenameAt(temp_dir, temp, dir, name)
                                   : RenameNoReplace(fs, temp_dir, temp, dir, name);
  if (renamed != 0) return -1;
  return fs.StatAt(dir, name, after, AT_SYMLINK_NOFOLLOW) == 0 ? 1 : 2;
}

int FileSystem::PlaceIfUnchanged(int dir, const char* temp, const char* name,
                                 const PlaceCondition& want, struct stat* after) {
  struct stat st {};
  if (StatAt(AT_FDCWD, want.folder.c_str(), &st, want.follow_folder ? 0 : AT_SYMLINK_NOFOLLOW) !=
          0 ||
      static_cast<uint64_t>(st.st_dev) != want.folder_dev ||
      static_cast<uint64_t>(st.st_ino) != want.folder_ino)
    return 0;
  return PlaceChecked(*this, dir, temp, dir, name, want, after);
}

size_t FileSystem::PlaceInOrder(std::vector<PlaceStep>& steps) {
  size_t tried = 0;
  for (PlaceStep& step : steps) {
    ++tried;
    step.result =
        PlaceIfUnchanged(step.dir, step.temp.c_str(), step.name.c_str(), step.want, &step.after);
    step.error = step.result < 0 ? errno : 0;
    if (step.result != 1 && step.result != 2) break;
  }
  return tried;
}

BlockDigest HashBlock(const void* data, size_t size) {
  static_assert(std::tuple_size<BlockDigest>::value == SHA256_DIGEST_LENGTH);
  BlockDigest digest{};
  SHA256_CTX context;
  SHA256_Init(&context);
  SHA256_Update(&context, data, size);
  SHA256_Final(digest.data(), &context);
  return digest;
}

int FileSystem::ListFolder(int dir, bool skip_dot_names, std::vector<FolderEntry>* entries) {
  const int fd = OpenAt(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  std::unique_ptr<DirStream> stream = OpenDir(fd);
  if (!stream) return -1;
  for (;;) {
    const char* name = nullptr;
    unsigned char type = DT_UNKNOWN;
    const int got = ReadDir(*stream, &name, &type);
    if (got < 0) {
      const int error = errno;
      stream.reset();
      errno = error;
      return -1;
    }
    if (got == 0) return 0;
    if (IsDotOrDotDot(name) || (skip_dot_names && name[0] == '.')) continue;
    FolderEntry& entry = entries->emplace_back();
    entry.name = name;
    entry.type = type;
    if (StatAt(dir, name, &entry.st, AT_SYMLINK_NOFOLLOW) != 0) entry.error = errno;
  }
}

int FileSystem::ListFolderAt(int dir, const char* name, int open_flags, bool skip_dot_names,
                             std::vector<FolderEntry>* entries, bool* opened) {
  *opened = false;
  const int fd = OpenAt(dir, name, open_flags);
  if (fd < 0) return -1;
  *opened = true;
  const int listed = ListFolder(fd, skip_dot_names, entries);
  const int error = errno;
  Close(fd);
  errno = error;
  return listed;
}

int FileSystem::BlockHashes(int fd, uint64_t offset, uint64_t length, uint32_t block_size,
                            BlockHashList* out) {
  *out = BlockHashList();
  if (block_size == 0) {
    errno = EINVAL;
    return -1;
  }
  if (length == 0) {
    // Nothing to digest; one byte asked for tells whether the file goes on.
    char probe;
    ssize_t n;
    do n = PRead(fd, &probe, 1, static_cast<off_t>(offset));
    while (n < 0 && errno == EINTR);
    if (n < 0) {
      out->error = errno;
      return -1;
    }
    out->longer = n > 0;
    return 0;
  }
  // Not zeroed: most files here are small, and a block is much larger than they are.
  const size_t room = static_cast<size_t>(std::min<uint64_t>(block_size, length)) + 1;
  const std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(room);
  for (uint64_t at = 0; at < length; at += block_size) {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(block_size, length - at));
    const bool last = at + count >= length;
    const ssize_t got = ReadWholeBlock(*this, fd, buffer.get(), count, offset + at, last);
    if (got < 0) {
      out->error = errno;
      return -1;
    }
    if (static_cast<size_t>(got) < count) {
      out->short_file = true;
      errno = EIO;
      return -1;
    }
    out->longer = static_cast<size_t>(got) > count;
    out->blocks.push_back(HashBlock(buffer.get(), count));
  }
  return 0;
}

int FileSystem::DigestFile(int dir, const char* name, int flags, uint64_t max_length,
                           uint32_t block_size, FileDigests* out) {
  *out = FileDigests();
  if (StatAt(dir, name, &out->st, flags) != 0) {
    out->stat_error = errno;
    return 0;
  }
  if (!S_ISREG(out->st.st_mode) || static_cast<uint64_t>(out->st.st_size) > max_length) return 0;
  const int open_flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY |
                         ((flags & AT_SYMLINK_NOFOLLOW) ? O_NOFOLLOW : 0);
  const int fd = OpenAt(dir, name, open_flags);
  if (fd < 0) {
    out->open_error = errno;
    return 0;
  }
  BlockHashes(fd, 0, static_cast<uint64_t>(out->st.st_size), block_size, &out->hashes);
  out->hashed = true;
  Close(fd);
  return 0;
}
std::string FileSystem::Machine() { return MachineName(); }

int64_t FileSystem::ProcessId() { return OwnProcessId(); }

bool FileSystem::ProcessGone(int64_t pid) { return ProcessEnded(pid); }

}  // namespace tavrik
