// A synchronisation test bench: one temporary folder holding left/, right/ and a sentinel
// folder outside/ that no run may touch, a session filled from left/ and right/, and a way
// to make single system calls of the core's file operations fail.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/fs/error_text.h"
#include "core/sync/file_ops.h"
#include "core/sync/sync.h"
#include "support/fault_file_system.h"
#include "support/session.h"
#include "support/temp_tree.h"
#include "support/tree_snapshot.h"

namespace tavrik::testing {

// Reasons as the boxes give them.
inline const std::string kNoSuchFile = "Die Datei oder das Verzeichnis ist nicht vorhanden.";
inline const std::string kInvalid = "Ungültiges Argument.";

// Fails chosen calls for the object's lifetime: the nth call of a kind (every call when
// nth is 0) gets the error.
struct Fault {
  FsCall call;
  int error;
  int nth = 1;
};

class InjectFaults {
 public:
  InjectFaults(FaultFileSystem& fs, const std::vector<Fault>& faults) : fs_(fs) {
    for (const Fault& fault : faults) fs_.FailNth(fault.call, fault.nth, fault.error);
  }
  ~InjectFaults() { fs_.Reset(); }
  InjectFaults(const InjectFaults&) = delete;
  InjectFaults& operator=(const InjectFaults&) = delete;

 private:
  FaultFileSystem& fs_;
};

class SyncBench : public ::testing::Test {
 protected:
  SyncBench() {
    tree.Mkdir("left");
    tree.Mkdir("right");
    tree.Mkdir("outside");
    tree.Write("outside/keep.txt", "sentinel", 1000000000);
  }

  // Fills both columns from left/ and right/ and forgets what the fills told the host.
  void Fill() { FillFrom(tree.Path("left"), tree.Path("right")); }
  void FillFrom(const std::string& left, const std::string& right) {
    s.Fill(left, true);
    s.Fill(right, false);
    s.host = FakeHost();
  }

  // The position of the row with these two names; 0 (and a failure) when there is none.
  int Row(std::string_view left, std::string_view right) const {
    for (int i = 1; i <= s.list.RowCount(); ++i)
      if (s.list.LeftName(i) == left && s.list.RightName(i) == right) return i;
    ADD_FAILURE() << "no row " << left << " | " << right;
    return 0;
  }
  void SetMark(std::string_view left, std::string_view right, Mark mark) {
    int pos = Row(left, right);
    if (pos > 0) s.list.SetMark(pos, mark);
  }

  void Sync() { SyncFolders(s.ctx); }
  Snapshot Snap() const { return TakeSnapshot(tree.Path("")); }
  std::vector<std::string> ChangedSince(const Snapshot& before) const {
    return Changes(before, Snap());
  }

  // The box with the reason line the run adds under the detail.
  static std::string BoxText(const std::string& detail, const std::string& reason) {
    return "Abgleichsfehler:\r\r" + detail + "\r" + reason + "\r\rBitte quittieren oder abbrechen";
  }
  std::string CopyBox(const std::string& from, const std::string& to,
                      const std::string& reason) const {
    return BoxText("Die Datei '" + from + "'\rkonnte nicht nach '" + to + "'\rkopiert werden.",
                   reason);
  }
  std::string DeleteBox(const std::string& path, const std::string& reason) const {
    return BoxText("Die Datei '" + path + "'\rkonnte nicht gelöscht werden.", reason);
  }
  // Full paths as the run forms them from the roots the fills stored.
  std::string L(const std::string& rel) const { return s.state.left_root.str() + rel; }
  std::string R(const std::string& rel) const { return s.state.right_root.str() + rel; }

  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> texts;
    for (const Box& box : s.host.boxes) texts.push_back(box.text);
    return texts;
  }

  TempTree tree;
  Session s;
};

}  // namespace tavrik::testing
