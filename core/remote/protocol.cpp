#include "core/remote/protocol.h"

#include <fcntl.h>

#include <iterator>

namespace tavrik::remote {

namespace {

// The protocol's bit for each flag: 1 << (2 + its place here).
constexpr int kOpenBits[] = {O_CREAT,   O_EXCL,      O_TRUNC,    O_APPEND,  O_NONBLOCK,
                             O_NOCTTY,  O_DIRECTORY, O_NOFOLLOW, O_CLOEXEC, O_PATH,
                             O_NOATIME, O_SYNC,      O_DSYNC,    O_DIRECT};

constexpr int kAdvice[] = {POSIX_FADV_NORMAL,   POSIX_FADV_RANDOM,   POSIX_FADV_SEQUENTIAL,
                           POSIX_FADV_WILLNEED, POSIX_FADV_DONTNEED, POSIX_FADV_NOREUSE};

}  // namespace

bool WireOpenFlags(int flags, uint32_t* wire) {
  // Where O_LARGEFILE is not 0 the C library adds it by itself.
  int rest = flags & ~(O_ACCMODE | O_LARGEFILE);
  uint32_t bits = static_cast<uint32_t>(flags & O_ACCMODE);
  int place = 2;
  for (int flag : kOpenBits) {
    // O_SYNC holds O_DSYNC's bit, so it comes first: each is taken whole or not at all.
    if ((rest & flag) == flag) {
      bits |= 1u << place;
      rest &= ~flag;
    }
    ++place;
  }
  *wire = bits;
  return rest == 0;
}

bool LocalOpenFlags(uint32_t wire, int* flags) {
  int local = static_cast<int>(wire & O_ACCMODE);
  uint32_t rest = wire & ~static_cast<uint32_t>(O_ACCMODE);
  int place = 2;
  for (int flag : kOpenBits) {
    if (rest & (1u << place)) local |= flag;
    rest &= ~(1u << place);
    ++place;
  }
  *flags = local;
  return rest == 0;
}

bool WireAdvice(int advice, int32_t* wire) {
  for (int i = 0; i < static_cast<int>(std::size(kAdvice)); ++i)
    if (kAdvice[i] == advice) {
      *wire = i;
      return true;
    }
  return false;
}

bool LocalAdvice(int32_t wire, int* advice) {
  if (wire < 0 || wire >= static_cast<int32_t>(std::size(kAdvice))) return false;
  *advice = kAdvice[wire];
  return true;
}

namespace {

uint64_t ZigZag(int64_t v) {
  return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}
int64_t UnZigZag(uint64_t v) { return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1); }

}  // namespace

void Writer::Stat(const struct stat& st) {
  for (uint64_t v : {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                     static_cast<uint64_t>(st.st_mode), static_cast<uint64_t>(st.st_nlink),
                     static_cast<uint64_t>(st.st_uid), static_cast<uint64_t>(st.st_gid),
                     static_cast<uint64_t>(st.st_rdev), static_cast<uint64_t>(st.st_size),
                     static_cast<uint64_t>(st.st_blksize), static_cast<uint64_t>(st.st_blocks)})
    Var(v);
  for (const struct timespec& t : {st.st_atim, st.st_mtim, st.st_ctim}) {
    Var(ZigZag(t.tv_sec));
    Var(ZigZag(t.tv_nsec));
  }
}

void Writer::Times(const struct timespec* times) {
  U8(times ? 1 : 0);
  for (int i = 0; i < 2; ++i) {
    I64(times ? times[i].tv_sec : 0);
    I64(times ? times[i].tv_nsec : 0);
  }
}

uint64_t Reader::Raw(int n) {
  if (failed_ || in_.size() < static_cast<size_t>(n)) {
    failed_ = true;
    return 0;
  }
  uint64_t v = 0;
  for (int i = n; i-- > 0;) v = v << 8 | static_cast<unsigned char>(in_[i]);
  in_.remove_prefix(n);
  return v;
}

