// The console's side of versions, undo and the hour correction: the lines it prints about
// what a run noticed, and the undo command.
#pragma once

#include <cstdio>
#include <string>

#include "core/fs/file_system.h"
#include "core/list/shared_state.h"

namespace tavrik {

// "time of the right folder shifted by +1 h: FAT stores local time; N pairs left
// undecided", or empty when the last comparison found no shift.
std::string HourShiftLine(const RunNotes& notes);

// Prints the hour line and the run folders a sync pruned to err.
void TellRunNotes(const RunNotes& notes, FILE* err);

// tavrik-cli undo: puts the last run recorded under root back (dry_run: prints the steps
// only). Returns the exit status: 0 done, 1 files left alone or steps failed, 2 nothing to
// undo or the record cannot be read.
int RunUndo(FileSystem& fs, const std::string& root, bool dry_run, bool quiet, FILE* out,
            FILE* err);

}  // namespace tavrik
