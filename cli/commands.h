// The program's commands without a screen, as one table whose rows carry each command's
// name, its function, its help (synopsis, summary and details), the options its parser
// accepts and what it needs set up. The top-level help, every command's --help, the parse of
// its options and the shared set-up (the socket layer, the removal of temporaries on a
// termination signal, the e-mail table and its settings) all come from the rows.
//
// A command gets its parsed command line and returns the process exit status: 0 success,
// 1 an error message was shown (or the command's success message was not), 2 a usage error,
// 3 the program ended through a table error.
//
// Thread-safety: the commands run on the main thread, one per process.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/program.h"
#include "cli/options.h"

namespace verdan::cli {

// What `verdan --version` prints.
constexpr const char* kVersionText = "VERDAN_pro 3.8.4 (190506#3.8.4.)";

// Said when the termination cleanup cannot be installed (the system gave no thread for it).
constexpr const char* kNoCleanupWarning =
    "Upozorenje: prekid programa neće ukloniti privremene datoteke (sustav nije dao nit za "
    "čišćenje).\n";

constexpr int kExitOk = 0;
constexpr int kExitMessage = 1;
constexpr int kExitUsage = 2;
constexpr int kExitEnded = 3;

// What a command needs set up, as flags of its row.
enum Needs : unsigned {
  kNeedsNothing = 0,
  kNeedsProgram = 1u << 0,   // a program object for the working directory (Workspace)
  kNeedsSettings = 1u << 1,  // ... with the e-mail table open and the run settings loaded
  kNeedsNetwork = 1u << 2,   // the socket layer started, with the command line's trace switches
  kNeedsCleanup = 1u << 3,   // writes archives or restores: temporaries go on a termination signal
};

struct Command;

// A command as it is run: its row and its parsed command line.
struct Invocation {
  const Command& command;
  CommandLine line;

  // The problem and the command's help on standard error; returns kExitUsage.
  int Usage(const std::string& problem) const;
};

struct Command {
  const char* name;
  int (*run)(const Invocation&);
  // What follows "verdan " in its usage, one line per form; a line that does not start with
  // the name continues the form above it.
  const char* synopsis;
  const char* summary;                    // one sentence: what it does
  const char* details;                    // the rest of its help (its arguments and options), or ""
  const std::vector<OptionDef>* options;  // what its parser accepts besides --help; null: nothing
  unsigned needs;
};

extern const Command kSettingsCommand;
extern const Command kSendCommand;
extern const Command kBackupCommand;
extern const Command kRestoreCommand;
extern const Command kVerifyCommand;
extern const Command kLogCommand;
extern const Command kListCommand;
extern const Command kArchiveCommand;
extern const Command kFilesCommand;

// The table, in the order of the help.
const std::vector<const Command*>& Commands();
// The row of `name`; null when there is none.
const Command* FindCommand(std::string_view name);

// The program's own options (before a command) and their ids.
enum ProgramOption {
  kOptionWorkdir,
  kOptionDefinitions,
  kOptionQuiet,
  kOptionVerbose,
  kOptionVersion,
};
const std::vector<OptionDef>& ProgramOptions();

// `verdan X --help`, and `verdan --help` with every command of the table.
std::string CommandHelp(const Command& command);
std::string ProgramHelp();

// Parses `args` (what follows the command's name) against the row's options and runs the
// command with the set-up its row asks for; --help prints the command's help. `argc`/`argv`
// are the program's, for the socket layer's trace switches.
int RunCommand(const Command& command, const Args& args, int argc, char** argv);

// The program object a command works on, set up as its row says: the working directory and
// the archive password, and with kNeedsSettings the e-mail table opened and the run settings
// loaded (the table is closed again with the object). Create it once the command's
// arguments are known to be good, so that a usage error creates nothing.
class Workspace {
 public:
  Workspace(const Invocation& invocation, platform::Ui& ui);
  ~Workspace();
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  // False when a table could not be opened: the program has ended and the command returns
  // kExitEnded.
  bool Ok() const { return ok_; }

  app::Program program;

 private:
  bool ok_ = true;
  bool emailHeld_ = false;
};

}  // namespace verdan::cli
