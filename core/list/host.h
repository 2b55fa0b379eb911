// The interface through which core and batch reach the window (or the console, or a
// test double): status panels, progress, buttons, pointer, the event loop, the check
// boxes and options they read, messages, the clipboard and the program's end.
#pragma once

#include <optional>
#include <string>

#include "core/fs/fs_error.h"

namespace tavrik {

// The program title: window caption, title of every message box, info window argument.
inline constexpr const char* kProgramTitle = "Tavrik 1.5";

// Line break inside message texts; each host turns it into its own.
inline constexpr char kCr = '\r';

// What a message is for. Core says only this; which box, buttons and icon show it is the
// window's business, and the console counts failures by it.
enum class Intent {
  kNote,         // a plain remark about the user's input
  kInformation,  // a result
  kWarning,      // something failed; the operation goes on without it
  kRefusal,      // the request cannot be carried out at all
  kRetryError,   // a failure the user answers with Abort, Retry or Ignore
};

enum class MsgAnswer { kOk, kAbort, kRetry, kIgnore };

struct Message {
  Intent intent = Intent::kNote;
  std::string text;               // CR breaks lines
  std::optional<FsError> reason;  // the failed call behind a failure, when there was one
};

// One copy or deletion of a synchronisation as it ended, for front ends that list them.
struct SyncAction {
  enum Kind { kCopy, kDelete, kMove };  // kMove: from renamed to to, on one side
  enum Outcome {
    kDone,     // carried out
    kSkipped,  // failed, and the failure was skipped (the row stays)
    kAborted,  // failed or broken off, and the run ends here
  };
  Kind kind = kCopy;
  std::string mark;  // the row's relation mark
  std::string from;  // the copied or the deleted file
  std::string to;    // the copy's target or the move's new name; empty for a deletion
  Outcome outcome = kDone;
  std::optional<FsError> failure;  // the last failure, when there was one
  // A link copied as a link: its target text, where a front end wants to show it.
  std::optional<std::string> link;
  // Of a two-way run: why the row got its mark ("new", "changed", "deleted", "moved",
  // "conflict", "no-state"); empty otherwise.
  std::string why;
};

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

  // Shows a modal message titled kProgramTitle and waits for the answer: kAbort, kRetry or
  // kIgnore for Intent::kRetryError, kOk for the others.
  virtual MsgAnswer Tell(const Message& message) = 0;
  // Empties the clipboard and gives it the text.
  virtual void SetClipboardText(const std::string& text) = 0;
  // A copy or deletion of the synchronisation has ended; most hosts show nothing of it.
  virtual void ActionDone(const SyncAction&) {}
  // Ends the program at once.
  virtual void EndProgram() = 0;
};

inline void Note(Host& host, std::string text) { host.Tell({Intent::kNote, std::move(text), {}}); }
inline void Inform(Host& host, std::string text) {
  host.Tell({Intent::kInformation, std::move(text), {}});
}
inline void Warn(Host& host, std::string text, std::optional<FsError> reason = {}) {
  host.Tell({Intent::kWarning, std::move(text), std::move(reason)});
}
inline void Refuse(Host& host, std::string text) {
  host.Tell({Intent::kRefusal, std::move(text), {}});
}
inline MsgAnswer AskAfterFailure(Host& host, std::string text, FsError reason) {
  return host.Tell({Intent::kRetryError, std::move(text), std::move(reason)});
}

}  // namespace tavrik
