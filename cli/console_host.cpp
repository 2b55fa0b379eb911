#include "cli/console_host.h"

#include <cstdlib>

namespace tavrik {

MsgAnswer ConsoleHost::Tell(const Message& message) {
  const std::string& text = message.text;
  std::string shown = text;
  for (char& c : shown)
    if (c == kCr) c = '\n';
  std::fprintf(err_, "%s\n", shown.c_str());
  std::fflush(err_);
  if (message.intent == Intent::kWarning || message.intent == Intent::kRetryError) ++failures_;
  if (message.intent == Intent::kRefusal) refused_ = true;
  if (message.intent != Intent::kRetryError) return MsgAnswer::kOk;
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

void ConsoleHost::SetClipboardText(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
}

void ConsoleHost::EndProgram() {
  std::fflush(out_);
  std::fflush(err_);
  std::exit(ExitCode());
}

}  // namespace tavrik
