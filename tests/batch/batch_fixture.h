// What the batch tests share: a context on a scripted host and control-file writing.
#pragma once

#include <unistd.h>

#include <climits>
#include <string>

#include "core/list/comparison_list.h"
#include "core/list/shared_state.h"
#include "support/fake_host.h"
#include "support/temp_tree.h"

namespace tavrik::testing {

template <typename HostType = FakeHost>
struct BatchSession {
  ComparisonList list;
  SharedState state;
  HostType host;
  Context ctx{list, state, host, RealFileSystem()};
};

// A control file's text with both folders and the given AutoStart lines.
inline std::string ControlText(const std::string& left, const std::string& right,
                               const std::string& autostart = "") {
  return "[Pfade]\nLinks=" + left + "\nRechts=" + right + "\n[AutoStart]\n" + autostart;
}

// The problem box around the given problem lines, spelled out independently of the code.
inline std::string ProblemBox(const std::string& lines) {
  return "Sie haben Tavrik 1.5 im Batch-Modus aufgerufen. Dabei kam es zu folgendem "
         "Fehler:\r\r" +
         lines +
         "\rDer Batch-Modus wird daher unterbrochen. Bitte überprüfen Sie Ihre Angaben und "
         "starten Sie erneut.";
}

// Changes the working folder for the lifetime of the guard.
class CwdGuard {
 public:
  explicit CwdGuard(const std::string& folder) {
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof buffer)) saved_ = buffer;
    if (chdir(folder.c_str()) != 0) std::abort();
  }
  ~CwdGuard() {
    if (!saved_.empty() && chdir(saved_.c_str()) != 0) std::abort();
  }
  CwdGuard(const CwdGuard&) = delete;
  CwdGuard& operator=(const CwdGuard&) = delete;

 private:
  std::string saved_;
};

}  // namespace tavrik::testing
