// Reading single values of a control file, one call per value, as the batch run does.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "batch/ini_text.h"
#include "core/fs/file_system.h"

namespace tavrik {

// Larger files are no control files; they read as if empty rather than filling memory.
inline constexpr int64_t kMaxIniFileBytes = int64_t{256} << 20;

class IniReader {
 public:
  // What tells a changed file from the one read before.
  struct Identity {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    int64_t mtime_ns = 0;
    int64_t ctime_ns = 0;
    bool operator==(const Identity&) const = default;
  };

  explicit IniReader(FileSystem& fs) : fs_(fs) {}

  // The value of key in section of the INI file file_name (rules: ini_text.h), or
  // default_value when the file, the section or the key is missing. A non-empty
  // file_name is remembered; an empty one means the file remembered last. Anything that
  // is not a regular file (a folder, a FIFO, a device) reads as missing.
  std::string ReadIniString(std::string_view section, std::string_view key,
                            std::string_view default_value, const std::string& file_name);

  // Every line of the first section of that name as it stands in the file (without its
  // line end), with its number in the file from 1; none when the file or section is missing.
  struct NumberedLine {
    int number;
    std::string text;
  };
  std::vector<NumberedLine> SectionLines(std::string_view section, const std::string& file_name);

 private:
  // Makes content_ the file's present content; false when it cannot be read.
  bool Load(const std::string& file_name);
  // The body of the first section of that name in content_, found once per content.
  std::optional<std::string_view> Section(std::string_view section);

  FileSystem& fs_;
  std::string remembered_;
  // The content of the file read last, kept while its identity and times are unchanged,
  // so the values of one run cost one read of the file.
  std::string loaded_name_;
  Identity loaded_identity_;
  std::string content_;
  std::map<std::string, std::optional<std::string_view>, std::less<>> sections_;
};

}  // namespace tavrik
