#include "ui/form1.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCloseEvent>
#include <QDropEvent>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QRadioButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QStyle>
#include <QTableView>
#include <QTimer>
#include <QUrl>

#include <optional>

#include "batch/far_roots.h"
#include "batch/run_batch.h"
#include "batch/safety_settings.h"
#include "core/compare/compare.h"
#include "core/fs/paths.h"
#include "core/list/clipboard.h"
#include "core/list/status.h"
#include "core/scan/fill.h"
#include "core/scan/scan_ahead.h"
#include "core/sync/sync.h"
#include "ui/command_line.h"
#include "ui/folder_dialog.h"
#include "ui/info_form.h"
#include "ui/list_model.h"
#include "ui/option_accessible.h"
#include "ui/qt_host.h"
#include "ui/resources_init.h"
#include "ui/shell.h"
#include "ui/widgets.h"

namespace tavrik {

namespace {

constexpr const char* kInfoDescription =
    "ein Utility für Versions- und Binärvergleiche ganzer Verzeichnisse für Windows 9x und NT";
constexpr const char* kLogoToolTip =
    "Klicken Sie hier, um zur aktuellen Internetausgabe der Lumbra zu gelangen ...";
constexpr const char* kFolderButtonToolTip = "Öffnet einen Dialog zur Verzeichnisauswahl";

// The marks of the popup items 1 to 10; separators and "&Abbrechen" write nothing.
constexpr std::array<std::pair<const char*, int>, 11> kPopupItems = {{
    {nullptr, -1},
    {"--> kopiere nach rechts", static_cast<int>(Mark::kCopyRight)},
    {"<-- kopiere nach links", static_cast<int>(Mark::kCopyLeft)},
    {nullptr, -1},
    {"X-> rechts löschen", static_cast<int>(Mark::kDeleteRight)},
    {"<-X links löschen", static_cast<int>(Mark::kDeleteLeft)},
    {"XX  beide löschen", static_cast<int>(Mark::kDeleteBoth)},
    {nullptr, -1},
    {"][ übergehen", static_cast<int>(Mark::kSkip)},
    {nullptr, -1},
    {"&Abbrechen", -1},
}};

QFont WindowFont() {
  QFont font;
  font.setFamilies({"MS Sans Serif", "Liberation Sans", "Arial", "DejaVu Sans"});
  font.setPointSizeF(8.25);
  return font;
}

std::string Bytes(const QString& path) { return QFile::encodeName(path).toStdString(); }

}  // namespace

int Twips(int twips) {
  double dpi = 96.0;
  if (QScreen* screen = QGuiApplication::primaryScreen()) dpi = screen->logicalDotsPerInch();
  return static_cast<int>(twips / 15.0 * dpi / 96.0 + 0.5);
}

void Place(QWidget* w, int left, int top, int width, int height) {
  w->setGeometry(Twips(left), Twips(top), Twips(width), Twips(height));
}

Form1::Form1()
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint) {
  InitResources();
  setObjectName("Form1");
  setWindowTitle("Form1");
  setFont(WindowFont());
  setWindowIcon(QIcon(":/icons/tavrik-32.png"));
  setFixedSize(Twips(8730), Twips(6210));
  model_ = std::make_unique<ListModel>(list_, this);
  host_ = std::make_unique<QtHost>(*this);
  ctx_ = std::make_unique<Context>(Context{list_, state_, *host_, RealFileSystem()});
  BuildControls();
  BuildList();
  BuildPopup();
  SetTabOrder();
  // A run sees a stop request itself; an idle window ends on one here.
  stop_poll_ = new QTimer(this);
  connect(stop_poll_, &QTimer::timeout, this, [this] {
    if (state_.stop.Requested() && !running_) host_->EndProgram();
  });
  stop_poll_->start(200);
}

Form1::~Form1() = default;

