// Versions of what a sync replaces or deletes, and the undo of a run, on a local disk and on
// real FAT, exFAT and sshfs mounts: the tree after an undo is the tree before the run (by
// content, size and time), an undo can be undone, changed files are left alone, retention
// keeps exactly the last runs, and the versions folder stays out of every list.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/compare/compare.h"
#include "core/sync/sync.h"
#include "core/sync/undo.h"
#include "core/sync/versions.h"
#include "support/real_fs.h"
#include "support/session.h"
#include "support/sync_fixture.h"
#include "support/temp_tree.h"
#include "support/tree_snapshot.h"

namespace tavrik::testing {
namespace {

enum class Where { kLocal, kFat, kExfat, kSshfs };

const char* WhereName(Where where) {
  switch (where) {
    case Where::kLocal:
      return "Local";
    case Where::kFat:
      return "Fat";
    case Where::kExfat:
      return "Exfat";
    case Where::kSshfs:
      return "Sshfs";
  }
  return "?";
}

// The right root: a folder of the local disk, or the top of a real medium.
class Medium {
 public:
  explicit Medium(Where where) : where_(where) {
    if (where == Where::kLocal) {
      local_.Mkdir("R");
      return;
    }
    const RealFsKind kind = where == Where::kFat     ? RealFsKind::kFat
                            : where == Where::kExfat ? RealFsKind::kExfat
                                                     : RealFsKind::kSshfs;
    real_ = std::make_unique<RealFs>(kind);
  }
  RealFs* real() { return real_.get(); }
  std::string Dir() const { return real_ ? real_->Dir() : local_.Path("R"); }
  std::string Path(const std::string& rel) const { return Dir() + "/" + rel; }
  // What the medium stored shows only after a remount.
  bool Remount() { return !real_ || real_->Remount(); }
  // A driver numbers its files itself: on a real medium only content, size, time and kind
  // must come back, on the local disk the very same files.
  Snapshot Snap() const {
    Snapshot snap = TakeSnapshotWithout(Dir(), std::string(kVersionsFolder));
    if (real_)
      for (auto& [path, state] : snap) state.inode = 0;
    return snap;
  }

 private:
  Where where_;
  TempTree local_;
  std::unique_ptr<RealFs> real_;
};

Snapshot WithoutFolderIds(Snapshot snap) {
  for (auto& [path, state] : snap)
    if (state.kind == 'd') state.inode = 0;
  return snap;
}

#define MEDIUM_OR_SKIP(m)                         \
  do {                                            \
    if ((m).real()) REAL_FS_OR_SKIP(*(m).real()); \
  } while (0)

class VersionsUndoTest : public ::testing::TestWithParam<Where> {
 protected:
  VersionsUndoTest() : medium(GetParam()) {}

  void WriteAt(const std::string& path, const std::string& content, long long mtime) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f) << path;
    std::fputs(content.c_str(), f);
    std::fclose(f);
    struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
  }
  void MkdirAt(const std::string& path) { mkdir(path.c_str(), 0755); }

  // replaced files older on the right, deleted ones on the right only, created ones on the
  // left only below a folder chain the right lacks.
  void MakeTrees(int replaced, int deleted, int created) {
    MkdirAt(medium.Path("d"));
    MkdirAt(medium.Path("x"));
    local.Mkdir("L/d");
    for (int i = 0; i < replaced; ++i) {
      const std::string name = "d/f" + std::to_string(i) + ".txt";
      WriteAt(medium.Path(name), "old " + std::to_string(i), kBase + 2 * i);
      WriteAt(local.Path("L/" + name), "new content " + std::to_string(i), kBase + 100000 + 2 * i);
    }
    for (int i = 0; i < deleted; ++i)
      WriteAt(medium.Path("x/g" + std::to_string(i) + ".dat"), "gone " + std::to_string(i),
              kBase + 4 * i);
    local.Mkdir("L/neu/tief");
    for (int i = 0; i < created; ++i)
      WriteAt(local.Path("L/neu/tief/n" + std::to_string(i) + ".txt"), "fresh", kBase + 6 * i);
  }

