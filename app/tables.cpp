#include "app/tables.h"

#include "app/messages.h"
#include "platform/credentials.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace verdan::app {
namespace {

using platform::BlankValues;
using platform::FieldDef;
using platform::FieldType;
using platform::KeyDef;
using platform::KeyUniqueness;
using platform::Record;
using platform::TableLayout;
using platform::Value;

constexpr int kTransactionWaitSeconds = 2;

FieldDef Text(const char* name, std::size_t length) { return {name, FieldType::kText, length}; }
FieldDef Integer(const char* name) { return {name, FieldType::kInteger, 0}; }
KeyDef Key(const char* name, std::size_t field, KeyUniqueness u, BlankValues b) {
  return {name, field, u, b};
}
constexpr auto kUnique = KeyUniqueness::kUnique;
constexpr auto kDup = KeyUniqueness::kDuplicates;
constexpr auto kSkip = BlankValues::kSkipped;
constexpr auto kKeep = BlankValues::kIncluded;

TableLayout ArhiveLayout() {
  return {"ARHIVE",
          {Integer("ID"), Text("NAZIV", kArhNazivLength), Text("DISK", kArhDiskLength),
           Text("STAZA", kArhStazaLength), Integer("DATUMARH"), Text("NAREDU", kArhNareduLength),
           Text("STATUS", kArhStatusLength)},
          {Key("KEYID", 0, kDup, kSkip), Key("KEYNAZIV", 1, kUnique, kSkip),
           Key("KEYDISK", 2, kDup, kKeep), Key("KEYSTAZA", 3, kDup, kKeep),
           Key("KEYDATUMARH", 4, kDup, kKeep), Key("KEYNAREDU", 5, kDup, kKeep),
           Key("KEYSTATUS", 6, kDup, kKeep)}};
}

TableLayout DatotekeLayout() {
  return {"DATOTEKE",
          {Text("IME", kDatImeLength), Integer("ID"), Text("STATUS", kDatStatusLength),
           Integer("DATUM"), Text("FLAG", kDatFlagLength)},
          {Key("KEYIME", 0, kUnique, kSkip), Key("KEYID", 1, kDup, kSkip),
           Key("KEYSTATUS", 2, kDup, kKeep), Key("KEYDATUM", 3, kDup, kKeep),
           Key("KEYFLAG", 4, kDup, kKeep)}};
}

TableLayout EmailLayout() {
  return {"PEMAIL",
          {Integer("ID"), Text("OZNAKAARHIVDISKA", kPemDiskLength), Text("POCDIR", kPemDirLength),
           Text("ZAVDIR", kPemDirLength), Text("TIP_ARH", kPemTipArhLength),
           Text("USER", kPemTextLength), Text("PASSWORD", kPemTextLength),
           Text("PPORT", kPemPortLength), Text("SSERVER", kPemTextLength),
           Text("REPLYTO", kPemTextLength), Text("FROM", kPemTextLength),
           Text("TOFIELD", kPemTextLength), Text("CC", kPemTextLength), Text("BCC", kPemTextLength),
           Text("SUBJECT", kPemTextLength)},
          {Key("KEYID", 0, kUnique, kSkip), Key("KEYUSER", 5, kDup, kKeep),
           Key("KEYPASSWORD", 6, kDup, kKeep)}};
}

enum class Which { kArhive, kDatoteke, kEmail, kOther };

Which WhichTable(const TableSlot& table) {
  if (table.storedName == "ARHIVE") return Which::kArhive;
  if (table.storedName == "DATOTEKE") return Which::kDatoteke;
  if (table.storedName == "PEMAIL") return Which::kEmail;
  return Which::kOther;
}

// ---- record codecs between the program's buffers and the data layer ------------------------

std::int64_t Int(const Value& v) {
  const auto* i = std::get_if<std::int64_t>(&v);
  return i ? *i : 0;
}
std::string Str(const Value& v, std::size_t length) {
  const auto* s = std::get_if<std::string>(&v);
  return platform::FitField(s ? *s : std::string(), length);
}

Record Encode(const Program& p, const TableSlot& table) {
  switch (WhichTable(table)) {
    case Which::kArhive: {
      const ArhRecord& r = p.ARH;
      return {std::int64_t{r.ID}, r.NAZIV, r.DISK, r.STAZA, r.DATUMARH, r.NAREDU, r.STATUS};
    }
    case Which::kDatoteke: {
      const DatRecord& r = p.DAT;
      return {r.IME, std::int64_t{r.ID}, r.STATUS, std::int64_t{r.DATUM}, r.FLAG};
    }
    case Which::kEmail: {
      const PemRecord& r = p.PEM;
      return {std::int64_t{r.ID},
              r.OZNAKAARHIVDISKA,
              r.POCDIR,
              r.ZAVDIR,
              r.TIP_ARH,
              r.USER,
              r.PASSWORD,
              r.PPORT,
              r.SSERVER,
              r.REPLYTO,
              r.FROM,
              r.TOFIELD,
              r.CC,
              r.BCC,
              r.SUBJECT};
    }
    case Which::kOther:
      break;
  }
  return {};
}

void Decode(Program& p, const TableSlot& table, const Record& rec) {
  switch (WhichTable(table)) {
    case Which::kArhive: {
      if (rec.size() != 7) return;
      ArhRecord& r = p.ARH;
      r.ID = static_cast<std::uint16_t>(Int(rec[0]));
      r.NAZIV = Str(rec[1], kArhNazivLength);
      r.DISK = Str(rec[2], kArhDiskLength);
      r.STAZA = Str(rec[3], kArhStazaLength);
      r.DATUMARH = Int(rec[4]);
      r.NAREDU = Str(rec[5], kArhNareduLength);
      r.STATUS = Str(rec[6], kArhStatusLength);
      return;
    }
    case Which::kDatoteke: {
      if (rec.size() != 5) return;
      DatRecord& r = p.DAT;
      r.IME = Str(rec[0], kDatImeLength);
      r.ID = static_cast<std::uint16_t>(Int(rec[1]));
      r.STATUS = Str(rec[2], kDatStatusLength);
      r.DATUM = static_cast<std::int32_t>(Int(rec[3]));
      r.FLAG = Str(rec[4], kDatFlagLength);
      return;
    }
    case Which::kEmail: {
      if (rec.size() != 15) return;
      PemRecord& r = p.PEM;
      r.ID = static_cast<std::uint8_t>(Int(rec[0]));
      r.OZNAKAARHIVDISKA = Str(rec[1], kPemDiskLength);
      r.POCDIR = Str(rec[2], kPemDirLength);
      r.ZAVDIR = Str(rec[3], kPemDirLength);
      r.TIP_ARH = Str(rec[4], kPemTipArhLength);
      r.USER = Str(rec[5], kPemTextLength);
      r.PASSWORD = Str(rec[6], kPemTextLength);
      r.PPORT = Str(rec[7], kPemPortLength);
      r.SSERVER = Str(rec[8], kPemTextLength);
      r.REPLYTO = Str(rec[9], kPemTextLength);
      r.FROM = Str(rec[10], kPemTextLength);
      r.TOFIELD = Str(rec[11], kPemTextLength);
      r.CC = Str(rec[12], kPemTextLength);
      r.BCC = Str(rec[13], kPemTextLength);
      r.SUBJECT = Str(rec[14], kPemTextLength);
      return;
    }
    case Which::kOther:
      return;
  }
}

// The key field's value in the buffer, for reads that start from it.
Value KeyValueOfBuffer(const Program& p, const TableSlot& table, int key) {
  Record rec = Encode(p, table);
  if (key == platform::kRecordOrder || rec.empty()) return std::int64_t{0};
  TableLayout layout = TableLayoutOf(table);
  if (key < 0 || static_cast<std::size_t>(key) >= layout.keys.size()) return std::int64_t{0};
  return rec[layout.keys[static_cast<std::size_t>(key)].field];
}

// The table's data-layer object, made on first use (the e-mail table with its owner password).
platform::KeyedFile& FileOf(TableSlot& table) {
  if (!table.file) {
    table.file = std::make_unique<platform::KeyedFile>(
        TableLayoutOf(table),
        WhichTable(table) == Which::kEmail ? std::string(kEmailOwnerPassword) : std::string());
  }
  return *table.file;
}

// For a table that is not open: a closed file object reports "File Not Open" and records it
// as the table's current error.
int NotOpen(Program&, TableSlot& table) {
  platform::Record unused;
  return FileOf(table).Next(unused);
}

bool Usable(const TableSlot& table) { return table.file && table.file->IsOpen(); }

enum class Defaults { kNewRecord, kBlankFields };

// kNewRecord fills every field of a record being created; kBlankFields only the blank SMTP
// fields of a record being saved (a blank user name brings back both credentials).
void EmailDefaults(PemRecord& r, Defaults which) {
  using platform::FitField;
  if (which == Defaults::kNewRecord) {
    std::string here = platform::CurrentDirectory();
    r.ID = 0;
    r.POCDIR = FitField(here, kPemDirLength);
    r.ZAVDIR = FitField(here, kPemDirLength);
    r.OZNAKAARHIVDISKA = FitField(kDefaultDisk, kPemDiskLength);
    r.TIP_ARH = FitField(kDefaultNaming, kPemTipArhLength);
    r.USER = FitField(kDefaultSmtpUser, kPemTextLength);
    r.PASSWORD = FitField("", kPemTextLength);  // secrets are never kept in the table
    r.PPORT = FitField(kDefaultSmtpPort, kPemPortLength);
    r.SSERVER = FitField(kDefaultSmtpServer, kPemTextLength);
    r.REPLYTO = FitField("", kPemTextLength);
    r.FROM = FitField(kDefaultFrom, kPemTextLength);
    r.TOFIELD = FitField(kDefaultTo, kPemTextLength);
    r.CC = FitField("", kPemTextLength);
    r.BCC = FitField("", kPemTextLength);
    r.SUBJECT = FitField(kDefaultSubject, kPemTextLength);
    return;
  }
  using platform::IsBlank;
  if (IsBlank(r.USER)) r.USER = FitField(kDefaultSmtpUser, kPemTextLength);
  if (IsBlank(r.PPORT)) r.PPORT = FitField(kDefaultSmtpPort, kPemPortLength);
  if (IsBlank(r.SSERVER)) r.SSERVER = FitField(kDefaultSmtpServer, kPemTextLength);
  if (IsBlank(r.FROM)) r.FROM = FitField(kDefaultFrom, kPemTextLength);
  if (IsBlank(r.TOFIELD)) r.TOFIELD = FitField(kDefaultTo, kPemTextLength);
  if (IsBlank(r.SUBJECT)) r.SUBJECT = FitField(kDefaultSubject, kPemTextLength);
}

std::string CurrentErrorText(const TableSlot& table) {
  return table.file ? table.file->LastStatus().text : platform::LastKeyedFileStatus().text;
}

}  // namespace

