// The hour on FAT media: a FAT root whose times stand a whole number of hours off their
// twins (local wall time after a change of the clocks, or in another time zone) is
// corrected pair by pair, on an in-memory stick and through the real FAT driver mounted
// under a time zone one hour apart.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "core/compare/compare.h"
#include "core/scan/fill.h"
#include "support/fake_host.h"
#include "support/mem_file_system.h"
#include "support/real_fs.h"
#include "support/session.h"
#include "support/temp_tree.h"
#include "support/time_zone.h"

namespace tavrik::testing {
namespace {

constexpr int64_t kBase = 1700000000;
constexpr int64_t kHour = 3600;

// Two roots in memory: /l on the system disk, /r mounted as the given type.
class MemPair {
 public:
  MemPair(const std::string& left_type, const std::string& right_type) {
    mem.Mount("/l", left_type, left_type == "vfat" ? 2000000000 : 1);
    mem.Mount("/r", right_type, right_type == "vfat" ? 2000000000 : 1);
  }
  // A pair: size by content, the right file d seconds off the left one.
  void Pair(const std::string& name, const std::string& left, const std::string& right,
            int64_t left_time, int64_t d) {
    mem.AddFile("/l/" + name, left, left_time);
    mem.AddFile("/r/" + name, right, left_time + d);
  }
  // Fills and compares by age; the marks by name.
  std::map<std::string, std::string> Compare(bool correction = true) {
    list.Clear();
    state.compare_options.hour_correction = correction;
    bool left = true;
    FillColumn(ctx, "/l", left);
    left = false;
    FillColumn(ctx, "/r", left);
    CompareFolders(ctx, false);
    std::map<std::string, std::string> marks;
    for (int i = 1; i <= list.RowCount(); ++i)
      marks[std::string(list.LeftName(i))] = std::string(MarkText(list.GetMark(i)));
    return marks;
  }
  int Count(const std::map<std::string, std::string>& marks, const std::string& mark) const {
    int n = 0;
    for (const auto& [name, m] : marks) n += m == mark;
    return n;
  }

