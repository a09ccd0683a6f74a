#include "app/messages.h"

#include "platform/keyed_file.h"
#include "platform/text.h"

namespace verdan::app {
namespace {

constexpr std::size_t kDescriptionLength = 150;
constexpr std::size_t kSavedTextLength = 255;

using platform::Icon;

struct Box {
  std::string caption;
  Icon icon = Icon::kExclamation;
  unsigned buttons = platform::kButtonOk;
  unsigned defaultButton = platform::kButtonOk;
  std::string text;
  const char* endText = nullptr;  // the program ends after the box, showing this text
};

}  // namespace

std::string ErrorDescription(Program& program, const TableSlot* table, int* capturedCode) {
  SavedError& saved = program.savedError;
  platform::KeyedFileStatus status;
  if (saved.code != 0) {
    status = {saved.code, saved.text, saved.driverCode, saved.driverText};
  } else if (table && table->file) {
    status = table->file->LastStatus();
  } else {
    status = platform::LastKeyedFileStatus();
  }
  std::string description =
      status.code == platform::kFileSystemError
          ? platform::TrimRightCopy(status.driverText) + " (" + std::to_string(status.driverCode) +
                ")"
          : platform::TrimRightCopy(status.text) + " (" + std::to_string(status.code) + ")";
  if (capturedCode) *capturedCode = status.code;
  saved.code = 0;
  saved.text = std::string(kSavedTextLength, ' ');
  saved.driverCode = 0;
  saved.driverText = std::string(kSavedTextLength, ' ');
  return platform::CutChars(description, kDescriptionLength);
}

unsigned ShowStandardMessage(Program& program, StandardMessageId id, const std::string& text1,
                             const std::string& text2, const TableSlot* table) {
  using platform::kButtonCancel;
  using platform::kButtonNo;
  using platform::kButtonOk;
  using platform::kButtonRetry;
  using platform::kButtonYes;

  int captured = 0;
  const std::string ed = ErrorDescription(program, table, &captured);
  const std::string t1 = platform::TrimRightCopy(text1);
  const std::string t2 = platform::TrimRightCopy(text2);

  Box box;
  switch (id) {
    case StandardMessageId::kFileBad:
      box.caption = "Datoteka ne valja";
      box.text = "Greška: (" + ed + ") otvaram " + t1 + ".  Pritisni OK da zatvoriš aplikaciju.";
      box.endText = "Datoteka ne valja!";
      break;
    case StandardMessageId::kInvalidKey:
      box.caption = "Invalid Key";
      box.icon = Icon::kQuestion;
      box.buttons = kButtonYes | kButtonNo;
      box.defaultButton = kButtonYes;
      box.text = t1 + " key file is invalid.  Do you want to rebuild the key?";
      break;
    case StandardMessageId::kKeyRebuildError:
      box.caption = "Key Rebuild Error";
      box.text =
          "Error: (" + ed + ") repairing key for " + t1 + ".  Press OK to end this application.";
      box.endText = "Error Rebuilding Key!";
      break;
    case StandardMessageId::kFileCreationError:
      box.caption = "File Creation Error";
      box.text = "Error: (" + ed + ") creating " + t1 + ".  Press OK to end this application.";
      box.endText = "File Creation Error!";
      break;
    case StandardMessageId::kCreatedFileOpenError:
      box.caption = "File Creation Error";
      box.text =
          "Error: (" + ed + ") opening created file:" + t1 + ".  Press OK to end this application.";
      box.endText = "File Creation Error!";
      break;
    case StandardMessageId::kRecordInsertError:
      box.caption = "Record Insert Error";
      box.text = "An error was experienced during the update of record.  Error: " + ed + ".";
      break;
    case StandardMessageId::kUpdateOperationError:
      box.caption = "Update Operation Error";
      box.text = captured == 0 || captured == platform::kRecordChanged
                     ? std::string("This record was changed by another station.")
                     : "An error (" + ed +
                           ") was experienced when attempting to update a record from the "
                           "file.  Probable Cause: " +
                           t1 + ".";
      break;
    case StandardMessageId::kRecordUpdateError:
      box.caption = "Record Update Error";
      box.buttons = kButtonYes | kButtonNo | kButtonCancel;
      box.defaultButton = kButtonCancel;
      box.text =
          "An error was experienced changing this record.  Do you want to try to save again?";
      break;
    case StandardMessageId::kDeleteOperationError:
      box.caption = "Delete Operation Error";
      box.text = "An error (" + ed +
                 ") was experienced when attempting to delete a record from the file " + t1 + ".";
      break;
    case StandardMessageId::kRecordDeleteError:
      box.caption = "Record Update Error";
      box.buttons = kButtonYes | kButtonNo | kButtonCancel;
      box.defaultButton = kButtonCancel;
      box.text =
          "An error was experienced deleting this record.  Do you want to try to save again?";
      break;
    case StandardMessageId::kDuplicateKey:
      box.caption = "Greška dupliciranja";
      box.text = "Već postoji slog sa ovom vrijednosti za ključ:" + t1;
      break;
    case StandardMessageId::kAutoIncrementError:
      box.caption = "Auto Increment Error";
      box.buttons = kButtonRetry | kButtonCancel;
      box.defaultButton = kButtonCancel;
      box.text = "Attempts to automatically number this record have failed.  Error: " + ed + ".";
      break;
    case StandardMessageId::kFileOpenError:
      box.caption = "Greška pri otvaranju datoteke";
      box.text = "Datoteka (" + t1 + ") se ne može otvoriti.  Greška: " + ed + ".";
      break;
    case StandardMessageId::kConfirmDelete:
      box.caption = "Potvrda brisanja";
      box.icon = Icon::kQuestion;
      box.buttons = kButtonOk | kButtonCancel;
      box.defaultButton = kButtonCancel;
      box.text = "Brisati ću odabrani slog.  Pritisnite OK za potvrdu brisanja.";
      break;
    case StandardMessageId::kTransactionFramingError:
      box.caption = "Transaction Framing Error";
      box.text = "Error: (" + ed + ") attempting to frame the " + t1 + " transaction on " + t2 +
                 ".  " + t1 + " transaction cancelled.";
      break;
    case StandardMessageId::kRecordRetrievalError:
      box.caption = "Record Retrieval Error";
      box.text = "Error: (" + ed + ") attempting to access a record from the " + t1 +
                 " file.  Returning to previous window.";
      break;
    case StandardMessageId::kViewOpenError:
      box.caption = "View Open Error";
      box.text = "Error: (" + ed +
                 ") attempting to open the current VIEW. Filter and Range Limits ignored.";
      break;
    default:
      return 0;
  }

  platform::MessageSpec boxSpec;
  boxSpec.text = box.text;
  boxSpec.caption = box.caption;
  boxSpec.icon = box.icon;
  boxSpec.buttons = box.buttons;
  boxSpec.defaultButton = box.defaultButton;
  boxSpec.modality = platform::Modality::kApplication;
  const unsigned pressed = program.ui.Message(boxSpec);

  if (box.endText) {
    program.End(box.endText);
  } else if (id == StandardMessageId::kInvalidKey && pressed == kButtonNo) {
    program.End("Invalid Key!");
  }
  return pressed;
}

}  // namespace verdan::app
