// The far end's protocol: the calls of the FileSystem seam, carried over the two byte
// streams of a child process (its stdin and stdout, through ssh).
//
// Every number is little-endian; errno values are Linux's generic ones (those of x86, ARM,
// RISC-V), the flags of the *at calls are the kernel's own (the same on every architecture).
// "bytes" is a u32 length and that many bytes; "stat" is st_dev, st_ino, st_mode, st_nlink,
// st_uid, st_gid, st_rdev, st_size, st_blksize, st_blocks, then atime, mtime, ctime as seconds
// and nanoseconds, each a varint (7 bits to a byte, lowest first, the high bit on all but the
// last), the times zigzagged (0, -1, 1, -2 ... as 0, 1, 2, 3 ...).
//
// Handshake. Both sides open with the greeting: the 8 bytes kMagic and a u32 protocol
// version. The far end sends its greeting as soon as it starts, so that a near side facing a
// login banner, a shell's "command not found" or an older program knows before it writes
// anything; the near side skips at most kBannerLimit bytes looking for it. The near side
// then sends its greeting and the root as bytes (relative to the far user's home, where a
// leading "~/" points too); the far end opens the root and answers
//   u32 errno (0: opened), bytes text (the root's absolute path, or why it failed).
// A far end whose version differs from the near side's answers EPROTO and closes.
//
// Frames. Each frame after the handshake is a u32 length (of what follows it, at most
// kMaxFrame) and a u32 request id. A request goes on with a u16 Op and the call's arguments;
// its answer goes on with an i64 result and an i32 errno (meaningful when result < 0) and
// what the call gives back. The far end may answer requests in any order, several at once,
// so the id ties an answer to its call. Descriptors are the far end's handles (u32, never
// its own fd numbers); handle 0 is the root, and a path sent with handle 0 is either
// absolute (then it must lie below the root) or relative to the root.
#pragma once

#include <sys/stat.h>
#include <sys/statfs.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/fs/file_system.h"

