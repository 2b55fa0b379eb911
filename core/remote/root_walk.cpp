#include "core/remote/root_walk.h"

#include <cerrno>

namespace tavrik::remote {

namespace {

constexpr int kMaxLinkHops = 8;

bool HasUp(const Components& parts) {
  for (const std::string& p : parts)
    if (p == "..") return true;
  return false;
}

}  // namespace

Components SplitPath(std::string_view path) {
  Components parts;
  while (!path.empty()) {
    const size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    if (!part.empty() && part != ".") parts.emplace_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return parts;
}

void RootWalk::SetRoot(std::shared_ptr<Handle> root, std::string_view now, std::string_view given) {
  root_ = std::move(root);
  root_parts_ = SplitPath(now);
  given_parts_.clear();
  if (!given.empty() && given.front() == '/') given_parts_ = SplitPath(given);
}

// An absolute path as components below the root: what follows the root's path, or the path
// the near side named it by.
int RootWalk::Strip(const Components& absolute, Components* below) const {
  for (const Components* root : {&root_parts_, &given_parts_}) {
    if (root == &given_parts_ && given_parts_.empty()) continue;
    if (absolute.size() < root->size()) continue;
    bool same = true;
    for (size_t i = 0; i < root->size() && same; ++i) same = absolute[i] == (*root)[i];
    if (!same) continue;
    below->assign(absolute.begin() + static_cast<long>(root->size()), absolute.end());
    return 0;
  }
  return EACCES;
}

// Opens every folder on the way from base without following links; a link on the way is
// refused.
int RootWalk::WalkFrom(std::shared_ptr<Handle> base, const Components& parts, Place* place) {
  place->owned = Fd();
  place->dir = base->fd();
  place->keep = std::move(base);
  if (parts.empty()) {
    place->leaf.assign(1, '.');  // (a literal here trips a false -Wrestrict of GCC 12)
    return 0;
  }
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    const int fd =
        fs_.OpenAt(place->dir, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      struct stat st {};
      if (fs_.StatAt(place->dir, parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(st.st_mode))
        return EACCES;
      return error;
    }
    place->owned = Fd(fs_, fd);
    place->dir = fd;
  }
  place->leaf = parts.back();
  return 0;
}

int RootWalk::Resolve(std::shared_ptr<Handle> base, const std::string& path, Place* place) {
  if (path.empty()) return ENOENT;
  const Components parts = SplitPath(path);
  if (HasUp(parts)) return EACCES;
  if (path.front() == '/') {
    Components below;
    if (Strip(parts, &below) != 0) return EACCES;
    return WalkFromRoot(below, place);
  }
  if (!base) return EBADF;
  // A handle is a folder reached by a walk from the root, so the same walk goes on from it.
  return WalkFrom(std::move(base), parts, place);
}

// Replaces a link at the end of place by what it leads to, as long as that lies below the
// root: its target is read, put after the link's folder (found anew from the system, not from
// the request) and walked again from the root.
int RootWalk::FollowLeaf(Place* place) {
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat st {};
    if (fs_.StatAt(place->dir, place->leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISLNK(st.st_mode))
      return 0;  // the call itself says what is missing
    std::string target(4096, '\0');
    const ssize_t n = fs_.ReadLinkAt(place->dir, place->leaf.c_str(), target.data(), target.size());
    if (n < 0) return errno;
    target.resize(static_cast<size_t>(n));
    Components parts;
    if (!target.empty() && target.front() == '/') {
      if (Strip(SplitPath(target), &parts) != 0) return EACCES;
    } else {
      std::string folder;
      if (fs_.FdPath(place->dir, &folder) != 0) return errno;
      if (Strip(SplitPath(folder), &parts) != 0) return EACCES;
      for (const std::string& part : SplitPath(target)) {
        if (part != "..") {
          parts.push_back(part);
          continue;
        }
        if (parts.empty()) return EACCES;
        parts.pop_back();
      }
    }
    if (HasUp(parts)) return EACCES;
    const int walked = WalkFromRoot(parts, place);
    if (walked != 0) return walked;
  }
  return ELOOP;
}

}  // namespace tavrik::remote
