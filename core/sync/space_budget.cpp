#include "core/sync/space_budget.h"

#include <fcntl.h>
#include <sys/statfs.h>

namespace tavrik {

void SpaceBudget::Ask(FileSystem& fs, Side& s, const std::string& root) {
  s.asked = true;
  s.known = false;
  Fd dir(fs, fs.OpenAt(AT_FDCWD, root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return;
  struct statfs st {};
  if (fs.StatFs(dir.get(), &st) != 0) return;
  const int64_t block = st.f_frsize > 0 ? st.f_frsize : st.f_bsize;
  // Some file systems (network, FUSE) report nothing: no figure to count against.
  if (block <= 0 || st.f_blocks == 0) return;
  s.known = true;
  s.block = block;
  s.free = static_cast<int64_t>(st.f_bavail) * block;
}

int64_t SpaceBudget::Taken(const Side& s, int64_t size) const {
  const int64_t blocks = (size + s.block - 1) / s.block;
  return (blocks + 1) * s.block;
}

bool SpaceBudget::Reserve(int side, const std::string& root, int64_t size) {
  Side& s = sides_[static_cast<size_t>(side)];
  if (!s.asked) Ask(*fs_[static_cast<size_t>(side)], s, root);
  if (!s.known) {
    if (s.copies > 0) return false;
    ++s.copies;
    return true;
  }
  const int64_t need = Taken(s, size);
  if (s.reserved + need > s.free) return false;
  s.reserved += need;
  ++s.copies;
  return true;
}

void SpaceBudget::Release(int side, int64_t size) {
  Side& s = sides_[static_cast<size_t>(side)];
  if (s.copies > 0) --s.copies;
  if (!s.known) return;
  s.reserved -= Taken(s, size);
  if (s.reserved < 0 || s.copies == 0) s.reserved = 0;
}

void SpaceBudget::Copied(int side, int64_t size, const FileStamp* replaced) {
  Side& s = sides_[static_cast<size_t>(side)];
  if (!s.known) return;
  s.free -= Taken(s, size);
  if (replaced && !kept_) s.free += Taken(s, replaced->size);
}

void SpaceBudget::Deleted(int side, int64_t size) {
  Side& s = sides_[static_cast<size_t>(side)];
  if (s.known && !kept_) s.free += Taken(s, size);
}

void SpaceBudget::AskAgain(int side) { sides_[static_cast<size_t>(side)].asked = false; }

}  // namespace tavrik
