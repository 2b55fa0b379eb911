// A started main window whose message boxes, folder dialog, popup menu, shell launches and
// program end are answered by the test instead of a user.
#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <deque>
#include <memory>

#include "support/fake_host.h"
#include "ui/form1.h"
#include "ui/qt_host.h"
#include "ui/shell.h"

namespace tavrik::testing {

// A box as the window shows it: text and classic style number.
struct UiBox {
  std::string text;
  int style;
};

struct Launch {
  QString target;
  int show;
};

class UiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    form = std::make_unique<Form1>();
    form->Hooks().message_box = [this](const QString& text, int style) {
      boxes.push_back({text.toStdString(), style});
      return answers.empty() ? MsgAnswer::kOk : Pop();
    };
    form->Hooks().browse_for_folder = [this](QWidget*, const QString& prompt) {
      prompts.push_back(prompt);
      return next_folder;
    };
    form->Hooks().popup = [this](QMenu* menu) {
      popups.push_back(menu);
      return popup_choice;
    };
    form->Hooks().end_program = [this] { ++ended; };
    SetShellOpener([this](const QString& target, int show) { launches.push_back({target, show}); });
  }
  void TearDown() override {
    SetShellOpener(nullptr);
    form.reset();
  }
  MsgAnswer Pop() {
    MsgAnswer a = answers.front();
    answers.pop_front();
    return a;
  }

  std::unique_ptr<Form1> form;
  std::vector<UiBox> boxes;
  std::deque<MsgAnswer> answers;
  std::vector<QString> prompts;
  QString next_folder;
  std::vector<QMenu*> popups;
  QAction* popup_choice = nullptr;
  std::vector<Launch> launches;
  int ended = 0;
};

}  // namespace tavrik::testing
