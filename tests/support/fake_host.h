// A scripted Host for tests: records every call, answers message boxes from a queue,
// and can run a callback at each yield.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/list/host.h"

namespace tavrik::testing {

struct Box {
  std::string text;
  Intent intent;
  std::optional<FsError> reason;
};

class FakeHost : public Host {
 public:
  void ShowStatus(int panel, const std::string& text) override {
    (panel == 1 ? status1 : status2) = text;
    status_log.push_back(std::to_string(panel) + ":" + text);
  }
  void SetProgress(float value) override {
    progress = value;
    progress_log.push_back(value);
  }
  void SetCompareButtonEnabled(bool enabled) override {
    compare_enabled = enabled;
    compare_log.push_back(enabled);
  }
  void SetBusyPointer(bool b) override {
    busy_pointer = b;
    pointer_log.push_back(b);
  }
  void OperationRunning(bool r) override { running = r; }
  void ProcessEvents() override {
    ++yields;
    if (on_yield) on_yield();
  }
  bool SpeedChecked() const override { return speed; }
  bool SofortStartChecked() const override { return sofort_start; }
  bool BinaryModeSelected() const override { return binary_mode; }
  void SelectCompareMode(int index) override {
    binary_mode = index == 0;
    mode_log.push_back(index);
  }
  MsgAnswer Tell(const Message& message) override {
    boxes.push_back({message.text, message.intent, message.reason});
    if (on_box) on_box(message.text, message.intent);
    if (answers.empty())
      return message.intent == Intent::kRetryError ? MsgAnswer::kIgnore : MsgAnswer::kOk;
    MsgAnswer a = answers.front();
    answers.pop_front();
    return a;
  }
  void SetClipboardText(const std::string& text) override {
    clipboard = text;
    ++clipboard_sets;
  }
  void EndProgram() override { ++ended; }
  void ActionDone(const SyncAction& action) override { actions.push_back(action); }

  // Inputs.
  bool speed = false;
  bool sofort_start = false;
  bool binary_mode = true;
  std::deque<MsgAnswer> answers;
  std::function<void()> on_yield;
  std::function<void(const std::string&, Intent)> on_box;

  // Observations.
  std::string status1, status2;
  std::vector<std::string> status_log;
  float progress = 0;
  std::vector<float> progress_log;
  bool compare_enabled = true;
  std::vector<bool> compare_log;
  bool busy_pointer = false;
  std::vector<bool> pointer_log;
  bool running = false;
  int yields = 0;
  std::vector<int> mode_log;
  std::vector<Box> boxes;
  std::string clipboard;
  int clipboard_sets = 0;
  int ended = 0;
  std::vector<SyncAction> actions;
};

}  // namespace tavrik::testing
