#include "cli/commands.h"

#include <string>
#include <string_view>
#include <vector>

#include "batch/run_batch.h"
#include "cli/console_host.h"
#include "core/clipboard.h"
#include "core/compare.h"
#include "core/fill.h"
#include "core/sync.h"

namespace tavrik {

namespace {

constexpr const char* kUsage =
    "usage: tavrik-cli fill LEFT [RIGHT]\n"
    "       tavrik-cli compare --binary|--age LEFT RIGHT\n"
    "       tavrik-cli sync [--on-error=ignore|abort|retry-once] LEFT RIGHT\n"
    "       tavrik-cli run [--on-error=ignore|abort|retry-once] CONTROLFILE\n";

constexpr int kUsageError = 64;

struct Session {
  explicit Session(ErrorPolicy policy, FILE* out, FILE* err)
      : host(policy, out, err), ctx{list, state, host} {}
  ComparisonList list;
  SharedState state;
  ConsoleHost host;
  Context ctx;
};

void Fill(Session& s, const std::string& folder, bool left) {
  bool side = left;
  FillColumn(s.ctx, folder, side);
}

void Put(std::string_view text, FILE* out) { std::fwrite(text.data(), 1, text.size(), out); }

// Streams the rows through stdio's buffer rather than building one big text.
void PrintRows(const ComparisonList& list, FILE* out) {
  for (int i = 1; i <= list.RowCount(); ++i) {
    Put(list.LeftName(i), out);
    std::fputc('\t', out);
    Put(MarkText(list.GetMark(i)), out);
    std::fputc('\t', out);
    Put(list.RightName(i), out);
    std::fputc('\n', out);
  }
  std::fflush(out);
}

bool ParsePolicy(std::string_view arg, ErrorPolicy* policy) {
  if (arg == "--on-error=ignore")
    *policy = ErrorPolicy::kIgnore;
  else if (arg == "--on-error=abort")
    *policy = ErrorPolicy::kAbort;
  else if (arg == "--on-error=retry-once")
    *policy = ErrorPolicy::kRetryOnce;
  else
    return false;
  return true;
}

// Takes a leading --on-error=... from args; false when its answer is unknown.
bool TakePolicy(std::vector<std::string>& args, ErrorPolicy* policy) {
  if (args.empty() || args[0].rfind("--on-error", 0) != 0) return true;
  if (!ParsePolicy(args[0], policy)) return false;
  args.erase(args.begin());
  return true;
}

// As diff and cmp answer: 0 when both trees hold the same, 1 when a row differs, 2 when a
// file could not be read or a folder not listed.
int CompareExitCode(const Session& s) {
  if (s.host.Failures() > 0) return 2;
  for (int i = 1; i <= s.list.RowCount(); ++i)
    if (s.list.GetMark(i) != Mark::kEqual) return 1;
  return 0;
}

int Usage(FILE* err) {
  std::fputs(kUsage, err);
  return kUsageError;
}

int CmdFill(const std::vector<std::string>& args, FILE* out, FILE* err) {
  if (args.empty() || args.size() > 2) return Usage(err);
  Session s(ErrorPolicy::kIgnore, out, err);
  Fill(s, args[0], true);
  if (args.size() == 2) Fill(s, args[1], false);
  PrintRows(s.list, out);
  return s.host.Failures() > 0 ? 1 : 0;
}

int CmdCompare(const std::vector<std::string>& args, FILE* out, FILE* err) {
  if (args.size() != 3 || (args[0] != "--binary" && args[0] != "--age")) return Usage(err);
  Session s(ErrorPolicy::kIgnore, out, err);
  bool binary = args[0] == "--binary";
  s.host.SelectCompareMode(binary ? 0 : 1);
  Fill(s, args[1], true);
  Fill(s, args[2], false);
  CompareFolders(s.ctx, binary);
  CopyListToClipboard(s.ctx);
  return CompareExitCode(s);
}

int CmdSync(std::vector<std::string> args, FILE* out, FILE* err) {
  ErrorPolicy policy = ErrorPolicy::kIgnore;
  if (!TakePolicy(args, &policy)) return Usage(err);
  if (args.size() != 2) return Usage(err);
  Session s(policy, out, err);
  // An unattended run like a control file asking for the age comparison and the sync:
  // the comparison's result box is left out, only failures are reported.
  s.state.batch_active = true;
  s.state.batch.age = s.state.batch.sync = true;
  s.host.SelectCompareMode(1);
  Fill(s, args[0], true);
  Fill(s, args[1], false);
  CompareFolders(s.ctx, false);
  SyncFolders(s.ctx);
  CopyListToClipboard(s.ctx);
  return s.host.Failures() > 0 ? 1 : 0;
}

int CmdRun(std::vector<std::string> args, FILE* out, FILE* err) {
  ErrorPolicy policy = ErrorPolicy::kIgnore;
  if (!TakePolicy(args, &policy)) return Usage(err);
  if (args.empty()) return Usage(err);
  // The control file's name is the whole argument text, as the window takes it.
  std::string command_line;
  for (const auto& a : args) {
    if (!command_line.empty()) command_line.push_back(' ');
    command_line += a;
  }
  Session s(policy, out, err);
  RunBatch(s.ctx, command_line);
  return s.host.ExitCode();
}

}  // namespace

int RunCli(int argc, char** argv, FILE* out, FILE* err) {
  if (argc < 2) return Usage(err);
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "fill") return CmdFill(args, out, err);
  if (command == "compare") return CmdCompare(args, out, err);
  if (command == "sync") return CmdSync(std::move(args), out, err);
  if (command == "run") return CmdRun(std::move(args), out, err);
  return Usage(err);
}

}  // namespace tavrik
