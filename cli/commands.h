// The console front end's commands: fill, compare, sync and run, on the same core and
// batch code as the window.
#pragma once

#include <cstdio>

namespace tavrik {

// argv[0] is the program name. Returns the process exit status.
int RunCli(int argc, char** argv, FILE* out = stdout, FILE* err = stderr);

// The far end for a folder on another machine: answers on stdin and stdout until the near
// side hangs up or a signal stops it.
int RunServe();

}  // namespace tavrik
