#include "archive/archive_runs.h"

#include <cctype>
#include <cstdio>
#include <filesystem>

#include "app/archive_definitions.h"
#include "app/archive_password.h"
#include "app/tables.h"
#include "archive/failure_text.h"
#include "archive/generations.h"
#include "archive/restore.h"
#include "archive/run_record.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "zip/temporaries.h"

namespace verdan::archive {
namespace {

using platform::CutChars;
using platform::TrimRightCopy;

// True when a composed path fits the run buffers (126 characters). A longer one is refused
// with a message before anything is written: cut, it would name another file.
bool FitsOrRefused(app::Program& program, const std::string& path) {
  if (platform::CharCount(path) <= kPathLength) return true;
  ShowRunMessage(program, kPathTooLongText + path);
  return false;
}

// A directory setting as a native path, trailing blanks removed.
std::string NativeSetting(const std::string& setting) {
  return platform::NativePath(TrimRightCopy(setting));
}

void BackToStartDirectory(app::Program& program) {
  platform::ChangeDirectory(TrimRightCopy(program.StartDirectory));
}

// Before a run reads the source directory it takes the directory's lock, held to the run's
// end: a restore into it waits for the run, and the run for a restore (a bounded time, then
// it is refused: a directory a restore is changing is never packed). Then what killed runs
// and restores left behind is dealt with: an interrupted restore of the source directory is
// undone (it must not be archived half done) and stale temporaries are removed where the run
// writes. False when the directory stayed busy (said).
bool TidyBeforeRun(app::Program& program, DirectoryLock& source,
                   std::initializer_list<std::string> paths) {
  if (!LockSourceDirectory(program, source)) return false;
  RepairInterruptedRestore(program, &source);
  for (const std::string& path : paths) RemoveStaleTemporaries(DirectoryOf(path));
  return true;
}

// The stored archive password goes to the Zip component before anything is written. It is
// read from the credentials file in the working directory, so before the run moves to the
// source directory. A file that cannot be trusted stops the run with its reason: an archive
// meant to be encrypted is never written in the clear instead.
bool TakeArchivePassword(app::Program& program, ArchiveShared& shared) {
  std::string password, problem;
  const bool read = app::LoadArchivePassword(password, problem);
  shared.zip.SetArchivePassword(password);
  if (read) return true;
  ShowRunMessage(program, app::kArchivePasswordUnreadableText + problem);
  return false;
}

// Files the include left out (links are never followed, pipes and devices never read) are
// named to the user and in the log; the run goes on with the others.
void WarnOfSkipped(app::Program& program, ArchiveShared& shared) {
  const std::vector<std::string> skipped = shared.zip.TakeSkipped();
  if (skipped.empty()) return;
  std::string text = kSkippedText, log = kSkippedLogText;
  for (std::size_t i = 0; i < skipped.size(); ++i) {
    text += "|" + skipped[i];
    log += (i ? ", " : "") + skipped[i];
  }
  ShowRunMessage(program, text, kNoDiskLetterCaption, platform::Icon::kExclamation);
  RunRecord::Warn(log);
}

void ShowError(app::Program& program, ArchiveShared& shared, const FailureContext& context = {}) {
  ShowRunMessage(program, ErrorMessage(shared.ZipResult, shared.zip.LastFailure(), context));
}

bool PackAndReport(app::Program& program, ArchiveShared& shared, PendingSecondCopy& secondCopy,
                   const FailureContext& context, RunRecord* record) {
  platform::ChangeDirectory(NativeSetting(program.run.POCDIR));  // a failure is not reported
  if (shared.zip.LSZIP_INCLUDE(shared.IncludePattern) == 0)
    ShowRunMessage(program, kNothingToArchiveText);
  WarnOfSkipped(program, shared);
  shared.ZipResult = shared.zip.LSZIP_EXECUTE(program.buffers.ZIPARCHIVE, kActionNew, 1, 145);
  bool succeeded = shared.ZipResult >= 0;
  if (record) {
    record->SetArchive(program.buffers.ZIPARCHIVE);
    record->SetResult(succeeded, shared.ZipResult);
    if (succeeded) shared.writtenArchive = record->archive();
  }
  if (succeeded) {
    secondCopy.Commit();
    ShowRunMessage(program, kArchiveSuccessText, kNoticeCaption, platform::Icon::kExclamation);
  } else {
    ShowError(program, shared, context);
  }
  program.buffers.AKTIVNAARHIVA = CutChars(program.buffers.ZIPARCHIVE, 200);
  BackToStartDirectory(program);
  return succeeded;
}

// A letter that verdan.env does not map and whose default directory does not exist: when
// exactly one removable disk is mounted the way desktops mount them, it is offered (by
// name) instead. False when the user declined it.
bool OfferRemovableDisk(app::Program& program, char letter, std::string& root) {
  std::error_code ec;
  if (platform::DriveLetterMapped(letter) || std::filesystem::is_directory(root, ec)) return true;
  const std::vector<std::string> disks = platform::RemovableDiskMounts();
  if (disks.size() != 1) return true;
  platform::MessageSpec offer;
  offer.text = std::string("Disk ") + letter +
               ": nije naveden u odjeljku [Diskovi] datoteke verdan.env, a " + root +
               " ne postoji.|Priključen je jedan vanjski disk: " + disks.front() +
               "|Arhivirati na njega?";
  offer.caption = kNoticeCaption;
  offer.icon = platform::Icon::kQuestion;
  offer.buttons = platform::kButtonYes | platform::kButtonNo;
  offer.defaultButton = platform::kButtonYes;
  if (program.ui.Message(offer) != platform::kButtonYes) return false;
  root = disks.front();
  return true;
}

// With a number of generations set, the run's older archives of the same naming beyond it
// go once the new archive is in place; the user is told which.
void KeepGenerations(app::Program& program, const std::string& prefix) {
  const int keep = KeptGenerations();
  if (keep <= 0) return;
  std::vector<std::string> removed = PruneGenerations(prefix, TrimRightCopy(program.run.TIP_ARH),
                                                      keep, program.buffers.ZIPARCHIVE);
  if (removed.empty()) return;
  std::string text = kGenerationsRemovedText + std::to_string(keep) + "):";
  for (const std::string& path : removed) text += "|" + path;
  ShowRunMessage(program, text, kNoticeCaption, platform::Icon::kInformation);
}

void ClosingMessage(app::Program& program) {
  ShowRunMessage(program, kBrowseClosingText, kNoticeCaption, platform::Icon::kExclamation);
}

}  // namespace

PendingSecondCopy::PendingSecondCopy(ZipComponent& zip, const std::string& archive,
                                     const std::string& secondCopy) {
  if (!zip.FILE_EXISTS(archive)) return;
  // Both names are fixed now: the run changes the current directory before it commits.
  destination_ = secondCopy;
  if (!platform::IsAbsolutePath(destination_))
    destination_ = platform::CurrentDirectory() + platform::kSeparator + destination_;
  // A second name of the archive costs nothing; a file system without hard links, or a
  // second copy on another disk, gets a copy. Failing both, the earlier second copy stays.
  if (!LinkTemporary(archive, destination_, temp_) &&
      !CopyToTemporary(archive, destination_, temp_)) {
    temp_.clear();
    return;
  }
  // Stopped by a signal after the new archive is in place, the run still leaves this copy.
  std::string watched = archive;
  if (!platform::IsAbsolutePath(watched))
    watched = platform::CurrentDirectory() + platform::kSeparator + watched;
  PlaceOnTerminationIfReplaced(temp_, destination_, watched);
}

PendingSecondCopy::~PendingSecondCopy() {
  if (!temp_.empty()) DiscardTemporary(temp_);
}

void PendingSecondCopy::Commit() {
  if (!temp_.empty() && PlaceTemporary(temp_, destination_)) temp_.clear();
}

void ShowRunMessage(app::Program& program, const std::string& text, const std::string& caption,
                    platform::Icon icon) {
  RunRecord::Note(text);
  platform::MessageSpec boxSpec;
  boxSpec.text = text;
  boxSpec.caption = caption;
  boxSpec.icon = icon;
  boxSpec.buttons = platform::kButtonOk;
  boxSpec.defaultButton = platform::kButtonOk;
  program.ui.Message(boxSpec);
}

bool ExternalDiskRun(app::Program& program, ArchiveShared& shared, std::string& IMEARHIVE) {
  std::lock_guard lock(shared.runLock);
  RunRecord record("backup", TrimRightCopy(program.StartDirectory));
  shared.writtenArchive.clear();
  shared.zip.SetProgress(&program.ui);
  if (platform::IsBlank(program.run.OZNAKAARHIVDISKA)) {
    ShowRunMessage(program, kNoDiskLetterText, kNoDiskLetterCaption, platform::Icon::kExclamation);
    return false;
  }
  if (!TakeArchivePassword(program, shared)) return false;
  BuildArchiveName(program.run.TIP_ARH, platform::GetClock().Today(), IMEARHIVE);
  FailureContext context;
  context.diskLetter =
      static_cast<char>(std::toupper(static_cast<unsigned char>(program.run.OZNAKAARHIVDISKA[0])));
  context.diskRoot = platform::DriveRoot(program.run.OZNAKAARHIVDISKA[0]);
  if (!OfferRemovableDisk(program, context.diskLetter, context.diskRoot)) {
    record.Cancel();
    return false;
  }
  std::string base = context.diskRoot + platform::kSeparator + TrimRightCopy(IMEARHIVE);
  if (!FitsOrRefused(program, base + ".zip") || !FitsOrRefused(program, base + "_2_.zip"))
    return false;
  program.buffers.ZIPARCHIVE = base + ".zip";
  shared.SecondCopyPath = base + "_2_.zip";
  DirectoryLock source;
  if (!TidyBeforeRun(program, source, {program.buffers.ZIPARCHIVE})) return false;
  PendingSecondCopy secondCopy(shared.zip, program.buffers.ZIPARCHIVE, shared.SecondCopyPath);
  shared.IncludePattern = "*.tps";
  const bool succeeded = PackAndReport(program, shared, secondCopy, context, &record);
  if (succeeded) KeepGenerations(program, context.diskRoot + platform::kSeparator);
  return succeeded;
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
  RunRecord record("backup", TrimRightCopy(program.StartDirectory));
  shared.writtenArchive.clear();
  shared.zip.SetProgress(&program.ui);
  if (!TakeArchivePassword(program, shared)) return false;
  BuildArchiveName(program.run.TIP_ARH, platform::GetClock().Today(), IMEARHIVE);
  std::string base = DestinationPrefix(program.run.ZAVDIR) + TrimRightCopy(IMEARHIVE);
  if (!FitsOrRefused(program, base + ".zip") || !FitsOrRefused(program, base + "_2_.zip"))
    return false;
  program.buffers.ZIPARCHIVE = base + ".zip";
  shared.SecondCopyPath = base + "_2_.zip";
  DirectoryLock source;
  if (!TidyBeforeRun(program, source, {program.buffers.ZIPARCHIVE})) return false;
  PendingSecondCopy secondCopy(shared.zip, program.buffers.ZIPARCHIVE, shared.SecondCopyPath);
  shared.IncludePattern = "*.tps";
  const bool succeeded = PackAndReport(program, shared, secondCopy, {}, &record);
  if (succeeded) KeepGenerations(program, DestinationPrefix(program.run.ZAVDIR));
  return succeeded;
}

bool PackOnePattern(app::Program& program, ArchiveShared& shared) {
  const std::string& archive = program.buffers.ZIPARCHIVE;
  std::int32_t action = shared.zip.FILE_EXISTS(archive) ? kActionAdd : kActionNew;
  if (shared.zip.LSZIP_INCLUDE(shared.IncludePattern) == 0)
    ShowRunMessage(program, kNothingToArchiveText);
  WarnOfSkipped(program, shared);
  shared.ZipResult = shared.zip.LSZIP_EXECUTE(archive, action, 1, 145);
  if (shared.ZipResult < 0) ShowError(program, shared);
  return shared.ZipResult >= 0;
}

bool ArchiveEntries(app::Program& program, ArchiveShared& shared, Stamping stamping,
                    const BrowseHooks& hooks, std::int64_t* packed) {
  // The browses hold the list open; a caller without one gets it opened for the run.
  bool holds = false;
  bool written = false;
  if (program.datoteke.ReferenceCount == 0) {
    if (!app::OpenTable(program, program.datoteke)) return false;
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
      bool wrote = PackOnePattern(program, shared);
      if (wrote && packed != nullptr) *packed += shared.ZipResult;
      written = wrote || written;
    }
  }
  if (--program.datoteke.ReferenceCount == 0 && holds) app::CloseTable(program.datoteke);
  return written;
}

