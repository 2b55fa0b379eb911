// The console and links and entries it cannot list: the policy options and settings, the
// count lines on standard error, the JSON objects of what was left out, --explain, and link
// texts that are no UTF-8 or hold a line break.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/cli_runner.h"
#include "support/real_fs.h"

namespace tavrik::testing {
namespace {

struct LinkTrees {
  LinkTrees() {
    left = t.Mkdir("left");
    right = t.Mkdir("right");
    t.Mkdir("cfg");
    t.Write("left/a.txt", "a", 1000000000);
    t.Write("right/a.txt", "a", 1000000000);
    t.Write("left/sub/x.txt", "x", 1000000000);
    EXPECT_EQ(symlink("sub", t.Path("left/dirlink").c_str()), 0);
    EXPECT_EQ(symlink("nowhere", t.Path("left/dangling").c_str()), 0);
    EXPECT_EQ(mkfifo(t.Path("left/pipe").c_str(), 0644), 0);
    EXPECT_EQ(mkfifo(t.Path("right/pipe").c_str(), 0644), 0);
  }
  std::vector<std::string> Env() const { return {"XDG_CONFIG_HOME=" + t.Path("cfg")}; }
  TempTree t;
  std::string left, right;
};

// Catches entries left out without a word, a count line per entry instead of per kind, and
// left-out entries turning a successful fill into a failure.
TEST(LinksCliTest, EntriesLeftOutAreCountedByKindAndListedInJson) {
  LinkTrees r;
  struct Case {
    std::vector<std::string> options;
    std::string err;
    std::vector<std::string> objects;
  };
  const std::vector<Case> cases = {
      {{},
       "tavrik-cli: 2 entries left out as FIFOs, never opened (1 left, 1 right)\n",
       {"{\"left_out\":\"" + r.t.Path("left/pipe") + "\",\"why\":\"fifo\"}",
        "{\"left_out\":\"" + r.t.Path("right/pipe") + "\",\"why\":\"fifo\"}"}},
      {{"--links=follow"},
       "tavrik-cli: 2 entries left out as FIFOs, never opened (1 left, 1 right)\n"
       "tavrik-cli: 1 entry left out as links that lead nowhere (1 left, 0 right)\n",
       {"{\"left_out\":\"" + r.t.Path("left/dangling") + "\",\"why\":\"dangling\"}",
        "{\"left_out\":\"" + r.t.Path("left/pipe") + "\",\"why\":\"fifo\"}",
        "{\"left_out\":\"" + r.t.Path("right/pipe") + "\",\"why\":\"fifo\"}"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"fill", "--format=json"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(r.left);
    args.push_back(r.right);
    const Outcome o = RunCli(r.t, args, r.Env());
    SCOPED_TRACE(o.out);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, c.err);
    std::vector<std::string> objects;
    bool after_rows = false;
    size_t start = 0;
    for (size_t end; (end = o.out.find('\n', start)) != std::string::npos; start = end + 1) {
      const std::string line = o.out.substr(start, end - start);
      const bool left_out = line.rfind("{\"left_out\"", 0) == 0;
      EXPECT_TRUE(left_out || !after_rows) << "a row after the left-out entries: " << line;
      after_rows = after_rows || left_out;
      if (left_out) objects.push_back(line);
    }
    std::sort(objects.begin(), objects.end());
    EXPECT_EQ(objects, c.objects);
  }
}

// Catches the policy of a settings file or a control file not reaching the scan, and an
// option that does not override it.
TEST(LinksCliTest, ThePolicyComesFromTheSettingsAndTheOptionWins) {
  LinkTrees r;
  r.t.Write("cfg/tavrik/tavrik.ini", "[Sicherung]\nVerkn\xc3\xbcpfungen=1\n");
  const Outcome followed = RunCli(r.t, {"fill", r.left}, r.Env());
  EXPECT_NE(followed.out.find("dirlink/x.txt"), std::string::npos) << followed.out;
  const Outcome kept = RunCli(r.t, {"fill", "--links=keep", r.left}, r.Env());
  EXPECT_EQ(kept.out.find("dirlink/x.txt"), std::string::npos) << kept.out;
  EXPECT_NE(kept.out.find("dirlink\t"), std::string::npos) << kept.out;
  const Outcome bad = RunCli(r.t, {"fill", "--links=sometimes", r.left}, r.Env());
  EXPECT_EQ(bad.status, 2);
}

// Catches --explain answering "included" for a path the scan never lists.
TEST(LinksCliTest, ExplainSaysWhyAPathIsNotListed) {
  LinkTrees r;
  struct Case {
    std::vector<std::string> options;
    std::string path;
    std::string said;
  };
  const std::vector<Case> cases = {
      {{}, "pipe", "pipe: left out: a FIFO is never opened (fifo)\n"},
      {{"--links=follow"}, "dangling", "dangling: left out: the link leads nowhere (dangling)\n"},
      {{}, "dangling", "dangling: included: no rule decides it\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"fill"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), {"--explain", c.path, r.left});
    const Outcome o = RunCli(r.t, args, r.Env());
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, c.said);
  }
}

// Catches a link text that is no UTF-8 or holds a line break breaking a JSON line or
// losing its bytes, in the rows and in the dry run.
TEST(LinksCliTest, OddLinkTextsSurviveJson) {
  TempTree t;
  const std::string left = t.Mkdir("left");
  const std::string right = t.Mkdir("right");
  t.Mkdir("cfg");
  ASSERT_EQ(symlink("caf\xe9\nnext", t.Path("left/odd").c_str()), 0);
  const std::vector<std::string> env = {"XDG_CONFIG_HOME=" + t.Path("cfg")};
  const Outcome rows = RunCli(t, {"fill", "--format=json", left, right}, env);
  EXPECT_EQ(rows.status, 0);
  EXPECT_EQ(rows.out,
            "{\"left\":\"odd\",\"mark\":\"\",\"right\":\"\",\"left_size\":9,\"left_mtime\":\"" +
                rows.out.substr(rows.out.find("left_mtime") + 13, 30) +
                "\",\"left_kind\":\"link\",\"left_link\":\"caf\xef\xbf\xbd\\nnext\","
                "\"left_link_base64\":\"Y2Fm6QpuZXh0\"}\n");
  const Outcome plan =
      RunCli(t, {"sync", "--dry-run", "--copy-new", "--format=json", left, right}, env);
  EXPECT_EQ(plan.status, 0);
  EXPECT_NE(plan.out.find("\"link\":\"caf\xef\xbf\xbd\\nnext\",\"link_base64\":\"Y2Fm6QpuZXh0\""),
            std::string::npos)
      << plan.out;
  // And the sync makes the very same link.
  const Outcome synced = RunCli(t, {"sync", "--copy-new", left, right}, env);
  EXPECT_EQ(synced.status, 0) << synced.err;
  char text[64] = {};
  EXPECT_EQ(readlink(t.Path("right/odd").c_str(), text, sizeof text - 1), 9);
  EXPECT_EQ(std::string(text), "caf\xe9\nnext");
}

// Catches links bound for a FAT stick reported once per link (or not at all), a run that
// waits on them, and such a run ending with success although the links were not made.
TEST(LinksCliTest, LinksAFatStickCannotHoldAreToldInOneLine) {
  RealFs stick(RealFsKind::kFat);
  REAL_FS_OR_SKIP(stick);
  TempTree t;
  const std::string left = t.Mkdir("left");
  t.Mkdir("cfg");
  t.Write("left/a.txt", "a", 1700000000);
  for (const char* name : {"l1", "l2", "l3", "l4"})
    ASSERT_EQ(symlink("a.txt", t.Path(std::string("left/") + name).c_str()), 0);
  const Outcome o =
      RunCli(t, {"sync", "--copy-new", left, stick.Dir()}, {"XDG_CONFIG_HOME=" + t.Path("cfg")});
  EXPECT_EQ(o.status, 1);
  const std::string line =
      "4 Verknüpfungen wurden nicht kopiert: Das Ziel kann keine "
      "Verknüpfungen speichern. ('" +
      stick.Dir() + "/l";
  const size_t at = o.err.find(line);
  ASSERT_NE(at, std::string::npos) << o.err;
  EXPECT_EQ(o.err.find(line, at + 1), std::string::npos) << o.err;
  EXPECT_EQ(o.err.find("Abgleichsfehler"), std::string::npos) << o.err;
  // The rows of the links stay; the file's row went with its copy.
  EXPECT_EQ(o.out.find("a.txt"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("l4\t-->\t"), std::string::npos) << o.out;
}

}  // namespace
}  // namespace tavrik::testing
