// What the FAT, exFAT and sshfs drivers do that copies and comparisons onto them rely on:
// which attribute calls they refuse and how, the times the medium stores, case-insensitive
// lookups, the names they refuse, renames, links and the mount type. A changed driver shows
// here first.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "support/real_fs.h"

namespace tavrik::testing {
namespace {

constexpr long kFuseSuperMagic = 0x65735546;

// What each driver is known to do; 0 as an errno means the call succeeds.
struct DriverFacts {
  RealFsKind kind;
  int chmod_errno;
  bool keeps_mode;
  int chown_root_errno;
  long stored_step;  // seconds the stored modification times are rounded down to
  bool case_insensitive;
  int reserved_char_errno;  // for : ? * " < > | and backslash
  int non_ascii_errno;
  bool rename_keeps_time;
  int link_errno;
};

constexpr DriverFacts kFacts[] = {
    {RealFsKind::kFat, ENOSYS, false, ENOSYS, 2, true, EPERM, EPERM, false, EPERM},
    {RealFsKind::kExfat, 0, false, 0, 1, true, ENOENT, 0, true, EPERM},
    {RealFsKind::kSshfs, 0, true, 0, 1, false, 0, 0, true, 0},
};

void PrintTo(const DriverFacts& facts, std::ostream* os) { *os << RealFsName(facts.kind); }

// The errno of a call that returns -1 on failure, 0 when it succeeded.
int ErrnoOf(int rc) { return rc == 0 ? 0 : errno; }

int Create(const std::string& path, const std::string& content = "data") {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  bool written = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  close(fd);
  return written ? 0 : EIO;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct timespec MtimeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path << ": " << std::strerror(errno);
  return st.st_mtim;
}

int SetMtime(const std::string& path, time_t sec, long nsec) {
  struct timespec ts[2] = {{sec, nsec}, {sec, nsec}};
  return ErrnoOf(utimensat(AT_FDCWD, path.c_str(), ts, 0));
}

class RealFsProbeTest : public ::testing::TestWithParam<DriverFacts> {};

// Catches a driver whose refusal of mode, owner or extended attributes changes errno (a
// copy treats exactly these refusals as harmless) or that starts refusing sub-second times.
TEST_P(RealFsProbeTest, AttributeCallsAnswerAsKnown) {
  const DriverFacts& want = GetParam();
  RealFs fs(want.kind);
  REAL_FS_OR_SKIP(fs);
  const std::string file = fs.Path("a.txt");
  ASSERT_EQ(Create(file), 0);
  EXPECT_EQ(ErrnoOf(chmod(file.c_str(), 0600)), want.chmod_errno);
  int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  EXPECT_EQ(ErrnoOf(fchmod(fd, 0640)), want.chmod_errno);
  EXPECT_EQ(ErrnoOf(fchown(fd, 0, 0)), want.chown_root_errno);
  EXPECT_EQ(ErrnoOf(fsetxattr(fd, "user.tavrik", "1", 1, 0)), ENOTSUP);
  struct timespec ts[2] = {{1500000001, 123456789}, {1500000001, 123456789}};
  EXPECT_EQ(ErrnoOf(futimens(fd, ts)), 0);
  close(fd);
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ((st.st_mode & 07777) == 0640, want.keeps_mode) << std::oct << st.st_mode;
}

// Catches a change in the stored time resolution (after a remount every time must be the
// one set, rounded down to the driver's step, never later) and in the FAT driver's habit of
// stamping a renamed file with the current time, which a copy has to undo after its rename.
TEST_P(RealFsProbeTest, StoredTimesAfterRemountAndRename) {
  const DriverFacts& want = GetParam();
  RealFs fs(want.kind);
  REAL_FS_OR_SKIP(fs);
  const struct {
    const char* name;
    time_t sec;
    long nsec;
  } cases[] = {{"odd.txt", 1500000001, 0},
               {"sub.txt", 1500000002, 999999999},
               {"odd-sub.txt", 1500000003, 500000000}};
  for (const auto& c : cases) {
    ASSERT_EQ(Create(fs.Path(c.name)), 0) << c.name;
    ASSERT_EQ(SetMtime(fs.Path(c.name), c.sec, c.nsec), 0) << c.name;
  }
  ASSERT_EQ(Create(fs.Path("target.txt"), "old"), 0);
  ASSERT_EQ(Create(fs.Path("moved.tmp"), "new"), 0);
  ASSERT_EQ(SetMtime(fs.Path("moved.tmp"), 1400000000, 0), 0);
  ASSERT_EQ(ErrnoOf(rename(fs.Path("moved.tmp").c_str(), fs.Path("target.txt").c_str())), 0);
  EXPECT_EQ(MtimeOf(fs.Path("target.txt")).tv_sec == 1400000000, want.rename_keeps_time);
  ASSERT_EQ(SetMtime(fs.Path("target.txt"), 1400000000, 0), 0);  // the copy's repair

  ASSERT_TRUE(fs.Remount()) << fs.why();
  for (const auto& c : cases) {
    struct timespec got = MtimeOf(fs.Path(c.name));
    EXPECT_EQ(got.tv_sec, c.sec - c.sec % want.stored_step) << c.name;
    EXPECT_EQ(got.tv_nsec, 0) << c.name;
  }
  EXPECT_EQ(MtimeOf(fs.Path("target.txt")).tv_sec, 1400000000);
  EXPECT_EQ(ReadAll(fs.Path("target.txt")), "new");
}

// Catches a change in case folding (two names differing in case must collide on FAT and
// exFAT) and in which names the medium refuses and with which errno.
TEST_P(RealFsProbeTest, NamesCaseAndRefusals) {
  const DriverFacts& want = GetParam();
  RealFs fs(want.kind);
  REAL_FS_OR_SKIP(fs);
  ASSERT_EQ(Create(fs.Path("Report.txt"), "upper"), 0);
  struct stat st {};
  EXPECT_EQ(stat(fs.Path("report.txt").c_str(), &st) == 0, want.case_insensitive);
  EXPECT_EQ(Create(fs.Path("REPORT.TXT"), "other"), want.case_insensitive ? EEXIST : 0);
  EXPECT_EQ(ReadAll(fs.Path("Report.txt")), "upper");

  for (const char* name : {"a:b", "a?b", "a*b", "a\"b", "a<b", "a>b", "a|b", "a\\b"})
    EXPECT_EQ(Create(fs.Path(name)), want.reserved_char_errno) << name;
  // Trailing dots and blanks get through every one of these drivers, name unchanged.
  for (const char* name : {"dot.", "blank "}) {
    EXPECT_EQ(Create(fs.Path(name)), 0) << name;
    EXPECT_EQ(stat(fs.Path(name).c_str(), &st), 0) << name;
  }
  EXPECT_EQ(Create(fs.Path("Gr\xC3\xBC\xC3\x9F"
                           "e.txt")),
            want.non_ascii_errno);
  EXPECT_EQ(Create(fs.Path("Gru\xCC\x88\xC3\x9F"
                           "e-nfd.txt")),
            want.non_ascii_errno);
}

// Catches a driver that stops replacing an existing file by rename, starts or stops
// allowing hard links, changes its mount type (the product learns resolution from it) or
// whose copy_file_range stops copying.
TEST_P(RealFsProbeTest, RenameLinkMountTypeAndCopyRange) {
  const DriverFacts& want = GetParam();
  RealFs fs(want.kind);
  REAL_FS_OR_SKIP(fs);
  EXPECT_EQ(real_fs_detail::MountType(fs.Dir()), fs.ExpectedMountType());
  struct statfs sf {};
  ASSERT_EQ(statfs(fs.Dir().c_str(), &sf), 0);
  EXPECT_EQ(static_cast<long>(sf.f_type), kFuseSuperMagic);

  ASSERT_EQ(Create(fs.Path("old.txt"), "old"), 0);
  ASSERT_EQ(Create(fs.Path("new.tmp"), "replacement"), 0);
  EXPECT_EQ(ErrnoOf(rename(fs.Path("new.tmp").c_str(), fs.Path("old.txt").c_str())), 0);
  EXPECT_EQ(ReadAll(fs.Path("old.txt")), "replacement");
  EXPECT_NE(access(fs.Path("new.tmp").c_str(), F_OK), 0);
  EXPECT_EQ(ErrnoOf(link(fs.Path("old.txt").c_str(), fs.Path("hard.txt").c_str())),
            want.link_errno);

  const std::string payload(100000, 'x');
  ASSERT_EQ(Create(fs.Path("src.bin"), payload), 0);
  int in = open(fs.Path("src.bin").c_str(), O_RDONLY | O_CLOEXEC);
  int out = open(fs.Path("dst.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(in, 0);
  ASSERT_GE(out, 0);
  size_t copied = 0;
  while (copied < payload.size()) {
    ssize_t n = copy_file_range(in, nullptr, out, nullptr, payload.size() - copied, 0);
    ASSERT_GT(n, 0) << std::strerror(errno);
    copied += static_cast<size_t>(n);
  }
  close(in);
  close(out);
  EXPECT_EQ(ReadAll(fs.Path("dst.bin")), payload);
}

// Catches a teardown that leaves the mount, the loop device or the server behind, and a
// remount that loses what was written.
TEST_P(RealFsProbeTest, TeardownLeavesNothingMounted) {
  const DriverFacts& want = GetParam();
  std::string dir;
  {
    RealFs fs(want.kind);
    REAL_FS_OR_SKIP(fs);
    dir = fs.Dir();
    ASSERT_EQ(Create(fs.Path("kept.txt"), "kept"), 0);
    ASSERT_TRUE(fs.Remount()) << fs.why();
    EXPECT_EQ(ReadAll(fs.Path("kept.txt")), "kept");
    ASSERT_TRUE(fs.Unmount()) << fs.why();
    EXPECT_EQ(real_fs_detail::MountType(dir), "");
    ASSERT_TRUE(fs.Mount()) << fs.why();
    EXPECT_EQ(ReadAll(fs.Path("kept.txt")), "kept");
  }
  EXPECT_EQ(real_fs_detail::MountType(dir), "");
  const std::string work = dir.substr(0, dir.rfind('/'));
  EXPECT_NE(access(work.c_str(), F_OK), 0) << "the work folder stayed";
  for (const auto& dev : std::filesystem::directory_iterator("/sys/block")) {
    std::string backing = real_fs_detail::ReadText(dev.path().string() + "/loop/backing_file");
    EXPECT_NE(backing.rfind(work, 0), 0u) << dev.path() << " still holds the image";
  }
}

INSTANTIATE_TEST_SUITE_P(real_fs, RealFsProbeTest, ::testing::ValuesIn(kFacts),
                         [](const auto& info) { return std::string(RealFsName(info.param.kind)); });

}  // namespace
}  // namespace tavrik::testing
