#include "core/remote/protocol.h"

namespace tavrik::remote {

void Writer::Stat(const struct stat& st) {
  for (uint64_t v : {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                     static_cast<uint64_t>(st.st_mode), static_cast<uint64_t>(st.st_nlink),
                     static_cast<uint64_t>(st.st_uid), static_cast<uint64_t>(st.st_gid),
                     static_cast<uint64_t>(st.st_rdev), static_cast<uint64_t>(st.st_size),
                     static_cast<uint64_t>(st.st_blksize), static_cast<uint64_t>(st.st_blocks)})
    U64(v);
  for (const struct timespec& t : {st.st_atim, st.st_mtim, st.st_ctim}) {
    I64(t.tv_sec);
    I64(t.tv_nsec);
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

void Reader::Stat(struct stat* st) {
  *st = {};
  st->st_dev = U64();
  st->st_ino = U64();
  st->st_mode = static_cast<mode_t>(U64());
  st->st_nlink = U64();
  st->st_uid = static_cast<uid_t>(U64());
  st->st_gid = static_cast<gid_t>(U64());
  st->st_rdev = U64();
  st->st_size = static_cast<off_t>(U64());
  st->st_blksize = static_cast<blksize_t>(U64());
  st->st_blocks = static_cast<blkcnt_t>(U64());
  for (struct timespec* t : {&st->st_atim, &st->st_mtim, &st->st_ctim}) {
    t->tv_sec = I64();
    t->tv_nsec = I64();
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

std::string Framed(std::string body) {
  Writer w;
  w.U32(static_cast<uint32_t>(body.size()));
  w.buffer().append(body);
  return std::move(w.buffer());
}

}  // namespace tavrik::remote
