#include "app/messages.h"

#include <gtest/gtest.h>

#include "platform/keyed_file.h"
#include "platform/text.h"
#include "support/scripted_ui.h"

namespace verdan::app {
namespace {

using platform::Icon;
using platform::kButtonCancel;
using platform::kButtonNo;
using platform::kButtonOk;
using platform::kButtonRetry;
using platform::kButtonYes;
using testing::ScriptedUi;

class MessagesTest : public ::testing::Test {
 protected:
  MessagesTest() {
    // Leaves the thread's data-layer status clear (a successful call).
    platform::KeyedFile idle({"IDLE", {}, {}});
    idle.SendCommand("Recover=1");
  }
  ScriptedUi ui;
  Program program{ui};

  void Save(int code, const std::string& text, int driverCode = 0,
            const std::string& driverText = "") {
    program.savedError = {code, text, driverCode, driverText};
  }
  platform::MessageSpec Show(StandardMessageId id, const std::string& t1 = {},
                             const std::string& t2 = {}) {
    ShowStandardMessage(program, id, t1, t2);
    auto m = ui.Messages();
    EXPECT_FALSE(m.empty());
    return m.empty() ? platform::MessageSpec{} : m.back();
  }
};

TEST_F(MessagesTest, ErrorDescriptionFromSavedSlotsThenCleared) {
  Save(40, "Creates Duplicate Key   ");
  int captured = -1;
  EXPECT_EQ(ErrorDescription(program, nullptr, &captured), "Creates Duplicate Key (40)");
  EXPECT_EQ(captured, 40);
  EXPECT_EQ(program.savedError.code, 0);
  EXPECT_EQ(program.savedError.driverCode, 0);
  EXPECT_TRUE(platform::IsBlank(program.savedError.text));
  // Nothing pending: an empty text and code 0.
  EXPECT_EQ(ErrorDescription(program, nullptr, &captured), " (0)");
  EXPECT_EQ(captured, 0);
  // A driver error is described by the driver's own text and code.
  Save(90, "File System Error", 13, "database or disk is full  ");
  EXPECT_EQ(ErrorDescription(program, nullptr), "database or disk is full (13)");
  // Cut at 150 characters.
  Save(90, "File System Error", 1, std::string(200, 'x'));
  EXPECT_EQ(ErrorDescription(program, nullptr), std::string(150, 'x'));
}

TEST_F(MessagesTest, ErrorDescriptionFallsBackOnTheTablesCurrentError) {
  TableSlot slot{"PROBA", "proba"};
  slot.file = std::make_unique<platform::KeyedFile>(platform::TableLayout{"PROBA", {}, {}});
  platform::Record r;
  ASSERT_EQ(slot.file->Next(r), platform::kFileNotOpen);
  EXPECT_EQ(ErrorDescription(program, &slot), "File Not Open (37)");
  // Without a table: the thread's last data-layer error.
  EXPECT_EQ(ErrorDescription(program, nullptr), "File Not Open (37)");
  // A saved error wins over the current one.
  Save(33, "Record Not Available");
  EXPECT_EQ(ErrorDescription(program, &slot), "Record Not Available (33)");
}

TEST_F(MessagesTest, EveryMessageTextCaptionAndButtons) {
  struct Case {
    StandardMessageId id;
    std::string t1, t2;
    std::string caption;
    Icon icon;
    unsigned buttons, def;
    std::string text;
  };
  const std::string ed = "Creates Duplicate Key (40)";
  const Case cases[] = {
      {StandardMessageId::kRecordInsertError, "", "", "Record Insert Error", Icon::kExclamation,
       kButtonOk, kButtonOk,
       "An error was experienced during the update of record.  Error: " + ed + "."},
      {StandardMessageId::kUpdateOperationError, "arhive  ", "", "Update Operation Error",
       Icon::kExclamation, kButtonOk, kButtonOk,
       "An error (" + ed +
           ") was experienced when attempting to update a record from the file.  Probable "
           "Cause: arhive."},
      {StandardMessageId::kRecordUpdateError, "", "", "Record Update Error", Icon::kExclamation,
       kButtonYes | kButtonNo | kButtonCancel, kButtonCancel,
       "An error was experienced changing this record.  Do you want to try to save again?"},
      {StandardMessageId::kDeleteOperationError, "datoteke", "", "Delete Operation Error",
       Icon::kExclamation, kButtonOk, kButtonOk,
       "An error (" + ed +
           ") was experienced when attempting to delete a record from the file datoteke."},
      {StandardMessageId::kRecordDeleteError, "", "", "Record Update Error", Icon::kExclamation,
       kButtonYes | kButtonNo | kButtonCancel, kButtonCancel,
       "An error was experienced deleting this record.  Do you want to try to save again?"},
      {StandardMessageId::kDuplicateKey, "ARH:KeyNaziv", "", "Greška dupliciranja",
       Icon::kExclamation, kButtonOk, kButtonOk,
       "Već postoji slog sa ovom vrijednosti za ključ:ARH:KeyNaziv"},
      {StandardMessageId::kAutoIncrementError, "", "", "Auto Increment Error", Icon::kExclamation,
       kButtonRetry | kButtonCancel, kButtonCancel,
       "Attempts to automatically number this record have failed.  Error: " + ed + "."},
      {StandardMessageId::kFileOpenError, "ARHIVE", "", "Greška pri otvaranju datoteke",
       Icon::kExclamation, kButtonOk, kButtonOk,
       "Datoteka (ARHIVE) se ne može otvoriti.  Greška: " + ed + "."},
      {StandardMessageId::kConfirmDelete, "", "", "Potvrda brisanja", Icon::kQuestion,
       kButtonOk | kButtonCancel, kButtonCancel,
       "Brisati ću odabrani slog.  Pritisnite OK za potvrdu brisanja."},
      {StandardMessageId::kTransactionFramingError, "Update", "arhive", "Transaction Framing Error",
       Icon::kExclamation, kButtonOk, kButtonOk,
       "Error: (" + ed +
           ") attempting to frame the Update transaction on arhive.  Update transaction "
           "cancelled."},
      {StandardMessageId::kRecordRetrievalError, "datoteke", "", "Record Retrieval Error",
       Icon::kExclamation, kButtonOk, kButtonOk,
       "Error: (" + ed +
           ") attempting to access a record from the datoteke file.  Returning to previous "
           "window."},
      {StandardMessageId::kViewOpenError, "", "", "View Open Error", Icon::kExclamation, kButtonOk,
       kButtonOk,
       "Error: (" + ed + ") attempting to open the current VIEW. Filter and Range Limits ignored."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.id));
    Save(40, "Creates Duplicate Key");
    auto m = Show(c.id, c.t1, c.t2);
    EXPECT_EQ(m.text, c.text);
    EXPECT_EQ(m.caption, c.caption);
    EXPECT_EQ(m.icon, c.icon);
    EXPECT_EQ(m.buttons, c.buttons);
    EXPECT_EQ(m.defaultButton, c.def);
    EXPECT_EQ(m.modality, platform::Modality::kApplication);
    EXPECT_FALSE(program.Ended());
    EXPECT_EQ(program.savedError.code, 0);
  }
}

TEST_F(MessagesTest, RecordChangedReadsTheSameWhateverTheCallerPassed) {
  Save(89, "Record Changed By Another Station");
  EXPECT_EQ(Show(StandardMessageId::kUpdateOperationError, "arhive").text,
            "This record was changed by another station.");
  // With no error at all the same text.
  EXPECT_EQ(Show(StandardMessageId::kUpdateOperationError, "arhive").text,
            "This record was changed by another station.");
}

TEST_F(MessagesTest, MessagesThatEndTheProgram) {
  struct Case {
    StandardMessageId id;
    std::string caption, text, endText;
  };
  const Case cases[] = {
      {StandardMessageId::kFileBad, "Datoteka ne valja",
       "Greška: (Invalid Record Declaration (47)) otvaram ARHIVE.  Pritisni OK da zatvoriš "
       "aplikaciju.",
       "Datoteka ne valja!"},
      {StandardMessageId::kKeyRebuildError, "Key Rebuild Error",
       "Error: (Invalid Record Declaration (47)) repairing key for ARHIVE.  Press OK to end this "
       "application.",
       "Error Rebuilding Key!"},
      {StandardMessageId::kFileCreationError, "File Creation Error",
       "Error: (Invalid Record Declaration (47)) creating ARHIVE.  Press OK to end this "
       "application.",
       "File Creation Error!"},
      {StandardMessageId::kCreatedFileOpenError, "File Creation Error",
       "Error: (Invalid Record Declaration (47)) opening created file:ARHIVE.  Press OK to end "
       "this application.",
       "File Creation Error!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.endText);
    ScriptedUi u;
    Program p{u};
    p.savedError = {47, "Invalid Record Declaration", 0, ""};
    EXPECT_EQ(ShowStandardMessage(p, c.id, "ARHIVE"), kButtonOk);
    ASSERT_EQ(u.Messages().size(), 2u);  // the box, then the end text
    EXPECT_EQ(u.Messages()[0].caption, c.caption);
    EXPECT_EQ(u.Messages()[0].text, c.text);
    EXPECT_TRUE(p.Ended());
    EXPECT_EQ(p.EndText(), c.endText);
    EXPECT_EQ(u.Texts()[1], c.endText);
  }
}

TEST_F(MessagesTest, InvalidKeyQuestionEndsOnlyOnNo) {
  auto m = Show(StandardMessageId::kInvalidKey, "DATOTEKE ");
  EXPECT_EQ(m.text, "DATOTEKE key file is invalid.  Do you want to rebuild the key?");
  EXPECT_EQ(m.caption, "Invalid Key");
  EXPECT_EQ(m.icon, Icon::kQuestion);
  EXPECT_EQ(m.buttons, kButtonYes | kButtonNo);
  EXPECT_EQ(m.defaultButton, kButtonYes);
  EXPECT_FALSE(program.Ended());  // default answer Yes

  ui.QueueAnswer(kButtonNo);
  EXPECT_EQ(ShowStandardMessage(program, StandardMessageId::kInvalidKey, "DATOTEKE"), kButtonNo);
  EXPECT_TRUE(program.Ended());
  EXPECT_EQ(program.EndText(), "Invalid Key!");
}

}  // namespace
}  // namespace verdan::app