// The browse runs' packing: the listed files or the current directory's "*.tps". The second
// copy becomes the archive as it was before the run once the run has changed the archive.
void PackForBrowse(app::Program& program, ArchiveShared& shared, int option, Stamping stamping,
                   const BrowseHooks& hooks) {
  RunRecord record("backup", TrimRightCopy(program.StartDirectory));
  record.SetArchive(program.buffers.ZIPARCHIVE);
  if (!TakeArchivePassword(program, shared)) return;
  DirectoryLock source;
  if (!TidyBeforeRun(program, source, {program.buffers.ZIPARCHIVE, shared.SecondCopyPath})) {
    record.SetResult(false, kZipDirectoryBusy);
    return;
  }
  PendingSecondCopy secondCopy(shared.zip, program.buffers.ZIPARCHIVE, shared.SecondCopyPath);
  bool written;
  std::int64_t packed = 0;  // the files of every execute, not only the last one's
  if (option == 1) {
    written = ArchiveEntries(program, shared, stamping, hooks, &packed);
  } else {
    shared.IncludePattern = "*.tps";
    written = PackOnePattern(program, shared);
    if (written) packed = shared.ZipResult;
  }
  if (written) secondCopy.Commit();
  record.SetResult(written && shared.ZipResult >= 0, packed);
}

