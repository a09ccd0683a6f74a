#include "archive/archive_runs.h"

#include <filesystem>

#include "app/tables.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace verdan::archive {
namespace {

using platform::CutChars;
using platform::TrimRightCopy;

constexpr const char* kWeekdayNames[7] = {"NEDJELJA", "PONEDJELJAK", "UTORAK", "SRIJEDA",
                                          "CETVRTAK", "PETAK",       "SUBOTA"};
constexpr const char* kWeekdayCodes[7] = {"NED", "PON", "UTO", "SRI", "CET", "PET", "SUB"};

int WeekdayIndex(std::int64_t dayCount) {
  int w = static_cast<int>(dayCount % 7);
  return w < 0 ? w + 7 : w;
}

std::string Composed(const std::string& path) { return CutChars(path, kPathLength); }

// A directory setting as a native path, trailing blanks removed.
std::string NativeSetting(const std::string& setting) {
  return platform::NativePath(TrimRightCopy(setting));
}

void BackToStartDirectory(app::Program& program) {
  platform::ChangeDirectory(TrimRightCopy(program.StartDirectory));
}

// Step 4 of the archiving-window runs and step 2 of the browse runs: keep the archive as it
// was before this run. The copy's result is not looked at: a failed copy leaves the earlier
// second copy as it was.
void KeepSecondCopy(app::Program& program, ArchiveShared& shared) {
  const std::string& archive = program.buffers.ZIPARCHIVE;
  if (shared.zip.FILE_EXISTS(archive)) shared.zip.COPY_FILE(archive, shared.SecondCopyPath);
}

void ShowError(app::Program& program, std::int32_t result) {
  ShowRunMessage(program, kErrorPrefix + std::to_string(result));
}

bool PackAndReport(app::Program& program, ArchiveShared& shared) {
  platform::ChangeDirectory(NativeSetting(program.run.POCDIR));  // a failure is not reported
  if (shared.zip.LSZIP_INCLUDE(shared.IncludePattern) == 0)
    ShowRunMessage(program, kNothingToArchiveText);
  shared.ZipResult = shared.zip.LSZIP_EXECUTE(program.buffers.ZIPARCHIVE, kActionNew, 1, 145);
  bool succeeded = shared.ZipResult >= 0;
  if (succeeded)
    ShowRunMessage(program, kArchiveSuccessText, kNoticeCaption, platform::Icon::kExclamation);
  else
    ShowError(program, shared.ZipResult);
  program.buffers.AKTIVNAARHIVA = CutChars(program.buffers.ZIPARCHIVE, 200);
  BackToStartDirectory(program);
  return succeeded;
}

void ClosingMessage(app::Program& program) {
  ShowRunMessage(program, kBrowseClosingText, kNoticeCaption, platform::Icon::kExclamation);
}

}  // namespace

const char* WeekdayName(std::int64_t dayCount) { return kWeekdayNames[WeekdayIndex(dayCount)]; }
const char* WeekdayCode(std::int64_t dayCount) { return kWeekdayCodes[WeekdayIndex(dayCount)]; }

void ShowRunMessage(app::Program& program, const std::string& text, const std::string& caption,
                    platform::Icon icon) {
  platform::MessageSpec boxSpec;
  boxSpec.text = text;
  boxSpec.caption = caption;
  boxSpec.icon = icon;
  boxSpec.buttons = platform::kButtonOk;
  boxSpec.defaultButton = platform::kButtonOk;
  program.ui.Message(boxSpec);
}

void BuildArchiveName(const std::string& TIP_ARH, std::int64_t today, std::string& IMEARHIVE) {
  std::string mode = TrimRightCopy(TIP_ARH);
  platform::CivilDate date = platform::DateFromDayCount(today);
  std::string dmy =
      std::to_string(date.day) + std::to_string(date.month) + std::to_string(date.year);
  if (mode == "dan")
    IMEARHIVE = WeekdayName(today);
  else if (mode == "dat")
    IMEARHIVE = dmy;
  else if (mode == "mix")
    IMEARHIVE = WeekdayCode(today) + dmy;
  IMEARHIVE = platform::FitField(IMEARHIVE, kBaseNameLength);
}

bool ExternalDiskRun(app::Program& program, ArchiveShared& shared, std::string& IMEARHIVE) {
  std::lock_guard lock(shared.runLock);
  shared.zip.SetProgress(&program.ui);
  if (platform::IsBlank(program.run.OZNAKAARHIVDISKA)) {
    ShowRunMessage(program, kNoDiskLetterText, kNoDiskLetterCaption, platform::Icon::kExclamation);
    return false;
  }
  BuildArchiveName(program.run.TIP_ARH, platform::GetClock().Today(), IMEARHIVE);
  std::string base = platform::DriveRoot(program.run.OZNAKAARHIVDISKA[0]) +
                     platform::kSeparator + TrimRightCopy(IMEARHIVE);
  program.buffers.ZIPARCHIVE = Composed(base + ".zip");
  shared.SecondCopyPath = Composed(base + "_2_.zip");
  KeepSecondCopy(program, shared);
  shared.IncludePattern = "*.tps";
  return PackAndReport(program, shared);
}

