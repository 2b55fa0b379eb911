#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>

#include "core/scan/scan.h"
#include "support/session.h"
#include "support/temp_tree.h"

namespace tavrik {
namespace {

using testing::Session;
using testing::TempTree;

std::vector<std::string> Scan(Session& s, const std::string& folder) {
  s.state.file_table.Clear();
  ScanFolder(s.ctx, s.ctx.LeftFs(), folder);
  std::vector<std::string> paths;
  for (int i = 1; i <= s.state.file_table.Count(); ++i)
    paths.emplace_back(s.state.file_table.Path(i));
  return paths;
}

// Catches a scan order other than "files of a folder, then subfolders last-found first".
TEST(ScanFolderTest, FilesFirstThenSubfoldersLastFoundFirst) {
  TempTree t;
  t.Write("A/f1", "1");
  t.Write("A/f2", "2");
  t.Write("A/D1/x", "x");
  t.Write("A/D2/y", "y");
  t.Write("A/D2/E/z", "z");
  Session s;
  auto paths = Scan(s, t.Path("A"));
  ASSERT_EQ(paths.size(), 5u);
  std::string a = t.Path("A/");
  // Listing order within a folder is the file system's; check the structure of the order.
  std::vector<std::string> first_two(paths.begin(), paths.begin() + 2);
  std::sort(first_two.begin(), first_two.end());
  EXPECT_EQ(first_two, (std::vector<std::string>{a + "f1", a + "f2"}));
  auto index = [&](const std::string& p) {
    return std::find(paths.begin(), paths.end(), p) - paths.begin();
  };
  // Everything below one subfolder comes together, before or after the other subfolder.
  auto x = index(a + "D1/x");
  auto y = index(a + "D2/y");
  auto z = index(a + "D2/E/z");
  EXPECT_EQ(std::abs(z - y), 1);
  EXPECT_TRUE(x == 2 || x == 4);
  // One yield per listed folder: A, D1, D2, E.
  EXPECT_EQ(s.host.yields, 4);
}

// Catches a root given without its separator producing different full paths.
TEST(ScanFolderTest, RootWithOrWithoutSeparatorGivesTheSamePaths) {
  TempTree t;
  t.Write("r/a.txt", "a");
  Session s1, s2;
  EXPECT_EQ(Scan(s1, t.Path("r")), Scan(s2, t.Path("r/")));
  EXPECT_EQ(Scan(s1, t.Path("r"))[0], t.Path("r/a.txt"));
}

// Catches dot names being listed: "." and ".." loop, dot folders must be skipped whole.
TEST(ScanFolderTest, SkipsEverythingBeginningWithADot) {
  TempTree t;
  t.Write("r/.profile", "p");
  t.Write("r/.hidden/inner.txt", "i");
  t.Write("r/ok.txt", "o");
  Session s;
  EXPECT_EQ(Scan(s, t.Path("r")), std::vector<std::string>{t.Path("r/ok.txt")});
}

// Catches links to parents making the scan loop, links leading outside the root, and a link
// left out or read as what it leads to.
TEST(ScanFolderTest, SymbolicLinksAreListedAsThemselvesAndNeverFollowed) {
  TempTree t;
  t.Write("outside/secret.txt", "s");
  t.Write("r/sub/file.txt", "f");
  t.Write("r/target.txt", "t");
  ASSERT_EQ(symlink("..", t.Path("r/sub/up").c_str()), 0);
  ASSERT_EQ(symlink("..", t.Path("r/up").c_str()), 0);
  ASSERT_EQ(symlink(t.Path("outside").c_str(), t.Path("r/out").c_str()), 0);
  ASSERT_EQ(symlink("target.txt", t.Path("r/link.txt").c_str()), 0);
  ASSERT_EQ(symlink("missing", t.Path("r/dangling").c_str()), 0);
  Session s;
  auto paths = Scan(s, t.Path("r"));
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths,
            (std::vector<std::string>{t.Path("r/dangling"), t.Path("r/link.txt"), t.Path("r/out"),
                                      t.Path("r/sub/file.txt"), t.Path("r/sub/up"),
                                      t.Path("r/target.txt"), t.Path("r/up")}));
  EXPECT_TRUE(s.host.boxes.empty());
  // A link carries its own size, the length of its text, and is marked as a link.
  for (int i = 1; i <= s.state.file_table.Count(); ++i) {
    const std::string path = s.state.file_table.Path(i);
    const bool link = path != t.Path("r/sub/file.txt") && path != t.Path("r/target.txt");
    EXPECT_EQ(s.state.file_table.Kind(i) == FileKind::kLink, link) << path;
    if (path == t.Path("r/link.txt")) {
      EXPECT_EQ(s.state.file_table.Stamp(i).size, 10);
    }
  }
}

// Catches FIFOs and sockets being listed, which would block a later content comparison, or
// left out without a note of what they are.
TEST(ScanFolderTest, SpecialFilesAreLeftOutAndNoted) {
  TempTree t;
  t.Write("r/plain.txt", "p");
  ASSERT_EQ(mkfifo(t.Path("r/pipe").c_str(), 0644), 0);
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string sock_path = t.Path("r/sock");
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path) << "temporary folder path too long";
  std::strcpy(addr.sun_path, sock_path.c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
  close(sock);
  struct stat st {};
  ASSERT_EQ(lstat(sock_path.c_str(), &st), 0);
  ASSERT_TRUE(S_ISSOCK(st.st_mode));
  Session s;
  EXPECT_EQ(Scan(s, t.Path("r")), std::vector<std::string>{t.Path("r/plain.txt")});
  EXPECT_TRUE(s.host.boxes.empty());
  std::vector<std::string> noted;
  for (const LeftOutEntry& e : s.state.file_table.LeftOut())
    noted.push_back(e.path + ":" + LeftOutWord(e.why));
  std::sort(noted.begin(), noted.end());
  EXPECT_EQ(noted, (std::vector<std::string>{t.Path("r/pipe") + ":fifo", sock_path + ":socket"}));
}

// Catches a vanished or missing folder being ignored in silence: a comparison could then
// call two trees identical.
TEST(ScanFolderTest, FolderThatCannotBeListedIsReportedAndTheScanGoesOn) {
  TempTree t;
  t.Write("r/keep.txt", "k");
  t.Write("r/gone/lost.txt", "l");
  t.Write("r/stay/here.txt", "h");
  Session s;
  bool removed = false;
  s.host.on_yield = [&] {
    if (!removed) std::filesystem::remove_all(t.Path("r/gone"));
    removed = true;
  };
  auto paths = Scan(s, t.Path("r"));
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths, (std::vector<std::string>{t.Path("r/keep.txt"), t.Path("r/stay/here.txt")}));
  ASSERT_EQ(s.host.boxes.size(), 1u);
  EXPECT_EQ(s.host.boxes[0].text, "Zugriffsfehler 2 auf '" + t.Path("r/gone") +
                                      "'\rDieser Name wird fortan ignoriert ...");
  EXPECT_EQ(s.host.boxes[0].intent, Intent::kWarning);

