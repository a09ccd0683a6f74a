// The ui port: what window logic needs from the user's screen, without knowing how it is
// drawn. Realisations: Qt (gui/), console (cli/), scripted (tests/support/).
//
// Every call may be made from any window thread. A call that needs the user (a message box,
// a dialog) blocks the calling thread until the user answers, as a modal box blocks its own
// window and no other; realisations are thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace verdan::platform {

// Button values of a message box, as the program's messages use them.
enum Button : unsigned {
  kButtonOk = 1,
  kButtonYes = 2,
  kButtonNo = 4,
  kButtonAbort = 8,
  kButtonRetry = 16,
  kButtonIgnore = 32,
  kButtonCancel = 64,
};

enum class Icon { kNone, kExclamation, kQuestion, kInformation, kHand };

enum class Modality { kApplication, kSystem };

struct MessageSpec {
  std::string text;     // "|" starts a new line
  std::string caption;  // empty: the platform's default caption
  Icon icon = Icon::kNone;
  // Either a mask of Button values, or named buttons separated by "|" ("&Raspakiraj|&Odustani").
  unsigned buttons = kButtonOk;
  std::string namedButtons;
  // The default button: a Button value, or with named buttons the 1-based index.
  unsigned defaultButton = kButtonOk;
  Modality modality = Modality::kApplication;
};

struct FileOpenSpec {
  std::string title;
  std::string filter;                  // "name|pattern|name|pattern..." as "Zip datoteke|*.zip"
  std::string startPath;               // directory or file the dialog starts from
  std::size_t nameBufferLength = 260;  // longest path the caller can hold
  bool multiSelect = false;
  bool keepCurrentDirectory = true;  // false: the chosen file's directory becomes current
};

// A password dialog: a title and what is asked ("|" starts a new line); what is typed is not
// shown.
struct PasswordSpec {
  std::string title;
  std::string text;
};

struct ProgressInfo {
  std::string what;  // the file or step being worked on
  std::int64_t filesDone = 0;
  std::int64_t filesTotal = 0;
  std::int64_t bytesDone = 0;
  std::int64_t bytesTotal = 0;
  bool finished = false;
};

class Ui {
 public:
  virtual ~Ui() = default;

  // Shows a message box and returns the pressed Button value (with named buttons: the
  // 1-based index of the pressed one).
  virtual unsigned Message(const MessageSpec& boxSpec) = 0;

  // File-open dialog. Returns the chosen paths, empty when the user cancelled.
  virtual std::vector<std::string> FileOpen(const FileOpenSpec& dialog) = 0;

  // Directory dialog. Returns true and sets `path` when the user chose one.
  virtual bool ChooseDirectory(const std::string& title, std::string& path,
                               std::size_t nameBufferLength) = 0;

  // Asks for a password, the typed characters hidden. True with `password` set when the user
  // gave one (it may be empty); false when the user cancelled or nobody can be asked.
  virtual bool AskPassword(const PasswordSpec& dialog, std::string& password) = 0;

  // Wait cursor on or off for the calling window.
  virtual void SetWaitCursor(bool on) = 0;

  // Progress of a long run; `finished` ends the display.
  virtual void Progress(const ProgressInfo& info) = 0;
};

// Convenience: a box with only a text (the platform defaults for the rest).
unsigned ShowText(Ui& ui, const std::string& text);

}  // namespace verdan::platform
