#include <filesystem>

#include <QAccessible>
#include <QCheckBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QRadioButton>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QUrl>
#include <QtTest/QTest>

#include "core/fs/paths.h"
#include "core/sync/sync.h"
#include "support/fault_file_system.h"
#include "support/temp_tree.h"
#include "ui/list_model.h"
#include "ui/widgets.h"
#include "ui_fixture.h"

namespace tavrik {
namespace {

using testing::TempTree;
using testing::UiTest;

QMimeData* Files(const std::vector<std::string>& paths) {
  auto* data = new QMimeData;
  QList<QUrl> urls;
  for (const auto& p : paths) urls.push_back(QUrl::fromLocalFile(QString::fromStdString(p)));
  data->setUrls(urls);
  return data;
}

std::vector<std::string> Column(Form1& f, int col) {
  std::vector<std::string> v;
  for (int i = 1; i <= f.List().RowCount(); ++i) v.push_back(f.List().Text(i, col));
  return v;
}

// Catches a wrong start-up state: caption, tooltips, binary mode, sync button, list.
TEST_F(UiTest, StartUpShowsTheWindowInItsInitialState) {
  EXPECT_TRUE(form->Btn[7]->isEnabled());  // before start-up every button is enabled
  EXPECT_TRUE(form->Liste->toolTip().isEmpty());
  form->Load("");
  EXPECT_EQ(form->windowTitle(), "Tavrik 1.5");
  EXPECT_TRUE(form->isVisible());
  EXPECT_TRUE(form->ToolTipCheck->isChecked());
  EXPECT_TRUE(form->CompModeOpt[0]->isChecked());
  EXPECT_FALSE(form->CompModeOpt[1]->isChecked());
  EXPECT_FALSE(form->Btn[7]->isEnabled());
  EXPECT_TRUE(form->Btn[8]->isEnabled());
  EXPECT_FALSE(form->SpeedCheck->isChecked());
  EXPECT_FALSE(form->SofortStartCheck->isChecked());
  EXPECT_EQ(form->Model().rowCount(), 0);
  EXPECT_FALSE(form->Liste->toolTip().isEmpty());
  EXPECT_TRUE(boxes.empty());
}

// Catches missing or misnamed controls, wrong captions, or a list that can be edited.
TEST_F(UiTest, ControlsCarryTheirNamesAndCaptions) {
  struct {
    int index;
    const char* caption;
  } buttons[] = {{0, ""},
                 {1, ""},
                 {2, "&Hilfe"},
                 {3, "&Zwischen- ablage"},
                 {7, "Dateien- &abgleich"},
                 {8, "Dateien- &vergleich"},
                 {9, "&Ende"},
                 {10, "&Info"}};
  for (const auto& b : buttons) {
    QString name = QString("Btn_%1").arg(b.index);
    auto* w = form->findChild<QAbstractButton*>(name);
    ASSERT_NE(w, nullptr) << name.toStdString();
    EXPECT_EQ(w->text(), QString::fromUtf8(b.caption));
  }
  EXPECT_FALSE(form->Btn[0]->icon().isNull());
  EXPECT_EQ(form->findChild<QCheckBox*>("SofortStartCheck")->text(),
            "&Nach dem Auffüllen der rechten Spalte sofort mit dem Vergleich beginnen");
  EXPECT_EQ(form->findChild<QCheckBox*>("ToolTipCheck")->text(), "&ToolTips anzeigen");
  EXPECT_EQ(form->findChild<QCheckBox*>("SpeedCheck")->text(), "&Schneller ausführen");
  EXPECT_EQ(form->findChild<QRadioButton*>("CompModeOpt_0")->text(), "&Binärvergleich");
  EXPECT_EQ(form->findChild<QRadioButton*>("CompModeOpt_1")->text(), "Al&tersvergleich");
  EXPECT_EQ(form->findChild<QGroupBox*>("Frame1")->title(), "Vergleichsliste");
  EXPECT_EQ(form->findChild<QGroupBox*>("Frame3")->title(), "Steuerung");
  EXPECT_EQ(form->Pbar->minimum(), 0);
  EXPECT_EQ(form->Pbar->maximum(), 100);
  const char* headers[] = {"Erster Ordner", "<-->", "Zweiter Ordner", ""};
  for (int c = 0; c < 4; ++c)
    EXPECT_EQ(form->Model().headerData(c, Qt::Horizontal, Qt::DisplayRole).toString(),
              QString::fromUtf8(headers[c]));
  EXPECT_TRUE(form->Liste->isColumnHidden(4));
  EXPECT_TRUE(form->Liste->isColumnHidden(5));
  EXPECT_GT(form->Liste->columnWidth(3), 10 * form->Liste->columnWidth(0));
  EXPECT_EQ(form->Liste->editTriggers(), QAbstractItemView::NoEditTriggers);
  EXPECT_FALSE(form->LogoImage->pixmap().isNull());  // the pictures are linked in
  EXPECT_FALSE(form->windowIcon().isNull());
  EXPECT_EQ(form->LogoImage->toolTip(),
            "Klicken Sie hier, um zur aktuellen Internetausgabe der Lumbra zu gelangen ...");
  // Two-line buttons are laid out inside the frame, the folder buttons on the window.
  EXPECT_EQ(form->Btn[8]->parentWidget(), form->Frame3);
  EXPECT_EQ(form->Btn[0]->parentWidget(), form.get());
  EXPECT_EQ(form->Btn[1]->geometry().right() + 1, Twips(8535));
}

// Catches a tab order that skips or swaps controls.
TEST_F(UiTest, TabOrderRunsThroughTheControlsInLayoutOrder) {
  QWidget* expected[] = {
      form->Liste,   form->Btn[0],       form->CompModeOpt[0], form->CompModeOpt[1],
      form->Btn[1],  form->ToolTipCheck, form->SpeedCheck,     form->SofortStartCheck,
      form->Btn[8],  form->Btn[7],       form->Btn[3],         form->Btn[2],
      form->Btn[10], form->Btn[9]};
  // The next widget that Tab can reach (children such as scroll bars take no focus).
  auto next_stop = [](QWidget* w) {
    do w = w->nextInFocusChain();
    while (!(w->focusPolicy() & Qt::TabFocus));
    return w;
  };
  for (size_t i = 1; i < std::size(expected); ++i)
    EXPECT_EQ(next_stop(expected[i - 1]), expected[i]) << expected[i]->objectName().toStdString();
}

// Catches a tab order that holds in the focus chain but not at the keyboard: Tab from the
// left folder button must reach both option buttons, the unchecked one too.
TEST_F(UiTest, TabKeyReachesBothCompareOptions) {
  form->show();
  form->activateWindow();
  QApplication::setActiveWindow(form.get());
  form->Btn[0]->setFocus(Qt::TabFocusReason);
  QApplication::processEvents();
  ASSERT_EQ(QApplication::focusWidget(), form->Btn[0]);
  const bool binary = form->CompModeOpt[0]->isChecked();
  QWidget* expected[] = {form->CompModeOpt[0], form->CompModeOpt[1], form->Btn[1],
                         form->ToolTipCheck};
  for (QWidget* w : expected) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QApplication::processEvents();
    EXPECT_EQ(QApplication::focusWidget(), w)
        << w->objectName().toStdString() << " got "
        << (QApplication::focusWidget() ? QApplication::focusWidget()->objectName().toStdString()
                                        : "none");
  }
  // Tab does not change the selected option; a click on the other one does, and only one
  // stays selected.
  EXPECT_EQ(form->CompModeOpt[0]->isChecked(), binary);
  form->CompModeOpt[1]->click();
  EXPECT_TRUE(form->CompModeOpt[1]->isChecked());
  EXPECT_FALSE(form->CompModeOpt[0]->isChecked());
  form->CompModeOpt[1]->click();
  EXPECT_TRUE(form->CompModeOpt[1]->isChecked());
}

// Catches the compare options announced as check boxes (they are kept exclusive by hand, so
// Qt's own interface would call them so), or a key that leaves none or both selected.
TEST_F(UiTest, CompareOptionsAreExclusiveRadioButtonsToAssistiveTechnology) {
  form->Load("");
  QApplication::setActiveWindow(form.get());
  auto checked_count = [&] {
    int n = 0;
    for (QRadioButton* option : form->CompModeOpt) {
      QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(option);
      EXPECT_NE(iface, nullptr);
      if (!iface) continue;
      EXPECT_EQ(iface->role(), QAccessible::RadioButton) << option->objectName().toStdString();
      EXPECT_TRUE(iface->state().checkable);
      EXPECT_EQ(iface->state().checked, option->isChecked());
      n += iface->state().checked ? 1 : 0;
    }
    return n;
  };
  QAccessibleInterface* binary = QAccessible::queryAccessibleInterface(form->CompModeOpt[0]);
  ASSERT_NE(binary, nullptr);
  EXPECT_EQ(binary->text(QAccessible::Name), "Binärvergleich");
  EXPECT_EQ(checked_count(), 1);
  const Qt::Key keys[] = {Qt::Key_Space, Qt::Key_Right, Qt::Key_Left,  Qt::Key_Down,
                          Qt::Key_Up,    Qt::Key_Space, Qt::Key_Return};
  for (QRadioButton* option : form->CompModeOpt) {
    for (Qt::Key key : keys) {
      option->setFocus(Qt::TabFocusReason);
      QTest::keyClick(QApplication::focusWidget(), key);
      QApplication::processEvents();
      EXPECT_EQ(checked_count(), 1) << option->objectName().toStdString() << " key " << key;
    }
  }
  // The toggle action selects; it never leaves the pair without a selection.
  QAccessibleInterface* age = QAccessible::queryAccessibleInterface(form->CompModeOpt[1]);
  ASSERT_NE(age, nullptr);
  age->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
  EXPECT_TRUE(form->CompModeOpt[1]->isChecked());
  age->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
  EXPECT_TRUE(form->CompModeOpt[1]->isChecked());
  EXPECT_EQ(checked_count(), 1);
}

// Catches the mode rule not switching the sync button, or the compare button passing
// the wrong mode.
TEST_F(UiTest, ModeRuleAndCompareButtonFollowTheSelectedOption) {
  TempTree t;
  t.Write("L/f", "aaaa", 1700000000);
  t.Write("R/f", "bbbb", 1700000000);
  form->Load("");
  form->CompModeOpt[1]->click();
  EXPECT_TRUE(form->Btn[7]->isEnabled());
  form->CompModeOpt[0]->click();
  EXPECT_FALSE(form->Btn[7]->isEnabled());
  next_folder = QString::fromStdString(t.Path("L"));
  form->Btn[0]->click();
  next_folder = QString::fromStdString(t.Path("R"));
  form->Btn[1]->click();
  ASSERT_EQ(prompts.size(), 2u);
  EXPECT_EQ(prompts[0], "Bitte geben Sie den Namen des\rzu vergleichenden Ordners an:");
  form->Btn[8]->click();
  EXPECT_EQ(form->List().GetMark(1), Mark::kDiffer);  // binary: same size, other content
  form->CompModeOpt[1]->click();
  form->Btn[8]->click();
  EXPECT_EQ(form->List().GetMark(1), Mark::kEqual);  // age: same time
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1].style, kMsgInformation);
}

