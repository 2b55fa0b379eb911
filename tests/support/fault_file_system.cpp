#include "support/fault_file_system.h"

#include <cerrno>
#include <thread>

namespace tavrik {

namespace {

size_t Index(FsCall call) { return static_cast<size_t>(call); }

}  // namespace

void FaultFileSystem::FailNth(FsCall call, int nth, int error) {
  std::lock_guard lock(mutex_);
  rules_.push_back({call, nth, {}, error});
}

void FaultFileSystem::FailWhere(FsCall call, std::string part, int error) {
  std::lock_guard lock(mutex_);
  rules_.push_back({call, 0, std::move(part), error});
}

void FaultFileSystem::SetHook(std::function<int(FsCall, const std::string&)> hook) {
  std::lock_guard lock(mutex_);
  hook_ = std::move(hook);
}

void FaultFileSystem::LimitReads(size_t max_bytes) {
  std::lock_guard lock(mutex_);
  read_limit_ = max_bytes;
}

void FaultFileSystem::Pause(FsCall call, std::chrono::microseconds delay) {
  std::lock_guard lock(mutex_);
  pauses_[Index(call)] = delay;
}

void FaultFileSystem::HideEntryTypes(bool hide) {
  std::lock_guard lock(mutex_);
  hide_types_ = hide;
}

void FaultFileSystem::LimitRate(uint64_t bytes_per_second) {
  std::lock_guard lock(mutex_);
  rate_ = bytes_per_second;
}

uint64_t FaultFileSystem::CopiedBytes() const {
  std::lock_guard lock(mutex_);
  return copied_;
}

void FaultFileSystem::Transfer(ssize_t bytes) {
  if (bytes <= 0) return;
  uint64_t rate;
  {
    std::lock_guard lock(mutex_);
    rate = rate_;
  }
  if (rate > 0)
    std::this_thread::sleep_for(
        std::chrono::microseconds(static_cast<uint64_t>(bytes) * 1000000 / rate));
}

void FaultFileSystem::Reset() {
  std::lock_guard lock(mutex_);
  hide_types_ = false;
  rules_.clear();
  hook_ = nullptr;
  counts_.fill(0);
  pauses_.fill(std::chrono::microseconds{0});
  read_limit_ = 0;
  rate_ = 0;
  copied_ = 0;
}

int FaultFileSystem::Count(FsCall call) const {
  std::lock_guard lock(mutex_);
  return counts_[Index(call)];
}

bool FaultFileSystem::Injected(FsCall call, const char* name) {
  std::function<int(FsCall, const std::string&)> hook;
  std::chrono::microseconds pause{0};
  int error = 0;
  const std::string text = name ? name : "";
  {
    std::lock_guard lock(mutex_);
    ++counts_[Index(call)];
    pause = pauses_[Index(call)];
    hook = hook_;
    for (Rule& rule : rules_) {
      if (rule.call != call) continue;
      if (!rule.part.empty()) {
        if (text.find(rule.part) != std::string::npos) error = rule.error;
      } else if (++rule.seen == rule.nth || rule.nth == 0) {
        error = rule.error;
      }
      if (error != 0) break;
    }
  }
  if (pause.count() > 0) std::this_thread::sleep_for(pause);
  // The hook runs unlocked: it may call back into this file system.
  if (error == 0 && hook) error = hook(call, text);
  if (error == 0) return false;
  errno = error;
  return true;
}

int FaultFileSystem::OpenAt(int dir, const char* name, int flags, mode_t mode) {
  if (Injected(FsCall::kOpen, name)) return -1;
  return inner_.OpenAt(dir, name, flags, mode);
}

// The descriptor is closed even when a failure is injected, so nothing leaks.
int FaultFileSystem::Close(int fd) {
  if (Injected(FsCall::kClose)) {
    int error = errno;
    inner_.Close(fd);
    errno = error;
    return -1;
  }
  return inner_.Close(fd);
}

std::unique_ptr<DirStream> FaultFileSystem::OpenDir(int fd) {
  if (Injected(FsCall::kOpenDir)) {
    int error = errno;
    inner_.Close(fd);
    errno = error;
    return nullptr;
  }
  return inner_.OpenDir(fd);
}

int FaultFileSystem::ReadDir(DirStream& dir, const char** name, unsigned char* type) {
  if (Injected(FsCall::kReadDir)) return -1;
  const int got = inner_.ReadDir(dir, name, type);
  std::lock_guard lock(mutex_);
  if (hide_types_) *type = DT_UNKNOWN;
  return got;
}

ssize_t FaultFileSystem::PRead(int fd, void* buf, size_t count, off_t offset) {
  if (Injected(FsCall::kRead)) return -1;
  size_t limit;
  {
    std::lock_guard lock(mutex_);
    limit = read_limit_;
  }
  if (limit > 0 && count > limit) count = limit;
  const ssize_t n = inner_.PRead(fd, buf, count, offset);
  Transfer(n);
  return n;
}

ssize_t FaultFileSystem::PWrite(int fd, const void* buf, size_t count, off_t offset) {
  if (Injected(FsCall::kWrite)) return -1;
  const ssize_t n = inner_.PWrite(fd, buf, count, offset);
  Transfer(n);
  return n;
}

ssize_t FaultFileSystem::CopyRange(int in, off_t* in_offset, int out, off_t* out_offset,
                                   size_t count) {
  if (Injected(FsCall::kCopyRange)) return -1;
  const ssize_t n = inner_.CopyRange(in, in_offset, out, out_offset, count);
  // Counted once the medium has taken them.
  Transfer(n);
  if (n > 0) {
    std::lock_guard lock(mutex_);
    copied_ += static_cast<uint64_t>(n);
  }
  return n;
}

int FaultFileSystem::Advise(int fd, int advice) {
  if (Injected(FsCall::kAdvise)) return -1;
  return inner_.Advise(fd, advice);
}

int FaultFileSystem::StatAt(int dir, const char* name, struct stat* st, int flags) {
  if (Injected(FsCall::kStat, name)) return -1;
  return inner_.StatAt(dir, name, st, flags);
}

int FaultFileSystem::Fstat(int fd, struct stat* st) {
  if (Injected(FsCall::kStat)) return -1;
  return inner_.Fstat(fd, st);
}

int FaultFileSystem::Fchmod(int fd, mode_t mode) {
  if (Injected(FsCall::kChmod)) return -1;
  return inner_.Fchmod(fd, mode);
}

int FaultFileSystem::Fchown(int fd, uid_t uid, gid_t gid) {
  if (Injected(FsCall::kChown)) return -1;
  return inner_.Fchown(fd, uid, gid);
}

int FaultFileSystem::Futimens(int fd, const struct timespec times[2]) {
  if (Injected(FsCall::kSetTimes)) return -1;
  return inner_.Futimens(fd, times);
}

int FaultFileSystem::UtimensAt(int dir, const char* name, const struct timespec times[2],
                               int flags) {
  if (Injected(FsCall::kSetTimes, name)) return -1;
  return inner_.UtimensAt(dir, name, times, flags);
}

ssize_t FaultFileSystem::ListXattr(int fd, char* list, size_t size) {
  if (Injected(FsCall::kXattr)) return -1;
  return inner_.ListXattr(fd, list, size);
}

ssize_t FaultFileSystem::GetXattr(int fd, const char* name, void* value, size_t size) {
  if (Injected(FsCall::kXattr, name)) return -1;
  return inner_.GetXattr(fd, name, value, size);
}

int FaultFileSystem::SetXattr(int fd, const char* name, const void* value, size_t size) {
  if (Injected(FsCall::kXattr, name)) return -1;
  return inner_.SetXattr(fd, name, value, size);
}

int FaultFileSystem::RenameAt(int from_dir, const char* from, int to_dir, const char* to) {
  if (Injected(FsCall::kRename, to)) return -1;
  return inner_.RenameAt(from_dir, from, to_dir, to);
}

int FaultFileSystem::RenameNoReplaceAt(int from_dir, const char* from, int to_dir, const char* to) {
  if (Injected(FsCall::kRename, to)) return -1;
  return inner_.RenameNoReplaceAt(from_dir, from, to_dir, to);
}

int FaultFileSystem::LinkAt(int from_dir, const char* from, int to_dir, const char* to) {
  if (Injected(FsCall::kLink, to)) return -1;
  return inner_.LinkAt(from_dir, from, to_dir, to);
}

int FaultFileSystem::UnlinkAt(int dir, const char* name, int flags) {
  if (Injected(FsCall::kUnlink, name)) return -1;
  return inner_.UnlinkAt(dir, name, flags);
}

int FaultFileSystem::MkdirAt(int dir, const char* name, mode_t mode) {
  if (Injected(FsCall::kMkdir, name)) return -1;
  return inner_.MkdirAt(dir, name, mode);
}

int FaultFileSystem::SymlinkAt(const char* target, int dir, const char* name) {
  if (Injected(FsCall::kSymlink, name)) return -1;
  return inner_.SymlinkAt(target, dir, name);
}

ssize_t FaultFileSystem::ReadLinkAt(int dir, const char* name, char* buf, size_t size) {
  if (Injected(FsCall::kReadLink, name)) return -1;
  return inner_.ReadLinkAt(dir, name, buf, size);
}

int FaultFileSystem::SyncData(int fd) {
  if (Injected(FsCall::kSyncData)) return -1;
  return inner_.SyncData(fd);
}

int FaultFileSystem::FdPath(int fd, std::string* path) {
  if (Injected(FsCall::kFdPath)) return -1;
  return inner_.FdPath(fd, path);
}

int FaultFileSystem::SyncFs(int fd) {
  if (Injected(FsCall::kSyncFs)) return -1;
  return inner_.SyncFs(fd);
}

int FaultFileSystem::StatFs(int fd, struct statfs* st) {
  if (Injected(FsCall::kStatFs)) return -1;
  return inner_.StatFs(fd, st);
}

int FaultFileSystem::MountType(int fd, std::string* type) {
  if (Injected(FsCall::kMountType)) return -1;
  return inner_.MountType(fd, type);
}

int FaultFileSystem::VolumeOf(int fd, VolumeInfo* info) {
  if (Injected(FsCall::kVolume)) return -1;
  return inner_.VolumeOf(fd, info);
}

int FaultFileSystem::ListFolder(int dir, bool skip_dot_names, std::vector<FolderEntry>* entries) {
  if (Injected(FsCall::kReadDir)) return -1;
  return inner_.ListFolder(dir, skip_dot_names, entries);
}

int FaultFileSystem::BlockHashes(int fd, uint64_t offset, uint64_t length, uint32_t block_size,
                                 BlockHashList* out) {
  if (Injected(FsCall::kRead)) {
    out->error = errno;
    return -1;
  }
  return inner_.BlockHashes(fd, offset, length, block_size, out);
}

}  // namespace tavrik
