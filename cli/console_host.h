// The Host of the console front end: message boxes go to standard error, the clipboard
// text to standard output, and the synchronisation's error box takes a fixed answer.
// Quiet: only failures are printed. Progress goes to the meter (a terminal line).
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "cli/progress.h"
#include "core/list/host.h"
#include "core/parallel/run_scope.h"

namespace tavrik {

enum class ErrorPolicy { kIgnore, kAbort, kRetryOnce };

class ConsoleHost : public Host {
 public:
  explicit ConsoleHost(ErrorPolicy policy = ErrorPolicy::kIgnore, FILE* out = stdout,
                       FILE* err = stderr)
      : policy_(policy), out_(out), err_(err) {}

  void ShowStatus(int, const std::string&) override {}
  void SetProgress(float value) override {
    if (meter_) meter_->Update(value);
  }
  void SetCompareButtonEnabled(bool) override {}
  void SetBusyPointer(bool) override {}
  void OperationRunning(bool) override {}
  void ProcessEvents() override {}
  bool SpeedChecked() const override { return true; }
  bool SofortStartChecked() const override { return false; }
  bool BinaryModeSelected() const override { return binary_mode_; }
  void SelectCompareMode(int index) override { binary_mode_ = index == 0; }
  MsgAnswer Tell(const Message& message) override;
  void SetClipboardText(const std::string& text) override;
  void ActionDone(const SyncAction& action) override;
  [[noreturn]] void EndProgram() override;

  void SetQuiet(bool quiet) { quiet_ = quiet; }
  // A write to a closed pipe (EPIPE) asks stop to end the run, as a signal would.
  void SetStop(StopFlag* stop) { stop_ = stop; }
  // After a run stopped by a signal or a closed pipe: one line, then the process ends by
  // that signal, so the shell and a loop around the command see how it ended. Otherwise
  // nothing happens.
  void EndIfInterrupted();
  void SetMeter(ProgressMeter* meter) { meter_ = meter; }
  // Each action of the sync as a JSON line on standard output, with its outcome.
  void SetActionLines(bool on) { action_lines_ = on; }
  // Runs before a control file's Ende ends the program, so what the run noticed is told.
  void SetBeforeEnd(std::function<void()> before_end) { before_end_ = std::move(before_end); }

  // Boxes that reported a failure: access errors, comparison and sync errors.
  int Failures() const { return failures_; }
  // The batch run's problem box was shown: the control file was refused.
  bool Refused() const { return refused_; }
  // 0 when nothing failed, 1 after a reported failure, 2 after a refused control file.
  int ExitCode() const { return refused_ ? 2 : (failures_ > 0 ? 1 : 0); }

 private:
  // Notes a failed write; a closed pipe stops the run.
  void Wrote(int result);

  ErrorPolicy policy_;
  FILE* out_;
  FILE* err_;
  ProgressMeter* meter_ = nullptr;
  StopFlag* stop_ = nullptr;
  bool quiet_ = false;
  bool binary_mode_ = true;
  bool action_lines_ = false;
  int failures_ = 0;
  bool refused_ = false;
  std::string last_retried_;
  std::function<void()> before_end_;
};

}  // namespace tavrik