// Catches a cancelled folder dialog changing anything.
TEST_F(UiTest, CancelledFolderDialogChangesNothing) {
  form->Load("");
  form->SbarPanel[1]->setText("unchanged");
  next_folder.clear();
  form->Btn[0]->click();
  EXPECT_EQ(form->SbarPanel[1]->text(), "unchanged");
  EXPECT_EQ(form->List().Header(1), "Erster Ordner");
}

// Catches tooltips that are not removed, removed from the folder buttons, or not restored.
TEST_F(UiTest, ToolTipCheckSwitchesTheFifteenTexts) {
  form->Load("");
  std::vector<QWidget*> switched = {form->Liste,         form->Btn[3],       form->Btn[7],
                                    form->Btn[8],        form->Btn[9],       form->Btn[10],
                                    form->Pbar,          form->SbarPanel[0], form->SbarPanel[1],
                                    form->ToolTipCheck,  form->SpeedCheck,   form->CompModeOpt[0],
                                    form->CompModeOpt[1]};
  EXPECT_EQ(form->SpeedCheck->toolTip(),
            "Erhöht die Performance von Tavrik 1.5 zu Lasten anderer Tasks.");
  EXPECT_EQ(form->Btn[7]->toolTip(),
            "Führt den Datenabgleich abhängig von der Relationsliste durch.");
  form->ToolTipCheck->click();
  for (QWidget* w : switched) EXPECT_TRUE(w->toolTip().isEmpty()) << w->objectName().toStdString();
  EXPECT_EQ(form->Btn[0]->toolTip(), "Öffnet einen Dialog zur Verzeichnisauswahl");
  EXPECT_EQ(form->Btn[1]->toolTip(), "Öffnet einen Dialog zur Verzeichnisauswahl");
  EXPECT_FALSE(form->LogoImage->toolTip().isEmpty());
  EXPECT_TRUE(form->Btn[2]->toolTip().isEmpty());
  form->ToolTipCheck->click();
  for (QWidget* w : switched) EXPECT_FALSE(w->toolTip().isEmpty()) << w->objectName().toStdString();
  EXPECT_EQ(form->SbarPanel[0]->toolTip(), "Anzahl der Dateien in der Liste.");
  EXPECT_EQ(form->CompModeOpt[1]->toolTip(), "Wählt den versionsbezogenen Vergleichsmodus");
}

