// `verdan verify ARCHIVE`: lists the archive's entries with their sizes and dates and reads
// every one through, checking its CRC, without writing anything. Exit 0 when all is intact.
#include <cstdio>
#include <string>

#include "app/frame.h"
#include "app/program.h"
#include "app/tables.h"
#include "archive/restore.h"
#include "zip/verify.h"
#include "cli/commands.h"
#include "cli/console_ui.h"
#include "cli/options.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace verdan::cli {

namespace {

// Like every other start, undoes a restore that a killed process left half done in the source
// directory; only where the working directory holds the program's settings (a verify
// elsewhere creates no tables).
void RepairInterruptedRestore() {
  ConsoleUi ui;
  app::Program program(ui);
  if (!platform::Exists(program.email.storedName + ".TPS")) return;
  program.StartDirectory = platform::CurrentDirectory();
  if (!app::OpenTable(program, program.email)) return;
  ++program.email.ReferenceCount;
  app::LoadEmailSettings(program);
  archive::RepairInterruptedRestore(program);
  if (--program.email.ReferenceCount == 0) app::CloseTable(program.email);
}

int VerifyCommand(const Invocation& invocation) {
  const CommandLine& line = invocation.line;
  if (line.words.size() != 1 || line.words[0].empty())
    return invocation.Usage("treba navesti jednu arhivu");
  RepairInterruptedRestore();
  // An encrypted archive is read with the stored archive password, then the built-in one, and
  // on a terminal the user is asked for its password.
  ConsoleUi ui;
  ui.SetPrompting(true);
  app::Program program(ui);
  program.archivePassword = app::kBuiltInArchivePassword;
  std::string problem;
  std::vector<archive::ArchiveEntryInfo> entries;
  bool intact = false;
  archive::WithArchivePassword(program, [&](const std::string& password) -> std::int32_t {
    entries.clear();
    intact = archive::TestArchive(line.words[0], password, entries, problem);
    for (const archive::ArchiveEntryInfo& e : entries)
      if (e.badPassword) return archive::kZipBadPassword;
    return intact ? 0 : archive::kZipDamagedEntry;
  });
  std::uint64_t bytes = 0;
  std::size_t files = 0, bad = 0, locked = 0;
  if (!entries.empty()) std::printf("    Veličina  Datum             Ime\n");
  for (const archive::ArchiveEntryInfo& e : entries) {
    std::printf("%12llu  %-16s  %s\n", static_cast<unsigned long long>(e.size),
                archive::EntryTimeText(e.modified).c_str(), e.name.c_str());
    if (e.directory) continue;
    ++files;
    bytes += e.size;
    if (e.badPassword) ++locked;
    if (!e.ok) {
      ++bad;
      std::fprintf(stderr, "verdan verify: %s: %s\n", e.name.c_str(), e.problem.c_str());
    }
  }
  if (!entries.empty())
    std::printf("%zu datoteka, %llu bajtova.\n", files, static_cast<unsigned long long>(bytes));
  if (!intact) {
    // Entries a wrong password kept shut are not damaged: only the password is said.
    if (locked == 0) std::fprintf(stderr, "verdan verify: %s\n", problem.c_str());
    if (locked > 0)
      std::fprintf(stderr,
                   "verdan verify: arhiva je šifrirana, a zaporka nije ispravna ili nije upisana "
                   "(%zu od %zu datoteka nije pročitano).\n",
                   locked, files);
    else if (bad > 0)
      std::fprintf(stderr, "verdan verify: %zu od %zu datoteka ne valja.\n", bad, files);
    return kExitMessage;
  }
  std::printf("Arhiva je ispravna: sve datoteke pročitane, CRC odgovara.\n");
  return kExitOk;
}

}  // namespace

const Command kVerifyCommand = {
    "verify",
    VerifyCommand,
    "verify ARHIVA",
    "Ispiše datoteke arhive s veličinama i datumima i pročita svaku do kraja, provjeravajući CRC.",
    "Šifriranu arhivu čita spremljenom zaporkom arhive (verdan settings\n"
    "--archive-password-stdin); kad se njome ne otvara, na terminalu pita zaporku.\n"
    "Izlazni status 0: arhiva je ispravna; 1: nije.\n",
    nullptr,
    kNeedsCleanup,
};

}  // namespace verdan::cli