  void FillAndCompare() {
    s.host = FakeHost();
    s.Fill(local.Path("L"), true);
    s.Fill(medium.Dir(), false);
    CompareFolders(s.ctx, false);
    s.host.boxes.clear();
  }
  // Right-only files go, left-only files are copied: as a user marks them in the popup.
  void MarkAndSync(int keep = kDefaultKeepVersions) {
    FillAndCompare();
    for (int i = 1; i <= s.list.RowCount(); ++i) {
      if (s.list.GetMark(i) == Mark::kOrphanCopyLeft) s.list.SetMark(i, Mark::kDeleteRight);
      if (s.list.GetMark(i) == Mark::kOrphanCopyRight) s.list.SetMark(i, Mark::kCopyRight);
    }
    s.state.sync_options.versions = true;
    s.state.sync_options.keep_versions = keep;
    SyncFolders(s.ctx);
  }
  UndoOutcome Undo(bool dry_run = false) {
    s.host.boxes.clear();
    return UndoLastRun(s.fs, s.host, medium.Dir(), dry_run);
  }
  int Count(const UndoOutcome& outcome, UndoStep step) const {
    int n = 0;
    for (const UndoAction& a : outcome.actions) n += a.step == step;
    return n;
  }
  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> texts;
    for (const Box& box : s.host.boxes) texts.push_back(box.text);
    return texts;
  }
  std::vector<std::string> RunFolders(const std::string& root) const {
    std::vector<std::string> names;
    Snapshot all = TakeSnapshot(root + "/" + std::string(kVersionsFolder));
    for (const auto& [path, state] : all)
      if (path.find('/') == std::string::npos && state.kind == 'd') names.push_back(path);
    return names;
  }

  static constexpr long long kBase = 1700000000;
  TempTree local;
  Medium medium;
  Session s;
};

INSTANTIATE_TEST_SUITE_P(Media, VersionsUndoTest,
                         ::testing::Values(Where::kLocal, Where::kFat, Where::kExfat,
                                           Where::kSshfs),
                         [](const auto& info) { return std::string(WhereName(info.param)); });

// Catches a replaced or deleted file that is unlinked instead of kept, a kept file that
// loses its time (the FAT driver stamps a renamed file with "now"), an undo that misses a
// file or a folder, the versions folder showing up in a list, and an undo that cannot be
// undone in turn.
TEST_P(VersionsUndoTest, AnUndoRestoresTheTreeAndAnUndoOfItRestoresTheRunsResult) {
  MEDIUM_OR_SKIP(medium);
  MakeTrees(100, 50, 10);
  ASSERT_TRUE(medium.Remount());
  const Snapshot before = medium.Snap();

  MarkAndSync();
  EXPECT_TRUE(s.host.boxes.empty()) << ::testing::PrintToString(BoxTexts());
  EXPECT_EQ(s.list.RowCount(), 0);
  ASSERT_TRUE(medium.Remount());
  const Snapshot synced = medium.Snap();
  EXPECT_EQ(synced.count("x/g0.dat"), 0u);
  const std::vector<std::string> runs = RunFolders(medium.Dir());
  ASSERT_EQ(runs.size(), 1u);
  const std::string kept = medium.Path(std::string(kVersionsFolder) + "/" + runs[0] + "/");
  const Snapshot versions = TakeSnapshot(kept);
  EXPECT_EQ(versions.at("d/f7.txt").hash, before.at("d/f7.txt").hash);
  EXPECT_EQ(versions.at("d/f7.txt").mtime_sec, before.at("d/f7.txt").mtime_sec);
  EXPECT_EQ(versions.at("x/g3.dat").mtime_sec, before.at("x/g3.dat").mtime_sec);

  // A fresh fill of the right side lists the tree and nothing of the versions.
  s.list.Clear();
  s.Fill(medium.Dir(), true);
  EXPECT_EQ(s.list.RowCount(), 110);
  for (int i = 1; i <= s.list.RowCount(); ++i)
    EXPECT_EQ(s.list.LeftName(i).find(".tavrik"), std::string_view::npos) << s.list.LeftName(i);

  const UndoOutcome dry = Undo(true);
  EXPECT_EQ(Count(dry, UndoStep::kPutBack), 100);
  EXPECT_EQ(medium.Snap(), synced) << "a dry run changed the tree";

  const UndoOutcome undone = Undo();
  EXPECT_EQ(undone.status, UndoOutcome::kDone);
  EXPECT_EQ(undone.run_name, runs[0]);
  EXPECT_TRUE(undone.run_ended);
  EXPECT_EQ(Count(undone, UndoStep::kPutBack), 100);
  EXPECT_EQ(Count(undone, UndoStep::kRestore), 50);
  EXPECT_EQ(Count(undone, UndoStep::kMoveAway), 10);
  EXPECT_EQ(Count(undone, UndoStep::kRemoveFolder), 2);
  EXPECT_TRUE(s.host.boxes.empty()) << ::testing::PrintToString(BoxTexts());
  ASSERT_TRUE(medium.Remount());
  EXPECT_EQ(Changes(before, medium.Snap()), std::vector<std::string>{});

  const UndoOutcome redone = Undo();
  EXPECT_EQ(redone.status, UndoOutcome::kDone);
  EXPECT_TRUE(redone.run.seq > undone.run.seq || redone.run_name != undone.run_name);
  EXPECT_TRUE(s.host.boxes.empty()) << ::testing::PrintToString(BoxTexts());
  ASSERT_TRUE(medium.Remount());
  // Folders taken away and made again are new folders.
  EXPECT_EQ(Changes(WithoutFolderIds(synced), WithoutFolderIds(medium.Snap())),
            std::vector<std::string>{});
}

