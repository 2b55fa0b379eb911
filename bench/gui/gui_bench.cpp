// Times what a user of the window waits for with a big list: filling both columns through
// the window (with its yields, model updates and repaints), a header click that sorts all
// rows, and scrolling through the list. usage: tavrik-gui-bench LEFT RIGHT
#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QScrollBar>
#include <QTableView>
#include <cstdio>

#include "ui/form1.h"
#include "ui/list_model.h"

namespace {

double Seconds(const QElapsedTimer& t) { return static_cast<double>(t.nsecsElapsed()) / 1e9; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tavrik-gui-bench LEFT RIGHT\n");
    return 64;
  }
  QApplication app(argc, argv);
  tavrik::Form1 form;
  form.Hooks().message_box = [](const QString& text, int) {
    std::fprintf(stderr, "%s\n", text.toUtf8().constData());
    return tavrik::MsgAnswer::kOk;
  };
  QString folders[2] = {QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2])};
  int next = 0;
  form.Hooks().browse_for_folder = [&](QWidget*, const QString&) { return folders[next++]; };
  form.Load("");

  QElapsedTimer timer;
  timer.start();
  form.ButtonClicked(0);
  double left = Seconds(timer);
  timer.restart();
  form.ButtonClicked(1);
  double right = Seconds(timer);
  QCoreApplication::processEvents();
  const int rows = form.List().RowCount();

  timer.restart();
  form.HeaderClicked(3);
  QCoreApplication::processEvents();
  double sort = Seconds(timer);
  timer.restart();
  form.HeaderClicked(3);
  QCoreApplication::processEvents();
  double reverse = Seconds(timer);

  // Scrolling: jump through the list in 200 steps and repaint each time.
  QScrollBar* bar = form.Liste->verticalScrollBar();
  timer.restart();
  const int steps = 200;
  double worst = 0;
  for (int i = 0; i <= steps; ++i) {
    QElapsedTimer frame;
    frame.start();
    bar->setValue(static_cast<int>(static_cast<long long>(bar->maximum()) * i / steps));
    form.Liste->viewport()->repaint();
    worst = std::max(worst, Seconds(frame));
  }
  double scroll = Seconds(timer) / (steps + 1);

  std::printf("rows %d\n", rows);
  std::printf("fill_left_s %.3f\nfill_right_s %.3f\nfill_total_s %.3f\n", left, right,
              left + right);
  std::printf("sort_s %.3f\nreverse_s %.3f\n", sort, reverse);
  std::printf("scroll_frame_ms %.2f\nscroll_worst_ms %.2f\n", scroll * 1000, worst * 1000);
  std::fflush(stdout);
  std::_Exit(0);
}
