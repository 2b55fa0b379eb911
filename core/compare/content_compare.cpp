#include "core/compare/content_compare.h"

#include "core/fs/error_text.h"
#include "core/fs/file_io.h"
#include "core/fs/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

namespace tavrik {

namespace {

PairResult Failure(const std::string& path, int error_number, std::string text = {}) {
  PairResult r;
  r.kind = PairResult::kFailed;
  r.failed_path = path;
  r.error_number = error_number;
  r.error_text = text.empty() ? GermanErrorText(error_number) : std::move(text);
  return r;
}

PairResult Outcome(PairResult::Kind kind) {
  PairResult r;
  r.kind = kind;
  return r;
}

// Opens a file for reading without ever blocking on a FIFO, and takes its size from the
// one attribute query of the opened file.
Fd OpenRegular(FileSystem& fs, FolderCache& folders, const std::string& path, int64_t* size,
               PairResult* failure) {
  Fd fd(fs, folders.Open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) {
    *failure = Failure(path, errno);
    return fd;
  }
  struct stat st {};
  if (fs.Fstat(fd.get(), &st) != 0) {
    *failure = Failure(path, errno);
    return Fd();
  }
  if (!S_ISREG(st.st_mode)) {
    *failure = Failure(path, EINVAL, "keine gewöhnliche Datei");
    return Fd();
  }
  *size = st.st_size;
  return fd;
}

// Reads exactly count bytes at offset; false (with failure set) on an error or early end.
// The last block asks for one byte more: a file that grew since its size was taken shows
// there without an attribute query of its own (block must have room for it).
bool ReadBlock(FileSystem& fs, int fd, const std::string& path, char* block, size_t count,
               int64_t offset, bool last, PairResult* failure) {
  const size_t want = last ? count + 1 : count;
  size_t done = 0;
  while (done < count) {
    ssize_t n = fs.PRead(fd, block + done, want - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *failure = Failure(path, errno);
      return false;
    }
    if (n == 0) {
      *failure = Failure(path, EIO, "die Datei endet früher als erwartet");
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (done > count) {
    *failure = Failure(path, EIO, "die Datei wurde während des Vergleichs verändert");
    return false;
  }
  return true;
}

// The block digests asked of each side at once: one request per side for this many bytes.
constexpr uint64_t kDigestRun = uint64_t{64} * kCompareBlock;

// Why a side's digests stop at block blocks.size(), as the byte comparison says it.
PairResult DigestFailure(const std::string& path, const BlockHashList& list) {
  if (list.short_file) return Failure(path, EIO, "die Datei endet früher als erwartet");
  if (list.error != 0) return Failure(path, list.error);
  return Failure(path, EIO, "die Datei wurde während des Vergleichs verändert");
}

// Compares the contents of two open files of size bytes by the digests of their blocks,
// where a side lies on another machine and its bytes would have to cross the link: block by
// block in the byte comparison's order (the left block read, then the right one, then
// compared), so verdicts and failures are those of the byte comparison.
PairResult CompareByDigests(FileSystem& lfs, int lf, const std::string& left, FileSystem& rfs,
                            int rf, const std::string& right, int64_t size) {
  const uint64_t total = static_cast<uint64_t>(size);
  for (uint64_t offset = 0; offset < total; offset += kDigestRun) {
    const uint64_t length = std::min(kDigestRun, total - offset);
    const bool final = offset + length >= total;
    BlockHashList l, r;
    lfs.BlockHashes(lf, offset, length, kCompareBlock, &l);
    rfs.BlockHashes(rf, offset, length, kCompareBlock, &r);
    const size_t blocks = static_cast<size_t>((length + kCompareBlock - 1) / kCompareBlock);
    for (size_t i = 0; i < blocks; ++i) {
      // The file's last block is read with one byte more: a file that grew fails there.
      const bool last = final && i + 1 == blocks;
      if (i >= l.blocks.size() || (last && l.longer)) return DigestFailure(left, l);
      if (i >= r.blocks.size() || (last && r.longer)) return DigestFailure(right, r);
      if (l.blocks[i] != r.blocks[i]) return Outcome(PairResult::kDiffer);
    }
  }
  return Outcome(PairResult::kEqual);
}

// Opens a file whose attributes were just taken; nothing blocks on a FIFO put in its place
// meanwhile (reading one fails).
Fd OpenForReading(FileSystem& fs, FolderCache& folders, const std::string& path,
                  PairResult* failure) {
  Fd fd(fs, folders.Open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) *failure = Failure(path, errno);
  return fd;
}

// A side of a pair where a side lies on another machine. A far side answers its status and,
// for a file of at most one run of digests, the digests too, in one round trip; a near side
// gives its status here and its digests once its partner's size is known to match.
void Probe(FileSystem& fs, FolderCache& folder, const std::string& path, uint64_t max_length,
           FileDigests* side) {
  if (fs.IsFar()) {
    folder.Digest(path, max_length, side);
    return;
  }
  *side = FileDigests();
  if (folder.Stat(path, &side->st) != 0) side->stat_error = errno;
}

// The near side's digests of the bytes its status gave, read as a far end reads them.
bool DigestHere(FileSystem& fs, FolderCache& folder, const std::string& path, FileDigests* side,
                PairResult* failure) {
  if (side->hashed || fs.IsFar()) return true;
  Fd fd = OpenForReading(fs, folder, path, failure);
  if (fd.get() < 0) return false;
  fs.BlockHashes(fd.get(), 0, static_cast<uint64_t>(side->st.st_size), kCompareBlock,
                 &side->hashes);
  side->hashed = true;
  return true;
}

// Two files of size bytes by their digests, with the byte comparison's verdicts and reasons.
PairResult CompareDigests(const std::string& left, const FileDigests& l, const std::string& right,
                          const FileDigests& r, int64_t size) {
  const size_t blocks =
      static_cast<size_t>((static_cast<uint64_t>(size) + kCompareBlock - 1) / kCompareBlock);
  for (size_t i = 0; i < std::max<size_t>(blocks, 1); ++i) {
    const bool last = i + 1 >= blocks;
    if ((i < blocks && i >= l.hashes.blocks.size()) || (last && l.hashes.longer))
      return DigestFailure(left, l.hashes);
    if ((i < blocks && i >= r.hashes.blocks.size()) || (last && r.hashes.longer))
      return DigestFailure(right, r.hashes);
    if (i < blocks && l.hashes.blocks[i] != r.hashes.blocks[i]) return Outcome(PairResult::kDiffer);
  }
  if (l.hashes.error != 0) return DigestFailure(left, l.hashes);
  if (r.hashes.error != 0) return DigestFailure(right, r.hashes);
  return Outcome(PairResult::kEqual);
}

// A pair with a far side, in one round trip per far file where both are regular files of the
// same size of at most one run of digests. nullopt where the general way must decide.
std::optional<PairResult> CompareFarPair(const std::string& left, const std::string& right,
                                         PairReader& reader) {
  FileDigests l, r;
  const bool left_far = reader.left_fs.IsFar();
  const bool right_far = reader.right_fs.IsFar();
  // A near side first: a far file longer than it is not worth reading there.
  if (!left_far) Probe(reader.left_fs, reader.left_folder, left, 0, &l);
  if (!right_far) Probe(reader.right_fs, reader.right_folder, right, 0, &r);
  uint64_t most = kDigestRun;
  for (const FileDigests* near : {left_far ? nullptr : &l, right_far ? nullptr : &r})
    if (near && near->stat_error == 0 && S_ISREG(near->st.st_mode))
      most = std::min(most, static_cast<uint64_t>(near->st.st_size));
  if (left_far) Probe(reader.left_fs, reader.left_folder, left, most, &l);
  if (right_far) Probe(reader.right_fs, reader.right_folder, right, most, &r);
  if (l.stat_error != 0 || r.stat_error != 0 || !S_ISREG(l.st.st_mode) || !S_ISREG(r.st.st_mode))
    return std::nullopt;
  if (l.st.st_size < r.st.st_size) return Outcome(PairResult::kLess);
  if (l.st.st_size > r.st.st_size) return Outcome(PairResult::kGreater);
  if (static_cast<uint64_t>(l.st.st_size) > kDigestRun) return std::nullopt;
  PairResult failure;
  if (l.open_error != 0) return Failure(left, l.open_error);
  if (!DigestHere(reader.left_fs, reader.left_folder, left, &l, &failure)) return failure;
  if (r.open_error != 0) return Failure(right, r.open_error);
  if (!DigestHere(reader.right_fs, reader.right_folder, right, &r, &failure)) return failure;
  // A far file replaced by a bigger one between its status and its open was not read.
  if (!l.hashed || !r.hashed) return std::nullopt;
  return CompareDigests(left, l, right, r, l.st.st_size);
}

}  // namespace

FolderCache::~FolderCache() {
  if (fd_ >= 0) fs_.Close(fd_);
}

const char* FolderCache::Enter(const std::string& path) {
  size_t cut = path.rfind(kSep);
  if (cut == std::string::npos || cut == 0) return nullptr;
  std::string_view folder(path.data(), cut);
  if (fd_ < 0 || folder != folder_) {
    if (fd_ >= 0) fs_.Close(fd_);
    folder_.assign(folder);
    fd_ = fs_.OpenAt(AT_FDCWD, folder_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
      folder_.clear();
      return nullptr;
    }
  }
  return path.c_str() + cut + 1;
}

int FolderCache::Open(const std::string& path, int flags) {
  const char* leaf = Enter(path);
  // Without the folder, let the whole path tell what is wrong.
  if (!leaf) return fs_.OpenAt(AT_FDCWD, path.c_str(), flags);
  return fs_.OpenAt(fd_, leaf, flags);
}

int FolderCache::Stat(const std::string& path, struct stat* st, int flags) {
  const char* leaf = Enter(path);
  if (!leaf) return fs_.StatAt(AT_FDCWD, path.c_str(), st, flags);
  return fs_.StatAt(fd_, leaf, st, flags);
}

void FolderCache::Digest(const std::string& path, uint64_t max_length, FileDigests* out) {
  // A far end finds the file from its root itself: no folder to open first.
  if (fs_.IsFar()) {
    fs_.DigestFile(AT_FDCWD, path.c_str(), 0, max_length, static_cast<uint32_t>(kCompareBlock),
                   out);
    return;
  }
  const char* leaf = Enter(path);
  const int dir = leaf ? fd_ : AT_FDCWD;
  if (!leaf) leaf = path.c_str();
  fs_.DigestFile(dir, leaf, 0, max_length, static_cast<uint32_t>(kCompareBlock), out);
}

int FolderCache::ReadLink(const std::string& path, std::string* text) {
  const char* leaf = Enter(path);
  const int dir = leaf ? fd_ : AT_FDCWD;
  if (!leaf) leaf = path.c_str();
  return ReadLinkText(fs_, dir, leaf, text);
}

PairReader::PairReader(FileSystem& left_fs, FileSystem& right_fs)
    : left_fs(left_fs), right_fs(right_fs), left_folder(left_fs), right_folder(right_fs) {}

PairResult ComparePair(const std::string& left, const std::string& right, PairReader& reader) {
  PairResult failure;
  int64_t left_size = 0;
  int64_t right_size = 0;
  FileSystem& lfs = reader.left_fs;
  FileSystem& rfs = reader.right_fs;
  // Sizes first, so that a pair of different lengths gets its mark even when a file
  // cannot be opened (no read permission, a lock).
  struct stat ls {
  }, rs{};
  Fd lf, rf;
  if (lfs.IsFar() || rfs.IsFar())
    if (std::optional<PairResult> done = CompareFarPair(left, right, reader)) return *done;
  if (reader.left_folder.Stat(left, &ls) == 0 && S_ISREG(ls.st_mode) &&
      reader.right_folder.Stat(right, &rs) == 0 && S_ISREG(rs.st_mode)) {
    if (ls.st_size < rs.st_size) return Outcome(PairResult::kLess);
    if (ls.st_size > rs.st_size) return Outcome(PairResult::kGreater);
    left_size = right_size = ls.st_size;
    lf = OpenForReading(lfs, reader.left_folder, left, &failure);
    if (lf.get() < 0) return failure;
    rf = OpenForReading(rfs, reader.right_folder, right, &failure);
    if (rf.get() < 0) return failure;
  } else {
    // Something is odd with one of them: the open and its attribute query say what.
    lf = OpenRegular(lfs, reader.left_folder, left, &left_size, &failure);
    if (lf.get() < 0) return failure;
    rf = OpenRegular(rfs, reader.right_folder, right, &right_size, &failure);
    if (rf.get() < 0) return failure;
    if (left_size < right_size) return Outcome(PairResult::kLess);
    if (left_size > right_size) return Outcome(PairResult::kGreater);
  }
  const int64_t size = left_size;
  if (lfs.IsFar() || rfs.IsFar())
    return CompareByDigests(lfs, lf.get(), left, rfs, rf.get(), right, size);
  if (size > static_cast<int64_t>(kCompareBlock)) {
    // Only worth a call where more than one block will be read.
    lfs.Advise(lf.get(), POSIX_FADV_SEQUENTIAL);
    rfs.Advise(rf.get(), POSIX_FADV_SEQUENTIAL);
  }
  // Made at a reader's first byte comparison: one that only ever compares digests (a far
  // side's many readers) needs none.
  if (!reader.left_block) {
    reader.left_block = std::make_unique_for_overwrite<char[]>(kCompareBlock + 1);
    reader.right_block = std::make_unique_for_overwrite<char[]>(kCompareBlock + 1);
  }
  char* left_block = reader.left_block.get();
  char* right_block = reader.right_block.get();
  // At least one pass, so that even two empty files are checked for having grown.
  for (int64_t offset = 0;; offset += static_cast<int64_t>(kCompareBlock)) {
    const size_t count = static_cast<size_t>(std::min<int64_t>(size - offset, kCompareBlock));
    const bool last = offset + static_cast<int64_t>(count) >= size;
    if (!ReadBlock(lfs, lf.get(), left, left_block, count, offset, last, &failure)) return failure;
    if (!ReadBlock(rfs, rf.get(), right, right_block, count, offset, last, &failure))
      return failure;
    if (std::memcmp(left_block, right_block, count) != 0) return Outcome(PairResult::kDiffer);
    if (last) break;
  }
  return Outcome(PairResult::kEqual);
}

namespace {

// One side of a pair with a link: its size (a link's is its target text's length) and, for a
// link, its text. The side must still be what the fill saw: a link, or a regular file.
bool LinkSide(FolderCache& folder, const std::string& path, bool link, int64_t* size,
              std::string* text, PairResult* failure) {
  struct stat st {};
  if (folder.Stat(path, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    *failure = Failure(path, errno);
    return false;
  }
  if (link != S_ISLNK(st.st_mode) || (!link && !S_ISREG(st.st_mode))) {
    *failure = Failure(path, ESTALE, "die Datei wurde seit der Aufstellung ersetzt");
    return false;
  }
  *size = st.st_size;
  if (link && folder.ReadLink(path, text) != 0) {
    *failure = Failure(path, errno);
    return false;
  }
  if (link) *size = static_cast<int64_t>(text->size());
  return true;
}

}  // namespace

DigestWant FarPairWant(std::string path, const FileSystem& other_fs, int64_t other_size) {
  DigestWant want;
  want.path = std::move(path);
  // As CompareFarPair asks: no more than the near side holds.
  want.max_length =
      other_fs.IsFar()
          ? kDigestRun
          : std::min(kDigestRun, static_cast<uint64_t>(std::max<int64_t>(other_size, 0)));
  want.block_size = static_cast<uint32_t>(kCompareBlock);
  return want;
}

PairResult SayLostConnection(PairResult result, const PairJob& job, PairReader& reader) {
  if (result.kind != PairResult::kFailed) return result;
  FileSystem& fs = result.failed_path == job.left ? reader.left_fs : reader.right_fs;
  std::string lost = fs.LostConnectionText();
  if (!lost.empty()) result.error_text = std::move(lost);
  return result;
}

PairResult CompareLinkPair(const PairJob& job, PairReader& reader) {
  PairResult failure;
  int64_t left_size = 0, right_size = 0;
  std::string left_text, right_text;
  if (!LinkSide(reader.left_folder, job.left, job.left_link, &left_size, &left_text, &failure))
    return failure;
  if (!LinkSide(reader.right_folder, job.right, job.right_link, &right_size, &right_text, &failure))
    return failure;
  if (left_size < right_size) return Outcome(PairResult::kLess);
  if (left_size > right_size) return Outcome(PairResult::kGreater);
  if (job.left_link != job.right_link) return Outcome(PairResult::kDiffer);
  return Outcome(left_text == right_text ? PairResult::kEqual : PairResult::kDiffer);
}

std::unique_ptr<PairPipeline> MakePairPipeline(FileSystem& left_fs, FileSystem& right_fs,
                                               int helpers, int window, int max_helpers,
                                               const RunScope& scope) {
  PipelineShape shape;
  shape.helpers = helpers;
  shape.max_helpers = max_helpers;
  shape.window = static_cast<size_t>(std::max(window, 1));
  // The watching costs two system calls: every fourth pair is enough.
  shape.watch_every = 4;
  PairPipeline::Tasks tasks;
  tasks.make_worker = [&left_fs, &right_fs] {
    return std::make_unique<PairReader>(left_fs, right_fs);
  };
  tasks.run = [](PairReader& reader, const PairJob& job) {
    PairResult result = job.left_link || job.right_link ? CompareLinkPair(job, reader)
                                                        : ComparePair(job.left, job.right, reader);
    return SayLostConnection(std::move(result), job, reader);
  };
  tasks.failed = [](const PairJob& job, const char* what) { return Failure(job.left, EIO, what); };
  return std::make_unique<PairPipeline>(shape, std::move(tasks), scope);
}

}  // namespace tavrik