  MemFileSystem mem;
  ComparisonList list;
  SharedState state;
  FakeHost host;
  Context ctx{list, state, host, mem};
};

// Catches a shift that is not found or not applied, "=" for pairs of different sizes, an
// arrow (and so a copy from the stick) where the shift turns a pair's order round, arrows
// taken away where the order stands either way, and a correction that cannot be switched off.
TEST(HourShiftTest, AShiftedFatRootIsCorrectedPairByPair) {
  MemPair p("tmpfs", "vfat");
  for (int i = 0; i < 24; ++i)  // odd seconds too: the stick keeps even ones
    p.Pair(std::string("s").append(std::to_string(i)), "same", "same", kBase + 2 * i + (i % 2),
           kHour);
  p.Pair("same", "abc", "abc", kBase, 0);
  p.Pair("flip", "abc", "abcd", kBase, kHour / 2);
  p.Pair("flipeq", "abc", "xyz", kBase, kHour / 2);
  p.Pair("exact", "abc", "abcd", kBase, kHour);
  p.Pair("far", "abc", "abcd", kBase, 2 * kHour);
  p.Pair("older", "abc", "abcd", kBase, -600);
  std::map<std::string, std::string> marks = p.Compare();
  EXPECT_EQ(p.Count(marks, "="), 25);
  for (const char* name : {"flip", "flipeq", "exact"}) EXPECT_EQ(marks[name], "?") << name;
  EXPECT_EQ(marks["far"], "<--");
  EXPECT_EQ(marks["older"], "-->");
  EXPECT_EQ(p.state.notes.shifted_side, 2);
  EXPECT_EQ(p.state.notes.shift_hours, 1);
  EXPECT_EQ(p.state.notes.undecided, 3);
  ASSERT_EQ(p.host.boxes.size(), 1u);
  EXPECT_EQ(p.host.boxes[0].text,
            "Ergebnis des Versionsvergleichs von 30 Dateien:\r\r"
            "5 Dateien haben ein unterschiedliches Alter.\r25 Dateien haben ein gleiches Alter.\r");

  marks = p.Compare(false);
  EXPECT_EQ(p.Count(marks, "<--"), 28);
  EXPECT_EQ(p.state.notes.shifted_side, 0);
}

// Catches a shift believed on too few pairs or too small a majority, one applied where
// both roots store local time alike or where exFAT keeps the offset, and the side and sign
// of a shifted left root.
TEST(HourShiftTest, NoShiftWithoutAClearMajorityOfEnoughPairsOnOneFatRoot) {
  struct Case {
    const char* what;
    const char* left_type;
    const char* right_type;
    int shifted;
    int other;
    int64_t d;
    int side;
    int hours;
  };
  const Case cases[] = {
      {"18 of 20 (90 %)", "tmpfs", "vfat", 18, 2, kHour, 2, 1},
      {"17 of 20 (85 %)", "tmpfs", "vfat", 17, 3, kHour, 0, 0},
      {"19 pairs", "tmpfs", "vfat", 19, 0, kHour, 0, 0},
      {"both FAT", "vfat", "vfat", 25, 0, kHour, 0, 0},
      {"exFAT", "tmpfs", "exfat", 25, 0, kHour, 0, 0},
      {"left FAT two hours behind", "vfat", "tmpfs", 25, 0, 2 * kHour, 1, -2},
      {"half an hour", "tmpfs", "vfat", 25, 0, kHour / 2, 0, 0},
  };
  for (const Case& c : cases) {
    MemPair p(c.left_type, c.right_type);
    for (int i = 0; i < c.shifted; ++i)
      p.Pair(std::string("s").append(std::to_string(i)), "x", "x", kBase + 2 * i, c.d);
    for (int i = 0; i < c.other; ++i)
      p.Pair(std::string("o").append(std::to_string(i)), "x", "x", kBase + 2 * i, 20 * 60);
    std::map<std::string, std::string> marks = p.Compare();
    EXPECT_EQ(p.state.notes.shifted_side, c.side) << c.what;
    EXPECT_EQ(p.state.notes.shift_hours, c.hours) << c.what;
    EXPECT_EQ(p.Count(marks, "="), c.side ? c.shifted : 0) << c.what;
  }
}

// Catches a share taken over all pairs of equal size: on a stick partly synced since the
// clocks changed, the pairs already in line outvote the shifted ones, no shift is found, and
// a file edited on the disk after its copy looks older than the stick's copy ("<--").
TEST(HourShiftTest, AStickPartlySyncedSinceTheChangeIsCorrected) {
  struct Case {
    const char* what;
    int64_t shift;
    std::string edited_right;  // the stick's copy; the disk holds "abcd"
    const char* edited_mark;
  };
  const Case cases[] = {
      {"stick an hour ahead, same size", kHour, "abce", "?"},
      {"stick an hour ahead, other size", kHour, "abc", "?"},
      {"stick an hour behind, same size", -kHour, "abce", "-->"},
      {"stick an hour behind, other size", -kHour, "abc", "-->"},
  };
  for (const Case& c : cases) {
    MemPair p("tmpfs", "vfat");
    for (int i = 0; i < 3; ++i)
      p.Pair(std::string("new").append(std::to_string(i)), "x", "x", kBase + 2 * i + 1, 0);
    for (int i = 0; i < 20; ++i)
      p.Pair(std::string("old").append(std::to_string(i)), "x", "x", kBase + 2 * i, c.shift);
    // Copied at kBase, edited on the disk half an hour later.
    p.Pair("edited", "abcd", c.edited_right, kBase + 1800, c.shift - 1800);
    std::map<std::string, std::string> marks = p.Compare();
    EXPECT_EQ(p.Count(marks, "="), 23) << c.what;
    EXPECT_EQ(marks["edited"], c.edited_mark) << c.what;
    EXPECT_EQ(p.state.notes.shifted_side, 2) << c.what;
    EXPECT_EQ(p.state.notes.shift_hours, c.shift / kHour) << c.what;
  }
}

// Catches the same share through the real FAT driver (fusefat). The stick's old files are
// written under UTC, then the clocks go back an hour (the driver runs under UTC+1 and reads
// every stored wall time as an hour later). fusefat stores universal wall time but reads it
// back as local time, so what it writes itself after the change shows the shift as well: the
// whole stick is shifted, and any share corrects it. That is the stick a first check on this
// driver made. A camera, another system or the kernel's driver stores the new zone's wall
// time: those copies are in line, and only the share among the differing pairs finds the shift.
TEST(HourShiftTest, RealFatPartlySyncedSinceTheChangeIsCorrected) {
  struct Case {
    const char* what;
    int64_t new_written;  // the time given to the driver for the copies made after the change
    int64_t new_shown;    // the time it then shows for them
  };
  const Case cases[] = {
      {"copied since through this driver", kBase, kBase + kHour},
      {"copied since by a device keeping local time", kBase - kHour, kBase},
  };
  for (const Case& c : cases) {
    RealFs fat(RealFsKind::kFat);
    REAL_FS_OR_SKIP(fat);
    TempTree local;
    TimeZone zone("UTC");
    ASSERT_TRUE(fat.Remount()) << fat.why();
    for (int i = 0; i < 20; ++i) {
      const std::string name = std::string("old").append(std::to_string(i));
      local.Write("L/" + name, "x", kBase + 2 * i);
      WriteAt(fat.Path(name), "x", kBase + 2 * i);
    }
    WriteAt(fat.Path("edited"), "abce", kBase);
    local.Write("L/edited", "abcd", kBase + 1800);
    zone.Set("UTC+1");
    ASSERT_TRUE(fat.Remount()) << fat.why();
    for (int i = 0; i < 3; ++i) {
      const std::string name = std::string("new").append(std::to_string(i));
      local.Write("L/" + name, "x", kBase + 2 * i);
      WriteAt(fat.Path(name), "x", c.new_written + 2 * i);
    }
    ASSERT_TRUE(fat.Remount()) << fat.why();
    struct stat st {};
    ASSERT_EQ(stat(fat.Path("old0").c_str(), &st), 0);
    ASSERT_EQ(st.st_mtime, kBase + kHour) << "the driver no longer converts local time";
    ASSERT_EQ(stat(fat.Path("new0").c_str(), &st), 0);
    ASSERT_EQ(st.st_mtime, c.new_shown) << c.what;

    Session s;
    s.Fill(local.Path("L"), true);
    s.Fill(fat.Dir(), false);
    CompareFolders(s.ctx, false);
    ASSERT_EQ(s.list.RowCount(), 24) << c.what;
    for (int i = 1; i <= s.list.RowCount(); ++i) {
      const std::string name(s.list.LeftName(i));
      EXPECT_EQ(std::string(MarkText(s.list.GetMark(i))), name == "edited" ? "?" : "=")
          << c.what << name;
    }
    EXPECT_EQ(s.state.notes.shifted_side, 2) << c.what;
    EXPECT_EQ(s.state.notes.shift_hours, 1) << c.what;
  }
}

// Catches the assumption that the FAT driver in user space keeps universal time: it turns
// the stored local time into universal time by its own time zone, so a stick mounted one
// hour further east shows every file one hour older, and only the correction keeps the
// pairs "=".
TEST(HourShiftTest, RealFatMountedOneTimeZoneFurtherEast) {
  RealFs fat(RealFsKind::kFat);
  REAL_FS_OR_SKIP(fat);
  TempTree local;
  TimeZone zone("UTC");
  ASSERT_TRUE(fat.Remount()) << fat.why();
  for (int i = 0; i < 25; ++i) {
    const std::string name = "f" + std::to_string(i) + ".txt";
    local.Write("L/" + name, "content " + std::to_string(i), kBase + 2 * i);
    std::ofstream(fat.Path(name)) << "content " << i;
    struct timespec times[2] = {{kBase + 2 * i, 0}, {kBase + 2 * i, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, fat.Path(name).c_str(), times, 0), 0);
  }
  // The driver started under UTC+1 reads the same wall times as one hour earlier.
  zone.Set("UTC-1");
  ASSERT_TRUE(fat.Remount()) << fat.why();
  struct stat st {};
  ASSERT_EQ(stat(fat.Path("f0.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, kBase - kHour) << "the driver no longer converts local time";

  Session s;
  s.state.compare_options.hour_correction = false;
  s.Fill(local.Path("L"), true);
  s.Fill(fat.Dir(), false);
  CompareFolders(s.ctx, false);
  for (int i = 1; i <= s.list.RowCount(); ++i)
    EXPECT_EQ(s.list.GetMark(i), Mark::kCopyRight) << s.list.LeftName(i);
  s.state.compare_options.hour_correction = true;
  CompareFolders(s.ctx, false);
  EXPECT_EQ(s.list.RowCount(), 25);
  for (int i = 1; i <= s.list.RowCount(); ++i)
    EXPECT_EQ(s.list.GetMark(i), Mark::kEqual) << s.list.LeftName(i);
  EXPECT_EQ(s.state.notes.shifted_side, 2);
  EXPECT_EQ(s.state.notes.shift_hours, -1);
  EXPECT_EQ(s.state.notes.undecided, 0);
}

}  // namespace
}  // namespace tavrik::testing
