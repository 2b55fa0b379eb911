// Deleting and replacing files into the freedesktop trash: where each file goes, the info
// file written for it, unique names, and that a replaced file is kept and never lost.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "core/fs/error_text.h"
#include "core/sync/file_ops.h"
#include "core/sync/trash.h"
#include "support/fault_file_system.h"
#include "support/mem_file_system.h"
#include "support/temp_tree.h"

namespace tavrik::testing {
namespace {

// What a fill records: a link to a file counts as that file.
FileStamp StampAt(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return StampOf(st);
}

ino_t InodeOf(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Points the home trash into the test's own folder for the test's lifetime.
class HomeTrashIn {
 public:
  explicit HomeTrashIn(const std::string& data_home) {
    const char* old = std::getenv("XDG_DATA_HOME");
    had_ = old != nullptr;
    if (old) old_ = old;
    setenv("XDG_DATA_HOME", data_home.c_str(), 1);
  }
  ~HomeTrashIn() {
    if (had_)
      setenv("XDG_DATA_HOME", old_.c_str(), 1);
    else
      unsetenv("XDG_DATA_HOME");
  }

 private:
  bool had_ = false;
  std::string old_;
};

class TrashTest : public ::testing::Test {
 protected:
  TrashTest() : home_(tree.Path("data")) { tree.Mkdir("tree"); }

  std::string Root() const { return tree.Path("tree/"); }
  FsResult Delete(const std::string& rel) {
    const FileStamp seen = StampAt(Root() + rel);
    return DeleteFileAt(RealFileSystem(), {Root(), rel}, &seen, true);
  }

  TempTree tree;
  HomeTrashIn home_;
};

// Catches an info file that is missing, lacks a key, has a wrong date form or a Path= that
// is not the escaped absolute path, and a delete that still unlinks instead of moving.
TEST_F(TrashTest, DeletedFileGoesToTheHomeTrashWithItsInfo) {
  tree.Write("tree/sub/grüne Datei%.txt", "keep me");
  ASSERT_TRUE(Delete("sub/grüne Datei%.txt").ok());
  EXPECT_FALSE(tree.Exists("tree/sub/grüne Datei%.txt"));
  EXPECT_EQ(tree.Read("data/Trash/files/grüne Datei%.txt"), "keep me");
  const std::string info = tree.Read("data/Trash/info/grüne Datei%.txt.trashinfo");
  const std::regex form(
      "\\[Trash Info\\]\nPath=(.*)\nDeletionDate=\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\n");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(info, match, form)) << info;
  char real[PATH_MAX];
  ASSERT_NE(realpath(tree.Path("tree").c_str(), real), nullptr);
  EXPECT_EQ(match[1].str(), EscapeTrashPath(std::string(real) + "/sub/grüne Datei%.txt"));
  EXPECT_NE(match[1].str().find("gr%C3%BCne%20Datei%25.txt"), std::string::npos);
}

// Catches a second file of the same name overwriting the first one in the trash, and a
// link that is followed (its target trashed) instead of trashed itself.
TEST_F(TrashTest, SameNamesGetUniqueEntriesAndLinksGoThemselves) {
  tree.Write("tree/a/x.txt", "first");
  tree.Write("tree/b/x.txt", "second");
  tree.Write("tree/target.txt", "target stays");
  ASSERT_EQ(symlink("target.txt", tree.Path("tree/link").c_str()), 0);
  ASSERT_TRUE(Delete("a/x.txt").ok());
  ASSERT_TRUE(Delete("b/x.txt").ok());
  ASSERT_TRUE(Delete("link").ok());
  EXPECT_EQ(tree.Read("data/Trash/files/x.txt"), "first");
  EXPECT_EQ(tree.Read("data/Trash/files/x.txt.2"), "second");
  EXPECT_NE(tree.Read("data/Trash/info/x.txt.2.trashinfo").find("/b/x.txt\n"), std::string::npos);
  EXPECT_EQ(tree.Read("tree/target.txt"), "target stays");
  struct stat st {};
  ASSERT_EQ(lstat(tree.Path("data/Trash/files/link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// Catches a replacement that loses the old file, keeps a copy instead of the file itself
// (the hard link makes it the same inode), or leaves a temporary file behind.
TEST_F(TrashTest, ReplacedFileIsKeptInTheTrash) {
  tree.Write("src/new.txt", "new content", 2000000000);
  tree.Write("tree/new.txt", "old content", 1000000000);
  const ino_t old_inode = InodeOf(tree.Path("tree/new.txt"));
  const FileStamp seen = StampAt(tree.Path("tree/new.txt"));
  ASSERT_TRUE(CopyFileOnto(RealFileSystem(), {tree.Path("src/"), "new.txt"}, {Root(), "new.txt"},
                           nullptr, &seen, nullptr, true)
                  .ok());
  EXPECT_EQ(tree.Read("tree/new.txt"), "new content");
  EXPECT_EQ(tree.Read("data/Trash/files/new.txt"), "old content");
  EXPECT_EQ(InodeOf(tree.Path("data/Trash/files/new.txt")), old_inode);
  EXPECT_TRUE(tree.Exists("data/Trash/info/new.txt.trashinfo"));
  EXPECT_EQ(std::system(("test -z \"$(ls -A " + tree.Path("tree") + " | grep '^\\.')\"").c_str()),
            0)
      << "a temporary file remains";
  // A copy onto a side without a file has nothing to keep.
  tree.Write("src/fresh.txt", "fresh");
  ASSERT_TRUE(CopyFileOnto(RealFileSystem(), {tree.Path("src/"), "fresh.txt"},
                           {Root(), "fresh.txt"}, nullptr, nullptr, nullptr, true)
                  .ok());
  EXPECT_FALSE(tree.Exists("data/Trash/files/fresh.txt"));
}

// Catches a failed rename of the new copy that leaves the old file only in the trash, or
// a trash entry for a file that was not replaced; with and without hard links.
TEST_F(TrashTest, FailedReplacementLeavesTargetAndTrashAsTheyWere) {
  tree.Write("src/t.txt", "new", 2000000000);
  tree.Write("tree/t.txt", "old", 1000000000);
  const FileStamp seen = StampAt(tree.Path("tree/t.txt"));
  struct Case {
    const char* name;
    bool refuse_links;
    int failing_rename;  // the nth rename fails
  };
  for (const Case& c : {Case{"linked", false, 1}, Case{"moved out", true, 2}}) {
    FaultFileSystem fs;
    if (c.refuse_links) fs.FailNth(FsCall::kLink, 0, EPERM);
    fs.FailNth(FsCall::kRename, c.failing_rename, EIO);
    FsResult result = CopyFileOnto(fs, {tree.Path("src/"), "t.txt"}, {Root(), "t.txt"}, nullptr,
                                   &seen, nullptr, true);
    ASSERT_FALSE(result.ok()) << c.name;
    EXPECT_EQ(result.error().code, EIO) << c.name;
    EXPECT_EQ(tree.Read("tree/t.txt"), "old") << c.name;
    EXPECT_FALSE(tree.Exists("data/Trash/files/t.txt")) << c.name;
    EXPECT_FALSE(tree.Exists("data/Trash/info/t.txt.trashinfo")) << c.name;
  }
}

// Catches a deletion into the trash whose original cannot be removed after its link into
// the trash was made: the trash entry must go again, or the file would be in both places.
TEST_F(TrashTest, FailedDeletionLeavesNoTrashEntry) {
  tree.Write("tree/t.txt", "keep me", 1000000000);
  const FileStamp seen = StampAt(tree.Path("tree/t.txt"));
  FaultFileSystem fs;
  fs.FailNth(FsCall::kUnlink, 1, EACCES);
  FsResult result = DeleteFileAt(fs, {Root(), "t.txt"}, &seen, true);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, EACCES);
  EXPECT_EQ(tree.Read("tree/t.txt"), "keep me");
  EXPECT_FALSE(tree.Exists("data/Trash/files/t.txt"));
  EXPECT_FALSE(tree.Exists("data/Trash/info/t.txt.trashinfo"));
}

// Catches a file system without hard links (or a refused link) making --trash fail, or
// the fallback losing the old file.
TEST_F(TrashTest, WithoutHardLinksTheOldFileIsMovedOut) {
  tree.Write("src/t.txt", "new", 2000000000);
  tree.Write("tree/t.txt", "old", 1000000000);
  tree.Write("tree/gone.txt", "delete me");
  FaultFileSystem fs;
  fs.FailNth(FsCall::kLink, 0, EPERM);
  FileStamp seen = StampAt(tree.Path("tree/t.txt"));
  ASSERT_TRUE(CopyFileOnto(fs, {tree.Path("src/"), "t.txt"}, {Root(), "t.txt"}, nullptr, &seen,
                           nullptr, true)
                  .ok());
  EXPECT_EQ(tree.Read("tree/t.txt"), "new");
  EXPECT_EQ(tree.Read("data/Trash/files/t.txt"), "old");
  seen = StampAt(tree.Path("tree/gone.txt"));
  ASSERT_TRUE(DeleteFileAt(fs, {Root(), "gone.txt"}, &seen, true).ok());
  EXPECT_FALSE(tree.Exists("tree/gone.txt"));
  EXPECT_EQ(tree.Read("data/Trash/files/gone.txt"), "delete me");
  EXPECT_TRUE(tree.Exists("data/Trash/info/gone.txt.trashinfo"));
}

// A tmpfs mounted inside the test folder: a file system other than the home's.
class MountedTmpfs {
 public:
  explicit MountedTmpfs(const std::string& at) : at_(at) {
    ok_ = mount("tavrik-trash-test", at.c_str(), "tmpfs", 0, "size=1m") == 0;
  }
  ~MountedTmpfs() {
    if (ok_) umount2(at_.c_str(), MNT_DETACH);
  }
  bool ok() const { return ok_; }

 private:
  std::string at_;
  bool ok_ = false;
};

// Catches a file from another file system moved (copied) into the home trash, a shared
// .Trash used without its sticky bit or when it is a link, and Path= values not relative
// to the top of the mount there.
TEST_F(TrashTest, OtherFileSystemsUseTheTrashAtTheirTop) {
  const std::string top = tree.Mkdir("mnt");
  MountedTmpfs mounted(top);
  if (!mounted.ok())
    GTEST_SKIP() << "needs root to mount a tmpfs (mount: " << strerror(errno) << ")";
  const std::string uid = std::to_string(getuid());
  const std::string root = top + "/";
  tree.Write("mnt/d/one.txt", "one");
  tree.Write("mnt/two.txt", "two");
  tree.Write("mnt/three.txt", "three");

  // No .Trash: the per-user .Trash-$uid.
  FileStamp seen = StampAt(root + "d/one.txt");
  ASSERT_TRUE(DeleteFileAt(RealFileSystem(), {root, "d/one.txt"}, &seen, true).ok());
  EXPECT_EQ(tree.Read("mnt/.Trash-" + uid + "/files/one.txt"), "one");
  EXPECT_NE(tree.Read("mnt/.Trash-" + uid + "/info/one.txt.trashinfo").find("\nPath=d/one.txt\n"),
            std::string::npos);
  EXPECT_FALSE(tree.Exists("data/Trash/files/one.txt"));

  // A .Trash without the sticky bit is not trusted.
  tree.Mkdir("mnt/.Trash");
  chmod(tree.Path("mnt/.Trash").c_str(), 0777);
  seen = StampAt(root + "two.txt");
  ASSERT_TRUE(DeleteFileAt(RealFileSystem(), {root, "two.txt"}, &seen, true).ok());
  EXPECT_EQ(tree.Read("mnt/.Trash-" + uid + "/files/two.txt"), "two");

  // With the sticky bit: .Trash/$uid.
  chmod(tree.Path("mnt/.Trash").c_str(), 01777);
  seen = StampAt(root + "three.txt");
  ASSERT_TRUE(DeleteFileAt(RealFileSystem(), {root, "three.txt"}, &seen, true).ok());
  EXPECT_EQ(tree.Read("mnt/.Trash/" + uid + "/files/three.txt"), "three");
  EXPECT_NE(tree.Read("mnt/.Trash/" + uid + "/info/three.txt.trashinfo").find("\nPath=three.txt\n"),
            std::string::npos);
}

// Catches a trash refused for being a link reported as if the file were at fault ("Das ist
// kein Verzeichnis."), or the file moved through the link anyway.
TEST_F(TrashTest, ALinkedTrashIsRefusedWithItsOwnReason) {
  const std::string top = tree.Mkdir("mnt");
  MountedTmpfs mounted(top);
  if (!mounted.ok())
    GTEST_SKIP() << "needs root to mount a tmpfs (mount: " << strerror(errno) << ")";
  const std::string uid = std::to_string(getuid());
  tree.Mkdir("mnt/elsewhere");
  ASSERT_EQ(symlink("elsewhere", tree.Path("mnt/.Trash-" + uid).c_str()), 0);
  tree.Write("mnt/f.txt", "stay");
  const FileStamp seen = StampAt(top + "/f.txt");
  FsResult result = DeleteFileAt(RealFileSystem(), {top + "/", "f.txt"}, &seen, true);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(ReasonText(result.error()),
            "Der Papierkorb des Datenträgers ist nicht sicher und wird nicht benutzt.");
  EXPECT_EQ(tree.Read("mnt/f.txt"), "stay");
  EXPECT_FALSE(tree.Exists("mnt/elsewhere/files"));
}

// Catches a trash found behind the file system's back (the kernel's name for a descriptor
// number, which means nothing to a file system in memory): trashing works there too, into
// the home trash and, on another file system, into the trash at its top.
TEST_F(TrashTest, AFileSystemInMemoryHasItsTrashesToo) {
  if (getuid() != 0) GTEST_SKIP() << "the in-memory file system owns every folder by root";
  HomeTrashIn home("/home/u/.local/share");
  MemFileSystem mem;
  mem.AddFile("/home/u/docs/f.txt", "home file", 1000000000);
  mem.Mount("/media/stick", "vfat", 2000000000);
  mem.AddFile("/media/stick/d/g.txt", "old on the stick", 1000000000);
  mem.AddFile("/home/u/new/g.txt", "new", 2000000000);
  struct stat st {};
  ASSERT_EQ(mem.StatAt(AT_FDCWD, "/home/u/docs/f.txt", &st, 0), 0);
  FileStamp seen = StampOf(st);
  FsResult deleted = DeleteFileAt(mem, {"/home/u/", "docs/f.txt"}, &seen, true);
  ASSERT_TRUE(deleted.ok()) << ReasonText(deleted.error());
  EXPECT_FALSE(mem.Exists("/home/u/docs/f.txt"));
  EXPECT_EQ(mem.Content("/home/u/.local/share/Trash/files/f.txt"), "home file");
  const std::optional<std::string> info =
      mem.Content("/home/u/.local/share/Trash/info/f.txt.trashinfo");
  ASSERT_TRUE(info.has_value());
  EXPECT_NE(info->find("\nPath=/home/u/docs/f.txt\n"), std::string::npos) << *info;

  ASSERT_EQ(mem.StatAt(AT_FDCWD, "/media/stick/d/g.txt", &st, 0), 0);
  seen = StampOf(st);
  FsResult replaced = CopyFileOnto(mem, {"/home/u/new/", "g.txt"}, {"/media/stick/", "d/g.txt"},
                                   nullptr, &seen, nullptr, true);
  ASSERT_TRUE(replaced.ok()) << ReasonText(replaced.error());
  EXPECT_EQ(mem.Content("/media/stick/d/g.txt"), "new");
  const std::string stick_trash = "/media/stick/.Trash-" + std::to_string(getuid());
  EXPECT_EQ(mem.Content(stick_trash + "/files/g.txt"), "old on the stick");
  const std::optional<std::string> stick_info = mem.Content(stick_trash + "/info/g.txt.trashinfo");
  ASSERT_TRUE(stick_info.has_value());
  EXPECT_NE(stick_info->find("\nPath=d/g.txt\n"), std::string::npos) << *stick_info;
  EXPECT_FALSE(tree.Exists("data/Trash"));
}

// Catches a move into the trash or a replacement that, where hard links are missing, renames
// over a name another program took between the check and the rename: in the trash (a
// program that writes no info file) the move takes the next free name; at the target the
// other program's file stays and the copy fails with the reason, the old file kept.
TEST_F(TrashTest, NoRenameReplacesAFileThatAppearedMeanwhile) {
  struct Case {
    const char* name;
    bool replace;      // a copy replaces t.txt; otherwise t.txt is deleted
    bool hard_links;   // the file system makes hard links
    const char* race;  // "trash name", "target" (after the old file went), "vanish and target"
  };
  const std::vector<Case> cases = {
      {"delete, trash name taken", false, false, "trash name"},
      {"replace, trash name taken", true, false, "trash name"},
      {"replace, target taken after the move out", true, false, "target"},
      {"replace, target gone, then taken", true, true, "vanish and target"},
  };
  const std::string foreign = "someone else's";
  for (const Case& c : cases) {
    std::filesystem::remove_all(tree.Path("data"));
    std::filesystem::remove_all(tree.Path("tree"));
    tree.Write("src/t.txt", "new", 2000000000);
    tree.Write("tree/t.txt", "old", 1000000000);
    const FileStamp seen = StampAt(tree.Path("tree/t.txt"));
    const std::string race = c.race;
    bool raced = false;
    FaultFileSystem fs;
    if (!c.hard_links) fs.FailNth(FsCall::kLink, 0, EPERM);
    fs.SetHook([&](FsCall call, const std::string& name) {
      if (raced || name != "t.txt") return 0;
      const bool old_there = tree.Exists("tree/t.txt");
      if (race == "trash name" && call == FsCall::kRename && old_there) {
        raced = true;
        tree.Write("data/Trash/files/t.txt", foreign);
      } else if (race == "vanish and target" && call == FsCall::kLink) {
        std::filesystem::remove(tree.Path("tree/t.txt"));
      } else if (race != "trash name" && call == FsCall::kRename && !old_there) {
        raced = true;
        tree.Write("tree/t.txt", foreign);
      }
      return 0;
    });
    FsResult result = c.replace ? CopyFileOnto(fs, {tree.Path("src/"), "t.txt"}, {Root(), "t.txt"},
                                               nullptr, &seen, nullptr, true)
                                : DeleteFileAt(fs, {Root(), "t.txt"}, &seen, true);
    ASSERT_TRUE(raced) << c.name;
    if (race == "trash name") {
      EXPECT_TRUE(result.ok()) << c.name;
      EXPECT_EQ(tree.Read("data/Trash/files/t.txt"), foreign) << c.name;
      EXPECT_EQ(tree.Read("data/Trash/files/t.txt.2"), "old") << c.name;
      EXPECT_TRUE(tree.Exists("data/Trash/info/t.txt.2.trashinfo")) << c.name;
      EXPECT_FALSE(tree.Exists("data/Trash/info/t.txt.trashinfo")) << c.name;
      if (c.replace) {
        EXPECT_EQ(tree.Read("tree/t.txt"), "new") << c.name;
      } else {
        EXPECT_FALSE(tree.Exists("tree/t.txt")) << c.name;
      }
      continue;
    }
    ASSERT_FALSE(result.ok()) << c.name;
    EXPECT_EQ(result.error().code, EEXIST) << c.name;
    EXPECT_EQ(result.error().why, kWhyNameTaken) << c.name;
    EXPECT_EQ(tree.Read("tree/t.txt"), foreign) << c.name;
    // The old file is in the trash where it was moved out, gone where it vanished.
    const bool moved_out = race == "target";
    EXPECT_EQ(tree.Exists("data/Trash/files/t.txt"), moved_out) << c.name;
    EXPECT_EQ(tree.Exists("data/Trash/info/t.txt.trashinfo"), moved_out) << c.name;
    if (moved_out) {
      EXPECT_EQ(tree.Read("data/Trash/files/t.txt"), "old") << c.name;
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tree.Path("tree")),
                            std::filesystem::directory_iterator()),
              1)
        << c.name << ": a temporary file remains";
  }
}

// Catches escaping that lets through bytes a trash reader would misparse.
TEST(TrashTextTest, EscapesEverythingButUnreservedAndSlash) {
  EXPECT_EQ(EscapeTrashPath("/a b/%/ä\n=x"), "/a%20b/%25/%C3%A4%0A%3Dx");
  EXPECT_EQ(EscapeTrashPath("A-Z_a.z~09"), "A-Z_a.z~09");
}

}  // namespace
}  // namespace tavrik::testing