void Form1::BuildControls() {
  Frame1 = new QGroupBox("Vergleichsliste", this);
  Frame1->setObjectName("Frame1");
  Place(Frame1, 60, 60, 8595, 4395);
  Frame3 = new QGroupBox("Steuerung", this);
  Frame3->setObjectName("Frame3");
  Place(Frame3, 1200, 4560, 7455, 1335);

  struct ButtonSpec {
    int index;
    QWidget* parent;
    const char* caption;
    int left, top, width, height;
  };
  const ButtonSpec buttons[] = {
      {1, this, "", 7140, 3960, 1395, 375},
      {0, this, "", 180, 3960, 1395, 375},
      {3, Frame3, "&Zwischen- ablage", 6360, 240, 975, 555},
      {2, Frame3, "&Hilfe", 4320, 840, 975, 375},
      {7, Frame3, "Dateien- &abgleich", 5340, 240, 975, 555},
      {8, Frame3, "Dateien- &vergleich", 4320, 240, 975, 555},
      {9, Frame3, "&Ende", 6360, 840, 975, 375},
      {10, Frame3, "&Info", 5340, 840, 975, 375},
  };
  for (const ButtonSpec& b : buttons) {
    auto* button = new WrapButton(QString::fromUtf8(b.caption), b.parent);
    button->setObjectName(QString("Btn_%1").arg(b.index));
    Place(button, b.left, b.top, b.width, b.height);
    connect(button, &QPushButton::clicked, this, [this, i = b.index] { ButtonClicked(i); });
    Btn[static_cast<size_t>(b.index)] = button;
  }
  for (int i : {0, 1}) {
    Btn[static_cast<size_t>(i)]->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    Btn[static_cast<size_t>(i)]->setIconSize(QSize(Twips(300), Twips(300)));
    Btn[static_cast<size_t>(i)]->raise();
  }

  SofortStartCheck = new WrapCheckBox(
      "&Nach dem Auffüllen der rechten Spalte sofort mit dem Vergleich beginnen", Frame3);
  SofortStartCheck->setObjectName("SofortStartCheck");
  Place(SofortStartCheck, 120, 720, 3435, 435);
  ToolTipCheck = new QCheckBox("&ToolTips anzeigen", Frame3);
  ToolTipCheck->setObjectName("ToolTipCheck");
  Place(ToolTipCheck, 120, 300, 1635, 255);
  connect(ToolTipCheck, &QCheckBox::toggled, this, [this] { ToolTipCheckClicked(); });
  SpeedCheck = new QCheckBox("&Schneller ausführen", Frame3);
  SpeedCheck->setObjectName("SpeedCheck");
  Place(SpeedCheck, 2520, 300, 1755, 255);

  CompModeOpt[0] = new QRadioButton("&Binärvergleich", Frame1);
  Place(CompModeOpt[0], 2280, 3900, 1335, 375);
  CompModeOpt[1] = new QRadioButton("Al&tersvergleich", Frame1);
  Place(CompModeOpt[1], 3660, 3900, 1395, 375);
  // Exclusive by hand: Qt lets Tab stop only at the checked button of an auto-exclusive
  // pair, and both options are tab stops here.
  for (int i : {0, 1}) {
    QRadioButton* self = CompModeOpt[static_cast<size_t>(i)];
    QRadioButton* other = CompModeOpt[static_cast<size_t>(1 - i)];
    self->setObjectName(QString("CompModeOpt_%1").arg(i));
    self->setAutoExclusive(false);
    AnnounceAsRadioButton(self);
    connect(self, &QRadioButton::toggled, this, [this, i, self, other](bool on) {
      if (on) {
        other->setChecked(false);
        ModeOptionClicked(i);
      } else if (!other->isChecked()) {
        // A click on the selected option keeps it selected.
        const QSignalBlocker quiet(self);
        self->setChecked(true);
      }
    });
  }
  Pbar = new QProgressBar(Frame1);
  Pbar->setObjectName("Pbar");
  Pbar->setRange(0, 100);
  Pbar->setValue(0);
  Pbar->setTextVisible(false);
  Place(Pbar, 5460, 3900, 1575, 375);

  Sbar = new QStatusBar(this);
  Sbar->setObjectName("Sbar");
  Sbar->setSizeGripEnabled(false);
  Place(Sbar, 0, 5955, 8730, 255);
  for (int i : {0, 1}) {
    auto* panel = new QLabel(Sbar);
    panel->setObjectName(QString("SbarPanel_%1").arg(i + 1));
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    SbarPanel[static_cast<size_t>(i)] = panel;
  }
  SbarPanel[0]->setFixedWidth(Twips(1800));
  Sbar->addWidget(SbarPanel[0]);
  Sbar->addWidget(SbarPanel[1], 1);

  LogoImage = new ClickableLabel(this);
  LogoImage->setObjectName("LogoImage");
  LogoImage->setPixmap(QPixmap(":/pictures/logo.png"));
  LogoImage->setScaledContents(true);
  Place(LogoImage, 60, 4560, 1035, 1350);
  LogoImage->setToolTip(kLogoToolTip);
  QPixmap pointer(":/cursors/mouse.png");
  if (!pointer.isNull()) LogoImage->setCursor(QCursor(pointer, 1, 1));
  connect(LogoImage, &ClickableLabel::clicked, this, [this] { LogoClicked(); });
}

