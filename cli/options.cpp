#include "cli/options.h"

#include <getopt.h>

#include <cstdio>
#include <cstring>

#include "cli/commands.h"

namespace verdan::cli {
namespace {

constexpr int kHelpId = -1000;

}  // namespace

bool ParseOptions(const Args& args, const std::vector<OptionDef>& defs, CommandLine& line,
                  std::string& problem, Order order) {
  line = CommandLine{};
  std::vector<option> longs;
  // ':' first: a missing value is told apart from an unknown option; '+' stops at the
  // first word that is not an option.
  std::string shorts = order == Order::kOptionsFirst ? "+:" : ":";
  for (std::size_t i = 0; i < defs.size(); ++i) {
    longs.push_back({defs[i].name, defs[i].takesValue ? required_argument : no_argument, nullptr,
                     static_cast<int>(1000 + i)});
    if (defs[i].shortName) {
      shorts += defs[i].shortName;
      if (defs[i].takesValue) shorts += ':';
    }
  }
  longs.push_back({"help", no_argument, nullptr, kHelpId});
  shorts += 'h';
  longs.push_back({nullptr, 0, nullptr, 0});

  std::vector<std::string> storage = {"verdan"};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(storage.size());

  opterr = 0;
  optind = 0;  // a fresh scan, whatever an earlier parse left behind
  for (;;) {
    int index = -1;
    const int c = getopt_long(argc, argv.data(), shorts.c_str(), longs.data(), &index);
    if (c == -1) break;
    const std::string written =
        optind >= 1 && optind <= argc ? argv[static_cast<std::size_t>(optind - 1)] : "";
    if (c == '?') {
      problem = "nepoznata opcija '" +
                (optopt && optopt < 256 ? std::string("-") + static_cast<char>(optopt) : written) +
                "'";
      return false;
    }
    if (c == ':') {
      std::string name =
          optopt && optopt < 256 ? std::string("-") + static_cast<char>(optopt) : written;
      if (auto eq = name.find('='); eq != std::string::npos) name.resize(eq);
      problem = "opcija " + name + " traži vrijednost";
      return false;
    }
    if (c == kHelpId || c == 'h') {
      line.help = true;
      continue;
    }
    const OptionDef* def = nullptr;
    if (c >= 1000 && static_cast<std::size_t>(c - 1000) < defs.size()) {
      def = &defs[static_cast<std::size_t>(c - 1000)];
    } else {
      for (const OptionDef& d : defs)
        if (d.shortName == c) def = &d;
    }
    if (!def) continue;
    ParsedOption parsed;
    parsed.id = def->id;
    parsed.name = std::string("--") + def->name;
    if (def->takesValue && optarg) parsed.value = optarg;
    line.options.push_back(std::move(parsed));
  }
  // getopt_long moves the words behind the options in `argv` (not in `storage`).
  for (int i = optind; i < argc; ++i) line.words.push_back(argv[static_cast<std::size_t>(i)]);
  return true;
}

int PrintHelp(const std::string& usage) {
  std::fputs(usage.c_str(), stdout);
  return kExitOk;
}

int UsageError(const char* command, const std::string& problem, const std::string& usage) {
  std::fprintf(stderr, "verdan %s: %s\n%s", command, problem.c_str(), usage.c_str());
  return kExitUsage;
}

bool ParseNumber(const std::string& text, long low, long high, long& value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  value = std::stol(text);
  return value >= low && value <= high;
}

}  // namespace verdan::cli