// Catches header clicks that do not toggle on the same column or reset the direction on a
// new one.
TEST_F(UiTest, HeaderClicksSortAndReverse) {
  form->Load("");
  ComparisonList& list = form->List();
  list.AddRow(1, "b");
  list.SetRightName(1, "y");
  list.AddRow(2, "a");
  list.SetRightName(2, "z");
  list.AddRow(3, "c");
  list.SetRightName(3, "x");
  auto left = [&] { return Column(*form, 1); };
  form->Liste->horizontalHeader()->sectionClicked(0);
  EXPECT_EQ(left(), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(form->LastSortColumn(), 1);
  form->HeaderClicked(1);
  EXPECT_EQ(left(), (std::vector<std::string>{"c", "b", "a"}));
  form->HeaderClicked(3);  // a new column keeps the direction: descending
  EXPECT_EQ(Column(*form, 3), (std::vector<std::string>{"z", "y", "x"}));
  form->HeaderClicked(3);
  EXPECT_EQ(Column(*form, 3), (std::vector<std::string>{"x", "y", "z"}));
  form->HeaderClicked(1);  // ascending now
  EXPECT_EQ(left(), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(form->Model().data(form->Model().index(0, 0), Qt::DisplayRole).toString(), "a");
}

// Catches popup choices that write the wrong mark, touch other rows, or act on "&Abbrechen".
TEST_F(UiTest, PopupWritesTheChosenMarkIntoTheSelectedRow) {
  form->Load("");
  form->List().AddRow(1, "one");
  form->List().AddRow(2, "two");
  form->Model().Flush();
  ASSERT_EQ(form->pum->actions().size(), 10);
  EXPECT_EQ(form->pum->defaultAction(), form->pumXXX[10]);
  EXPECT_EQ(form->pumXXX[6]->text(), "XX  beide löschen");
  EXPECT_TRUE(form->pumXXX[3]->isSeparator());
  form->Liste->selectRow(1);
  const std::pair<int, Mark> marks[] = {{1, Mark::kCopyRight},   {2, Mark::kCopyLeft},
                                        {4, Mark::kDeleteRight}, {5, Mark::kDeleteLeft},
                                        {6, Mark::kDeleteBoth},  {8, Mark::kSkip}};
  for (const auto& [item, mark] : marks) {
    popup_choice = form->pumXXX[static_cast<size_t>(item)];
    form->RowClicked();
    EXPECT_EQ(form->List().GetMark(2), mark) << item;
  }
  for (int item : {10, 3, 7, 9}) {
    popup_choice = form->pumXXX[static_cast<size_t>(item)];
    form->RowClicked();
  }
  popup_choice = nullptr;  // menu dismissed
  form->RowClicked();
  EXPECT_EQ(form->List().GetMark(2), Mark::kSkip);
  EXPECT_EQ(form->List().GetMark(1), Mark::kNone);
  EXPECT_EQ(popups.size(), 11u);
}

// Catches the drop rules: refusals with their exact texts, non-file data, the side by x.
TEST_F(UiTest, DropsFillTheSideUnderThePointerOrExplainTheRefusal) {
  TempTree t;
  t.Write("L/l.txt", "l");
  t.Write("R/r.txt", "r");
  t.Write("file.txt", "f");
  t.Mkdir("wh?t");
  form->Load("");
  std::unique_ptr<QMimeData> two(Files({t.Path("L"), t.Path("R")}));
  form->HandleDrop(two.get(), 5);
  std::unique_ptr<QMimeData> file(Files({t.Path("file.txt")}));
  form->HandleDrop(file.get(), 5);
  std::unique_ptr<QMimeData> question(Files({t.Path("wh?t")}));
  form->HandleDrop(question.get(), 5);
  QMimeData text;
  text.setText(QString::fromStdString(t.Path("L")));
  form->HandleDrop(&text, 5);
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0].text, "Bitte jeweils nur ein einzelnes Verzeichnis in die Liste ziehen!");
  EXPECT_EQ(boxes[1].text, "Bitte nur Verzeichnisse (keine Einzeldateien) in die Liste ziehen!");
  EXPECT_EQ(boxes[2].text, "Dieser Verzeichnisname enthält ungültige Zeichen - bitte korrigieren!");
  for (const auto& b : boxes) EXPECT_EQ(b.style, kMsgOk);
  EXPECT_EQ(form->List().RowCount(), 0);

  // A first drop anywhere fills the left column, even right of column 1.
  std::unique_ptr<QMimeData> right(Files({t.Path("R")}));
  form->HandleDrop(right.get(), form->Liste->columnWidth(0) + 50);
  EXPECT_EQ(Column(*form, 1), std::vector<std::string>{"r.txt"});
  // Exactly on the border counts as right; one pixel less as left.
  std::unique_ptr<QMimeData> left(Files({t.Path("L")}));
  form->HandleDrop(left.get(), form->Liste->columnWidth(0));
  EXPECT_EQ(form->List().Header(3), t.Path("L/"));
  form->HandleDrop(left.get(), form->Liste->columnWidth(0) - 1);
  EXPECT_EQ(form->List().Header(1), t.Path("L/"));
  EXPECT_EQ(form->List().Header(3), "Zweiter Ordner");
}