std::string_view Reader::Bytes() {
  const uint32_t n = U32();
  if (failed_ || in_.size() < n) {
    failed_ = true;
    return {};
  }
  std::string_view b = in_.substr(0, n);
  in_.remove_prefix(n);
  return b;
}

std::string Reader::Text() {
  const std::string_view b = Bytes();
  if (b.find('\0') != std::string_view::npos) failed_ = true;
  return std::string(b);
}

uint64_t Reader::Var() {
  uint64_t v = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    const uint64_t byte = U8();
    if (failed_) return 0;
    v |= (byte & 0x7f) << shift;
    if (!(byte & 0x80)) return v;
  }
  failed_ = true;  // longer than any 64-bit number
  return 0;
}

void Reader::Stat(struct stat* st) {
  *st = {};
  st->st_dev = Var();
  st->st_ino = Var();
  st->st_mode = static_cast<mode_t>(Var());
  st->st_nlink = Var();
  st->st_uid = static_cast<uid_t>(Var());
  st->st_gid = static_cast<gid_t>(Var());
  st->st_rdev = Var();
  st->st_size = static_cast<off_t>(Var());
  st->st_blksize = static_cast<blksize_t>(Var());
  st->st_blocks = static_cast<blkcnt_t>(Var());
  for (struct timespec* t : {&st->st_atim, &st->st_mtim, &st->st_ctim}) {
    t->tv_sec = UnZigZag(Var());
    t->tv_nsec = UnZigZag(Var());
  }
}

bool Reader::Times(struct timespec times[2]) {
  const bool given = U8() != 0;
  for (int i = 0; i < 2; ++i) {
    times[i].tv_sec = I64();
    times[i].tv_nsec = I64();
  }
  return given;
}

void WriteHashes(Writer& w, const BlockHashList& list) {
  w.U32(static_cast<uint32_t>(list.blocks.size()));
  for (const BlockDigest& digest : list.blocks)
    w.buffer().append(reinterpret_cast<const char*>(digest.data()), digest.size());
  w.I32(list.error);
  w.U8(list.short_file ? 1 : 0);
  w.U8(list.longer ? 1 : 0);
}

void ReadHashes(Reader& in, BlockHashList* list) {
  *list = BlockHashList();
  const uint32_t count = in.U32();
  for (uint32_t i = 0; i < count && !in.failed(); ++i) {
    BlockDigest& digest = list->blocks.emplace_back();
    for (uint8_t& byte : digest) byte = in.U8();
  }
  list->error = in.I32();
  list->short_file = in.U8() != 0;
  list->longer = in.U8() != 0;
}

void WriteDigests(Writer& w, const FileDigests& found) {
  w.I32(found.stat_error);
  w.Stat(found.st);
  w.I32(found.open_error);
  w.U8(found.hashed ? 1 : 0);
  WriteHashes(w, found.hashes);
}

void ReadDigests(Reader& in, FileDigests* found) {
  found->stat_error = in.I32();
  in.Stat(&found->st);
  found->open_error = in.I32();
  found->hashed = in.U8() != 0;
  ReadHashes(in, &found->hashes);
}

void Writer::Finish(const FileFinish& finish) {
  U32(finish.uid);
  U32(finish.gid);
  U32(finish.mode);
  Times(finish.times);
  U32(static_cast<uint32_t>(finish.xattrs.size()));
  for (const auto& [name, value] : finish.xattrs) {
    Bytes(name);
    Bytes(value);
  }
  U8(finish.sync_data ? 1 : 0);
}

bool Reader::Finish(FileFinish* finish) {
  finish->uid = U32();
  finish->gid = U32();
  finish->mode = U32();
  const bool timed = Times(finish->times);
  const uint32_t count = U32();
  for (uint32_t i = 0; i < count && !failed_; ++i) {
    std::string name = Text();
    finish->xattrs.emplace_back(std::move(name), std::string(Bytes()));
  }
  finish->sync_data = U8() != 0;
  return timed;
}

std::string Framed(std::string body) {
  Writer w;
  w.U32(static_cast<uint32_t>(body.size()));
  w.buffer().append(body);
  return std::move(w.buffer());
}

}  // namespace tavrik::remote
