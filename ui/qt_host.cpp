#include "ui/qt_host.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QRadioButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "core/parallel/stop_signals.h"
#include "ui/form1.h"
#include "ui/list_model.h"

namespace tavrik {

namespace {

QString FromBytes(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The Abort/Retry/Ignore box is answered with one of its buttons only: Escape and a
// close request would otherwise count as Abort.
class ButtonsOnlyBox : public QMessageBox {
 public:
  explicit ButtonsOnlyBox(QWidget* parent) : QMessageBox(parent) {}
  bool buttons_only = false;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (buttons_only && (event->key() == Qt::Key_Escape || event->matches(QKeySequence::Cancel))) {
      event->accept();
      return;
    }
    QMessageBox::keyPressEvent(event);
  }
  void closeEvent(QCloseEvent* event) override {
    if (buttons_only) {
      event->ignore();
      return;
    }
    QMessageBox::closeEvent(event);
  }
};

}  // namespace

int StyleOf(Intent intent) {
  switch (intent) {
    case Intent::kNote:
      return kMsgOk;
    case Intent::kInformation:
      return kMsgInformation;
    case Intent::kWarning:
      return kMsgExclamation;
    case Intent::kRefusal:
      return kMsgCritical;
    case Intent::kRetryError:
      return kMsgAbortRetryIgnore;
  }
  return kMsgOk;
}

MsgAnswer ShowMessageBox(QWidget* parent, const QString& text, int style, const StopFlag* stop) {
  ButtonsOnlyBox box(parent);
  // A signal while the box waits for an answer counts as Abort.
  QTimer poll;
  if (stop) {
    QObject::connect(&poll, &QTimer::timeout, &box, [&box, stop] {
      if (stop->Requested()) box.done(0);
    });
    poll.start(100);
  }
  box.setWindowTitle(kProgramTitle);
  QString shown = text;
  shown.replace(QChar(kCr), '\n');
  box.setText(shown);
  box.setTextFormat(Qt::PlainText);
  switch (style) {
    case kMsgCritical:
    case kMsgAbortRetryIgnore:
      box.setIcon(QMessageBox::Critical);
      break;
    case kMsgExclamation:
      box.setIcon(QMessageBox::Warning);
      break;
    case kMsgInformation:
      box.setIcon(QMessageBox::Information);
      break;
    default:
      box.setIcon(QMessageBox::NoIcon);
  }
  if (style == kMsgAbortRetryIgnore) {
    box.setStandardButtons(QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore);
    box.setDefaultButton(QMessageBox::Retry);
    box.buttons_only = true;
    box.setWindowFlags((box.windowFlags() | Qt::CustomizeWindowHint) & ~Qt::WindowCloseButtonHint);
  } else {
    box.setStandardButtons(QMessageBox::Ok);
  }
  box.exec();
  switch (box.standardButton(box.clickedButton())) {
    case QMessageBox::Abort:
      return MsgAnswer::kAbort;
    case QMessageBox::Retry:
      return MsgAnswer::kRetry;
    case QMessageBox::Ignore:
      return MsgAnswer::kIgnore;
    default:
      return style == kMsgAbortRetryIgnore ? MsgAnswer::kAbort : MsgAnswer::kOk;
  }
}

void EndProcessNow(int signal) {
  std::fflush(nullptr);
  // The X11 clipboard lives in the process that owns it; Qt offers the text to a
  // clipboard manager when the application object goes away, so let it.
  if (qApp && QGuiApplication::clipboard()->ownsClipboard()) delete qApp;
  if (signal != 0) DieBySignal(signal);
  std::_Exit(0);
}

void QtHost::ShowStatus(int panel, const std::string& text) {
  form_.SbarPanel[panel == 1 ? 0 : 1]->setText(FromBytes(text));
}

void QtHost::SetProgress(float value) {
  progress_ = value;
  form_.Pbar->setValue(static_cast<int>(value));
}

void QtHost::SetCompareButtonEnabled(bool enabled) { form_.Btn[8]->setEnabled(enabled); }

void QtHost::SetBusyPointer(bool busy) {
  if (busy == busy_pointer_) return;
  busy_pointer_ = busy;
  if (busy) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
}

void QtHost::OperationRunning(bool running) {
  form_.SetOperationRunning(running);
  // "Ende", the window closed or a signal during the run: it has cleaned up, now end.
  if (!running && form_.State().stop.Requested()) EndNow();
}

void QtHost::ProcessEvents() {
  form_.Model().FlushIfDue();
  QCoreApplication::processEvents();
}

bool QtHost::SpeedChecked() const { return form_.SpeedCheck->isChecked(); }

bool QtHost::SofortStartChecked() const { return form_.SofortStartCheck->isChecked(); }

bool QtHost::BinaryModeSelected() const { return form_.CompModeOpt[0]->isChecked(); }

void QtHost::SelectCompareMode(int index) {
  form_.CompModeOpt[static_cast<size_t>(index)]->setChecked(true);
}

MsgAnswer QtHost::Tell(const Message& message) {
  form_.Model().Flush();
  QString shown = FromBytes(message.text);
  const int style = StyleOf(message.intent);
  if (form_.Hooks().message_box) return form_.Hooks().message_box(shown, style);
  if (busy_pointer_) QApplication::setOverrideCursor(Qt::ArrowCursor);
  MsgAnswer answer = ShowMessageBox(&form_, shown, style, &form_.State().stop);
  if (busy_pointer_) QApplication::restoreOverrideCursor();
  return answer;
}

void QtHost::SetClipboardText(const std::string& text) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  clipboard->clear();
  clipboard->setText(FromBytes(text));
}

void QtHost::EndProgram() {
  // Ending in the middle of a run would leave its temporary files in the user's folders:
  // the run stops at its next step, cleans up, and OperationRunning ends the program.
  if (form_.Running()) {
    if (!form_.State().stop.Requested()) form_.State().stop.Request(StopReason::kEnd);
    return;
  }
  EndNow();
}

void QtHost::EndNow() {
  if (form_.Hooks().end_program) {
    form_.Hooks().end_program();
    return;
  }
  const bool by_signal = form_.State().stop.Reason() == StopReason::kSignal;
  EndProcessNow(by_signal ? CaughtStopSignal() : 0);
}

}  // namespace tavrik