// The destination is a prefix as stored ("arhiva/dnevni_" gives "arhiva/dnevni_PETAK.zip").
// A destination that names an existing directory without a closing separator, as the
// directory dialog returns it, gets the separator: the archive belongs inside the chosen
// directory, not beside it under a name glued to the directory's.
std::string DestinationPrefix(const std::string& ZAVDIR) {
  std::string prefix = NativeSetting(ZAVDIR);
  std::error_code ec;
  if (!prefix.empty() && !platform::EndsWithSeparator(prefix) &&
      std::filesystem::is_directory(prefix, ec))
    prefix += platform::kSeparator;
  return prefix;
}

bool DestinationRun(app::Program& program, ArchiveShared& shared, std::string& IMEARHIVE) {
  std::lock_guard lock(shared.runLock);
  shared.zip.SetProgress(&program.ui);
  BuildArchiveName(program.run.TIP_ARH, platform::GetClock().Today(), IMEARHIVE);
  std::string base = DestinationPrefix(program.run.ZAVDIR) + TrimRightCopy(IMEARHIVE);
  program.buffers.ZIPARCHIVE = Composed(base + ".zip");
  shared.SecondCopyPath = Composed(base + "_2_.zip");
  KeepSecondCopy(program, shared);
  shared.IncludePattern = "*.tps";
  return PackAndReport(program, shared);
}

void PackOnePattern(app::Program& program, ArchiveShared& shared) {
  const std::string& archive = program.buffers.ZIPARCHIVE;
  std::int32_t action = shared.zip.FILE_EXISTS(archive) ? kActionAdd : kActionNew;
  if (shared.zip.LSZIP_INCLUDE(shared.IncludePattern) == 0)
    ShowRunMessage(program, kNothingToArchiveText);
  shared.ZipResult = shared.zip.LSZIP_EXECUTE(archive, action, 1, 145);
  if (shared.ZipResult < 0) ShowError(program, shared.ZipResult);
}

void ArchiveEntries(app::Program& program, ArchiveShared& shared, Stamping stamping,
                    const BrowseHooks& hooks) {
  // The browses hold the list open; a caller without one gets it opened for the run.
  bool holds = false;
  if (program.datoteke.ReferenceCount == 0) {
    if (!app::OpenTable(program, program.datoteke)) return;
    holds = true;
  }
  ++program.datoteke.ReferenceCount;
  if (app::SetOrder(program, program.datoteke, platform::kRecordOrder) == 0) {
    while (app::NextRecord(program, program.datoteke) == 0) {
      if (stamping == Stamping::kStamp) {
        if (hooks.redraw) hooks.redraw();
        program.DAT.DATUM = static_cast<std::int32_t>(platform::GetClock().Today());
        app::PutRecord(program, program.datoteke);  // a failed write is not reported
      }
      // The list holds a file's path without its extension.
      shared.IncludePattern =
          platform::NativePath(CutChars(TrimRightCopy(program.DAT.IME) + ".tps", kPathLength));
      PackOnePattern(program, shared);
    }
  }
  if (--program.datoteke.ReferenceCount == 0 && holds) app::CloseTable(program.datoteke);
}

void DefinitionRun(app::Program& program, ArchiveShared& shared, int option,
                   const std::string& selectedPath, const BrowseHooks& hooks) {
  std::lock_guard lock(shared.runLock);
  shared.zip.SetProgress(&program.ui);
  program.buffers.ZIPARCHIVE = Composed(platform::NativePath(TrimRightCopy(selectedPath)));
  shared.SecondCopyPath = "OdPod#2.zip";
  KeepSecondCopy(program, shared);
  if (option == 1) {
    ArchiveEntries(program, shared, Stamping::kStamp, hooks);
  } else {
    shared.IncludePattern = "*.tps";
    PackOnePattern(program, shared);
  }
  ClosingMessage(program);
  // Record the day of this archiving in the definition; failures here are not reported.
  program.ARH.STAZA = platform::FitField(selectedPath, app::kArhStazaLength);
  if (app::GetRecord(program, program.arhive, app::ARH_KEYSTAZA) == 0) {
    program.ARH.DATUMARH = platform::GetClock().Today();
    app::PutRecord(program, program.arhive);
  }
  if (hooks.refresh) hooks.refresh();
}

void ListRun(app::Program& program, ArchiveShared& shared, const BrowseHooks& hooks) {
  std::lock_guard lock(shared.runLock);
  shared.zip.SetProgress(&program.ui);
  program.buffers.ZIPARCHIVE = "OdPodaci.zip";
  shared.SecondCopyPath = "OdPod#2.zip";
  KeepSecondCopy(program, shared);
  ArchiveEntries(program, shared, Stamping::kNone, hooks);
  ClosingMessage(program);
}

void WeekdayRun(app::Program& program, ArchiveShared& shared, int option,
                const BrowseHooks& hooks) {
  std::lock_guard lock(shared.runLock);
  shared.zip.SetProgress(&program.ui);
  program.buffers.ZIPARCHIVE =
      Composed(platform::CurrentDirectory() + platform::kSeparator +
               WeekdayName(platform::GetClock().Today()) + ".zip");
  shared.SecondCopyPath = "Arhiv#2.zip";
  KeepSecondCopy(program, shared);
  if (option == 1) {
    ArchiveEntries(program, shared, Stamping::kStamp, hooks);
  } else {
    shared.IncludePattern = "*.tps";
    PackOnePattern(program, shared);
  }
  ClosingMessage(program);
  if (hooks.refresh) hooks.refresh();
}

}  // namespace verdan::archive
