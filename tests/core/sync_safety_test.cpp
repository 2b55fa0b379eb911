// The synchronisation run against roots that overlap or vanish, sources that change while
// they are copied, read-only targets, blocked folder chains, leftovers of killed runs and
// file attributes: nothing is lost, every failure says why.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>

#include "support/fault_tools.h"
#include "support/sync_fixture.h"

namespace tavrik::testing {
namespace {

using SyncSafetyTest = SyncBench;

struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

// A bind mount for the object's lifetime, in this process's private mount namespace.
class BindMount {
 public:
  BindMount(const std::string& from, std::string onto) : onto_(std::move(onto)) {
    if (!EnterPrivateMountNamespace()) {
      why_ = std::string("no private mount namespace: ") + std::strerror(errno);
      return;
    }
    if (mount(from.c_str(), onto_.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      why_ = std::string("bind mount refused: ") + std::strerror(errno);
      return;
    }
    ok_ = true;
  }
  ~BindMount() {
    if (ok_) umount2(onto_.c_str(), MNT_DETACH);
  }
  BindMount(const BindMount&) = delete;
  BindMount& operator=(const BindMount&) = delete;
  bool ok() const { return ok_; }
  const std::string& why() const { return why_; }

 private:
  std::string onto_;
  std::string why_;
  bool ok_ = false;
};

// Catches a run on roots that are one folder or one inside the other (directly, through a
// link), where one row's copy overwrites another row's source: it must not start at all.
TEST_F(SyncSafetyTest, OverlappingRootsAreRefusedAndNothingIsTouched) {
  tree.Write("left/x.txt", "newer", 2000000000);
  tree.Write("left/sub/x.txt", "older", 1000000000);
  tree.Write("left/sub/only.txt", "only", 1000000000);
  ASSERT_EQ(symlink("left", tree.Path("alias").c_str()), 0);
  struct Case {
    std::string left, right;
  };
  for (const Case& c : {Case{"left", "left/sub"}, Case{"left/sub", "left"},
                        Case{"alias/sub", "left"}, Case{"left", "alias"}}) {
    FillFrom(tree.Path(c.left), tree.Path(c.right));
    for (int i = 1; i <= s.list.RowCount(); ++i) {
      const bool has_left = !s.list.LeftName(i).empty();
      s.list.SetMark(i, has_left ? Mark::kCopyRight : Mark::kCopyLeft);
    }
    const std::vector<std::string> rows = s.Rows();
    Snapshot before = Snap();
    Sync();
    const std::string what = c.left + " | " + c.right;
    EXPECT_EQ(ChangedSince(before), std::vector<std::string>{}) << what;
    EXPECT_EQ(s.Rows(), rows) << what;
    ASSERT_EQ(s.host.boxes.size(), 1u) << what;
    EXPECT_EQ(s.host.boxes[0].intent, Intent::kWarning) << what;
    EXPECT_EQ(s.host.boxes[0].text,
              "Der Datenabgleich wird nicht ausgeführt:\rDie Verzeichnisse '" +
                  s.state.left_root.str() + "'\rund '" + s.state.right_root.str() +
                  "'\rsind dasselbe Verzeichnis, oder das eine liegt im anderen.")
        << what;
  }
  // Neighbours that share only a parent are no overlap.
  tree.Write("left/n.txt", "new", 2000000000);
  Fill();
  SetMark("n.txt", "", Mark::kCopyRight);
  Sync();
  EXPECT_TRUE(s.host.boxes.empty());
  EXPECT_EQ(tree.Read("right/n.txt"), "new");
}

// Catches an overlap check that compares path texts only: a bind mount shows one folder
// under a second name that no link resolution reveals.
TEST_F(SyncSafetyTest, RootsOverlappingThroughABindMountAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "bind mounts need root";
  tree.Mkdir("bound");
  tree.Write("left/x.txt", "newer", 2000000000);
  tree.Write("left/deep/x.txt", "older", 1000000000);
  BindMount bind(tree.Path("left"), tree.Path("bound"));
  if (!bind.ok()) GTEST_SKIP() << bind.why();
  FillFrom(tree.Path("left"), tree.Path("bound/deep"));
  SetMark("x.txt", "x.txt", Mark::kCopyRight);
  Snapshot before = Snap();
  Sync();
  EXPECT_EQ(ChangedSince(before), std::vector<std::string>{});
  ASSERT_EQ(s.host.boxes.size(), 1u);
  EXPECT_EQ(s.host.boxes[0].intent, Intent::kWarning);
  EXPECT_EQ(tree.Read("left/deep/x.txt"), "older");
}

// Catches a copy that keeps going while its source is rewritten, leaving a target half
// old, half new with the old time: the row fails, the target and no temporary file remain.
TEST_F(SyncSafetyTest, SourceChangedDuringTheCopyFailsAndLeavesTheTarget) {
  struct Case {
    const char* name;
    FsCall during;
    std::vector<Fault> faults;
  };
  const std::vector<Case> cases = {
      {"copy_file_range", FsCall::kCopyRange, {}},
      {"buffer copy", FsCall::kWrite, {{FsCall::kCopyRange, EXDEV, 0}}},
  };
  for (const Case& c : cases) {
    tree.Write("left/s.bin", std::string(600000, 'a'), 2000000000);
    tree.Write("right/s.bin", "old target", 1000000000);
    Fill();
    SetMark("s.bin", "s.bin", Mark::kCopyRight);
    Snapshot before = Snap();
    bool changed = false;
    InjectFaults faults(s.fs, c.faults);
    s.fs.SetHook([&](FsCall call, const std::string&) {
      if (call == c.during && !changed) {
        changed = true;
        // Another program writes into the source while the copy reads it.
        std::fstream f(tree.Path("left/s.bin"), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(500000);
        f << "rewritten";
      }
      return 0;
    });
    Sync();
    s.fs.SetHook(nullptr);
    ASSERT_TRUE(changed) << c.name;
    EXPECT_EQ(ChangedSince(before), std::vector<std::string>{"left/s.bin"}) << c.name;
    EXPECT_EQ(BoxTexts(),
              std::vector<std::string>{CopyBox(L("s.bin"), R("s.bin"), kWhySourceChanging)})
        << c.name;
    EXPECT_EQ(s.list.RowCount(), 1) << c.name;
  }
}

// Catches a vanished root (an unplugged stick leaving its empty mount point, or no folder
// at all) that the run re-creates on the system disk and fills with copies.
TEST_F(SyncSafetyTest, RootGoneOrReplacedIsNeverRecreated) {
  if (geteuid() != 0) GTEST_SKIP() << "tmpfs mounts need root";
  tree.Write("left/n/new.txt", "new", 2000000000);
  tree.Write("left/t.txt", "newer", 2000000000);
  std::optional<ScopedTmpfs> stick;
  stick.emplace(tree.Path("right"), "size=1m");
  if (!stick->ok()) GTEST_SKIP() << stick->why();
  tree.Write("right/t.txt", "older", 1000000000);
  tree.Write("right/d.txt", "delete me", 1000000000);
  Fill();
  SetMark("n/new.txt", "", Mark::kCopyRight);
  SetMark("t.txt", "t.txt", Mark::kCopyRight);
  SetMark("", "d.txt", Mark::kDeleteRight);
  stick.reset();  // unplugged: the empty mount-point folder remains
  Snapshot before = Snap();
  Sync();
  EXPECT_EQ(ChangedSince(before), std::vector<std::string>{});
  EXPECT_EQ(s.list.RowCount(), 3);
  std::vector<std::string> texts = BoxTexts();
  std::sort(texts.begin(), texts.end());
  std::vector<std::string> expected = {CopyBox(L("n/new.txt"), R("n/new.txt"), kWhyTargetRootGone),
                                       CopyBox(L("t.txt"), R("t.txt"), kWhyTargetRootGone),
                                       DeleteBox(R("d.txt"), kWhyTargetRootGone)};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(texts, expected);

  // The root folder itself removed: not made again, nor anything in it.
  s.host = FakeHost();
  ASSERT_EQ(rmdir(tree.Path("right").c_str()), 0);
  before = Snap();
  Sync();
  EXPECT_EQ(ChangedSince(before), std::vector<std::string>{});
  EXPECT_FALSE(tree.Exists("right"));
  EXPECT_EQ(s.host.boxes.size(), 3u);
}

// Catches a removed root folder when the fill already found it missing, and a source root
// that is gone.
TEST_F(SyncSafetyTest, MissingRootAtFillTimeIsNotCreatedEither) {
  tree.Write("left/a/b.txt", "new", 2000000000);
  ASSERT_EQ(rmdir(tree.Path("right").c_str()), 0);
  Fill();
  SetMark("a/b.txt", "", Mark::kCopyRight);
  Sync();
  EXPECT_FALSE(tree.Exists("right"));
  EXPECT_EQ(BoxTexts(),
            std::vector<std::string>{CopyBox(L("a/b.txt"), R("a/b.txt"), kWhyTargetRootGone)});
}

// Catches a read-only target that root replaces (taking the source's mode) or deletes
// anyway, although its owner took the write permission away.
TEST_F(SyncSafetyTest, ReadOnlyTargetsAreNeitherReplacedNorDeleted) {
  tree.Write("left/t.txt", "newer", 2000000000);
  tree.Write("right/t.txt", "older", 1000000000);
  tree.Write("right/d.txt", "keep me", 1000000000);
  tree.Write("left/w.txt", "newer", 2000000000);
  tree.Write("right/w.txt", "older", 1000000000);
  ASSERT_EQ(chmod(tree.Path("right/t.txt").c_str(), 0444), 0);
  ASSERT_EQ(chmod(tree.Path("right/d.txt").c_str(), 0444), 0);
  ASSERT_EQ(chmod(tree.Path("right/w.txt").c_str(), 0244), 0);  // owner may write
  Fill();
  SetMark("t.txt", "t.txt", Mark::kCopyRight);
  SetMark("", "d.txt", Mark::kDeleteRight);
  SetMark("w.txt", "w.txt", Mark::kCopyRight);
  Snapshot before = Snap();
  Sync();
  EXPECT_EQ(ChangedSince(before), std::vector<std::string>{"right/w.txt"});
  std::vector<std::string> texts = BoxTexts();
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "Abgleichsfehler:\r\rDie Datei '" + L("t.txt") + "'\rkonnte nicht nach '" +
                           R("t.txt") +
                           "'\rkopiert werden.\rDie Datei ist schreibgeschützt."
                           "\r\rBitte quittieren oder abbrechen",
                       "Abgleichsfehler:\r\rDie Datei '" + R("d.txt") +
                           "'\rkonnte nicht gelöscht werden.\rDie Datei ist schreibgeschützt."
                           "\r\rBitte quittieren oder abbrechen"}));
  EXPECT_EQ(StatOf(tree.Path("right/t.txt")).st_mode & 07777, 0444u);
  EXPECT_EQ(s.list.RowCount(), 2);
}

// Catches boxes that say only what failed, not why: the errno's German text follows the
// detail, whatever the call was.
TEST_F(SyncSafetyTest, EveryErrorBoxSaysWhyInGerman) {
  tree.Write("left/a.txt", "new", 2000000000);
  tree.Write("right/z.txt", "old", 1000000000);
  Fill();
  SetMark("a.txt", "", Mark::kCopyRight);
  SetMark("", "z.txt", Mark::kDeleteRight);
  {
    InjectFaults faults(s.fs, {{FsCall::kOpen, EACCES, 0}, {FsCall::kUnlink, EROFS, 0}});
    Sync();
  }
  std::vector<std::string> texts = BoxTexts();
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts, (std::vector<std::string>{CopyBox(L("a.txt"), R("a.txt"), "Zugriff verweigert."),
                                             DeleteBox(R("z.txt"), "Zugriff verweigert.")}));
  s.host = FakeHost();
  {
    InjectFaults faults(s.fs, {{FsCall::kUnlink, EROFS, 0}, {FsCall::kRename, EXDEV, 0}});
    Sync();
  }
  texts = BoxTexts();
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts,
            (std::vector<std::string>{
                CopyBox(L("a.txt"), R("a.txt"), "Der Verweis geht über Gerätegrenzen hinweg."),
                DeleteBox(R("z.txt"), "Das Dateisystem ist nur lesbar eingehängt.")}));
  EXPECT_EQ(GermanErrorText(12345), "Systemfehler 12345.");
}

