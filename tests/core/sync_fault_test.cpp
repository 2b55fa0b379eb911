// The synchronisation run against a tree that changed since the fill, links, and single
// failing system calls: every failure goes to the error box and loses nothing.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <mutex>

#include "support/mem_file_system.h"
#include "support/sync_fixture.h"

namespace tavrik::testing {
namespace {

using SyncFaultTest = SyncBench;

std::string Bytes(size_t n, char seed) {
  std::string text(n, '\0');
  for (size_t i = 0; i < n; ++i) text[i] = static_cast<char>(seed + i * 7 % 251);
  return text;
}

// Catches a copy or delete that destroys a file changed since the fill (even only in the
// nanoseconds of its time), or replaces a file that appeared where the row had none.
TEST_F(SyncFaultTest, FilesChangedOrAddedSinceTheFillAreNotReplacedOrDeleted) {
  tree.Write("left/t.txt", "newer", 2000000000);
  tree.Write("right/t.txt", "older", 1000000000);
  tree.Write("right/d.txt", "delete me", 1000000000);
  tree.Write("left/n.txt", "new", 2000000000);
  Fill();
  SetMark("t.txt", "t.txt", Mark::kCopyRight);
  SetMark("", "d.txt", Mark::kDeleteRight);
  SetMark("n.txt", "", Mark::kCopyRight);
  tree.Write("right/t.txt", "edit!");  // same size, new time
  tree.SetTime("right/t.txt", 1000000000, 1);
  tree.Write("right/d.txt", "delete me", 1000000001);
  tree.Write("right/n.txt", "someone else's work");
  Snapshot before = Snap();
  Sync();
  EXPECT_EQ(ChangedSince(before), std::vector<std::string>{});
  EXPECT_EQ(s.host.boxes.size(), 3u);
  EXPECT_EQ(s.list.RowCount(), 3);
}

// Catches a copy whose source went away or is no longer a regular file (a FIFO would block
// a plain open forever) that still replaces the target.
TEST_F(SyncFaultTest, SourceGoneOrNotARegularFileFailsAndLeavesTheTarget) {
  for (const char* kind : {"removed", "fifo", "folder"}) {
    tree.Write("left/s.txt", "source", 2000000000);
    tree.Write("right/s.txt", "target", 1000000000);
    Fill();
    SetMark("s.txt", "s.txt", Mark::kCopyRight);
    std::filesystem::remove_all(tree.Path("left/s.txt"));
    if (std::string(kind) == "fifo") {
      ASSERT_EQ(mkfifo(tree.Path("left/s.txt").c_str(), 0644), 0);
    }
    if (std::string(kind) == "folder") tree.Mkdir("left/s.txt");
    Snapshot before = Snap();
    Sync();
    EXPECT_EQ(ChangedSince(before), std::vector<std::string>{}) << kind;
    const std::string reason = std::string(kind) == "removed" ? kNoSuchFile : kWhyChanged;
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{CopyBox(L("s.txt"), R("s.txt"), reason)})
        << kind;
    std::filesystem::remove_all(tree.Path("left/s.txt"));
  }
}

// Catches a copy of a source that is no longer the file the comparison judged (it may now
// be older than the target), and a Retry that cannot copy once it is as it was.
TEST_F(SyncFaultTest, SourceChangedSinceTheFillFailsAndIsCopiedOnRetryWhenBack) {
  tree.Write("left/s.txt", "first", 2000000000);
  tree.Write("right/s.txt", "older", 1000000000);
  Fill();
  SetMark("s.txt", "s.txt", Mark::kCopyRight);
  tree.Write("left/s.txt", "second version", 2100000000);
  s.host.answers = {MsgAnswer::kRetry, MsgAnswer::kIgnore};
  s.host.on_box = [&](const std::string&, Intent) {
    if (s.host.boxes.size() == 2) tree.Write("left/s.txt", "first", 2000000000);
  };
  // First box: Retry without a change fails again; second box: put back, then Ignore.
  Sync();
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{CopyBox(L("s.txt"), R("s.txt"), kWhyChanged),
                                                  CopyBox(L("s.txt"), R("s.txt"), kWhyChanged)}));
  EXPECT_EQ(tree.Read("right/s.txt"), "older");
  EXPECT_EQ(s.list.RowCount(), 1);
  s.host.boxes.clear();
  Sync();
  EXPECT_TRUE(s.host.boxes.empty());
  EXPECT_EQ(tree.Read("right/s.txt"), "first");
}

