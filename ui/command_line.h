// What the window's command line asks for: the usage or the version (printed without a
// window), two folders for the two columns, or else the control file of a batch run.
#pragma once

#include <string>

namespace tavrik {

struct StartRequest {
  enum Kind { kWindow, kHelp, kVersion, kFolders };
  Kind kind = kWindow;
  // kWindow: the whole argument text, the arguments joined by single blanks (the batch
  // run trims it and takes it as the control file's name; empty: interactive).
  std::string command_line;
  // kFolders: the folders for the left and the right column.
  std::string left;
  std::string right;
};

// "--help", "-h" or "--version" alone; two arguments that both name existing folders; or
// anything else as the control-file name, as before.
StartRequest ReadCommandLine(int argc, char** argv);

// The text --help prints.
const char* UsageText();

}  // namespace tavrik
