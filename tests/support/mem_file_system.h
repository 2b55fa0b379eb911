// A file system held in memory, for tests of what a real disk cannot show on demand:
// case-insensitive lookups, coarse timestamps (whole seconds, FAT's two-second steps),
// attributes the medium refuses, and a latency per call. Paths are absolute ("/a/b").
// Symbolic links behave as on Linux: followed in the middle of a path and, unless the call
// says not to (O_NOFOLLOW, AT_SYMLINK_NOFOLLOW), at its end; a FAT or exFAT mount refuses
// them with EPERM. Thread-safe.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/fs/file_system.h"

namespace tavrik {

struct MemFsOptions {
  bool case_insensitive = false;
  // Stored modification times are rounded down to a multiple of this.
  int64_t time_resolution_ns = 1;
  // chmod, chown and extended attributes are refused with this errno (0: kept).
  int attribute_error = 0;
  // Every call waits this long first, as a network share makes each request wait.
  std::chrono::microseconds latency{0};
  // What MountType answers.
  std::string type = "tmpfs";
  // Room for file contents in bytes: StatFs reports it (0: no figure at all, as some network
  // file systems), and a write beyond it fails with ENOSPC.
  int64_t capacity = 0;
};

class MemFileSystem : public FileSystem {
 public:
  explicit MemFileSystem(MemFsOptions options = {});
  ~MemFileSystem() override;

  // Set-up and inspection for tests; folders on the way are made as needed.
  void AddFolder(const std::string& path);
  void AddFile(const std::string& path, const std::string& content, int64_t mtime_sec = 0,
               int32_t mtime_nsec = 0, mode_t mode = 0644);
  // A symbolic link at path with target as its text; its own time is mtime_sec.
  void AddLink(const std::string& path, const std::string& target, int64_t mtime_sec = 0);
  // The text of the link at path; none when path is no link.
  std::optional<std::string> LinkTarget(const std::string& path) const;
  bool Remove(const std::string& path);  // a file or a whole folder
  // Makes the folder (made as needed) the top of another file system with its own type and
  // time resolution, as a stick mounted below the system disk.
  void Mount(const std::string& folder, const std::string& type, int64_t time_resolution_ns);
  bool Exists(const std::string& path) const;
  std::optional<std::string> Content(const std::string& path) const;
  std::optional<struct stat> Status(const std::string& path) const;
  // The names in a folder as stored, sorted; empty for a missing folder.
  std::vector<std::string> Names(const std::string& folder) const;
  // Descriptors still open: a test sees leaks.
  size_t OpenDescriptors() const;

  int OpenAt(int dir, const char* name, int flags, mode_t mode) override;
  int Close(int fd) override;
  std::unique_ptr<DirStream> OpenDir(int fd) override;
  using FileSystem::ReadDir;
  int ReadDir(DirStream& dir, const char** name, unsigned char* type) override;
  ssize_t PRead(int fd, void* buf, size_t count, off_t offset) override;
  ssize_t PWrite(int fd, const void* buf, size_t count, off_t offset) override;
  ssize_t CopyRange(int in, off_t* in_offset, int out, off_t* out_offset, size_t count) override;
  int Advise(int fd, int advice) override;
  int StatAt(int dir, const char* name, struct stat* st, int flags) override;
  int Fstat(int fd, struct stat* st) override;
  int Fchmod(int fd, mode_t mode) override;
  int Fchown(int fd, uid_t uid, gid_t gid) override;
  int Futimens(int fd, const struct timespec times[2]) override;
  int UtimensAt(int dir, const char* name, const struct timespec times[2], int flags) override;
  ssize_t ListXattr(int fd, char* list, size_t size) override;
  ssize_t GetXattr(int fd, const char* name, void* value, size_t size) override;
  int SetXattr(int fd, const char* name, const void* value, size_t size) override;
  int RenameAt(int from_dir, const char* from, int to_dir, const char* to) override;
  int RenameNoReplaceAt(int from_dir, const char* from, int to_dir, const char* to) override;
  int LinkAt(int from_dir, const char* from, int to_dir, const char* to) override;
  int UnlinkAt(int dir, const char* name, int flags) override;
  int MkdirAt(int dir, const char* name, mode_t mode) override;
  int SymlinkAt(const char* target, int dir, const char* name) override;
  ssize_t ReadLinkAt(int dir, const char* name, char* buf, size_t size) override;
  int SyncFs(int fd) override;
  int SyncData(int fd) override;
  int FdPath(int fd, std::string* path) override;
  int StatFs(int fd, struct statfs* st) override;
  int MountType(int fd, std::string* type) override;
  // The id of a mount is "mem:<n>" with n the number of its top folder (the whole file
  // system: "mem:0"), unless SetVolumeId named it, as a stick keeps its serial number when
  // it is plugged in elsewhere.
  int VolumeOf(int fd, VolumeInfo* info) override;
  void SetVolumeId(const std::string& folder, const std::string& id);

  struct Node;

 private:
  struct Open {
    std::shared_ptr<Node> node;
    int flags;
  };
  struct Found {
    std::shared_ptr<Node> parent;
    std::string leaf;
    std::shared_ptr<Node> node;  // null when the leaf does not exist
    int error = 0;
  };
  void Wait() const;
  // follow_last: a link at the end of path is followed too (to its target's parent and
  // leaf); links in the middle always are.
  Found Resolve(int dir, const std::string& path, bool follow_last = false) const;
  Found Walk(std::shared_ptr<Node> at, const std::string& path, bool follow_last, int depth) const;
  std::shared_ptr<Node> Lookup(const Node& folder, const std::string& name,
                               std::string* stored) const;
  Open* Get(int fd);
  void Fill(const Node& node, struct stat* st) const;
  int Rename(int from_dir, const char* from, int to_dir, const char* to, bool replace);
  void SetTime(Node& node, const struct timespec times[2]);
  struct timespec Round(struct timespec t, const Node& at) const;
  struct timespec Now(const Node& at) const;
  const Node* MountOf(const Node& at) const;
  std::shared_ptr<Node> MakeChain(const std::string& path);
  // Resizes a file's content, counting the bytes against the capacity; false when full.
  bool Resize(Node& node, size_t size);
  // A node lost a name; its bytes are free once no name is left.
  void Unlinked(Node& node);

  MemFsOptions options_;
  mutable std::mutex mutex_;
  std::shared_ptr<Node> root_;
  std::map<int, Open> fds_;
  std::map<const Node*, std::string> volume_ids_;
  int next_fd_ = 1 << 20;  // far from real descriptors, so a mix-up fails loudly
  ino_t next_ino_ = 2;
  int64_t used_ = 0;  // bytes of all file contents that still have a name
};

}  // namespace tavrik
