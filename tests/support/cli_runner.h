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
// neither stream can block the other. env: variables set ("NAME=value") in the child only;
// unset: variables removed there; launcher: a program and its arguments that start the
// binary (setpriv, say), nothing to start it directly.
inline Outcome RunCliWith(const TempTree& t, const std::vector<std::string>& args,
                          const std::vector<std::string>& env,
                          const std::vector<std::string>& unset,
                          const std::vector<std::string>& launcher) {
  const std::string out_path = t.Path("stdout.txt");
  const std::string err_path = t.Path("stderr.txt");
  std::vector<std::string> all = launcher;
  all.push_back(TAVRIK_CLI);
  all.insert(all.end(), args.begin(), args.end());
  pid_t pid = fork();
  if (pid == 0) {
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    for (const std::string& u : unset) unsetenv(u.c_str());
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
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

inline Outcome RunCli(const TempTree& t, const std::vector<std::string>& args,
                      const std::vector<std::string>& env = {}) {
  return RunCliWith(t, args, env, {}, {});
}

}  // namespace tavrik::testing