// Catches a Retry that repeats only the copy: after the user removed the file that blocked
// the folder chain, the folders must be made on Retry, also when the first attempt (a copy
// at its turn, not one prepared ahead) already tried to make them.
TEST_F(SyncSafetyTest, RetryMakesTheFolderChainAgain) {
  tree.Write("left/a/b/c.txt", "deep", 2000000000);
  for (int window : {0, 64}) {
    std::remove(tree.Path("right/a/b/c.txt").c_str());
    rmdir(tree.Path("right/a/b").c_str());
    rmdir(tree.Path("right/a").c_str());
    Fill();
    s.state.io.copy_window = window;
    SetMark("a/b/c.txt", "", Mark::kCopyRight);
    tree.Write("right/a", "a file in the way");
    s.host.answers = {MsgAnswer::kRetry};
    s.host.on_box = [&](const std::string&, Intent) { std::remove(tree.Path("right/a").c_str()); };
    Sync();
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{CopyBox(L("a/b/c.txt"), R("a/b/c.txt"),
                                                           "Das ist kein Verzeichnis.")})
        << window;
    EXPECT_EQ(tree.Read("right/a/b/c.txt"), "deep") << window;
    EXPECT_EQ(s.list.RowCount(), 0) << window;
  }
}

std::string OwnHostName() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