// Catches a delete that removes a folder (or its contents) put where the file was, and a
// copy into a chain whose parent name is a file.
TEST_F(SyncFaultTest, FolderInPlaceOfTheFileAndFileInPlaceOfTheParentFail) {
  tree.Write("right/d.txt", "file at fill time");
  tree.Write("left/a/b.txt", "goes nowhere");
  tree.Write("right/a", "a file, not a folder");
  Fill();
  SetMark("", "d.txt", Mark::kDeleteRight);
  SetMark("a/b.txt", "", Mark::kCopyRight);
  std::remove(tree.Path("right/d.txt").c_str());
  tree.Write("right/d.txt/inner.txt", "inside");
  Snapshot before = Snap();
  Sync();
  EXPECT_EQ(ChangedSince(before), std::vector<std::string>{});
  std::vector<std::string> texts = BoxTexts();
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts, (std::vector<std::string>{
                       CopyBox(L("a/b.txt"), R("a/b.txt"), "Das ist kein Verzeichnis."),
                       DeleteBox(R("d.txt"), "Das ist ein Verzeichnis.")}));
}

// Catches a copy that writes through a link at the target into the file it leads to.
TEST_F(SyncFaultTest, LinkAtTheTargetIsReplacedNotWrittenThrough) {
  tree.Write("left/x.txt", "copied content", 2000000000);
  tree.Write("outside/victim.txt", "not to be touched", 1000000000);
  ASSERT_EQ(symlink("../outside/victim.txt", tree.Path("right/x.txt").c_str()), 0);
  Fill();
  SetMark("x.txt", "x.txt", Mark::kCopyRight);
  Snapshot before = Snap();
  Sync();
  EXPECT_TRUE(s.host.boxes.empty());
  EXPECT_EQ(ChangedSince(before), std::vector<std::string>{"right/x.txt"});
  EXPECT_EQ(Snap()["right/x.txt"].kind, 'f');
  EXPECT_EQ(tree.Read("right/x.txt"), "copied content");
}

// Catches a copy, folder creation or delete that follows a link to a folder below a root
// and so changes files outside the tree.
TEST_F(SyncFaultTest, LinksToFoldersBelowTheRootAreNeverFollowed) {
  tree.Write("outside/dir/a.txt", "outside", 1000000000);
  tree.Write("outside/dir2/f.txt", "outside too", 1000000000);
  ASSERT_EQ(symlink("../outside/dir", tree.Path("right/sub").c_str()), 0);
  tree.Write("left/sub/a.txt", "newer", 2000000000);
  tree.Write("left/sub/new/b.txt", "new");
  tree.Write("right/real/f.txt", "outside too", 1000000000);
  Fill();
  SetMark("sub/a.txt", "", Mark::kCopyRight);
  SetMark("sub/new/b.txt", "", Mark::kCopyRight);
  SetMark("", "real/f.txt", Mark::kDeleteRight);
  // The folder of a listed file is swapped for a link to an identical file outside.
  std::filesystem::remove_all(tree.Path("right/real"));
  ASSERT_EQ(symlink("../outside/dir2", tree.Path("right/real").c_str()), 0);
  Snapshot before = Snap();
  Sync();
  EXPECT_EQ(ChangedSince(before), std::vector<std::string>{});
  EXPECT_EQ(s.host.boxes.size(), 3u);
  EXPECT_EQ(s.list.RowCount(), 3);
}