TableLayout TableLayoutOf(const TableSlot& table) {
  switch (WhichTable(table)) {
    case Which::kArhive:
      return ArhiveLayout();
    case Which::kDatoteke:
      return DatotekeLayout();
    case Which::kEmail:
      return EmailLayout();
    case Which::kOther:
      break;
  }
  return {table.storedName, {}, {}};
}

// ---- record operations on the buffers ---------------------------------------------------------

int SetOrder(Program& program, TableSlot& table, int key) {
  if (!Usable(table)) return NotOpen(program, table);
  return table.file->Set(key);
}

int SetOrderFromBuffer(Program& program, TableSlot& table, int key) {
  if (!Usable(table)) return NotOpen(program, table);
  return table.file->Set(key, KeyValueOfBuffer(program, table, key));
}

int ResetOrder(Program& program, TableSlot& table, int key, const std::string& position) {
  if (!Usable(table)) return NotOpen(program, table);
  return table.file->Reset(key, position);
}

int NextRecord(Program& program, TableSlot& table) {
  if (!Usable(table)) return NotOpen(program, table);
  Record rec;
  int code = table.file->Next(rec);
  if (code == 0) Decode(program, table, rec);
  return code;
}

int PreviousRecord(Program& program, TableSlot& table) {
  if (!Usable(table)) return NotOpen(program, table);
  Record rec;
  int code = table.file->Previous(rec);
  if (code == 0) Decode(program, table, rec);
  return code;
}

