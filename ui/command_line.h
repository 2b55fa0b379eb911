// What the window's command line asks for: the usage or the version (printed without a
// window), two folders for the two columns, or else the control file of a batch run.
#pragma once

#include <string>

#include "batch/exclusion_rules.h"
#include "core/list/shared_state.h"

namespace tavrik {

// The one box a selection from the file manager gets when it is not one or two folders.
inline constexpr const char* kChooseOneOrTwoFolders = "Bitte wählen Sie einen oder zwei Ordner.";

struct StartRequest {
  // kFolderChoice: --folders with a selection that is not one or two folders.
  enum Kind { kWindow, kHelp, kVersion, kFolders, kFolderChoice };
  Kind kind = kWindow;
  // kWindow: the whole argument text, the arguments joined by single blanks (the batch
  // run trims it and takes it as the control file's name; empty: interactive).
  std::string command_line;
  // kFolders: the folders for the left and the right column (right empty: left only).
  std::string left;
  std::string right;
  // The rule options that stood before everything else.
  RuleOptions rules;
  // --two-way stood among them: the age comparison and the sync remember the pair's state,
  // for the folders of a control file as for those the user fills.
  bool two_way = false;
  // --ssh=COMMAND and --push-agent among them: how far folders are reached.
  FarAccess far;
};

// First the rule options (--exclude=RULE, --include=RULE, --exclude-from=FILE,
// --no-user-rules), --two-way, --ssh=COMMAND and --push-agent, in any order ("--" ends them), then
// what is left is read as before:
// "--help", "-h" or "--version" alone; "--folders" with what a file manager selected (no
// folder: a plain start, as from the menu; one or two folders: the columns; anything else:
// kFolderChoice); two arguments that both name existing folders or folders on another
// machine ([user@]host:path, ssh://...); or anything else as the
// control-file name, as before.
StartRequest ReadCommandLine(int argc, char** argv);

// The text --help prints.
const char* UsageText();

}  // namespace tavrik