// Catches an undo that overwrites or moves away a file edited after the run, one that stops
// at the first changed file, and one that keeps quiet about it.
TEST_P(VersionsUndoTest, AFileChangedAfterTheRunStaysAndIsReported) {
  MEDIUM_OR_SKIP(medium);
  MakeTrees(5, 3, 2);
  ASSERT_TRUE(medium.Remount());
  const Snapshot before = medium.Snap();
  MarkAndSync();
  ASSERT_TRUE(s.host.boxes.empty()) << ::testing::PrintToString(BoxTexts());
  WriteAt(medium.Path("d/f2.txt"), "edited by the user afterwards", kBase + 500000);
  WriteAt(medium.Path("neu/tief/n1.txt"), "edited too", kBase + 500002);

  const UndoOutcome undone = Undo();
  EXPECT_EQ(undone.changed, 2);
  EXPECT_EQ(undone.failed, 0);
  ASSERT_EQ(s.host.boxes.size(), 2u);
  EXPECT_NE(BoxTexts()[0].find("verändert"), std::string::npos) << BoxTexts()[0];
  const std::string texts = BoxTexts()[0] + BoxTexts()[1];
  EXPECT_NE(texts.find(medium.Path("d/f2.txt")), std::string::npos) << texts;
  EXPECT_NE(texts.find(medium.Path("neu/tief/n1.txt")), std::string::npos) << texts;
  // The edited files stay (so does the folder holding one); everything else is as before.
  EXPECT_EQ(Changes(before, medium.Snap()),
            (std::vector<std::string>{"d/f2.txt", "neu", "neu/tief", "neu/tief/n1.txt"}));
  std::FILE* f = std::fopen(medium.Path("d/f2.txt").c_str(), "rb");
  ASSERT_TRUE(f);
  char text[64] = {};
  ASSERT_GT(std::fread(text, 1, sizeof text - 1, f), 0u);
  std::fclose(f);
  EXPECT_STREQ(text, "edited by the user afterwards");
}

// Catches retention that keeps one run too many or too few, prunes the run in progress,
// orders runs by folder name instead of by record, or lets a run that changed nothing push
// real versions out.
TEST_P(VersionsUndoTest, RetentionKeepsExactlyTheLastRuns) {
  MEDIUM_OR_SKIP(medium);
  MakeTrees(0, 5, 0);
  // The left column must not be empty, or the right fill would take its place.
  WriteAt(local.Path("L/anchor.txt"), "anchor", kBase);
  for (int run = 0; run < 5; ++run) {
    // One deletion per run, the file of the run's number.
    FillAndCompare();
    for (int i = 1; i <= s.list.RowCount(); ++i)
      if (s.list.RightName(i) == "x/g" + std::to_string(run) + ".dat")
        s.list.SetMark(i, Mark::kDeleteRight);
    s.state.sync_options.versions = true;
    s.state.sync_options.keep_versions = 3;
    SyncFolders(s.ctx);
    ASSERT_TRUE(s.host.boxes.empty()) << ::testing::PrintToString(BoxTexts());
  }
  EXPECT_EQ(s.state.notes.pruned.size(), 2u) << "the left root and the right root";
  // A run that changes nothing leaves no folder behind.
  FillAndCompare();
  for (int i = 1; i <= s.list.RowCount(); ++i) s.list.SetMark(i, Mark::kSkip);
  SyncFolders(s.ctx);
  EXPECT_EQ(RunFolders(medium.Dir()).size(), 3u);
  EXPECT_EQ(RunFolders(local.Path("L")).size(), 3u);
  // Runs of the same second get suffixes; the newest by record is the last one still.
  const UndoOutcome undone = Undo();
  ASSERT_EQ(undone.actions.size(), 1u);
  EXPECT_EQ(undone.actions[0].rel, "x/g4.dat");
  EXPECT_TRUE(std::ifstream(medium.Path("x/g4.dat")).good());
}