int GetRecord(Program& program, TableSlot& table, int key) {
  if (!Usable(table)) return NotOpen(program, table);
  Record rec;
  int code = table.file->Get(key, KeyValueOfBuffer(program, table, key), rec);
  if (code == 0) Decode(program, table, rec);
  return code;
}

int RegetRecord(Program& program, TableSlot& table, const std::string& position) {
  if (!Usable(table)) return NotOpen(program, table);
  Record rec;
  int code = table.file->Reget(position, rec);
  if (code == 0) Decode(program, table, rec);
  return code;
}

int AddRecord(Program& program, TableSlot& table) {
  if (!Usable(table)) return NotOpen(program, table);
  return table.file->Add(Encode(program, table));
}

int PutRecord(Program& program, TableSlot& table) {
  if (!Usable(table)) return NotOpen(program, table);
  return table.file->Put(Encode(program, table));
}

int DeleteRecord(Program& program, TableSlot& table) {
  if (!Usable(table)) return NotOpen(program, table);
  return table.file->Delete();
}

void ClearRecord(Program& program, TableSlot& table) {
  Record blank;
  for (const platform::FieldDef& f : TableLayoutOf(table).fields)
    blank.push_back(f.type == FieldType::kInteger ? Value(std::int64_t{0}) : Value(std::string()));
  Decode(program, table, blank);
}

