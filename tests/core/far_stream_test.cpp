// A copy streamed to or from the far end: the same file as a copy on the local disk, and a
// copy broken off midway leaves no temporary file on either side.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/xattr.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include "core/remote/remote_file_system.h"
#include "core/remote/serve.h"
#include "core/sync/file_ops.h"
#include "support/fault_file_system.h"
#include "support/temp_tree.h"

namespace tavrik::testing {
namespace {

using remote::RemoteFileSystem;

// A far end on a thread of its own serving root through far_fs, reached over a socket pair.
class FarEnd {
 public:
  FarEnd(FileSystem& far_fs, const std::string& root) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
    channel_ = remote::FdChannel(pair[1], pair[1], true);
    remote::ServeOptions options;
    options.temp_prefix = std::string(kTempPrefix);
    thread_ = std::thread([this, &far_fs, options] { remote::Serve(far_fs, *channel_, options); });
    remote::ConnectError error;
    fs = RemoteFileSystem::Connect(remote::FdChannel(pair[0], pair[0], true), "nas", root, &error);
  }
  ~FarEnd() { Finish(); }
  // Cuts the far end's side, as a far end that dies does.
  void Cut() { channel_->Shutdown(); }
  // Ends the connection and waits until the far end has cleaned up.
  void Finish() {
    if (fs) fs->Disconnect();
    if (thread_.joinable()) thread_.join();
  }
  std::string Root() const { return fs->Root() + "/"; }

  std::unique_ptr<RemoteFileSystem> fs;

 private:
  std::unique_ptr<remote::Channel> channel_;
  std::thread thread_;
};

std::string Pattern(size_t size, int seed) {
  std::string text(size, '\0');
  uint32_t x = 2463534242u + static_cast<uint32_t>(seed);
  for (char& c : text) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return text;
}

// Content, permission bits, modification time to the nanosecond and one user attribute.
std::string Describe(const TempTree& t, const std::string& rel) {
  struct stat st {};
  if (lstat(t.Path(rel).c_str(), &st) != 0) return "missing";
  char value[64] = {};
  const ssize_t n = getxattr(t.Path(rel).c_str(), "user.note", value, sizeof value - 1);
  return std::to_string(std::hash<std::string>()(t.Read(rel))) + " size " +
         std::to_string(st.st_size) + " mode " + std::to_string(st.st_mode & 07777) + " mtime " +
         std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + " xattr " +
         (n < 0 ? "-" : value);
}

// The names of the copies' temporary files left in a folder.
std::vector<std::string> Leftovers(const std::string& folder) {
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.path().filename().string().rfind(kTempPrefix, 0) == 0)
      left.push_back(entry.path().filename().string());
  return left;
}

FileStamp StampAt(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return StampOf(st);
}

enum class Way { kDisk, kTwoLocal, kToFar, kFromFar };

// Copies src/f onto dst/f in top, the far end (where there is one) serving the folder of its
// side; the copy's error text, or "ok".
std::string CopyOver(const TempTree& t, const std::string& top, Way way) {
  const std::string src_root = t.Path(top + "/src") + "/";
  const std::string dst_root = t.Path(top + "/dst") + "/";
  const FileStamp src_seen = StampAt(src_root + "f");
  std::optional<FileStamp> dst_seen;
  if (t.Exists(top + "/dst/f")) dst_seen = StampAt(dst_root + "f");
  const FileStamp* old = dst_seen ? &*dst_seen : nullptr;
  FsResult done;
  FaultFileSystem other;  // a second local file system: no call of it fails
  switch (way) {
    case Way::kDisk:
      done = CopyFileOnto(RealFileSystem(), {src_root, "f"}, {dst_root, "f"}, &src_seen, old);
      break;
    case Way::kTwoLocal:
      done =
          CopyFileOnto(RealFileSystem(), {src_root, "f"}, other, {dst_root, "f"}, &src_seen, old);
      break;
    case Way::kToFar: {
      FarEnd far(RealFileSystem(), t.Path(top + "/dst"));
      EXPECT_TRUE(far.fs);
      if (!far.fs) return "no far end";
      const std::string root = far.Root();
      done = CopyFileOnto(RealFileSystem(), {src_root, "f"}, *far.fs, {root, "f"}, &src_seen, old);
      break;
    }
    case Way::kFromFar: {
      FarEnd far(RealFileSystem(), t.Path(top + "/src"));
      EXPECT_TRUE(far.fs);
      if (!far.fs) return "no far end";
      const std::string root = far.Root();
      done = CopyFileOnto(*far.fs, {root, "f"}, RealFileSystem(), {dst_root, "f"}, &src_seen, old);
      break;
    }
  }
  return done.ok() ? "ok" : done.error().path + ": " + std::to_string(done.error().code);
}

