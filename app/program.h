// Program-wide state: run settings, run buffers, the three tables with their record buffers
// and reference counts, the saved error, and the values lists and forms call each other by.
//
// One `Program` is created by main and handed to every window; a test builds a fresh one.
// As in the program's design, this state is shared by the window threads without a lock:
// consistency of the tables rests on the data layer. The record buffers hold UTF-8 text
// kept at the field's length in characters (see platform/text.h FitField).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/event_loop.h"
#include "platform/ui.h"

namespace verdan::platform {
class KeyedFile;
}

namespace verdan::app {

// Record of table `arhive` (stored name ARHIVE): archive definitions.
struct ArhRecord {
  std::uint16_t ID = 0;
  std::string NAZIV;          // STRING(30)
  std::string DISK;           // STRING(2)
  std::string STAZA;          // STRING(100)
  std::int64_t DATUMARH = 0;  // DATE, held as a day count; 0 means no date
  std::string NAREDU;         // STRING(2)
  std::string STATUS;         // STRING(30)
};

// Record of table `datoteke` (stored name DATOTEKE): files for selective archiving.
struct DatRecord {
  std::string IME;  // STRING(100)
  std::uint16_t ID = 0;
  std::string STATUS;      // STRING(5)
  std::int32_t DATUM = 0;  // day count of the last archiving
  std::string FLAG;        // STRING(10)
};

// Record of table `email` (stored name PEMAIL): run settings and SMTP settings.
struct PemRecord {
  std::uint8_t ID = 0;           // DECIMAL(1)
  std::string OZNAKAARHIVDISKA;  // STRING(2)
  std::string POCDIR;            // STRING(255)
  std::string ZAVDIR;            // STRING(255)
  std::string TIP_ARH;           // STRING(20)
  std::string USER;              // STRING(255)
  std::string PASSWORD;          // STRING(255)
  std::string PPORT;             // STRING(10)
  std::string SSERVER;           // STRING(255)
  std::string REPLYTO;           // STRING(255)
  std::string FROM;              // STRING(255)
  std::string TOFIELD;           // STRING(255)
  std::string CC;                // STRING(255)
  std::string BCC;               // STRING(255)
  std::string SUBJECT;           // STRING(255)
};

// Run settings, blank-padded to their lengths.
struct RunSettings {
  std::string POCDIR = std::string(127, ' ');          // source directory
  std::string ZAVDIR = std::string(127, ' ');          // destination directory, a prefix
  std::string OZNAKAARHIVDISKA = std::string(1, ' ');  // external disk letter
  std::string TIP_ARH = std::string(3, ' ');           // "dan", "dat" or "mix"
};

// Run buffers.
struct RunBuffers {
  std::string ZIPARCHIVE;     // archive of the current run or restore, at most 126 characters
  std::string AKTIVNAARHIVA;  // the active archive, at most 200 characters
};

// Saved error slots (written by SaveFileError, consumed by ShowStandardMessage).
struct SavedError {
  std::int32_t code = 0;
  std::string text;
  std::int32_t driverCode = 0;
  std::string driverText;
};

// One of the program's tables: its open file and the number of procedures holding it.
struct TableSlot {
  std::string storedName;  // "ARHIVE", "DATOTEKE", "PEMAIL"
  std::string label;       // "arhive", "datoteke", "email"
  std::unique_ptr<platform::KeyedFile> file;
  std::int32_t ReferenceCount = 0;
  TableSlot(std::string stored, std::string lbl);
  ~TableSlot();
};

class Program {
 public:
  explicit Program(platform::Ui& ui);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  platform::Ui& ui;

  std::string StartDirectory;   // the working directory found at start-up
  std::string archivePassword;  // the built-in archive password
  RunSettings run;
  RunBuffers buffers;

  ArhRecord ARH;
  DatRecord DAT;
  PemRecord PEM;
  TableSlot arhive{"ARHIVE", "arhive"};
  TableSlot datoteke{"DATOTEKE", "datoteke"};
  TableSlot email{"PEMAIL", "email"};

  // Held while the e-mail record is read or written through PEM (settings loads and saves
  // from several windows at once): the record buffer and the run settings it fills are
  // shared by every window thread.
  std::recursive_mutex emailRecordMutex;

  SavedError savedError;
  std::int32_t CallRequest = 0;   // 1 insert, 2 change, 3 delete, 4 select
  std::int32_t CallResponse = 0;  // 1 completed, 2 cancelled

  // Window threads started by the frame and its windows; closed and joined at the end.
  platform::WindowThreads windows;

  // Ending the program. A table that cannot be opened ends the program: `End` shows the
  // end text in a box, remembers it and marks the program ended; every caller checks
  // `Ended()` and unwinds, and main returns a non-zero status. The first end text wins.
  void End(const std::string& text);
  bool Ended() const { return ended_.load(); }
  std::string EndText() const;

 private:
  std::atomic<bool> ended_{false};
  mutable std::mutex endMutex_;
  std::string endText_;
};

}  // namespace verdan::app
