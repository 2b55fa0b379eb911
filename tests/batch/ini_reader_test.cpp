#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "batch/ini_reader.h"
#include "support/temp_tree.h"

namespace tavrik {
namespace {

using testing::TempTree;

// Catches missing files, folders or special files failing instead of giving the default,
// and a FIFO blocking the read forever.
TEST(IniReaderTest, AnythingButARegularFileGivesTheDefault) {
  TempTree t;
  t.Mkdir("folder");
  ASSERT_EQ(mkfifo(t.Path("fifo").c_str(), 0600), 0);
  IniReader reader(RealFileSystem());
  EXPECT_EQ(reader.ReadIniString("Pfade", "Links", "dflt", t.Path("missing.ini")), "dflt");
  EXPECT_EQ(reader.ReadIniString("Pfade", "Links", "dflt", t.Path("folder")), "dflt");
  EXPECT_EQ(reader.ReadIniString("Pfade", "Links", "dflt", t.Path("fifo")), "dflt");
  EXPECT_EQ(reader.ReadIniString("Pfade", "Links", "", "/dev/zero"), "");
  t.Write("empty.ini", "");
  EXPECT_EQ(reader.ReadIniString("Pfade", "Links", "dflt", t.Path("empty.ini")), "dflt");
}

// Catches the empty file name not falling back to the file named last, or a memory
// shared between readers.
TEST(IniReaderTest, EmptyFileNameReadsTheFileRememberedLast) {
  TempTree t;
  std::string a = t.Write("a.ini", "[S]\nK=from a\n");
  std::string b = t.Write("b.ini", "[S]\nK=from b\n");
  IniReader reader(RealFileSystem());
  EXPECT_EQ(reader.ReadIniString("S", "K", "", ""), "");
  EXPECT_EQ(reader.ReadIniString("S", "K", "", a), "from a");
  EXPECT_EQ(reader.ReadIniString("S", "K", "", ""), "from a");
  EXPECT_EQ(reader.ReadIniString("S", "K", "", b), "from b");
  EXPECT_EQ(reader.ReadIniString("S", "K", "", ""), "from b");
  IniReader other(RealFileSystem());
  EXPECT_EQ(other.ReadIniString("S", "K", "none", ""), "none");
}

// Catches a reader that keeps answering from a file that has changed since it read it.
TEST(IniReaderTest, ChangedFileIsReadAgain) {
  TempTree t;
  std::string name = t.Write("c.ini", "[S]\nK=one\n", 1000000000);
  IniReader reader(RealFileSystem());
  EXPECT_EQ(reader.ReadIniString("S", "K", "", name), "one");
  t.Write("c.ini", "[S]\nK=two\n", 1000000100);  // same size, new time
  EXPECT_EQ(reader.ReadIniString("S", "K", "", name), "two");
  t.Write("d.ini", "[S]\nK=three\n");
  ASSERT_EQ(std::rename(t.Path("d.ini").c_str(), name.c_str()), 0);
  EXPECT_EQ(reader.ReadIniString("S", "K", "", name), "three");
  ASSERT_EQ(unlink(name.c_str()), 0);
  EXPECT_EQ(reader.ReadIniString("S", "K", "gone", name), "gone");
}

// Catches long lines and large files truncated, skipped or misread: the keys behind a
// line of 100,000 characters and behind 100 MB of short lines are still found.
TEST(IniReaderTest, LongLinesAndLargeFiles) {
  TempTree t;
  std::string name =
      t.Write("long.ini", "[Pfade]\nJunk=" + std::string(100000, 'j') + "\nLinks=/l\n");
  IniReader reader(RealFileSystem());
  EXPECT_EQ(reader.ReadIniString("Pfade", "Links", "", name), "/l");
  EXPECT_EQ(reader.ReadIniString("Pfade", "Junk", "", name).size(), kMaxIniValueChars);

  std::string block;
  for (int i = 0; i < 4096; ++i) block += "key" + std::to_string(i % 97) + "=v\n";
  std::string big = "[AutoStart]\n";
  while (big.size() < (100u << 20)) big += block;
  big += "Ende=1\n[Pfade]\nLinks=/big\n";
  name = t.Write("big.ini", big);
  EXPECT_EQ(reader.ReadIniString("AutoStart", "Ende", "", name), "1");
  EXPECT_EQ(reader.ReadIniString("Pfade", "Links", "", name), "/big");
  EXPECT_EQ(reader.ReadIniString("AutoStart", "Abgleich", "off", name), "off");
}

// Catches a file of NUL bytes without any line end read as one endless key, or a file
// beyond the size limit exhausting memory.
TEST(IniReaderTest, NulFilesAndOversizedFilesReadAsMissingKeys) {
  TempTree t;
  std::string zeros = t.Write("zeros.ini", "");
  ASSERT_EQ(truncate(zeros.c_str(), 100 << 20), 0);
  IniReader reader(RealFileSystem());
  EXPECT_EQ(reader.ReadIniString("Pfade", "Links", "dflt", zeros), "dflt");
  std::string huge = t.Write("huge.ini", "[Pfade]\nLinks=/h\n");
  ASSERT_EQ(truncate(huge.c_str(), kMaxIniFileBytes + 1), 0);
  EXPECT_EQ(reader.ReadIniString("Pfade", "Links", "dflt", huge), "dflt");
}

}  // namespace
}  // namespace tavrik
