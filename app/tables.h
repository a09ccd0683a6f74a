// The three tables and their routines: open (creating, recovering or re-indexing as
// needed), transaction-framed rewrite and delete, the saved error, and the e-mail settings
// record with its built-in defaults.
//
// Thread-safety: as the program's design has it, these work on the program-wide buffers
// without a lock; the data layer keeps the files consistent between threads and processes.
#pragma once

#include <string>

#include "app/program.h"
#include "platform/keyed_file.h"

namespace verdan::app {

// Key numbers for the data layer's key-order reads, in the order of each table's keys.
inline constexpr int ARH_KEYID = 0;     // ARH:ID, dup, skips blanks
inline constexpr int ARH_KEYNAZIV = 1;  // ARH:NAZIV, unique, skips blanks
inline constexpr int ARH_KEYDISK = 2;
inline constexpr int ARH_KEYSTAZA = 3;
inline constexpr int ARH_KEYDATUMARH = 4;
inline constexpr int ARH_KEYNAREDU = 5;
inline constexpr int ARH_KEYSTATUS = 6;
inline constexpr int DAT_KEYIME = 0;  // DAT:IME, unique, skips blanks
inline constexpr int DAT_KEYID = 1;   // DAT:ID, dup, skips blanks
inline constexpr int DAT_KEYSTATUS = 2;
inline constexpr int DAT_KEYDATUM = 3;
inline constexpr int DAT_KEYFLAG = 4;
inline constexpr int PEM_KEYID = 0;  // PEM:ID, unique, skips blanks
inline constexpr int PEM_KEYUSER = 1;
inline constexpr int PEM_KEYPASSWORD = 2;

// Field lengths (characters) of the text fields.
inline constexpr std::size_t kArhNazivLength = 30, kArhDiskLength = 2, kArhStazaLength = 100,
                             kArhNareduLength = 2, kArhStatusLength = 30;
inline constexpr std::size_t kDatImeLength = 100, kDatStatusLength = 5, kDatFlagLength = 10;
inline constexpr std::size_t kPemDiskLength = 2, kPemDirLength = 255, kPemTipArhLength = 20,
                             kPemPortLength = 10, kPemTextLength = 255;

// The layout of a table (by its stored name) for the data layer.
platform::TableLayout TableLayoutOf(const TableSlot& table);

// Record operations on a table through its program-wide record buffer (ARH, DAT or PEM):
// reads fill the buffer (text fields blank-padded to their lengths), writes take it. Each
// returns the data layer's code (0 success, platform::kRecordNotAvailable at the end of a
// read, platform::kFileNotOpen when the table is not open, ...); the data layer keeps the
// code and texts as the table's current error.
int SetOrder(Program& program, TableSlot& table, int key);            // from the first record
int SetOrderFromBuffer(Program& program, TableSlot& table, int key);  // from the buffer's key value
int ResetOrder(Program& program, TableSlot& table, int key, const std::string& position);
int NextRecord(Program& program, TableSlot& table);
int PreviousRecord(Program& program, TableSlot& table);
int GetRecord(Program& program, TableSlot& table, int key);  // exact key, value from the buffer
int RegetRecord(Program& program, TableSlot& table, const std::string& position);
int AddRecord(Program& program, TableSlot& table);
int PutRecord(Program& program, TableSlot& table);
int DeleteRecord(Program& program, TableSlot& table);
// Clears the table's record buffer: blank text fields, zero numbers.
void ClearRecord(Program& program, TableSlot& table);
// True when the buffer would duplicate a unique key of a record other than the current one.
bool DuplicateRecord(Program& program, TableSlot& table);
// Position of the current record ("" when none).
std::string RecordPosition(const TableSlot& table);

// Built-in defaults of the e-mail record.
inline constexpr const char* kDefaultDisk = "E";
inline constexpr const char* kDefaultNaming = "dan";
inline constexpr const char* kDefaultSmtpUser = "backup";
// The placeholder password older records hold beside the placeholder user: never a
// password of the user's, never sent, and no longer written.
inline constexpr const char* kDefaultSmtpPassword = "verdan";
// The name of the SMTP password in the credentials file (platform/credentials.h). The
// record's PASSWORD field (and its key) stays in the layout, for the files already out
// there, but is kept blank: the table travels in every archive.
inline constexpr const char* kSmtpPasswordSecret = "smtp.password";
// The key of the password archives are encrypted under, in the same file.
inline constexpr const char* kArchivePasswordSecret = "archive.password";
inline constexpr const char* kDefaultSmtpPort = "25";
inline constexpr const char* kDefaultSmtpServer = "mail.example.com";
inline constexpr const char* kDefaultFrom = "backup@example.com";
inline constexpr const char* kDefaultTo = "podrska@example.com";
inline constexpr const char* kDefaultSubject = "Slanje backupa podataka klijenta";
// Length of the run settings POCDIR and ZAVDIR; the record holds longer paths, which are
// never cut into the settings.
inline constexpr std::size_t kRunDirectoryLength = 127;
// Shown at the first start in a working directory too long for the settings, followed by it.
inline constexpr const char* kWorkingDirectoryTooLongText =
    "Radni direktorij je duži od 127 znakova pa nije postavljen kao izvorni i odredišni "
    "direktorij (odaberite ih u prozoru Opcije):|";
// Shown when the record holds a directory too long for the settings, followed by it.
inline constexpr const char* kStoredDirectoryTooLongText =
    "Spremljeni direktorij je duži od 127 znakova i nije preuzet (odaberite ga u prozoru "
    "Opcije):|";

// Owner password handed to the data layer for the e-mail table.
inline constexpr const char* kEmailOwnerPassword = "380506";

// Opens `table` (creation allowed, shared read/write). Returns true when the table is open;
// false when it could not be opened, in which case the standard message was shown and the
// program has ended (program.Ended()).
bool OpenTable(Program& program, TableSlot& table);

// Closes the table (its ReferenceCount is the caller's business).
void CloseTable(TableSlot& table);

// Rewrites the current record of `arhive` or `datoteke` in a transaction: 0 done, 1 failed
// (a message was shown), 2 changed by another station and re-read.
int RelationalUpdate(Program& program, TableSlot& table);

// Deletes the current record of `arhive` or `datoteke` in a transaction: 0 done, 1 failed.
int RelationalDelete(Program& program, TableSlot& table);

// Copies the data layer's current error into the saved-error slots and rolls back the
// transaction in progress on `table`, if any.
void SaveFileError(Program& program, TableSlot& table);

// Reads the settings record (creating it with the defaults when the table is empty) and
// copies its run settings into the program's. A directory longer than the run setting holds
// is refused with a message and left blank, never cut. A password found in the record (a
// table from before, or one a restore brought back) is moved to the credentials file, unless
// that file holds one already, and blanked in the table, whose file is then compacted so
// that none of its bytes stay behind; the same holds for SaveEmailSettings.
void LoadEmailSettings(Program& program);
void SaveEmailSettings(Program& program);
// The same move for a table that was replaced under the program (a restore), without
// touching the run settings. Does nothing when the table is not open.
void ScrubEmailSecrets(Program& program);

}  // namespace verdan::app