  Session missing;
  EXPECT_TRUE(Scan(missing, t.Path("nothing/")).empty());
  ASSERT_EQ(missing.host.boxes.size(), 1u);
  EXPECT_EQ(
      missing.host.boxes[0].text.rfind("Zugriffsfehler 2 auf '" + t.Path("nothing/") + "'", 0), 0u);
}

// Runs fn in a child process as uid nobody (root ignores file modes); returns its exit code.
int AsNobody(const std::function<int()>& fn) {
  pid_t pid = fork();
  if (pid == 0) {
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(99);
    _exit(fn());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

// Catches unreadable entries aborting the scan, being reported more than once, or being
// listed anyway.
TEST(ScanFolderTest, UnreadableEntriesGetOneMessageEachAndNeighboursStay) {
  TempTree t;
  chmod(t.Root().c_str(), 0755);
  t.Write("r/a.txt", "a");
  t.Write("r/noexec/x.txt", "x");
  t.Write("r/noexec/y.txt", "y");
  t.Write("r/closed/z.txt", "z");
  t.Write("r/z.txt", "z");
  chmod(t.Path("r/noexec").c_str(), 0444);  // names readable, entries not
  chmod(t.Path("r/closed").c_str(), 0300);  // not listable
  int code = AsNobody([&] {
    Session s;
    auto paths = Scan(s, t.Path("r"));
    std::sort(paths.begin(), paths.end());
    if (paths != std::vector<std::string>{t.Path("r/a.txt"), t.Path("r/z.txt")}) return 1;
    if (s.host.boxes.size() != 3) return 2;
    int noexec = 0, closed = 0;
    for (const auto& b : s.host.boxes) {
      if (b.text.rfind("Zugriffsfehler 13 auf '" + t.Path("r/noexec/"), 0) == 0) ++noexec;
      if (b.text.rfind("Zugriffsfehler 13 auf '" + t.Path("r/closed") + "'", 0) == 0) ++closed;
    }
    return noexec == 2 && closed == 1 ? 0 : 3;
  });
  if (code == 99) GTEST_SKIP() << "cannot switch to uid nobody here";
  EXPECT_EQ(code, 0);
}

// Catches crashes or mangling on names that are not valid UTF-8 or contain a backslash.
TEST(ScanFolderTest, OddBytesAndBackslashesStayPartOfTheName) {
  TempTree t;
  t.Write("r/bad\xff\xfe.txt", "b");
  t.Write("r/back\\slash.txt", "s");
  Session s;
  auto paths = Scan(s, t.Path("r"));
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths,
            (std::vector<std::string>{t.Path("r/back\\slash.txt"), t.Path("r/bad\xff\xfe.txt")}));
}

}  // namespace
}  // namespace tavrik