bool DuplicateRecord(Program& program, TableSlot& table) {
  if (!Usable(table)) return false;
  return table.file->Duplicates(Encode(program, table));
}

std::string RecordPosition(const TableSlot& table) {
  return table.file ? table.file->Position() : std::string();
}

// ---- open, close -----------------------------------------------------------------------------

bool OpenTable(Program& program, TableSlot& table) {
  using namespace platform;
  if (program.Ended()) return false;
  KeyedFile& file = FileOf(table);
  const std::string name = file.Name();

  int code = file.Open(kAccessReadWriteShared);
  if (code == kFileLocked) {
    file.SendCommand("Recover=10");
    code = file.Open(kAccessReadWriteShared);
  }
  if (code == kNoError || code == kFileAlreadyOpen) return true;

  if (code == kFileNotFound) {
    if (file.Create() != kNoError) {
      ShowStandardMessage(program, StandardMessageId::kFileCreationError, name, {}, &table);
      return false;
    }
    if (file.Open(kAccessReadWriteShared) != kNoError) {
      ShowStandardMessage(program, StandardMessageId::kCreatedFileOpenError, name, {}, &table);
      return false;
    }
    return true;
  }
  if (code == kInvalidRecordDeclaration) {
    ShowStandardMessage(program, StandardMessageId::kFileBad, name, {}, &table);
    return false;
  }
  if (code == kKeyFileMustBeRebuilt) {
    ShowStandardMessage(program, StandardMessageId::kInvalidKey, name, {}, &table);
    if (program.Ended()) return false;
    if (file.BuildKeys() != kNoError) {
      ShowStandardMessage(program, StandardMessageId::kKeyRebuildError, name, {}, &table);
      return false;
    }
    code = file.Open(kAccessReadWriteShared);
    if (code == kNoError || code == kFileAlreadyOpen) return true;
  }
  ShowStandardMessage(program, StandardMessageId::kFileOpenError, name, {}, &table);
  program.End("Disk Error");
  return false;
}

