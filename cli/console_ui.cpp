#include "cli/console_ui.h"

#include <unistd.h>

#include <cstring>

#include "platform/console.h"

namespace verdan::cli {
namespace {

struct NamedButton {
  unsigned value;
  const char* label;
};
constexpr NamedButton kButtons[] = {
    {platform::kButtonOk, "OK"},        {platform::kButtonYes, "Yes"},
    {platform::kButtonNo, "No"},        {platform::kButtonAbort, "Abort"},
    {platform::kButtonRetry, "Retry"},  {platform::kButtonIgnore, "Ignore"},
    {platform::kButtonCancel, "Cancel"}};

// Choices of a box as (value, label) pairs.
std::vector<std::pair<unsigned, std::string>> Choices(const platform::MessageSpec& boxSpec) {
  std::vector<std::pair<unsigned, std::string>> out;
  if (!boxSpec.namedButtons.empty()) {
    std::size_t start = 0;
    unsigned index = 1;
    for (;;) {
      std::size_t bar = boxSpec.namedButtons.find('|', start);
      std::string label = boxSpec.namedButtons.substr(start, bar - start);
      std::string clean;
      for (char c : label)
        if (c != '&') clean += c;
      out.emplace_back(index++, clean);
      if (bar == std::string::npos) break;
      start = bar + 1;
    }
    return out;
  }
  for (const auto& b : kButtons)
    if (boxSpec.buttons & b.value) out.emplace_back(b.value, b.label);
  return out;
}

}  // namespace

namespace {

std::mutex g_outputMutex;
Verbosity g_verbosity = Verbosity::kNormal;
std::string g_held;  // what quiet mode has held back

}  // namespace

void SetVerbosity(Verbosity verbosity) {
  std::lock_guard lock(g_outputMutex);
  g_verbosity = verbosity;
}

Verbosity CurrentVerbosity() {
  std::lock_guard lock(g_outputMutex);
  return g_verbosity;
}

void ReleaseHeldOutput(bool failed) {
  std::lock_guard lock(g_outputMutex);
  if (failed && !g_held.empty()) {
    std::fputs(g_held.c_str(), stderr);
    std::fflush(stderr);
  }
  g_held.clear();
}

std::string ConsoleText(const platform::MessageSpec& boxSpec) {
  std::string out;
  if (!boxSpec.caption.empty()) out = "[" + boxSpec.caption + "] ";
  for (char c : boxSpec.text) out += c == '|' ? '\n' : c;
  return out;
}

ConsoleUi::ConsoleUi(std::FILE* err, std::FILE* in) : err_(err), in_(in) {
  const bool terminal = err && ::isatty(::fileno(err));
  const Verbosity v = CurrentVerbosity();
  progress_ = v != Verbosity::kQuiet && (terminal || v == Verbosity::kVerbose);
  progressLines_ = !terminal;
}

unsigned ConsoleUi::Message(const platform::MessageSpec& boxSpec) {
  std::lock_guard lock(mutex_);
  shown_.push_back(boxSpec.text);
  if (progressLineOpen_) {
    std::fputc('\n', err_);
    progressLineOpen_ = false;
  }
  std::string text = ConsoleText(boxSpec);
  auto choices = Choices(boxSpec);
  // Standard input through the platform's test: on Windows the null device passes isatty.
  const bool prompt = !answerer_ && choices.size() > 1 && prompting_ && in_ &&
                      (in_ == stdin ? platform::StdinIsTerminal() : ::isatty(::fileno(in_)) != 0);
  {
    std::lock_guard out(g_outputMutex);
    if (g_verbosity == Verbosity::kQuiet && err_ == stderr && !prompt) {
      g_held += text + "\n";
    } else {
      if (err_ == stderr) {
        std::fputs(g_held.c_str(), err_);  // a question needs what led to it
        g_held.clear();
      }
      std::fprintf(err_, "%s\n", text.c_str());
      std::fflush(err_);
    }
  }
  if (answerer_) {
    if (auto answer = answerer_(boxSpec)) return *answer;
  }
  if (prompt) return Prompt(boxSpec);
  if (choices.size() == 1) return choices.front().first;
  return boxSpec.defaultButton;
}

unsigned ConsoleUi::Prompt(const platform::MessageSpec& boxSpec) {
  auto choices = Choices(boxSpec);
  for (int attempt = 0; attempt < 5; ++attempt) {
    std::string line;
    for (std::size_t i = 0; i < choices.size(); ++i)
      line += "  " + std::to_string(i + 1) + ") " + choices[i].second +
              (choices[i].first == boxSpec.defaultButton ? " *" : "");
    std::fprintf(err_, "%s\n> ", line.c_str());
    std::fflush(err_);
    char buf[64];
    if (!std::fgets(buf, sizeof buf, in_)) return boxSpec.defaultButton;
    std::string answer(buf);
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.pop_back();
    if (answer.empty()) return boxSpec.defaultButton;
    char* end = nullptr;
    long n = std::strtol(answer.c_str(), &end, 10);
    if (end && *end == '\0' && n >= 1 && static_cast<std::size_t>(n) <= choices.size())
      return choices[static_cast<std::size_t>(n - 1)].first;
  }
  return boxSpec.defaultButton;
}

std::vector<std::string> ConsoleUi::FileOpen(const platform::FileOpenSpec&) { return {}; }

bool ConsoleUi::ChooseDirectory(const std::string&, std::string&, std::size_t) { return false; }

bool ConsoleUi::AskPassword(const platform::PasswordSpec& dialog, std::string& password) {
  std::lock_guard lock(mutex_);
  if (!prompting_ || !in_ || in_ != stdin || !::isatty(::fileno(in_))) return false;
  if (progressLineOpen_) {
    std::fputc('\n', err_);
    progressLineOpen_ = false;
  }
  // The typing is hidden before the question is shown: what is typed at once is not echoed
  // (and not thrown away as the switch to hidden typing throws away what came before it).
  platform::HiddenInput hidden;
  {
    std::lock_guard out(g_outputMutex);
    if (err_ == stderr) {
      std::fputs(g_held.c_str(), err_);  // the question needs what led to it
      g_held.clear();
    }
    std::string text;
    for (char c : dialog.text) text += c == '|' ? '\n' : c;
    std::fprintf(err_, "%s ", text.c_str());
    std::fflush(err_);
  }
  std::string line;
  bool got = false;
  char buf[256];
  while (std::fgets(buf, sizeof buf, in_)) {
    got = true;
    line += buf;
    if (line.back() == '\n') break;
  }
  std::fputc('\n', err_);  // the Enter typed was not shown
  std::fflush(err_);
  if (!got) return false;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  password = line;
  return true;
}

void ConsoleUi::SetWaitCursor(bool) {}

void ConsoleUi::Progress(const platform::ProgressInfo& info) {
  std::lock_guard lock(mutex_);
  if (!progress_) return;
  if (info.finished) {
    // The line shows the final counts, also when the last redraws were skipped.
    if (progressLineOpen_ && redrawSkipped_) DrawProgressLine(info);
    if (progressLineOpen_) std::fputc('\n', err_);
    progressLineOpen_ = false;
    redrawSkipped_ = false;
    std::fflush(err_);
    return;
  }
  if (progressLines_) {
    // Without a terminal: one line for every file the run starts on.
    if (info.what == lastWhat_) return;
    lastWhat_ = info.what;
    std::fprintf(err_, "%lld/%lld datoteka, %lld/%lld MB  %s\n",
                 static_cast<long long>(info.filesDone), static_cast<long long>(info.filesTotal),
                 static_cast<long long>(info.bytesDone >> 20),
                 static_cast<long long>(info.bytesTotal >> 20), info.what.c_str());
    std::fflush(err_);
    return;
  }
  // The line is redrawn a few times a second at most: drawn for every file of thousands of
  // small ones, the terminal's work would take longer than the packing of them.
  const auto now = std::chrono::steady_clock::now();
  if (progressLineOpen_ && now - lastDraw_ < kRedrawInterval) {
    redrawSkipped_ = true;
    return;
  }
  lastDraw_ = now;
  redrawSkipped_ = false;
  DrawProgressLine(info);
  progressLineOpen_ = true;
}

void ConsoleUi::DrawProgressLine(const platform::ProgressInfo& info) {
  std::fprintf(err_, "\r%lld/%lld datoteka, %lld/%lld MB  %-40.40s",
               static_cast<long long>(info.filesDone), static_cast<long long>(info.filesTotal),
               static_cast<long long>(info.bytesDone >> 20),
               static_cast<long long>(info.bytesTotal >> 20), info.what.c_str());
  std::fflush(err_);
}

void ConsoleUi::SetAnswerer(Answerer answerer) {
  std::lock_guard lock(mutex_);
  answerer_ = std::move(answerer);
}

void ConsoleUi::SetPrompting(bool on) {
  std::lock_guard lock(mutex_);
  prompting_ = on;
}

void ConsoleUi::SetProgressEnabled(bool on) {
  const Verbosity v = CurrentVerbosity();
  std::lock_guard lock(mutex_);
  progress_ = v != Verbosity::kQuiet && (on || v == Verbosity::kVerbose);
}

std::vector<std::string> ConsoleUi::Shown() const {
  std::lock_guard lock(mutex_);
  return shown_;
}

bool ConsoleUi::WasShown(const std::string& text) const {
  std::lock_guard lock(mutex_);
  for (const auto& s : shown_)
    if (s == text) return true;
  return false;
}

}  // namespace verdan::cli
