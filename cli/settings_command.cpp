// `verdan settings`: shows (and changes) the run settings and the mail profile kept in the
// e-mail table of the current directory, opening the table and loading the settings as the
// main frame does. The password is read from standard input, never from the command line,
// where other users' `ps` and the crontab would show it.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "app/program.h"
#include "app/tables.h"
#include "cli/commands.h"
#include "cli/console_ui.h"
#include "mail/mail_settings.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace verdan::cli {
namespace {

constexpr const char* kUsage =
    "Upotreba: verdan settings [--source DIR] [--dest DIR] [--disk SLOVO] [--naming dan|dat|mix]\n"
    "       [--server HOST] [--port N] [--user IME] [--password-stdin] [--from ADRESA]\n"
    "       [--to POPIS] [--subject TEKST]\n";

struct SettingsOptions {
  bool any = false;
  std::string source, dest, disk, naming;
  bool hasSource = false, hasDest = false, hasDisk = false, hasNaming = false;
  mail::SmtpSettings smtp;
  std::string port;
  unsigned smtpFields = 0;  // mail::SmtpField mask of the options given
  bool passwordStdin = false;
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
    unsigned smtp = 0;
    if (a == "--password-stdin") {
      o.passwordStdin = true;
      o.smtpFields |= mail::kSmtpPassword;
      o.any = true;
      continue;
    }
    if (a == "--server") target = &o.smtp.server, smtp = mail::kSmtpServer;
    else if (a == "--port") target = &o.port, smtp = mail::kSmtpPort;
    else if (a == "--user") target = &o.smtp.user, smtp = mail::kSmtpUser;
    else if (a == "--from") target = &o.smtp.from, smtp = mail::kSmtpFrom;
    else if (a == "--to") target = &o.smtp.to, smtp = mail::kSmtpTo;
    else if (a == "--subject") target = &o.smtp.subject, smtp = mail::kSmtpSubject;
    else if (a == "--source") target = &o.source, seen = &o.hasSource;
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
    if (seen) *seen = true;
    o.smtpFields |= smtp;
    o.any = true;
  }
  if (o.smtpFields & mail::kSmtpPort) {
    o.smtp.port = mail::ParsePort(o.port);
    if (o.smtp.port == 0) {
      problem = "--port traži broj od 1 do 65535";
      return false;
    }
  }
  for (const std::string* text : {&o.smtp.server, &o.smtp.user, &o.smtp.from, &o.smtp.to, &o.smtp.subject}) {
    if (text->find_first_of("\r\n") != std::string::npos) {
      problem = "vrijednost ne smije sadržavati prijelom retka";
      return false;
    }
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

// The password from standard input: one line, its line end removed. On a terminal the user is
// asked for it and the typing is not shown.
bool ReadPassword(std::string& password) {
  const bool terminal = ::isatty(0) == 1;
  termios saved{};
  if (terminal) {
    std::fprintf(stderr, "Zaporka: ");
    std::fflush(stderr);
    if (::tcgetattr(0, &saved) == 0) {
      termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      ::tcsetattr(0, TCSAFLUSH, &quiet);
    }
  }
  const bool ok = static_cast<bool>(std::getline(std::cin, password));
  if (terminal) {
    ::tcsetattr(0, TCSAFLUSH, &saved);
    std::fprintf(stderr, "\n");
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return ok || !password.empty();
}

}  // namespace

int SettingsCommand(const Args& args) {
  SettingsOptions options;
  std::string problem;
  if (!Parse(args, options, problem)) return Usage(problem);
  if (options.passwordStdin && !ReadPassword(options.smtp.password))
    return Usage("--password-stdin: na standardnom ulazu nema zaporke");

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
  int status = kExitOk;
  if (options.smtpFields != 0 && !mail::StoreSmtpSettings(program, options.smtp, options.smtpFields, problem)) {
    std::fprintf(stderr, "verdan settings: %s\n", problem.c_str());
    status = kExitMessage;
  }
  if (options.any) app::SaveEmailSettings(program);

  std::printf("POCDIR=%s\n", platform::TrimRightCopy(run.POCDIR).c_str());
  std::printf("ZAVDIR=%s\n", platform::TrimRightCopy(run.ZAVDIR).c_str());
  std::printf("OZNAKAARHIVDISKA=%s\n", platform::TrimRightCopy(run.OZNAKAARHIVDISKA).c_str());
  std::printf("TIP_ARH=%s\n", platform::TrimRightCopy(run.TIP_ARH).c_str());
  // The mail profile as a send will use it (no user: no authentication); the password is
  // only said to be there.
  const mail::SmtpSettings smtp = mail::SmtpSettingsOf(program.PEM);
  std::printf("SERVER=%s\nPORT=%u\nUSER=%s\nPASSWORD=%s\nFROM=%s\nTO=%s\nSUBJECT=%s\n",
              smtp.server.c_str(), static_cast<unsigned>(smtp.port), smtp.user.c_str(),
              smtp.password.empty() ? "" : "********", smtp.from.c_str(), smtp.to.c_str(),
              smtp.subject.c_str());
  std::fflush(stdout);

  if (--program.email.ReferenceCount == 0) app::CloseTable(program.email);
  if (!ui.Shown().empty()) status = kExitMessage;
  return status;
}

}  // namespace verdan::cli
