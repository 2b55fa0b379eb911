// The one way core reaches files. Every listing, attribute query, read, write, rename and
// deletion goes through a FileSystem, so tests can put an in-memory file system or a
// fault-injecting decorator where the real disk cannot fail or be slow on demand.
//
// The calls mirror the POSIX calls they are named after: descriptors are plain ints that
// belong to the FileSystem that issued them, and a failing call returns -1 (nullptr for
// OpenDir) with errno set.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavrik {

// Which medium a file lies on, in words that survive a new mount: the volume's own id where
// the medium has one (the UUID or serial number of its file system), else the device as the
// system numbers it on this machine; and the path of the file below the top of that medium.
struct VolumeInfo {
  // "uuid:<id>" where udev names the medium, "fat:"/"exfat:"/"ntfs:<serial>" from its boot
  // sector, "src:<type>:<source>" for a network share, "anon:<type>:<blocks>x<size>" for a
  // driver in user space that names no source, else "dev:<major>:<minor>" (which a new
  // mount may change).
  std::string id;
  std::string below;  // "/" for the top of the medium, "/a/b" below it
};

// The kinds of call, for counting and injecting faults.
enum class FsCall {
  kOpen,
  kClose,
  kOpenDir,
  kReadDir,
  kRead,
  kWrite,
  kCopyRange,
  kAdvise,
  kStat,
  kChmod,
  kChown,
  kSetTimes,
  kXattr,
  kRename,
  kLink,
  kUnlink,
  kMkdir,
  kSyncFs,
  kSyncData,
  kSymlink,
  kReadLink,
  kFdPath,
  kStatFs,
  kMountType,
  kVolume,
  kCount,  // the number of kinds above; keep it last
};
inline constexpr int kFsCallCount = static_cast<int>(FsCall::kCount);

// An open folder listing; what it holds belongs to the FileSystem that opened it.
class DirStream {
 public:
  virtual ~DirStream() = default;
};

// One entry of a folder with what a status query of it says (links not followed).
struct FolderEntry {
  std::string name;
  unsigned char type = DT_UNKNOWN;  // what the listing says of it, as ReadDir gives it
  int error = 0;                    // the status query failed with this errno; st is unset
  struct stat st {};
};

// The SHA-256 digest of one block of a file.
using BlockDigest = std::array<uint8_t, 32>;

// The digests of a run of blocks, and how reading them ended.
struct BlockHashList {
  std::vector<BlockDigest> blocks;  // of the blocks read whole, in order
  // Where a block could not be read whole (block blocks.size()): the read's errno, or
  // short_file when the file ended in it.
  int error = 0;
  bool short_file = false;
  // The file holds more bytes after the run (seen only when the run was read whole).
  bool longer = false;
};

// What DigestFile found of one file.
struct FileDigests {
  int stat_error = 0;  // the status query's errno; st is unset then
  struct stat st {};
  int open_error = 0;    // the open's errno, where it was opened
  bool hashed = false;   // a regular file of at most the length asked, opened and read
  BlockHashList hashes;  // of its bytes from 0 to st.st_size, where hashed
};

// A file DigestAhead asks for: DigestFile(AT_FDCWD, path, flags, max_length, block_size).
struct DigestWant {
  std::string path;
  int flags = 0;
  uint64_t max_length = 0;
  uint32_t block_size = 0;
};

// A file's bytes in order, one chunk at a time, as a copy reads them.
class ByteFeed {
 public:
  virtual ~ByteFeed() = default;
  // The next chunk in *chunk (valid until the next call): its size, 0 at the end, -1 with
  // errno set.
  virtual ssize_t Next(std::string_view* chunk) = 0;
};

// What a copy's file is given after its bytes, in this order: owner and group (only where
// the writer runs as root), extended attributes, permission bits, times; then its data is
// flushed where asked. Attributes the medium cannot hold are left out, as on a local copy.
struct FileFinish {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<std::pair<std::string, std::string>> xattrs;  // name, value
  mode_t mode = 0;
  struct timespec times[2]{};  // access, modification
  bool sync_data = false;
};

