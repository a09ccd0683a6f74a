// The archive runs: the two runs of the archiving window (to the external disk and to the
// destination directory), the three runs of the browse windows (by archive definition, by
// file list, by weekday), the archive naming, and the second copy kept of every archive
// before it is written again.
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
#include "archive/zip_component.h"

namespace verdan::archive {

// Longest composed path (characters); longer ones are cut.
constexpr std::size_t kPathLength = 126;
// Length of the window's base name IMEARHIVE.
constexpr std::size_t kBaseNameLength = 20;

// The archive runs' shared part: run buffers besides those in Program, the Zip component
// with its queue and unzip settings, and the lock that runs one run at a time. One per
// program; a test builds its own.
struct ArchiveShared {
  ZipComponent zip;
  std::string IncludePattern;  // at most 126 characters
  std::string SecondCopyPath;  // at most 126 characters
  std::int32_t ZipResult = 0;
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

// Weekday names and codes, Sunday first.
const char* WeekdayName(std::int64_t dayCount);
const char* WeekdayCode(std::int64_t dayCount);

// The base name for naming mode `TIP_ARH` (trailing blanks ignored) on day `today`: the full
// weekday name ("dan"), day, month and four-digit year without leading zeros ("dat"), or the
// weekday code followed by those ("mix"). Any other mode leaves `IMEARHIVE` as it was.
// `IMEARHIVE` is kept blank-padded to 20 characters.
void BuildArchiveName(const std::string& TIP_ARH, std::int64_t today, std::string& IMEARHIVE);

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

// Pieces of the runs, for callers that already hold `runLock`.
void PackOnePattern(app::Program& program, ArchiveShared& shared);
void ArchiveEntries(app::Program& program, ArchiveShared& shared, Stamping stamping,
                    const BrowseHooks& hooks = {});

// Shows a message box with one OK button.
void ShowRunMessage(app::Program& program, const std::string& text,
                    const std::string& caption = {},
                    platform::Icon icon = platform::Icon::kNone);

}  // namespace verdan::archive
