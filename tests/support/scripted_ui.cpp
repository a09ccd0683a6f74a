#include "support/scripted_ui.h"

namespace verdan::testing {

unsigned ScriptedUi::Message(const platform::MessageSpec& boxSpec) {
  std::lock_guard lock(mutex_);
  messages_.push_back(boxSpec);
  if (!answers_.empty()) {
    unsigned a = answers_.front();
    answers_.pop_front();
    return a;
  }
  return boxSpec.defaultButton;
}

std::vector<std::string> ScriptedUi::FileOpen(const platform::FileOpenSpec& dialog) {
  std::lock_guard lock(mutex_);
  fileDialogs_.push_back(dialog);
  if (files_.empty()) return {};
  auto f = files_.front();
  files_.pop_front();
  return f;
}

bool ScriptedUi::ChooseDirectory(const std::string&, std::string& path, std::size_t) {
  std::lock_guard lock(mutex_);
  if (dirs_.empty()) return false;
  auto d = dirs_.front();
  dirs_.pop_front();
  if (!d) return false;
  path = *d;
  return true;
}

bool ScriptedUi::AskPassword(const platform::PasswordSpec& dialog, std::string& password) {
  std::lock_guard lock(mutex_);
  passwordDialogs_.push_back(dialog);
  if (passwords_.empty()) return false;
  auto p = passwords_.front();
  passwords_.pop_front();
  if (!p) return false;
  password = *p;
  return true;
}

void ScriptedUi::SetWaitCursor(bool) {}

void ScriptedUi::Progress(const platform::ProgressInfo& info) {
  std::lock_guard lock(mutex_);
  progress_.push_back(info);
}

void ScriptedUi::QueueAnswer(unsigned button) {
  std::lock_guard lock(mutex_);
  answers_.push_back(button);
}

void ScriptedUi::QueueFiles(std::vector<std::string> files) {
  std::lock_guard lock(mutex_);
  files_.push_back(std::move(files));
}

void ScriptedUi::QueueDirectory(std::optional<std::string> dir) {
  std::lock_guard lock(mutex_);
  dirs_.push_back(std::move(dir));
}

void ScriptedUi::QueuePassword(std::optional<std::string> password) {
  std::lock_guard lock(mutex_);
  passwords_.push_back(std::move(password));
}

std::vector<platform::PasswordSpec> ScriptedUi::PasswordDialogs() const {
  std::lock_guard lock(mutex_);
  return passwordDialogs_;
}

std::vector<platform::MessageSpec> ScriptedUi::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<std::string> ScriptedUi::Texts() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& m : messages_) out.push_back(m.text);
  return out;
}

std::vector<platform::FileOpenSpec> ScriptedUi::FileDialogs() const {
  std::lock_guard lock(mutex_);
  return fileDialogs_;
}

std::vector<platform::ProgressInfo> ScriptedUi::ProgressReports() const {
  std::lock_guard lock(mutex_);
  return progress_;
}

void ScriptedUi::Clear() {
  std::lock_guard lock(mutex_);
  messages_.clear();
  fileDialogs_.clear();
  progress_.clear();
  passwordDialogs_.clear();
}

}  // namespace verdan::testing
