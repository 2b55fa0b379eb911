// "tavrik-cli serve": the far end of a folder named "host:path", started by the near side's
// ssh. It speaks the protocol on stdin and stdout, so nothing else may be printed there.
#include <unistd.h>

#include "cli/commands.h"
#include "core/parallel/stop_signals.h"
#include "core/remote/serve.h"
#include "core/sync/file_ops.h"

namespace tavrik {

int RunServe() {
  StopFlag stop;
  CatchStopSignals(stop);
  std::unique_ptr<remote::Channel> channel =
      remote::FdChannel(STDIN_FILENO, STDOUT_FILENO, false, [&] { return stop.Requested(); });
  remote::ServeOptions options;
  options.temp_prefix = std::string(kTempPrefix);
  const int end = remote::Serve(RealFileSystem(), *channel, options);
  // What the connection left behind is gone by now; a signal still ends the process as one.
  if (const int signal = CaughtStopSignal()) DieBySignal(signal);
  return end == 0 ? 0 : 1;
}

}  // namespace tavrik
