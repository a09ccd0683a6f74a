// `verdan settings`: shows (and changes) the run settings kept in the e-mail table of the
// current directory, opening the table and loading the settings as the main frame does.
#include <cstdio>
#include <string>

#include "app/program.h"
#include "app/tables.h"
#include "cli/commands.h"
#include "cli/console_ui.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace verdan::cli {
namespace {

constexpr const char* kUsage =
    "Upotreba: verdan settings [--source DIR] [--dest DIR] [--disk SLOVO] [--naming dan|dat|mix]\n";

struct SettingsOptions {
  bool any = false;
  std::string source, dest, disk, naming;
  bool hasSource = false, hasDest = false, hasDisk = false, hasNaming = false;
};

int Usage(const std::string& problem) {
  std::fprintf(stderr, "verdan settings: %s\n%s", problem.c_str(), kUsage);
  return kExitUsage;
}

// Parses the options; on a usage error returns false with `problem` set.
bool Parse(const Args& args, SettingsOptions& o, std::string& problem) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string* target = nullptr;
    bool* seen = nullptr;
    if (a == "--source") target = &o.source, seen = &o.hasSource;
    else if (a == "--dest") target = &o.dest, seen = &o.hasDest;
    else if (a == "--disk") target = &o.disk, seen = &o.hasDisk;
    else if (a == "--naming") target = &o.naming, seen = &o.hasNaming;
    else {
      problem = "nepoznata opcija '" + a + "'";
      return false;
    }
    if (i + 1 >= args.size()) {
      problem = "opcija " + a + " traži vrijednost";
      return false;
    }
    *target = args[++i];
    *seen = true;
    o.any = true;
  }
  // The run settings hold 127 characters of a directory; a longer one would be cut and
  // silently point elsewhere.
  for (const auto* dir : {&o.source, &o.dest}) {
    if (platform::CharCount(*dir) > 127) {
      problem = "direktorij je duži od 127 znakova: " + *dir;
      return false;
    }
  }
  if (o.hasSource && platform::IsBlank(o.source)) {
    problem = "--source traži direktorij";
    return false;
  }
  if (o.hasDest && platform::IsBlank(o.dest)) {
    problem = "--dest traži direktorij";
    return false;
  }
  if (o.hasDisk && platform::IsBlank(o.disk)) {
    o.disk.clear();  // a blank letter is stored as such: the runs then ask for one
  } else if (o.hasDisk) {
    std::string d = o.disk;
    if (d.size() == 2 && d[1] == ':') d.resize(1);
    if (d.size() != 1 || !((d[0] >= 'A' && d[0] <= 'Z') || (d[0] >= 'a' && d[0] <= 'z'))) {
      problem = "--disk traži slovo diska (A-Z)";
      return false;
    }
    o.disk = platform::UpperCp1250(d);
  }
  if (o.hasNaming && o.naming != "dan" && o.naming != "dat" && o.naming != "mix") {
    problem = "--naming mora biti dan, dat ili mix";
    return false;
  }
  return true;
}

}  // namespace

int SettingsCommand(const Args& args) {
  SettingsOptions options;
  std::string problem;
  if (!Parse(args, options, problem)) return Usage(problem);

  ConsoleUi ui;
  app::Program program(ui);
  program.StartDirectory = platform::CurrentDirectory();

  if (!app::OpenTable(program, program.email)) return kExitEnded;
  ++program.email.ReferenceCount;
  app::LoadEmailSettings(program);

  app::RunSettings& run = program.run;
  if (options.hasSource) run.POCDIR = platform::FitField(options.source, 127);
  if (options.hasDest) run.ZAVDIR = platform::FitField(options.dest, 127);
  if (options.hasDisk) run.OZNAKAARHIVDISKA = platform::FitField(options.disk, 1);
  if (options.hasNaming) run.TIP_ARH = platform::FitField(options.naming, 3);
  if (options.any) app::SaveEmailSettings(program);

  std::printf("POCDIR=%s\n", platform::TrimRightCopy(run.POCDIR).c_str());
  std::printf("ZAVDIR=%s\n", platform::TrimRightCopy(run.ZAVDIR).c_str());
  std::printf("OZNAKAARHIVDISKA=%s\n", platform::TrimRightCopy(run.OZNAKAARHIVDISKA).c_str());
  std::printf("TIP_ARH=%s\n", platform::TrimRightCopy(run.TIP_ARH).c_str());
  std::fflush(stdout);

  if (--program.email.ReferenceCount == 0) app::CloseTable(program.email);
  return ui.Shown().empty() ? kExitOk : kExitMessage;
}

}  // namespace verdan::cli
