#include "archive/restore.h"

#include "app/tables.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace verdan::archive {

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
    if (path[0] != platform::kSeparator) path = platform::CurrentDirectory() + "/" + path;
    program.buffers.ZIPARCHIVE = platform::CutChars(path, kPathLength);
  }
  program.buffers.AKTIVNAARHIVA = platform::CutChars(program.buffers.ZIPARCHIVE, 200);
  platform::ChangeDirectory(platform::TrimRightCopy(program.StartDirectory));
}

bool RestoreArchive(app::Program& program, ArchiveShared& shared) {
  std::lock_guard lock(shared.runLock);
  platform::MessageSpec warning;
  warning.text = kRestoreWarningText;
  warning.caption = kRestoreWarningCaption;
  warning.icon = platform::Icon::kExclamation;
  warning.namedButtons = kRestoreWarningButtons;
  warning.defaultButton = 2;
  warning.modality = platform::Modality::kSystem;
  if (program.ui.Message(warning) != 1) return false;

  shared.zip.SetProgress(&program.ui);
  shared.IncludePattern = "*.tps";
  app::CloseTable(program.datoteke);

  ZipComponent& zip = shared.zip;
  if (zip.LSUZ_ZIPNAME(program.buffers.ZIPARCHIVE) == 0) ShowRunMessage(program, kNoSuchArchiveText);
  if (zip.LSUZ_INCLUDE(shared.IncludePattern) == 0) ShowRunMessage(program, kNothingToRestoreText);
  std::string target = platform::CutChars(
      platform::NativePath(platform::TrimRightCopy(program.run.POCDIR)), kPathLength);
  if (zip.LSUZ_EXTRACTTO(target) == 0) ShowRunMessage(program, kBadRestoreTargetText);
  zip.LSUZ_PASSWORD(program.archivePassword);
  shared.ZipResult = zip.LSUZ_EXECUTE(3, 2);
  bool succeeded = shared.ZipResult >= 0;
  if (succeeded)
    ShowRunMessage(program, kRestoreSuccessText, kNoticeCaption, platform::Icon::kExclamation);
  else
    ShowRunMessage(program, kErrorPrefix + std::to_string(shared.ZipResult));

  // The list is open again whatever happened, so its browse can read it.
  app::OpenTable(program, program.datoteke);
  // Restored table files replace the old ones under their names; a table other windows
  // hold open is opened again so that it reads and writes the restored file, not the
  // replaced one.
  if (succeeded) {
    for (app::TableSlot* table : {&program.arhive, &program.email}) {
      if (table->ReferenceCount > 0) {
        app::CloseTable(*table);
        app::OpenTable(program, *table);
      }
    }
  }
  zip.LSUZ_RESET();
  return succeeded;
}

}  // namespace verdan::archive
