// `verdan verify ARCHIVE`: lists the archive's entries with their sizes and dates and reads
// every one through, checking its CRC, without writing anything. Exit 0 when all is intact.
#include <cstdio>
#include <string>

#include "app/frame.h"
#include "archive/verify.h"
#include "cli/commands.h"

namespace verdan::cli {

int VerifyCommand(const Args& args) {
  if (args.size() != 1 || args[0].empty() || args[0].rfind("--", 0) == 0) {
    std::fprintf(stderr, "Upotreba: verdan verify ARHIVA\n");
    return kExitUsage;
  }
  std::vector<archive::ArchiveEntryInfo> entries;
  std::string problem;
  const bool intact = archive::TestArchive(args[0], app::kBuiltInArchivePassword, entries, problem);
  std::uint64_t bytes = 0;
  std::size_t files = 0, bad = 0;
  if (!entries.empty()) std::printf("    Veličina  Datum             Ime\n");
  for (const archive::ArchiveEntryInfo& e : entries) {
    std::printf("%12llu  %-16s  %s\n", static_cast<unsigned long long>(e.size),
                archive::EntryTimeText(e.modified).c_str(), e.name.c_str());
    if (e.directory) continue;
    ++files;
    bytes += e.size;
    if (!e.ok) {
      ++bad;
      std::fprintf(stderr, "verdan verify: %s: %s\n", e.name.c_str(), e.problem.c_str());
    }
  }
  if (!entries.empty())
    std::printf("%zu datoteka, %llu bajtova.\n", files, static_cast<unsigned long long>(bytes));
  if (!intact) {
    std::fprintf(stderr, "verdan verify: %s\n", problem.c_str());
    if (bad > 0) std::fprintf(stderr, "verdan verify: %zu od %zu datoteka ne valja.\n", bad, files);
    return kExitMessage;
  }
  std::printf("Arhiva je ispravna: sve datoteke pročitane, CRC odgovara.\n");
  return kExitOk;
}

}  // namespace verdan::cli
