// What the console tests of far folders and of interrupted copies share: a command standing
// in for ssh, and the state of targets whose copies may have been cut short.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/temp_tree.h"

namespace tavrik::testing {

// An executable script standing in for ssh: it drops ssh's options and the host, notes its
// process id in far.pid, and becomes the far command with tavrik-cli first in PATH, as the far
// shell would run it.
inline std::string StandInSsh(const TempTree& t) {
  const std::string bin = t.Mkdir("bin");
  std::error_code ec;
  std::filesystem::create_symlink(TAVRIK_CLI, bin + "/tavrik-cli", ec);
  const std::string path = t.Path("ssh");
  std::ofstream(path) << "#!/bin/sh\n"
                      << "while [ \"$1\" = -p ]; do shift 2; done\n"
                      << "shift\n"
                      << "PATH=" << bin << ":$PATH\n"
                      << "echo $$ > " << t.Path("far.pid") << "\n"
                      << "exec \"$@\"\n";
  chmod(path.c_str(), 0755);
  return path;
}

// The files copied in the interruption tests: large enough that a signal lands mid-copy.
constexpr size_t kCopySize = 2u << 20;
inline std::string CopyName(int i) {
  return std::string("f").append(std::to_string(100 + i)) + ".bin";
}
inline std::string NewContent(int i) {
  return std::string(kCopySize, static_cast<char>('a' + i % 26));
}

// Every temporary file of a run below the folder rel of the tree.
inline std::vector<std::string> Leftovers(const TempTree& t, const std::string& rel) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(t.Path(rel)))
    if (entry.path().filename().string().rfind(".tavrik-", 0) == 0)
      found.push_back(entry.path().string());
  return found;
}

// Each of the files targets right/CopyName(i) is its old version ("old") or a complete copy;
// returns how many were replaced.
inline int ExpectOldOrComplete(const TempTree& t, int files) {
  int replaced = 0;
  for (int i = 0; i < files; ++i) {
    const std::string now = t.Read("right/" + CopyName(i));
    EXPECT_TRUE(now == "old" || now == NewContent(i)) << CopyName(i) << " is half a copy";
    replaced += now == NewContent(i) ? 1 : 0;
  }
  return replaced;
}

}  // namespace tavrik::testing
