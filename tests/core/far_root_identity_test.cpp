// A root on another machine beside one here: which folder each is, whether they overlap, and
// who holds the lock of a pair, when two machines' disks give the same numbers.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "core/fs/paths.h"
#include "core/state/pair_lock.h"
#include "core/state/root_identity.h"
#include "core/state/state_file.h"
#include "core/sync/root_overlap.h"
#include "support/fault_file_system.h"
#include "support/temp_tree.h"

namespace tavrik::testing {
namespace {

// This machine's disk as the far end on machine (empty: this machine itself) shows it: the
// same device and inode numbers, another machine, its own processes.
class OtherMachine : public FaultFileSystem {
 public:
  explicit OtherMachine(std::string machine, int64_t pid = 4242)
      : machine_(std::move(machine)), pid_(pid) {}
  std::string Machine() override { return machine_.empty() ? MachineName() : machine_; }
  std::string FarMachine() override { return machine_; }
  int64_t ProcessId() override { return machine_.empty() ? OwnProcessId() : pid_; }
  bool ProcessGone(int64_t pid) override {
    return machine_.empty() ? ProcessEnded(pid) : gone_.count(pid) > 0;
  }
  std::set<int64_t> gone_;

 private:
  std::string machine_;
  int64_t pid_;
};

// Catches a far root taken for the folder here with the same volume and inode (a two-way run
// then refused as "Die Ordner lassen sich nicht sicher erkennen." or saving its state under
// another folder's identity), and a far identity that does not survive its state file.
TEST(FarRootIdentityTest, TheMachineIsPartOfTheIdentity) {
  TempTree t;
  const std::string root = t.Mkdir("root");
  const struct {
    const char* left;
    const char* right;
    bool same;
  } cases[] = {
      {"", "", true},         {"", "fern", false},    {"fern", "", false},
      {"fern", "fern", true}, {"fern", "nas", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.left) + " / " + c.right);
    OtherMachine left_fs(c.left), right_fs(c.right);
    RootIdentity left, right, parsed;
    ASSERT_TRUE(IdentityOfRoot(left_fs, root, &left));
    ASSERT_TRUE(IdentityOfRoot(right_fs, root, &right));
    EXPECT_EQ(left == right, c.same);
    ASSERT_TRUE(ParseIdentity(IdentityText(right), &parsed));
    EXPECT_EQ(parsed, right);
  }
}

// Catches roots on two machines refused as overlapping because their numbers match, two far
// roots on one machine (each on its own connection) not seen to overlap, and a sibling
// whose name begins with the other's taken for a folder inside it.
TEST(FarRootIdentityTest, OverlapIsJudgedPerMachine) {
  TempTree t;
  // Roots as the fills hold them, with their trailing separator.
  const std::string a = AddBackslash(t.Mkdir("a"));
  const std::string inner = AddBackslash(t.Mkdir("a/inner"));
  const std::string sibling = AddBackslash(t.Mkdir("ab"));
  const struct {
    const char* left_machine;
    std::string left;
    const char* right_machine;
    std::string right;
    bool overlap;
  } cases[] = {
      {"", a, "", inner, true},
      {"", a, "fern", a, false},
      {"fern", a, "", inner, false},
      {"fern", a, "fern", a, true},
      {"fern", a, "fern", inner, true},
      {"fern", inner, "fern", a, true},
      {"fern", a, "fern", sibling, false},
      {"fern", a, "nas", inner, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.left_machine) + ":" + c.left + " / " + c.right_machine + ":" +
                 c.right);
    OtherMachine left_fs(c.left_machine), right_fs(c.right_machine);
    // Roots here share the one file system of this machine.
    FileSystem& right = *c.left_machine == '\0' && *c.right_machine == '\0'
                            ? static_cast<FileSystem&>(left_fs)
                            : right_fs;
    EXPECT_EQ(RootsOverlap(left_fs, c.left, right, c.right), c.overlap);
  }
  const struct {
    const char* a;
    const char* b;
    bool nest;
  } paths[] = {
      {"/x", "/x", true},   {"/x", "/x/y", true}, {"/x/y", "/x", true},    {"/x/", "/x/y", true},
      {"/x", "/xy", false}, {"/", "/x", true},    {"/x/y", "/x/z", false},
  };
  for (const auto& p : paths) EXPECT_EQ(PathsNest(p.a, p.b), p.nest) << p.a << " " << p.b;
}

// Catches the lock in a far root naming this machine and a process of it (so that no run from
// elsewhere can tell it is stale, and the refusal names the wrong machine), and a far holder
// judged by this machine's process table.
TEST(FarRootIdentityTest, TheLockInAFarRootNamesTheFarEnd) {
  const std::string here = MachineName();
  const struct {
    const char* what;
    std::string holder;  // the lock file found in the far root
    bool holder_gone;    // the far end says that process has ended
    bool taken;
  } cases[] = {
      {"a far run still going", "host fern\npid 777\n", false, false},
      {"a far run that ended", "host fern\npid 777\n", true, true},
      {"a holder named after another machine", "host " + here + "\npid 777\n", true, false},
      {"none", "", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempTree t;
    const std::string far_root = t.Mkdir("far");
    const std::string near_root = t.Mkdir("near");
    t.Mkdir(std::string("far/") + kStateFolder);
    if (!c.holder.empty()) t.Write(std::string("far/") + kStateFolder + "/p1.lock", c.holder);
    OtherMachine far("fern", 4242);
    if (c.holder_gone) far.gone_.insert(777);
    OtherMachine near("");
    PairState pair;
    pair.pair_id = "p1";
    PairLock lock;
    std::string error;
    EXPECT_EQ(lock.Take(far, far_root, near, near_root, pair, &error), c.taken) << error;
    if (c.taken) {
      EXPECT_EQ(t.Read(std::string("far/") + kStateFolder + "/p1.lock"), "host fern\npid 4242\n");
      EXPECT_EQ(t.Read(std::string("near/") + kStateFolder + "/p1.lock"),
                "host " + here + "\npid " + std::to_string(OwnProcessId()) + "\n");
      lock.Release();
      EXPECT_FALSE(t.Exists(std::string("far/") + kStateFolder + "/p1.lock"));
    } else {
      const std::string holder = c.holder.find("fern") != std::string::npos ? "fern" : here;
      EXPECT_NE(error.find("(Prozess 777 auf Rechner '" + holder + "')"), std::string::npos)
          << error;
    }
  }
}

}  // namespace
}  // namespace tavrik::testing