// Catches a folder for the right, after a left fill of an empty folder, filling the left
// column again: the list would show it on the left while "-->" copies into the right root of
// an earlier fill.
TEST_F(UiTest, AfterAnEmptyLeftFolderTheRightFolderFillsTheRightColumn) {
  TempTree t;
  t.Write("L/l.txt", "l");
  t.Write("R/r.txt", "r");
  t.Write("R2/old.txt", "o");
  t.Mkdir("E");
  for (bool by_drop : {false, true}) {
    form->Load("");
    const auto fill = [&](const char* folder, bool left) {
      if (!by_drop) {
        next_folder = QString::fromStdString(t.Path(folder));
        form->Btn[left ? 0 : 1]->click();
        return;
      }
      std::unique_ptr<QMimeData> data(Files({t.Path(folder)}));
      form->HandleDrop(data.get(), left ? 0 : form->Liste->columnWidth(0) + 50);
    };
    fill("L", true);
    fill("R2", false);
    fill("E", true);
    EXPECT_EQ(form->List().RowCount(), 0) << by_drop;
    fill("R", false);
    EXPECT_EQ(form->List().Header(1), t.Path("E/")) << by_drop;
    EXPECT_EQ(form->List().Header(3), t.Path("R/")) << by_drop;
    EXPECT_EQ(form->State().right_root.str(), t.Path("R/")) << by_drop;
    EXPECT_EQ(Column(*form, 3), std::vector<std::string>{"r.txt"}) << by_drop;
    EXPECT_EQ(Column(*form, 1), std::vector<std::string>{""}) << by_drop;
  }
}

