#include "cli/console_host.h"

#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/json_lines.h"
#include "core/fs/error_text.h"
#include "core/parallel/stop_signals.h"

namespace tavrik {

namespace {

bool IsFailure(Intent intent) {
  return intent == Intent::kWarning || intent == Intent::kRetryError || intent == Intent::kRefusal;
}

// The reason behind a failure with its number, in the same German words the boxes use,
// unless the message already says both (the comparison's text does; the scan's names only
// the number, the sync's box only the words).
std::string ReasonLine(const Message& message) {
  if (!message.reason || message.reason->code == 0) return {};
  const std::string line =
      ReasonText(*message.reason) + " (" + std::to_string(message.reason->code) + ")";
  if (message.text.find(line) != std::string::npos) return {};
  return "Grund: " + line + "\n";
}

}  // namespace

MsgAnswer ConsoleHost::Tell(const Message& message) {
  const std::string& text = message.text;
  if (!quiet_ || IsFailure(message.intent)) {
    std::string shown = text;
    for (char& c : shown)
      if (c == kCr) c = '\n';
    if (meter_) meter_->Clear();
    const int printed = std::fprintf(err_, "%s\n%s", shown.c_str(), ReasonLine(message).c_str());
    Wrote(printed < 0 ? printed : std::fflush(err_));
  }
  if (message.intent == Intent::kWarning || message.intent == Intent::kRetryError) ++failures_;
  if (message.intent == Intent::kRefusal) refused_ = true;
  if (message.intent != Intent::kRetryError) return MsgAnswer::kOk;
  // Nobody reads the answers any more, or the run was interrupted: stop here.
  if (stop_ && stop_->Requested()) return MsgAnswer::kAbort;
  switch (policy_) {
    case ErrorPolicy::kAbort:
      return MsgAnswer::kAbort;
    case ErrorPolicy::kIgnore:
      return MsgAnswer::kIgnore;
    case ErrorPolicy::kRetryOnce:
      // Retry a failure once; when the very same failure comes back, skip it.
      if (last_retried_ == text) {
        last_retried_.clear();
        return MsgAnswer::kIgnore;
      }
      last_retried_ = text;
      return MsgAnswer::kRetry;
  }
  return MsgAnswer::kIgnore;
}

void ConsoleHost::Wrote(int result) {
  if (result < 0 && errno == EPIPE && stop_) stop_->Request(StopReason::kBrokenPipe);
}

void ConsoleHost::SetClipboardText(const std::string& text) {
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), out_) != text.size()) {
    Wrote(-1);
    return;
  }
  Wrote(std::fflush(out_));
}

void ConsoleHost::ActionDone(const SyncAction& action) {
  if (!action_lines_) return;
  // One line at a time through stdio's buffer: a long run streams its actions.
  const std::string line = ActionJson(action, true);
  if (std::fwrite(line.data(), 1, line.size(), out_) != line.size()) Wrote(-1);
}

void ConsoleHost::EndIfInterrupted() {
  if (!stop_) return;
  const StopReason why = stop_->Reason();
  if (why != StopReason::kSignal && why != StopReason::kBrokenPipe) return;
  const int signal = why == StopReason::kSignal ? CaughtStopSignal() : SIGPIPE;
  const char* name = sigabbrev_np(signal);
  std::fflush(out_);
  std::fprintf(err_, "tavrik-cli: Lauf unterbrochen (SIG%s).\n", name ? name : "?");
  std::fflush(err_);
  DieBySignal(signal);
}

void ConsoleHost::EndProgram() {
  // A control file's "Ende" after an interrupted run: the end is the signal's.
  EndIfInterrupted();
  if (before_end_) before_end_();
  std::fflush(out_);
  std::fflush(err_);
  std::exit(ExitCode());
}

}  // namespace tavrik
