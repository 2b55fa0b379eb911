#include "batch/ini_reader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
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
bool ReadWholeFile(FileSystem& fs, const std::string& name, std::string* content,
                   IniReader::Identity* identity) {
  Fd fd(fs, fs.OpenAt(AT_FDCWD, name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return false;
  struct stat st {};
  if (fs.Fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxIniFileBytes)
    return false;
  *identity = IdentityOf(st);
  content->clear();
  content->reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  for (off_t offset = 0;;) {
    ssize_t n = fs.PRead(fd.get(), buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || static_cast<int64_t>(content->size()) + n > kMaxIniFileBytes) return n == 0;
    content->append(buffer, static_cast<size_t>(n));
    offset += n;
  }
}

}  // namespace

bool IniReader::Load(const std::string& file_name) {
  struct stat st {};
  if (file_name.find('\0') != std::string::npos ||
      fs_.StatAt(AT_FDCWD, file_name.c_str(), &st, 0) != 0 || !S_ISREG(st.st_mode)) {
    loaded_name_.clear();
    return false;
  }
  if (file_name == loaded_name_ && IdentityOf(st) == loaded_identity_) return true;
  loaded_name_.clear();
  sections_.clear();
  if (!ReadWholeFile(fs_, file_name, &content_, &loaded_identity_)) return false;
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

std::vector<IniReader::NumberedLine> IniReader::SectionLines(std::string_view section,
                                                             const std::string& file_name) {
  std::vector<NumberedLine> lines;
  if (!file_name.empty()) remembered_ = file_name;
  if (remembered_.empty() || !Load(remembered_)) return lines;
  const std::optional<std::string_view> body = Section(section);
  if (!body) return lines;
  const auto before = static_cast<size_t>(body->data() - content_.data());
  int number = 1 + static_cast<int>(std::count(content_.begin(),
                                               content_.begin() + static_cast<long>(before), '\n'));
  std::string_view rest = *body;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back({number++, std::string(line)});
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  return lines;
}

}  // namespace tavrik
