// "tavrik-cli sync" interrupted: by SIGINT, SIGTERM or SIGHUP in the middle of its copies,
// or by a reader that closed the pipe. The run removes what it prepared, prints one line,
// and the process ends by the signal, so a shell loop around it stops.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli/stand_in.h"
#include "support/temp_tree.h"

namespace tavrik::testing {
namespace {

constexpr int kFiles = 40;

void MakeTrees(const TempTree& t) {
  for (int i = 0; i < kFiles; ++i) {
    t.Write("left/" + CopyName(i), NewContent(i), 2000000000);
    t.Write("right/" + CopyName(i), "old", 1000000000);
  }
}

// Catches a signal that kills the run in the middle of its copies (temporary files left in
// the target folder), a run that goes on after it, and a process that hides the signal
// from the shell (exit status 130, 143 or 129 there); for each of the three signals.
TEST(InterruptCliTest, ASignalMidCopyCleansUpAndEndsByThatSignal) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    TempTree t;
    MakeTrees(t);
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, t.Path("right").c_str(), IN_CREATE), 0);
    const std::string err_path = t.Path("err.txt");
    const pid_t pid = fork();
    if (pid == 0) {
      const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int null = open("/dev/null", O_WRONLY);
      if (err < 0 || null < 0 || dup2(null, 1) < 0 || dup2(err, 2) < 0) _exit(127);
      execl(TAVRIK_CLI, TAVRIK_CLI, "sync", t.Path("left").c_str(), t.Path("right").c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    ASSERT_GT(pid, 0);
    // The first temporary file in the target folder: a copy is being written.
    bool seen = false;
    alignas(inotify_event) char buffer[4096];
    while (!seen) {
      const ssize_t got = read(watch, buffer, sizeof buffer);
      ASSERT_GT(got, 0);
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0 && std::string(event->name).rfind(".tavrik-", 0) == 0) seen = true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    kill(pid, signal);
    close(watch);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << sigabbrev_np(signal) << " exit " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), signal);
    EXPECT_NE(t.Read("err.txt").find(std::string("Lauf unterbrochen (SIG") + sigabbrev_np(signal)),
              std::string::npos)
        << t.Read("err.txt");
    EXPECT_EQ(Leftovers(t, ""), std::vector<std::string>{}) << sigabbrev_np(signal);
    EXPECT_LT(ExpectOldOrComplete(t, kFiles), kFiles) << "the run did not stop";
  }
}

// Catches a closed pipe that the run ignores (writing on, or dying by SIGPIPE with its
// temporary files left): "sync ... 2>&1 | head -1" ends the run through its clean-up, and
// the process ends by SIGPIPE as a pipeline expects.
TEST(InterruptCliTest, AClosedPipeEndsTheRunCleanly) {
  TempTree t;
  MakeTrees(t);
  // Read-only targets fail with a box each: more lines than a pipe holds.
  for (int i = 0; i < 1500; ++i) {
    t.Write("left/ro/r" + std::to_string(i), "new", 2000000000);
    t.Write("right/ro/r" + std::to_string(i), "old", 1000000000);
    chmod(t.Path("right/ro/r" + std::to_string(i)).c_str(), 0444);
  }
  t.Write("run.sh", std::string("'") + TAVRIK_CLI + "' sync '" + t.Path("left") + "' '" +
                        t.Path("right") + "' 2>&1 | head -1 >/dev/null\necho ${PIPESTATUS[0]}\n");
  FILE* shell = popen(("bash " + t.Path("run.sh")).c_str(), "r");
  ASSERT_NE(shell, nullptr);
  char line[64] = {};
  ASSERT_NE(fgets(line, sizeof line, shell), nullptr);
  pclose(shell);
  EXPECT_EQ(std::stoi(line), 128 + SIGPIPE);
  EXPECT_EQ(Leftovers(t, ""), std::vector<std::string>{});
  ExpectOldOrComplete(t, kFiles);
}

}  // namespace
}  // namespace tavrik::testing
