#include "cli/commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "batch/exclusion_rules.h"
#include "batch/far_roots.h"
#include "batch/run_batch.h"
#include "batch/safety_settings.h"
#include "cli/console_host.h"
#include "cli/json_lines.h"
#include "cli/progress.h"
#include "cli/row_work.h"
#include "cli/safety.h"
#include "core/compare/compare.h"
#include "core/fs/error_text.h"
#include "core/fs/file_io.h"
#include "core/fs/paths.h"
#include "core/fs/user_config.h"
#include "core/list/clipboard.h"
#include "core/list/row_text.h"
#include "core/parallel/stop_signals.h"
#include "core/scan/fill.h"
#include "core/scan/scan_ahead.h"
#include "core/sync/sync.h"
#include "core/sync/sync_plan.h"
#include "core/sync/two_way_sync.h"

#ifndef TAVRIK_VERSION
#define TAVRIK_VERSION "0"
#endif

namespace tavrik {

namespace {

constexpr const char* kUsage =
    "usage: tavrik-cli fill [RULES] [--links=L] [--explain PATH] [--format=FMT] [--quiet]\n"
    "                       LEFT [RIGHT]\n"
    "       tavrik-cli compare --binary|--age [--two-way [--max-delete=N|N%]]\n"
    "                          [--no-hour-correction] [RULES] [--links=L] [--format=FMT]\n"
    "                          [--quiet] LEFT RIGHT\n"
    "       tavrik-cli sync [--on-error=ignore|abort|retry-once] [--dry-run] [--copy-new]\n"
    "                       [--trash | --versions [--keep-versions=N] | --no-versions]\n"
    "                       [--two-way [--max-delete=N|N%] | --no-two-way]\n"
    "                       [--no-hour-correction] [RULES] [--links=L] [--format=FMT]\n"
    "                       [--quiet] LEFT RIGHT\n"
    "       tavrik-cli run [--on-error=ignore|abort|retry-once] [--versions\n"
    "                      [--keep-versions=N] | --no-versions] [--two-way\n"
    "                      [--max-delete=N|N%] | --no-two-way] [--no-hour-correction]\n"
    "                      [RULES] [--links=L] [--quiet] CONTROLFILE\n"
    "       tavrik-cli undo [--dry-run] [--quiet] ROOT\n"
    "       tavrik-cli --help | --version\n"
    "RULES: [--exclude=RULE] [--include=RULE] [--exclude-from=FILE] [--no-user-rules]\n"
    "fill, compare, sync, run and undo also take [--push-agent] [--ssh=COMMAND].\n"
    "A folder of fill, compare, sync and undo may lie on another machine: [user@]host:path\n"
    "or ssh://[user@]host[:port]/path; a control file names one only as\n"
    "ssh://[user@]host[:port]/path.\n";

constexpr const char* kOptions =
    "\n"
    "Compares two folder trees and brings them into line (see tavrik-cli(1)).\n"
    "\n"
    "  -h, --help        show this help and exit\n"
    "      --version     show the version and exit\n"
    "  -q, --quiet       print nothing but errors (the exit status tells the result)\n"
    "      --binary      compare contents; --age: compare modification times\n"
    "      --on-error=A  answer to a failed copy or deletion: ignore (default), abort,\n"
    "                    retry-once\n"
    "      --dry-run     print each action of the sync (mark, left and right path) and\n"
    "                    change nothing\n"
    "      --copy-new    copy files that exist on one side only (\"? -->\", \"? <--\")\n"
    "      --trash       move deleted and replaced files to the trash\n"
    "      --versions    keep what the sync replaces or deletes in\n"
    "                    ROOT/.tavrik-versions/<run>/ so that 'undo' can put it back\n"
    "                    (not with --trash); --no-versions: keep nothing there\n"
    "      --keep-versions=N  runs kept per folder, this one among them (default 10)\n"
    "      --two-way     remember the state both folders were left in (in\n"
    "                    ROOT/.tavrik-state/), so that the age comparison tells deleted\n"
    "                    from new, moved from new and a change on both sides from a\n"
    "                    newer file: deletions and moves travel, conflicts are left\n"
    "                    alone (\"][\"); --no-two-way: not for this run (a control file's\n"
    "                    Zweiweg=1 included)\n"
    "      --max-delete=N  with --two-way: a side whose files are missing by more than N\n"
    "                    of those in the state (N% of them; default 50%, at least 10) is\n"
    "                    not taken as deleted, and sync and run refuse to start\n"
    "      --no-hour-correction  take the times of a FAT folder as they stand, even when\n"
    "                    most pairs differ by whole hours (a change of the clocks)\n"
    "      --exclude=RULE       leave out what RULE matches (the syntax of .gitignore)\n"
    "      --include=RULE       take back what RULE matches (as --exclude='!RULE')\n"
    "      --exclude-from=FILE  the rules in FILE, one a line\n"
    "      --no-user-rules      leave out the rules of ~/.config/tavrik/ignore\n"
    "      --links=L     keep (default): a symbolic link is an entry of its own, never\n"
    "                    followed, compared by its target text and copied as a link;\n"
    "                    follow: read as what it leads to (files and folders, within the\n"
    "                    folder's file system; loops and dangling links are left out)\n"
    "      --ssh=COMMAND  for a folder on another machine: start its far end with\n"
    "                    COMMAND (words split on blanks) instead of ssh; TAVRIK_SSH too\n"
    "      --push-agent  for a folder on another machine: copy the tavrik-agent that\n"
    "                    lies beside this program to the far user's ~/.cache/tavrik/\n"
    "                    (once per build) and start it there instead of an installed\n"
    "                    tavrik-cli; it must be built for the far machine's type\n"
    "                    (uname -m)\n"
    "      --explain PATH       fill: say which rule, file and line decide PATH\n"
    "                           (relative to the folders), or why it is not listed,\n"
    "                           instead of listing\n"
    "      --format=FMT  text (default: the rows as tab-separated text) or json: one JSON\n"
    "                    object a line; fill and compare give each row (left, mark,\n"
    "                    right, and the sizes and times read), sync --dry-run each action\n"
    "                    (what, mark, from, to), sync each action with its outcome and\n"
    "                    reason; a name that is not UTF-8 comes with its bytes in base64;\n"
    "                    with --two-way each row and action also says why (new, changed,\n"
    "                    deleted, moved, conflict, no-state)\n"
    "                    after the rows, {\"left_out\": PATH, \"why\": W} for each entry\n"
    "                    not listed (W: fifo, socket, device, dangling, loop, other-fs)\n"
    "\n"
    "undo puts the last recorded run under ROOT back, on that side only (a sync changes\n"
    "two folders: undo each); files changed since the run stay and are reported. What\n"
    "the undo replaces is kept in a version folder of its own, so it can be undone too.\n"
    "The user's ~/.config/tavrik/tavrik.ini and a control file may set Versionen=1,\n"
    "Behalten=N, Stundenkorrektur=0 and Verknüpfungen=1 (--links=follow) in a\n"
    "[Sicherung] section; options override both.\n"
    "A control file's [Sicherung] may set Zweiweg=1 for its pair; the user's tavrik.ini\n"
    "sets it for the window's own folders only, never for the console or a control file.\n"
    "\n"
    "Rules combine in this order, later lines winning: the user's file\n"
    "($XDG_CONFIG_HOME/tavrik/ignore), a control file's section [Ausschluss], then\n"
    "--exclude, --include and --exclude-from as given. How many entries they left out\n"
    "goes to standard error, and so does how many entries were not listed and why\n"
    "(FIFOs, sockets and devices are never opened); neither changes the exit status.\n"
    "\n"
    "The user's own files are optional: where their folder cannot be searched (another\n"
    "user with this one's HOME), one warning, and the run goes on without them.\n"
    "\n"
    "Exit status: 0 success (compare: every pair equal; sync: conflicts left alone and a\n"
    "first two-way run too), 1 failures during the run (compare: differences), 2 usage\n"
    "errors, missing folders, rule files or the user's tavrik.ini that exist but cannot be\n"
    "read (compare: files that could not be read), a two-way sync refused because a side\n"
    "lost too many files, or its pair in use by another run.\n";

constexpr int kUsageError = 2;

enum class Command { kNone, kFill, kCompare, kSync, kRun, kUndo };

struct Options {
  Command command = Command::kNone;
  bool help = false;
  bool version = false;
  bool quiet = false;
  bool binary = false;
  bool age = false;
  bool dry_run = false;
  bool copy_new = false;
  bool trash = false;
  bool json = false;
  bool bad_number = false;
  bool bad_format = false;
  bool bad_links = false;
  bool bad_limit = false;
  std::optional<bool> two_way;  // --two-way / --no-two-way; unset: the control file decides
  DeleteLimit max_delete;
  SafetySettings safety;  // what the options say; they override the files
  ErrorPolicy policy = ErrorPolicy::kIgnore;
  RuleOptions rules;
  bool explain = false;
  std::string explain_path;
  // --push-agent: a folder on another machine is served by the tavrik-agent beside this
  // program, copied there first (remote::FarCommandFor), not by an installed tavrik-cli.
  bool push_agent = false;
  // --ssh=COMMAND: what starts a far folder's far end instead of ssh (before TAVRIK_SSH).
  std::optional<std::string> ssh;
  std::vector<std::string> args;
};

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

// Takes one option (argument number index); false when the command does not know it.
bool TakeOption(std::string_view arg, int index, Options& o) {
  const Command c = o.command;
  if (arg == "--help" || arg == "-h") return o.help = true;
  if (arg == "--version") return o.version = true;
  if (c == Command::kNone) return false;
  if (arg == "--quiet" || arg == "-q") return o.quiet = true;
  if (arg == "--push-agent") return o.push_agent = true;
  if (arg.rfind("--ssh=", 0) == 0) {
    o.ssh = arg.substr(6);
    return true;
  }
  if (c != Command::kUndo && TakeRuleOption(arg, index, &o.rules)) return true;
  if (c == Command::kFill && arg.rfind("--explain=", 0) == 0) {
    o.explain_path = std::string(arg.substr(10));
    return o.explain = true;
  }
  if ((c == Command::kFill || c == Command::kCompare || c == Command::kSync) &&
      arg.rfind("--format=", 0) == 0) {
    const std::string_view format = arg.substr(9);
    o.json = format == "json";
    o.bad_format = !o.json && format != "text";
    return true;
  }
  if (c != Command::kUndo && (arg == "--links=keep" || arg == "--links=follow")) {
    o.safety.follow_links = arg == "--links=follow";
    return true;
  }
  if (c != Command::kUndo && arg.rfind("--links", 0) == 0) return o.bad_links = true;
  if (c == Command::kCompare && arg == "--binary") return o.binary = true;
  if (c == Command::kCompare && arg == "--age") return o.age = true;
  if ((c == Command::kSync || c == Command::kRun) && arg.rfind("--on-error=", 0) == 0)
    return ParsePolicy(arg, &o.policy);
  if ((c == Command::kSync || c == Command::kUndo) && arg == "--dry-run") return o.dry_run = true;
  if (c == Command::kSync || c == Command::kRun) {
    if (arg == "--versions" || arg == "--no-versions") {
      o.safety.versions = arg == "--versions";
      return true;
    }
    if (arg.rfind("--keep-versions=", 0) == 0) {
      const std::string_view n = arg.substr(16);
      int keep = 0;
      const auto [end, error] = std::from_chars(n.data(), n.data() + n.size(), keep);
      o.bad_number = n.empty() || error != std::errc() || end != n.data() + n.size() || keep < 1;
      if (!o.bad_number) o.safety.keep = keep;
      return true;
    }
  }
  if (c == Command::kSync || c == Command::kRun || c == Command::kCompare) {
    if (arg == "--no-hour-correction") {
      o.safety.hour_correction = false;
      return true;
    }
  }
  if ((c == Command::kSync || c == Command::kRun || c == Command::kCompare) &&
      (arg == "--two-way" || arg == "--no-two-way")) {
    o.two_way = arg == "--two-way";
    return true;
  }
  if ((c == Command::kSync || c == Command::kRun || c == Command::kCompare) &&
      arg.rfind("--max-delete=", 0) == 0) {
    const std::optional<DeleteLimit> limit = ParseDeleteLimit(arg.substr(13));
    o.bad_limit = !limit;
    if (limit) o.max_delete = *limit;
    return true;
  }
  if (c == Command::kSync && arg == "--copy-new") return o.copy_new = true;
  if (c == Command::kSync && arg == "--trash") return o.trash = true;
  return false;
}

Command CommandOf(std::string_view word) {
  if (word == "fill") return Command::kFill;
  if (word == "compare") return Command::kCompare;
  if (word == "sync") return Command::kSync;
  if (word == "run") return Command::kRun;
  if (word == "undo") return Command::kUndo;
  return Command::kNone;
}

// Complains on err and returns the usage error status.
int Refuse(FILE* err, const std::string& what) {
  std::fprintf(err, "tavrik-cli: %s\nTry 'tavrik-cli --help' for more information.\n",
               what.c_str());
  return kUsageError;
}

// Parses argv; returns -1 when the command should run, else the exit status.
int Parse(int argc, char** argv, Options& o, FILE* out, FILE* err) {
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!options_end && arg == "--") {
      options_end = true;
    } else if (!options_end && o.command == Command::kFill && arg == "--explain") {
      if (i + 1 >= argc) return Refuse(err, "--explain needs a path");
      o.explain = true;
      o.explain_path = argv[++i];
    } else if (!options_end && arg.size() > 1 && arg[0] == '-') {
      const bool taken = TakeOption(arg, i, o);
      if (o.bad_number) return Refuse(err, "invalid number in '" + arg + "'");
      if (o.bad_format) return Refuse(err, "unknown format in '" + arg + "' (text or json)");
      if (o.bad_links) return Refuse(err, "unknown link policy in '" + arg + "' (keep or follow)");
      if (o.bad_limit) return Refuse(err, BadDeleteLimitText(arg));
      if (!taken) {
        if (arg.rfind("--on-error", 0) == 0 &&
            (o.command == Command::kSync || o.command == Command::kRun))
          return Refuse(err, "invalid answer in '" + arg + "'");
        return Refuse(err, "unknown option '" + arg + "'");
      }
    } else if (o.command == Command::kNone) {
      o.command = CommandOf(arg);
      if (o.command == Command::kNone) return Refuse(err, "unknown command '" + arg + "'");
    } else {
      o.args.push_back(arg);
    }
  }
  if (o.help) {
    std::fputs(kUsage, out);
    std::fputs(kOptions, out);
    return 0;
  }
  if (o.version) {
    std::fputs("tavrik-cli " TAVRIK_VERSION "\n", out);
    return 0;
  }
  const size_t n = o.args.size();
  bool fits = false;
  switch (o.command) {
    case Command::kNone:
      std::fputs(kUsage, err);
      return kUsageError;
    case Command::kFill:
      fits = n == 1 || n == 2;
      break;
    case Command::kCompare:
      if (o.binary == o.age) return Refuse(err, "compare needs either --binary or --age");
      if (o.binary && o.two_way.value_or(false))
        return Refuse(err, "--two-way goes with --age only");
      fits = n == 2;
      break;
    case Command::kSync:
      fits = n == 2;
      break;
    case Command::kRun:
      fits = n >= 1;
      break;
    case Command::kUndo:
      fits = n == 1;
      break;
  }
  if (o.trash && o.safety.versions.value_or(false))
    return Refuse(err, "--versions and --trash exclude each other");
  if (!fits) return Refuse(err, "wrong number of arguments");
  return -1;
}