// Catches a folder walk that refuses links in the roots' own paths, so trees reached
// through a link could not be synchronised.
TEST_F(SyncFaultTest, RootsReachedThroughLinksAreFollowed) {
  tree.Write("left/a/b/c.txt", "from the left", 2000000000);
  tree.Write("right/r.txt", "from the right", 2000000000);
  ASSERT_EQ(symlink("left", tree.Path("lroot").c_str()), 0);
  ASSERT_EQ(symlink("right", tree.Path("rroot").c_str()), 0);
  FillFrom(tree.Path("lroot"), tree.Path("rroot"));
  SetMark("a/b/c.txt", "", Mark::kCopyRight);
  SetMark("", "r.txt", Mark::kCopyLeft);
  Sync();
  EXPECT_TRUE(s.host.boxes.empty());
  EXPECT_EQ(tree.Read("right/a/b/c.txt"), "from the left");
  EXPECT_EQ(tree.Read("left/r.txt"), "from the right");
}

// Catches a copy of a file onto itself (both roots one folder, directly or through a
// link) that truncates or replaces it: such a run does not even start.
TEST_F(SyncFaultTest, CopyOfAFileOntoItselfChangesNothing) {
  tree.Write("left/same.txt", "only copy there is", 1000000000);
  tree.Write("left/deep/other.txt", "another", 1000000000);
  ASSERT_EQ(symlink("left", tree.Path("alias").c_str()), 0);
  for (const char* right : {"left", "alias"}) {
    FillFrom(tree.Path("left"), tree.Path(right));
    SetMark("same.txt", "same.txt", Mark::kCopyRight);
    SetMark("deep/other.txt", "deep/other.txt", Mark::kCopyLeft);
    Snapshot before = Snap();
    Sync();
    ASSERT_EQ(s.host.boxes.size(), 1u) << right;
    EXPECT_EQ(s.host.boxes[0].intent, Intent::kWarning) << right;
    EXPECT_EQ(ChangedSince(before), std::vector<std::string>{}) << right;
    EXPECT_EQ(s.list.RowCount(), 2) << right;
  }
}

// Catches a buffer copy (used where copy_file_range is refused) that drops or repeats a
// block, and a refusal other than EXDEV (no such call, not for this file system, not for
// these files) failing the copy instead of falling back to it.
TEST_F(SyncFaultTest, CopyWithoutCopyFileRangeIsComplete) {
  const std::string content = Bytes((1u << 18) * 3 + 12345, 'a');
  tree.Write("left/big.bin", content, 2000000000);
  for (int refusal : {EXDEV, ENOSYS, EOPNOTSUPP, EINVAL}) {
    std::remove(tree.Path("right/big.bin").c_str());
    Fill();
    SetMark("big.bin", "", Mark::kCopyRight);
    InjectFaults faults(s.fs, {{FsCall::kCopyRange, refusal, 0}});
    Sync();
    EXPECT_TRUE(s.host.boxes.empty()) << refusal;
    EXPECT_EQ(tree.Read("right/big.bin"), content) << refusal;
  }
}

// Catches a copy that, when any step fails (a read in mid-file, the data, mode or time,
// close, rename), leaves a half-written target or its temporary file.
TEST_F(SyncFaultTest, AFailingStepOfTheCopyLeavesTheTargetAndNoTemporaryFile) {
  struct Case {
    const char* name;
    std::vector<Fault> faults;
  };
  const std::vector<Case> cases = {
      {"copy range EIO", {{FsCall::kCopyRange, EIO}}},
      {"read EIO mid-file", {{FsCall::kCopyRange, EXDEV, 0}, {FsCall::kRead, EIO, 2}}},
      {"write ENOSPC mid-file", {{FsCall::kCopyRange, EXDEV, 0}, {FsCall::kWrite, ENOSPC, 2}}},
      {"chmod EIO", {{FsCall::kChmod, EIO}}},
      {"times EIO", {{FsCall::kSetTimes, EIO}}},
      {"close EIO", {{FsCall::kClose, EIO, 0}}},
      {"rename EIO", {{FsCall::kRename, EIO}}},
  };
  tree.Write("left/t.bin", Bytes(700000, 'n'), 2000000000);
  tree.Write("right/t.bin", "old target", 1000000000);
  for (const Case& c : cases) {
    Fill();
    SetMark("t.bin", "t.bin", Mark::kCopyRight);
    // A medium that runs full while a copy is prepared ahead gets that copy again at its
    // turn (the nearly full stick's test); here the copy at its turn is the one that fails.
    s.state.io.copy_window = c.faults.back().error == ENOSPC ? 0 : IoTuning{}.copy_window;
    Snapshot before = Snap();
    {
      InjectFaults faults(s.fs, c.faults);
      Sync();
    }
    EXPECT_EQ(ChangedSince(before), std::vector<std::string>{}) << c.name;
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{CopyBox(L("t.bin"), R("t.bin"),
                                                           GermanErrorText(c.faults.back().error))})
        << c.name;
    EXPECT_EQ(s.list.RowCount(), 1) << c.name;
  }
}

