// The info window: what the program is, under which terms it may be used, and how to
// reach its makers. Built anew on every opening; modal.
#pragma once

#include <QDialog>
#include <array>

class QAbstractButton;
class QLabel;
class QFrame;

namespace tavrik {

class InfoForm : public QDialog {
  Q_OBJECT

 public:
  explicit InfoForm(QWidget* parent = nullptr);

  // Sets the caption and the text from title and description, then shows the window
  // modally and returns when it has been closed.
  void main(const QString& title, const QString& description);

  // The info text for title and description, lines separated by CR.
  static QString InfoText(const QString& title, const QString& description);

  void ButtonClicked(int index);

  QLabel* Picture1 = nullptr;
  std::array<QLabel*, 1> Label{};
  QFrame* Line1 = nullptr;
  std::array<QAbstractButton*, 4> Btn{};
};

// Creates the info window, runs its main and unloads it again.
void ShowInfoForm(QWidget* parent, const QString& title, const QString& description);

}  // namespace tavrik