// The id of a process that has ended.
pid_t DeadPid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

// Catches a run that leaves a killed run's temporary file for ever, or removes what it
// cannot prove is such a leftover: a live process's, another host's, or a similar name.
TEST_F(SyncSafetyTest, LeftoversOfKilledRunsOnThisHostAreRemoved) {
  const std::string host = OwnHostName();
  const std::string dead = std::to_string(DeadPid());
  const std::string live = std::to_string(getppid());
  ASSERT_NE(kill(getppid(), 0), -1);
  const std::string stale = ".tavrik-" + host + "-" + dead + "-7";
  const std::vector<std::string> kept = {
      ".tavrik-" + host + "-" + live + "-7",         // its process still runs
      ".tavrik-other-" + host + "x-" + dead + "-7",  // made on another host
      ".tavrik-" + host + "-" + dead + "-7x",        // not the pattern
      ".tavrik-" + dead + "-7",                      // no host in it
      ".tavrik-" + host + "-" + dead + "-",          // no counter
  };
  tree.Write("left/sub/n.txt", "new", 2000000000);
  tree.Write("right/sub/" + stale, "half a copy");
  tree.Write("right/" + stale, "half a copy in a folder not written");
  for (const std::string& name : kept) tree.Write("right/sub/" + name, "someone's");
  const std::string folder = ".tavrik-" + host + "-" + dead + "-8";
  tree.Write("right/sub/" + folder + "/x", "a folder of that name stays");
  Fill();
  SetMark("sub/n.txt", "", Mark::kCopyRight);
  Snapshot before = Snap();
  Sync();
  EXPECT_TRUE(s.host.boxes.empty());
  EXPECT_EQ(ChangedSince(before),
            (std::vector<std::string>{"right/sub/" + stale, "right/sub/n.txt"}));
  EXPECT_FALSE(tree.Exists("right/sub/" + stale));
  EXPECT_TRUE(tree.Exists("right/" + stale));
  EXPECT_TRUE(IsStaleTempName(".tavrik-a-b-" + dead + "-3", "a-b"));
  EXPECT_FALSE(IsStaleTempName(TempName(1), OwnHostName()));
}

