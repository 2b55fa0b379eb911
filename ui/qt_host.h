// The window's implementation of the Host: status panels, progress bar, buttons, pointer,
// the event loop, message boxes, the clipboard and the end of the program.
#pragma once

#include <QString>

#include "core/list/host.h"
#include "core/parallel/run_scope.h"

class QWidget;

namespace tavrik {

class Form1;

class QtHost : public Host {
 public:
  explicit QtHost(Form1& form) : form_(form) {}

  void ShowStatus(int panel, const std::string& text) override;
  void SetProgress(float value) override;
  void SetCompareButtonEnabled(bool enabled) override;
  void SetBusyPointer(bool busy) override;
  void OperationRunning(bool running) override;
  void ProcessEvents() override;
  bool SpeedChecked() const override;
  bool SofortStartChecked() const override;
  bool BinaryModeSelected() const override;
  void SelectCompareMode(int index) override;
  MsgAnswer Tell(const Message& message) override;
  void SetClipboardText(const std::string& text) override;
  // During a run, "Ende" asks it to stop; the program ends once the run has removed what
  // it made. Otherwise the program ends at once.
  void EndProgram() override;
  // Ends the program now: the window's hook, the signal that asked to stop, or a plain end.
  void EndNow();

  float Progress() const { return progress_; }

 private:
  Form1& form_;
  float progress_ = 0;
  bool busy_pointer_ = false;
};

// Message box styles as numbers of the classic message box API: the button set plus the
// icon. They live in the window only; core says what a message is for.
enum MsgStyle : int {
  kMsgOk = 0,                 // OK, no icon
  kMsgCritical = 16,          // OK, stop icon
  kMsgExclamation = 48,       // OK, exclamation icon
  kMsgInformation = 64,       // OK, information icon
  kMsgAbortRetryIgnore = 274  // Abort/Retry/Ignore, stop icon, Retry is the default
};

// The style that shows a message of this intent.
int StyleOf(Intent intent);

// Shows a message box titled with the program title; CR breaks lines. stop, when given,
// is polled while the box waits: a stop request closes it as Abort (or OK).
MsgAnswer ShowMessageBox(QWidget* parent, const QString& text, int style,
                         const StopFlag* stop = nullptr);

// Ends the process at once, after giving a clipboard manager the chance to take over the
// text this program owns; by signal, when one asked to stop (0: a plain end).
[[noreturn]] void EndProcessNow(int signal = 0);

}  // namespace tavrik