void Form1::BuildList() {
  Liste = new QTableView(Frame1);
  Liste->setObjectName("Liste");
  Place(Liste, 120, 240, 8355, 3555);
  Liste->setModel(model_.get());
  Liste->setShowGrid(false);
  Liste->setWordWrap(false);
  Liste->setSelectionBehavior(QAbstractItemView::SelectRows);
  Liste->setSelectionMode(QAbstractItemView::SingleSelection);
  Liste->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Liste->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  Liste->setSortingEnabled(false);  // the list sorts itself; header clicks go to the core
  QHeaderView* rows = Liste->verticalHeader();
  rows->hide();
  rows->setSectionResizeMode(QHeaderView::Fixed);
  rows->setDefaultSectionSize(QFontMetrics(font()).height() + 3);
  QHeaderView* header = Liste->horizontalHeader();
  header->setHighlightSections(false);
  header->setSectionsMovable(false);
  header->setStretchLastSection(false);
  header->setSectionResizeMode(QHeaderView::Interactive);
  header->setMinimumSectionSize(0);
  const int widths[] = {3777, 220, 3777, 66666, 0, 0};
  for (int c = 0; c < ComparisonList::kColumns; ++c) Liste->setColumnWidth(c, Twips(widths[c]));
  Liste->setItemDelegateForColumn(1, new ClippingDelegate(Liste));
  Liste->setColumnHidden(4, true);
  Liste->setColumnHidden(5, true);
  connect(header, &QHeaderView::sectionClicked, this,
          [this](int section) { HeaderClicked(section + 1); });
  connect(Liste, &QTableView::clicked, this, [this] { RowClicked(); });
  Liste->setAcceptDrops(true);
  Liste->viewport()->setAcceptDrops(true);
  Liste->viewport()->installEventFilter(this);
}

void Form1::BuildPopup() {
  pum = new QMenu(this);
  pum->setObjectName("pum");
  for (int i = 1; i <= 10; ++i) {
    const auto& item = kPopupItems[static_cast<size_t>(i)];
    auto* action = new QAction(pum);
    action->setObjectName(QString("pumXXX_%1").arg(i));
    action->setData(i);
    if (item.first) {
      action->setText(QString::fromUtf8(item.first));
    } else {
      action->setSeparator(true);
    }
    pum->addAction(action);
    pumXXX[static_cast<size_t>(i)] = action;
  }
  pum->setDefaultAction(pumXXX[10]);
}

