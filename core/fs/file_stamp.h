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

// What an entry of a tree is: a file, or a symbolic link listed as itself (never followed;
// its stamp is the link's own, its size the length of its target text).
enum class FileKind : uint8_t { kFile, kLink };

// Why the scan left an entry out of the list. Nothing is left out in silence: the front ends
// count these and name each one on request.
enum class LeftOutWhy : uint8_t {
  kFifo,  // never opened: a read could wait forever
  kSocket,
  kDevice,
  kDangling,  // a link followed to nothing
  kLoop,      // a link followed back to a folder on the way down
  kOtherFs,   // a link followed out of the root's file system
};
inline constexpr int kLeftOutWhyCount = 6;

// The one word for why, as the console and JSON say it.
inline const char* LeftOutWord(LeftOutWhy why) {
  switch (why) {
    case LeftOutWhy::kFifo:
      return "fifo";
    case LeftOutWhy::kSocket:
      return "socket";
    case LeftOutWhy::kDevice:
      return "device";
    case LeftOutWhy::kDangling:
      return "dangling";
    case LeftOutWhy::kLoop:
      return "loop";
    case LeftOutWhy::kOtherFs:
      return "other-fs";
  }
  return "";
}

// The stamp of one attribute query.
inline FileStamp StampOf(const struct stat& st) {
  return {st.st_size, st.st_mtim.tv_sec, static_cast<int32_t>(st.st_mtim.tv_nsec)};
}

// Which folder a root was when the fill scanned it: a later run acts on that folder only,
// never on whatever took its name since (an empty mount point, a new folder).
struct RootId {
  bool known = false;  // false: the fill could not query the root
  uint64_t dev = 0;
  uint64_t ino = 0;
};

inline RootId RootIdOf(const struct stat& st) {
  return {true, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

}  // namespace tavrik
