#include "archive/source_dest.h"

#include <memory>

#include "app/archive_password.h"
#include "app/tables.h"
#include "archive/archive_runs.h"
#include "platform/text.h"

namespace verdan::archive {
namespace {

constexpr std::size_t kDirLength = 127;

struct SdDef {
  ControlKind kind;
  const char* text;
};

constexpr SdDef kSdControls[kSourceDestControls] = {
    {ControlKind::kPanel, ""},  // the sheet holding the two tabs
    {ControlKind::kPanel, "Osnovne"},
    {ControlKind::kPanel, ""},
    {ControlKind::kPrompt, "Ishodišnji direktorij:"},
    {ControlKind::kEntry, ""},
    {ControlKind::kButton, "..."},
    {ControlKind::kPrompt, "Odredišnji direktorij:"},
    {ControlKind::kEntry, ""},
    {ControlKind::kButton, "..."},
    {ControlKind::kPanel, ""},
    {ControlKind::kPrompt, "Oznaka vanjskog diska (USB stick):"},
    {ControlKind::kEntry, ""},
    {ControlKind::kPrompt, " :"},
    {ControlKind::kPanel, "Napredne"},
    {ControlKind::kPanel, "Naziv arhive odredi po ..."},
    {ControlKind::kButton, "Danu arhiviranja ( Podedjeljak, Utorak, ...)"},
    {ControlKind::kButton, "Datumu ( 120106, 130106, ...)"},
    {ControlKind::kButton, "Mix (pon_120106, Uto_130106, ...)"},
    {ControlKind::kButton, "Zatvori"},
    {ControlKind::kPrompt,
     "Zaporka arhive (AES-256; šifrira se sadržaj, popis datoteka ostaje "
     "čitljiv):"},
    {ControlKind::kEntry, ""},
};

}  // namespace

const char* NamingOfRadio(int radio) {
  switch (radio) {
    case kSdRadioDay:
      return "dan";
    case kSdRadioDate:
      return "dat";
    case kSdRadioMix:
      return "mix";
    default:
      return nullptr;
  }
}

int RadioOfNaming(const std::string& TIP_ARH) {
  std::string mode = platform::TrimRightCopy(TIP_ARH);
  for (int radio : {kSdRadioDay, kSdRadioDate, kSdRadioMix})
    if (mode == NamingOfRadio(radio)) return radio;
  return 0;
}

void ChooseDirectorySetting(app::Program& program, std::string& setting, const std::string& title) {
  std::string path = platform::TrimRightCopy(setting);
  if (!program.ui.ChooseDirectory(title, path, kDirectoryNameLength)) return;
  // A longer path would be cut and silently name another directory.
  if (platform::CharCount(path) > kDirLength) {
    ShowRunMessage(program, kDirectoryTooLongText);
    return;
  }
  setting = platform::FitField(path, kDirLength);
}

SourceDestWindow::SourceDestWindow(app::Program& program) : program_(program) {
  for (int i = 0; i < kSourceDestControls; ++i) {
    ControlState& c = state_.controls[static_cast<std::size_t>(i)];
    c.number = i + 1;
    c.kind = kSdControls[i].kind;
    c.text = kSdControls[i].text;
  }
}

void SourceDestWindow::SetListener(std::function<void()> listener) {
  listener_ = std::move(listener);
}

SourceDestState SourceDestWindow::Snapshot() const {
  std::lock_guard lock(mutex_);
  return state_;
}

platform::ThreadId SourceDestWindow::Thread() const {
  std::lock_guard lock(mutex_);
  return thread_;
}

bool SourceDestWindow::Post(platform::Event e) const {
  std::lock_guard lock(mutex_);
  return thread_ != 0 && platform::PostToThread(thread_, std::move(e));
}

bool SourceDestWindow::Press(int control) const {
  if (control != kSdSourceButton && control != kSdDestinationButton && control != kSdClose)
    return false;
  return Post(platform::Event(kEventSdAccept, static_cast<std::uint64_t>(control)));
}

bool SourceDestWindow::Edit(int control, const std::string& text) const {
  if (control != kSdSourceEntry && control != kSdDestinationEntry && control != kSdDiskEntry &&
      control != kSdArchivePasswordEntry)
    return false;
  return Post(platform::Event(kEventSdEdit, static_cast<std::uint64_t>(control), 0,
                              std::make_shared<std::string>(text)));
}

bool SourceDestWindow::SelectTab(int tab) const {
  if (tab != kSdBasicTab && tab != kSdAdvancedTab) return false;
  return Post(platform::Event(kEventSdTab, static_cast<std::uint64_t>(tab)));
}

bool SourceDestWindow::SelectNaming(int radio) const {
  if (NamingOfRadio(radio) == nullptr) return false;
  return Post(platform::Event(kEventSdNaming, static_cast<std::uint64_t>(radio)));
}

bool SourceDestWindow::RequestClose() const { return Post(platform::Event(platform::kEventClose)); }

void SourceDestWindow::Publish() {
  {
    std::lock_guard lock(mutex_);
    auto set = [&](int control, const std::string& value) {
      state_.controls[static_cast<std::size_t>(control - 1)].value = platform::TrimRightCopy(value);
    };
    set(kSdSourceEntry, program_.run.POCDIR);
    set(kSdDestinationEntry, program_.run.ZAVDIR);
    set(kSdDiskEntry, program_.run.OZNAKAARHIVDISKA);
    set(kSdNamingOption, program_.run.TIP_ARH);
    state_.selectedRadio = RadioOfNaming(program_.run.TIP_ARH);
    state_.archivePasswordSet = passwordTyped_ ? !typedPassword_.empty() : storedPassword_;
    set(kSdArchivePasswordEntry,
        state_.archivePasswordSet ? kArchivePasswordSetHint : kArchivePasswordNoneHint);
  }
  if (listener_) listener_();
}

void SourceDestWindow::Run(platform::EventQueue& queue) {
  // The settings are stored through the e-mail table; hold it open while the window is.
  bool holds = false;
  if (program_.email.ReferenceCount > 0 || app::OpenTable(program_, program_.email)) {
    ++program_.email.ReferenceCount;
    holds = true;
  }
  {
    std::string stored, problem;
    storedPassword_ = app::LoadArchivePassword(stored, problem) && !stored.empty();
  }
  {
    std::lock_guard lock(mutex_);
    thread_ = queue.Id();
    state_.open = true;
  }
  Publish();
  bool stored = false;
  while (!program_.Ended()) {
    platform::Event e = queue.Wait();
    if (e.code == platform::kEventClose) break;
    switch (e.code) {
      case kEventSdAccept:
        if (e.wparam == kSdSourceButton) {
          ChooseDirectorySetting(program_, program_.run.POCDIR, kChooseSourceTitle);
        } else if (e.wparam == kSdDestinationButton) {
          ChooseDirectorySetting(program_, program_.run.ZAVDIR, kChooseDestinationTitle);
        } else if (e.wparam == kSdClose) {
          app::SaveEmailSettings(program_);
          stored = true;
          std::string problem;
          if (passwordTyped_ && !app::StoreArchivePassword(typedPassword_, problem))
            ShowRunMessage(program_, kArchivePasswordNotStoredText + problem);
          typedPassword_.assign(typedPassword_.size(), '\0');
          typedPassword_.clear();
          passwordTyped_ = false;
          queue.Close();
        }
        break;
      case kEventSdEdit: {
        const std::string& text = *std::static_pointer_cast<std::string>(e.data);
        if (e.wparam == kSdSourceEntry) program_.run.POCDIR = platform::FitField(text, kDirLength);
        if (e.wparam == kSdDestinationEntry)
          program_.run.ZAVDIR = platform::FitField(text, kDirLength);
        if (e.wparam == kSdDiskEntry) program_.run.OZNAKAARHIVDISKA = platform::FitField(text, 1);
        if (e.wparam == kSdArchivePasswordEntry) {
          typedPassword_ = text;
          passwordTyped_ = true;
        }
        break;
      }
      case kEventSdTab: {
        std::lock_guard lock(mutex_);
        state_.tab = static_cast<int>(e.wparam);
        break;
      }
      case kEventSdNaming:
        program_.run.TIP_ARH = platform::FitField(NamingOfRadio(static_cast<int>(e.wparam)), 3);
        break;
      default:
        break;
    }
    Publish();
  }
  if (holds && --program_.email.ReferenceCount == 0) app::CloseTable(program_.email);
  // Once `closed` is seen the object may be destroyed: only the local copy is used after it.
  std::function<void()> listener = listener_;
  {
    std::lock_guard lock(mutex_);
    state_.closed = true;
    state_.stored = stored;
    thread_ = 0;
  }
  if (listener) listener();
}

}  // namespace verdan::archive
