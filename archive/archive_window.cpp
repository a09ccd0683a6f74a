#include "archive/archive_window.h"

#include <memory>

#include "app/run_log.h"
#include "archive/restore.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace verdan::archive {
namespace {

struct ControlDef {
  ControlKind kind;
  const char* text;
  bool enabled;
  bool hidden;
};

// The window's controls in order; 7 starts disabled, 14 hidden and disabled, and nothing
// shows or enables them afterwards.
constexpr ControlDef kControls[kArchiveControls] = {
    {ControlKind::kImage, "", true, false},
    {ControlKind::kImage, "", true, false},
    {ControlKind::kPrompt, "B]  SELEKTIVNI NAČIN ARHIVIRANJA DATOTEKA", true, false},
    {ControlKind::kButton, "NA &TVRDI DISK", true, false},
    {ControlKind::kPrompt, "<<  Odaberi arhivu za oporavak", true, false},
    {ControlKind::kButton, "", true, false},
    {ControlKind::kButton, "NA &FLOPPY DISK", false, false},
    {ControlKind::kButton, "NA &VANJSKI DISK (USB)", true, false},
    {ControlKind::kPanel, "", true, false},
    {ControlKind::kPrompt, "ARHIVIRANJE", true, false},
    {ControlKind::kButton, "ARHIVIRANJE odabranih datoteka !", true, false},
    {ControlKind::kButton, "   Raspakiraj odabranu arhivu !", true, false},
    {ControlKind::kEntry, "", true, false},
    {ControlKind::kButton, "Definiranje i kreiranje ARHIVA", false, true},
    {ControlKind::kText,
     "A]  AUTOMATSKI ZA SVE *.TPS DATOTEKE iz tekućeg direktorija programa :", true, false},
    {ControlKind::kPanel, "", true, false},
    {ControlKind::kString, "AKTIVNA ARHIVA -->", true, false},
    {ControlKind::kPanel, "", true, false},
    {ControlKind::kPanel, "", true, false},
    {ControlKind::kEntry, "", true, false},
    {ControlKind::kEntry, "", true, false},
    {ControlKind::kEntry, "", true, false},
    {ControlKind::kPrompt, "DEARHIVIRANJE", true, false},
    {ControlKind::kButton, "&Zatvori", true, false},
    {ControlKind::kEntry, "", true, false},
    {ControlKind::kImage, "", true, false},
};

bool IsBoundEntry(int control) {
  return control == kCtlSourceDir || control == kCtlDiskLetter || control == kCtlActiveArchive ||
         control == kCtlZipArchive || control == kCtlDestinationDir;
}

}  // namespace

ArchiveWindow::ArchiveWindow(app::Program& program, ArchiveShared& shared,
                             ArchiveWindowTargets targets)
    : program_(program), shared_(shared), targets_(std::move(targets)) {
  for (int i = 0; i < kArchiveControls; ++i) {
    ControlState& c = state_.controls[static_cast<std::size_t>(i)];
    c.number = i + 1;
    c.kind = kControls[i].kind;
    c.text = kControls[i].text;
    c.enabled = kControls[i].enabled;
    c.hidden = kControls[i].hidden;
  }
  // The selected-files browse is offered once there is a window to open.
  state_.controls[kCtlSelectedFiles - 1].enabled = static_cast<bool>(targets_.fileList);
}

void ArchiveWindow::SetListener(std::function<void()> listener) { listener_ = std::move(listener); }

ArchiveWindowState ArchiveWindow::Snapshot() const {
  std::lock_guard lock(mutex_);
  return state_;
}

platform::ThreadId ArchiveWindow::Thread() const {
  std::lock_guard lock(mutex_);
  return thread_;
}

std::string ArchiveWindow::BaseName() const {
  std::lock_guard lock(mutex_);
  return IMEARHIVE;
}

bool ArchiveWindow::Press(int control) const {
  std::lock_guard lock(mutex_);
  if (thread_ == 0 || state_.busy || control < 1 || control > kArchiveControls) return false;
  const ControlState& c = state_.Control(control);
  if (c.kind != ControlKind::kButton || !c.enabled || c.hidden) return false;
  return platform::PostToThread(
      thread_, platform::Event(kEventArchiveAccept, static_cast<std::uint64_t>(control)));
}

bool ArchiveWindow::Edit(int control, const std::string& text) const {
  std::lock_guard lock(mutex_);
  if (thread_ == 0 || state_.busy || !IsBoundEntry(control)) return false;
  return platform::PostToThread(
      thread_, platform::Event(kEventArchiveEdit, static_cast<std::uint64_t>(control), 0,
                               std::make_shared<std::string>(text)));
}

bool ArchiveWindow::RequestClose() const {
  std::lock_guard lock(mutex_);
  if (thread_ == 0 || state_.busy) return false;
  return platform::PostToThread(thread_, platform::Event(platform::kEventClose));
}