// Catches a streamed copy that differs from a copy on the local disk: bytes lost, doubled or
// reordered between chunks read ahead or writes in flight, a mode, time or attribute the
// finish leaves out, or an older target that is not replaced whole.
TEST(FarStreamTest, ACopyThroughTheFarEndIsTheFileALocalCopyMakes) {
  struct Case {
    const char* name;
    size_t size;
    mode_t mode;
    size_t old_size;  // 0: no older file at the target
  };
  const Case cases[] = {
      {"empty", 0, 0644, 0},
      {"small", 1000, 0600, 0},
      {"exactly one chunk", size_t{1} << 20, 0640, 0},
      {"many chunks, not a multiple", (size_t{9} << 20) + 123, 0755, 0},
      {"replaces a longer older file", 5000, 0644, 200000},
      {"replaces a shorter older file, read-only", (size_t{3} << 20) + 7, 0444, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempTree t;
    const Way ways[] = {Way::kDisk, Way::kTwoLocal, Way::kToFar, Way::kFromFar};
    std::vector<std::string> results;
    for (Way way : ways) {
      const std::string top = std::string(1, 'w') + std::to_string(static_cast<int>(way));
      t.Write(top + "/src/f", Pattern(c.size, 1), 1600000000);
      t.SetTime(top + "/src/f", 1600000000, 123456789);
      setxattr(t.Path(top + "/src/f").c_str(), "user.note", "kept", 4, 0);
      chmod(t.Path(top + "/src/f").c_str(), c.mode);
      t.Mkdir(top + "/dst");
      if (c.old_size > 0) t.Write(top + "/dst/f", Pattern(c.old_size, 2), 1500000000);
      EXPECT_EQ(CopyOver(t, top, way), "ok") << static_cast<int>(way);
      results.push_back(Describe(t, top + "/dst/f"));
      EXPECT_EQ(Leftovers(t.Path(top + "/dst")), std::vector<std::string>{});
    }
    EXPECT_EQ(t.Read("w0/dst/f"), Pattern(c.size, 1));
    for (size_t i = 1; i < results.size(); ++i) EXPECT_EQ(results[i], results[0]) << i;
  }
}

// Catches a copy broken off midway (a source read or a write failing, the far end dying),
// streamed whole or as a delta against an older file, that leaves its temporary file behind,
// replaces the older file anyway, or blames the wrong side.
TEST(FarStreamTest, ACopyBrokenOffMidwayLeavesNothingBehind) {
  struct Case {
    const char* name;
    bool to_far;
    bool fault_far;  // the fault lies behind the far end, else on the near side
    FsCall call;
    int error;
    bool cut;         // the far end dies at that call instead
    const char* who;  // the side the failure names: "src" or "dst"
  };
  const Case cases[] = {
      {"near source read fails", true, false, FsCall::kRead, EIO, false, "src"},
      {"far write fails", true, true, FsCall::kWrite, ENOSPC, false, "dst"},
      {"far end dies while writing", true, true, FsCall::kWrite, 0, true, "dst"},
      {"far source read fails", false, true, FsCall::kRead, EIO, false, "src"},
      {"near write fails", false, false, FsCall::kWrite, EDQUOT, false, "dst"},
  };
  for (const Case& c : cases) {
    for (const bool replace : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (replace ? ", replacing" : ", new file"));
      TempTree t;
      const std::string big = Pattern((size_t{6} << 20) + 5, 3);
      t.Write("src/f", big, 1600000000);
      t.Mkdir("dst");
      if (replace) t.Write("dst/f", big.substr(0, 100000) + "older", 1500000000);
      const std::string old = replace ? t.Read("dst/f") : "";
      const FileStamp src_seen = StampAt(t.Path("src/f"));
      std::optional<FileStamp> dst_seen;
      if (replace) dst_seen = StampAt(t.Path("dst/f"));
      FaultFileSystem near_fs;
      FaultFileSystem far_fs;
      FaultFileSystem& faulty = c.fault_far ? far_fs : near_fs;
      FarEnd far(far_fs, t.Path(c.to_far ? "dst" : "src"));
      ASSERT_TRUE(far.fs);
      std::atomic<int> writes{0};
      if (c.cut) {
        faulty.SetHook([&](FsCall call, const std::string&) {
          if (call == FsCall::kWrite && ++writes == 2) far.Cut();
          return 0;
        });
      } else {
        faulty.FailNth(c.call, 2, c.error);
      }
      const std::string far_root = far.Root();
      const std::string src_root = c.to_far ? t.Path("src") + "/" : far_root;
      const std::string dst_root = c.to_far ? far_root : t.Path("dst") + "/";
      FileSystem& src_fs = c.to_far ? static_cast<FileSystem&>(near_fs) : *far.fs;
      FileSystem& dst_fs = c.to_far ? static_cast<FileSystem&>(*far.fs) : near_fs;
      const FsResult done = CopyFileOnto(src_fs, {src_root, "f"}, dst_fs, {dst_root, "f"},
                                         &src_seen, replace ? &*dst_seen : nullptr);
      far.Finish();
      ASSERT_FALSE(done.ok());
      if (!c.cut) {
        EXPECT_EQ(done.error().code, c.error);
      }
      const std::string& named = std::string(c.who) == "src" ? src_root : dst_root;
      EXPECT_EQ(done.error().path.rfind(named, 0), 0u) << done.error().path;
      EXPECT_EQ(t.Exists("dst/f"), replace);
      if (replace) {
        EXPECT_EQ(t.Read("dst/f"), old);
      }
      EXPECT_EQ(t.Read("src/f"), big);
      EXPECT_EQ(Leftovers(t.Path("dst")), std::vector<std::string>{});
    }
  }
}

