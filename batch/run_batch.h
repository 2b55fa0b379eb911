// The batch run: a control file named on the command line, its checks, and the
// unattended run of the requested actions.
#pragma once

#include <string>

#include "core/list/shared_state.h"

namespace tavrik {

// command_line: the whole argument text after the program name. Empty (or blanks only):
// returns at once.
void RunBatch(Context& ctx, const std::string& command_line);

}  // namespace tavrik
