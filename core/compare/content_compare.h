// Reading and comparing the files of equal-size pairs for the binary comparison, on
// reader threads that work ahead of the row loop so both trees are read at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/fs/file_system.h"
#include "core/parallel/ordered_pipeline.h"

namespace tavrik {

inline constexpr size_t kCompareBlock = 262144;

struct PairResult {
  enum Kind { kLess, kGreater, kEqual, kDiffer, kFailed };
  Kind kind = kFailed;
  std::string failed_path;  // the file that could not be read
  int error_number = 0;     // errno, or 0 with error_text set
  std::string error_text;
};

// The folder of the file opened last, kept open so the next file of the same folder is
// opened by its name alone instead of walking the whole path again.
class FolderCache {
 public:
  explicit FolderCache(FileSystem& fs) : fs_(fs) {}
  ~FolderCache();
  FolderCache(const FolderCache&) = delete;
  FolderCache& operator=(const FolderCache&) = delete;
  // Opens path for reading; -1 with errno set on failure.
  int Open(const std::string& path, int flags);
  // The attribute query of path (links followed unless flags say AT_SYMLINK_NOFOLLOW); -1
  // with errno set on failure.
  int Stat(const std::string& path, struct stat* st, int flags = 0);
  // The target text of the link at path; -1 with errno set on failure.
  int ReadLink(const std::string& path, std::string* text);
  // FileSystem::DigestFile of path (links followed), in one call of its file system.
  void Digest(const std::string& path, uint64_t max_length, FileDigests* out);

 private:
  // Switches to the folder of path; its leaf, or nullptr when the folder cannot be opened.
  const char* Enter(const std::string& path);
  FileSystem& fs_;
  std::string folder_;
  int fd_ = -1;
};

// What one thread needs to compare pairs: two blocks and a folder cache per side, each side
// read through its root's file system.
struct PairReader {
  explicit PairReader(FileSystem& fs) : PairReader(fs, fs) {}
  PairReader(FileSystem& left_fs, FileSystem& right_fs);
  FileSystem& left_fs;
  FileSystem& right_fs;
  std::unique_ptr<char[]> left_block;  // for the byte comparison, made at its first use
  std::unique_ptr<char[]> right_block;
  FolderCache left_folder;
  FolderCache right_folder;
};

// Compares one pair of files: sizes from an attribute query of each path before anything is
// opened (different sizes decide without opening), then once more on the opened files, and
// contents with pread in blocks of kCompareBlock bytes. Both files are closed on return.
PairResult ComparePair(const std::string& left, const std::string& right, PairReader& reader);

// Both files of a pair of rows, by full path.
struct PairJob {
  std::string left;
  std::string right;
  // The side is a link listed as itself: compared by its target text, never followed.
  bool left_link = false;
  bool right_link = false;
};
// A failure on a side whose connection to its far folder broke says so, naming the host,
// instead of the system's general text for the error.
PairResult SayLostConnection(PairResult result, const PairJob& job, PairReader& reader);

// A pair of which one side at least is a link listed as itself: a link's size is its target
// text's length; two links of one size compare by their texts, and a link against a file of
// the same size differs.
PairResult CompareLinkPair(const PairJob& job, PairReader& reader);

// What ComparePair asks a far side of a pair for first, so that it can be asked ahead:
// other_fs is the pair's other side, other_size that side's size as the fill found it.
DigestWant FarPairWant(std::string path, const FileSystem& other_fs, int64_t other_size);

// Compares pairs on helper threads ahead of the row loop; results come back in the order
// the pairs were added.
using PairPipeline = OrderedPipeline<PairJob, PairResult, PairReader>;

// The comparison's pipeline, each side read through its own file system: helpers threads
// besides the consumer's own, up to max_helpers when the reads wait, at most window pairs
// ahead.
std::unique_ptr<PairPipeline> MakePairPipeline(FileSystem& left_fs, FileSystem& right_fs,
                                               int helpers, int window, int max_helpers,
                                               const RunScope& scope);

}  // namespace tavrik