namespace tavrik::remote {

inline constexpr char kMagic[8] = {'T', 'A', 'V', 'R', 'I', 'K', 'F', 'E'};
inline constexpr uint32_t kProtocolVersion = 3;
inline constexpr size_t kBannerLimit = 64 * 1024;
inline constexpr uint32_t kMaxFrame = 64u << 20;
// The most one read or write moves in one frame; larger calls are answered short, as pipes
// and sockets answer them.
inline constexpr uint32_t kMaxChunk = 4u << 20;
// The most copies one kPlaceAll request puts in place.
inline constexpr uint32_t kMaxPlacesAtOnce = 256;
// The most files one kDigestFiles request names.
inline constexpr uint32_t kMaxDigestsAhead = 256;
// The longest delta one answer or request carries, well under kMaxFrame.
inline constexpr uint32_t kMaxDelta = 32u << 20;
inline constexpr uint32_t kRootHandle = 0;
// The longest root path or reason the handshake carries.
inline constexpr uint32_t kMaxPathText = 64 * 1024;

enum class Op : uint16_t {
  // handle dir, bytes name, u32 flags (WireOpenFlags), u32 mode → result: a handle
  kOpenAt = 1,
  // handle → result
  kClose,
  // handle → u32 count, then per entry u8 type and bytes name. The handle stays open: the
  // near side keeps it as long as the listing, as fdopendir keeps its descriptor.
  kListDir,
  // handle, u64 count, i64 offset → bytes data
  kPRead,
  // handle, i64 offset, bytes data → result: bytes written
  kPWrite,
  // handle in, u8 has in offset, i64 in offset, handle out, u8 has out offset, i64 out
  // offset, u64 count → result, i64 in offset, i64 out offset (after the call)
  kCopyRange,
  // handle, i32 advice (WireAdvice) → result
  kAdvise,
  // handle dir, bytes name, i32 flags → stat
  kStatAt,
  // handle → stat
  kFstat,
  // handle, u32 mode → result
  kFchmod,
  // handle, u32 uid, u32 gid → result
  kFchown,
  // handle, u8 has times, 2 × (i64 sec, i64 nsec) → result (no times: now)
  kFutimens,
  // handle dir, bytes name, u8 has times, 2 × (i64 sec, i64 nsec), i32 flags → result
  kUtimensAt,
  // handle, u64 size → result, bytes list
  kListXattr,
  // handle, bytes name, u64 size → result, bytes value
  kGetXattr,
  // handle, bytes name, bytes value → result
  kSetXattr,
  // handle from dir, bytes from, handle to dir, bytes to → result (also for the next three)
  kRenameAt,
  kRenameNoReplaceAt,
  kLinkAt,
  // handle dir, bytes name, i32 flags → result
  kUnlinkAt,
  // handle dir, bytes name, u32 mode → result
  kMkdirAt,
  // bytes target, handle dir, bytes name → result
  kSymlinkAt,
  // handle dir, bytes name, u64 size → result, bytes text
  kReadLinkAt,
  // handle → result (also for kSyncData)
  kSyncFs,
  kSyncData,
  // handle → bytes path
  kFdPath,
  // handle → u64 × 11: type, bsize, blocks, bfree, bavail, files, ffree, fsid[0], fsid[1],
  // namelen, frsize, then u64 flags
  kStatFs,
  // handle → bytes type
  kMountType,
  // handle → bytes id, bytes below
  kVolumeOf,
  // Calls for a whole folder or file (FileSystem::ListFolder, BlockHashes, DigestFile).
  // handle, u8 skip dot names, u64 first entry → i32 listing errno, u8 more entries follow,
  // u32 count, then per entry u8 type, bytes name, i32 errno and, where that is 0, stat. A
  // listing too long for one frame comes in parts; each asks again from its first entry on.
  kListFolder,
  // handle, u64 offset, u64 length, u32 block size → hashes
  kBlockHashes,
  // handle dir, bytes name, i32 flags, u64 most bytes, u32 block size → i32 status errno,
  // stat, i32 open errno, u8 hashed, hashes. "hashes" is u32 count and 32 bytes each, then
  // i32 errno, u8 the file ended early, u8 it goes on.
  kDigestFile,
  // handle dir, bytes name, u32 open flags (WireOpenFlags), u8 skip dot names, u64 first
  // entry → i32 open errno, then as kListFolder's answer: the folder opened, listed and
  // closed in one request.
  kListFolderAt,
  // → bytes the far machine's name, i64 the far end's process id (what its lock files name)
  kMachine,
  // i64 pid → result: 1 when that process of the far machine has ended, else 0
  kProcessEnded,
  // handle, u32 uid, u32 gid, u32 mode, u8 has times, 2 × (i64 sec, i64 nsec), u32 count,
  // then per extended attribute bytes name and bytes value, u8 sync → result, stat. What a
  // copy's file gets after its bytes (FinishFile), in one call.
  kFinishFile,
  // handle → result, bytes signature, stat (after reading it)
  kSignature,
  // handle, bytes signature, u64 limit → result, bytes delta
  kDelta,
  // handle, handle basis, bytes delta, then what kFinishFile takes after its handle →
  // result, stat, stat of the basis
  kPatch,
  // handle dir, bytes temp, bytes name, bytes folder, u8 follow folder, u64 folder dev, u64
  // folder ino, u8 replace, i64 size, i64 mtime sec, i64 mtime nsec → result (as
  // PlaceIfUnchanged gives it), stat
  kPlace,
  // u32 count, then per file bytes path (absolute, below the root), i32 flags, u64 most
  // bytes, u32 block size → per file what kDigestFile answers for it: several files' digests
  // asked ahead in one request (at most kMaxDigestsAhead files). A far end without it
  // answers EPROTO, and the near side asks file by file.
  kDigestFiles,
  // u32 count, then per step what kPlace takes → u32 steps tried, then per step tried i64
  // result, i32 errno, stat: kPlace of each in order (at most kMaxPlacesAtOnce), up to and
  // including the first that renames nothing.
  kPlaceAll,
  kEnd,  // keep last
};

// Open flags and fadvise advice differ between the machine's architectures (O_DIRECTORY and
// O_NOFOLLOW on 32-bit ARM, the advice on s390x), so they travel as the protocol's own bits:
// the access mode in the low two bits, then kOpenBits in order. False for a flag the
// protocol does not carry, which is refused rather than dropped.
bool WireOpenFlags(int flags, uint32_t* wire);
bool LocalOpenFlags(uint32_t wire, int* flags);
// 0 normal, 1 random, 2 sequential, 3 will need, 4 don't need, 5 no reuse.
bool WireAdvice(int advice, int32_t* wire);
bool LocalAdvice(int32_t wire, int* advice);

// Appends the little-endian encodings to a buffer.
class Writer {
 public:
  void U8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void U16(uint16_t v) { Raw(v, 2); }
  void U32(uint32_t v) { Raw(v, 4); }
  void U64(uint64_t v) { Raw(v, 8); }
  void I32(int32_t v) { Raw(static_cast<uint32_t>(v), 4); }
  void I64(int64_t v) { Raw(static_cast<uint64_t>(v), 8); }
  void Bytes(std::string_view b) {
    U32(static_cast<uint32_t>(b.size()));
    out_.append(b);
  }
  // A status in varints (Var, times zigzagged): most of its fields are small numbers, and a
  // listing sends one per entry.
  void Stat(const struct stat& st);
  // An unsigned number in 7-bit groups, the lowest first, each but the last with the high bit.
  void Var(uint64_t v) {
    while (v >= 0x80) {
      out_.push_back(static_cast<char>((v & 0x7f) | 0x80));
      v >>= 7;
    }
    out_.push_back(static_cast<char>(v));
  }
  // A presence byte and both times; nullptr (the time now) as absent.
  void Times(const struct timespec* times);
  // What a copy's file gets after its bytes (kFinishFile after its handle).
  void Finish(const FileFinish& finish);
  std::string& buffer() { return out_; }