// Catches a drop delivered through the real event path being ignored.
TEST_F(UiTest, DropEventOnTheListReachesTheDropReaction) {
  TempTree t;
  t.Write("L/a", "a");
  form->Load("");
  std::unique_ptr<QMimeData> data(Files({t.Path("L")}));
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(form->Liste->viewport(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(5, 5), Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(form->Liste->viewport(), &drop);
  EXPECT_EQ(Column(*form, 1), std::vector<std::string>{"a"});
}

// Catches commands that could change the list while a fill runs, and "&Ende" not ending
// the program once the fill has stopped (or ending it in the middle, before the clean-up).
TEST_F(UiTest, CommandsAreRefusedDuringAFillButEndStillEnds) {
  TempTree t;
  for (int i = 0; i < 200; ++i) t.Write("L/f" + std::to_string(i), "x");
  t.Write("X/x", "x");
  form->Load("");
  bool checked = false;
  std::unique_ptr<QMimeData> other(Files({t.Path("X")}));
  QTimer::singleShot(0, form.get(), [&] {
    checked = true;
    EXPECT_FALSE(form->Btn[0]->isEnabled());
    EXPECT_FALSE(form->Btn[1]->isEnabled());
    EXPECT_FALSE(form->Btn[3]->isEnabled());
    EXPECT_FALSE(form->Btn[7]->isEnabled());
    EXPECT_FALSE(form->Btn[8]->isEnabled());
    EXPECT_TRUE(form->Btn[9]->isEnabled());
    form->HandleDrop(other.get(), 0);
    form->HeaderClicked(3);
    form->Btn[0]->click();
    form->PopupChoice(1);
    form->Btn[9]->click();
    EXPECT_EQ(ended, 0) << "ended in the middle of the fill";
  });
  next_folder = QString::fromStdString(t.Path("L"));
  form->ChooseFolder(true);
  EXPECT_TRUE(checked);
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(form->List().RowCount(), 200);
  EXPECT_EQ(form->List().Header(1), t.Path("L/"));
  EXPECT_EQ(form->LastSortColumn(), 0);
  EXPECT_EQ(prompts.size(), 1u);
  EXPECT_TRUE(popups.empty());
  EXPECT_TRUE(form->Btn[0]->isEnabled());
  EXPECT_TRUE(form->Btn[8]->isEnabled());
  EXPECT_EQ(form->Model().rowCount(), 200);
}

// Catches status texts without the prefix, or progress not reaching the bar.
TEST_F(UiTest, HostShowsStatusAndProgressInTheWindow) {
  TempTree t;
  t.Write("L/only", "1");
  form->Load("");
  next_folder = QString::fromStdString(t.Path("L"));
  form->Btn[0]->click();
  EXPECT_EQ(form->SbarPanel[0]->text(), "1 Datei");
  EXPECT_EQ(form->SbarPanel[1]->text(), "Status: Eintragung der Dateien abgeschlossen.");
  EXPECT_EQ(form->Pbar->value(), 0);
  EXPECT_EQ(QString::fromStdString(form->List().Header(1)),
            form->Model().headerData(0, Qt::Horizontal, Qt::DisplayRole).toString());
}

// Catches the logo and help button launching the wrong target or show command.
TEST_F(UiTest, LogoAndHelpHandTheirTargetsToTheDesktop) {
  form->Load("");
  form->LogoClicked();
  form->Btn[2]->click();
  ASSERT_EQ(launches.size(), 2u);
  EXPECT_EQ(launches[0].target, "www.example.org/lumbra/");
  EXPECT_EQ(launches[0].show, 1);
  EXPECT_EQ(launches[1].target, QString::fromStdString(AppPath()) + "tavrik.htm");
  EXPECT_EQ(launches[1].show, 10);
  EXPECT_EQ(launches[1].target.count("//"), 0);
}

// Catches "&Ende" or closing the window during a synchronisation ending the process at
// once, with copies half written or prepared as hidden temporary files in the user's
// folders: the run stops at its next row, removes what it made, and then the program ends.
TEST_F(UiTest, EndOrCloseDuringASyncCleansUpBeforeTheProgramEnds) {
  for (bool by_close : {false, true}) {
    TempTree t;
    for (int i = 0; i < 30; ++i) {
      std::string name = "f";  // built with +=: GCC 12 misreads the + chain (-Wrestrict)
      name += std::to_string(100 + i);
      t.Write("L/" + name, std::string(1 << 20, 'n'), 2000000000);
      t.Write("R/" + name, "old", 1000000000);
    }
    TearDown();
    SetUp();
    form->Load("");
    form->CompModeOpt[1]->click();
    form->OpenFolders(QString::fromStdString(t.Path("L")), QString::fromStdString(t.Path("R")));
    form->ButtonClicked(8);
    boxes.clear();
    ended = 0;
    QTimer::singleShot(0, form.get(), [&] {
      if (by_close) {
        form->close();
        EXPECT_TRUE(form->isVisible()) << "the window went before the run ended";
      } else {
        form->Btn[9]->click();
      }
      EXPECT_EQ(ended, 0) << "ended in the middle of the run";
    });
    form->ButtonClicked(7);
    EXPECT_EQ(ended, 1) << by_close;
    EXPECT_GT(form->List().RowCount(), 0) << "the run did not stop";
    for (const auto& entry : std::filesystem::recursive_directory_iterator(t.Path("")))
      EXPECT_NE(entry.path().filename().string().rfind(".tavrik-", 0), 0u) << entry.path();
    for (int i = 0; i < 30; ++i) {
      const std::string now = t.Read("R/f" + std::to_string(100 + i));
      EXPECT_TRUE(now == "old" || now == std::string(1 << 20, 'n')) << i;
    }
  }
}

// Catches a window frozen for the length of one large copy, with "Schneller ausführen"
// checked: "&Ende" or closing the window must take effect while the file is being copied
// (on a slow stick, minutes), not after it; the copy is broken off and nothing is left.
TEST_F(UiTest, EndOrCloseTakeEffectDuringOneLongCopy) {
  constexpr int kChunks = 3;  // of the copy's four MiB each
  for (bool by_close : {false, true}) {
    TempTree t;
    t.Write("L/big", std::string(size_t{kChunks} << 22, 'n'), 2000000000);
    t.Write("R/big", "old", 1000000000);
    TearDown();
    SetUp();
    form->Load("");
    form->CompModeOpt[1]->click();
    form->OpenFolders(QString::fromStdString(t.Path("L")), QString::fromStdString(t.Path("R")));
    form->ButtonClicked(8);
    form->SpeedCheck->setChecked(true);
    ended = 0;
    // A slow stick: every copy call of the run takes 300 ms.
    FaultFileSystem slow;
    slow.Pause(FsCall::kCopyRange, std::chrono::milliseconds(300));
    Context ctx{form->List(), form->State(), form->HostImpl(), slow};
    int calls_at_end = -1;
    QTimer::singleShot(0, form.get(), [&] {
      calls_at_end = slow.Count(FsCall::kCopyRange);
      if (by_close) {
        form->close();
      } else {
        form->Btn[9]->click();
      }
      EXPECT_EQ(ended, 0) << "ended in the middle of the run";
    });
    SyncFolders(ctx);
    EXPECT_EQ(ended, 1) << by_close;
    EXPECT_GE(calls_at_end, 1) << by_close << ": the window waited for the copy to start";
    EXPECT_LT(calls_at_end, kChunks) << by_close << ": the window was frozen during the copy";
    EXPECT_LE(slow.Count(FsCall::kCopyRange), calls_at_end + 1) << by_close;
    EXPECT_EQ(t.Read("R/big"), "old") << by_close;
    EXPECT_EQ(form->List().RowCount(), 1) << by_close;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(t.Path("")))
      EXPECT_NE(entry.path().filename().string().rfind(".tavrik-", 0), 0u) << entry.path();
  }
}

}  // namespace
}  // namespace tavrik