// What must still hold for PlaceIfUnchanged to rename a copy into place: the folder's path
// names the folder the copy was written into, and the name holds what the checks before the
// copy found (a regular file with its owner's write permission and this size and time, or
// nothing).
struct PlaceCondition {
  std::string folder;          // the folder's absolute path
  bool follow_folder = false;  // the folder is the root, which may be reached through links
  uint64_t folder_dev = 0, folder_ino = 0;
  bool replace = false;  // a file is there and is replaced; else the name is free
  int64_t size = 0;      // the replaced file's
  struct timespec mtime {};
};

// One PlaceIfUnchanged of the steps PlaceInOrder carries out, and what it gave.
struct PlaceStep {
  int dir = -1;
  std::string temp;
  std::string name;
  PlaceCondition want;
  int result = 0;  // as PlaceIfUnchanged returns it
  int error = 0;   // its errno where that was -1
  struct stat after {};
};

// How WriteStream ended.
struct FileWritten {
  bool feed_failed = false;  // errno is the feed's (the source's), not the target's
  struct stat st {};         // the written file after its finish
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual int OpenAt(int dir, const char* name, int flags, mode_t mode = 0) = 0;
  virtual int Close(int fd) = 0;

  // Takes over fd (a folder opened for reading) whether or not it succeeds.
  virtual std::unique_ptr<DirStream> OpenDir(int fd) = 0;
  // The next name: 1 with *name set (valid until the next call), 0 at the end, -1 on error.
  // *type is what the listing itself says of the entry (DT_DIR, DT_REG, DT_LNK, ...), or
  // DT_UNKNOWN where the file system does not tell; only a status query is sure.
  virtual int ReadDir(DirStream& dir, const char** name, unsigned char* type) = 0;
  int ReadDir(DirStream& dir, const char** name) {
    unsigned char type = DT_UNKNOWN;
    return ReadDir(dir, name, &type);
  }

  virtual ssize_t PRead(int fd, void* buf, size_t count, off_t offset) = 0;
  virtual ssize_t PWrite(int fd, const void* buf, size_t count, off_t offset) = 0;
  virtual ssize_t CopyRange(int in, off_t* in_offset, int out, off_t* out_offset, size_t count) = 0;
  // posix_fadvise over the whole file; a hint, so failures may be ignored.
  virtual int Advise(int fd, int advice) = 0;

  virtual int StatAt(int dir, const char* name, struct stat* st, int flags) = 0;
  virtual int Fstat(int fd, struct stat* st) = 0;
  virtual int Fchmod(int fd, mode_t mode) = 0;
  virtual int Fchown(int fd, uid_t uid, gid_t gid) = 0;
  virtual int Futimens(int fd, const struct timespec times[2]) = 0;
  // Sets times by name (utimensat): no handle for writing is needed, so a read-only file or
  // one that a driver refuses to open keeps its times too. AT_SYMLINK_NOFOLLOW sets a
  // link's own times.
  virtual int UtimensAt(int dir, const char* name, const struct timespec times[2], int flags) = 0;
  virtual ssize_t ListXattr(int fd, char* list, size_t size) = 0;
  virtual ssize_t GetXattr(int fd, const char* name, void* value, size_t size) = 0;
  virtual int SetXattr(int fd, const char* name, const void* value, size_t size) = 0;

  virtual int RenameAt(int from_dir, const char* from, int to_dir, const char* to) = 0;
  // A rename that never replaces (renameat2 with RENAME_NOREPLACE): EEXIST when the name is
  // taken, EINVAL (or ENOSYS) where the file system does not offer it; core/fs/no_replace.h
  // then falls back to what the medium can do.
  virtual int RenameNoReplaceAt(int from_dir, const char* from, int to_dir, const char* to) = 0;
  virtual int LinkAt(int from_dir, const char* from, int to_dir, const char* to) = 0;
  virtual int UnlinkAt(int dir, const char* name, int flags) = 0;
  virtual int MkdirAt(int dir, const char* name, mode_t mode) = 0;
  virtual int SymlinkAt(const char* target, int dir, const char* name) = 0;
  // The link's text, not terminated; the number of bytes, or -1.
  virtual ssize_t ReadLinkAt(int dir, const char* name, char* buf, size_t size) = 0;

