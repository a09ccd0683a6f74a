// The scripted realisation of the ui port for tests: answers come from a queue the test
// fills (or a chooser function), and everything shown is recorded for the test to read back.
// Thread-safe.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui.h"

namespace verdan::testing {

class ScriptedUi : public platform::Ui {
 public:
  unsigned Message(const platform::MessageSpec& boxSpec) override;
  std::vector<std::string> FileOpen(const platform::FileOpenSpec& boxSpec) override;
  bool ChooseDirectory(const std::string& title, std::string& path,
                       std::size_t nameBufferLength) override;
  bool AskPassword(const platform::PasswordSpec& dialog, std::string& password) override;
  void SetWaitCursor(bool on) override;
  void Progress(const platform::ProgressInfo& info) override;

  // Answers used in order by message boxes; when the queue is empty, the default button.
  void QueueAnswer(unsigned button);
  // Answers for file-open dialogs (empty vector: cancelled) and directory dialogs (nothing:
  // cancelled).
  void QueueFiles(std::vector<std::string> files);
  void QueueDirectory(std::optional<std::string> dir);

  // Answers for password dialogs, in order (nothing: cancelled); with none queued a password
  // dialog is cancelled.
  void QueuePassword(std::optional<std::string> password);

  std::vector<platform::MessageSpec> Messages() const;
  std::vector<platform::PasswordSpec> PasswordDialogs() const;
  std::vector<std::string> Texts() const;  // text of each box, in order
  std::vector<platform::FileOpenSpec> FileDialogs() const;
  std::vector<platform::ProgressInfo> ProgressReports() const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::deque<unsigned> answers_;
  std::deque<std::vector<std::string>> files_;
  std::deque<std::optional<std::string>> dirs_;
  std::deque<std::optional<std::string>> passwords_;
  std::vector<platform::PasswordSpec> passwordDialogs_;
  std::vector<platform::MessageSpec> messages_;
  std::vector<platform::FileOpenSpec> fileDialogs_;
  std::vector<platform::ProgressInfo> progress_;
};

}  // namespace verdan::testing