// Catches a replacement of a big file that is not sent as a delta against the older one
// (the older file never read where it lies), a small file sent as one, or a delta that
// makes a file other than the source, in either direction.
TEST(FarStreamTest, AReplacementIsADeltaAgainstTheOlderFileBothWays) {
  const std::string base = Pattern(size_t{2} << 20, 5);
  std::string edited = base;
  edited.replace(700000, 100, Pattern(100, 9));
  edited += Pattern(1000, 10);
  struct Case {
    const char* name;
    std::string older, newer;
    bool delta;
  };
  const Case cases[] = {
      {"a few bytes changed", base, edited, true},
      {"all bytes new", Pattern(size_t{1} << 20, 6), Pattern(size_t{1} << 20, 7), true},
      {"older file empty", "", Pattern(200000, 8), true},
      {"small file goes whole", Pattern(10000, 1), Pattern(10001, 2), false},
  };
  for (const Case& c : cases) {
    for (const bool to_far : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (to_far ? ", to the far end" : ", from the far end"));
      TempTree t;
      t.Write("src/f", c.newer, 1600000000);
      t.SetTime("src/f", 1600000000, 5000);
      chmod(t.Path("src/f").c_str(), 0640);
      t.Write("dst/f", c.older, 1500000000);
      const FileStamp src_seen = StampAt(t.Path("src/f"));
      const FileStamp dst_seen = StampAt(t.Path("dst/f"));
      FaultFileSystem near_fs;
      FaultFileSystem far_fs;
      FarEnd far(far_fs, t.Path(to_far ? "dst" : "src"));
      ASSERT_TRUE(far.fs);
      const std::string far_root = far.Root();
      FsResult done;
      if (to_far) {
        done = CopyFileOnto(near_fs, {t.Path("src") + "/", "f"}, *far.fs, {far_root, "f"},
                            &src_seen, &dst_seen);
      } else {
        done = CopyFileOnto(*far.fs, {far_root, "f"}, near_fs, {t.Path("dst") + "/", "f"},
                            &src_seen, &dst_seen);
      }
      far.Finish();
      ASSERT_TRUE(done.ok()) << done.error().path << " " << done.error().code;
      // The older file lies on the target's side; only a delta reads it.
      const FaultFileSystem& target_side = to_far ? far_fs : near_fs;
      EXPECT_EQ(target_side.Count(FsCall::kRead) > 0, c.delta);
      EXPECT_TRUE(t.Read("dst/f") == c.newer);
      EXPECT_EQ(StampAt(t.Path("dst/f")), src_seen);
      struct stat st {};
      lstat(t.Path("dst/f").c_str(), &st);
      EXPECT_EQ(st.st_mode & 07777, 0640u);
      EXPECT_EQ(Leftovers(t.Path("dst")), std::vector<std::string>{});
    }
  }
}