  virtual int SyncFs(int fd) = 0;
  // Writes one file's data out (fdatasync), before it takes the place of an older file.
  virtual int SyncData(int fd) = 0;
  // The absolute path of an open folder or file as the system knows it now (links resolved).
  virtual int FdPath(int fd, std::string* path) = 0;
  virtual int StatFs(int fd, struct statfs* st) = 0;
  // The type the mount table gives the file system that holds fd ("ext4", "vfat",
  // "fuse.sshfs", "fuseblk", ...).
  virtual int MountType(int fd, std::string* type) = 0;
  // The medium that holds fd and fd's place on it (VolumeInfo).
  virtual int VolumeOf(int fd, VolumeInfo* info) = 0;

  // Calls that do the work of many calls above in one, so that a file system whose every
  // call is a round trip (a folder on another machine) answers a folder or a file at once.
  // The defaults here are made of the calls above.

  // True where every call costs a round trip: the scan and the binary comparison then use
  // the calls below instead of one call per entry or block.
  virtual bool IsFar() const { return false; }
  // Where the connection to a far folder broke: the German sentence that says so, naming its
  // host (a failed call's reason then); empty otherwise.
  virtual std::string LostConnectionText() const { return {}; }
  // Where the connection to a far folder broke: a new one made the same way (the far end
  // started again, the root opened again). Descriptors of the broken connection stay
  // invalid, so whatever used them starts over. stopped, where given, is asked while the new
  // far end is awaited: a stop ends a login that hangs (ECANCELED). 0, or -1 with errno set
  // (ENOTSUP where there is no connection to renew).
  virtual int Reconnect(const std::function<bool()>& stopped) {
    (void)stopped;
    errno = ENOTSUP;
    return -1;
  }
  // Every entry of the folder dir (a descriptor of this file system that stays open), "."
  // and ".." left out, and with skip_dot_names every name beginning with ".", each with its
  // status by name without following a link. 0, or -1 with errno set when the folder cannot
  // be read or its listing broke off (*entries then holds what came before).
  virtual int ListFolder(int dir, bool skip_dot_names, std::vector<FolderEntry>* entries);
  // ListFolder of the folder name in dir, opened with open_flags and closed again within the
  // call. -1 with errno set where it failed; *opened then tells the open's failure (false)
  // from the listing's.
  virtual int ListFolderAt(int dir, const char* name, int open_flags, bool skip_dot_names,
                           std::vector<FolderEntry>* entries, bool* opened);
  // The SHA-256 digests of the blocks of fd's bytes from offset on, length bytes in blocks of
  // block_size (the last one shorter), read up to the first failure. 0 when every block was
  // read whole; -1 with errno set otherwise (out says where and why).
  virtual int BlockHashes(int fd, uint64_t offset, uint64_t length, uint32_t block_size,
                          BlockHashList* out);
  // The status of name in dir (flags as StatAt's) and, where that is a regular file of at
  // most max_length bytes, the digests of all its bytes (BlockHashes from 0 to its size),
  // read through an open of it that cannot block, as a comparison opens. Always 0: what
  // failed is in *out.
  virtual int DigestFile(int dir, const char* name, int flags, uint64_t max_length,
                         uint32_t block_size, FileDigests* out);
  // Where each call waits for a link: asks for these files' DigestFile ahead of their turn,
  // so that the later DigestFile of a path with the same arguments is answered without a
  // wait of its own. What was asked for and never taken is let go by DropDigestsAhead. A
  // file system at hand has nothing to gain and does nothing.
  virtual void DigestAhead(std::vector<DigestWant> wants) { (void)wants; }
  virtual void DropDigestsAhead() {}

