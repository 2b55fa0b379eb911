#include "cli/safety.h"

#include "cli/console_host.h"
#include "core/fs/paths.h"
#include "core/sync/sync.h"
#include "core/sync/undo.h"

namespace tavrik {

namespace {

int CountOf(const UndoOutcome& outcome, UndoStep step) {
  int n = 0;
  for (const UndoAction& action : outcome.actions) n += action.step == step;
  return n;
}

void PrintSummary(const UndoOutcome& u, const std::string& root, FILE* out) {
  std::fprintf(out,
               "undone: run %s under %s: %d replaced files put back, %d deleted files restored, "
               "%d new files removed, %d folders removed\n",
               u.run_name.c_str(), root.c_str(), CountOf(u, UndoStep::kPutBack),
               CountOf(u, UndoStep::kRestore), CountOf(u, UndoStep::kMoveAway),
               CountOf(u, UndoStep::kRemoveFolder));
  if (const int moved = CountOf(u, UndoStep::kMoveBack))
    std::fprintf(out, "%d moved files renamed back\n", moved);
  if (!u.run_ended) std::fputs("the run had been cut off; what it did is undone\n", out);
  if (!u.own_folder.empty())
    std::fprintf(out, "what the undo replaced is kept in %s (undo again to go back)\n",
                 u.own_folder.c_str());
}

}  // namespace

std::string HourShiftLine(const RunNotes& notes) {
  if (notes.shifted_side == 0) return {};
  std::string line = "time of the ";
  line += notes.shifted_side == 1 ? "left" : "right";
  line += " folder shifted by ";
  if (notes.shift_hours > 0) line += '+';
  line += std::to_string(notes.shift_hours);
  line += " h: FAT stores local time; ";
  line += std::to_string(notes.undecided);
  line += " pairs left undecided";
  return line;
}

void TellRunNotes(const RunNotes& notes, FILE* err) {
  const std::string hour = HourShiftLine(notes);
  if (!hour.empty()) std::fprintf(err, "%s\n", hour.c_str());
  for (const std::string& folder : notes.pruned)
    std::fprintf(err, "pruned old versions: %s\n", folder.c_str());
  if (notes.refused_links > 0) std::fprintf(err, "%s\n", RefusedLinksText(notes).c_str());
  if (notes.lost_rows > 0) std::fprintf(err, "%s\n", LostRowsText(notes).c_str());
  std::fflush(err);
}

int RunUndo(FileSystem& fs, const std::string& root, bool dry_run, bool quiet, FILE* out,
            FILE* err) {
  ConsoleHost host(ErrorPolicy::kIgnore, out, err);
  host.SetQuiet(quiet);
  const UndoOutcome u = UndoLastRun(fs, host, root, dry_run);
  switch (u.status) {
    case UndoOutcome::kNothingRecorded:
      std::fprintf(err, "tavrik-cli: %s: no run recorded to undo\n", root.c_str());
      return 2;
    case UndoOutcome::kDamaged:
      for (const std::string& name : u.names)
        std::fprintf(err, "tavrik-cli: %s: the record of %s/%s cannot be read; nothing undone\n",
                     root.c_str(), std::string(kVersionsFolder).c_str(), name.c_str());
      return 2;
    case UndoOutcome::kUnreadable:
      std::fprintf(err, "tavrik-cli: %s: the versions cannot be read; nothing undone\n",
                   root.c_str());
      return 2;
    case UndoOutcome::kLocked:
      std::fprintf(err, "tavrik-cli: %s: %s\n", root.c_str(), u.refusal.c_str());
      return 2;
    case UndoOutcome::kDone:
      break;
  }
  const RootPath base(root);
  if (dry_run) {
    for (const UndoAction& action : u.actions) {
      std::string line = std::string(UndoStepWord(action.step)) + '\t' + JoinPath(base, action.rel);
      if (!action.to.empty()) line += '\t' + JoinPath(base, action.to);
      std::fprintf(out, "%s\n", line.c_str());
    }
  } else if (!quiet) {
    PrintSummary(u, root, out);
  }
  std::fflush(out);
  return host.Failures() > 0 ? 1 : 0;
}

}  // namespace tavrik