namespace tavrik {
namespace {

// The order a plain recursive walk gives: files in listing order, then subfolders, the
// last found first.
void ReferenceWalk(const std::string& folder, std::vector<std::string>& out) {
  DIR* dir = opendir(folder.c_str());
  ASSERT_NE(dir, nullptr);
  std::vector<std::string> subfolders;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::string full = folder + "/" + e->d_name;
    struct stat st;
    ASSERT_EQ(lstat(full.c_str(), &st), 0);
    if (S_ISDIR(st.st_mode)) subfolders.push_back(full);
    if (S_ISREG(st.st_mode)) out.push_back(full);
  }
  closedir(dir);
  for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it) ReferenceWalk(*it, out);
}

// Catches the helper thread that lists folders ahead changing the order of the file table
// or losing or doubling entries, on a tree wide and deep enough to keep both threads busy.
TEST(ScanFolderTest, ListingAheadKeepsTheWalkOrderExactly) {
  TempTree t;
  uint32_t seed = 7;
  auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 8; };
  for (int d = 0; d < 120; ++d) {
    std::string folder = "r";
    int depth = 1 + static_cast<int>(next() % 4);
    for (int k = 0; k < depth; ++k) folder += "/d" + std::to_string(next() % 6);
    for (int f = 0; f < 5; ++f) t.Write(folder + "/f" + std::to_string(next() % 20), "x");
  }
  std::vector<std::string> expected;
  ReferenceWalk(t.Path("r"), expected);
  for (int round = 0; round < 5; ++round) {
    Session s;
    int yields_seen = 0;
    s.host.on_yield = [&] { ++yields_seen; };
    auto paths = Scan(s, t.Path("r"));
    ASSERT_EQ(paths.size(), expected.size());
    for (size_t i = 0; i < paths.size(); ++i) ASSERT_EQ(paths[i], expected[i]) << i;
    EXPECT_TRUE(s.host.boxes.empty());
    EXPECT_GT(yields_seen, 10);
  }
}

}  // namespace
}  // namespace tavrik
