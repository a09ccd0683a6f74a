// `verdan backup usb|dest`: the archiving window's two runs without a screen, in the current
// directory, with the run settings stored in its e-mail table. On success the archive's path
// is the one line on standard output.
#include <cstdio>
#include <string>

#include "app/frame.h"
#include "app/program.h"
#include "app/tables.h"
#include "archive/archive_runs.h"
#include "cli/commands.h"
#include "cli/console_ui.h"
#include "cli/options.h"
#include "platform/paths.h"

namespace verdan::cli {

namespace {

constexpr const char* kUsage =
    "Upotreba: verdan backup usb|dest\n"
    "  usb    arhivira *.tps izvornog direktorija na vanjski disk\n"
    "  dest   arhivira ih u odredišni direktorij\n"
    "Na standardni izlaz ispiše putanju zapisane arhive.\n";

}  // namespace

int BackupCommand(const Args& args) {
  CommandLine line;
  std::string problem;
  if (!ParseOptions(args, {}, line, problem)) return UsageError("backup", problem, kUsage);
  if (line.help) return PrintHelp(kUsage);
  if (line.words.size() != 1 || (line.words[0] != "usb" && line.words[0] != "dest"))
    return UsageError("backup", "treba reći kamo: usb ili dest", kUsage);
  const bool usb = line.words[0] == "usb";
  ConsoleUi ui;
  app::Program program(ui);
  program.archivePassword = app::kBuiltInArchivePassword;
  program.StartDirectory = platform::CurrentDirectory();

  if (!app::OpenTable(program, program.email)) return kExitEnded;
  ++program.email.ReferenceCount;
  app::LoadEmailSettings(program);

  archive::ArchiveShared shared;
  std::string IMEARHIVE(archive::kBaseNameLength, ' ');
  bool succeeded = usb ? archive::ExternalDiskRun(program, shared, IMEARHIVE)
                       : archive::DestinationRun(program, shared, IMEARHIVE);
  // The archive written, for scripts that go on with it (mail it, copy it elsewhere).
  if (succeeded && !shared.writtenArchive.empty()) std::printf("%s\n", shared.writtenArchive.c_str());

  if (--program.email.ReferenceCount == 0) app::CloseTable(program.email);
  if (program.Ended()) return kExitEnded;
  return succeeded ? kExitOk : kExitMessage;
}

}  // namespace verdan::cli