 private:
  void Raw(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out_.push_back(static_cast<char>(v >> (8 * i)));
  }
  std::string out_;
};

// Takes the encodings off a received frame; reading past its end sets failed() and yields
// zeros, so a short frame is one check at the end, not one per field.
class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}
  uint8_t U8() { return static_cast<uint8_t>(Raw(1)); }
  uint16_t U16() { return static_cast<uint16_t>(Raw(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Raw(4)); }
  uint64_t U64() { return Raw(8); }
  int32_t I32() { return static_cast<int32_t>(U32()); }
  int64_t I64() { return static_cast<int64_t>(U64()); }
  std::string_view Bytes();
  // A name as the calls take it: no NUL inside (it would cut the path short).
  std::string Text();
  void Stat(struct stat* st);
  uint64_t Var();
  // False where the sender gave no times.
  bool Times(struct timespec times[2]);
  // False where the finish gave no times.
  bool Finish(FileFinish* finish);
  bool failed() const { return failed_; }
  bool done() const { return in_.empty(); }

 private:
  uint64_t Raw(int n);
  std::string_view in_;
  bool failed_ = false;
};

// A run of block digests and how reading them ended.
void WriteHashes(Writer& w, const BlockHashList& list);
void ReadHashes(Reader& in, BlockHashList* list);
// What DigestFile found of one file: i32 status errno, stat, i32 open errno, u8 hashed, hashes.
void WriteDigests(Writer& w, const FileDigests& found);
void ReadDigests(Reader& in, FileDigests* found);

// A frame's length word in front of body, which begins with the request id.
std::string Framed(std::string body);

}  // namespace tavrik::remote
