// The archive runs: the two runs of the archiving window (to the external disk and to the
// destination directory), the three runs of the browse windows (by archive definition, by
// file list, by weekday) and the second copy kept of every archive before it is written
// again. The names the runs give their archives are built in naming.h.
//
// The second copy holds the archive as it was before the latest run that wrote it. It is
// prepared before packing (a second name of the archive, or a copy) and takes its place only
// once the new archive is verified and in place: a run that fails leaves both the archive and
// the earlier second copy as they were; a run killed between placing the two leaves the
// second name, which the next run puts in place. An archive path longer than the run buffers hold
// is refused before anything is written. Before a run reads the source directory it takes the
// directory's lock for its whole length (`DirectoryLock`, the one restores hold): it waits a
// bounded time for a restore or run of another process there, then refuses with a message, so
// that it never packs files a restore is changing. Then an interrupted restore of the source
// directory is undone and stale temporaries are removed where the run writes.
//
// Thread-safety: the runs share the program-wide run settings and buffers and one Zip
// component. One run (or restore, or archive choice) executes at a time: each takes the
// `ArchiveShared::runLock` for its whole length, so a run started from a second window waits
// for the first one's last message to be closed, and no two runs write the same archive or
// change the current directory under each other.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "app/program.h"
#include "archive/naming.h"
#include "platform/clock.h"
#include "zip/zip_component.h"

namespace verdan::archive {

// Longest composed path (characters) the run buffers hold; a longer one is refused.
constexpr std::size_t kPathLength = 126;

// The archive runs' shared part: run buffers besides those in Program, the Zip component
// with its queue and unzip settings, and the lock that runs one run at a time. One per
// program; a test builds its own.
struct ArchiveShared {
  ZipComponent zip;
  std::string IncludePattern;  // at most 126 characters
  std::string SecondCopyPath;  // at most 126 characters
  std::int32_t ZipResult = 0;
  std::string
      writtenArchive;  // the archive the last weekday/date run wrote, absolute; empty if none
  std::mutex runLock;
};

// Texts of the runs' messages.
inline constexpr const char* kNoDiskLetterText = "Nisi odabrao oznaku vanjskog diska";
inline constexpr const char* kNoDiskLetterCaption = "Pažnja!!!";
inline constexpr const char* kNothingToArchiveText =
    "Nema ništa za arhiviranje u tekućem direktoriju !";
inline constexpr const char* kErrorPrefix = "GREŠKA : ";
inline constexpr const char* kArchiveSuccessText = " Arhiviranje uspješno završilo !";
inline constexpr const char* kBrowseClosingText = " ARHIVIRANJE ZAVRŠILO !";
inline constexpr const char* kNoticeCaption = " OBAVIJEST !";
// Followed by the files an include left out (symbolic links and other files that are not
// regular), one a line.
inline constexpr const char* kSkippedText =
    "Preskočeno (simbolička veza ili nije obična datoteka), ne arhivira se:";
inline constexpr const char* kSkippedLogText = "preskočeno (nije obična datoteka): ";
// Followed by the path that does not fit.
inline constexpr const char* kPathTooLongText =
    "Putanja arhive je preduga (najviše 126 znakova), ništa nije zapisano:|";

// Said after a run that removed older generations, followed by the number kept and the
// removed files.
inline constexpr const char* kGenerationsRemovedText = "Uklonjene su starije arhive (zadržava se ";

// The archiving window's runs. `IMEARHIVE` is the window's base name. Each returns true when
// the success message " Arhiviranje uspješno završilo !" was shown.
bool ExternalDiskRun(app::Program& program, ArchiveShared& shared, std::string& IMEARHIVE);
bool DestinationRun(app::Program& program, ArchiveShared& shared, std::string& IMEARHIVE);

// What the browse windows let a run do to them while it works.
struct BrowseHooks {
  std::function<void()> redraw;   // show the record just read (stamping runs)
  std::function<void()> refresh;  // reread the list after the run
};

enum class Stamping { kNone, kStamp };

// The browse runs. `option` is the browse's "Arhiviraj" option: 0 the working directory's
// "*.tps", 1 the files of the `datoteke` list. `selectedPath` is ARH:STAZA of the selected
// archive definition.
void DefinitionRun(app::Program& program, ArchiveShared& shared, int option,
                   const std::string& selectedPath, const BrowseHooks& hooks = {});
void ListRun(app::Program& program, ArchiveShared& shared, const BrowseHooks& hooks = {});
void WeekdayRun(app::Program& program, ArchiveShared& shared, int option,
                const BrowseHooks& hooks = {});

// Pieces of the runs, for callers that already hold `runLock`. Each returns true when the
// archive was written (by at least one execute). `ArchiveEntries` packs each listed file
// with an execute of its own and adds the files they wrote to `packed` when given.
bool PackOnePattern(app::Program& program, ArchiveShared& shared);
bool ArchiveEntries(app::Program& program, ArchiveShared& shared, Stamping stamping,
                    const BrowseHooks& hooks = {}, std::int64_t* packed = nullptr);

// The archive as it is before a run, kept under a temporary name beside the second copy
// until `Commit` makes it the second copy; dropped if the run never commits. Nothing is kept
// when there is no archive yet.
class PendingSecondCopy {
 public:
  PendingSecondCopy(ZipComponent& zip, const std::string& archive, const std::string& secondCopy);
  ~PendingSecondCopy();
  PendingSecondCopy(const PendingSecondCopy&) = delete;
  PendingSecondCopy& operator=(const PendingSecondCopy&) = delete;
  void Commit();

 private:
  std::string destination_;
  std::string temp_;
};

// Shows a message box with one OK button.
void ShowRunMessage(app::Program& program, const std::string& text, const std::string& caption = {},
                    platform::Icon icon = platform::Icon::kNone);

}  // namespace verdan::archive