// Catches a killed run's temporary file kept while its process is a zombie (ended, not
// yet reaped: kill(pid, 0) still succeeds), and a sweep that runs only where a copy is
// committed, not in a folder a copy was meant for and then refused.
TEST_F(SyncSafetyTest, LeftoversOfZombieRunsGoAlsoWhereNoCopyIsCommitted) {
  const pid_t zombie = fork();
  if (zombie == 0) _exit(0);
  ASSERT_GT(zombie, 0);
  // Until it is reaped below, the child stays a zombie.
  bool is_zombie = false;
  for (int i = 0; i < 2000 && !is_zombie; ++i) {
    std::ifstream in("/proc/" + std::to_string(zombie) + "/stat");
    std::string stat;
    std::getline(in, stat);
    is_zombie = stat.find(") Z") != std::string::npos;
    if (!is_zombie) usleep(1000);
  }
  ASSERT_TRUE(is_zombie);
  ASSERT_EQ(kill(zombie, 0), 0);
  const std::string stale = ".tavrik-" + OwnHostName() + "-" + std::to_string(zombie) + "-1";
  EXPECT_TRUE(IsStaleTempName(stale, OwnHostName()));
  tree.Write("left/sub/n.txt", "new", 2000000000);
  tree.Write("right/sub/n.txt", "old", 1000000000);
  tree.Write("right/sub/" + stale, "half a copy");
  Fill();
  SetMark("sub/n.txt", "sub/n.txt", Mark::kCopyRight);
  // The target changes after the fill: the copy is refused, nothing is committed there.
  tree.Write("right/sub/n.txt", "changed", 1500000000);
  Sync();
  EXPECT_EQ(s.host.boxes.size(), 1u);
  EXPECT_EQ(tree.Read("right/sub/n.txt"), "changed");
  EXPECT_FALSE(tree.Exists("right/sub/" + stale));
  waitpid(zombie, nullptr, 0);
}

