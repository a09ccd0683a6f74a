// The standard record and file error messages: one numbered box per table error or record
// confirmation, with its text built from the saved (or current) data-layer error, and the
// end of the program after the messages about a table that cannot be opened or created.
//
// Thread-safety: none of its own. The saved-error slots are program-wide and unlocked, so
// SaveFileError and the ShowStandardMessage that consumes them run back to back on one thread.
#pragma once

#include <string>

#include "app/program.h"

namespace verdan::app {

enum class StandardMessageId : int {
  kFileBad = 1,
  kInvalidKey = 2,
  kKeyRebuildError = 3,
  kFileCreationError = 4,
  kCreatedFileOpenError = 5,
  kRecordInsertError = 14,
  kUpdateOperationError = 15,
  kRecordUpdateError = 16,
  kDeleteOperationError = 17,
  kRecordDeleteError = 18,
  kDuplicateKey = 24,
  kAutoIncrementError = 25,
  kFileOpenError = 30,
  kConfirmDelete = 32,
  kTransactionFramingError = 34,
  kRecordRetrievalError = 35,
  kViewOpenError = 36,
};

// Builds the error description from the saved error (or the data layer's current error of
// `table` when none is saved) and clears the saved slots.
std::string ErrorDescription(Program& program, const TableSlot* table, int* capturedCode = nullptr);

// Shows the numbered message and returns the button pressed. For messages that end the
// program, the program is ended (program.End) after the box is acknowledged.
// `table` is the table whose current error describes the message when none is saved.
unsigned ShowStandardMessage(Program& program, StandardMessageId id, const std::string& text1 = {},
                             const std::string& text2 = {}, const TableSlot* table = nullptr);

}  // namespace verdan::app
