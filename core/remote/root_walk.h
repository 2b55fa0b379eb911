// Paths at the far end, kept below one root. Every path is walked from the root's descriptor
// (or from a handle a walk gave) one component at a time: no link is followed on the way and
// no ".." is taken, so nothing outside the root can be named, whatever the path's text says.
// A link at the end is followed only on request and only while its target stays below the
// root. What is refused fails with EACCES.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/fs/file_system.h"

namespace tavrik::remote {

// A descriptor shared by the calls that use it, closed when the last of them is done; a
// Close arriving while another call still reads it cannot hand its number to a new file.
class Handle {
 public:
  Handle(FileSystem& fs, int fd) : fs_(fs), fd_(fd) {}
  ~Handle() {
    if (fd_ >= 0) fs_.Close(fd_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  int fd() const { return fd_; }
  int Close() { return fd_ < 0 ? 0 : fs_.Close(std::exchange(fd_, -1)); }

 private:
  FileSystem& fs_;
  int fd_;
};

using Components = std::vector<std::string>;

// The components of a path without empty ones and ".".
Components SplitPath(std::string_view path);

// Where a call acts: a folder and a name in it. owned holds the folder when the walk opened
// it, keep when it is a handle's.
struct Place {
  std::shared_ptr<Handle> keep;
  Fd owned;
  int dir = -1;
  std::string leaf;
};

class RootWalk {
 public:
  explicit RootWalk(FileSystem& fs) : fs_(fs) {}
  // The root's descriptor, its absolute path now, and the path the near side named it by.
  void SetRoot(std::shared_ptr<Handle> root, std::string_view now, std::string_view given);
  const std::shared_ptr<Handle>& root() const { return root_; }

  // The place path names: below the root when absolute, else below base (EBADF without one).
  int Resolve(std::shared_ptr<Handle> base, const std::string& path, Place* place);
  // Replaces a link at the end of place by what it leads to.
  int FollowLeaf(Place* place);
  // The place of parts below the root.
  int WalkFromRoot(const Components& parts, Place* place) { return WalkFrom(root_, parts, place); }
  // An absolute path as components below the root.
  int Strip(const Components& absolute, Components* below) const;

 private:
  int WalkFrom(std::shared_ptr<Handle> base, const Components& parts, Place* place);

  FileSystem& fs_;
  std::shared_ptr<Handle> root_;
  Components root_parts_;   // the root's absolute path now
  Components given_parts_;  // as the near side named it, when absolute
};

}  // namespace tavrik::remote
