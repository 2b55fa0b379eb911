// What a fill records of a file: size and modification time.
#pragma once

#include <sys/stat.h>

#include <cstdint>

namespace tavrik {

// Size and modification time (nanoseconds where known). Packed to 20 bytes: two of them
// sit in every row of a list of a million rows.
struct __attribute__((packed, aligned(4))) FileStamp {
  int64_t size = 0;
  int64_t mtime_sec = 0;
  int32_t mtime_nsec = 0;
  bool operator==(const FileStamp&) const = default;
};

// The stamp of one attribute query.
inline FileStamp StampOf(const struct stat& st) {
  return {st.st_size, st.st_mtim.tv_sec, static_cast<int32_t>(st.st_mtim.tv_nsec)};
}

}  // namespace tavrik
