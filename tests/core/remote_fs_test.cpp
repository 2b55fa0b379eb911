// The far end's file system against the machine's own: the same calls on two equal trees
// give the same answers, nothing outside the root is reached, answers find their callers,
// and a connection that breaks fails every call instead of hanging.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <thread>
#include <tuple>

#include "core/remote/remote_file_system.h"
#include "core/remote/serve.h"
#include "support/fault_file_system.h"
#include "support/temp_tree.h"

namespace tavrik::testing {
namespace {

using remote::RemoteFileSystem;

// A far end in a thread of this process, over a socket pair.
class Loopback {
 public:
  Loopback(FileSystem& far_fs, const std::string& root, const std::string& temp_prefix = "") {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
    server_channel_ = remote::FdChannel(pair[1], pair[1], true);
    remote::ServeOptions options;
    options.temp_prefix = temp_prefix;
    server_ = std::thread([this, &far_fs, options] {
      server_end_ = remote::Serve(far_fs, *server_channel_, options);
    });
    remote::ConnectError error;
    fs = RemoteFileSystem::Connect(remote::FdChannel(pair[0], pair[0], true), "nas", root, &error);
    connect_error = error;
  }
  ~Loopback() {
    fs.reset();
    server_channel_->Shutdown();
    if (server_.joinable()) server_.join();
  }
  // Cuts the far end's side, as a far end that dies does.
  void CutFarEnd() { server_channel_->Shutdown(); }
  // Waits for the far end to finish its connection.
  void WaitForFarEnd() {
    fs->Disconnect();
    if (server_.joinable()) server_.join();
  }

  std::unique_ptr<RemoteFileSystem> fs;
  remote::ConnectError connect_error;

