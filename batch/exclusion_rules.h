// Where the exclusion rules come from, combined in this order (later lines win, as in one
// file): the user's file, the control file's section "Ausschluss" during a batch run, and
// the command line's --exclude, --include and --exclude-from in the order given.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "batch/ini_reader.h"
#include "core/fs/file_system.h"
#include "core/fs/fs_error.h"
#include "core/list/shared_state.h"
#include "core/rules/rule_set.h"

namespace tavrik {

// How rules from the command line are named where a decision is explained: "command
// line" with the argument's number.
inline constexpr const char* kCommandLineOrigin = "command line";

struct RuleOptions {
  struct Source {
    enum Kind { kExclude, kInclude, kExcludeFrom };
    Kind kind;
    std::string value;  // the rule, or the file's name
    int argument;       // its number on the command line, from 1
  };
  std::vector<Source> sources;
  bool no_user_rules = false;  // leave the user's file out (for scheduled jobs)
};

// Takes arg, the argument numbered argument, when it is --exclude=RULE, --include=RULE,
// --exclude-from=FILE or --no-user-rules; false when it is none of them.
bool TakeRuleOption(std::string_view arg, int argument, RuleOptions* options);

// Reads the user's file (a missing one holds no rules, nor does one whose folder cannot be
// searched: UserFileUnreachable) and every file the command line names, and puts their
// rules and the command line's in force. A file that exists but cannot be read, and any
// named file that cannot be read, is the error, and nothing is changed.
FsResult LoadRules(FileSystem& fs, const RuleOptions& options, SharedState& state);

// The sentence that reports a rule file that cannot be read, and the window's text with
// the reason on a line of its own.
std::string RuleFileSentence(const FsError& error);
std::string RuleFileProblem(const FsError& error);

// The rules of the control file's section "Ausschluss": every line in file order, a
// "name=" before a rule dropped (a rule with "=" in it needs one, even an empty "="),
// blank lines and ";" comment lines left out, 8-bit text read as ini_text.h says.
RuleLines ReadBatchRules(IniReader& reader, const std::string& name);

// Puts the control file's rules in force between the user's and the command line's.
void SetControlRules(SharedState& state, RuleLines control);

}  // namespace tavrik