// Catches copies prepared ahead that hold a second version of their file each until their
// row commits: on a stick of 100 MiB holding ten files of 9 MiB, replacing them one after
// another needs 9 MiB of room, and every replacement must succeed, as one at a time does.
TEST_F(SyncSafetyTest, ANearlyFullStickTakesEveryReplacement) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  tree.Mkdir("stick");
  ScopedTmpfs stick(tree.Path("stick"), "size=100m");
  if (!stick.ok()) GTEST_SKIP() << stick.why();
  const size_t size = 9u << 20;
  for (int i = 0; i < 10; ++i) {
    const std::string name = "f" + std::to_string(i) + ".bin";
    tree.Write("left/" + name, std::string(size, static_cast<char>('a' + i)), 2000000000);
    tree.Write("stick/" + name, std::string(size, 'o'), 1000000000);
  }
  FillFrom(tree.Path("left"), tree.Path("stick"));
  for (int i = 1; i <= s.list.RowCount(); ++i) s.list.SetMark(i, Mark::kCopyRight);
  s.state.io.copy_helpers = s.state.io.copy_max_helpers = 4;
  Sync();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{});
  for (int i = 0; i < 10; ++i)
    EXPECT_EQ(tree.Read("stick/f" + std::to_string(i) + ".bin"),
              std::string(size, static_cast<char>('a' + i)))
        << i;
}

std::string XattrOf(const std::string& path, const char* name) {
  char value[512];
  ssize_t n = lgetxattr(path.c_str(), name, value, sizeof value);
  return n < 0 ? std::string("<") + std::strerror(errno) + ">"
               : std::string(value, static_cast<size_t>(n));
}

