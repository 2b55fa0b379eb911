#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QTimer>

#include "ui/info_form.h"
#include "ui/shell.h"
#include "ui_fixture.h"

namespace tavrik {
namespace {

const QString kTitle = "Tavrik 1.5";
const QString kDescription =
    "ein Utility für Versions- und Binärvergleiche ganzer Verzeichnisse für Windows 9x und NT";

struct Opened {
  QString caption, text;
  bool visible_after_launches = false;
};

// Opens the info window, presses the launching buttons, records, then closes it.
Opened OpenInfo(std::vector<QString>* launched) {
  Opened seen;
  QTimer::singleShot(0, [&] {
    auto* form = qobject_cast<InfoForm*>(QApplication::activeModalWidget());
    if (!form) return;
    seen.caption = form->windowTitle();
    seen.text = form->Label[0]->text();
    for (int i = 0; i < 3; ++i) form->Btn[static_cast<size_t>(i)]->click();
    seen.visible_after_launches = form->isVisible();
    form->Btn[3]->click();
  });
  SetShellOpener([&](const QString& target, int show) {
    launched->push_back(target + "#" + QString::number(show));
  });
  ShowInfoForm(nullptr, kTitle, kDescription);
  SetShellOpener(nullptr);
  return seen;
}

// Catches a wrong caption or info text, state kept between openings, launching buttons
// that close the window, or a close button that does not.
TEST(InfoFormTest, ShowsCaptionAndTextAndStaysOpenForLaunches) {
  std::vector<QString> launched;
  Opened first = OpenInfo(&launched);
  Opened second = OpenInfo(&launched);
  EXPECT_EQ(first.caption, "Info über Tavrik 1.5");
  EXPECT_EQ(first.caption, second.caption);
  EXPECT_EQ(first.text, second.text);
  EXPECT_TRUE(first.visible_after_launches);
  ASSERT_EQ(launched.size(), 6u);
  EXPECT_EQ(launched[0], "mailto:tavrik@example.org#1");
  EXPECT_TRUE(launched[1].startsWith("www.example.org/"));
  EXPECT_TRUE(launched[2].endsWith("#1"));
  EXPECT_NE(launched[1], launched[2]);
}

// Catches the info text's line structure: en dash, empty lines, bullets, the paragraph
// running into "Sie erhalten dann", and no break after the last line.
TEST(InfoFormTest, InfoTextIsBuiltLineByLine) {
  QString text = InfoForm::InfoText(kTitle, kDescription);
  QStringList lines = text.split('\r');
  ASSERT_GE(lines.size(), 14);
  EXPECT_EQ(lines[0], kTitle + " – " + kDescription);
  EXPECT_EQ(lines[1], "");
  EXPECT_FALSE(lines[2].isEmpty());
  EXPECT_EQ(lines[3], "");
  EXPECT_EQ(lines[6], "");
  EXPECT_TRUE(lines[7].startsWith("Wenn Ihnen Tavrik 1.5"));
  EXPECT_TRUE(lines[7].endsWith("Sie erhalten dann"));
  for (int i = 8; i < 12; ++i) EXPECT_TRUE(lines[i].startsWith("  • ")) << i;
  EXPECT_TRUE(
      lines[11].endsWith("Tavrik 1.5 – was Ihnen im Endeffekt wiederum selbst zugute kommt ..."));
  EXPECT_EQ(lines[12], "");
  EXPECT_EQ(lines[13],
            "Verbesserungsvorschläge sind mir gerne willkommen. Weitere interessante Tools/Infos "
            "finden Sie "
            "auf meiner Web-Site unter www.example.org/tavrik/");
  EXPECT_FALSE(text.endsWith('\r'));
}

// Catches button captions, tooltips or tab order drifting.
TEST(InfoFormTest, ButtonsCarryCaptionsTooltipsAndTabOrder) {
  InfoForm form;
  EXPECT_EQ(form.Btn[0]->text(), "Eine &E-Mail an mich schreiben");
  EXPECT_EQ(form.Btn[1]->text(), "Die Seite 'Aktuelles' auf meiner Web-Site öffnen");
  EXPECT_EQ(form.Btn[3]->text(), "Dieses Fenster &schliessen");
  EXPECT_EQ(form.Btn[0]->toolTip(),
            "... startet Ihr E-Mail-Programm für eine Nachricht an tavrik@example.org");
  EXPECT_TRUE(form.Btn[1]->toolTip().startsWith(
      "... startet Ihren Internet-Browser mit dem Ziel www.example.org/"));
  EXPECT_EQ(form.Btn[3]->toolTip(), "... bringt Sie zurück zum Programm");
  for (int i = 1; i < 4; ++i)
    EXPECT_EQ(form.Btn[static_cast<size_t>(i - 1)]->nextInFocusChain(),
              form.Btn[static_cast<size_t>(i)]);
  EXPECT_TRUE(form.Label[0]->font().bold());
  EXPECT_DOUBLE_EQ(form.Label[0]->font().pointSizeF(), 9.75);
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
}

// Catches the help page missing next to the built program or leaving out a feature.
TEST(HelpFileTest, HelpPageLiesNextToTheProgramAndCoversEveryFeature) {
  QFile help(QString(TAVRIK_BIN_DIR) + "/tavrik.htm");
  ASSERT_TRUE(help.open(QIODevice::ReadOnly)) << help.fileName().toStdString();
  QString page = QString::fromUtf8(help.readAll());
  for (const char* needle : {"Binärvergleich",
                             "Altersvergleich",
                             "Zwischenablage",
                             "Abgleich",
                             "[Pfade]",
                             "[AutoStart]",
                             "Links=",
                             "Rechts=",
                             "Ende",
                             "Wiederholen",
                             "Ignorieren",
                             "&lt;--",
                             "--&gt;",
                             "X-&gt;",
                             "&lt;-X",
                             "XX",
                             "][",
                             "&lt;&gt;",
                             "? --&gt;",
                             "? &lt;--",
                             "übergehen",
                             "[Ausschluss]",
                             "--exclude=",
                             "--explain"})
    EXPECT_TRUE(page.contains(QString::fromUtf8(needle))) << needle;
}

}  // namespace
}  // namespace tavrik