void DefinitionRun(app::Program& program, ArchiveShared& shared, int option,
                   const std::string& selectedPath, const BrowseHooks& hooks) {
  std::lock_guard lock(shared.runLock);
  shared.zip.SetProgress(&program.ui);
  std::string archive = platform::NativePath(TrimRightCopy(selectedPath));
  if (app::LandsAtRoot(archive)) {
    // A definition saved before such paths were refused (or written by another program):
    // nothing is written, and the definition keeps its date.
    ShowRunMessage(program, app::RootPathText(TrimRightCopy(selectedPath)));
    return;
  }
  if (FitsOrRefused(program, archive)) {
    program.buffers.ZIPARCHIVE = archive;
    shared.SecondCopyPath = "OdPod#2.zip";
    PackForBrowse(program, shared, option, Stamping::kStamp, hooks);
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
  PackForBrowse(program, shared, 1, Stamping::kNone, hooks);
  ClosingMessage(program);
}

void WeekdayRun(app::Program& program, ArchiveShared& shared, int option,
                const BrowseHooks& hooks) {
  std::lock_guard lock(shared.runLock);
  shared.zip.SetProgress(&program.ui);
  std::string archive = platform::CurrentDirectory() + platform::kSeparator +
                        WeekdayName(platform::GetClock().Today()) + ".zip";
  if (FitsOrRefused(program, archive)) {
    program.buffers.ZIPARCHIVE = archive;
    shared.SecondCopyPath = "Arhiv#2.zip";
    PackForBrowse(program, shared, option, Stamping::kStamp, hooks);
  }
  ClosingMessage(program);
  if (hooks.refresh) hooks.refresh();
}

}  // namespace verdan::archive