// A root must be a folder that can be opened; anything else would be scanned as empty.
bool RootsUsable(FileSystem& fs, const std::vector<std::string>& roots, FILE* err) {
  for (const std::string& root : roots) {
    Fd fd(fs, fs.OpenAt(AT_FDCWD, root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) {
      std::fprintf(err, "tavrik-cli: %s: %s\n", root.c_str(), std::strerror(errno));
      return false;
    }
  }
  return true;
}

struct Session {
  Session(FileSystem& fs, const Options& o, FILE* out, FILE* err)
      : host(o.policy, out, err), meter(err, !o.quiet), ctx{list, state, host, fs} {
    host.SetQuiet(o.quiet);
    host.SetMeter(&meter);
    host.SetStop(&state.stop);
    state.far_access.has_ssh = o.ssh.has_value();
    state.far_access.ssh = o.ssh.value_or(std::string());
    state.far_access.push_agent = o.push_agent;
    // Ctrl-C, a closed terminal or a stop request end the run through its clean-up.
    CatchStopSignals(state.stop);
    if (!o.quiet) host.SetBeforeEnd([this, err] { TellRunNotes(state.notes, err); });
  }
  ~Session() {
    meter.Clear();
    host.EndIfInterrupted();
  }
  // An interrupted run prints no rows: the process ends by its signal instead.
  bool Printing(const Options& o) const { return !o.quiet && !state.stop.Requested(); }
  ComparisonList list;
  SharedState state;
  ConsoleHost host;
  ProgressMeter meter;
  Context ctx;
};

void TellUnreadable(const std::string& sentence, const FsError& e, FILE* err) {
  std::fprintf(err, "tavrik-cli: %s\nGrund: %s (%d)\n", sentence.c_str(), ReasonText(e).c_str(),
               e.code);
}

// The user's own files are optional: where a folder on their way cannot be searched (another
// user with the first one's HOME), one warning, and the run goes on without them.
void WarnUnreachableUserFiles(FileSystem& fs, const Options& o, FILE* err) {
  for (const char* leaf : {"ignore", "tavrik.ini"}) {
    if (o.rules.no_user_rules && std::string_view(leaf) == "ignore") continue;
    const std::string path = UserConfigFile(leaf);
    if (const int code = UserFileUnreachable(fs, path)) {
      const std::string folder = path.substr(0, path.size() - std::strlen(leaf));
      std::fprintf(err,
                   "tavrik-cli: warning: unable to access '%s': %s; going on without the rules "
                   "and settings kept there\n",
                   folder.c_str(), std::strerror(code));
      return;
    }
  }
}

// Puts the user's files and the options in force before anything runs: the user's settings
// first, the options over them (a control file comes in between), the rules of the user's
// file and the options. A rule or settings file that cannot be read is reported, and false.
bool UserFilesReady(Session& s, const Options& o, FILE* err) {
  FileSystem& fs = s.ctx.fs;
  WarnUnreachableUserFiles(fs, o, err);
  Result<SafetySettings> settings = UserSafetySettings(fs);
  if (!settings.ok()) {
    TellUnreadable(SettingsFileSentence(settings.error()), settings.error(), err);
    return false;
  }
  ApplySafetySettings(settings.value(), s.state);
  ApplySafetySettings(o.safety, s.state);
  // Two-way only where this run asks for it (a control file may, in RunBatch): never from
  // the user's own file, which would turn every backup script two-way.
  s.state.compare_options.two_way = o.two_way.value_or(false);
  s.state.compare_options.max_delete = o.max_delete;
  // --trash is an option too: over a file's Versionen=1 it wins.
  if (o.trash) s.state.sync_options.versions = false;
  const FsResult loaded = LoadRules(fs, o.rules, s.state);
  if (loaded.ok()) return true;
  TellUnreadable(RuleFileSentence(loaded.error()), loaded.error(), err);
  return false;
}

std::string Where(const RuleLine& line) {
  if (line.origin == kCommandLineOrigin)
    return std::string(kCommandLineOrigin) + ", argument " + std::to_string(line.line);
  return line.origin + ", line " + std::to_string(line.line);
}

// After the fills: rules that can never match, and how many entries the rules left out
// (a folder counts once, and so does a file whose partner on the other side they matched).
void ReportRules(Session& s, const Options& o, FILE* err) {
  if (o.quiet) return;
  s.meter.Clear();
  const RuleSet& rules = s.state.rules;
  for (int r = 0; r < rules.RuleCount(); ++r)
    if (rules.NeverMatches(r))
      std::fprintf(err, "tavrik-cli: %s: the rule '%s' can never match\n",
                   Where(rules.LineOf(r)).c_str(), rules.LineOf(r).text.c_str());
  if (rules.empty() || s.state.left_root.empty()) return;
  const size_t left = s.state.left_exclusions.Count();
  const size_t right = s.state.right_exclusions.Count();
  const size_t all = left + right;
  std::string line = "tavrik-cli: " + std::to_string(all) + (all == 1 ? " entry" : " entries") +
                     " left out by the exclusion rules";
  if (!s.state.right_root.empty())
    line += " (" + std::to_string(left) + " left, " + std::to_string(right) + " right)";
  std::fprintf(err, "%s\n", line.c_str());
  std::fflush(err);
}

// What each kind of entry left out is called in the count line.
const char* LeftOutPhrase(LeftOutWhy why) {
  switch (why) {
    case LeftOutWhy::kFifo:
      return "FIFOs, never opened";
    case LeftOutWhy::kSocket:
      return "sockets, never opened";
    case LeftOutWhy::kDevice:
      return "devices, never opened";
    case LeftOutWhy::kDangling:
      return "links that lead nowhere";
    case LeftOutWhy::kLoop:
      return "links that lead back into their own tree (loops)";
    case LeftOutWhy::kOtherFs:
      return "links that lead to another file system";
  }
  return "";
}

// After the fills: how many entries the scan could not list, one line a kind, as the count
// of the exclusion rules says it. They do not change the exit status.
void ReportLeftOut(Session& s, const Options& o, FILE* err) {
  if (o.quiet || s.state.left_root.empty()) return;
  s.meter.Clear();
  size_t left[kLeftOutWhyCount] = {};
  size_t right[kLeftOutWhyCount] = {};
  for (const LeftOutEntry& e : s.state.left_left_out) ++left[static_cast<int>(e.why)];
  for (const LeftOutEntry& e : s.state.right_left_out) ++right[static_cast<int>(e.why)];
  for (int k = 0; k < kLeftOutWhyCount; ++k) {
    const size_t all = left[k] + right[k];
    if (all == 0) continue;
    std::string line = "tavrik-cli: " + std::to_string(all) + (all == 1 ? " entry" : " entries") +
                       " left out as " + LeftOutPhrase(static_cast<LeftOutWhy>(k));
    if (!s.state.right_root.empty())
      line += " (" + std::to_string(left[k]) + " left, " + std::to_string(right[k]) + " right)";
    std::fprintf(err, "%s\n", line.c_str());
  }
  std::fflush(err);
}

// The folders keep the sides they are named for, also when the left one holds no file.
void Fill(Session& s, const std::string& folder, bool left, ScanAhead* ahead = nullptr) {
  s.meter.Start(left ? "Einlesen links" : "Einlesen rechts");
  FillNamedColumn(s.ctx, folder, left, ahead);
}

// The right tree is listed while the left one fills.
void FillBoth(Session& s, const std::string& left, const std::string& right) {
  ScanAhead ahead(s.ctx, right);
  Fill(s, left, true);
  Fill(s, right, false, &ahead);
}

// Each folder named on its side's file system (a far one on a connection of its own, made
// before anything is listed), in *paths as that file system names it. False, with one line on
// err, when one cannot be reached or opened.
bool OpenRoots(Session& s, const std::vector<std::string>& names, std::vector<std::string>* paths,
               FILE* err) {
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    std::string path, why;
    if (!OpenSide(s.ctx, static_cast<int>(i), name, FolderNames::kCommandLine, &path, &why)) {
      if (!why.empty()) std::fprintf(err, "tavrik-cli: %s: %s\n", name.c_str(), why.c_str());
      return false;
    }
    FileSystem& fs = s.ctx.RootFs(i == 0 ? RootSide::kLeft : RootSide::kRight);
    Fd fd(fs, fs.OpenAt(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) {
      std::fprintf(err, "tavrik-cli: %s: %s\n", name.c_str(), std::strerror(errno));
      return false;
    }
    paths->push_back(path);
  }
  return true;
}

void Compare(Session& s, bool binary) {
  s.meter.Start(binary ? "Binärvergleich" : "Altersvergleich", CompareWork(s.list, binary));
  CompareFolders(s.ctx, binary);
}

// The two-way comparison's own lines (deleted on either side, conflicts, moves, no common
// state yet), where no result box showed them.
void TellTwoWay(Session& s, FILE* err) {
  std::string text = TwoWaySummary(s.state.two_way);
  if (text.empty()) return;
  s.meter.Clear();
  for (char& c : text)
    if (c == kCr) c = '\n';
  std::fputs(text.c_str(), err);
  std::fflush(err);
}

// An empty view may hold no pointer at all, which fwrite must not be given.
void Put(std::string_view text, FILE* out) {
  if (!text.empty()) std::fwrite(text.data(), 1, text.size(), out);
}

// Streams the rows through stdio's buffer rather than building one big text. The fill's
// lines end in LF, as scripts that read them expect (compare and sync print the clipboard's
// text, with its CR LF). A reader that closed the pipe stops it.
// The target text of the link at path, as the fill listed it; empty when it cannot be read.
std::string LinkText(FileSystem& fs, const std::string& path) {
  std::string text;
  return ReadLinkText(fs, AT_FDCWD, path.c_str(), &text) == 0 ? text : std::string();
}

// One row as JSON, with the target texts of its links and, after a two-way comparison, why
// it got its mark.
std::string RowJsonOf(Session& s, int pos) {
  const ComparisonList& list = s.list;
  const TwoWaySession& two_way = s.state.two_way;
  const TwoWayWhy why =
      two_way.active ? two_way.WhyOf(list.LeftName(pos), list.RightName(pos)) : TwoWayWhy::kNone;
  std::optional<std::string> left, right;
  if (list.LeftKind(pos) == FileKind::kLink)
    left = LinkText(s.ctx.LeftFs(), JoinPath(s.state.left_root, list.LeftName(pos)));
  if (list.RightKind(pos) == FileKind::kLink)
    right = LinkText(s.ctx.RightFs(), JoinPath(s.state.right_root, list.RightName(pos)));
  return RowJson(list, pos, left ? &*left : nullptr, right ? &*right : nullptr, TwoWayWhyWord(why));
}

// Each entry the fills left out, after the rows, by full path.
void PrintLeftOut(const Session& s, FILE* out) {
  for (const LeftOutEntry& e : s.state.left_left_out)
    Put(LeftOutJson(JoinPath(s.state.left_root, e.path), LeftOutWord(e.why)), out);
  for (const LeftOutEntry& e : s.state.right_left_out)
    Put(LeftOutJson(JoinPath(s.state.right_root, e.path), LeftOutWord(e.why)), out);
}

void PrintRows(Session& s, bool json, FILE* out) {
  const ComparisonList& list = s.list;
  StopFlag& stop = s.state.stop;
  std::string line;
  for (int i = 1; i <= list.RowCount(); ++i) {
    if (json) {
      line = RowJsonOf(s, i);
    } else {
      line.clear();
      AppendListRow(line, list, i, "\n");
    }
    Put(line, out);
    if (std::ferror(out) && errno == EPIPE) break;
  }
  if (json) PrintLeftOut(s, out);
  if (std::fflush(out) != 0 && errno == EPIPE) stop.Request(StopReason::kBrokenPipe);
}

// The dry run: each row the sync would act on, in the order it would, as mark, left path
// and right path; a copy names its target even where that side has no file yet. As JSON,
// each action on its own line, a row that deletes both files giving two.
void PrintPlan(Session& s, bool json, FILE* out) {
  std::string line;
  const TwoWaySession& two_way = s.state.two_way;
  MovePlan moves(s.list, two_way);
  for (int i = s.list.RowCount(); i >= 1; --i) {
    const RowPlan plan = PlanRow(s.list, s.state, i);
    if (!plan.Acts()) continue;
    line.clear();
    const std::string_view mark = MarkText(plan.mark);
    const char* why =
        two_way.active ? TwoWayWhyWord(two_way.WhyOf(s.list.LeftName(i), s.list.RightName(i))) : "";
    const auto action = [&](SyncAction::Kind kind, const SyncSide& from, const SyncSide* to) {
      SyncAction a;
      a.kind = kind;
      a.mark = mark;
      a.from = from.full;
      if (to) a.to = to->full;
      if (to && from.kind == FileKind::kLink)
        a.link = LinkText(&from == &plan.left ? s.ctx.LeftFs() : s.ctx.RightFs(), from.full);
      a.why = why;
      line += ActionJson(a, false);
    };
    // A move is one line, at the first of its rows the sync reaches.
    int twin = 0;
    if (moves.IsDone(i)) continue;
    if (const MovePair* move = moves.At(i, &twin)) {
      moves.Done(i);
      const RootPath& root = move->side == 'R' ? s.state.right_root : s.state.left_root;
      SyncAction a;
      a.kind = SyncAction::kMove;
      a.mark = mark;
      a.from = JoinPath(root, move->from);
      a.to = JoinPath(root, move->to);
      a.why = TwoWayWhyWord(TwoWayWhy::kMoved);
      if (json)
        line = ActionJson(a, false);
      else
        line = "mv\t" + a.from + '\t' + a.to + '\n';
      Put(line, out);
      continue;
    }
    if (!json) {
      AppendRowText(line, mark, plan.left.full, plan.right.full, "\n");
    } else if (plan.IsCopy()) {
      action(SyncAction::kCopy, plan.From(), &plan.To());
    } else {
      if (plan.mark != Mark::kDeleteRight) action(SyncAction::kDelete, plan.left, nullptr);
      if (plan.mark != Mark::kDeleteLeft) action(SyncAction::kDelete, plan.right, nullptr);
    }
    Put(line, out);
  }
  std::fflush(out);
}

// Why the scan would not list path (relative to root) itself; empty when it would.
std::string WhyNotListed(FileSystem& fs, const std::string& root, const std::string& path,
                         bool follow_links) {
  const std::string full = AddBackslash(root) + path;
  struct stat st {};
  if (fs.StatAt(AT_FDCWD, full.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return {};
  if (S_ISFIFO(st.st_mode)) return "a FIFO is never opened (fifo)";
  if (S_ISSOCK(st.st_mode)) return "a socket is never opened (socket)";
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "a device is never opened (device)";
  if (!S_ISLNK(st.st_mode) || !follow_links) return {};
  struct stat target {};
  if (fs.StatAt(AT_FDCWD, full.c_str(), &target, 0) != 0)
    return errno == ELOOP ? "the link leads back to itself (loop)"
                          : "the link leads nowhere (dangling)";
  if (!S_ISDIR(target.st_mode)) return {};
  struct stat top {};
  if (fs.StatAt(AT_FDCWD, root.c_str(), &top, 0) == 0 && top.st_dev != target.st_dev)
    return "the link leads to another file system (other-fs)";
  // The folders on the way down, the root among them.
  for (size_t cut = 0;;) {
    struct stat on_way {};
    const std::string folder = AddBackslash(root) + path.substr(0, cut);
    if (fs.StatAt(AT_FDCWD, folder.c_str(), &on_way, 0) == 0 && on_way.st_dev == target.st_dev &&
        on_way.st_ino == target.st_ino)
      return "the link leads back to a folder on its way (loop)";
    cut = path.find(kSep, cut == 0 ? 0 : cut + 1);
    if (cut == std::string::npos) break;
  }
  return {};
}

// What decides a path: the rule with its file and line, or the excluded folder above it.
int Explain(Session& s, const Options& o, const std::vector<std::string>& roots, FILE* out,
            FILE* err) {
  std::string path = o.explain_path;
  bool folder = false;
  while (!path.empty() && path.back() == kSep) {
    folder = true;
    path.pop_back();
  }
  while (path.rfind("./", 0) == 0) path.erase(0, 2);
  if (path.empty() || path[0] == kSep)
    return Refuse(err, "--explain needs a path relative to the folders");
  // The first folder is the left root, the second the right one.
  const auto root_fs = [&](size_t i) -> FileSystem& {
    return s.ctx.RootFs(i == 0 ? RootSide::kLeft : RootSide::kRight);
  };
  for (size_t i = 0; i < roots.size(); ++i) {
    const std::string& root = roots[i];
    struct stat st {};
    const std::string full = AddBackslash(root) + path;
    if (root_fs(i).StatAt(AT_FDCWD, full.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
      folder = folder || S_ISDIR(st.st_mode);
  }
  const char* shown = o.explain_path.c_str();
  for (size_t start = 0; start < path.size();) {
    if (path[start] == '.') {
      std::fprintf(out, "%s: left out: names beginning with a dot are always left out\n", shown);
      return 0;
    }
    const size_t cut = path.find(kSep, start);
    start = cut == std::string::npos ? path.size() : cut + 1;
  }
  for (size_t i = 0; i < roots.size(); ++i) {
    const std::string why = WhyNotListed(root_fs(i), roots[i], path, s.state.follow_links);
    if (why.empty()) continue;
    std::fprintf(out, "%s: left out: %s\n", shown, why.c_str());
    return 0;
  }
  const RuleVerdict v = ExplainPath(s.state.rules, path, folder);
  if (v.rule < 0) {
    std::fprintf(out, "%s: included: no rule decides it\n", shown);
    return 0;
  }
  const RuleLine& line = s.state.rules.LineOf(v.rule);
  const std::string where = " (" + Where(line) + ")";
  if (!v.folder.empty())
    std::fprintf(out, "%s: excluded: its folder '%s' is excluded by '%s'%s\n", shown,
                 v.folder.c_str(), line.text.c_str(), where.c_str());
  else
    std::fprintf(out, "%s: %s by '%s'%s\n", shown, v.excluded ? "excluded" : "included",
                 line.text.c_str(), where.c_str());
  return 0;
}

int CmdFill(FileSystem& fs, const Options& o, FILE* out, FILE* err) {
  Session s(fs, o, out, err);
  std::vector<std::string> roots;
  if (!OpenRoots(s, o.args, &roots, err)) return kUsageError;
  if (!UserFilesReady(s, o, err)) return kUsageError;
  if (o.explain) return Explain(s, o, roots, out, err);
  if (roots.size() == 2)
    FillBoth(s, roots[0], roots[1]);
  else
    Fill(s, roots[0], true);
  ReportRules(s, o, err);
  ReportLeftOut(s, o, err);
  if (s.Printing(o)) PrintRows(s, o.json, out);
  return s.host.Failures() > 0 ? 1 : 0;
}

// Like cmp and diff: 0 when every pair is equal, 1 when any row differs, 2 when a folder
// could not be listed or a file not read.
int CmdCompare(FileSystem& fs, const Options& o, FILE* out, FILE* err) {
  Session s(fs, o, out, err);
  std::vector<std::string> roots;
  if (!OpenRoots(s, o.args, &roots, err)) return kUsageError;
  if (!UserFilesReady(s, o, err)) return kUsageError;
  s.host.SelectCompareMode(o.binary ? 0 : 1);
  FillBoth(s, roots[0], roots[1]);
  ReportRules(s, o, err);
  ReportLeftOut(s, o, err);
  // No sync follows: the pair's state entries, as large as a list of their own, need not
  // stay beside the sorted and printed rows (the rows' reasons are kept apart).
  s.state.compare_options.keep_state_for_sync = false;
  Compare(s, o.binary);
  s.meter.Clear();
  if (!o.quiet) TellRunNotes(s.state.notes, err);
  if (s.Printing(o) && o.json) PrintRows(s, true, out);
  if (s.Printing(o) && !o.json) CopyListToClipboard(s.ctx);
  if (s.host.Failures() > 0) return 2;
  for (int i = 1; i <= s.list.RowCount(); ++i)
    if (s.list.GetMark(i) != Mark::kEqual) return 1;
  return 0;
}

int CmdSync(FileSystem& fs, const Options& o, FILE* out, FILE* err) {
  Session s(fs, o, out, err);
  std::vector<std::string> roots;
  if (!OpenRoots(s, o.args, &roots, err)) return kUsageError;
  if (!UserFilesReady(s, o, err)) return kUsageError;
  // An unattended run like a control file asking for the age comparison and the sync:
  // the comparison's result box is left out, only failures are reported.
  s.state.batch_active = true;
  s.state.batch.age = s.state.batch.sync = true;
  s.state.sync_options.trash = o.trash;
  s.host.SelectCompareMode(1);
  FillBoth(s, roots[0], roots[1]);
  ReportRules(s, o, err);
  ReportLeftOut(s, o, err);
  Compare(s, false);
  if (o.copy_new) TakeNewFiles(s.list);
  if (!o.quiet) TellTwoWay(s, err);
  if (o.dry_run) {
    s.meter.Clear();
    if (!o.quiet) TellRunNotes(s.state.notes, err);
    // The plan of a sync that would not begin: say so, as the sync itself would.
    if (s.state.two_way.active && s.state.two_way.refusal.side != 0) {
      Refuse(s.host, s.state.two_way.refusal.message);
      return kUsageError;
    }
    PrintPlan(s, o.json, out);
    return s.host.Failures() > 0 ? 1 : 0;
  }
  s.meter.Start("Abgleich", SyncWork(s.list), true);
  // As JSON the actions are the output, each as it ends; the rows left are not printed.
  s.host.SetActionLines(o.json && !o.quiet);
  SyncFolders(s.ctx);
  s.meter.Clear();
  if (!o.quiet) TellRunNotes(s.state.notes, err);
  if (o.json) std::fflush(out);
  // Refused before any change: the rows are not printed, as nothing was done to them.
  if (s.state.notes.two_way_refused) return kUsageError;
  if (s.Printing(o) && !o.json) CopyListToClipboard(s.ctx);
  // Links the target could not hold are not copied: the run did not do all it was asked.
  return s.host.Failures() > 0 || s.state.notes.refused_links > 0 || s.state.notes.lost_rows > 0
             ? 1
             : 0;
}

int CmdRun(FileSystem& fs, const Options& o, FILE* out, FILE* err) {
  // The control file's name is the whole argument text, as the window takes it.
  std::string command_line;
  for (const auto& a : o.args) {
    if (!command_line.empty()) command_line.push_back(' ');
    command_line += a;
  }
  Session s(fs, o, out, err);
  if (!UserFilesReady(s, o, err)) return kUsageError;
  // The control file may end the program: what the rules left out is told first.
  // Where the control file syncs or ends, no result box tells the two-way lines.
  const auto tell_two_way = [&] {
    if (!o.quiet && (s.state.batch.sync || s.state.batch.end)) TellTwoWay(s, err);
  };
  s.host.SetBeforeEnd([&] {
    ReportRules(s, o, err);
    ReportLeftOut(s, o, err);
    tell_two_way();
    if (!o.quiet) TellRunNotes(s.state.notes, err);
  });
  SafetySettings overrides = o.safety;
  overrides.two_way = o.two_way;
  RunBatch(s.ctx, command_line, overrides);
  ReportRules(s, o, err);
  ReportLeftOut(s, o, err);
  tell_two_way();
  if (!o.quiet) TellRunNotes(s.state.notes, err);
  return s.host.ExitCode();
}

// The undo runs in its root's own file system, at the far end for a far folder.
int CmdUndo(FileSystem& fs, const Options& o, FILE* out, FILE* err) {
  FarAccess access;
  access.has_ssh = o.ssh.has_value();
  access.ssh = o.ssh.value_or(std::string());
  access.push_agent = o.push_agent;
  StopFlag stop;
  OpenedFolder root;
  std::string why;
  if (!OpenFolder(fs, o.args[0], FolderNames::kCommandLine, access, stop, &root, &why)) {
    if (!why.empty()) std::fprintf(err, "tavrik-cli: %s: %s\n", o.args[0].c_str(), why.c_str());
    return kUsageError;
  }
  if (!RootsUsable(*root.fs, {root.path}, err)) return kUsageError;
  return RunUndo(*root.fs, root.path, o.dry_run, o.quiet, out, err);
}

}  // namespace

int RunCli(int argc, char** argv, FILE* out, FILE* err) {
  // Started by the near side's ssh, never by hand: no options, and not in the usage.
  if (argc == 2 && std::string_view(argv[1]) == "serve") return RunServe();
  Options o;
  const int parsed = Parse(argc, argv, o, out, err);
  if (parsed >= 0) return parsed;
  // The one place the console chooses the disk itself.
  FileSystem& fs = RealFileSystem();
  switch (o.command) {
    case Command::kFill:
      return CmdFill(fs, o, out, err);
    case Command::kCompare:
      return CmdCompare(fs, o, out, err);
    case Command::kSync:
      return CmdSync(fs, o, out, err);
    case Command::kRun:
      return CmdRun(fs, o, out, err);
    case Command::kUndo:
      return CmdUndo(fs, o, out, err);
    case Command::kNone:
      break;
  }
  return kUsageError;
}

}  // namespace tavrik
