#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>

#include "ui/qt_host.h"
#include "ui/shell.h"
#include "ui_fixture.h"

namespace tavrik {
namespace {

struct Seen {
  QString title, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QStringList buttons;
  QString default_button;
};

// Shows a real box and answers it by clicking the button with the given role.
MsgAnswer ShowAndAnswer(int style, const QString& text, QMessageBox::StandardButton click,
                        Seen* seen) {
  QTimer::singleShot(0, [=] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    seen->title = box->windowTitle();
    seen->text = box->text();
    seen->icon = box->icon();
    for (QAbstractButton* b : box->buttons()) seen->buttons << b->text();
    if (box->defaultButton()) seen->default_button = box->defaultButton()->text();
    box->button(click)->click();
  });
  return ShowMessageBox(nullptr, text, style);
}

// Catches an Abort/Retry/Ignore box that Escape or a close request answers (as Abort)
// instead of leaving the answer to its three buttons.
TEST(MessageBoxTest, RetryBoxIgnoresEscapeAndOffersNoClose) {
  bool visible_after_escape = false, visible_after_close = false, close_button = true;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    QTest::keyClick(box, Qt::Key_Escape);
    visible_after_escape = box->isVisible();
    box->close();
    visible_after_close = box->isVisible();
    close_button = box->windowFlags().testFlag(Qt::WindowCloseButtonHint);
    box->button(QMessageBox::Retry)->click();
  });
  EXPECT_EQ(ShowMessageBox(nullptr, "Abgleichsfehler:", 274), MsgAnswer::kRetry);
  EXPECT_TRUE(visible_after_escape);
  EXPECT_TRUE(visible_after_close);
  EXPECT_FALSE(close_button);
  // Other boxes still close with Escape.
  QTimer::singleShot(0, [] {
    if (QWidget* box = QApplication::activeModalWidget()) QTest::keyClick(box, Qt::Key_Escape);
  });
  EXPECT_EQ(ShowMessageBox(nullptr, "t", 48), MsgAnswer::kOk);
}

// Catches wrong buttons, icons, title, default button or line breaks in the boxes.
TEST(MessageBoxTest, StylesGiveTheirButtonsIconsAndAnswers) {
  Seen error;
  EXPECT_EQ(ShowAndAnswer(274, "Abgleichsfehler:\r\rx", QMessageBox::Ignore, &error),
            MsgAnswer::kIgnore);
  EXPECT_EQ(error.title, "Tavrik 1.5");
  EXPECT_EQ(error.text, "Abgleichsfehler:\n\nx");
  EXPECT_EQ(error.icon, QMessageBox::Critical);
  EXPECT_EQ(error.buttons.size(), 3);
  EXPECT_TRUE(error.buttons.contains("Abbrechen")) << error.buttons.join(",").toStdString();
  EXPECT_TRUE(error.buttons.contains("Wiederholen"));
  EXPECT_TRUE(error.buttons.contains("Ignorieren"));
  EXPECT_EQ(error.default_button, "Wiederholen");
  Seen retry, abort;
  EXPECT_EQ(ShowAndAnswer(274, "x", QMessageBox::Retry, &retry), MsgAnswer::kRetry);
  EXPECT_EQ(ShowAndAnswer(274, "x", QMessageBox::Abort, &abort), MsgAnswer::kAbort);

  const std::pair<int, QMessageBox::Icon> ok_styles[] = {{0, QMessageBox::NoIcon},
                                                         {16, QMessageBox::Critical},
                                                         {48, QMessageBox::Warning},
                                                         {64, QMessageBox::Information}};
  for (const auto& [style, icon] : ok_styles) {
    Seen seen;
    EXPECT_EQ(ShowAndAnswer(style, "t", QMessageBox::Ok, &seen), MsgAnswer::kOk);
    EXPECT_EQ(seen.icon, icon) << style;
    EXPECT_EQ(seen.buttons.size(), 1) << style;
  }
}

// Catches the clipboard text being changed on its way to the clipboard.
TEST(QtHostTest, ClipboardGetsTheTextUnchanged) {
  Form1 form;
  form.Hooks().end_program = [] {};
  form.HostImpl().SetClipboardText("a.txt\t=\ta.txt\r\n\t?\tb\r\n");
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "a.txt\t=\ta.txt\r\n\t?\tb\r\n");
}

// Catches targets handed to the desktop as the wrong kind of address: a host name opened
// as a local file, a path sent to the web, a mail address losing its scheme.
TEST(ShellTest, TargetsBecomeWebFileOrSchemeAddresses) {
  EXPECT_EQ(UrlFor("www.example.org/x"), QUrl("https://www.example.org/x"));
  EXPECT_EQ(UrlFor("/opt/tavrik/tavrik.htm"), QUrl::fromLocalFile("/opt/tavrik/tavrik.htm"));
  EXPECT_EQ(UrlFor("/tmp/a b#c.htm").toLocalFile(), "/tmp/a b#c.htm");
  EXPECT_EQ(UrlFor("mailto:tavrik@example.org"), QUrl("mailto:tavrik@example.org"));
  EXPECT_EQ(UrlFor("http://example.org/"), QUrl("http://example.org/"));
  // Without a hook a missing help file is silently ignored (no crash, no dialog).
  ShowHelp(nullptr, "/nonexistent/tavrik.htm");
}

}  // namespace
}  // namespace tavrik
