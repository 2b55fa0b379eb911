// Putting back the last run recorded under one root (core/sync/versions.h): replaced and
// deleted files return from the run's versions, files the run created go into a version
// folder of the undo itself (so the undo can be undone in turn), and folders the run made
// go when they are empty. A file changed since the run is left as it is and reported.
#pragma once

#include <string>
#include <vector>

#include "core/fs/file_system.h"
#include "core/list/host.h"
#include "core/sync/run_record.h"

namespace tavrik {

enum class UndoStep {
  kPutBack,       // a replaced file returns; the run's file goes into the undo's versions
  kRestore,       // a deleted file returns
  kMoveAway,      // a file the run created goes into the undo's versions
  kRemoveFolder,  // a folder the run made goes, when empty
  kMakeFolder,    // a folder an undone undo removed comes back
  kMoveBack,      // a file the run moved (renamed) goes back to its old name
};

struct UndoAction {
  UndoStep step;
  std::string rel;
  std::string to;  // kMoveBack: the old name the file returns to (rel: where it lies now)
};

struct UndoOutcome {
  enum Status {
    kDone,             // the run was put back, as far as nothing had changed since
    kNothingRecorded,  // no run is recorded under the root
    kDamaged,          // a record there cannot be read: no run is touched
    kUnreadable,       // the versions folder cannot be read
    kLocked,           // a run of a pair of the root is going on: nothing touched
  };
  Status status = kNothingRecorded;
  std::string run_name;  // the folder of the run put back
  RunHeader run;
  bool run_ended = false;           // false: the run was cut off before it closed its record
  std::vector<std::string> names;   // kDamaged: the folders with damaged records
  std::vector<UndoAction> actions;  // done, or with dry_run what would be done
  int changed = 0;                  // files left alone as changed since the run
  int failed = 0;                   // steps that failed (each reported)
  int untimed = 0;         // files back whose old time could not be set again (each reported)
  std::string own_folder;  // the undo's own version folder; empty when none
  std::string refusal;     // kLocked: the German message
};

// Puts the last run recorded under root back (dry_run: changes nothing and tells what it
// would do). Changed files and failures are reported as warnings through host, one each;
// the other files are still handled.
UndoOutcome UndoLastRun(FileSystem& fs, Host& host, const std::string& root, bool dry_run);

// "restore", "remove", ...: the word the console prints for a step.
const char* UndoStepWord(UndoStep step);

}  // namespace tavrik
