#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "batch/run_batch.h"
#include "batch_fixture.h"
#include "core/fs/paths.h"

namespace tavrik {
namespace {

using testing::BatchSession;
using testing::ControlText;
using testing::CwdGuard;
using testing::ProblemBox;
using testing::TempTree;

const std::string kNoType =
    " * Sie haben einen Abgleich ohne Angabe des Vergleichstyps angefordert.\r";

std::string NotFound(const std::string& name) {
  return " * Die Steuerdatei ''" + name + "'' wurde nicht gefunden.\r";
}

std::string LeftMissing(const std::string& path) {
  return " * Der Verzeichnispfad ''" + path + "'' für die linke Spalte existiert nicht.\r";
}

std::string RightMissing(const std::string& path) {
  return " * Der Verzeichnispfad ''" + path + "'' für die rechte Spalte existiert nicht.\r";
}

// Runs the batch and returns the text of its problem box ("" when there was none).
// Boxes of the actions of an accepted file (a comparison's result) are no problems.
std::string ProblemsOf(const std::string& command_line) {
  BatchSession<> s;
  RunBatch(s.ctx, command_line);
  EXPECT_FALSE(s.state.batch_active);
  std::vector<std::string> problems;
  for (const auto& box : s.host.boxes)
    if (box.intent == Intent::kRefusal) problems.push_back(box.text);
  if (problems.empty()) return "";
  EXPECT_EQ(s.host.boxes.size(), 1u) << "nothing runs after the problem box";
  EXPECT_EQ(s.list.RowCount(), 0) << "a refused control file must fill nothing";
  return problems[0];
}

// Catches a batch run (or a box) started by an empty or blank command line.
TEST(RunBatchChecksTest, EmptyOrBlankCommandLineDoesNothing) {
  for (const char* line : {"", " ", "     "}) {
    BatchSession<> s;
    RunBatch(s.ctx, line);
    EXPECT_TRUE(s.host.boxes.empty()) << "'" << line << "'";
    EXPECT_TRUE(s.host.status_log.empty());
    EXPECT_FALSE(s.state.batch_active);
  }
}

// Catches the box text drifting from its exact wording, line breaks or framing.
TEST(RunBatchChecksTest, MissingControlFileGetsTheExactBoxText) {
  TempTree t;
  const std::string name = t.Path("fehlt.ini");
  EXPECT_EQ(ProblemsOf("  " + name + "  "),
            "Sie haben Tavrik 1.5 im Batch-Modus aufgerufen. Dabei kam es zu folgendem Fehler:"
            "\r\r * Die Steuerdatei ''" +
                name +
                "'' wurde nicht gefunden.\r\rDer Batch-Modus wird daher unterbrochen. Bitte "
                "überprüfen Sie Ihre Angaben und starten Sie erneut.");
}

// Catches quotes being removed, wildcards being expanded, or a folder read as a file.
TEST(RunBatchChecksTest, NamesAreTakenLiterally) {
  TempTree t;
  const std::string file = t.Write("steuer.ini", ControlText(t.Root(), t.Root()));
  const std::string quoted = "\"" + file + "\"";
  EXPECT_EQ(ProblemsOf(quoted), ProblemBox(NotFound(quoted)));
  EXPECT_EQ(ProblemsOf(t.Path("*.ini")), ProblemBox(NotFound(t.Path("*.ini"))));
  EXPECT_EQ(ProblemsOf(t.Path("steuer.in?")), ProblemBox(NotFound(t.Path("steuer.in?"))));
  const std::string folder = t.Mkdir("ordner");
  EXPECT_EQ(ProblemsOf(folder), ProblemBox(" * Der angegebene Name ''" + folder +
                                           "''bezeichnet ein Verzeichnis, keine Datei.\r"));
}

// Catches a bare name looked up in the working folder instead of the program's folder.
TEST(RunBatchChecksTest, BareNameIsLookedForInTheProgramFolder) {
  TempTree t;
  const std::string bare = "tavrik-bare-" + std::to_string(getpid()) + ".ini";
  t.Write(bare, ControlText(t.Root(), t.Root()));
  {
    CwdGuard cwd(t.Root());
    EXPECT_EQ(ProblemsOf(bare), ProblemBox(NotFound(AppPath() + bare)));
    // A backslash is part of a file name here, not a folder separator.
    EXPECT_EQ(ProblemsOf("sub\\" + bare), ProblemBox(NotFound(AppPath() + "sub\\" + bare)));
  }
  const std::string in_app = AppPath() + bare;
  {
    std::FILE* f = std::fopen(in_app.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const std::string text = ControlText(t.Root(), t.Root());
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  EXPECT_EQ(ProblemsOf(bare), "");
  std::remove(in_app.c_str());
}

// Catches a name with a folder part or a colon getting the program folder put in front.
TEST(RunBatchChecksTest, NameWithFolderPartOrColonIsUsedUnchanged) {
  TempTree t;
  t.Write("sub/steuer.ini", ControlText(t.Root(), t.Root()));
  t.Write("x:steuer.ini", ControlText(t.Root(), t.Root()));
  CwdGuard cwd(t.Root());
  EXPECT_EQ(ProblemsOf("sub/steuer.ini"), "");
  EXPECT_EQ(ProblemsOf("x:steuer.ini"), "");
  EXPECT_EQ(ProblemsOf("y:steuer.ini"), ProblemBox(NotFound("y:steuer.ini")));
}

// Catches folder values checked without their trailing separator, files taken for
// folders, and a missing key not reported with its empty path.
TEST(RunBatchChecksTest, FolderValuesAreChecked) {
  TempTree t;
  const std::string file = t.Write("datei.txt", "x");
  const std::string folder = t.Mkdir("ordner");
  auto problems = [&t](const std::string& text) { return ProblemsOf(t.Write("steuer.ini", text)); };
  EXPECT_EQ(problems(ControlText(folder, folder + "/")), "");
  EXPECT_EQ(problems("[Pfade]\nRechts=" + folder + "\n"), ProblemBox(LeftMissing("")));
  EXPECT_EQ(problems("[Pfade]\n"), ProblemBox(LeftMissing("") + RightMissing("")));
  EXPECT_EQ(problems(ControlText(file, t.Path("nichts"))),
            ProblemBox(" * Der Verzeichnispfad ''" + file +
                       "/'' für die linke Spalte bezeichnet eine Datei, keinen Ordner.\r" +
                       RightMissing(t.Path("nichts/"))));
  EXPECT_EQ(problems(ControlText(folder, file + "/")),
            ProblemBox(" * Der Verzeichnispfad ''" + file +
                       "/'' für die rechte Spalte bezeichnet eine Datei, keinen Ordner.\r"));
}

// Catches a line text, an order or a condition of the combination checks gone wrong:
// every combination that is refused, with its lines in their order, after the folders.
TEST(RunBatchChecksTest, RequestCombinations) {
  const std::string both =
      " * Sie haben sowohl Binär- als auch Altersvergleich angefordert - "
      "diese schliessen einander aus.\r";
  const std::string only_end =
      " * Sie haben keinen Vergleichstyps eingestellt, sondern nur das "
      "autom. Ende des Programms.\r";
  const std::string useless =
      " * In der jetzigen Einstellung haben Sie nichts vom "
      "Vergleichsergebnis, da das Programm ohne Abgleich und/oder "
      "Kopie in die Zwischenablage enden soll.\r";
  const std::string binary_sync = " * Ein Abgleich ist für Binärvergleiche nicht verfügbar.\r";
  struct Case {
    const char* autostart;
    std::string lines;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"Altersvergleich=1\nAbgleich=1\nEnde=1\n", ""},
      {"Binärvergleich=1\nZwischenablage=1\nEnde=1\n", ""},
      {"Altersvergleich=1\nZwischenablage=1\n", ""},
      {"Binärvergleich=1\nAltersvergleich=1\n", both},
      {"Binärvergleich=1\nAltersvergleich=1\nAbgleich=1\n", both + binary_sync},
      {"Abgleich=1\n", kNoType},
      {"Zwischenablage=1\n", kNoType},
      {"Abgleich=1\nZwischenablage=1\n", kNoType + kNoType},
      {"Ende=1\n", only_end},
      {"Abgleich=1\nZwischenablage=1\nEnde=1\n", kNoType + only_end + kNoType},
      {"Altersvergleich=1\nEnde=1\n", useless},
      {"Binärvergleich=-1\nEnde=2\n", useless},
      {"Binärvergleich=1\nAbgleich=1\n", binary_sync},
      {"Binärvergleich=1\nAbgleich=1\nEnde=1\n", binary_sync},
      {"Binärvergleich=1\nAltersvergleich=1\nEnde=1\n", both + useless},
      {"Altersvergleich=0,5\nEnde=1\n", only_end},
      {"Altersvergleich=0.5\nEnde=1\n", useless},
      {"Altersvergleich=ja\nAbgleich=true\nEnde=nein\n", ""},
  };
  TempTree t;
  const std::string folder = t.Mkdir("ordner");
  for (const auto& c : cases) {
    std::string name = t.Write("steuer.ini", ControlText(folder, folder, c.autostart));
    EXPECT_EQ(ProblemsOf(name), c.lines.empty() ? "" : ProblemBox(c.lines)) << c.autostart;
    name = t.Write("steuer.ini", ControlText("", folder, c.autostart));
    EXPECT_EQ(ProblemsOf(name), ProblemBox(LeftMissing("") + c.lines)) << c.autostart;
  }
}

// Catches the request flags left unset by a refused run or reset after it, and
// batch-active left on.
TEST(RunBatchChecksTest, RefusedRunKeepsTheRequestFlags) {
  TempTree t;
  BatchSession<> s;
  RunBatch(s.ctx, t.Write("steuer.ini", ControlText("", "", "Ende=1\nZwischenablage=1\n")));
  ASSERT_EQ(s.host.boxes.size(), 1u);
  EXPECT_FALSE(s.state.batch_active);
  EXPECT_TRUE(s.state.batch.end);
  EXPECT_TRUE(s.state.batch.clipboard);
  EXPECT_FALSE(s.state.batch.binary || s.state.batch.age || s.state.batch.sync);
  EXPECT_EQ(s.host.ended, 0);
  EXPECT_TRUE(s.host.mode_log.empty());
}

// Catches bad control files crashing the run or being read as something they are not:
// binary junk, NUL bytes, keys without "=", an 8-bit file, a repeated section.
TEST(RunBatchChecksTest, BadControlFilesReadAsMissingKeys) {
  TempTree t;
  const std::string folder = t.Mkdir("Bücher");
  std::string junk;
  for (int i = 0; i < 1 << 16; ++i) junk.push_back(static_cast<char>((i * 7919 + 13) % 251));
  EXPECT_EQ(ProblemsOf(t.Write("junk.ini", junk)), ProblemBox(LeftMissing("") + RightMissing("")));
  EXPECT_EQ(ProblemsOf(t.Write("nul.ini", std::string(1000, '\0'))),
            ProblemBox(LeftMissing("") + RightMissing("")));
  EXPECT_EQ(ProblemsOf(t.Write("noeq.ini", "[Pfade]\nLinks " + folder + "\nRechts\n")),
            ProblemBox(LeftMissing("") + RightMissing("")));
  // The folder written in the 8-bit code page names the UTF-8 folder on disk.
  const std::string ansi_folder = t.Path(
      "B\xFC"
      "cher");
  EXPECT_EQ(ProblemsOf(t.Write("ansi.ini",
                               ControlText(ansi_folder, folder, "Bin\xE4rvergleich=1\nEnde=1\n"))),
            ProblemBox(" * In der jetzigen Einstellung haben Sie nichts vom "
                       "Vergleichsergebnis, da das Programm ohne Abgleich und/oder Kopie in "
                       "die Zwischenablage enden soll.\r"));
  EXPECT_EQ(ProblemsOf(t.Write("twice.ini",
                               "[Pfade]\nLinks=" + folder + "\n[Pfade]\nRechts=" + folder + "\n")),
            ProblemBox(RightMissing("")));
}

}  // namespace
}  // namespace tavrik
