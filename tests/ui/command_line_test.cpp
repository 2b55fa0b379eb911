// The window's command line and the help page's search order.
#include <QCheckBox>
#include <string>
#include <vector>

#include "support/temp_tree.h"
#include "ui/command_line.h"
#include "ui_fixture.h"

namespace tavrik {
namespace {

using testing::TempTree;
using testing::UiTest;

StartRequest Read(std::vector<std::string> args) {
  args.insert(args.begin(), "tavrik");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return ReadCommandLine(static_cast<int>(args.size()), argv.data());
}

// Catches --help and --version started as a control-file batch run (an error box about a
// file named "--help"), two folders taken as one control-file name, and a control file
// name that is no longer the whole argument text.
TEST(CommandLineTest, HelpVersionFoldersOrControlFile) {
  TempTree t;
  const std::string l = t.Mkdir("L"), r = t.Mkdir("R");
  const std::string file = t.Write("steuer.ini", "[Pfade]\n");
  EXPECT_EQ(Read({"--help"}).kind, StartRequest::kHelp);
  EXPECT_EQ(Read({"-h"}).kind, StartRequest::kHelp);
  EXPECT_EQ(Read({"--version"}).kind, StartRequest::kVersion);
  StartRequest folders = Read({l, r});
  EXPECT_EQ(folders.kind, StartRequest::kFolders);
  EXPECT_EQ(folders.left, l);
  EXPECT_EQ(folders.right, r);
  EXPECT_EQ(folders.command_line, "");
  // Anything else is the control file's name, the arguments joined by blanks.
  for (const std::vector<std::string>& args : {std::vector<std::string>{l, file},
                                               {l, t.Path("missing")},
                                               {l},
                                               {"mein", "steuer.ini"},
                                               {"--help", "x"},
                                               {l, r, l}}) {
    StartRequest request = Read(args);
    EXPECT_EQ(request.kind, StartRequest::kWindow) << args[0];
    std::string joined;
    for (const auto& a : args) joined += (joined.empty() ? "" : " ") + a;
    EXPECT_EQ(request.command_line, joined);
  }
  EXPECT_EQ(Read({}).command_line, "");
  EXPECT_NE(std::string(UsageText()).find("tavrik LINKS RECHTS"), std::string::npos);
}

// Catches a far folder on the window's command line taken for a control file's name, a name
// of this machine taken for a far folder, and --ssh or --push-agent read as a control file.
TEST(CommandLineTest, FarFoldersAndHowTheyAreReached) {
  TempTree t;
  const std::string l = t.Mkdir("L");
  const struct {
    std::vector<std::string> args;
    StartRequest::Kind kind;
    const char* right;  // kFolders: the right folder
    bool has_ssh;
    bool push_agent;
  } cases[] = {
      {{l, "nas:/daten"}, StartRequest::kFolders, "nas:/daten", false, false},
      {{"--ssh=mein-ssh -q", l, "ssh://anna@nas:22/d"},
       StartRequest::kFolders,
       "ssh://anna@nas:22/d",
       true,
       false},
      {{"--push-agent", "nas:d", l}, StartRequest::kFolders, nullptr, false, true},
      {{l, "fehlt/nas:x"}, StartRequest::kWindow, nullptr, false, false},
      // Refused when it is opened, with the console's reason in a box.
      {{l, "-oProxy:x"}, StartRequest::kFolders, "-oProxy:x", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    const StartRequest request = Read(c.args);
    EXPECT_EQ(request.kind, c.kind);
    if (c.right) {
      EXPECT_EQ(request.right, c.right);
    }
    EXPECT_EQ(request.far.has_ssh, c.has_ssh);
    if (c.has_ssh) {
      EXPECT_EQ(request.far.ssh, "mein-ssh -q");
    }
    EXPECT_EQ(request.far.push_agent, c.push_agent);
  }
}

// Catches a file manager's selection taken as a control file, a menu start (no folder) that
// shows a box, or a selection of files or of three folders that is not refused.
TEST(CommandLineTest, FoldersFromTheFileManager) {
  TempTree t;
  const std::string l = t.Mkdir("L"), r = t.Mkdir("R"), x = t.Mkdir("X");
  const std::string file = t.Write("f.txt", "f");
  StartRequest none = Read({"--folders"});
  EXPECT_EQ(none.kind, StartRequest::kWindow);
  EXPECT_EQ(none.command_line, "");
  StartRequest one = Read({"--folders", l});
  EXPECT_EQ(one.kind, StartRequest::kFolders);
  EXPECT_EQ(one.left, l);
  EXPECT_EQ(one.right, "");
  StartRequest two = Read({"--folders", l, r});
  EXPECT_EQ(two.kind, StartRequest::kFolders);
  EXPECT_EQ(two.right, r);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--folders", file},
                                               {"--folders", l, file},
                                               {"--folders", l, r, x},
                                               {"--folders", t.Path("missing")}}) {
    StartRequest request = Read(args);
    EXPECT_EQ(request.kind, StartRequest::kFolderChoice) << args.back();
    EXPECT_EQ(request.command_line, "");
  }
}

// Catches the help page looked for only next to the program, so that an installed program
// (help page under share/doc/tavrik) finds none, or a wrong order of the places.
TEST(CommandLineTest, HelpPageSearchOrder) {
  TempTree t;
  const QString bin = QString::fromStdString(t.Mkdir("usr/bin")) + "/";
  EXPECT_EQ(HelpFilePath(bin), bin + "tavrik.htm") << "nothing found: the program's folder";
  t.Write("usr/share/doc/tavrik/tavrik.htm", "installed");
  EXPECT_EQ(HelpFilePath(bin), QString::fromStdString(t.Path("usr/share/doc/tavrik/tavrik.htm")));
  t.Write("usr/bin/tavrik.htm", "next to the program");
  EXPECT_EQ(HelpFilePath(bin), bin + "tavrik.htm");
}

// Catches the two folders of the command line not filling left then right, or skipping the
// drop's checks.
TEST_F(UiTest, CommandLineFoldersFillBothColumnsLikeTwoDrops) {
  TempTree t;
  t.Write("L/a.txt", "a");
  t.Write("R/a.txt", "a");
  t.Write("R/b.txt", "b");
  form->Load("");
  form->OpenFolders(QString::fromStdString(t.Path("L")), QString::fromStdString(t.Path("R")));
  EXPECT_EQ(form->List().Header(1), t.Path("L/"));
  EXPECT_EQ(form->List().Header(3), t.Path("R/"));
  EXPECT_EQ(form->List().RowCount(), 2);
  EXPECT_TRUE(boxes.empty());
  // With the immediate start checked, the right fill starts the comparison, as a drop does.
  form->SofortStartCheck->setChecked(true);
  form->OpenFolders(QString::fromStdString(t.Path("L")), QString::fromStdString(t.Path("R")));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text.rfind("Ergebnis des Binärvergleichs von 2 Dateien:", 0), 0u)
      << boxes[0].text;
  t.Mkdir("wh?t");
  form->OpenFolders(QString::fromStdString(t.Path("wh?t")), QString::fromStdString(t.Path("R")));
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1].text, "Dieser Verzeichnisname enthält ungültige Zeichen - bitte korrigieren!");
}

