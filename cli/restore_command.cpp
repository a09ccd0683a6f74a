// `verdan restore ARCHIVE [--yes]`: chooses ARCHIVE as the archiving window's archive button
// would and restores its data files into the source directory. The warning is answered with
// "&Raspakiraj" by --yes; otherwise it is asked on a terminal and takes its default
// ("&Odustani") without one. An encrypted archive the stored password does not open has its
// password asked on the terminal, never with --yes.
#include <cstdio>
#include <string>

#include "app/frame.h"
#include "app/program.h"
#include "app/tables.h"
#include "archive/restore.h"
#include "cli/commands.h"
#include "cli/console_ui.h"
#include "cli/options.h"
#include "platform/paths.h"

namespace verdan::cli {
namespace {

// The console port whose file dialog "chooses" the archive named on the command line.
class RestoreUi : public ConsoleUi {
 public:
  explicit RestoreUi(std::string archive) : archive_(std::move(archive)) {}
  std::vector<std::string> FileOpen(const platform::FileOpenSpec&) override { return {archive_}; }

 private:
  std::string archive_;
};

enum RestoreOption { kYes };
const std::vector<OptionDef> kRestoreOptions = {{"yes", false, kYes, 'y'}};

int RestoreCommand(const Invocation& invocation) {
  const CommandLine& line = invocation.line;
  if (line.words.size() != 1 || line.words[0].empty())
    return invocation.Usage("treba navesti jednu arhivu");
  std::string archive = line.words[0];
  const bool yes = !line.options.empty();
  // The dialog would return a full path; a relative name is taken from here.
  if (!platform::IsAbsolutePath(archive))
    archive = platform::CurrentDirectory() + platform::kSeparator + archive;

  RestoreUi ui(archive);
  if (yes) {
    ui.SetAnswerer([](const platform::MessageSpec& boxSpec) -> std::optional<unsigned> {
      if (boxSpec.namedButtons == archive::kRestoreWarningButtons) return 1u;
      return std::nullopt;
    });
  } else {
    ui.SetPrompting(true);
  }
  Workspace workspace(invocation, ui);
  if (!workspace.Ok()) return kExitEnded;
  app::Program& program = workspace.program;

  archive::ArchiveShared shared;
  archive::ChooseArchive(program, shared);
  bool succeeded = archive::RestoreArchive(program, shared);

  app::CloseTable(program.datoteke);
  if (program.Ended()) return kExitEnded;
  return succeeded ? kExitOk : kExitMessage;
}

}  // namespace

const Command kRestoreCommand = {
    "restore",
    RestoreCommand,
    "restore ARHIVA [-y|--yes]",
    "Vraća datoteke *.tps iz ARHIVE u izvorni direktorij (sve ili ništa).",
    "  -y, --yes   bez pitanja (inače se pita na terminalu, a bez njega se odustaje)\n"
    "Šifrirana arhiva otvara se spremljenom zaporkom arhive; kad se njome ne otvara, zaporka\n"
    "se pita na terminalu (ne s -y); pogrešna zaporka: ništa se ne raspakira, izlazni status 1.\n",
    &kRestoreOptions,
    kNeedsSettings | kNeedsCleanup,
};

}  // namespace verdan::cli
