#include "archive/restore.h"

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "app/archive_password.h"
#include "app/run_log.h"
#include "app/tables.h"
#include "archive/failure_text.h"
#include "archive/run_record.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "zip/archive_check.h"
#include "zip/restore_commit.h"
#include "zip/verify.h"

namespace verdan::archive {
namespace {

constexpr std::size_t kNamesShown = 12;
constexpr const char* kProgramTables[] = {"ARHIVE.TPS", "DATOTEKE.TPS", "PEMAIL.TPS"};

// The restore's target: the source directory, whole (cut, it would name another directory).
std::string RestoreTarget(const app::Program& program) {
  return platform::NativePath(platform::TrimRightCopy(program.run.POCDIR));
}

std::string NameList(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size() && i < kNamesShown; ++i)
    out += (i ? ", " : "") + names[i];
  if (names.size() > kNamesShown) out += " i još " + std::to_string(names.size() - kNamesShown);
  return out;
}

}  // namespace

void RepairInterruptedRestore(app::Program& program, const DirectoryLock* held) {
  std::string target = RestoreTarget(program);
  RecoveryReport report;
  Recovery r = held != nullptr && held->held() ? RecoverInterruptedRestoreLocked(target, &report)
                                               : RecoverInterruptedRestore(target, &report);
  std::string text;
  switch (r) {
    case Recovery::kRolledBack:
      text = kRestoreUndoneText + target;
      if (!report.putBack.empty())
        text += "|" + std::string(kRestorePutBackText) + NameList(report.putBack);
      if (!report.leftAlone.empty())
        text += "|" + std::string(kRestoreLeftAloneText) + NameList(report.leftAlone);
      break;
    case Recovery::kFailed:
      text = kRestoreNotUndoneText + target + "/" + kRestoreJournalName;
      break;
    case Recovery::kRefused:
      text = kRestoreRefusedText + report.refused;
      break;
    case Recovery::kNothing:
    case Recovery::kBusy:
      return;
  }
  // The interrupted restore never wrote its line in the log of runs: this is it.
  app::RunLogEntry entry;
  entry.command = "restore";
  entry.reason = text;
  for (char& c : entry.reason)
    if (c == '|') c = ' ';
  std::string start = platform::TrimRightCopy(program.StartDirectory);
  app::AppendRunLog(entry, start.empty() ? std::string(app::kRunLogFile)
                                         : start + platform::kSeparator + app::kRunLogFile);
  if (r == Recovery::kRolledBack)
    ShowRunMessage(program, text, kNoticeCaption, platform::Icon::kExclamation);
  else
    ShowRunMessage(program, text, kRestoreWarningCaption, platform::Icon::kExclamation);
}

bool LockSourceDirectory(app::Program& program, DirectoryLock& lock) {
  std::string target = RestoreTarget(program);
  platform::FileInfo info;
  if (target.empty() || !platform::InfoAt(target, info) ||
      info.kind != platform::FileKind::kDirectory)
    return true;  // no directory to guard: the run reports what it finds
  if (lock.Take(target)) return true;
  if (errno == EWOULDBLOCK) {
    ShowRunMessage(program, kErrorPrefix + std::to_string(kZipDirectoryBusy) + "|" +
                                kDirectoryBusyText + target);
    return false;
  }
  return true;  // a directory that cannot be locked (no lock on its file system) is not refused
}

std::string RestoreWarningText(const std::string& archive, const std::string& target) {
  std::string text = kRestoreWarningText;
  std::vector<std::string> entries = MatchingEntryNames(archive, "*.tps");
  if (entries.empty()) return text;
  std::set<std::string> present;  // the working files, by upper-case name
  std::vector<std::string> listed;
  if (platform::ListDirectory(target, listed))
    for (const auto& name : listed) present.insert(platform::UpperCp1250(name));
  // Each file with its size and date, as the archive has them.
  std::map<std::string, std::string> details;
  std::vector<ArchiveEntryInfo> listing;
  std::string problem;
  if (ListArchive(archive, listing, problem))
    for (const ArchiveEntryInfo& e : listing)
      details[e.name] = " (" + SizeText(e.size) + ", " + EntryTimeText(e.modified) + ")";
  std::vector<std::string> replaced, added, tables;
  for (const auto& entry : entries) {
    std::string name = entry;
    std::replace(name.begin(), name.end(), '\\', '/');
    std::string upper = platform::UpperCp1250(name);
    bool there = name.find('/') == std::string::npos ? present.count(upper) > 0
                                                     : platform::Exists(target + "/" + name);
    (there ? replaced : added).push_back(name + details[entry]);
    for (const char* table : kProgramTables)
      if (upper == table) tables.push_back(name);
  }
  if (!replaced.empty())
    text += "||" + std::string(kWarningReplacesText) + target + ":|" + NameList(replaced);
  if (!added.empty()) text += "|" + std::string(kWarningAddsText) + "|" + NameList(added);
  if (!tables.empty()) {
    text += "|" + std::string(kWarningTablesText) + NameList(tables);
    for (const auto& t : tables)
      if (platform::UpperCp1250(t) == "PEMAIL.TPS") text += "|" + std::string(kWarningSettingsText);
  }
  return text;
}

std::vector<std::string> KnownArchivePasswords(const app::Program& program, std::string& problem) {
  std::vector<std::string> known;
  std::string stored;
  app::LoadArchivePassword(stored, problem);
  if (!stored.empty()) known.push_back(stored);
  if (program.archivePassword != stored) known.push_back(program.archivePassword);
  return known;
}

