#include "batch/run_batch.h"

#include "batch/control_file.h"
#include "batch/exclusion_rules.h"
#include "batch/far_roots.h"
#include "batch/ini_reader.h"
#include "core/compare/compare.h"
#include "core/fs/paths.h"
#include "core/list/clipboard.h"
#include "core/scan/fill.h"
#include "core/scan/scan_ahead.h"
#include "core/sync/sync.h"

namespace tavrik {

namespace {

std::string TrimBlanks(const std::string& text) {
  size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

// Reads and checks the control file; the collected problem lines, empty when it is fine.
std::string CheckControlFile(Context& ctx, const std::string& name, BatchFolders* folders,
                             const SafetySettings& overrides) {
  std::string problems = ControlFileProblem(ctx.fs, name);
  // A control file that is not there or is a folder is reported alone: it is not read.
  if (!problems.empty()) return problems;
  IniReader reader(ctx.fs);
  *folders = ReadBatchFolders(ctx.fs, reader, name, &problems);
  ctx.state.batch = ReadBatchRequests(reader, name);
  SafetySettings settings;
  ReadSafetySettings(reader, name, &settings);
  ApplySafetySettings(settings, ctx.state);
  ApplySafetySettings(overrides, ctx.state);
  // The control file names its pair two-way or not; what the user's own file says has no
  // part in it. An option (--two-way, --no-two-way) overrides the file.
  ctx.state.compare_options.two_way = overrides.two_way.value_or(settings.two_way.value_or(false));
  problems += RequestProblems(ctx.state.batch);
  if (problems.empty()) SetControlRules(ctx.state, ReadBatchRules(reader, name));
  return problems;
}

// Each folder on its own file system, a far one (ssh://...) on a connection of its own made
// before anything is listed; the folders then name the paths the fills take there. Both are
// opened before either becomes a root, so that a refusal leaves the list's roots as they
// were. The problem lines of those that cannot be reached.
std::string OpenFolders(Context& ctx, BatchFolders* folders) {
  std::string problems;
  std::string* names[] = {&folders->left, &folders->right};
  OpenedFolder opened[2];
  for (int side = 0; side < 2; ++side) {
    std::string why;
    if (!OpenFolder(ctx.fs, *names[side], FolderNames::kControlFile, ctx.state.far_access,
                    ctx.state.stop, &opened[side], &why))
      problems += why.empty() ? std::string() : FarFolderProblem(why);
  }
  // Asked to stop while waiting: the steps end at once.
  if (!problems.empty() || ctx.state.stop.Requested()) return problems;
  for (int side = 0; side < 2; ++side)
    *names[side] = AddBackslash(UseFolder(ctx, side, std::move(opened[side])));
  return problems;
}

// Each step finishes before the next one starts; what fails on the way is reported by
// the step itself and does not stop the later ones.
void RunActions(Context& ctx, const BatchFolders& folders) {
  const BatchRequests& r = ctx.state.batch;
  if (r.binary) ctx.host.SelectCompareMode(0);
  if (r.age) ctx.host.SelectCompareMode(1);
  // The right tree is listed while the left one fills. Each folder keeps the side the
  // control file names, also when the left one holds no file.
  ScanAhead ahead(ctx, folders.right);
  FillNamedColumn(ctx, folders.left, true);
  FillNamedColumn(ctx, folders.right, false, &ahead);
  if (r.binary || r.age) CompareFolders(ctx, ctx.host.BinaryModeSelected());
  if (r.clipboard) CopyListToClipboard(ctx);
  if (r.sync) SyncFolders(ctx);
  if (r.end) ctx.host.EndProgram();
}

}  // namespace

void RunBatch(Context& ctx, const std::string& command_line, const SafetySettings& overrides) {
  std::string name = TrimBlanks(command_line);
  if (name.empty()) return;
  ctx.state.batch_active = true;
  name = ControlFileName(name, AppPath());
  BatchFolders folders;
  std::string problems = CheckControlFile(ctx, name, &folders, overrides);
  if (problems.empty()) problems = OpenFolders(ctx, &folders);
  if (!problems.empty()) {
    Refuse(ctx.host, ProblemBoxText(problems));
    ctx.state.batch_active = false;
    return;
  }
  RunActions(ctx, folders);
  ctx.state.batch_active = false;
}

}  // namespace tavrik
