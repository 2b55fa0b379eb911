// The window's two folders on another machine: reached through a command that stands in for
// ssh (tavrik-cli serve run locally), so no sshd is needed.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/compare/compare.h"
#include "core/sync/sync.h"
#include "support/temp_tree.h"
#include "ui_fixture.h"

namespace tavrik {
namespace {

using testing::TempTree;
using testing::UiTest;

std::string StandIn(const TempTree& t) {
  const std::string bin = t.Mkdir("bin");
  std::error_code ec;
  std::filesystem::create_symlink(TAVRIK_BIN_DIR "/tavrik-cli", bin + "/tavrik-cli", ec);
  const std::string path = t.Path("ssh");
  std::ofstream(path) << "#!/bin/sh\n"
                      << "while [ \"$1\" = -p ]; do shift 2; done\n"
                      << "[ \"$1\" = kaputt ] && exit 255\n"
                      << "shift\n"
                      << "PATH=" << bin << ":$PATH exec \"$@\"\n";
  chmod(path.c_str(), 0755);
  return path;
}

QString Q(const std::string& text) { return QString::fromStdString(text); }

// Catches a far folder of the window's command line read from this machine's disk (or not at
// all), its column header showing the far end's path instead of the name as given, a
// comparison or sync that does not reach the far files, a connection that fails without the
// console's words in a box, and a failed second folder that leaves the first one's root
// switched under a list that still shows the old one.
TEST_F(UiTest, TheWindowFillsComparesAndSyncsAFarFolder) {
  if (!std::filesystem::exists(TAVRIK_BIN_DIR "/tavrik-cli"))
    GTEST_SKIP() << "tavrik-cli is not built beside the window";
  const struct {
    const char* what;
    bool far_left;
  } cases[] = {{"far right", false}, {"far left", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempTree t;
    t.Write("L/a.txt", "new", 2000000000);
    t.Write("R/a.txt", "old", 1000000000);
    t.Write("R/nur-rechts.txt", "r", 1000000000);
    TearDown();
    SetUp();
    boxes.clear();
    form->State().far_access.has_ssh = true;
    form->State().far_access.ssh = StandIn(t);
    form->Load("");
    const std::string left = c.far_left ? "nas:" + t.Path("L") : t.Path("L");
    const std::string right = c.far_left ? t.Path("R") : "ssh://nas" + t.Path("R");
    form->OpenFolders(Q(left), Q(right));
    ASSERT_TRUE(boxes.empty()) << boxes.front().text;
    EXPECT_EQ(form->List().Header(1), left + "/");
    EXPECT_EQ(form->List().Header(3), right + "/");
    ASSERT_EQ(form->List().RowCount(), 2);
    CompareFolders(form->Ctx(), false);
    int row = 1;
    while (row < form->List().RowCount() && form->List().LeftName(row) != "a.txt") ++row;
    EXPECT_EQ(form->List().GetMark(row), Mark::kCopyRight);
    SyncFolders(form->Ctx());
    EXPECT_EQ(t.Read("R/a.txt"), "new");
  }
  // A second folder that cannot be reached leaves the roots of the list as they were.
  const FileSystem* left_fs = form->Ctx().left_fs;
  ASSERT_NE(left_fs, nullptr);
  boxes.clear();
  form->OpenFolders(Q("nas:/"), Q("kaputt:/"));
  EXPECT_EQ(boxes.size(), 1u);
  EXPECT_EQ(form->Ctx().left_fs, left_fs);
  EXPECT_EQ(form->State().far_fs[0].get(), left_fs);
  TempTree t;
  t.Mkdir("L");
  boxes.clear();
  form->State().far_access.ssh = t.Path("kein-ssh");
  form->OpenFolders(Q(t.Path("L")), Q("nas:" + t.Path("L")));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text.rfind("nas:" + t.Path("L") + ": Das Programm " + t.Path("kein-ssh") +
                                    " lässt sich nicht starten",
                                0),
            0u)
      << boxes[0].text;
}

}  // namespace
}  // namespace tavrik