// An access ACL granting user 4321 read: owner rw, named user r, group r, mask r, other -.
std::string AclBlob() {
  struct Entry {
    uint16_t tag, perm;
    uint32_t id;
  };
  const uint32_t version = 2;
  const Entry entries[] = {{0x01, 6, 0xffffffff},
                           {0x02, 4, 4321},
                           {0x04, 4, 0xffffffff},
                           {0x10, 4, 0xffffffff},
                           {0x20, 0, 0xffffffff}};
  std::string blob(reinterpret_cast<const char*>(&version), sizeof version);
  blob.append(reinterpret_cast<const char*>(entries), sizeof entries);
  return blob;
}

// Catches a copy that drops extended attributes, the ACL or (as root) owner and group, and
// one that fails where the target merely cannot hold an attribute.
TEST_F(SyncSafetyTest, CopyKeepsAttributesAndToleratesRefusedOnes) {
  const std::string src = tree.Path("left/m.txt");
  tree.Write("left/m.txt", "with attributes", 2000000000);
  if (setxattr(src.c_str(), "user.origin", "scanner", 7, 0) != 0)
    GTEST_SKIP() << "no user xattrs here: " << std::strerror(errno);
  const std::string acl = AclBlob();
  const bool have_acl =
      setxattr(src.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(src.c_str(), 1234, 5678), 0);
  }
  Fill();
  SetMark("m.txt", "", Mark::kCopyRight);
  Sync();
  const std::string dst = tree.Path("right/m.txt");
  EXPECT_TRUE(s.host.boxes.empty());
  EXPECT_EQ(XattrOf(dst, "user.origin"), "scanner");
  if (have_acl) {
    EXPECT_EQ(XattrOf(dst, "system.posix_acl_access"), XattrOf(src, "system.posix_acl_access"));
  }
  EXPECT_EQ(StatOf(dst).st_mode & 07777, StatOf(src).st_mode & 07777);
  if (root) {
    EXPECT_EQ(StatOf(dst).st_uid, 1234u);
    EXPECT_EQ(StatOf(dst).st_gid, 5678u);
  }

  // A target that holds no owner, mode or attribute still gets the file and its time.
  for (int error : {EPERM, ENOTSUP, ENOSYS, EINVAL}) {
    std::remove(dst.c_str());
    Fill();
    SetMark("m.txt", "", Mark::kCopyRight);
    {
      InjectFaults faults(
          s.fs,
          {{FsCall::kChown, error, 0}, {FsCall::kChmod, error, 0}, {FsCall::kXattr, error, 0}});
      Sync();
    }
    EXPECT_TRUE(s.host.boxes.empty()) << error;
    EXPECT_EQ(tree.Read("right/m.txt"), "with attributes") << error;
    EXPECT_EQ(StatOf(dst).st_mtim.tv_sec, 2000000000) << error;
  }
  // An attribute the target refuses to write (EACCES: a security attribute, say) is left out.
  std::remove(dst.c_str());
  Fill();
  SetMark("m.txt", "", Mark::kCopyRight);
  {
    int named = 0;
    s.fs.SetHook([&named](FsCall call, const std::string& name) {
      // Asked for its size, read, then written: the third call naming it writes it.
      return call == FsCall::kXattr && name == "user.origin" && ++named % 3 == 0 ? EACCES : 0;
    });
    Sync();
    s.fs.Reset();
  }
  EXPECT_TRUE(s.host.boxes.empty());
  EXPECT_EQ(tree.Read("right/m.txt"), "with attributes");
  // Writing an attribute that fails for another reason fails the copy.
  std::remove(dst.c_str());
  Fill();
  SetMark("m.txt", "", Mark::kCopyRight);
  {
    InjectFaults faults(s.fs, {{FsCall::kXattr, EIO, 0}});
    Sync();
  }
  EXPECT_EQ(s.host.boxes.size(), 1u);
  EXPECT_FALSE(tree.Exists("right/m.txt"));
}

}  // namespace
}  // namespace tavrik::testing
