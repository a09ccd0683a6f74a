#include "app/archive_definitions.h"

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <variant>

#include "app/messages.h"
#include "app/tables.h"
#include "platform/clock.h"
#include "platform/keyed_file.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/text.h"

namespace verdan::app {
namespace {

using platform::FitField;
using platform::TrimRightCopy;

bool Same(const ArhRecord& a, const ArhRecord& b) {
  return a.ID == b.ID && a.NAZIV == b.NAZIV && a.DISK == b.DISK && a.STAZA == b.STAZA &&
         a.DATUMARH == b.DATUMARH && a.NAREDU == b.NAREDU && a.STATUS == b.STATUS;
}

constexpr int kNumberingAttempts = 3;

// The status an insert's pre-added record is stored with until the form completes it: "~" and
// the tag of the process whose form holds it (platform/process.h). The form's own buffer
// keeps the blank status, so a completed insert stores what the user typed.
constexpr char kPreAddMark = '~';

std::string PreAddStatus() {
  std::string status = kPreAddMark + platform::ProcessTag(::getpid());
  return status.size() <= kArhStatusLength ? status : std::string();
}

std::string TextField(const platform::Record& r, std::size_t i) {
  const auto* s = i < r.size() ? std::get_if<std::string>(&r[i]) : nullptr;
  return s != nullptr ? TrimRightCopy(*s) : std::string();
}

// A record that an insert added and whose form can no longer complete it: nothing but the
// number, the date and the mark of a process that has ended in this boot. A process of
// another boot may be one of another station sharing the table: its record stays.
bool AbandonedPreAdd(const platform::Record& r) {
  for (std::size_t field : {1u, 2u, 3u, 5u})  // NAZIV, DISK, STAZA, NAREDU
    if (!TextField(r, field).empty()) return false;
  std::string status = TextField(r, 6);
  platform::ProcessIdentity owner;
  return status.size() > 1 && status[0] == kPreAddMark &&
         platform::ParseProcessTag(std::string_view(status).substr(1), owner) &&
         platform::StateOf(owner) == platform::ProcessState::kEnded;
}

}  // namespace

int RemoveAbandonedInserts(const Program& program) {
  platform::KeyedFile file(TableLayoutOf(program.arhive));
  if (file.Open() != 0) return 0;  // no table yet: nothing was left
  std::vector<std::string> positions;
  platform::Record r;
  if (file.Set(platform::kRecordOrder) == 0)
    while (file.Next(r) == 0)
      if (AbandonedPreAdd(r)) positions.push_back(file.Position());
  int removed = 0;
  for (const std::string& position : positions)
    if (file.Reget(position, r) == 0 && AbandonedPreAdd(r) && file.Delete() == 0) ++removed;
  return removed;
}

std::string RootPathText(const std::string& path) {
  return "Staza " + path +
         " vodi u korijenski direktorij datotečnog sustava: upišite disk ili direktorij arhiva !";
}

// A path with no disk that starts at the separator ("\Tjedni.zip"): on Windows a path with a
// drive letter names its disk, whose root is where an archive on a removable disk belongs.
bool LandsAtRoot(const std::string& native) {
  if (native.empty() || native[0] != platform::kSeparator) return false;
  std::filesystem::path p = std::filesystem::path(native).lexically_normal();
  return p == p.root_path() || p.parent_path() == p.root_path();
}

DefinitionForm::DefinitionForm(Program& program) : FormWindow(program) {
  auto entry = [](int id, const char* prompt, std::size_t length, const char* tip = "") {
    FormControl c;
    c.id = id;
    c.kind = FormControlKind::kEntry;
    c.text = prompt;
    c.length = length;
    c.tip = tip;
    return c;
  };
  auto other = [](int id, FormControlKind kind, const char* text, const char* tip = "") {
    FormControl c;
    c.id = id;
    c.kind = kind;
    c.text = text;
    c.tip = tip;
    return c;
  };
  SetControls({
      other(kDfInputGroup, FormControlKind::kGroup, "UNOS/KREIRANJE ARHIVA"),
      entry(kDfId, "ID:", 5, "redni broj"),
      entry(kDfDisk, "Disk:", kArhDiskLength),
      other(kDfDiskHint, FormControlKind::kText, "( npr:  d: ) "),
      entry(kDfName, "Naziv arhiva:", kArhNazivLength),
      other(kDfPathGroup, FormControlKind::kGroup, "ODABIR/KREIRANJE ARHIVA"),
      entry(kDfPath, "Ime:", kArhStazaLength),
      other(kDfChoose, FormControlKind::kButton, "1. Oda&beri", kFindFileTip),
      other(kDfCreate, FormControlKind::kButton, "2. &Kreiraj"),
      entry(kDfDate, "Datum:", 10),
      entry(kDfStatus, "Status:", kArhStatusLength),
      other(kDfOk, FormControlKind::kButton, "&OK"),
      other(kDfCancel, FormControlKind::kButton, "O&dustani"),
  });
  SetCaption(kDefinitionFormCaption, {});
}

FormWindow::Opening DefinitionForm::Open() {
  remembered_ = platform::CurrentDirectory();
  program_.ARH.DATUMARH = platform::GetClock().Today();
  for (TableSlot* t : {&program_.arhive, &program_.datoteke}) {
    if (t->ReferenceCount == 0 && !OpenTable(program_, *t)) {
      Finish(2);
      return Opening::kDone;
    }
    ++t->ReferenceCount;
    held_.push_back(t);
  }
  // Taken after the date was set, so that today's date alone is no change.
  copy_ = program_.ARH;
  if (request_ == 1 && !Number()) {
    Finish(2);
    return Opening::kDone;
  }
  if (request_ == 3) {
    Delete();
    return Opening::kDone;
  }
  SetCaption(request_ == 1   ? kDefinitionInsertCaption
             : request_ == 2 ? kDefinitionChangeCaption
                             : kDefinitionFormCaption,
             {});
  FocusOn(kDfId);
  return Opening::kShow;
}

// Numbers the new record after the highest ARH:ID and adds it at once. False when the user
// gave up (message 25 cancelled) or the table could not be read; nothing is added then.
bool DefinitionForm::Number() {
  TableSlot& table = program_.arhive;
  for (;;) {
    for (int attempt = 0; attempt < kNumberingAttempts; ++attempt) {
      ArhRecord kept = program_.ARH;
      SetOrder(program_, table, ARH_KEYID);
      int code = PreviousRecord(program_, table);
      std::uint16_t number = 1;
      if (code == 0) {
        number = static_cast<std::uint16_t>(program_.ARH.ID + 1);
      } else if (code != platform::kRecordNotAvailable) {
        program_.ARH = kept;
        ShowStandardMessage(program_, StandardMessageId::kRecordRetrievalError, table.label, {},
                            &table);
        return false;
      }
      program_.ARH = kept;
      program_.ARH.ID = number;
      program_.ARH.STATUS = FitField(PreAddStatus(), kArhStatusLength);
      bool added = number != 0 && AddRecord(program_, table) == 0;
      program_.ARH.STATUS = kept.STATUS;
      if (added) {
        added_ = RecordPosition(table);
        return true;
      }
    }
    if (ShowStandardMessage(program_, StandardMessageId::kAutoIncrementError, {}, {}, &table) !=
        platform::kButtonRetry)
      return false;
  }
}

void DefinitionForm::Delete() {
  if (ShowStandardMessage(program_, StandardMessageId::kConfirmDelete) != platform::kButtonOk) {
    Finish(2);
    return;
  }
  for (;;) {
    Busy(true);
    int result = RelationalDelete(program_, program_.arhive);
    Busy(false);
    if (result == 0) {
      Finish(1);
      return;
    }
    if (ShowStandardMessage(program_, StandardMessageId::kRecordDeleteError) !=
        platform::kButtonYes) {
      Finish(2);
      return;
    }
  }
}

bool DefinitionForm::Accept(int control, const std::string& text) {
  ArhRecord& r = program_.ARH;
  switch (control) {
    case kDfId: {
      std::string t = TrimRightCopy(text);
      t.erase(0, std::min(t.size(), t.find_first_not_of(' ')));
      bool ok = t.size() <= 5 && t.find_first_not_of("0123456789") == std::string::npos;
      unsigned long value = ok && !t.empty() ? std::stoul(t) : 0;
      if (!ok || value > 65535) {
        ShowNote(kBadNumberText);
        return false;
      }
      r.ID = static_cast<std::uint16_t>(value);
      return true;
    }
    case kDfDisk:
      r.DISK = FitField(text, kArhDiskLength);
      return true;
    case kDfName:
      r.NAZIV = FitField(text, kArhNazivLength);
      // A definition without a path is named after its drive and name: d: and Tjedni give
      // d:\Tjedni.zip.
      if (platform::IsBlank(r.STAZA) && !platform::IsBlank(r.NAZIV))
        r.STAZA = FitField(TrimRightCopy(r.DISK) + "\\" + TrimRightCopy(r.NAZIV) + ".zip",
                           kArhStazaLength);
      return true;
    case kDfPath:
      r.STAZA = FitField(text, kArhStazaLength);
      return true;
    case kDfDate: {
      std::int64_t day = 0;
      if (!ParseDate(text, platform::GetClock().Today(), day)) {
        ShowNote(kBadDateText);
        return false;
      }
      r.DATUMARH = day;
      return true;
    }
    case kDfStatus:
      r.STATUS = FitField(text, kArhStatusLength);
      return true;
    default:
      return true;
  }
}

void DefinitionForm::Show() {
  const ArhRecord& r = program_.ARH;
  SetValue(kDfId, std::to_string(r.ID));
  SetValue(kDfDisk, TrimRightCopy(r.DISK));
  SetValue(kDfName, TrimRightCopy(r.NAZIV));
  SetValue(kDfPath, TrimRightCopy(r.STAZA));
  SetValue(kDfDate, FormatDate(r.DATUMARH));
  SetValue(kDfStatus, TrimRightCopy(r.STATUS));
}

void DefinitionForm::Pressed(int control) {
  switch (control) {
    case kDfChoose:
      Choose();
      break;
    case kDfCreate:
      Create();
      break;
    case kDfOk: {
      if (request_ != 1 && request_ != 2) {
        Finish(1);
        break;
      }
      // A still-blank path is filled. The date is shown with a two-digit year, so it is not
      // read back from its text.
      if (AcceptEveryEntry(kDfDate) && PathAcceptable()) Complete();
      break;
    }
    case kDfCancel:
      Finish(2);
      break;
    default:
      break;
  }
}

// "1. Oda&beri": any file of the directory the archive is to go to; the directory of the
// chosen file becomes current, which "2. &Kreiraj" then uses.
void DefinitionForm::Choose() {
  ArhRecord& r = program_.ARH;
  std::string chosen = ChooseFile(kChooseAnyFileTitle, kChooseAnyFileFilter, r.STAZA, false);
  if (!chosen.empty()) r.STAZA = FitField(chosen, kArhStazaLength);
}

// "2. &Kreiraj": ArhivN.zip in the directory named by the path (or the current one).
void DefinitionForm::Create() {
  ArhRecord& r = program_.ARH;
  std::string named = platform::NativePath(TrimRightCopy(r.STAZA));
  std::error_code ec;
  if (!named.empty() && std::filesystem::is_directory(named, ec)) platform::ChangeDirectory(named);
  std::string here = platform::CurrentDirectory();
  std::string path =
      here + (platform::EndsWithSeparator(here) ? "" : std::string(1, platform::kSeparator)) +
      "Arhiv" + std::to_string(r.ID) + ".zip";
  platform::ChangeDirectory(remembered_);
  program_.StartDirectory = remembered_;
  if (platform::CharCount(path) > kArhStazaLength) {
    ShowNote(kPathTooLongText);
    return;
  }
  r.STAZA = FitField(path, kArhStazaLength);
}

// A definition names the archive a run writes: it needs a path, and one that does not put
// the archive into the root directory (what a blank disk gives).
bool DefinitionForm::PathAcceptable() {
  const ArhRecord& r = program_.ARH;
  std::string path = TrimRightCopy(r.STAZA);
  if (platform::IsBlank(path)) {
    FocusOn(kDfName);
    ShowNote(kNoDefinitionPathText);
    return false;
  }
  if (LandsAtRoot(platform::NativePath(path))) {
    if (path == TrimRightCopy(r.DISK) + "\\" + TrimRightCopy(r.NAZIV) + ".zip") {
      // The path made of disk and name: cleared, so that the next "OK" makes it again from
      // the disk the user gives now.
      program_.ARH.STAZA = FitField("", kArhStazaLength);
      FocusOn(kDfDisk);
    } else {
      FocusOn(kDfPath);
    }
    ShowNote(RootPathText(path));
    return false;
  }
  return true;
}

void DefinitionForm::Complete() {
  TableSlot& table = program_.arhive;
  if (request_ == 1) {
    // Rewrite the record added on opening (made current again: other windows share the table).
    ArhRecord edited = program_.ARH;
    RegetRecord(program_, table, added_);
    program_.ARH = edited;
    int code = PutRecord(program_, table);
    if (code == 0) {
      SetResultPosition(added_);
      Finish(1);
      return;
    }
    if (code == platform::kDuplicateKey)
      ShowStandardMessage(program_, StandardMessageId::kDuplicateKey, "ARH:KeyNaziv", {}, &table);
    else
      ShowStandardMessage(program_, StandardMessageId::kRecordInsertError, {}, {}, &table);
    FocusOn(kDfId);
    return;
  }
  for (;;) {
    Busy(true);
    int result = Same(program_.ARH, copy_) ? 0 : RelationalUpdate(program_, table);
    Busy(false);
    if (result == 0) {
      SetResultPosition(RecordPosition(table));
      Finish(1);
      return;
    }
    if (result == 2) return;  // the buffer shows the other station's record; try again
    unsigned answer = ShowStandardMessage(program_, StandardMessageId::kRecordUpdateError);
    if (answer == platform::kButtonYes) continue;
    if (answer == platform::kButtonNo) Finish(2);
    return;
  }
}

void DefinitionForm::Leave() {
  TableSlot& table = program_.arhive;
  if (request_ == 1 && !added_.empty() && response_ != 1) {
    if (RegetRecord(program_, table, added_) == 0) DeleteRecord(program_, table);
  }
  // "1. Oda&beri" leaves the chosen file's directory current; the program's tables and runs
  // work in the directory the form found.
  if (platform::CurrentDirectory() != remembered_) platform::ChangeDirectory(remembered_);
  for (TableSlot* t : held_)
    if (--t->ReferenceCount == 0) CloseTable(*t);
  held_.clear();
}

BrowseDefinition DefinitionBrowse() {
  BrowseDefinition d;
  d.title = kDefinitionsTitle;
  d.table = &Program::arhive;
  d.alsoHoldsDatoteke = true;
  d.key = ARH_KEYSTAZA;
  d.locateField = 3;
  d.readErrorLabel = "arhive";
  using A = ColumnAlign;
  using D = ColumnDisplay;
  d.columns = {
      {"Staza", 3, 108, A::kLeft, 2, false, D::kText, kArhStazaLength},
      {"Naziv", 1, 35, A::kLeft, 2, false, D::kText, kArhNazivLength},
      {"Datum Arh", 4, 40, A::kRight, 2, true, D::kDate, 0},
      {"Disk", 2, 20, A::kLeft, 2, false, D::kText, kArhDiskLength},
      {"Na Redu", 5, 17, A::kLeft, 2, false, D::kText, kArhNareduLength},
      {"Status", 6, 80, A::kLeft, 2, false, D::kText, kArhStatusLength},
  };
  d.buttonTexts = {"&Selekt",        "&Definiraj novu", "&Pogledaj", "&Briši",
                   "      &Zatvori", "&ARHIVIRAJ !",    ""};
  d.runNeedsRow = true;
  d.tabText = "ODABERI ARHIV:";
  d.optionText = "Arhiviraj datoteke:";
  d.optionChoices = {"Iz radnog direktorija", "Prethodno odabrane"};
  d.showsEntryName = true;
  d.form = [](Program& p) { return std::make_shared<DefinitionForm>(p); };
  return d;
}

}  // namespace verdan::app