 private:
  std::unique_ptr<remote::Channel> server_channel_;
  std::thread server_;
  int server_end_ = 0;
};

std::string Err(long result) {
  return result < 0 ? "E" + std::to_string(errno) : std::to_string(result);
}

std::string StatText(FileSystem& fs, int dir, const std::string& name, int flags) {
  struct stat st {};
  if (fs.StatAt(dir, name.c_str(), &st, flags) != 0) return "E" + std::to_string(errno);
  return std::to_string(st.st_mode) + "/" + std::to_string(st.st_size) + "/" +
         std::to_string(st.st_nlink) + "/" + std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec);
}

std::string ReadAll(FileSystem& fs, int dir, const std::string& name) {
  Fd fd(fs, fs.OpenAt(dir, name.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return "E" + std::to_string(errno);
  std::string text(4096, '\0');
  const ssize_t n = fs.PRead(fd.get(), text.data(), text.size(), 0);
  if (n < 0) return "E" + std::to_string(errno);
  text.resize(static_cast<size_t>(n));
  return text;
}

std::string Listing(FileSystem& fs, const std::string& folder) {
  std::unique_ptr<DirStream> dir =
      fs.OpenDir(fs.OpenAt(AT_FDCWD, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return "E" + std::to_string(errno);
  std::vector<std::string> names;
  const char* name = nullptr;
  unsigned char type = 0;
  while (fs.ReadDir(*dir, &name, &type) == 1)
    names.push_back(std::string(name) + ":" + std::to_string(type));
  std::sort(names.begin(), names.end());
  std::string text;
  for (const std::string& n : names) text += n + " ";
  return text;
}

// Each case acts on a tree holding a.txt ("alpha"), sub/b.txt ("beta"), link -> a.txt and
// an empty folder empty/, and says what it saw. root has no trailing separator.
struct SeamCase {
  const char* name;
  std::function<std::string(FileSystem&, const std::string&)> run;
};

const SeamCase kSeamCases[] = {
    {"list",
     [](FileSystem& fs, const std::string& r) { return Listing(fs, r) + Listing(fs, r + "/sub"); }},
    {"list and ask by the listing's descriptor",
     [](FileSystem& fs, const std::string& r) {
       // As with fdopendir, the descriptor stays the folder's as long as its listing.
       const int fd = fs.OpenAt(AT_FDCWD, (r + "/sub").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
       std::unique_ptr<DirStream> dir = fs.OpenDir(fd);
       const char* name = nullptr;
       std::string text;
       while (dir && fs.ReadDir(*dir, &name) == 1)
         if (name[0] != '.')
           text += std::string(name) + "=" + StatText(fs, fd, name, AT_SYMLINK_NOFOLLOW);
       return text;
     }},
    {"stat",
     [](FileSystem& fs, const std::string& r) {
       return StatText(fs, AT_FDCWD, r + "/a.txt", 0) + " " +
              StatText(fs, AT_FDCWD, r + "/link", AT_SYMLINK_NOFOLLOW) + " " +
              StatText(fs, AT_FDCWD, r + "/link", 0) + " " +
              StatText(fs, AT_FDCWD, r + "/missing", 0) + " " +
              StatText(fs, AT_FDCWD, r + "/a.txt/x", 0);
     }},
    {"read",
     [](FileSystem& fs, const std::string& r) {
       Fd dir(fs, fs.OpenAt(AT_FDCWD, (r + "/sub").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
       char two[2];
       Fd f(fs, fs.OpenAt(dir.get(), "b.txt", O_RDONLY | O_CLOEXEC));
       std::string part = Err(fs.PRead(f.get(), two, 2, 2));
       part.append(two, 2);
       return ReadAll(fs, dir.get(), "b.txt") + " " + part + " " +
              Err(fs.PRead(f.get(), two, 2, 99)) + " " + ReadAll(fs, dir.get(), "nope") + " " +
              ReadAll(fs, AT_FDCWD, r + "/link");
     }},
    {"write",
     [](FileSystem& fs, const std::string& r) {
       Fd dir(fs, fs.OpenAt(AT_FDCWD, r.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
       Fd f(fs, fs.OpenAt(dir.get(), "new", O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0640));
       const std::string wrote =
           Err(fs.PWrite(f.get(), "hello", 5, 0)) + Err(fs.PWrite(f.get(), "!", 1, 7));
       const std::string again = Err(fs.OpenAt(dir.get(), "new", O_RDWR | O_CREAT | O_EXCL, 0640));
       struct stat st {};
       fs.Fstat(f.get(), &st);
       std::string back = ReadAll(fs, dir.get(), "new");
       std::replace(back.begin(), back.end(), '\0', '0');
       return wrote + " " + again + " " + std::to_string(st.st_size) + " " +
              std::to_string(st.st_mode & 07777) + " " + back + " " + Err(f.Close());
     }},
    {"rename",
     [](FileSystem& fs, const std::string& r) {
       return Err(fs.RenameAt(AT_FDCWD, (r + "/a.txt").c_str(), AT_FDCWD,
                              (r + "/sub/a2").c_str())) +
              Err(fs.RenameNoReplaceAt(AT_FDCWD, (r + "/sub/a2").c_str(), AT_FDCWD,
                                       (r + "/sub/b.txt").c_str())) +
              " " + ReadAll(fs, AT_FDCWD, r + "/sub/a2") + " " +
              StatText(fs, AT_FDCWD, r + "/a.txt", 0);
     }},
    {"unlink",
     [](FileSystem& fs, const std::string& r) {
       return Err(fs.UnlinkAt(AT_FDCWD, (r + "/sub").c_str(), AT_REMOVEDIR)) +
              Err(fs.UnlinkAt(AT_FDCWD, (r + "/sub/b.txt").c_str(), 0)) +
              Err(fs.UnlinkAt(AT_FDCWD, (r + "/sub").c_str(), AT_REMOVEDIR)) +
              Err(fs.UnlinkAt(AT_FDCWD, (r + "/link").c_str(), 0)) + " " + Listing(fs, r);
     }},
    {"mkdir",
     [](FileSystem& fs, const std::string& r) {
       return Err(fs.MkdirAt(AT_FDCWD, (r + "/made").c_str(), 0750)) +
              Err(fs.MkdirAt(AT_FDCWD, (r + "/made").c_str(), 0750)) +
              Err(fs.MkdirAt(AT_FDCWD, (r + "/no/made").c_str(), 0750)) + " " +
              StatText(fs, AT_FDCWD, r + "/made", 0).substr(0, 5);
     }},
    {"symlink",
     [](FileSystem& fs, const std::string& r) {
       char text[64];
       const ssize_t n = fs.ReadLinkAt(AT_FDCWD, (r + "/made").c_str(), text, sizeof text);
       const std::string made = Err(fs.SymlinkAt("some/where", AT_FDCWD, (r + "/made").c_str())) +
                                Err(fs.SymlinkAt("x", AT_FDCWD, (r + "/made").c_str()));
       const ssize_t m = fs.ReadLinkAt(AT_FDCWD, (r + "/made").c_str(), text, sizeof text);
       const std::string full(text, m > 0 ? m : 0);
       const ssize_t k = fs.ReadLinkAt(AT_FDCWD, (r + "/made").c_str(), text, 4);
       return Err(n) + made + full + std::string(text, k > 0 ? k : 0) + Err(k) +
              Err(fs.ReadLinkAt(AT_FDCWD, (r + "/a.txt").c_str(), text, sizeof text));
     }},
    {"times",
     [](FileSystem& fs, const std::string& r) {
       const struct timespec when[2] = {{1000, 5}, {2000000000, 123456789}};
       const struct timespec link_time[2] = {{7, 0}, {8, 0}};
       std::string text =
           Err(fs.UtimensAt(AT_FDCWD, (r + "/a.txt").c_str(), when, 0)) +
           Err(fs.UtimensAt(AT_FDCWD, (r + "/link").c_str(), link_time, AT_SYMLINK_NOFOLLOW));
       Fd f(fs, fs.OpenAt(AT_FDCWD, (r + "/sub/b.txt").c_str(), O_WRONLY | O_CLOEXEC));
       text += Err(fs.Futimens(f.get(), link_time));
       return text + " " + StatText(fs, AT_FDCWD, r + "/a.txt", 0) + " " +
              StatText(fs, AT_FDCWD, r + "/link", AT_SYMLINK_NOFOLLOW) + " " +
              StatText(fs, AT_FDCWD, r + "/sub/b.txt", 0);
     }},
    {"copy, link, mode",
     [](FileSystem& fs, const std::string& r) {
       Fd in(fs, fs.OpenAt(AT_FDCWD, (r + "/a.txt").c_str(), O_RDONLY | O_CLOEXEC));
       Fd out(fs, fs.OpenAt(AT_FDCWD, (r + "/c").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
       off_t from = 1, to = 0;
       std::string text = Err(fs.CopyRange(in.get(), &from, out.get(), &to, 100));
       text += "@" + std::to_string(from) + "," + std::to_string(to);
       text += Err(fs.Advise(in.get(), POSIX_FADV_SEQUENTIAL));
       text += Err(fs.Fchmod(out.get(), 0604)) + Err(fs.SyncData(out.get())) +
               Err(fs.SyncFs(out.get()));
       text += Err(fs.LinkAt(AT_FDCWD, (r + "/c").c_str(), AT_FDCWD, (r + "/sub/c2").c_str()));
       return text + " " + ReadAll(fs, AT_FDCWD, r + "/sub/c2") + " " +
              StatText(fs, AT_FDCWD, r + "/c", 0).substr(0, 12);
     }},
    {"descriptors",
     [](FileSystem& fs, const std::string& r) {
       Fd dir(fs, fs.OpenAt(AT_FDCWD, (r + "/sub").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
       Fd path(fs, fs.OpenAt(dir.get(), "b.txt", O_PATH | O_CLOEXEC));
       std::string where;
       std::string text = Err(fs.FdPath(dir.get(), &where));
       char c;
       text += Err(fs.PRead(path.get(), &c, 1, 0)) +
               Err(fs.OpenAt(dir.get(), "b.txt", O_RDONLY | O_DIRECTORY));
       text += Err(fs.Close(123456)) + Err(fs.PRead(-1, &c, 1, 0));
       struct statfs a {};
       std::string type;
       text += Err(fs.StatFs(dir.get(), &a)) + Err(fs.MountType(dir.get(), &type));
       return text + " " + where.substr(r.size()) + " " + std::to_string(a.f_type) + " " + type;
     }},
    {"a folder or a file in one call",
     [](FileSystem& fs, const std::string& r) {
       std::string text;
       for (const char* folder : {"", "/sub", "/empty", "/missing", "/a.txt"}) {
         std::vector<FolderEntry> entries;
         bool opened = false;
         const int listed = fs.ListFolderAt(AT_FDCWD, (r + folder).c_str(),
                                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, true,
                                            &entries, &opened);
         text += Err(listed) + (opened ? "o" : "-");
         std::sort(entries.begin(), entries.end(),
                   [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
         for (const FolderEntry& e : entries)
           text += " " + e.name + ":" + std::to_string(e.type) + ":" + std::to_string(e.error) +
                   ":" + (S_ISDIR(e.st.st_mode) ? "dir" : std::to_string(e.st.st_mtim.tv_sec));
         text += ";";
       }
       // Asked ahead (where that is worth it): answers taken must be what a call gives, one
       // asked with other arguments is asked anew, and one never taken is let go.
       std::vector<DigestWant> ahead;
       for (const auto& [name, most] : {std::pair{"/a.txt", 4},
                                        {"/link", 100},
                                        {"/missing", 100},
                                        {"/sub", 100},
                                        {"/empty", 100}})
         ahead.push_back({r + name, 0, static_cast<uint64_t>(most), 2});
       fs.DigestAhead(std::move(ahead));
       for (const auto& [name, flags, most] : {std::tuple{"/a.txt", 0, 100},
                                               {"/a.txt", 0, 4},
                                               {"/link", 0, 100},
                                               {"/link", AT_SYMLINK_NOFOLLOW, 100},
                                               {"/missing", 0, 100},
                                               {"/sub", 0, 100}}) {
         FileDigests d;
         text += Err(fs.DigestFile(AT_FDCWD, (r + name).c_str(), flags, most, 2, &d));
         text += " " + std::to_string(d.stat_error) + ":" + std::to_string(d.st.st_size) + ":" +
                 std::to_string(d.open_error) + ":" + std::to_string(d.hashed) + ":" +
                 std::to_string(d.hashes.blocks.size()) + ":" +
                 (d.hashes.blocks.empty() ? "" : std::to_string(d.hashes.blocks.back()[0])) +
                 std::to_string(d.hashes.longer) + ";";
       }
       fs.DropDigestsAhead();
       Fd f(fs, fs.OpenAt(AT_FDCWD, (r + "/a.txt").c_str(), O_RDONLY | O_CLOEXEC));
       for (const auto& [offset, length, block] : {std::tuple{1, 3, 2}, {0, 9, 4}, {0, 0, 4}}) {
         BlockHashList list;
         const int hashed = fs.BlockHashes(f.get(), offset, length, block, &list);
         text += Err(hashed) + ":" + std::to_string(list.blocks.size()) + ":" +
                 std::to_string(list.short_file) + std::to_string(list.longer) + ":" +
                 (list.blocks.empty() ? "" : std::to_string(list.blocks.back()[31])) + ";";
       }
       return text;
     }},
    {"copies put in place in order, up to the first that cannot go",
     [](FileSystem& fs, const std::string& r) {
       Fd dir(fs, fs.OpenAt(AT_FDCWD, r.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
       struct stat st {};
       std::string text = Err(fs.Fstat(dir.get(), &st));
       std::vector<PlaceStep> steps;
       // The second's name is taken (it must not replace), so it and the third stay.
       for (const auto& [temp, name] : {std::pair{"t1", "p1"}, {"t2", "a.txt"}, {"t3", "p3"}}) {
         Fd made(fs, fs.OpenAt(dir.get(), temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
         PlaceStep& step = steps.emplace_back();
         step.dir = dir.get();
         step.temp = temp;
         step.name = name;
         step.want.folder = r;
         step.want.follow_folder = true;
         step.want.folder_dev = static_cast<uint64_t>(st.st_dev);
         step.want.folder_ino = static_cast<uint64_t>(st.st_ino);
       }
       text += " " + std::to_string(fs.PlaceInOrder(steps));
       for (const PlaceStep& step : steps)
         text.append(" ").append(Err(step.result)).append(":").append(Err(step.error));
       return text + " " + Listing(fs, r);
     }},
    {"xattr",
     [](FileSystem& fs, const std::string& r) {
       Fd f(fs, fs.OpenAt(AT_FDCWD, (r + "/a.txt").c_str(), O_RDONLY | O_CLOEXEC));
       char value[16] = {};
       std::string text = Err(fs.SetXattr(f.get(), "user.tavrik", "v1", 2));
       text += Err(fs.GetXattr(f.get(), "user.tavrik", nullptr, 0));
       text += Err(fs.GetXattr(f.get(), "user.tavrik", value, sizeof value)) + value;
       text += Err(fs.GetXattr(f.get(), "user.none", value, sizeof value));
       return text + Err(fs.ListXattr(f.get(), nullptr, 0));
     }},
};

void MakeTree(const TempTree& t, const std::string& top) {
  t.Write(top + "/a.txt", "alpha", 1600000000);
  t.Write(top + "/sub/b.txt", "beta", 1600000001);
  t.Mkdir(top + "/empty");
  symlink("a.txt", t.Path(top + "/link").c_str());
  const struct timespec when[2] = {{1600000002, 0}, {1600000002, 0}};
  utimensat(AT_FDCWD, t.Path(top + "/link").c_str(), when, AT_SYMLINK_NOFOLLOW);
}

// Catches a call the far end answers differently from the local disk: a field of the status
// lost on the way, an errno swapped, a read or write cut short, an offset not handed back, a
// folder's listing or a file's digests told wrong.
TEST(RemoteFileSystemTest, AnswersAsTheLocalDiskDoes) {
  TempTree t;
  for (const SeamCase& c : kSeamCases) {
    SCOPED_TRACE(c.name);
    const std::string local_top = std::string("local-") + c.name;
    const std::string far_top = std::string("far-") + c.name;
    MakeTree(t, local_top);
    MakeTree(t, far_top);
    Loopback loop(RealFileSystem(), t.Path(far_top));
    ASSERT_TRUE(loop.fs) << loop.connect_error.text;
    ASSERT_EQ(loop.fs->Root(), std::filesystem::canonical(t.Path(far_top)).string());
    const std::string local = c.run(RealFileSystem(), t.Path(local_top));
    const std::string far = c.run(*loop.fs, loop.fs->Root());
    EXPECT_EQ(far, local);
  }
}

// Catches a path that leaves the root through "..", an absolute name, or a link, whether on
// the way or at the end; links that stay inside are still followed where the call asks.
TEST(RemoteFileSystemTest, NothingOutsideTheRootIsReached) {
  TempTree t;
  t.Write("root/file", "inside");
  t.Write("root/sub/inner", "inner");
  t.Write("outside/secret", "secret", 1500000000);
  symlink("file", t.Path("root/in_link").c_str());
  symlink("sub", t.Path("root/in_dir_link").c_str());
  symlink("../outside/secret", t.Path("root/out_link").c_str());
  symlink(t.Path("outside/secret").c_str(), t.Path("root/abs_out_link").c_str());
  symlink("../outside", t.Path("root/dir_out_link").c_str());
  symlink("sub/../../outside/secret", t.Path("root/sub_out_link").c_str());
  Loopback loop(RealFileSystem(), t.Path("root"));
  ASSERT_TRUE(loop.fs);
  FileSystem& fs = *loop.fs;
  const std::string r = loop.fs->Root();
  const std::string outside = t.Path("outside");
  const std::string secret = outside + "/secret";
  const struct timespec now[2] = {{1, 0}, {1, 0}};
  struct Case {
    const char* what;
    std::function<long()> call;
    int error;  // 0: allowed
  };
  struct stat st {};
  char buf[8];
  Fd sub(fs, fs.OpenAt(AT_FDCWD, (r + "/sub").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  const Case cases[] = {
      {"up from the root",
       [&] { return fs.OpenAt(AT_FDCWD, (r + "/../outside/secret").c_str(), O_RDONLY); }, EACCES},
      {"up and down again",
       [&] { return fs.StatAt(AT_FDCWD, (r + "/sub/../file").c_str(), &st, 0); }, EACCES},
      {"absolute outside", [&] { return fs.OpenAt(AT_FDCWD, secret.c_str(), O_RDONLY); }, EACCES},
      {"up from a handle", [&] { return fs.OpenAt(sub.get(), "../../outside/secret", O_RDONLY); },
       EACCES},
      {"absolute from a handle", [&] { return fs.StatAt(sub.get(), secret.c_str(), &st, 0); },
       EACCES},
      {"link on the way out",
       [&] { return fs.OpenAt(AT_FDCWD, (r + "/dir_out_link/secret").c_str(), O_RDONLY); }, EACCES},
      {"link on the way in",
       [&] { return fs.StatAt(AT_FDCWD, (r + "/in_dir_link/inner").c_str(), &st, 0); }, EACCES},
      {"followed link out",
       [&] { return fs.OpenAt(AT_FDCWD, (r + "/out_link").c_str(), O_RDONLY); }, EACCES},
      {"followed absolute link out",
       [&] { return fs.StatAt(AT_FDCWD, (r + "/abs_out_link").c_str(), &st, 0); }, EACCES},
      {"followed link up through a folder",
       [&] { return fs.StatAt(AT_FDCWD, (r + "/sub_out_link").c_str(), &st, 0); }, EACCES},
      {"times through a link out",
       [&] { return fs.UtimensAt(AT_FDCWD, (r + "/out_link").c_str(), now, 0); }, EACCES},
      {"folder made outside",
       [&] { return fs.MkdirAt(AT_FDCWD, (r + "/dir_out_link/new").c_str(), 0755); }, EACCES},
      {"link made outside",
       [&] { return fs.SymlinkAt("x", AT_FDCWD, (outside + "/evil").c_str()); }, EACCES},
      {"renamed out",
       [&] {
         return fs.RenameAt(AT_FDCWD, (r + "/file").c_str(), AT_FDCWD, (outside + "/file").c_str());
       },
       EACCES},
      {"renamed in",
       [&] { return fs.RenameAt(AT_FDCWD, secret.c_str(), AT_FDCWD, (r + "/stolen").c_str()); },
       EACCES},
      {"hard link to outside",
       [&] { return fs.LinkAt(AT_FDCWD, secret.c_str(), AT_FDCWD, (r + "/stolen").c_str()); },
       EACCES},
      {"deleted outside",
       [&] { return fs.UnlinkAt(AT_FDCWD, (r + "/dir_out_link/secret").c_str(), 0); }, EACCES},
      {"read link outside",
       [&] {
         return fs.ReadLinkAt(AT_FDCWD, (t.Path("root") + "/../root/in_link").c_str(), buf,
                              sizeof buf);
       },
       EACCES},
      // What stays inside works.
      {"link itself",
       [&] { return fs.StatAt(AT_FDCWD, (r + "/out_link").c_str(), &st, AT_SYMLINK_NOFOLLOW); }, 0},
      {"deleting a link that points out",
       [&] { return fs.UnlinkAt(AT_FDCWD, (r + "/abs_out_link").c_str(), 0); }, 0},
      {"followed link inside",
       [&] { return fs.StatAt(AT_FDCWD, (r + "/in_link").c_str(), &st, 0); }, 0},
      {"the root by the name it was given",
       [&] { return fs.StatAt(AT_FDCWD, (t.Path("root") + "/./file").c_str(), &st, 0); }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    errno = 0;
    const long result = c.call();
    if (result >= 0 && result >= remote::kFdBase) fs.Close(static_cast<int>(result));
    if (c.error == 0) {
      EXPECT_GE(result, 0) << errno;
    } else {
      EXPECT_EQ(result, -1);
      EXPECT_EQ(errno, c.error);
    }
  }
  EXPECT_EQ(t.Read("outside/secret"), "secret");
  struct stat secret_st {};
  ASSERT_EQ(lstat(secret.c_str(), &secret_st), 0);
  EXPECT_EQ(secret_st.st_mtime, 1500000000);
  EXPECT_FALSE(t.Exists("outside/new"));
  EXPECT_FALSE(t.Exists("outside/evil"));
  EXPECT_FALSE(t.Exists("outside/file"));
  EXPECT_FALSE(t.Exists("root/stolen"));
}

// Catches answers handed to the wrong caller when several threads wait at once and the far
// end answers out of order.
TEST(RemoteFileSystemTest, ConcurrentCallsGetTheirOwnAnswers) {
  TempTree t;
  constexpr int kFiles = 12;
  for (int i = 0; i < kFiles; ++i)
    t.Write("root/f" + std::to_string(i), std::string(100 + i, 'a' + i));
  FaultFileSystem far;
  // Earlier files wait longer, so later calls overtake them.
  far.SetHook([](FsCall call, const std::string&) {
    if (call == FsCall::kRead)
      std::this_thread::sleep_for(std::chrono::milliseconds(std::rand() % 20));
    return 0;
  });
  Loopback loop(far, t.Path("root"));
  ASSERT_TRUE(loop.fs);
  std::vector<std::string> got(kFiles);
  std::vector<std::thread> threads;
  for (int i = 0; i < kFiles; ++i)
    threads.emplace_back([&, i] {
      for (int round = 0; round < 5; ++round)
        got[i] = ReadAll(*loop.fs, AT_FDCWD, loop.fs->Root() + "/f" + std::to_string(i));
    });
  for (std::thread& th : threads) th.join();
  for (int i = 0; i < kFiles; ++i) EXPECT_EQ(got[i], std::string(100 + i, 'a' + i)) << i;
}

// Catches a far end that dies in the middle of a call leaving its caller waiting, or later
// calls trying again as if nothing happened.
TEST(RemoteFileSystemTest, ABrokenConnectionFailsEveryCall) {
  TempTree t;
  t.Write("root/f", "content");
  FaultFileSystem far;
  Loopback* cut = nullptr;
  far.SetHook([&](FsCall call, const std::string&) {
    if (call == FsCall::kRead && cut) cut->CutFarEnd();
    return 0;
  });
  Loopback loop(far, t.Path("root"));
  ASSERT_TRUE(loop.fs);
  FileSystem& fs = *loop.fs;
  const std::string root = loop.fs->Root();
  const int fd = fs.OpenAt(AT_FDCWD, (root + "/f").c_str(), O_RDONLY);
  ASSERT_GE(fd, remote::kFdBase);
  cut = &loop;
  char buf[16];
  struct stat st {};
  const struct {
    const char* what;
    std::function<long()> call;
  } calls[] = {
      {"the read in flight", [&] { return fs.PRead(fd, buf, sizeof buf, 0); }},
      {"a status after it", [&] { return fs.StatAt(AT_FDCWD, (root + "/f").c_str(), &st, 0); }},
      {"an open", [&] { return fs.OpenAt(AT_FDCWD, root.c_str(), O_RDONLY); }},
      {"a close", [&] { return fs.Close(fd); }},
  };
  for (const auto& c : calls) {
    SCOPED_TRACE(c.what);
    errno = 0;
    EXPECT_EQ(c.call(), -1);
    EXPECT_EQ(errno, remote::kLostErrno);
  }
  EXPECT_TRUE(loop.fs->Lost());
  EXPECT_EQ(loop.fs->LostText(), "Die Verbindung zu nas ist abgebrochen.");
}

// Catches a far end that leaves half-written temporary files behind when the near side goes
// away, or removes a file that is not one (a run's undo record), or one already renamed into
// place.
TEST(RemoteFileSystemTest, TheEndOfAConnectionRemovesItsTemporaryFiles) {
  TempTree t;
  t.Mkdir("root/sub");
  Loopback loop(RealFileSystem(), t.Path("root"), ".tavrik-");
  ASSERT_TRUE(loop.fs);
  FileSystem& fs = *loop.fs;
  const std::string r = loop.fs->Root();
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
  const int open_temp = fs.OpenAt(AT_FDCWD, (r + "/sub/.tavrik-nas-7-1").c_str(), flags, 0600);
  fs.PWrite(open_temp, "half", 4, 0);
  fs.Close(fs.OpenAt(AT_FDCWD, (r + "/.tavrik-nas-7-2").c_str(), flags, 0600));
  fs.Close(fs.OpenAt(AT_FDCWD, (r + "/.tavrik-nas-7-3").c_str(), flags, 0600));
  fs.RenameAt(AT_FDCWD, (r + "/.tavrik-nas-7-3").c_str(), AT_FDCWD, (r + "/placed").c_str());
  fs.Close(fs.OpenAt(AT_FDCWD, (r + "/.tavrik-nas-7-4").c_str(), flags, 0600));
  fs.UnlinkAt(AT_FDCWD, (r + "/.tavrik-nas-7-4").c_str(), 0);
  fs.Close(
      fs.OpenAt(AT_FDCWD, (r + "/.tavrik-nas-7-4").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  fs.Close(fs.OpenAt(AT_FDCWD, (r + "/kept").c_str(), flags, 0600));
  fs.Close(fs.OpenAt(AT_FDCWD, (r + "/sub/.tavrik-record").c_str(), flags, 0600));
  loop.WaitForFarEnd();
  EXPECT_FALSE(t.Exists("root/sub/.tavrik-nas-7-1"));
  EXPECT_FALSE(t.Exists("root/.tavrik-nas-7-2"));
  EXPECT_TRUE(t.Exists("root/placed"));
  EXPECT_TRUE(t.Exists("root/.tavrik-nas-7-4"));  // made again, not exclusively: not ours to take
  EXPECT_TRUE(t.Exists("root/kept"));
  EXPECT_TRUE(t.Exists("root/sub/.tavrik-record"));
}

// Catches a root that cannot be opened being taken for a connection.
TEST(RemoteFileSystemTest, AMissingRootIsRefusedInTheHandshake) {
  TempTree t;
  Loopback loop(RealFileSystem(), t.Path("missing"));
  EXPECT_FALSE(loop.fs);
  EXPECT_EQ(loop.connect_error.code, ENOENT);
  EXPECT_NE(loop.connect_error.text.find("auf nas"), std::string::npos) << loop.connect_error.text;
}

}  // namespace
}  // namespace tavrik::testing