std::int32_t WithArchivePassword(app::Program& program,
                                 const std::function<std::int32_t(const std::string&)>& attempt) {
  std::int32_t result = kZipBadPassword;
  std::string problem;
  for (const std::string& password : KnownArchivePasswords(program, problem)) {
    result = attempt(password);
    if (result != kZipBadPassword) return result;
  }
  if (!problem.empty()) ShowRunMessage(program, kStoredPasswordUnreadableText + problem);
  for (int asked = 0; asked < kArchivePasswordAttempts; ++asked) {
    platform::PasswordSpec dialog;
    dialog.title = kArchivePasswordTitle;
    dialog.text = asked == 0 ? kAskArchivePasswordText : kAskArchivePasswordAgainText;
    std::string typed;
    if (!program.ui.AskPassword(dialog, typed) || typed.empty()) break;
    result = attempt(typed);
    if (result != kZipBadPassword) return result;
  }
  return result;
}

void ChooseArchive(app::Program& program, ArchiveShared& shared) {
  std::lock_guard lock(shared.runLock);
  std::string destination = platform::NativePath(platform::TrimRightCopy(program.run.ZAVDIR));
  platform::ChangeDirectory(destination);  // where the dialog opens; a failure is not reported
  program.buffers.ZIPARCHIVE.clear();

  platform::FileOpenSpec boxSpec;
  boxSpec.title = kChooseArchiveTitle;
  boxSpec.filter = kChooseArchiveFilter;
  boxSpec.startPath = platform::CurrentDirectory();
  boxSpec.nameBufferLength = kChooseArchiveNameLength;
  boxSpec.keepCurrentDirectory = false;
  std::vector<std::string> chosen = program.ui.FileOpen(boxSpec);
  if (!chosen.empty() && !chosen.front().empty()) {
    std::string path = chosen.front();
    if (!platform::IsAbsolutePath(path))
      path = platform::CurrentDirectory() + platform::kSeparator + path;
    // Cut, the name would point at another file: refused as a cancelled choice.
    if (platform::CharCount(path) <= kPathLength)
      program.buffers.ZIPARCHIVE = path;
    else
      ShowRunMessage(program, kArchiveNameTooLongText + path);
  }
  program.buffers.AKTIVNAARHIVA = platform::CutChars(program.buffers.ZIPARCHIVE, 200);
  platform::ChangeDirectory(platform::TrimRightCopy(program.StartDirectory));
}

bool RestoreArchive(app::Program& program, ArchiveShared& shared) {
  std::lock_guard lock(shared.runLock);
  RepairInterruptedRestore(program);
  platform::MessageSpec warning;
  warning.text = RestoreWarningText(program.buffers.ZIPARCHIVE, RestoreTarget(program));
  warning.caption = kRestoreWarningCaption;
  warning.icon = platform::Icon::kExclamation;
  warning.namedButtons = kRestoreWarningButtons;
  warning.defaultButton = 2;
  warning.modality = platform::Modality::kSystem;
  RunRecord record("restore", platform::TrimRightCopy(program.StartDirectory));
  record.SetArchive(program.buffers.ZIPARCHIVE);
  if (program.ui.Message(warning) != 1) {
    record.Cancel();  // declined: nothing was done
    return false;
  }

  shared.zip.SetProgress(&program.ui);
  shared.IncludePattern = "*.tps";
  app::CloseTable(program.datoteke);
  // The tables other windows hold open are closed while the restore replaces files, and
  // opened again afterwards whatever happened, so that they read and write the restored files,
  // not the replaced ones. Windows replaces no file that another handle holds open.
  std::vector<app::TableSlot*> held;
  for (app::TableSlot* table : {&program.arhive, &program.email}) {
    if (table->ReferenceCount > 0) {
      app::CloseTable(*table);
      held.push_back(table);
    }
  }

  ZipComponent& zip = shared.zip;
  if (zip.LSUZ_ZIPNAME(program.buffers.ZIPARCHIVE) == 0)
    ShowRunMessage(program, kNoSuchArchiveText);
  if (zip.LSUZ_INCLUDE(shared.IncludePattern) == 0) ShowRunMessage(program, kNothingToRestoreText);
  if (zip.LSUZ_EXTRACTTO(RestoreTarget(program)) == 0)
    ShowRunMessage(program, kBadRestoreTargetText);
  // An encrypted archive is tried with the stored password, then the built-in one, then
  // what the user types; a wrong password fails before any working file is replaced.
  shared.ZipResult = WithArchivePassword(program, [&zip](const std::string& password) {
    zip.LSUZ_PASSWORD(password);
    return zip.LSUZ_EXECUTE(3, 2);
  });
  bool succeeded = shared.ZipResult >= 0;
  record.SetResult(succeeded, shared.ZipResult);
  if (succeeded)
    ShowRunMessage(program, kRestoreSuccessText, kNoticeCaption, platform::Icon::kExclamation);
  else if (shared.ZipResult == kZipBadPassword)
    ShowRunMessage(program, kErrorPrefix + std::to_string(shared.ZipResult) + "|" +
                                kWrongArchivePasswordText + program.buffers.ZIPARCHIVE);
  else
    ShowRunMessage(program, ErrorMessage(shared.ZipResult, zip.LastFailure()));

  // The list is open again whatever happened, so its browse can read it.
  app::OpenTable(program, program.datoteke);
  for (app::TableSlot* table : held) app::OpenTable(program, *table);
  // A settings table from an older archive may hold a password: it leaves the table again.
  if (succeeded) app::ScrubEmailSecrets(program);
  zip.LSUZ_RESET();
  return succeeded;
}

}  // namespace verdan::archive
