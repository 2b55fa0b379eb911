#include "core/rules/rule_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace tavrik {

void AppendRuleLines(std::string_view text, const std::string& origin, RuleLines* out) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  int number = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out->push_back({std::string(line), origin, ++number});
  }
}

Result<RuleLines> ReadRuleFile(FileSystem& fs, const std::string& path, bool missing_ok) {
  // Non-blocking, so a FIFO put where the file should be cannot hold the start up.
  Fd fd(fs, fs.OpenAt(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) {
    const int error = errno;
    if (missing_ok && (error == ENOENT || error == ENOTDIR)) return RuleLines{};
    return FsError{error, path, {}};
  }
  struct stat st {};
  if (fs.Fstat(fd.get(), &st) != 0) return FsError{errno, path, {}};
  if (S_ISDIR(st.st_mode)) return FsError{EISDIR, path, {}};
  if (!S_ISREG(st.st_mode)) return FsError{EINVAL, path, "Das ist keine gewöhnliche Datei."};
  if (st.st_size > kMaxRuleFileBytes) return FsError{EFBIG, path, {}};
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t got = fs.PRead(fd.get(), buffer, sizeof buffer, static_cast<off_t>(text.size()));
    if (got < 0) {
      if (errno == EINTR) continue;
      return FsError{errno, path, {}};
    }
    if (got == 0) break;
    text.append(buffer, static_cast<size_t>(got));
    if (static_cast<int64_t>(text.size()) > kMaxRuleFileBytes) return FsError{EFBIG, path, {}};
  }
  RuleLines lines;
  AppendRuleLines(text, path, &lines);
  return lines;
}

}  // namespace tavrik
