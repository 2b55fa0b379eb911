// The console front end's commands: fill, compare, sync and run, on the same core and
// batch code as the window.
#pragma once

#include <cstdio>

namespace tavrik {

// argv[0] is the program name. Returns the process exit status.
int RunCli(int argc, char** argv, FILE* out = stdout, FILE* err = stderr);

}  // namespace tavrik
