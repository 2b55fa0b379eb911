// Runs the console front end as a child process and collects its exit code and output.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/temp_tree.h"

namespace tavrik::testing {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the real binary with the given arguments; its output goes through files so that
// neither stream can block the other. env: variables set ("NAME=value") in the child only.
inline Outcome RunCli(const TempTree& t, const std::vector<std::string>& args,
                      const std::vector<std::string>& env = {}) {
  const std::string out_path = t.Path("stdout.txt");
  const std::string err_path = t.Path("stderr.txt");
  pid_t pid = fork();
  if (pid == 0) {
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
    std::vector<char*> argv = {const_cast<char*>(TAVRIK_CLI)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(TAVRIK_CLI, argv.data());
    _exit(127);
  }
  Outcome o;
  int wstatus = 0;
  if (pid > 0 && waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus))
    o.status = WEXITSTATUS(wstatus);
  o.out = t.Read("stdout.txt");
  o.err = t.Read("stderr.txt");
  return o;
}

}  // namespace tavrik::testing