// Catches a commit whose one-call rename into place skips a check of the local path: a
// target changed, made read-only, taken or moved since the copy was staged must fail with the
// same reason on the local disk and at the far end, and leave the target as it is.
TEST(FarStreamTest, ACommitChecksTheTargetAsOnTheLocalDisk) {
  struct Case {
    const char* name;
    bool older;                                   // an older file is replaced
    std::function<void(const TempTree&)> change;  // what happens between staging and commit
    std::string expect;                           // the commit's outcome
    std::string content;                          // dst/sub/f afterwards
  };
  const auto rewrite = [](const char* text) {
    return [text](const TempTree& t) { t.Write("dst/sub/f", text, 1550000000); };
  };
  const Case cases[] = {
      {"new file, nothing changed", false, [](const TempTree&) {}, "ok", "new"},
      {"replacement, nothing changed", true, [](const TempTree&) {}, "ok", "new"},
      {"older file rewritten", true, rewrite("other"),
       "116 Die Datei wurde seit dem Vergleich verändert.", "other"},
      {"older file gone", true, [](const TempTree& t) { unlink(t.Path("dst/sub/f").c_str()); },
       "ok", "new"},
      {"name taken meanwhile", false, rewrite("taken"),
       "17 Der Name ist auf dem Ziel bereits vergeben.", "taken"},
      {"older file made read-only", true,
       [](const TempTree& t) { chmod(t.Path("dst/sub/f").c_str(), 0444); },
       "13 Die Datei ist schreibgeschützt.", "old"},
      {"folder moved", true,
       [](const TempTree& t) {
         rename(t.Path("dst/sub").c_str(), t.Path("dst/moved").c_str());
         t.Write("dst/sub/f", "old", 1500000000);
       },
       "116 Die Datei wurde seit dem Vergleich verändert. moved", "old"},
  };
  for (const Case& c : cases) {
    for (const bool far_side : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (far_side ? ", far" : ", local"));
      TempTree t;
      t.Write("src/sub/f", "new", 1600000000);
      t.Mkdir("dst/sub");
      if (c.older) t.Write("dst/sub/f", "old", 1500000000);
      const FileStamp src_seen = StampAt(t.Path("src/sub/f"));
      std::optional<FileStamp> dst_seen;
      if (c.older) dst_seen = StampAt(t.Path("dst/sub/f"));
      FarEnd far(RealFileSystem(), t.Path("dst"));
      ASSERT_TRUE(far.fs);
      FileSystem& dst_fs = far_side ? static_cast<FileSystem&>(*far.fs) : RealFileSystem();
      const std::string dst_root = far_side ? far.Root() : t.Path("dst") + "/";
      const FileStamp* old = c.older ? &*dst_seen : nullptr;
      auto staged = StageCopy(RealFileSystem(), {t.Path("src") + "/", "sub/f"}, dst_fs,
                              {dst_root, "sub/f"}, &src_seen, old);
      ASSERT_TRUE(staged.ok());
      c.change(t);
      bool moved = false;
      const FsResult done = CommitStagedCopy(*staged.value(), old, nullptr, false, nullptr, &moved);
      std::string outcome = "ok";
      if (!done.ok())
        outcome =
            std::to_string(done.error().code) + " " + done.error().why + (moved ? " moved" : "");
      staged.value().reset();
      far.Finish();
      EXPECT_EQ(outcome, c.expect);
      EXPECT_EQ(t.Read("dst/sub/f"), c.content);
      EXPECT_EQ(Leftovers(t.Path("dst/sub")), std::vector<std::string>{});
    }
  }
}

}  // namespace
}  // namespace tavrik::testing
