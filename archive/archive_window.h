// The archiving window "ARHIVIRANJE DATOTEKA ": its 26 controls, bound to the run settings
// and buffers, and its procedure, which runs the archive runs and the restore when their
// buttons are pressed.
//
// `ArchiveWindow::Run` is the window's procedure and runs on the window's own thread; runs and
// restores execute there synchronously, so the window takes no other input until a run's last
// message is closed (presses that arrive meanwhile are refused). A view reads `Snapshot()`
// after each change announced through the listener and forwards input with `Press`, `Edit`
// and `RequestClose`. Snapshot, Press, Edit and RequestClose are thread-safe.
#pragma once

#include <array>
#include <functional>
#include <mutex>
#include <string>

#include "app/program.h"
#include "archive/archive_runs.h"
#include "platform/event_loop.h"

namespace verdan::archive {

inline constexpr const char* kArchiveWindowTitle = "ARHIVIRANJE DATOTEKA ";
inline constexpr int kArchiveControls = 26;

enum class ControlKind { kImage, kPrompt, kButton, kPanel, kEntry, kText, kString };

// What a control shows; `value` is the bound variable for entries.
struct ControlState {
  int number = 0;  // 1-based, in window order
  ControlKind kind = ControlKind::kPanel;
  std::string text;
  bool enabled = true;
  bool hidden = false;
  std::string value;
};

struct ArchiveWindowState {
  std::string title = kArchiveWindowTitle;
  std::array<ControlState, kArchiveControls> controls;
  bool busy = false;    // a run or restore is in progress
  std::string lastRun;  // the last line of the log of runs, as a window shows it
  bool open = false;
  bool closed = false;
  const ControlState& Control(int number) const {
    return controls[static_cast<std::size_t>(number - 1)];
  }
};

// Control numbers the program acts on.
enum ArchiveControl : int {
  kCtlDestinationRun = 4,
  kCtlChooseArchive = 6,
  kCtlFloppy = 7,
  kCtlExternalDiskRun = 8,
  kCtlSelectedFiles = 11,
  kCtlRestore = 12,
  kCtlSourceDir = 13,
  kCtlDefinitions = 14,
  kCtlDiskLetter = 20,
  kCtlActiveArchive = 21,
  kCtlZipArchive = 22,
  kCtlClose = 24,
  kCtlDestinationDir = 25,
};

// Events posted to the window's thread.
inline constexpr std::int32_t kEventArchiveAccept = platform::kEventUser + 20;  // wparam: control
inline constexpr std::int32_t kEventArchiveEdit = platform::kEventUser + 21;    // wparam: control
// Re-reads the bound settings and buffers and publishes them (another window changed them).
inline constexpr std::int32_t kEventArchiveRefresh = platform::kEventUser + 22;

// The windows the archiving window starts on threads of their own; an empty one is a window
// not offered yet.
struct ArchiveWindowTargets {
  platform::WindowThreads::Procedure emailSettings;  // control 7
  platform::WindowThreads::Procedure fileList;       // control 11
  platform::WindowThreads::Procedure definitions;    // control 14
};

class ArchiveWindow {
 public:
  ArchiveWindow(app::Program& program, ArchiveShared& shared, ArchiveWindowTargets targets = {});

  void SetListener(std::function<void()> listener);
  void Run(platform::EventQueue& queue);

  ArchiveWindowState Snapshot() const;
  platform::ThreadId Thread() const;

  // Input from the view. Press is refused (false) for a disabled or hidden control, while a
  // run is in progress, or when the window is not running.
  bool Press(int control) const;
  // A new text typed into one of the entries 13, 20, 21, 22 or 25.
  bool Edit(int control, const std::string& text) const;
  bool RequestClose() const;
  // Asks the window to show the current run settings again, as when it regains the focus.
  bool RequestRefresh() const;

  // The window's base name (20 characters), kept while the window is open.
  std::string BaseName() const;

 private:
  void Publish();
  void Accept(int control, platform::EventQueue& queue);
  void ApplyEdit(int control, const std::string& text);
  void Refresh();

  app::Program& program_;
  ArchiveShared& shared_;
  ArchiveWindowTargets targets_;
  std::function<void()> listener_;
  mutable std::mutex mutex_;
  ArchiveWindowState state_;
  platform::ThreadId thread_ = 0;
  std::string IMEARHIVE = std::string(kBaseNameLength, ' ');
};

}  // namespace verdan::archive