// Catches a run that calls copies done although the disk could not take them: the flush
// at the end of the run must be reported, and only the roots that received copies flushed.
TEST_F(SyncFaultTest, AFailingFlushAtTheEndIsReported) {
  tree.Write("left/t.bin", "new", 2000000000);
  tree.Write("right/t.bin", "old", 1000000000);
  Fill();
  SetMark("t.bin", "t.bin", Mark::kCopyRight);
  int flushes = 0;
  s.fs.SetHook([&](FsCall call, const std::string&) {
    if (call != FsCall::kSyncFs) return 0;
    ++flushes;
    return EIO;
  });
  Sync();
  s.fs.Reset();
  EXPECT_EQ(flushes, 1);
  EXPECT_EQ(tree.Read("right/t.bin"), "new");
  ASSERT_EQ(s.host.boxes.size(), 1u);
  EXPECT_EQ(s.host.boxes[0].intent, Intent::kWarning);
  EXPECT_NE(s.host.boxes[0].text.find("auf den Datenträger von '" + tree.Path("right/") + "'"),
            std::string::npos);
  // The reason in German whatever the machine's locale, as every other box gives it.
  EXPECT_NE(s.host.boxes[0].text.find("geschrieben werden:\rEin-/Ausgabefehler."),
            std::string::npos)
      << s.host.boxes[0].text;
  EXPECT_EQ(s.host.status2, "Status: Datenabgleich beendet.");
}

// Catches copies and deletions not reported to the host one by one as they end, or a
// skipped or aborted one reported as done, or without its reason.
TEST_F(SyncFaultTest, EachActionIsReportedWithItsOutcome) {
  tree.Write("left/c.txt", "new", 2000000000);
  tree.Write("right/c.txt", "old", 1000000000);
  tree.Write("left/b.txt", "both");
  tree.Write("right/b.txt", "both");
  tree.Write("right/z.txt", "last row, first handled");
  Fill();
  SetMark("c.txt", "c.txt", Mark::kCopyRight);
  SetMark("b.txt", "b.txt", Mark::kDeleteBoth);
  SetMark("", "z.txt", Mark::kDeleteRight);
  {
    // Rows from the last up: c.txt, b.txt, then z.txt (no left name sorts first). The first
    // unlink (b.txt on the left) fails and is skipped; the run goes on.
    InjectFaults faults(s.fs, {{FsCall::kUnlink, EIO}});
    s.host.answers = {MsgAnswer::kIgnore};
    Sync();
  }
  std::vector<std::string> seen;
  for (const SyncAction& a : s.host.actions) {
    std::string line = std::string(a.kind == SyncAction::kCopy ? "copy " : "delete ") + a.mark +
                       " " + a.from + " > " + a.to + " " + std::to_string(a.outcome);
    if (a.failure) line += " " + ReasonText(*a.failure);
    seen.push_back(line);
  }
  const std::vector<std::string> expected = {
      "copy --> " + L("c.txt") + " > " + R("c.txt") + " 0",
      "delete XX " + L("b.txt") + " >  1 Ein-/Ausgabefehler.",
      "delete XX " + R("b.txt") + " >  0",
      "delete X-> " + R("z.txt") + " >  0",
  };
  EXPECT_EQ(seen, expected);
  // Abort ends the run with the action it broke off.
  tree.Write("left/c.txt", "newer", 2100000000);
  Fill();
  SetMark("c.txt", "c.txt", Mark::kCopyRight);
  {
    InjectFaults faults(s.fs, {{FsCall::kRename, EIO}});
    s.host.answers = {MsgAnswer::kAbort};
    Sync();
  }
  ASSERT_EQ(s.host.actions.size(), 1u);
  EXPECT_EQ(s.host.actions[0].outcome, SyncAction::kAborted);
  EXPECT_TRUE(s.host.actions[0].failure.has_value());
}

