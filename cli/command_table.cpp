// The table of commands, the help made from it, and the set-up every command shares.
#include <cstdio>
#include <optional>
#include <string>

#include "app/frame.h"
#include "app/tables.h"
#include "zip/temporaries.h"
#include "cli/commands.h"
#include "cli/console_ui.h"
#include "net/socket_layer.h"
#include "platform/paths.h"

namespace verdan::cli {
namespace {

struct ProgramOptionHelp {
  OptionDef option;
  const char* written;  // as the help shows it
  const char* text;
};

const ProgramOptionHelp kProgramOptions[] = {
    {{"workdir", true, kOptionWorkdir}, "--workdir DIR", "radni direktorij (inače trenutni)"},
    {{"quiet", false, kOptionQuiet, 'q'},
     "-q, --quiet",
     "poruke samo kad naredba ne uspije (za cron)"},
    {{"verbose", false, kOptionVerbose, 'v'},
     "-v, --verbose",
     "redak za svaku datoteku dok se arhivira ili vraća"},
    {{"definitions", false, kOptionDefinitions},
     "--definitions",
     "uz prozore otvori i popis arhiva"},
    {{"version", false, kOptionVersion}, "--version", "inačica programa"},
};

// The lines of a synopsis, each marked as a form of its own or as a continuation.
struct SynopsisLine {
  std::string text;
  bool form;
};

std::vector<SynopsisLine> SynopsisLines(const Command& command) {
  std::vector<SynopsisLine> lines;
  const std::string synopsis = command.synopsis;
  const std::string name = std::string(command.name);
  for (std::size_t at = 0; at < synopsis.size();) {
    std::size_t end = synopsis.find('\n', at);
    if (end == std::string::npos) end = synopsis.size();
    const std::string text = synopsis.substr(at, end - at);
    const bool form =
        text.rfind(name, 0) == 0 && (text.size() == name.size() || text[name.size()] == ' ');
    lines.push_back({text, form});
    at = end + 1;
  }
  return lines;
}

}  // namespace

const std::vector<const Command*>& Commands() {
  static const std::vector<const Command*> table = {
      &kSettingsCommand, &kBackupCommand,  &kRestoreCommand, &kVerifyCommand, &kLogCommand,
      &kListCommand,     &kArchiveCommand, &kFilesCommand,   &kSendCommand,
  };
  return table;
}

const Command* FindCommand(std::string_view name) {
  for (const Command* c : Commands())
    if (name == c->name) return c;
  return nullptr;
}

const std::vector<OptionDef>& ProgramOptions() {
  static const std::vector<OptionDef> options = [] {
    std::vector<OptionDef> list;
    for (const ProgramOptionHelp& o : kProgramOptions) list.push_back(o.option);
    return list;
  }();
  return options;
}

std::string CommandHelp(const Command& command) {
  std::string help;
  bool first = true;
  for (const SynopsisLine& line : SynopsisLines(command)) {
    if (line.form)
      help += std::string(first ? "Upotreba: " : "          ") + "verdan " + line.text + "\n";
    else
      help += "       " + line.text + "\n";
    first = false;
  }
  help += std::string(command.summary) + "\n" + command.details;
  return help;
}

std::string ProgramHelp() {
  std::string help =
      "Upotreba: verdan [-q|-v] [--workdir DIR] [NAREDBA [ARGUMENTI]]\n"
      "          verdan [--workdir DIR] [--definitions]\n"
      "\n"
      "Bez naredbe otvara prozore programa u radnom direktoriju.\n"
      "\n"
      "Naredbe:\n";
  for (const Command* c : Commands()) {
    const std::string indent(std::string(c->name).size() + 3, ' ');
    for (const SynopsisLine& line : SynopsisLines(*c))
      help += (line.form ? "  " : indent) + line.text + "\n";
    help += std::string("      ") + c->summary + "\n";
  }
  help += "\nOpcije:\n";
  for (const ProgramOptionHelp& o : kProgramOptions) {
    std::string written = o.written;
    written.resize(std::max<std::size_t>(written.size() + 2, 18), ' ');
    help += "  " + written + o.text + "\n";
  }
  help += "  -h, --help        ova pomoć; verdan NAREDBA --help: pomoć za naredbu\n";
  return help;
}

int Invocation::Usage(const std::string& problem) const {
  return UsageError(command.name, problem, CommandHelp(command));
}

int RunCommand(const Command& command, const Args& args, int argc, char** argv) {
  Invocation invocation{command, {}};
  static const std::vector<OptionDef> kNone;
  std::string problem;
  if (!ParseOptions(args, command.options ? *command.options : kNone, invocation.line, problem))
    return invocation.Usage(problem);
  if (invocation.line.help) return PrintHelp(CommandHelp(command));
  // The socket layer and its threads only for a command that talks to a server.
  std::optional<net::NetProgramScope> network;
  if (command.needs & kNeedsNetwork) network.emplace(argc, argv);
  // Interrupt, terminate and hang-up end a run without leaving its temporary files.
  // Interrupt, terminate and hang-up end the run without leaving its temporary files.
  if ((command.needs & kNeedsCleanup) && !archive::RemoveTemporariesOnTermination())
    std::fputs(kNoCleanupWarning, stderr);
  return command.run(invocation);
}

Workspace::Workspace(const Invocation& invocation, platform::Ui& ui) : program(ui) {
  program.archivePassword = app::kBuiltInArchivePassword;
  program.StartDirectory = platform::CurrentDirectory();
  if (!(invocation.command.needs & kNeedsSettings)) return;
  if (!app::OpenTable(program, program.email)) {
    ok_ = false;
    return;
  }
  ++program.email.ReferenceCount;
  emailHeld_ = true;
  app::LoadEmailSettings(program);
}

Workspace::~Workspace() {
  if (emailHeld_ && --program.email.ReferenceCount == 0) app::CloseTable(program.email);
}

}  // namespace verdan::cli
