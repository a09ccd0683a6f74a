// `verdan log [-n N]`: the last runs from verdan.log of the working directory, oldest first.
#include <cstdio>
#include <string>

#include "app/run_log.h"
#include "cli/commands.h"
#include "cli/options.h"

namespace verdan::cli {

namespace {

constexpr const char* kUsage =
    "Upotreba: verdan log [-n BROJ]\n"
    "Ispiše zadnja arhiviranja, povrate i slanja iz verdan.log (zadano 10), najstarije prvo:\n"
    "vrijeme, naredba, arhiva, datoteke, bajtovi, sekunde, ishod (odvojeni tabulatorom).\n";

}  // namespace

int LogCommand(const Args& args) {
  CommandLine line;
  std::string problem;
  if (!ParseOptions(args, {{"lines", true, 0, 'n'}}, line, problem)) return UsageError("log", problem, kUsage);
  if (line.help) return PrintHelp(kUsage);
  if (!line.words.empty()) return UsageError("log", "suvišan argument '" + line.words[0] + "'", kUsage);
  long count = 10;
  for (const ParsedOption& o : line.options)
    if (!ParseNumber(o.value, 0, 100000, count)) return UsageError("log", "-n traži broj", kUsage);
  for (const std::string& line : app::LastRunLogLines(static_cast<std::size_t>(count)))
    std::printf("%s\n", line.c_str());
  return kExitOk;
}

}  // namespace verdan::cli