// Catches a delete whose failure is swallowed, so the row leaves as if it had worked.
TEST_F(SyncFaultTest, AFailingUnlinkGoesToTheErrorBox) {
  tree.Write("left/g.txt", "stays");
  Fill();
  SetMark("g.txt", "", Mark::kDeleteLeft);
  Snapshot before = Snap();
  {
    InjectFaults faults(s.fs, {{FsCall::kUnlink, EIO}});
    Sync();
  }
  EXPECT_EQ(ChangedSince(before), std::vector<std::string>{});
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{DeleteBox(L("g.txt"), "Ein-/Ausgabefehler.")});
  EXPECT_EQ(s.list.RowCount(), 1);
}

FileStamp StampAt(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return StampOf(st);
}

// The contents of the files below folder whose content is text (a kept old version, say).
int FilesHolding(const std::string& folder, const std::string& text) {
  int found = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    std::ifstream in(it->path(), std::ios::binary);
    found += std::string(std::istreambuf_iterator<char>(in), {}) == text;
  }
  return found;
}

// Catches a copy that replaces a file without flushing its data first (a crash or an
// unplugged stick between the rename and the end-of-run flush leaves an empty or garbled
// file where the old one was), a flush left to the row's turn instead of the helper that
// prepares the copy, a failed flush that still replaces, and new files flushed for nothing.
TEST_F(SyncFaultTest, ACopyReplacingAFileIsFlushedBeforeItsRename) {
  tree.Write("left/t.txt", "newer", 2000000000);
  tree.Write("right/t.txt", "older", 1000000000);
  tree.Write("left/n.txt", "new", 2000000000);
  // Prepared: the flush is part of the staging half.
  const FileStamp old = StampAt(tree.Path("right/t.txt"));
  for (const char* rel : {"t.txt", "n.txt"}) {
    const bool replaces = std::string(rel) == "t.txt";
    const int flushes = s.fs.Count(FsCall::kSyncData);
    auto staged = StageCopy(s.fs, {tree.Path("left/"), rel}, {tree.Path("right/"), rel}, nullptr,
                            replaces ? &old : nullptr);
    ASSERT_TRUE(staged.ok()) << rel;
    EXPECT_EQ(s.fs.Count(FsCall::kSyncData) - flushes, replaces ? 1 : 0) << rel;
  }
  // In a run: the replacing copy's flush comes before its rename.
  std::mutex mutex;
  std::vector<std::string> order;
  s.fs.SetHook([&](FsCall call, const std::string& name) {
    std::lock_guard lock(mutex);
    if (call == FsCall::kSyncData) order.push_back("flush");
    if (call == FsCall::kRename) order.push_back("rename " + name);
    return 0;
  });
  Fill();
  SetMark("t.txt", "t.txt", Mark::kCopyRight);
  SetMark("n.txt", "", Mark::kCopyRight);
  Sync();
  s.fs.Reset();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{});
  EXPECT_EQ(order, (std::vector<std::string>{"flush", "rename t.txt", "rename n.txt"}));
  EXPECT_EQ(tree.Read("right/t.txt"), "newer");

  // A flush that fails leaves the old file; one the medium does not offer is no failure.
  struct Case {
    int error;
    bool copied;
  };
  for (const Case& c : {Case{EIO, false}, Case{EINVAL, true}}) {
    s.host = FakeHost();
    tree.Write("left/t.txt", "newest " + std::to_string(c.error), 2100000000 + c.error);
    Fill();
    SetMark("t.txt", "t.txt", Mark::kCopyRight);
    Snapshot before = Snap();
    {
      InjectFaults faults(s.fs, {{FsCall::kSyncData, c.error, 0}});
      Sync();
    }
    if (c.copied) {
      EXPECT_EQ(BoxTexts(), std::vector<std::string>{}) << c.error;
      EXPECT_EQ(ChangedSince(before), std::vector<std::string>{"right/t.txt"}) << c.error;
    } else {
      EXPECT_EQ(BoxTexts(),
                std::vector<std::string>{CopyBox(L("t.txt"), R("t.txt"), GermanErrorText(c.error))})
          << c.error;
      EXPECT_EQ(ChangedSince(before), std::vector<std::string>{}) << c.error;
    }
  }
}

