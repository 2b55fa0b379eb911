// The interface through which core and batch reach the window (or the console, or a
// test double): status panels, progress, buttons, pointer, the event loop, the check
// boxes and options they read, message boxes, the clipboard and the program's end.
#pragma once

#include <string>

namespace tavrik {

// The program title: window caption, title of every message box, info window argument.
inline constexpr const char* kProgramTitle = "Tavrik 1.5";

// Message box styles in use, as numbers of the classic message box API.
enum MsgStyle : int {
  kMsgOk = 0,                 // OK, no icon
  kMsgCritical = 16,          // OK, stop icon
  kMsgExclamation = 48,       // OK, exclamation icon
  kMsgInformation = 64,       // OK, information icon
  kMsgAbortRetryIgnore = 274  // Abort/Retry/Ignore, stop icon, Retry is the default
};

enum class MsgAnswer { kOk, kAbort, kRetry, kIgnore };

class Host {
 public:
  virtual ~Host() = default;

  // Shows text in status panel 1 or 2 exactly as given (SetStatus adds any prefix).
  virtual void ShowStatus(int panel, const std::string& text) = 0;
  // Progress bar value, 0 to 100.
  virtual void SetProgress(float value) = 0;
  virtual void SetCompareButtonEnabled(bool enabled) = 0;
  // Hourglass pointer during fills and the clipboard export.
  virtual void SetBusyPointer(bool busy) = 0;
  // A fill, comparison or synchronisation starts (true) or ends (false); the window uses
  // this to keep commands that change the list away from a running operation.
  virtual void OperationRunning(bool running) = 0;
  // Lets the window handle pending input and repaint.
  virtual void ProcessEvents() = 0;

  virtual bool SpeedChecked() const = 0;        // "&Schneller ausführen"
  virtual bool SofortStartChecked() const = 0;  // start the comparison after a right fill
  virtual bool BinaryModeSelected() const = 0;  // CompModeOpt index 0
  // Selects CompModeOpt index 0 or 1 as a click would (the mode rule runs).
  virtual void SelectCompareMode(int index) = 0;

  // Modal message box titled kProgramTitle; CR in text breaks lines.
  virtual MsgAnswer MessageBox(const std::string& text, int style) = 0;
  // Empties the clipboard and gives it the text.
  virtual void SetClipboardText(const std::string& text) = 0;
  // Ends the program at once.
  virtual void EndProgram() = 0;
};

}  // namespace tavrik