void CloseTable(TableSlot& table) {
  if (table.file) table.file->Close();
}

// ---- transaction-framed writes -----------------------------------------------------------------

void SaveFileError(Program& program, TableSlot& table) {
  platform::KeyedFileStatus status =
      table.file ? table.file->LastStatus() : platform::LastKeyedFileStatus();
  program.savedError.code = status.code;
  program.savedError.text = platform::CutChars(status.text, 255);
  program.savedError.driverCode = status.driverCode;
  program.savedError.driverText = platform::CutChars(status.driverText, 255);
  if (table.file && table.file->InTransaction()) table.file->Rollback();
}

namespace {

int BeginTransaction(Program& program, TableSlot& table) {
  if (!Usable(table)) return NotOpen(program, table);
  return table.file->Begin(kTransactionWaitSeconds);
}

}  // namespace

int RelationalUpdate(Program& program, TableSlot& table) {
  if (BeginTransaction(program, table) != 0) {
    SaveFileError(program, table);
    ShowStandardMessage(program, StandardMessageId::kTransactionFramingError, "Update", table.label,
                        &table);
    return 1;
  }
  const std::string position = table.file->Position();
  int code = PutRecord(program, table);
  // A commit that fails leaves the change unwritten: reported like a failed rewrite.
  if (code == 0) code = table.file->Commit();
  if (code == 0) return 0;
  SaveFileError(program, table);
  if (program.savedError.code == platform::kRecordChanged) {
    ShowStandardMessage(program, StandardMessageId::kUpdateOperationError,
                        "Record Changed by Another Station", {}, &table);
    RegetRecord(program, table, position);
    return 2;
  }
  ShowStandardMessage(program, StandardMessageId::kUpdateOperationError, table.label, {}, &table);
  return 1;
}

int RelationalDelete(Program& program, TableSlot& table) {
  const std::string position = RecordPosition(table);
  if (BeginTransaction(program, table) != 0) {
    SaveFileError(program, table);
    ShowStandardMessage(program, StandardMessageId::kTransactionFramingError, "Delete", table.label,
                        &table);
    return 1;
  }
  int code = RegetRecord(program, table, position);
  if (code == 0) code = DeleteRecord(program, table);
  if (code == 0) code = table.file->Commit();
  if (code == 0) return 0;
  SaveFileError(program, table);
  ShowStandardMessage(program, StandardMessageId::kDeleteOperationError, table.label, {}, &table);
  return 1;
}

// ---- the e-mail settings record ---------------------------------------------------------------

namespace {

// A directory of the record as a run setting: whole, or blank when the setting cannot hold
// it (cut, it would name another directory, and the archive names made from it would be
// cut again). A blank destination names archives relative to the working directory.
std::string DirectorySetting(Program& program, const std::string& field) {
  std::string dir = platform::TrimRightCopy(field);
  if (platform::CharCount(dir) <= kRunDirectoryLength)
    return platform::FitField(dir, kRunDirectoryLength);
  platform::ShowText(program.ui, kStoredDirectoryTooLongText + dir);
  return std::string(kRunDirectoryLength, ' ');
}

// A password in the record buffer (a table written before passwords left it, or one brought
// back by a restore) goes to the credentials file, unless that file holds a password already
// (set later than the table's), and leaves the buffer. True when the buffer was blanked and
// must be written back. When the credentials file cannot be trusted or written, the problem
// is shown and the record keeps its password, to be moved at the next load.
bool TakePasswordOut(Program& program) {
  PemRecord& r = program.PEM;
  if (platform::IsBlank(r.PASSWORD)) return false;
  const std::string password = platform::TrimRightCopy(r.PASSWORD);
  // The built-in placeholder was never a password of the user's: it is only dropped.
  if (password != kDefaultSmtpPassword) {
    std::string stored;
    bool found = false;
    std::string problem;
    if (!platform::ReadSecret(platform::kCredentialsFile, kSmtpPasswordSecret, stored, found,
                              problem) ||
        (!found && !platform::WriteSecret(platform::kCredentialsFile, kSmtpPasswordSecret, password,
                                          problem))) {
      platform::ShowText(program.ui, problem);
      return false;
    }
  }
  r.PASSWORD = platform::FitField("", kPemTextLength);
  return true;
}

// After a password left the table: the file is rewritten without free space, so that the
// old value's bytes (and those of its upper-case key) are gone from it.
void CompactAfterSecretLeft(TableSlot& table) {
  if (table.file) table.file->Compact();
}

}  // namespace

