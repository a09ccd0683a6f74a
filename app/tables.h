// The three tables and their routines: open (creating, recovering or re-indexing as
// needed), transaction-framed rewrite and delete, the saved error, and the e-mail settings
// record with its built-in defaults.
//
// Thread-safety: as the program's design has it, these work on the program-wide buffers
// without a lock; the data layer keeps the files consistent between threads and processes.
#pragma once

#include <string>

#include "app/program.h"

namespace verdan::app {

// Built-in defaults of the e-mail record.
inline constexpr const char* kDefaultSmtpUser = "backup";
inline constexpr const char* kDefaultSmtpPassword = "verdan";
inline constexpr const char* kDefaultSmtpPort = "25";
inline constexpr const char* kDefaultSmtpServer = "mail.example.com";
inline constexpr const char* kDefaultFrom = "backup@example.com";
inline constexpr const char* kDefaultTo = "podrska@example.com";
inline constexpr const char* kDefaultSubject = "Slanje backupa podataka klijenta";
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

void LoadEmailSettings(Program& program);
void SaveEmailSettings(Program& program);

}  // namespace verdan::app
