// verdan: backs up the data files of the working directory into ZIP archives, restores
// them, and mails an archive. With no command it opens its windows; the commands do the same
// work without a screen.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/console_ui.h"
#include "cli/options.h"
#include "net/net_trace.h"
#include "net/socket_layer.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "zip/temporaries.h"

#ifdef VERDAN_HAVE_GUI
#include "gui/gui.h"
#endif

namespace {

constexpr const char* kVersion = "VERDAN_pro 3.8.4 (190506#3.8.4.)";

constexpr const char* kHelp =
    "Upotreba: verdan [--workdir DIR] [NAREDBA [ARGUMENTI]]\n"
    "\n"
    "Bez naredbe otvara prozore programa u radnom direktoriju.\n"
    "\n"
    "Naredbe:\n"
    "  settings [--source DIR] [--dest DIR] [--disk SLOVO] [--naming dan|dat|mix]\n"
    "           [--server HOST] [--port N] [--user IME] [--password-stdin]\n"
    "           [--from ADRESA] [--to POPIS] [--subject TEKST]\n"
    "                         prikaže (i promijeni) postavke arhiviranja i slanja e-maila\n"
    "  backup usb|dest        arhivira *.tps na vanjski disk ili u odredišni direktorij\n"
    "  restore ARHIVA [--yes] vraća podatke iz arhive u izvorni direktorij\n"
    "  list definitions|files ispiše definicije arhiva ili listu datoteka\n"
    "  archive definition STAZA [--listed]\n"
    "                         arhivira u arhiv definicije sa tom stazom\n"
    "  archive weekday [--listed]\n"
    "                         arhivira u arhiv dana u tjednu u radnom direktoriju\n"
    "                         (--listed: datoteke s liste umjesto *.tps)\n"
    "  files add DATOTEKA...  doda datoteke na listu za arhiviranje\n"
    "  send [DATOTEKA...] [--server HOST] [--port N] [--user IME] [--password LOZINKA]\n"
    "       [--from ADRESA] [--to POPIS] [--cc POPIS] [--bcc POPIS] [--subject TEKST]\n"
    "       [--text TEKST] [--tls none|starttls|implicit] [--cafile DATOTEKA] [--split]\n"
    "       [--encode-headers]\n"
    "                         šalje datoteke e-mailom\n"
    "\n"
    "Opcije:\n"
    "  --workdir DIR          radni direktorij (inače trenutni)\n"
    "  --definitions          uz prozore otvori i popis arhiva\n"
    "  --version              inačica programa\n"
    "  --help                 ova pomoć\n";

struct Command {
  const char* name;
  int (*run)(const verdan::cli::Args&);
};

// The commands the program offers without a screen.
const Command kCommands[] = {
    {"settings", verdan::cli::SettingsCommand},
    {"send", verdan::cli::SendCommand},
    {"backup", verdan::cli::BackupCommand},
    {"restore", verdan::cli::RestoreCommand},
    {"list", verdan::cli::ListCommand},
    {"archive", verdan::cli::ArchiveCommand},
    {"files", verdan::cli::FilesCommand},
    {"verify", verdan::cli::VerifyCommand},
    {"log", verdan::cli::LogCommand},
};

}  // namespace

int main(int argc, char** argv) {
  verdan::platform::SettleTimeZone();
  verdan::net::NetProgramScope network(argc, argv);  // socket start-up, trace switches, shutdown
  // Interrupt, terminate and hang-up end the program without leaving its temporary files.
  if (!verdan::archive::RemoveTemporariesOnTermination())
    std::fputs(
        "Upozorenje: prekid programa neće ukloniti privremene datoteke (sustav nije dao "
        "nit za čišćenje).\n",
        stderr);
  std::vector<std::string> args(argv + 1, argv + argc);
  std::erase_if(args, [](const std::string& a) { return verdan::net::IsNetSwitch(a); });

  using namespace verdan::cli;
  enum { kWorkdir, kDefinitions, kQuiet, kVerbose, kShowVersion };
  const std::vector<OptionDef> global = {{"workdir", true, kWorkdir},
                                         {"definitions", false, kDefinitions},
                                         {"quiet", false, kQuiet, 'q'},
                                         {"verbose", false, kVerbose, 'v'},
                                         {"version", false, kShowVersion}};
  CommandLine line;
  std::string problem;
  if (!ParseOptions(args, global, line, problem, Order::kOptionsFirst)) {
    std::fprintf(stderr, "verdan: %s (verdan --help)\n", problem.c_str());
    return kExitUsage;
  }
  if (line.help) return PrintHelp(kHelp);
  std::string workdir;
  std::vector<std::string> windowOptions;
  for (const ParsedOption& o : line.options) {
    switch (o.id) {
      case kShowVersion: std::printf("%s\n", kVersion); return kExitOk;
      case kWorkdir: workdir = o.value; break;
      case kDefinitions: windowOptions.push_back("--definitions"); break;
      case kQuiet: SetVerbosity(Verbosity::kQuiet); break;
      case kVerbose: SetVerbosity(Verbosity::kVerbose); break;
    }
  }
  if (!workdir.empty() && !verdan::platform::ChangeDirectory(workdir)) {
    std::fprintf(stderr, "verdan: ne mogu otvoriti direktorij %s\n", workdir.c_str());
    return kExitUsage;
  }
  if (!line.words.empty()) {
    const std::string& name = line.words.front();
    for (const auto& c : kCommands) {
      if (name != c.name) continue;
      const int status = c.run(Args(line.words.begin() + 1, line.words.end()));
      ReleaseHeldOutput(status != kExitOk);
      return status;
    }
    std::fprintf(stderr, "verdan: nepoznata naredba '%s' (verdan --help)\n", name.c_str());
    return kExitUsage;
  }
#ifdef VERDAN_HAVE_GUI
  return verdan::gui::Run(argc, argv, windowOptions);
#else
  std::fprintf(stderr, "verdan: this build has no windows; see verdan --help\n");
  return kExitUsage;
#endif
}