// Catches a commit onto a name that was free at the comparison replacing the file another
// program put there between the check and the rename: that file stays and the row fails
// with the reason, plain, with versions, and replacing a file kept in the versions (whose
// name is free once the old file is moved out).
TEST_F(SyncFaultTest, AFileAppearingBeforeTheRenameIsNeverReplaced) {
  struct Case {
    const char* name;
    bool versions;
    bool target_exists;
  };
  const std::vector<Case> cases = {
      {"new file", false, false},
      {"new file, versions", true, false},
      {"replacement, versions", true, true},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(tree.Path("right"));
    tree.Mkdir("right");
    tree.Write("left/f.txt", "copy", 2000000000);
    if (c.target_exists) tree.Write("right/f.txt", "older", 1000000000);
    Fill();
    s.state.sync_options.versions = c.versions;
    SetMark("f.txt", c.target_exists ? "f.txt" : "", Mark::kCopyRight);
    // Another program writes the name once it is free, right before the copy's rename.
    bool planted = false;
    s.fs.SetHook([&](FsCall call, const std::string& name) {
      if (call == FsCall::kRename && name == "f.txt" && !planted && !tree.Exists("right/f.txt")) {
        planted = true;
        tree.Write("right/f.txt", "someone else's");
      }
      return 0;
    });
    Sync();
    s.fs.Reset();
    s.state.sync_options.versions = false;
    EXPECT_TRUE(planted) << c.name;
    EXPECT_EQ(tree.Read("right/f.txt"), "someone else's") << c.name;
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{CopyBox(L("f.txt"), R("f.txt"), kWhyNameTaken)})
        << c.name;
    EXPECT_EQ(s.list.RowCount(), 1) << c.name;
    if (c.target_exists) {
      EXPECT_EQ(FilesHolding(tree.Path("right"), "older"), 1) << c.name;
    }
  }

  // A medium that ignores case: a twin named in another case takes the name too.
  MemFsOptions ignoring_case;
  ignoring_case.case_insensitive = true;
  MemFileSystem mem(ignoring_case);
  mem.AddFile("/l/Report.txt", "copy", 2000000000);
  mem.AddFolder("/r");
  FaultFileSystem fs(mem);
  fs.SetHook([&](FsCall call, const std::string& name) {
    if (call == FsCall::kRename && name == "Report.txt") mem.AddFile("/r/report.txt", "twin");
    return 0;
  });
  FsResult copied =
      CopyFileOnto(fs, {"/l/", "Report.txt"}, {"/r/", "Report.txt"}, nullptr, nullptr);
  ASSERT_FALSE(copied.ok());
  EXPECT_EQ(copied.error().code, EEXIST);
  EXPECT_EQ(copied.error().why, kWhyNameTaken);
  EXPECT_EQ(mem.Names("/r"), std::vector<std::string>{"report.txt"});
  EXPECT_EQ(mem.Content("/r/report.txt"), "twin");
}

