#include "app/file_list.h"

#include "app/archive_definitions.h"
#include "app/messages.h"
#include "app/tables.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace verdan::app {
namespace {

using platform::FitField;
using platform::TrimRightCopy;

bool Same(const DatRecord& a, const DatRecord& b) {
  return a.IME == b.IME && a.ID == b.ID && a.STATUS == b.STATUS && a.DATUM == b.DATUM &&
         a.FLAG == b.FLAG;
}

}  // namespace

std::string FileListEntryOf(const std::string& path) {
  std::string trimmed = TrimRightCopy(path);
  if (trimmed.size() > 4 && platform::UpperCp1250(trimmed.substr(trimmed.size() - 4)) == ".TPS")
    trimmed.resize(trimmed.size() - 4);
  return trimmed;
}

int AddFileListEntry(Program& program) {
  TableSlot& table = program.datoteke;
  int code = AddRecord(program, table);
  if (code == platform::kDuplicateKey)
    ShowStandardMessage(program, StandardMessageId::kDuplicateKey, "DAT:KeyIme", {}, &table);
  else if (code != 0)
    ShowStandardMessage(program, StandardMessageId::kRecordInsertError, {}, {}, &table);
  return code;
}

FileListForm::FileListForm(Program& program) : FormWindow(program) {
  auto control = [](int id, FormControlKind kind, const char* text, std::size_t length = 0,
                    const char* tip = "") {
    FormControl c;
    c.id = id;
    c.kind = kind;
    c.text = text;
    c.length = length;
    c.tip = tip;
    return c;
  };
  using K = FormControlKind;
  SetControls({
      control(kFfName, K::kEntry, "&Ime:", kDatImeLength),
      control(kFfFind, K::kButton, "  Potraži", 0, kFindFileTip),
      control(kFfStatus, K::kEntry, "&Status:", kDatStatusLength),
      control(kFfDate, K::kEntry, "&Datum:", 10),
      control(kFfFlag, K::kEntry, "&Flag:", kDatFlagLength),
      control(kFfAccept, K::kButton, "Prihvati"),
      control(kFfCancel, K::kButton, "Odustani"),
  });
  SetCaption(kFileFormCaption, {});
}

FormWindow::Opening FileListForm::Open() {
  TableSlot& table = program_.datoteke;
  if (table.ReferenceCount == 0 && !OpenTable(program_, table)) {
    Finish(2);
    return Opening::kDone;
  }
  ++table.ReferenceCount;
  holds_ = true;
  copy_ = program_.DAT;
  if (request_ == 3) {
    Delete();
    return Opening::kDone;
  }
  SetCaption(kFileFormCaption, request_ == 1 ? "Unos" : request_ == 2 ? "Otvori" : "");
  FocusOn(kFfName);
  return Opening::kShow;
}

void FileListForm::Delete() {
  if (ShowStandardMessage(program_, StandardMessageId::kConfirmDelete) != platform::kButtonOk) {
    Finish(2);
    return;
  }
  for (;;) {
    Busy(true);
    int result = RelationalDelete(program_, program_.datoteke);
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

bool FileListForm::Accept(int control, const std::string& text) {
  DatRecord& r = program_.DAT;
  switch (control) {
    case kFfName:
      r.IME = FitField(text, kDatImeLength);
      return true;
    case kFfStatus:
      r.STATUS = FitField(text, kDatStatusLength);
      return true;
    case kFfFlag:
      r.FLAG = FitField(text, kDatFlagLength);
      return true;
    case kFfDate: {
      std::int64_t day = 0;
      if (!ParseDate(text, platform::GetClock().Today(), day)) {
        ShowNote(kBadDateText);
        return false;
      }
      r.DATUM = static_cast<std::int32_t>(day);
      return true;
    }
    default:
      return true;
  }
}

void FileListForm::Show() {
  const DatRecord& r = program_.DAT;
  SetValue(kFfName, TrimRightCopy(r.IME));
  SetValue(kFfStatus, TrimRightCopy(r.STATUS));
  SetValue(kFfDate, FormatDate(r.DATUM));
  SetValue(kFfFlag, TrimRightCopy(r.FLAG));
}

void FileListForm::Pressed(int control) {
  switch (control) {
    case kFfFind:
      Find();
      break;
    case kFfAccept: {
      if (request_ != 1 && request_ != 2) {
        Finish(1);
        break;
      }
      if (AcceptEveryEntry(kFfDate)) Complete();
      break;
    }
    case kFfCancel:
      Finish(2);
      break;
    default:
      break;
  }
}

// "  Potraži": a data file, the current directory left as it is. The entry keeps the path
// without the extension, which the runs add back when they pack the file.
void FileListForm::Find() {
  DatRecord& r = program_.DAT;
  std::string chosen = ChooseFile(kFindDataFileTitle, kDataFileFilter, r.IME, true);
  if (!chosen.empty()) r.IME = FitField(FileListEntryOf(chosen), kDatImeLength);
}

void FileListForm::Complete() {
  TableSlot& table = program_.datoteke;
  if (request_ == 1) {
    if (AddFileListEntry(program_) == 0) {
      SetResultPosition(RecordPosition(table));
      Finish(1);
    } else {
      FocusOn(kFfName);
    }
    return;
  }
  for (;;) {
    Busy(true);
    int result = Same(program_.DAT, copy_) ? 0 : RelationalUpdate(program_, table);
    Busy(false);
    if (result == 0) {
      SetResultPosition(RecordPosition(table));
      Finish(1);
      return;
    }
    if (result == 2) return;
    unsigned answer = ShowStandardMessage(program_, StandardMessageId::kRecordUpdateError);
    if (answer == platform::kButtonYes) continue;
    if (answer == platform::kButtonNo) Finish(2);
    return;
  }
}

void FileListForm::Leave() {
  if (holds_ && --program_.datoteke.ReferenceCount == 0) CloseTable(program_.datoteke);
  holds_ = false;
}

BrowseDefinition FileListBrowse() {
  BrowseDefinition d;
  d.title = kFileListTitle;
  d.table = &Program::datoteke;
  d.key = DAT_KEYIME;
  d.locateField = 0;
  d.readErrorLabel = "datoteke";
  using A = ColumnAlign;
  using D = ColumnDisplay;
  d.columns = {
      {"Ime", 0, 178, A::kLeft, 2, false, D::kText, kDatImeLength},
      {"Datum", 3, 37, A::kRight, 2, true, D::kDate, 0},
      {"Status", 2, 28, A::kLeft, 2, false, D::kText, kDatStatusLength},
      {"Flag", 4, 44, A::kLeft, 2, false, D::kText, kDatFlagLength},
  };
  d.buttonTexts = {"&Selekt", "&Unos", "&Otvori", "&Briši", "Zatvori", "Arhiviraj !", "ARHIVIRAJ"};
  d.hasListRun = true;
  d.listRunHidden = true;
  d.tabText = "Ime datoteke:";
  d.optionText = "Arhiviraj...";
  d.optionChoices = {"Tekući direktorij", "Datoteke s liste"};
  d.form = [](Program& p) { return std::make_shared<FileListForm>(p); };
  return d;
}

}  // namespace verdan::app
