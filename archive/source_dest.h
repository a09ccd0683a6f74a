// The source and destination window "Odaberi početni i završni direktorij": the run settings
// POCDIR, ZAVDIR, OZNAKAARHIVDISKA and TIP_ARH, edited directly (a change counts for the next
// run at once) and stored in the e-mail record when the window is closed with "Zatvori".
// The "Napredne" tab also holds the password archives are encrypted under: typed into a
// field that hides it, never published in the window's state, and stored in the credentials
// file (app/archive_password.h) by "Zatvori"; an emptied field clears it.
//
// `SourceDestWindow::Run` is the window's procedure on its own thread. A view reads
// `Snapshot()` after each change announced through the listener and forwards input with
// `Press`, `Edit`, `SelectTab`, `SelectNaming` and `RequestClose`; those are thread-safe.
#pragma once

#include <array>
#include <functional>
#include <mutex>
#include <string>

#include "app/program.h"
#include "archive/archive_window.h"
#include "platform/event_loop.h"

namespace verdan::archive {

inline constexpr const char* kSourceDestTitle = "Odaberi početni i završni direktorij";
inline constexpr const char* kChooseSourceTitle = "Odaberi početni direktorij";
inline constexpr const char* kChooseDestinationTitle = "Odaberi odredišni direktorij";
inline constexpr const char* kDirectoryFilter = "All Files|*.*";
// The longest directory the dialog hands back: what the settings hold.
inline constexpr std::size_t kDirectoryNameLength = 127;
inline constexpr int kSourceDestControls = 21;
// Shown when a chosen directory does not fit the 127 characters of the setting.
inline constexpr const char* kDirectoryTooLongText =
    "Putanja direktorija je preduga (najviše 127 znakova) !";
// The archive password field: shown in place of the password, which is never shown.
inline constexpr const char* kArchivePasswordSetHint = "(postavljena; upišite novu za promjenu)";
inline constexpr const char* kArchivePasswordNoneHint = "(nema: arhive se ne šifriraju)";
// "Zatvori" could not store the password; followed by the reason.
inline constexpr const char* kArchivePasswordNotStoredText =
    "Zaporka arhive nije spremljena (ostaje prethodna):|";

enum SourceDestControl : int {
  kSdSheet = 1,
  kSdBasicTab = 2,
  kSdSourceEntry = 5,
  kSdSourceButton = 6,
  kSdDestinationEntry = 8,
  kSdDestinationButton = 9,
  kSdDiskEntry = 12,
  kSdAdvancedTab = 14,
  kSdNamingOption = 15,
  kSdRadioDay = 16,
  kSdRadioDate = 17,
  kSdRadioMix = 18,
  kSdClose = 19,
  kSdArchivePasswordPrompt = 20,
  kSdArchivePasswordEntry = 21,
};

struct SourceDestState {
  std::string title = kSourceDestTitle;
  std::array<ControlState, kSourceDestControls> controls;
  int tab = kSdBasicTab;  // the tab shown: kSdBasicTab or kSdAdvancedTab
  int selectedRadio = 0;  // 16, 17, 18, or 0 when TIP_ARH is none of the three
  bool open = false;
  bool closed = false;
  bool stored = false;  // closed with "Zatvori": the settings were stored
  // Whether archives will be encrypted: a password is stored, or one was typed (never the
  // password itself).
  bool archivePasswordSet = false;
  const ControlState& Control(int number) const {
    return controls[static_cast<std::size_t>(number - 1)];
  }
};

inline constexpr std::int32_t kEventSdAccept = platform::kEventUser + 30;  // wparam: control
inline constexpr std::int32_t kEventSdEdit = platform::kEventUser + 31;    // wparam: control
inline constexpr std::int32_t kEventSdTab = platform::kEventUser + 32;     // wparam: tab
inline constexpr std::int32_t kEventSdNaming = platform::kEventUser + 33;  // wparam: radio

// The naming mode a radio stands for, and the radio a mode selects (0 for none).
const char* NamingOfRadio(int radio);
int RadioOfNaming(const std::string& TIP_ARH);

// Controls 6 and 9: offers the setting to a directory dialog and takes the chosen directory,
// blank-padded. A choice longer than the setting holds (127 characters) is refused with the
// limit in the message; a cancelled dialog changes nothing.
void ChooseDirectorySetting(app::Program& program, std::string& setting, const std::string& title);

class SourceDestWindow {
 public:
  explicit SourceDestWindow(app::Program& program);

  void SetListener(std::function<void()> listener);
  void Run(platform::EventQueue& queue);
  SourceDestState Snapshot() const;
  platform::ThreadId Thread() const;

  bool Press(int control) const;                          // buttons 6, 9, 19
  bool Edit(int control, const std::string& text) const;  // entries 5, 8, 12, 21
  bool SelectTab(int tab) const;                          // 2 or 14
  bool SelectNaming(int radio) const;                     // 16, 17 or 18
  bool RequestClose() const;                              // closes without storing

 private:
  bool Post(platform::Event e) const;
  void Publish();

  app::Program& program_;
  std::function<void()> listener_;
  mutable std::mutex mutex_;
  SourceDestState state_;
  platform::ThreadId thread_ = 0;
  // The window thread's: the stored password's presence and a typed one not yet stored.
  bool storedPassword_ = false;
  bool passwordTyped_ = false;
  std::string typedPassword_;
};

}  // namespace verdan::archive