bool ArchiveWindow::RequestRefresh() const {
  std::lock_guard lock(mutex_);
  if (thread_ == 0) return false;
  return platform::PostToThread(thread_, platform::Event(kEventArchiveRefresh));
}

// Copies the bound variables into the entries' values.
void ArchiveWindow::Refresh() {
  std::lock_guard lock(mutex_);
  auto set = [&](int control, const std::string& value) {
    state_.controls[static_cast<std::size_t>(control - 1)].value = platform::TrimRightCopy(value);
  };
  set(kCtlSourceDir, program_.run.POCDIR);
  set(kCtlDiskLetter, program_.run.OZNAKAARHIVDISKA);
  set(kCtlActiveArchive, program_.buffers.AKTIVNAARHIVA);
  set(kCtlZipArchive, program_.buffers.ZIPARCHIVE);
  set(kCtlDestinationDir, program_.run.ZAVDIR);
  const std::vector<std::string> last =
      app::LastRunLogLines(1, platform::TrimRightCopy(program_.StartDirectory) +
                                  platform::kSeparator + app::kRunLogFile);
  state_.lastRun = last.empty() ? std::string() : app::RunLogSummary(last.front());
}

void ArchiveWindow::Publish() {
  Refresh();
  if (listener_) listener_();
}

void ArchiveWindow::ApplyEdit(int control, const std::string& text) {
  switch (control) {
    case kCtlSourceDir:
      program_.run.POCDIR = platform::FitField(text, 127);
      break;
    case kCtlDestinationDir:
      program_.run.ZAVDIR = platform::FitField(text, 127);
      break;
    case kCtlDiskLetter:
      program_.run.OZNAKAARHIVDISKA = platform::FitField(text, 1);
      break;
    case kCtlActiveArchive:
      program_.buffers.AKTIVNAARHIVA = platform::CutChars(text, 200);
      break;
    case kCtlZipArchive:
      program_.buffers.ZIPARCHIVE = platform::CutChars(text, kPathLength);
      break;
    default:
      break;
  }
}

void ArchiveWindow::Accept(int control, platform::EventQueue& queue) {
  auto start = [&](const platform::WindowThreads::Procedure& target) {
    if (target) program_.windows.Start(target);
  };
  auto run = [&](const std::function<void()>& work) {
    {
      std::lock_guard lock(mutex_);
      state_.busy = true;
    }
    Publish();
    work();
    {
      std::lock_guard lock(mutex_);
      state_.busy = false;
    }
  };
  switch (control) {
    case kCtlDestinationRun:
      run([&] { DestinationRun(program_, shared_, IMEARHIVE); });
      break;
    case kCtlExternalDiskRun:
      run([&] { ExternalDiskRun(program_, shared_, IMEARHIVE); });
      break;
    case kCtlChooseArchive:
      run([&] { ChooseArchive(program_, shared_); });
      break;
    case kCtlRestore:
      run([&] { RestoreArchive(program_, shared_); });
      break;
    case kCtlFloppy:
      start(targets_.emailSettings);
      break;
    case kCtlSelectedFiles:
      start(targets_.fileList);
      break;
    case kCtlDefinitions:
      start(targets_.definitions);
      break;
    case kCtlClose:
      queue.Close();
      break;
    default:
      break;
  }
}

void ArchiveWindow::Run(platform::EventQueue& queue) {
  Refresh();  // the entries hold their values by the time the window shows as open
  {
    std::lock_guard lock(mutex_);
    thread_ = queue.Id();
    state_.open = true;
  }
  Publish();
  {
    // A restore that a killed process left half done is undone before anything else.
    std::lock_guard lock(shared_.runLock);
    RepairInterruptedRestore(program_);
  }
  for (;;) {
    platform::Event e = queue.Wait();
    if (e.code == platform::kEventClose) break;
    if (program_.Ended()) break;
    if (e.code == kEventArchiveAccept) {
      int control = static_cast<int>(e.wparam);
      bool allowed;
      {
        std::lock_guard lock(mutex_);
        allowed = control >= 1 && control <= kArchiveControls && state_.Control(control).enabled &&
                  !state_.Control(control).hidden;
      }
      if (allowed) Accept(control, queue);
      Publish();
    } else if (e.code == kEventArchiveRefresh) {
      Publish();
    } else if (e.code == kEventArchiveEdit && e.data) {
      ApplyEdit(static_cast<int>(e.wparam), *std::static_pointer_cast<std::string>(e.data));
      Publish();
    }
  }
  // Once `closed` is seen the object may be destroyed: only the local copy is used after it.
  std::function<void()> listener = listener_;
  {
    std::lock_guard lock(mutex_);
    state_.closed = true;
    thread_ = 0;
  }
  if (listener) listener();
}

}  // namespace verdan::archive
