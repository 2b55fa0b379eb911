// Real files in a fresh temporary folder, removed again at the end of the test.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace tavrik::testing {

class TempTree {
 public:
  TempTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavrik-test-XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    if (!made) std::abort();
    root_ = made;
  }
  ~TempTree() {
    std::error_code ec;
    // Restore permissions tests may have taken away so everything can be removed.
    for (auto it = std::filesystem::recursive_directory_iterator(
             root_, std::filesystem::directory_options::skip_permission_denied, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) chmod(it->path().c_str(), 0755);
    }
    std::filesystem::remove_all(root_, ec);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  // The folder path with its trailing separator.
  std::string Root() const { return root_ + "/"; }
  std::string Path(const std::string& rel) const { return root_ + "/" + rel; }

  // Writes a file (creating its folders) and optionally sets its modification time.
  std::string Write(const std::string& rel, const std::string& content,
                    long long mtime = -1) const {
    std::filesystem::path p = Path(rel);
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    if (mtime >= 0) SetTime(rel, mtime);
    return p.string();
  }
  void SetTime(const std::string& rel, long long seconds, long nsec = 0) const {
    struct timespec times[2] = {{seconds, nsec}, {seconds, nsec}};
    utimensat(AT_FDCWD, Path(rel).c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
  std::string Mkdir(const std::string& rel) const {
    std::filesystem::create_directories(Path(rel));
    return Path(rel);
  }
  std::string Read(const std::string& rel) const {
    std::ifstream in(Path(rel), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool Exists(const std::string& rel) const {
    struct stat st;
    return lstat(Path(rel).c_str(), &st) == 0;
  }

 private:
  std::string root_;
};

}  // namespace tavrik::testing