  // The machine that holds these files and the process that acts on them there, as a lock
  // file among them names its owner; a far folder's are the far end's own. ProcessGone is
  // ProcessEnded asked on that machine.
  virtual std::string Machine();
  // The other machine a far folder lies on, by its own name; empty for this machine's files.
  // Folders on two machines are never one folder, whatever their numbers say.
  virtual std::string FarMachine() { return {}; }
  virtual int64_t ProcessId();
  virtual bool ProcessGone(int64_t pid);
  // fd's bytes from the start to the end, fetched ahead where that saves waiting; size is
  // what its status said (a file that grew is still read to its end).
  virtual std::unique_ptr<ByteFeed> ReadStream(int fd, uint64_t size);
  // Writes feed's bytes into fd (a new, empty file) from the start, then gives it finish
  // (FinishFile) and its status. 0, or -1 with errno set (out->feed_failed: the feed's).
  virtual int WriteStream(int fd, ByteFeed& feed, const FileFinish& finish, FileWritten* out);
  // A replacement as a delta (core/fs/delta.h). The signature of fd's bytes (the older file
  // a copy is to replace) and fd's status after reading them.
  virtual int Signature(int fd, std::string* sig, struct stat* st);
  // The delta of fd's bytes against sig; EFBIG where it would grow past limit.
  virtual int Delta(int fd, const std::string& sig, size_t limit, std::string* delta);
  // Writes into fd (a new, empty file) what delta makes of basis's bytes, then gives it
  // finish; out->st is fd's status then, *basis_st basis's after the patch read it.
  virtual int WritePatched(int fd, int basis, const std::string& delta, const FileFinish& finish,
                           FileWritten* out, struct stat* basis_st);
  // Renames temp to name in dir where want still holds (replacing the file there, or with a
  // rename that never replaces), and gives name's status after: 1 when renamed, 2 when
  // renamed but the status after could not be had, 0 when something differs (nothing done),
  // -1 with errno set when the rename failed.
  virtual int PlaceIfUnchanged(int dir, const char* temp, const char* name,
                               const PlaceCondition& want, struct stat* after);
  // PlaceIfUnchanged of each step in order, up to and including the first that renames
  // nothing (a result other than 1 or 2); nothing after that one is tried. The number of
  // steps tried. A far folder takes them all in one request.
  virtual size_t PlaceInOrder(std::vector<PlaceStep>& steps);
};

// PlaceIfUnchanged once the folder is known to be the one at its path: temp in temp_dir,
// name in dir.
int PlaceChecked(FileSystem& fs, int temp_dir, const char* temp, int dir, const char* name,
                 const PlaceCondition& want, struct stat* after);

// The second half of WriteStream, made of single calls: what finish names, then fd's status
// into *st. 0, or -1 with errno set.
int FinishFile(FileSystem& fs, int fd, const FileFinish& finish, struct stat* st);

// What a medium says when it cannot hold an attribute (FAT has no owner or mode, some
// network file systems no extended attributes); a copy is still good there.
bool AttributeRefused(int error);
// What a file system answers when it offers no flush of a single file.
bool FlushNotOffered(int error);

// The SHA-256 digest of size bytes at data.
BlockDigest HashBlock(const void* data, size_t size);

// The machine and the process: for the locks that name their owner. ProcessEnded is true for
// a process of this machine that is gone or has ended without being reaped (a zombie).
std::string MachineName();
int64_t OwnProcessId();
bool ProcessEnded(int64_t pid);

// The machine's own file system: the system calls themselves.
FileSystem& RealFileSystem();

// An owned descriptor of a FileSystem, closed when it goes out of scope.
class Fd {
 public:
  Fd() = default;
  Fd(FileSystem& fs, int fd) : fs_(&fs), fd_(fd) {}
  Fd(Fd&& other) noexcept : fs_(other.fs_), fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      fs_ = other.fs_;
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(); }

  int get() const { return fd_; }
  // Closes now and returns close's result, so a late write error can be seen.
  int Close() {
    if (fd_ < 0) return 0;
    return fs_->Close(std::exchange(fd_, -1));
  }

 private:
  void Reset() {
    if (fd_ >= 0) fs_->Close(fd_);
    fd_ = -1;
  }
  FileSystem* fs_ = nullptr;
  int fd_ = -1;
};

}  // namespace tavrik
