// verdan: backs up the data files of the working directory into ZIP archives, restores
// them, and mails an archive. With no command it opens its windows (loaded from their own
// module, cli/windows.h); the commands of the table in cli/commands.h do the same work
// without a screen.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/console_ui.h"
#include "cli/options.h"
#include "cli/windows.h"
#include "net/net_trace.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/paths.h"

int main(int argc, char** argv) {
  using namespace verdan::cli;
  verdan::platform::SettleTimeZone();
  verdan::platform::PrepareConsole();
  std::vector<std::string> args = verdan::platform::CommandLineArguments(argc, argv);
  // The socket layer's trace switches (/NETALL, ...) are read by the layer from argv.
  std::erase_if(args, [](const std::string& a) { return verdan::net::IsNetSwitch(a); });

  CommandLine line;
  std::string problem;
  if (!ParseOptions(args, ProgramOptions(), line, problem, Order::kOptionsFirst)) {
    std::fprintf(stderr, "verdan: %s (verdan --help)\n", problem.c_str());
    return kExitUsage;
  }
  if (line.help) return PrintHelp(ProgramHelp());
  std::string workdir;
  bool definitions = false;
  for (const ParsedOption& o : line.options) {
    switch (o.id) {
      case kOptionVersion:
        std::printf("%s\n", kVersionText);
        return kExitOk;
      case kOptionWorkdir:
        workdir = o.value;
        break;
      case kOptionDefinitions:
        definitions = true;
        break;
      case kOptionQuiet:
        SetVerbosity(Verbosity::kQuiet);
        break;
      case kOptionVerbose:
        SetVerbosity(Verbosity::kVerbose);
        break;
    }
  }
  if (!workdir.empty() && !verdan::platform::ChangeDirectory(workdir)) {
    std::fprintf(stderr, "verdan: ne mogu otvoriti direktorij %s\n", workdir.c_str());
    return kExitUsage;
  }
  if (line.words.empty()) return OpenWindows(argc, argv, definitions);
  const std::string& name = line.words.front();
  const Command* command = FindCommand(name);
  if (!command) {
    std::fprintf(stderr, "verdan: nepoznata naredba '%s' (verdan --help)\n", name.c_str());
    return kExitUsage;
  }
  const int status =
      RunCommand(*command, Args(line.words.begin() + 1, line.words.end()), argc, argv);
  ReleaseHeldOutput(status != kExitOk);
  return status;
}
