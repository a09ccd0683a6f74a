// verdan: backs up the data files of the working directory into ZIP archives, restores
// them, and mails an archive. With no command it opens its windows; the commands do the same
// work without a screen.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive/temporaries.h"
#include "cli/commands.h"
#include "net/net_trace.h"
#include "net/socket_layer.h"
#include "platform/paths.h"

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
};

}  // namespace

int main(int argc, char** argv) {
  verdan::net::NetProgramScope network(argc, argv);  // socket start-up, trace switches, shutdown
  // Interrupt, terminate and hang-up end the program without leaving its temporary files.
  verdan::archive::RemoveTemporariesOnTermination();
  std::vector<std::string> args(argv + 1, argv + argc);
  std::erase_if(args, [](const std::string& a) { return verdan::net::IsNetSwitch(a); });
  std::string workdir;
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--version") {
      std::printf("%s\n", kVersion);
      return 0;
    }
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (a == "--workdir") {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "verdan: --workdir traži direktorij\n");
        return verdan::cli::kExitUsage;
      }
      workdir = args[++i];
      continue;
    }
    break;
  }
  if (!workdir.empty() && !verdan::platform::ChangeDirectory(workdir)) {
    std::fprintf(stderr, "verdan: ne mogu otvoriti direktorij %s\n", workdir.c_str());
    return verdan::cli::kExitUsage;
  }
  std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  if (!rest.empty() && rest[0].rfind("--", 0) != 0 && rest[0].rfind('/', 0) != 0) {
    for (const auto& c : kCommands)
      if (rest[0] == c.name)
        return c.run(verdan::cli::Args(rest.begin() + 1, rest.end()));
    std::fprintf(stderr, "verdan: nepoznata naredba '%s' (verdan --help)\n", rest[0].c_str());
    return verdan::cli::kExitUsage;
  }
#ifdef VERDAN_HAVE_GUI
  return verdan::gui::Run(argc, argv, rest);
#else
  std::fprintf(stderr, "verdan: this build has no windows; see verdan --help\n");
  return verdan::cli::kExitUsage;
#endif
}
