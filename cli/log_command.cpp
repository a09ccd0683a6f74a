// `verdan log [-n N]`: the last runs from verdan.log of the working directory, oldest first.
#include <cstdio>
#include <string>

#include "app/run_log.h"
#include "cli/commands.h"
#include "cli/options.h"

namespace verdan::cli {

namespace {

enum LogOption { kLines };
const std::vector<OptionDef> kLogOptions = {{"lines", true, kLines, 'n'}};

int LogCommand(const Invocation& invocation) {
  const CommandLine& line = invocation.line;
  if (!line.words.empty()) return invocation.Usage("suvišan argument '" + line.words[0] + "'");
  long count = 10;
  for (const ParsedOption& o : line.options)
    if (!ParseNumber(o.value, 0, 100000, count)) return invocation.Usage("-n traži broj");
  for (const std::string& text : app::LastRunLogLines(static_cast<std::size_t>(count)))
    std::printf("%s\n", text.c_str());
  return kExitOk;
}

}  // namespace

const Command kLogCommand = {
    "log",
    LogCommand,
    "log [-n|--lines BROJ]",
    "Ispiše zadnja arhiviranja, povrate i slanja iz verdan.log (zadano 10), najstarije prvo.",
    "Polja odvojena tabulatorom: vrijeme, naredba, arhiva, datoteke, bajtovi, sekunde, ishod.\n",
    &kLogOptions,
    kNeedsNothing,
};

}  // namespace verdan::cli
