#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "batch/run_batch.h"
#include "batch_fixture.h"
#include "support/age_trees.h"

namespace tavrik {
namespace {

using testing::BatchSession;
using testing::ControlText;
using testing::FakeHost;
using testing::TempTree;

const std::string kStatusPrefix = "Status: ";

// Writes the steps of a batch run into one ordered log, with the batch-active flag as it
// stands when the program is ended.
class StepHost : public FakeHost {
 public:
  void ShowStatus(int panel, const std::string& text) override {
    FakeHost::ShowStatus(panel, text);
    if (text == kStatusPrefix + "Aufstellung der Dateien im betr. Verzeichnis läuft ...")
      steps.push_back("fill");
    if (text == kStatusPrefix + "Binärvergleich läuft ...") steps.push_back("compare binary");
    if (text == kStatusPrefix + "Altersvergleich läuft ...") steps.push_back("compare age");
    if (text == kStatusPrefix + "Datenabgleich läuft ...") steps.push_back("sync");
  }
  void SelectCompareMode(int index) override {
    FakeHost::SelectCompareMode(index);
    steps.push_back("mode " + std::to_string(index));
  }
  MsgAnswer Tell(const Message& message) override {
    steps.push_back(message.intent == Intent::kInformation ? "result box" : "other box");
    return FakeHost::Tell(message);
  }
  void SetClipboardText(const std::string& text) override {
    FakeHost::SetClipboardText(text);
    steps.push_back("clipboard");
  }
  void EndProgram() override {
    FakeHost::EndProgram();
    steps.push_back(std::string("end, batch ") + (state->batch_active ? "active" : "inactive"));
  }

