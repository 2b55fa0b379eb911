// SIGINT, SIGTERM and SIGHUP as stop requests: the running run removes what it made, and
// only then does the program end.
#pragma once

#include "core/parallel/run_scope.h"

namespace tavrik {

// From now on SIGINT, SIGTERM and SIGHUP ask flag to stop (StopReason::kSignal) instead of
// ending the process; a second one ends it at once, for a run that cannot stop. SIGPIPE is
// ignored: a write to a closed pipe fails with EPIPE, which the writer turns into a stop.
void CatchStopSignals(StopFlag& flag);

// The signal that asked to stop; 0 when none has.
int CaughtStopSignal();

// Ends the process by signal as if it had never been caught, so a shell sees death by that
// signal (status 128 + the number) and a loop around the program stops.
[[noreturn]] void DieBySignal(int signal);

}  // namespace tavrik
