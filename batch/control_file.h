// The control file of a batch run: its name, its checks, what it asks for, and the text
// of the box that reports its problems.
#pragma once

#include <string>
#include <string_view>

#include "batch/ini_reader.h"
#include "core/list/shared_state.h"

namespace tavrik {

// The folders a control file names, each with its trailing separator (or empty).
struct BatchFolders {
  std::string left;
  std::string right;
};

// A bare name (no ":" and no separator) is looked for in the program's folder; any other
// name is used as it stands. A backslash is an ordinary character of a file name here,
// so it marks no folder part.
std::string ControlFileName(const std::string& name, const std::string& app_path);

// The problem line for the control file itself; empty when it names an existing entry
// that is not a folder.
std::string ControlFileProblem(FileSystem& fs, const std::string& name);

// Reads both folders and the five requests, appending a problem line for each folder
// that is missing or names a file.
BatchFolders ReadBatchFolders(FileSystem& fs, IniReader& reader, const std::string& name,
                              std::string* problems);
BatchRequests ReadBatchRequests(IniReader& reader, const std::string& name);

// The problem lines for a combination of requests that cannot run as asked.
std::string RequestProblems(const BatchRequests& r);

// The problem line for a far folder that cannot be reached or opened: the reason alone.
std::string FarFolderProblem(const std::string& why);

// The whole text of the problem box around the collected problem lines.
std::string ProblemBoxText(const std::string& problems);

}  // namespace tavrik