void ScrubEmailSecrets(Program& program) {
  std::lock_guard lock(program.emailRecordMutex);
  TableSlot& table = program.email;
  if (!Usable(table)) return;
  SetOrder(program, table, platform::kRecordOrder);
  if (NextRecord(program, table) != 0) return;
  if (!TakePasswordOut(program)) return;
  if (PutRecord(program, table) != 0) {
    platform::ShowText(program.ui, " PUT(email), Greška :" + CurrentErrorText(table));
    return;
  }
  CompactAfterSecretLeft(table);
}

void LoadEmailSettings(Program& program) {
  std::lock_guard lock(program.emailRecordMutex);
  TableSlot& table = program.email;
  SetOrder(program, table, platform::kRecordOrder);
  if (NextRecord(program, table) == 0) {
    if (TakePasswordOut(program)) {
      if (PutRecord(program, table) != 0)
        platform::ShowText(program.ui, " PUT(email), Greška :" + CurrentErrorText(table));
      else
        CompactAfterSecretLeft(table);
    }
  } else {
    platform::ShowText(program.ui, " NEXT(email), Greška :" + CurrentErrorText(table));
    EmailDefaults(program.PEM, Defaults::kNewRecord);
    std::string here = platform::TrimRightCopy(program.PEM.POCDIR);
    if (platform::CharCount(here) > kRunDirectoryLength) {
      platform::ShowText(program.ui, kWorkingDirectoryTooLongText + here);
      program.PEM.POCDIR = program.PEM.ZAVDIR = std::string(kPemDirLength, ' ');
    }
    if (AddRecord(program, table) != 0)
      platform::ShowText(program.ui, " ADD(email), Greška :" + CurrentErrorText(table));
  }
  const PemRecord& r = program.PEM;
  program.run.POCDIR = DirectorySetting(program, r.POCDIR);
  program.run.ZAVDIR = DirectorySetting(program, r.ZAVDIR);
  program.run.OZNAKAARHIVDISKA = platform::FitField(r.OZNAKAARHIVDISKA, 1);
  program.run.TIP_ARH = platform::FitField(r.TIP_ARH, 3);
}

void SaveEmailSettings(Program& program) {
  std::lock_guard lock(program.emailRecordMutex);
  TableSlot& table = program.email;
  SetOrder(program, table, platform::kRecordOrder);
  if (NextRecord(program, table) != 0)
    platform::ShowText(program.ui, " NEXT(email), Greška :" + CurrentErrorText(table));
  PemRecord& r = program.PEM;
  r.POCDIR = platform::FitField(program.run.POCDIR, kPemDirLength);
  r.ZAVDIR = platform::FitField(program.run.ZAVDIR, kPemDirLength);
  r.OZNAKAARHIVDISKA = platform::FitField(program.run.OZNAKAARHIVDISKA, kPemDiskLength);
  r.TIP_ARH = platform::FitField(program.run.TIP_ARH, kPemTipArhLength);
  EmailDefaults(r, Defaults::kBlankFields);
  const bool secretLeft = TakePasswordOut(program);
  if (PutRecord(program, table) != 0)
    platform::ShowText(program.ui, " PUT(email), Greška :" + CurrentErrorText(table));
  else if (secretLeft)
    CompactAfterSecretLeft(table);
}

}  // namespace verdan::app