void Form1::SetTabOrder() {
  QWidget* order[] = {Liste,        Btn[0],     CompModeOpt[0],   CompModeOpt[1], Btn[1],
                      ToolTipCheck, SpeedCheck, SofortStartCheck, Btn[8],         Btn[7],
                      Btn[3],       Btn[2],     Btn[10],          Btn[9]};
  for (size_t i = 1; i < std::size(order); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
}

bool Form1::Load(const std::string& command_line, const RuleOptions& rules, bool two_way) {
  setWindowTitle(kProgramTitle);
  ToolTipCheck->setChecked(true);
  CompModeOpt[0]->setChecked(true);
  ClearList(list_);
  state_.left_filled_empty = false;
  model_->Flush();
  QRect screen = QGuiApplication::primaryScreen()
                     ? QGuiApplication::primaryScreen()->availableGeometry()
                     : QRect(0, 0, width(), height());
  move(screen.center() - rect().center());
  show();
  QCoreApplication::processEvents();
  // The user's own files where their folder cannot be searched are left out without a box.
  const FsResult loaded = LoadRules(ctx_->fs, rules, state_);
  if (!loaded.ok()) {
    Warn(*host_, RuleFileProblem(loaded.error()));
    return false;
  }
  // Versions and the hour correction as the user's own file sets them; a control file may
  // set them otherwise for its run.
  Result<SafetySettings> settings = UserSafetySettings(ctx_->fs);
  if (!settings.ok()) {
    Warn(*host_, SettingsFileProblem(settings.error()));
    return false;
  }
  ApplySafetySettings(settings.value(), state_);
  hand_two_way_ = two_way || settings.value().two_way.value_or(false);
  HandFilled();
  SafetySettings overrides;
  if (two_way) overrides.two_way = true;
  RunBatch(*ctx_, command_line, overrides);
  return true;
}

void Form1::ButtonClicked(int index) {
  switch (index) {
    case 0:
    case 1:
      if (!running_) ChooseFolder(index == 0);
      return;
    case 2:
      ShowHelp(this, HelpFilePath());
      return;
    case 3:
      if (!running_) CopyListToClipboard(*ctx_);
      return;
    case 7:
      if (!running_) SyncFolders(*ctx_);
      return;
    case 8:
      CompareFolders(*ctx_, CompModeOpt[0]->isChecked());
      return;
    case 9:
      host_->EndProgram();
      return;
    case 10:
      ShowInfoForm(this, kProgramTitle, QString::fromUtf8(kInfoDescription));
      return;
    default:
      return;  // indexes 4 to 6 have no button
  }
}

void Form1::ModeOptionClicked(int index) {
  sync_allowed_ = index == 1;
  UpdateLockedControls();
}

void Form1::ToolTipCheckClicked() { LoadToolTips(ToolTipCheck->isChecked() ? 1 : 0); }

void Form1::LoadToolTips(int mode) {
  const bool on = mode != 0;
  auto tip = [on](QWidget* w, const QString& text) { w->setToolTip(on ? text : QString()); };
  tip(Liste,
      "Die zu vergleichenden Verzeichnisse zunächst in die linke und dann in die rechte Spalte "
      "ziehen.");
  if (on) {
    // The folder buttons keep their tooltip when the tooltips are switched off.
    Btn[0]->setToolTip(kFolderButtonToolTip);
    Btn[1]->setToolTip(kFolderButtonToolTip);
  }
  tip(Btn[3], "Kopiert den aktuellen Listeninhalt in die Zwischenablage");
  tip(Btn[7], "Führt den Datenabgleich abhängig von der Relationsliste durch.");
  tip(Btn[8], "Startet den Vergleich der Dateien in den beiden Verzeichnissen.");
  tip(Btn[9], "Beendet das Programm.");
  tip(Btn[10], "Gibt Zusatzinfos über das Programm");
  tip(Pbar, "Zeigt den aktuellen Verarbeitungsstand an.");
  tip(SbarPanel[0], "Anzahl der Dateien in der Liste.");
  tip(SbarPanel[1], "Programmstatus und Hinweise für den Anwender.");
  tip(ToolTipCheck, "Schaltet die Tooltips ein oder aus");
  tip(SpeedCheck,
      QString("Erhöht die Performance von ") + kProgramTitle + " zu Lasten anderer Tasks.");
  tip(CompModeOpt[0], "Wählt den binären Vergleichsmodus");
  tip(CompModeOpt[1], "Wählt den versionsbezogenen Vergleichsmodus");
}

void Form1::HeaderClicked(int column) {
  if (running_) return;
  if (column == last_sort_column_) {
    list_.SetSortOrder((list_.SortOrder() + 1) % 2);
  } else {
    last_sort_column_ = column;
    list_.SetSortState(true, column - 1, list_.SortOrder());
  }
  model_->Flush();
}

int Form1::SelectedRow() const {
  QModelIndex current = Liste->selectionModel()->currentIndex();
  if (!current.isValid() || !Liste->selectionModel()->isRowSelected(current.row(), {})) return 0;
  int row = current.row() + 1;
  return row <= list_.RowCount() ? row : 0;
}

void Form1::RowClicked() {
  if (running_) return;
  QAction* chosen = hooks_.popup ? hooks_.popup(pum) : pum->exec(QCursor::pos());
  if (chosen) PopupChoice(chosen->data().toInt());
}

void Form1::PopupChoice(int index) {
  if (running_ || index < 1 || index > 10) return;
  int mark = kPopupItems[static_cast<size_t>(index)].second;
  int row = SelectedRow();
  if (mark < 0 || row == 0) return;
  list_.SetMark(row, static_cast<Mark>(mark));
  model_->Flush();
}

void Form1::HandleDrop(const QMimeData* data, int x) {
  if (running_ || !data || !data->hasUrls()) return;
  const QList<QUrl> urls = data->urls();
  if (urls.isEmpty() || !urls.first().isLocalFile()) return;  // not a list of files
  if (urls.size() > 1) {
    Note(*host_, "Bitte jeweils nur ein einzelnes Verzeichnis in die Liste ziehen!");
    return;
  }
  DropFolder(urls.first().toLocalFile(), x < Liste->columnWidth(0));
}

bool Form1::FolderAccepted(const QString& path) {
  if (running_) return false;
  struct stat st {};
  if (ctx_->fs.StatAt(AT_FDCWD, Bytes(path).c_str(), &st, 0) != 0 || !S_ISDIR(st.st_mode)) {
    Note(*host_, "Bitte nur Verzeichnisse (keine Einzeldateien) in die Liste ziehen!");
    return false;
  }
  if (path.contains('?')) {
    Note(*host_, "Dieser Verzeichnisname enthält ungültige Zeichen - bitte korrigieren!");
    return false;
  }
  return true;
}

void Form1::DropFolder(const QString& path, bool left, ScanAhead* ahead) {
  if (!FolderAccepted(path)) return;
  HandFilled();
  FillHere(Bytes(path), left, ahead);
}

void Form1::FillHere(const std::string& path, bool left, ScanAhead* ahead) {
  // The side FillColumn fills: a folder here takes the place of a far root there.
  const bool fills_left = left || (list_.RowCount() == 0 && !state_.left_filled_empty);
  OpenedFolder here;
  here.fs = &ctx_->fs;
  here.path = path;
  UseFolder(*ctx_, fills_left ? 0 : 1, std::move(here));
  FillColumn(*ctx_, path, left, ahead);
}

std::optional<OpenedFolder> Form1::OpenFarFolder(const QString& folder) {
  if (running_) return std::nullopt;
  const std::string name = Bytes(folder);
  OpenedFolder opened;
  std::string why;
  host_->SetBusyPointer(true);
  const bool ok = OpenFolder(ctx_->fs, name, FolderNames::kCommandLine, state_.far_access,
                             state_.stop, &opened, &why);
  host_->SetBusyPointer(false);
  if (ok) return opened;
  // The console's words, without its program name in front.
  if (!why.empty()) Warn(*host_, name + ": " + why);
  return std::nullopt;
}

std::string Form1::UseRoot(int side, const QString& folder, std::optional<OpenedFolder>& far) {
  if (far) return UseFolder(*ctx_, side, std::move(*far));
  OpenedFolder here;
  here.fs = &ctx_->fs;
  here.path = Bytes(folder);
  return UseFolder(*ctx_, side, std::move(here));
}

bool Form1::IsFarName(const QString& folder) {
  return NamesFarFolder(Bytes(folder), FolderNames::kCommandLine);
}

void Form1::OpenStartFolders(const StartRequest& request) {
  if (request.kind == StartRequest::kFolderChoice) {
    Note(*host_, kChooseOneOrTwoFolders);
    return;
  }
  if (request.kind != StartRequest::kFolders) return;
  OpenFolders(QFile::decodeName(request.left.c_str()), QFile::decodeName(request.right.c_str()));
}

void Form1::OpenFolders(const QString& left, const QString& right) {
  // A far folder is reached first, on a connection of its own; a failure is told in a box
  // and fills nothing. Neither becomes a root before both are reached.
  std::optional<OpenedFolder> left_far, right_far;
  if (IsFarName(left) && !(left_far = OpenFarFolder(left))) return;
  const bool right_is_far = !right.isEmpty() && IsFarName(right);
  if (right_is_far && !(right_far = OpenFarFolder(right))) return;
  if (right.isEmpty()) {
    if (!left_far) {
      DropFolder(left, true);
      return;
    }
    bool to_left = true;
    HandFilled();
    FillColumn(*ctx_, UseRoot(0, left, left_far), to_left);
    return;
  }
  // Without the left folder the right one is not filled either: its column would pair with a
  // left root of an earlier fill.
  if (!left_far && !FolderAccepted(left)) return;
  // The right tree is listed while the left one fills.
  const std::string right_path = UseRoot(1, right, right_far);
  ScanAhead ahead(*ctx_, right_path);
  const std::string left_path = UseRoot(0, left, left_far);
  HandFilled();
  FillNamedColumn(*ctx_, left_path, true);
  if (right_is_far || FolderAccepted(right)) FillNamedColumn(*ctx_, right_path, false, &ahead);
}

void Form1::ChooseFolder(bool left) {
  const QString prompt = "Bitte geben Sie den Namen des\rzu vergleichenden Ordners an:";
  QString folder = hooks_.browse_for_folder ? hooks_.browse_for_folder(this, prompt)
                                            : BrowseForFolder(this, prompt);
  if (folder.isEmpty()) return;
  HandFilled();
  FillHere(Bytes(folder), left);
}

void Form1::LogoClicked() { ShellOpen(this, address::kMagazine, kShowNormal); }

void Form1::SetOperationRunning(bool running) {
  running_ = running;
  model_->SetRunning(running);
  UpdateLockedControls();
}

void Form1::UpdateLockedControls() {
  for (int i : {0, 1, 3}) Btn[static_cast<size_t>(i)]->setEnabled(!running_);
  Btn[7]->setEnabled(sync_allowed_ && !running_);
  Liste->horizontalHeader()->setSectionsClickable(!running_);
}

void Form1::closeEvent(QCloseEvent* event) {
  // Closing the window during a run ends the program like "&Ende": once the run has
  // removed what it made. The window stays until then.
  if (running_) {
    host_->EndProgram();
    event->ignore();
    return;
  }
  event->accept();
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
  if (watched != Liste->viewport()) return QWidget::eventFilter(watched, event);
  switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
      auto* drag = static_cast<QDropEvent*>(event);
      if (drag->mimeData()->hasUrls()) drag->acceptProposedAction();
      return true;
    }
    case QEvent::Drop: {
      auto* drop = static_cast<QDropEvent*>(event);
      drop->acceptProposedAction();
      HandleDrop(drop->mimeData(), static_cast<int>(drop->position().x()));
      return true;
    }
    default:
      return QWidget::eventFilter(watched, event);
  }
}

}  // namespace tavrik
