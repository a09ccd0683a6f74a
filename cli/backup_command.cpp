// `verdan backup usb|dest`: the archiving window's two runs without a screen, in the current
// directory, with the run settings stored in its e-mail table. On success the archive's path
// is the one line on standard output.
#include <cstdio>
#include <string>

#include "app/frame.h"
#include "app/program.h"
#include "archive/archive_runs.h"
#include "cli/commands.h"
#include "cli/console_ui.h"
#include "cli/options.h"

namespace verdan::cli {

namespace {

int BackupCommand(const Invocation& invocation) {
  const CommandLine& line = invocation.line;
  if (line.words.size() != 1 || (line.words[0] != "usb" && line.words[0] != "dest"))
    return invocation.Usage("treba reći kamo: usb ili dest");
  const bool usb = line.words[0] == "usb";
  ConsoleUi ui;
  Workspace workspace(invocation, ui);
  if (!workspace.Ok()) return kExitEnded;
  app::Program& program = workspace.program;

  archive::ArchiveShared shared;
  std::string IMEARHIVE(archive::kBaseNameLength, ' ');
  bool succeeded = usb ? archive::ExternalDiskRun(program, shared, IMEARHIVE)
                       : archive::DestinationRun(program, shared, IMEARHIVE);
  // The archive written, for scripts that go on with it (mail it, copy it elsewhere).
  if (succeeded && !shared.writtenArchive.empty())
    std::printf("%s\n", shared.writtenArchive.c_str());

  if (program.Ended()) return kExitEnded;
  return succeeded ? kExitOk : kExitMessage;
}

}  // namespace

const Command kBackupCommand = {
    "backup",
    BackupCommand,
    "backup usb|dest",
    "Arhivira *.tps izvornog direktorija na vanjski disk ili u odredišni direktorij.",
    "  usb    na vanjski disk\n"
    "  dest   u odredišni direktorij\n"
    "Na standardni izlaz ispiše putanju zapisane arhive.\n",
    nullptr,
    kNeedsSettings | kNeedsCleanup,
};

}  // namespace verdan::cli
