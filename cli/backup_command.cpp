// `verdan backup usb|dest`: the archiving window's two runs without a screen, in the current
// directory, with the run settings stored in its e-mail table.
#include <cstdio>
#include <string>

#include "app/frame.h"
#include "app/program.h"
#include "app/tables.h"
#include "archive/archive_runs.h"
#include "cli/commands.h"
#include "cli/console_ui.h"
#include "platform/paths.h"

namespace verdan::cli {

int BackupCommand(const Args& args) {
  if (args.size() != 1 || (args[0] != "usb" && args[0] != "dest")) {
    std::fprintf(stderr, "Upotreba: verdan backup usb|dest\n");
    return kExitUsage;
  }
  ConsoleUi ui;
  app::Program program(ui);
  program.archivePassword = app::kBuiltInArchivePassword;
  program.StartDirectory = platform::CurrentDirectory();

  if (!app::OpenTable(program, program.email)) return kExitEnded;
  ++program.email.ReferenceCount;
  app::LoadEmailSettings(program);

  archive::ArchiveShared shared;
  std::string IMEARHIVE(archive::kBaseNameLength, ' ');
  bool succeeded = args[0] == "usb" ? archive::ExternalDiskRun(program, shared, IMEARHIVE)
                                    : archive::DestinationRun(program, shared, IMEARHIVE);

  if (--program.email.ReferenceCount == 0) app::CloseTable(program.email);
  if (program.Ended()) return kExitEnded;
  return succeeded ? kExitOk : kExitMessage;
}

}  // namespace verdan::cli
