// `verdan log [-n N]`: the last runs from verdan.log of the working directory, oldest first.
#include <cstdio>
#include <string>

#include "app/run_log.h"
#include "cli/commands.h"

namespace verdan::cli {

int LogCommand(const Args& args) {
  std::size_t count = 10;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string value;
    if ((args[i] == "-n" || args[i] == "--lines") && i + 1 < args.size())
      value = args[++i];
    else if (args[i].rfind("--lines=", 0) == 0)
      value = args[i].substr(8);
    else if (args[i].rfind("-n", 0) == 0 && args[i].size() > 2)
      value = args[i].substr(2);
    else {
      std::fprintf(stderr, "Upotreba: verdan log [-n BROJ]\n");
      return kExitUsage;
    }
    if (value.empty() || value.size() > 6 || value.find_first_not_of("0123456789") != std::string::npos) {
      std::fprintf(stderr, "verdan log: -n traži broj\nUpotreba: verdan log [-n BROJ]\n");
      return kExitUsage;
    }
    count = std::stoul(value);
  }
  for (const std::string& line : app::LastRunLogLines(count)) std::printf("%s\n", line.c_str());
  return kExitOk;
}

}  // namespace verdan::cli
