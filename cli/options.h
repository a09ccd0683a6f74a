// Command-line options of the commands, parsed by getopt_long: long options take their
// value as "--name value" or "--name=value", short ones as "-n value" or "-nvalue"; words
// that are not options are kept in order ("--" ends the options). Errors are the program's
// own Croatian texts.
//
// Thread-safety: getopt_long keeps global state; parse on one thread at a time (the
// commands run on the main thread).
#pragma once

#include <string>
#include <vector>

namespace verdan::cli {

using Args = std::vector<std::string>;

struct OptionDef {
  const char* name;  // the long name, without "--"
  bool takesValue;
  int id;              // what the caller gets back
  char shortName = 0;  // 0: none
};

struct ParsedOption {
  int id = 0;
  std::string name;   // as written, for messages ("--port")
  std::string value;  // empty for a flag
};

struct CommandLine {
  std::vector<ParsedOption> options;
  std::vector<std::string> words;
  bool help = false;  // "--help" or "-h" was given
};

// How options and other words may mix: anywhere, or options first and everything from the
// first other word on left as words (the program's own options before a command).
enum class Order { kAnywhere, kOptionsFirst };

// Parses `args` against `defs` ("--help"/"-h" is known to every command). False with
// `problem` set on an unknown option or a missing value.
bool ParseOptions(const Args& args, const std::vector<OptionDef>& defs, CommandLine& line,
                  std::string& problem, Order order = Order::kAnywhere);

// The usual ends of a command's parse: its usage on standard output for --help (status 0),
// or the problem and the usage on standard error (status 2).
int PrintHelp(const std::string& usage);
int UsageError(const char* command, const std::string& problem, const std::string& usage);

// A whole number in [low, high] from `text`; false when it is not one.
bool ParseNumber(const std::string& text, long low, long high, long& value);

}  // namespace verdan::cli