// Catches the right folder of the command line filling column 1 when the left one holds no
// file, and a right folder filled against an earlier left root when the left one is refused.
TEST_F(UiTest, CommandLineFoldersKeepTheirSidesWhenTheLeftOneIsEmpty) {
  TempTree t;
  t.Mkdir("leer");
  t.Mkdir("wh?t");
  t.Write("R/a.txt", "a");
  t.Write("L/l.txt", "l");
  form->Load("");
  form->OpenFolders(QString::fromStdString(t.Path("leer")), QString::fromStdString(t.Path("R")));
  EXPECT_EQ(form->List().Header(1), t.Path("leer/"));
  EXPECT_EQ(form->List().Header(3), t.Path("R/"));
  ASSERT_EQ(form->List().RowCount(), 1);
  EXPECT_EQ(form->List().LeftName(1), "");
  EXPECT_EQ(form->List().RightName(1), "a.txt");
  EXPECT_TRUE(boxes.empty());

  form->OpenFolders(QString::fromStdString(t.Path("L")), QString::fromStdString(t.Path("R")));
  form->OpenFolders(QString::fromStdString(t.Path("wh?t")), QString::fromStdString(t.Path("leer")));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(form->List().Header(3), t.Path("R/")) << "filled against the earlier left root";
  EXPECT_EQ(form->State().right_root.str(), t.Path("R/"));
}