  const SharedState* state = nullptr;
  std::vector<std::string> steps;
};

struct Session : BatchSession<StepHost> {
  Session() { host.state = &state; }
};

using Steps = std::vector<std::string>;

// The age-comparison trees with the control file that runs on them.
struct Trees : testing::AgeTrees {
  std::string Run(Session& s, const std::string& autostart) {
    std::string name = t.Write("steuer.ini", ControlText(left, right, autostart));
    RunBatch(s.ctx, name);
    return name;
  }
};

// Catches a step run out of order, a comparison in the wrong mode, a result box that
// would stop an unattended run, or the program ended before the synchronisation.
// Needs the real synchronisation run.
TEST(RunBatchActionsTest, AgeComparisonSyncAndEndRunInOrderWithoutABox) {
  Trees trees;
  Session s;
  trees.Run(s, "Altersvergleich=1\nAbgleich=1\nEnde=1\n");
  EXPECT_EQ(s.host.steps,
            (Steps{"mode 1", "fill", "fill", "compare age", "sync", "end, batch active"}));
  EXPECT_FALSE(s.state.batch_active);
  EXPECT_EQ(trees.t.Read("rechts/neu.txt"), "left new");
  EXPECT_EQ(trees.t.Read("links/alt.txt"), "right new");
  EXPECT_EQ(s.list.RowCount(), 0) << "every handled row leaves the list";
}

// Catches the clipboard taken before the comparison's marks are in, or the result box
// suppressed when neither synchronisation nor the end follows.
TEST(RunBatchActionsTest, ClipboardOnlyShowsTheResultBoxFirst) {
  Trees trees;
  Session s;
  trees.Run(s, "Altersvergleich=1\nZwischenablage=1\n");
  EXPECT_EQ(s.host.steps,
            (Steps{"mode 1", "fill", "fill", "compare age", "result box", "clipboard"}));
  EXPECT_EQ(s.host.clipboard,
            "\t? <--\tnur-rechts.txt\r\n"
            "alt.txt\t<--\talt.txt\r\n"
            "gleich.txt\t=\tgleich.txt\r\n"
            "neu.txt\t-->\tneu.txt\r\n"
            "nur-links.txt\t? -->\t\r\n");
  EXPECT_EQ(s.host.ended, 0);
  EXPECT_FALSE(s.state.batch_active);
  EXPECT_EQ(s.list.RowCount(), 5) << "the window stays with the list as the run left it";
}

// Catches the clipboard filled after the synchronisation has emptied the list: it must
// carry the comparison's marks. Needs the real synchronisation run.
TEST(RunBatchActionsTest, ClipboardComesBeforeTheSync) {
  Trees trees;
  Session s;
  trees.Run(s, "Altersvergleich=1\nZwischenablage=1\nAbgleich=1\n");
  EXPECT_EQ(s.host.steps, (Steps{"mode 1", "fill", "fill", "compare age", "clipboard", "sync"}));
  EXPECT_NE(s.host.clipboard.find("neu.txt\t-->\tneu.txt\r\n"), std::string::npos);
  EXPECT_EQ(s.list.RowCount(), 0);
  EXPECT_EQ(trees.t.Read("rechts/neu.txt"), "left new");
}

// Catches the result box shown although the run goes on unattended (sync or end), and
// the binary option not selected for a binary request.
TEST(RunBatchActionsTest, NoResultBoxWhenSyncOrEndFollows) {
  {
    Trees trees;
    Session s;
    trees.Run(s, "Binärvergleich=1\nZwischenablage=1\nEnde=1\n");
    EXPECT_EQ(s.host.steps, (Steps{"mode 0", "fill", "fill", "compare binary", "clipboard",
                                   "end, batch active"}));
  }
  {
    Trees trees;
    Session s;
    s.host.binary_mode = false;  // the run must select the option itself
    trees.Run(s, "Binärvergleich=1\nZwischenablage=1\n");
    EXPECT_EQ(s.host.steps,
              (Steps{"mode 0", "fill", "fill", "compare binary", "result box", "clipboard"}));
  }
  {
    Trees trees;
    Session s;
    trees.Run(s, "Altersvergleich=1\nAbgleich=1\n");
    EXPECT_TRUE(s.host.boxes.empty());
    EXPECT_EQ(s.host.ended, 0);
    EXPECT_FALSE(s.state.batch_active);
  }
}

// Catches the immediate comparison after the right fill firing during a batch run (the
// batch run alone decides), and actions run that nobody asked for.
TEST(RunBatchActionsTest, ValidFoldersWithoutRequestsOnlyFill) {
  Trees trees;
  Session s;
  s.host.sofort_start = true;
  trees.Run(s, "");
  EXPECT_EQ(s.host.steps, (Steps{"fill", "fill"}));
  EXPECT_EQ(s.list.Header(1), trees.left + "/");
  EXPECT_EQ(s.list.Header(3), trees.right + "/");
  EXPECT_EQ(s.list.RowCount(), 5);
  EXPECT_EQ(s.host.clipboard_sets, 0);
  EXPECT_FALSE(s.state.batch_active);
}

// Catches the right folder's files put into column 1 when the left folder holds no file:
// the roots of the list would no longer be the control file's, and a sync of the age
// comparison's arrows would copy the wrong way.
TEST(RunBatchActionsTest, EmptyLeftFolderKeepsTheRightFilesInColumnThree) {
  TempTree t;
  const std::string left = t.Mkdir("leer");
  t.Write("voll/a.txt", "a");
  Session s;
  RunBatch(s.ctx, t.Write("steuer.ini", ControlText(left, t.Path("voll"), "Altersvergleich=1")));
  ASSERT_EQ(s.list.RowCount(), 1);
  EXPECT_EQ(s.list.LeftName(1), "");
  EXPECT_EQ(s.list.RightName(1), "a.txt");
  EXPECT_EQ(s.list.GetMark(1), Mark::kOrphanCopyLeft);
  EXPECT_EQ(s.list.Header(1), left + "/");
  EXPECT_EQ(s.list.Header(3), t.Path("voll/"));
  EXPECT_EQ(s.state.left_root.str(), left + "/");
  EXPECT_EQ(s.state.right_root.str(), t.Path("voll/"));
}

}  // namespace
}  // namespace tavrik
