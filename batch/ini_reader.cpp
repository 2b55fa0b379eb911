#include "batch/ini_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tavrik {

namespace {

int64_t Nanoseconds(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

IniReader::Identity IdentityOf(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_size, Nanoseconds(st.st_mtim), Nanoseconds(st.st_ctim)};
}

// Reads a regular file to its end. O_NONBLOCK keeps a FIFO put in the file's place
// between the look-up and the open from blocking the run.
bool ReadWholeFile(const std::string& name, std::string* content, IniReader::Identity* identity) {
  int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxIniFileBytes) {
    close(fd);
    return false;
  }
  *identity = IdentityOf(st);
  content->clear();
  content->reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || static_cast<int64_t>(content->size()) + n > kMaxIniFileBytes) {
      close(fd);
      return n == 0;
    }
    content->append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

bool IniReader::Load(const std::string& file_name) {
  struct stat st {};
  if (file_name.find('\0') != std::string::npos || stat(file_name.c_str(), &st) != 0 ||
      !S_ISREG(st.st_mode)) {
    loaded_name_.clear();
    return false;
  }
  if (file_name == loaded_name_ && IdentityOf(st) == loaded_identity_) return true;
  loaded_name_.clear();
  sections_.clear();
  if (!ReadWholeFile(file_name, &content_, &loaded_identity_)) return false;
  loaded_name_ = file_name;
  return true;
}

std::optional<std::string_view> IniReader::Section(std::string_view section) {
  auto it = sections_.find(section);
  if (it != sections_.end()) return it->second;
  std::optional<std::string_view> body;
  if (std::string_view found; FindIniSection(content_, section, &found)) body = found;
  sections_.emplace(std::string(section), body);
  return body;
}

std::string IniReader::ReadIniString(std::string_view section, std::string_view key,
                                     std::string_view default_value, const std::string& file_name) {
  if (!file_name.empty()) remembered_ = file_name;
  std::string value(default_value);
  if (remembered_.empty() || !Load(remembered_)) return value;
  if (auto body = Section(section)) FindIniKey(*body, key, &value);
  return value;
}

}  // namespace tavrik