// A sync with versions under right/ (r replaced, d deleted), then an undo of right/ whose own
// renames and time calls are made to fail.
class UndoFaultTest : public SyncBench {
 protected:
  static constexpr long long kOld = 1700000000;

  void SyncWithVersions() {
    tree.Write("left/r", "new r", kOld + 1000);
    tree.Write("right/r", "old r", kOld);
    tree.Write("right/d", "old d", kOld + 2);
    Fill();
    CompareFolders(s.ctx, false);
    SetMark("", "d", Mark::kDeleteRight);
    s.host = FakeHost();
    s.state.sync_options.versions = true;
    Sync();
    ASSERT_TRUE(s.host.boxes.empty()) << ::testing::PrintToString(BoxTexts());
    ASSERT_EQ(tree.Read("right/r"), "new r");
    ASSERT_FALSE(tree.Exists("right/d"));
  }
  // The kept files show another time than the record, as after a driver that stamps a
  // renamed file with "now": the undo must set their times again.
  void StampKeptVersions() {
    for (const std::string& rel : KeptPaths("r")) tree.SetTime(rel, kOld + 5000);
    for (const std::string& rel : KeptPaths("d")) tree.SetTime(rel, kOld + 5000);
  }
  // Relative paths of the files named leaf anywhere in right/'s versions.
  std::vector<std::string> KeptPaths(const std::string& leaf) const {
    std::vector<std::string> found;
    const std::filesystem::path base = tree.Path("");
    for (const auto& e : std::filesystem::recursive_directory_iterator(
             tree.Path("right/" + std::string(kVersionsFolder))))
      if (e.path().filename() == leaf) found.push_back(e.path().lexically_relative(base).string());
    return found;
  }
  std::vector<std::string> KeptContents(const std::string& leaf) const {
    std::vector<std::string> contents;
    for (const std::string& rel : KeptPaths(leaf)) contents.push_back(tree.Read(rel));
    std::sort(contents.begin(), contents.end());
    return contents;
  }
  UndoOutcome UndoRight() {
    s.host = FakeHost();
    return UndoLastRun(s.fs, s.host, tree.Path("right"), false);
  }
  // Fails the nth rename onto the name leaf; with a text instead of an errno, another
  // program writes that file under the name just before the rename.
  void OnRenameTo(const std::string& leaf, int nth, int error, std::string other = {}) {
    auto seen = std::make_shared<int>(0);
    s.fs.SetHook([this, leaf, nth, error, other, seen](FsCall call, const std::string& name) {
      if (call != FsCall::kRename || name != leaf || ++*seen != nth) return 0;
      if (!other.empty()) tree.Write("right/" + leaf, other);
      return error;
    });
  }
};

