// `verdan list definitions|files`, `verdan archive definition PATH|weekday [--listed]` and
// `verdan files add PATH...`: the two lists' contents, their archive runs and the file list's
// insert, without a screen, in the current directory.
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/archive_definitions.h"
#include "app/file_list.h"
#include "app/frame.h"
#include "app/messages.h"
#include "app/program.h"
#include "app/tables.h"
#include "archive/archive_runs.h"
#include "cli/commands.h"
#include "cli/console_ui.h"
#include "cli/options.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace verdan::cli {
namespace {

constexpr const char* kNoDefinitionText = "Nema definicije arhiva sa stazom: ";

// Holds the tables a command works on, as a window would, for the command's life.
class Tables {
 public:
  Tables(app::Program& program, std::initializer_list<app::TableSlot*> tables) : program_(program) {
    for (app::TableSlot* t : tables) {
      if (t->ReferenceCount == 0 && !app::OpenTable(program, *t)) {
        ok_ = false;
        return;
      }
      ++t->ReferenceCount;
      held_.push_back(t);
    }
  }
  ~Tables() {
    for (app::TableSlot* t : held_)
      if (--t->ReferenceCount == 0) app::CloseTable(*t);
  }
  bool Ok() const { return ok_ && !program_.Ended(); }

 private:
  app::Program& program_;
  std::vector<app::TableSlot*> held_;
  bool ok_ = true;
};

enum ArchiveOption { kListed };
const std::vector<OptionDef> kArchiveOptions = {{"listed", false, kListed}};

int ListCommand(const Invocation& invocation) {
  const Args& args = invocation.line.words;
  if (args.size() != 1 || (args[0] != "definitions" && args[0] != "files"))
    return invocation.Usage("treba reći koju listu: definitions ili files");
  ConsoleUi ui;
  Workspace workspace(invocation, ui);
  app::Program& program = workspace.program;
  app::BrowseDefinition list =
      args[0] == "definitions" ? app::DefinitionBrowse() : app::FileListBrowse();
  app::TableSlot& table = program.*list.table;
  Tables held(program, {&table});
  if (!held.Ok()) return kExitEnded;
  // In the list's order, with the list's columns.
  platform::Record record;
  int code = table.file->Set(list.key);
  while (code == 0 && (code = table.file->Next(record)) == 0) {
    std::string line;
    for (const std::string& cell : app::DisplayedFields(list.columns, record))
      line += (line.empty() ? "" : "\t") + cell;
    std::printf("%s\n", line.c_str());
  }
  std::fflush(stdout);
  if (code != platform::kRecordNotAvailable) {
    app::ShowStandardMessage(program, app::StandardMessageId::kRecordRetrievalError,
                             list.readErrorLabel, {}, &table);
    return kExitMessage;
  }
  return kExitOk;
}

int ArchiveCommand(const Invocation& invocation) {
  const CommandLine& line = invocation.line;
  const Args& args = line.words;
  const bool definition = !args.empty() && args[0] == "definition";
  const bool weekday = !args.empty() && args[0] == "weekday";
  const int option = line.options.empty() ? 0 : 1;
  const std::string path = definition && args.size() == 2 ? args[1] : "";
  if (!(definition && args.size() == 2 && !path.empty()) && !(weekday && args.size() == 1))
    return invocation.Usage("treba reći koji arhiv: definition STAZA ili weekday");
  ConsoleUi ui;
  Workspace workspace(invocation, ui);
  app::Program& program = workspace.program;
  archive::ArchiveShared shared;
  if (definition) {
    Tables held(program, {&program.arhive, &program.datoteke});
    if (!held.Ok()) return kExitEnded;
    // Looked up as the run looks it up afterwards: by path, letter case aside.
    program.ARH.STAZA = platform::FitField(path, app::kArhStazaLength);
    if (platform::CharCount(path) > app::kArhStazaLength ||
        app::GetRecord(program, program.arhive, app::ARH_KEYSTAZA) != 0) {
      archive::ShowRunMessage(program, kNoDefinitionText + path);
      return kExitMessage;
    }
    archive::DefinitionRun(program, shared, option, platform::TrimRightCopy(program.ARH.STAZA));
  } else {
    Tables held(program, {&program.datoteke});
    if (!held.Ok()) return kExitEnded;
    archive::WeekdayRun(program, shared, option);
  }
  if (program.Ended()) return kExitEnded;
  // A browse run always ends with its closing message; anything else shown was a problem.
  for (const std::string& text : ui.Shown())
    if (text != archive::kBrowseClosingText) return kExitMessage;
  return kExitOk;
}

int FilesCommand(const Invocation& invocation) {
  const Args& args = invocation.line.words;
  if (args.size() < 2 || args[0] != "add") return invocation.Usage("treba reći add i datoteke");
  for (std::size_t i = 1; i < args.size(); ++i)
    if (platform::IsBlank(args[i])) return invocation.Usage("prazno ime datoteke");
  ConsoleUi ui;
  Workspace workspace(invocation, ui);
  app::Program& program = workspace.program;
  Tables held(program, {&program.datoteke});
  if (!held.Ok()) return kExitEnded;
  bool refused = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    // A data file named as the file dialog names it: by its full path.
    std::string full = std::filesystem::absolute(args[i]).lexically_normal().string();
    std::string entry = app::FileListEntryOf(full);
    if (platform::CharCount(entry) > app::kDatImeLength) {
      archive::ShowRunMessage(program, std::string(app::kPathTooLongText) + " " + args[i]);
      refused = true;
      continue;
    }
    app::ClearRecord(program, program.datoteke);
    program.DAT.IME = platform::FitField(entry, app::kDatImeLength);
    if (app::AddFileListEntry(program) != 0) refused = true;
    if (program.Ended()) return kExitEnded;
  }
  return refused ? kExitMessage : kExitOk;
}

}  // namespace

const Command kListCommand = {
    "list",
    ListCommand,
    "list definitions|files",
    "Ispiše definicije arhiva ili listu datoteka.",
    "Retci su po ključu liste, polja odvojena tabulatorom.\n",
    nullptr,
    kNeedsProgram,
};

const Command kArchiveCommand = {
    "archive",
    ArchiveCommand,
    "archive definition STAZA [--listed]\n"
    "archive weekday [--listed]",
    "Arhivira u arhiv definicije s tom stazom, ili u arhiv dana u tjednu u radnom direktoriju.",
    "  --listed   datoteke s liste umjesto *.tps radnog direktorija\n",
    &kArchiveOptions,
    kNeedsProgram | kNeedsCleanup,
};

const Command kFilesCommand = {
    "files",
    FilesCommand,
    "files add DATOTEKA...",
    "Doda datoteke na listu za arhiviranje (kao obrazac liste).",
    "",
    nullptr,
    kNeedsProgram,
};

}  // namespace verdan::cli