// Catches a one-folder selection not filling the left column, or a refused selection that
// fills anything or shows anything but the one box.
TEST_F(UiTest, FileManagerSelectionFillsTheColumnsOrIsRefusedOnce) {
  TempTree t;
  t.Write("L/a.txt", "a");
  form->Load("");
  StartRequest one;
  one.kind = StartRequest::kFolders;
  one.left = t.Path("L");
  form->OpenStartFolders(one);
  EXPECT_EQ(form->List().Header(1), t.Path("L/"));
  EXPECT_EQ(form->List().RowCount(), 1);
  EXPECT_TRUE(boxes.empty());
  form->Load("");
  StartRequest refused;
  refused.kind = StartRequest::kFolderChoice;
  form->OpenStartFolders(refused);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Bitte wählen Sie einen oder zwei Ordner.");
  EXPECT_EQ(boxes[0].style, 0);
  EXPECT_EQ(form->List().RowCount(), 0);
}

}  // namespace
}  // namespace tavrik

namespace tavrik {
namespace {

using testing::TempTree;
using testing::UiTest;

StartRequest ReadArgs(std::vector<std::string> args) {
  args.insert(args.begin(), "tavrik");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return ReadCommandLine(static_cast<int>(args.size()), argv.data());
}

// Catches rule options taken for folders or for the control file's name, options after
// the first other argument taken for rules, and "--" not ending the options.
TEST(CommandLineTest, RuleOptionsStandBeforeFoldersOrControlFile) {
  TempTree t;
  const std::string l = t.Mkdir("L"), r = t.Mkdir("R");
  StartRequest folders =
      ReadArgs({"--exclude=build/", "--no-user-rules", "--exclude-from=x", "--include=a", l, r});
  EXPECT_EQ(folders.kind, StartRequest::kFolders);
  EXPECT_EQ(folders.left, l);
  EXPECT_TRUE(folders.rules.no_user_rules);
  ASSERT_EQ(folders.rules.sources.size(), 3u);
  EXPECT_EQ(folders.rules.sources[0].value, "build/");
  EXPECT_EQ(folders.rules.sources[1].kind, RuleOptions::Source::kExcludeFrom);
  EXPECT_EQ(folders.rules.sources[2].argument, 4);
  StartRequest batch = ReadArgs({"--exclude=*.o", "steuer.ini", "--exclude=x"});
  EXPECT_EQ(batch.command_line, "steuer.ini --exclude=x");
  EXPECT_EQ(batch.rules.sources.size(), 1u);
  StartRequest dashed = ReadArgs({"--exclude=*.o", "--", "--exclude=odd.ini"});
  EXPECT_EQ(dashed.command_line, "--exclude=odd.ini");
  EXPECT_EQ(ReadArgs({"--no-user-rules", "--help"}).kind, StartRequest::kHelp);
}

// Catches a window that ignores --two-way, turns a control file two-way because the user's
// tavrik.ini says Zweiweg=1 (deletions of a backup would travel back to the source), or does
// not take that setting for the folders the user fills by hand.
TEST_F(UiTest, TwoWayFromTheCommandLineTheControlFileOrForHandFilledFoldersTavrikIni) {
  TempTree t;
  t.Write("L/a.txt", "a");
  t.Write("R/a.txt", "a");
  EXPECT_TRUE(ReadArgs({"--two-way", "--exclude=x", t.Path("L"), t.Path("R")}).two_way);
  EXPECT_EQ(ReadArgs({"--two-way", t.Path("L"), t.Path("R")}).kind, StartRequest::kFolders);
  EXPECT_FALSE(ReadArgs({t.Path("L"), t.Path("R")}).two_way);
  const std::string body = "[Pfade]\nLinks=" + t.Path("L") + "\nRechts=" + t.Path("R") +
                           "\n[AutoStart]\nAltersvergleich=1\n";
  const std::string plain = t.Write("plain.ini", body);
  const std::string twoway = t.Write("twoway.ini", body + "[Sicherung]\nZweiweg=1\n");
  struct Case {
    const char* what;
    const char* ini;  // the user's tavrik.ini
    std::string control;
    bool option;
    bool batch;  // the control file's run is two-way
    bool hand;   // folders filled by hand afterwards are
  };
  const Case cases[] = {
      {"nothing", "", plain, false, false, false},
      {"tavrik.ini only", "[Sicherung]\nZweiweg=1\n", plain, false, false, true},
      {"control file", "", twoway, false, true, false},
      {"option", "", plain, true, true, true},
      {"start without a control file", "[Sicherung]\nZweiweg=1\n", "", false, true, true},
  };
  const char* old = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = old ? old : "";
  setenv("XDG_CONFIG_HOME", t.Path("cfg").c_str(), 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    t.Write("cfg/tavrik/tavrik.ini", c.ini);
    SetUp();
    RuleOptions rules;
    rules.no_user_rules = true;
    ASSERT_TRUE(form->Load(c.control, rules, c.option));
    EXPECT_EQ(form->State().compare_options.two_way, c.batch);
    form->OpenFolders(QString::fromStdString(t.Path("L")), QString::fromStdString(t.Path("R")));
    EXPECT_EQ(form->State().compare_options.two_way, c.hand);
    TearDown();
  }
  if (old)
    setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  else
    unsetenv("XDG_CONFIG_HOME");
}

// Catches an unreadable rule file passed over by the window (the batch run would then copy
// what the user meant to leave out): one box with the file and the reason, and no batch run.
TEST_F(UiTest, AnUnreadableRuleFileGetsOneBoxAndNoBatchRun) {
  TempTree t;
  t.Write("L/a.txt", "a");
  t.Write("R/a.txt", "a");
  t.Mkdir("rules");
  const std::string control =
      t.Write("job.ini", "[Pfade]\nLinks=" + t.Path("L") + "\nRechts=" + t.Path("R") +
                             "\n[AutoStart]\nAltersvergleich=1\nZwischenablage=1\n");
  RuleOptions rules;
  TakeRuleOption("--exclude-from=" + t.Path("rules"), 1, &rules);
  rules.no_user_rules = true;
  EXPECT_FALSE(form->Load(control, rules));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Die Ausschlussdatei '" + t.Path("rules") +
                               "' kann nicht gelesen werden.\rDas ist ein Verzeichnis.");
  EXPECT_EQ(form->List().RowCount(), 0);
  RuleOptions readable;
  TakeRuleOption("--exclude-from=" + t.Write("rules.txt", "a.txt\n"), 1, &readable);
  readable.no_user_rules = true;
  boxes.clear();
  EXPECT_TRUE(form->Load(control, readable));
  EXPECT_EQ(form->List().RowCount(), 0) << "the rule left a.txt out of both columns";
  EXPECT_FALSE(boxes.empty()) << "the batch ran: its comparison reports";
}

}  // namespace
}  // namespace tavrik
