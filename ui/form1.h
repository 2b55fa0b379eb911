// The main window: the comparison list and every control the user works the tool with.
// Controls carry their classic names as members and objectNames ("Btn_8", "pumXXX_10").
#pragma once

#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "batch/exclusion_rules.h"
#include "batch/far_roots.h"
#include "core/list/comparison_list.h"
#include "core/list/host.h"
#include "core/list/shared_state.h"

class QAbstractButton;
class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QMenu;
class QMimeData;
class QProgressBar;
class QRadioButton;
class QStatusBar;
class QTableView;
class QTimer;

namespace tavrik {

class ClickableLabel;
class ListModel;
class QtHost;
class ScanAhead;
struct StartRequest;

// Places where the window would block on the user or leave the process; tests replace them.
struct UiHooks {
  std::function<MsgAnswer(const QString& text, int style)> message_box;
  std::function<QString(QWidget* owner, const QString& prompt)> browse_for_folder;
  std::function<QAction*(QMenu* menu)> popup;
  std::function<void()> end_program;
};

class Form1 : public QWidget {
  Q_OBJECT

 public:
  Form1();
  ~Form1() override;

  // The window's start-up: caption, tooltips on, binary mode, empty list, show, the
  // exclusion rules, then the batch run named by command_line (empty: nothing more). A
  // rule file that cannot be read gets one box, and neither the batch run nor anything
  // else the command line asked for runs then: false. two_way: --two-way stood on the command
  // line, for the control file's folders and those filled by hand.
  bool Load(const std::string& command_line, const RuleOptions& rules = {}, bool two_way = false);

  // Reactions, callable directly by tests.
  void ButtonClicked(int index);
  void ModeOptionClicked(int index);
  void ToolTipCheckClicked();
  void LoadToolTips(int mode);
  void HeaderClicked(int column);  // 1-based
  void RowClicked();
  void PopupChoice(int index);
  void HandleDrop(const QMimeData* data, int x);
  // One folder dropped on the left or the right column, with the drop's checks.
  void DropFolder(const QString& path, bool left, ScanAhead* ahead = nullptr);
  // The folders of the command line, checked as drops are: one fills the left column, two
  // fill the left and the right one as named, also when the left folder holds no file.
  void OpenFolders(const QString& left, const QString& right);
  // What the command line brought besides a control file: folders for the columns, or a
  // file manager's selection that is not one or two folders (one box, the list stays empty).
  void OpenStartFolders(const StartRequest& request);
  void ChooseFolder(bool left);
  void LogoClicked();

  UiHooks& Hooks() { return hooks_; }
  ComparisonList& List() { return list_; }
  SharedState& State() { return state_; }
  Context& Ctx() { return *ctx_; }
  ListModel& Model() { return *model_; }
  QtHost& HostImpl() { return *host_; }
  int LastSortColumn() const { return last_sort_column_; }
  // Commands that would change the list are refused while an operation runs.
  void SetOperationRunning(bool running);
  bool Running() const { return running_; }

  // Controls.
  QTableView* Liste = nullptr;
  std::array<QAbstractButton*, 11> Btn{};  // members 0-3 and 7-10
  QGroupBox* Frame1 = nullptr;
  QGroupBox* Frame3 = nullptr;
  std::array<QRadioButton*, 2> CompModeOpt{};
  QCheckBox* SpeedCheck = nullptr;
  QCheckBox* SofortStartCheck = nullptr;
  QCheckBox* ToolTipCheck = nullptr;
  QProgressBar* Pbar = nullptr;
  QStatusBar* Sbar = nullptr;
  std::array<QLabel*, 2> SbarPanel{};  // panels 1 and 2
  ClickableLabel* LogoImage = nullptr;
  QMenu* pum = nullptr;
  std::array<QAction*, 11> pumXXX{};  // items 1-10

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildControls();
  void BuildList();
  void BuildPopup();
  void SetTabOrder();
  void UpdateLockedControls();
  int SelectedRow() const;
  // A drop's checks of a folder; false, after a box where there is something to say, when
  // it is not to be filled.
  bool FolderAccepted(const QString& path);
  // Fills a folder of this machine into the column FillColumn chooses.
  void FillHere(const std::string& path, bool left, ScanAhead* ahead = nullptr);
  // A folder named as one on another machine ([user@]host:path, ssh://...).
  static bool IsFarName(const QString& folder);
  // Connects to a far folder; nothing after a box that says why it cannot.
  std::optional<OpenedFolder> OpenFarFolder(const QString& folder);
  // Makes folder the root of one side (0 left, 1 right): on far's connection where it was
  // reached, else on this machine. The path the fill takes.
  std::string UseRoot(int side, const QString& folder, std::optional<OpenedFolder>& far);

  ComparisonList list_;
  SharedState state_;
  std::unique_ptr<ListModel> model_;
  std::unique_ptr<QtHost> host_;
  std::unique_ptr<Context> ctx_;
  UiHooks hooks_;
  int last_sort_column_ = 0;
  bool sync_allowed_ = false;  // the mode rule: only in the age mode
  bool running_ = false;
  // Folders the user fills by hand are compared two-way: --two-way on the command line, or
  // Zweiweg=1 in the user's own tavrik.ini (which a control file never takes).
  bool hand_two_way_ = false;
  void HandFilled() { state_.compare_options.two_way = hand_two_way_; }
  // Looks for a stop request (a signal) while no operation runs to see it.
  QTimer* stop_poll_ = nullptr;
};

// Twips to pixels: 15 twips a pixel at 96 dpi, scaled for the screen's logical dpi.
int Twips(int twips);
// Sets a control's geometry given in twips.
void Place(QWidget* w, int left, int top, int width, int height);

}  // namespace tavrik
