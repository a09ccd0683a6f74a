// `verdan restore ARCHIVE [--yes]`: chooses ARCHIVE as the archiving window's archive button
// would and restores its data files into the source directory. The warning is answered with
// "&Raspakiraj" by --yes; otherwise it is asked on a terminal and takes its default
// ("&Odustani") without one.
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

}  // namespace

constexpr const char* kUsage =
    "Upotreba: verdan restore ARHIVA [--yes]\n"
    "Vraća datoteke *.tps iz ARHIVE u izvorni direktorij (sve ili ništa).\n"
    "  -y, --yes   bez pitanja (inače se pita na terminalu, a bez njega se odustaje)\n";

int RestoreCommand(const Args& args) {
  CommandLine line;
  std::string problem;
  if (!ParseOptions(args, {{"yes", false, 0, 'y'}}, line, problem))
    return UsageError("restore", problem, kUsage);
  if (line.help) return PrintHelp(kUsage);
  if (line.words.size() != 1 || line.words[0].empty())
    return UsageError("restore", "treba navesti jednu arhivu", kUsage);
  std::string archive = line.words[0];
  const bool yes = !line.options.empty();
  // The dialog would return a full path; a relative name is taken from here.
  if (archive[0] != platform::kSeparator) archive = platform::CurrentDirectory() + "/" + archive;

  RestoreUi ui(archive);
  if (yes) {
    ui.SetAnswerer([](const platform::MessageSpec& boxSpec) -> std::optional<unsigned> {
      if (boxSpec.namedButtons == archive::kRestoreWarningButtons) return 1u;
      return std::nullopt;
    });
  } else {
    ui.SetPrompting(true);
  }
  app::Program program(ui);
  program.archivePassword = app::kBuiltInArchivePassword;
  program.StartDirectory = platform::CurrentDirectory();

  if (!app::OpenTable(program, program.email)) return kExitEnded;
  ++program.email.ReferenceCount;
  app::LoadEmailSettings(program);

  archive::ArchiveShared shared;
  archive::ChooseArchive(program, shared);
  bool succeeded = archive::RestoreArchive(program, shared);

  app::CloseTable(program.datoteke);
  if (--program.email.ReferenceCount == 0) app::CloseTable(program.email);
  if (program.Ended()) return kExitEnded;
  return succeeded ? kExitOk : kExitMessage;
}

}  // namespace verdan::cli
