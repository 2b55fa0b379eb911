// The window's implementation of the Host: status panels, progress bar, buttons, pointer,
// the event loop, message boxes, the clipboard and the end of the program.
#pragma once

#include <QString>

#include "core/host.h"

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
  MsgAnswer MessageBox(const std::string& text, int style) override;
  void SetClipboardText(const std::string& text) override;
  void EndProgram() override;

  float Progress() const { return progress_; }

 private:
  Form1& form_;
  float progress_ = 0;
  bool busy_pointer_ = false;
};

// Shows a message box titled with the program title; CR breaks lines. Styles 0, 16, 48,
// 64 and 274 (Abort/Retry/Ignore, stop icon, Retry the default).
MsgAnswer ShowMessageBox(QWidget* parent, const QString& text, int style);

// Ends the process at once, after giving a clipboard manager the chance to take over the
// text this program owns.
[[noreturn]] void EndProcessNow();

}  // namespace tavrik