// Catches a copy reported as failed after it was put in place, because its time could not
// be set again through a handle for writing (a read-only copy on a driver that stamps the
// renamed file) or at all: the row is done, and its time is set by name where it can be.
TEST_F(SyncFaultTest, ACopyInPlaceIsDoneWhateverItsTimeAfterTheRename) {
  struct Case {
    const char* name;
    int set_times_error;  // after the rename
    bool time_kept;
  };
  for (const Case& c : {Case{"read-only copy, stamped by the rename", 0, true},
                        Case{"time refused after the rename", EPERM, false}}) {
    std::filesystem::remove(tree.Path("right/t.txt"));
    tree.Write("left/t.txt", std::string("newer ") + c.name, 2000000000);
    ASSERT_EQ(chmod(tree.Path("left/t.txt").c_str(), 0444), 0);
    tree.Write("right/t.txt", "older", 1000000000);
    Fill();
    SetMark("t.txt", "t.txt", Mark::kCopyRight);
    std::atomic<bool> renamed{false};  // the helper preparing copies asks the hook too
    s.fs.SetHook([&](FsCall call, const std::string& name) {
      if (call == FsCall::kRename && name == "t.txt") {
        // The driver stamps the moved file with the time of the rename.
        for (const auto& entry : std::filesystem::directory_iterator(tree.Path("right")))
          if (entry.path().filename().string().rfind(".tavrik-", 0) == 0)
            utimensat(AT_FDCWD, entry.path().c_str(), nullptr, 0);
        renamed = true;
        return 0;
      }
      if (!renamed || name != "t.txt") return 0;
      // The placed copy is read-only: it cannot be opened for writing.
      if (call == FsCall::kOpen) return EACCES;
      return call == FsCall::kSetTimes ? c.set_times_error : 0;
    });
    Sync();
    s.fs.Reset();
    std::filesystem::remove(tree.Path("left/t.txt"));
    EXPECT_TRUE(renamed) << c.name;
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{}) << c.name;
    EXPECT_EQ(s.list.RowCount(), 0) << c.name;
    EXPECT_EQ(tree.Read("right/t.txt"), std::string("newer ") + c.name) << c.name;
    EXPECT_EQ(StampAt(tree.Path("right/t.txt")).mtime_sec == 2000000000, c.time_kept) << c.name;
  }
}

// Catches a prepared copy of a link to a file that is always thrown away and copied again
// (its check compared the link's own inode with the file the copy read), and a check that
// no longer sees a source renamed over or a link pointed elsewhere.
TEST_F(SyncFaultTest, APreparedCopyOfALinkedFileStandsWhileTheLinkLeadsToIt) {
  struct Case {
    const char* name;
    bool link;
    const char* change;  // after staging: nothing, "repoint" or "replace"
    bool still;
  };
  const std::vector<Case> cases = {
      {"file", false, "", true},
      {"link to a file", true, "", true},
      {"file renamed over", false, "replace", false},
      {"link pointed elsewhere", true, "repoint", false},
      {"file behind the link renamed over", true, "replace", false},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(tree.Path("left"));
    tree.Write("left/data.txt", "content", 2000000000);
    tree.Write("left/twin.txt", "content", 2000000000);
    const std::string rel = c.link ? "s.txt" : "data.txt";
    if (c.link) {
      ASSERT_EQ(symlink("data.txt", tree.Path("left/s.txt").c_str()), 0);
    }
    const FileStamp seen = StampAt(tree.Path("left/" + rel));
    auto staged =
        StageCopy(s.fs, {tree.Path("left/"), rel}, {tree.Path("right/"), rel}, &seen, nullptr);
    ASSERT_TRUE(staged.ok()) << c.name;
    if (std::string(c.change) == "repoint") {
      std::filesystem::remove(tree.Path("left/s.txt"));
      ASSERT_EQ(symlink("twin.txt", tree.Path("left/s.txt").c_str()), 0);
    } else if (std::string(c.change) == "replace") {
      std::filesystem::rename(tree.Path("left/twin.txt"), tree.Path("left/data.txt"));
    }
    EXPECT_EQ(StillAsStaged(*staged.value()), c.still) << c.name;
  }
}

}  // namespace
}  // namespace tavrik::testing
