// "tavrik-cli sync" onto a far folder whose run or far end ends in the middle of the copies:
// the far end started through a command standing in for ssh, so no sshd is needed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/stand_in.h"
#include "core/fs/file_system.h"
#include "support/cli_runner.h"
#include "support/temp_tree.h"

namespace tavrik::testing {
namespace {

constexpr int kFiles = 30;
constexpr const char* kLost = "Die Verbindung zu nas ist abgebrochen.";

bool WaitUntilEnded(pid_t pid) {
  for (int i = 0; i < 500; ++i) {
    if (ProcessEnded(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Waits for the first temporary file in folder: a copy is being written there.
void AwaitFirstTemp(int watch) {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t got = read(watch, buffer, sizeof buffer);
    ASSERT_GT(got, 0);
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len > 0 && std::string(event->name).rfind(".tavrik-", 0) == 0) return;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Catches a far end that keeps its half-written file when the run is interrupted, a run that
// goes on (or asks once per row) after its far end died, a copy left half-made on the far
// disk, and a leftover of a killed far end that the next run cannot clear.
TEST(FarFaultCliTest, ARunOrFarEndEndedMidCopyLeavesNothingForGood) {
  const struct {
    const char* what;
    bool kill_far_end;  // else the run itself is interrupted
    bool retry;         // --on-error=retry-once: the row is tried again on a new far end
  } cases[] = {{"Ctrl-C of the run", false, false},
               {"the far end killed", true, false},
               {"the far end killed, the row retried", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempTree t;
    for (int i = 0; i < kFiles; ++i) {
      t.Write("left/" + CopyName(i), NewContent(i), 2000000000);
      t.Write("right/" + CopyName(i), "old", 1000000000);
    }
    const std::string ssh = "--ssh=" + StandInSsh(t);
    const std::string far = "nas:" + t.Path("right");
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, t.Path("right").c_str(), IN_CREATE), 0);
    const std::string err_path = t.Path("err.txt");
    const pid_t pid = fork();
    if (pid == 0) {
      const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int null = open("/dev/null", O_WRONLY);
      if (err < 0 || null < 0 || dup2(null, 1) < 0 || dup2(err, 2) < 0) _exit(127);
      execl(TAVRIK_CLI, TAVRIK_CLI, "sync", ssh.c_str(),
            c.retry ? "--on-error=retry-once" : "--on-error=ignore", t.Path("left").c_str(),
            far.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    ASSERT_GT(pid, 0);
    AwaitFirstTemp(watch);
    close(watch);
    const pid_t far_pid = std::stoi(t.Read("far.pid"));
    kill(c.kill_far_end ? far_pid : pid, c.kill_far_end ? SIGKILL : SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WaitUntilEnded(far_pid));
    const std::string err = t.Read("err.txt");
    if (c.kill_far_end) {
      ASSERT_TRUE(WIFEXITED(status)) << err;
      EXPECT_EQ(WEXITSTATUS(status), 1) << err;
      // The row that met the break, then one line for the rows after it.
      EXPECT_EQ(Count(err, "Abgleichsfehler:"), 1) << err;
      EXPECT_EQ(Count(err, "Der Transportendpunkt"), 0) << err;
      EXPECT_EQ(Count(err, std::string("weitere Zeilen wurden nicht abgeglichen: ") + kLost),
                c.retry ? 0 : 1)
          << err;
    } else {
      ASSERT_TRUE(WIFSIGNALED(status)) << err;
      EXPECT_EQ(WTERMSIG(status), SIGINT);
      EXPECT_EQ(Leftovers(t, "right"), std::vector<std::string>{});
    }
    if (c.retry) {
      EXPECT_EQ(ExpectOldOrComplete(t, kFiles), kFiles)
          << "the run did not go on over a new connection";
    } else {
      EXPECT_LT(ExpectOldOrComplete(t, kFiles), kFiles) << "the run did not stop";
    }
    // The next run finds the far folder as any run leaves it: what a killed far end left is
    // cleared by the sweep before the next copy into its folder, as at home.
    t.Write("left/next.txt", "next", 2000000000);
    t.Write("right/next.txt", "old", 1000000000);
    const Outcome next = RunCli(t, {"sync", ssh, t.Path("left"), far});
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(ExpectOldOrComplete(t, kFiles), kFiles);
    EXPECT_EQ(Leftovers(t, "right"), std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace tavrik::testing
