// The batch run: a control file named on the command line, its checks, and the
// unattended run of the requested actions.
#pragma once

#include <string>

#include "batch/safety_settings.h"
#include "core/list/shared_state.h"

namespace tavrik {

// command_line: the whole argument text after the program name. Empty (or blanks only):
// returns at once. The control file's [Sicherung] keys override what the state holds (the
// user's own file); overrides (the console's options) override both.
void RunBatch(Context& ctx, const std::string& command_line, const SafetySettings& overrides = {});

}  // namespace tavrik