// Catches an undo that rolls back a kept version it has put in place because its time could
// not be set (the run's file then goes over it and the old content exists nowhere), one that
// calls such a file not restored, a failed rename that leaves the place empty, and a restore
// that goes over a file another program put there meanwhile.
TEST_F(UndoFaultTest, TheUndosOwnRenamesAndTimeCallsFailWithoutLosingAFile) {
  struct Case {
    const char* name;
    std::function<void()> fault;
    const char* r_after;              // right/r after the undo
    const char* d_after;              // right/d after the undo
    int failed;                       // rows the undo reports as not done
    const char* reason;               // in the one failure's box, when there is one
    std::vector<std::string> kept_r;  // contents of every kept r
    std::vector<std::string> kept_d;
  };
  const std::vector<Case> cases = {
      {"no time can be set",
       [this] { s.fs.FailNth(FsCall::kSetTimes, 0, EPERM); },
       "old r",
       "old d",
       0,
       nullptr,
       {"new r"},
       {}},
      {"the version's rename into place fails",
       [this] { OnRenameTo("r", 2, EIO); },
       "new r",
       "old d",
       1,
       "Ein-/Ausgabefehler.",
       {"old r"},
       {}},
      {"a file appears where a deleted one returns",
       [this] { OnRenameTo("d", 1, 0, "other d"); },
       "old r",
       "other d",
       1,
       kWhyNameTakenMeanwhile,
       {"new r"},
       {"old d"}},
      {"a file appears where a replaced one returns",
       [this] { OnRenameTo("r", 2, 0, "other r"); },
       "other r",
       "old d",
       1,
       kWhyNameTakenMeanwhile,
       {"new r", "old r"},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(tree.Path("left"));
    std::filesystem::remove_all(tree.Path("right"));
    SyncWithVersions();
    StampKeptVersions();
    c.fault();
    const UndoOutcome undone = UndoRight();
    s.fs.Reset();
    s.fs.SetHook(nullptr);
    EXPECT_EQ(undone.status, UndoOutcome::kDone);
    EXPECT_EQ(tree.Read("right/r"), c.r_after);
    EXPECT_EQ(tree.Read("right/d"), c.d_after);
    EXPECT_EQ(undone.failed, c.failed);
    EXPECT_EQ(KeptContents("r"), c.kept_r);
    EXPECT_EQ(KeptContents("d"), c.kept_d);
    int not_restored = 0, untimed = 0;
    for (const Box& box : s.host.boxes) {
      not_restored += box.text.find("konnte nicht zurückgeholt werden") != std::string::npos;
      untimed += box.text.find("Änderungsdatum") != std::string::npos;
      if (c.reason && box.reason) {
        EXPECT_EQ(ReasonText(*box.reason), c.reason) << box.text;
      }
    }
    EXPECT_EQ(not_restored, c.failed) << ::testing::PrintToString(BoxTexts());
    // Each file that is back without its time says so once.
    EXPECT_EQ(untimed, c.failed == 0 ? 2 : 0) << ::testing::PrintToString(BoxTexts());
    if (c.failed == 0) {
      struct stat st {};
      ASSERT_EQ(stat(tree.Path("right/r").c_str(), &st), 0);
      EXPECT_EQ(st.st_mtime, kOld + 5000) << "the time was set after all";
    }
  }
}

// Catches an undo that refuses a kept version which is a link (the run replaced or deleted
// a link to a file, which the fill counts as that file), and an undo of that undo which
// takes the link for a changed file.
TEST_F(UndoFaultTest, KeptLinksComeBackAndAnUndoOfTheUndoTakesThemAwayAgain) {
  tree.Write("outside/target", "target", kOld);
  tree.Write("left/link", "new", kOld + 1000);
  ASSERT_EQ(symlink("../outside/target", tree.Path("right/link").c_str()), 0);
  ASSERT_EQ(symlink(tree.Path("outside/keep.txt").c_str(), tree.Path("right/gone").c_str()), 0);
  Fill();
  CompareFolders(s.ctx, false);
  SetMark("link", "link", Mark::kCopyRight);
  SetMark("", "gone", Mark::kDeleteRight);
  s.host = FakeHost();
  s.state.sync_options.versions = true;
  Sync();
  ASSERT_TRUE(s.host.boxes.empty()) << ::testing::PrintToString(BoxTexts());
  ASSERT_EQ(tree.Read("right/link"), "new");
  ASSERT_FALSE(tree.Exists("right/gone"));
  const Snapshot synced = TakeSnapshotWithout(tree.Path("right"), std::string(kVersionsFolder));

  UndoOutcome undone = UndoRight();
  EXPECT_EQ(undone.failed, 0);
  EXPECT_EQ(undone.changed, 0);
  EXPECT_TRUE(s.host.boxes.empty()) << ::testing::PrintToString(BoxTexts());
  std::error_code ec;
  EXPECT_EQ(std::filesystem::read_symlink(tree.Path("right/link"), ec), "../outside/target");
  EXPECT_EQ(std::filesystem::read_symlink(tree.Path("right/gone"), ec),
            tree.Path("outside/keep.txt"));
  EXPECT_EQ(tree.Read("outside/target"), "target");

  undone = UndoRight();
  EXPECT_EQ(undone.failed, 0);
  EXPECT_EQ(undone.changed, 0);
  EXPECT_TRUE(s.host.boxes.empty()) << ::testing::PrintToString(BoxTexts());
  EXPECT_EQ(Changes(synced, TakeSnapshotWithout(tree.Path("right"), std::string(kVersionsFolder))),
            std::vector<std::string>{});
}

}  // namespace
}  // namespace tavrik::testing
