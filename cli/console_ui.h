// The console realisation of the ui port, for the commands that work without a screen.
//
// A message box prints its text to standard error, preceded by "[caption] " when it has a
// caption, with each "|" as a line break. A box with a choice takes its default button,
// unless an answer was set for it or (when standard input is a terminal and prompting is on)
// the user types one. Progress goes to standard error when it is a terminal (as one line that
// is rewritten), or with -v as a line per file. With -q what the boxes say is held back and
// printed at the end only when the command failed, so that a job run by cron mails only on
// failure. A password is asked only when prompting is on and standard input is a terminal,
// with the typing hidden. Thread-safe.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui.h"

namespace verdan::cli {

// How much the commands say, for the whole process (set by main from -q / -v).
enum class Verbosity { kQuiet, kNormal, kVerbose };
void SetVerbosity(Verbosity verbosity);
Verbosity CurrentVerbosity();
// At the end of a command: with -q, prints what was held back when `failed`, else drops it.
void ReleaseHeldOutput(bool failed);

class ConsoleUi : public platform::Ui {
 public:
  // `err` is where boxes and progress go; `in` where typed answers come from.
  explicit ConsoleUi(std::FILE* err = stderr, std::FILE* in = stdin);

  unsigned Message(const platform::MessageSpec& boxSpec) override;
  std::vector<std::string> FileOpen(const platform::FileOpenSpec& dialog) override;
  bool ChooseDirectory(const std::string& title, std::string& path,
                       std::size_t nameBufferLength) override;
  bool AskPassword(const platform::PasswordSpec& dialog, std::string& password) override;
  void SetWaitCursor(bool on) override;
  void Progress(const platform::ProgressInfo& info) override;

  // An answer chooser consulted first: returns the button (or named-button index) to take,
  // or nothing to fall back on the prompt or the default.
  using Answerer = std::function<std::optional<unsigned>(const platform::MessageSpec&)>;
  void SetAnswerer(Answerer answerer);
  // Ask on the terminal when standard input is one (off by default).
  void SetPrompting(bool on);
  void SetProgressEnabled(bool on);

  // Every text shown, in order (with "|" as given).
  std::vector<std::string> Shown() const;
  bool WasShown(const std::string& text) const;

 private:
  unsigned Prompt(const platform::MessageSpec& boxSpec);
  void DrawProgressLine(const platform::ProgressInfo& info);

  static constexpr std::chrono::milliseconds kRedrawInterval{100};

  std::FILE* err_;
  std::FILE* in_;
  mutable std::mutex mutex_;
  Answerer answerer_;
  bool prompting_ = false;
  bool progress_;
  bool progressLineOpen_ = false;
  bool redrawSkipped_ = false;  // the drawn line is behind the counts
  std::chrono::steady_clock::time_point lastDraw_;
  bool progressLines_ = false;  // a line per file instead of one rewritten line
  std::string lastWhat_;
  std::vector<std::string> shown_;
};

// The text of a message box as the console prints it: "[caption] " + text with "|" as
// line breaks.
std::string ConsoleText(const platform::MessageSpec& boxSpec);

}  // namespace verdan::cli
