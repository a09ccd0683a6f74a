// `verdan settings`: shows (and changes) the run settings and the mail profile kept in the
// e-mail table of the current directory, opening the table and loading the settings as the
// main frame does. The passwords (the SMTP one and the one archives are encrypted under) are
// read from standard input, never from the command line, where other users' `ps` and the
// crontab would show them.

#include <cstdio>
#include <iostream>
#include <string>

#include "app/archive_password.h"
#include "app/program.h"
#include "app/tables.h"
#include "archive/generations.h"
#include "cli/commands.h"
#include "cli/console_ui.h"
#include "cli/oauth_signin.h"
#include "cli/options.h"
#include "mail/mail_options.h"
#include "mail/mail_settings.h"
#include "mail/oauth.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace verdan::cli {
namespace {

enum Option {
  kSource,
  kDest,
  kDisk,
  kNaming,
  kKeep,
  kServer,
  kPort,
  kUser,
  kPasswordStdin,
  kFrom,
  kTo,
  kSubject,
  kTls,
  kCaFile,
  kOAuth,
  kOAuthDeviceUrl,
  kOAuthTokenUrl,
  kOAuthClientId,
  kOAuthScope,
  kOAuthSecretStdin,
  kArchivePasswordStdin
};

const std::vector<OptionDef> kOptions = {
    {"source", true, kSource},
    {"dest", true, kDest},
    {"disk", true, kDisk},
    {"naming", true, kNaming},
    {"keep", true, kKeep},
    {"server", true, kServer},
    {"port", true, kPort},
    {"user", true, kUser},
    {"password-stdin", false, kPasswordStdin},
    {"from", true, kFrom},
    {"to", true, kTo},
    {"subject", true, kSubject},
    {"tls", true, kTls},
    {"cafile", true, kCaFile},
    {"oauth", true, kOAuth},
    {"oauth-device-url", true, kOAuthDeviceUrl},
    {"oauth-token-url", true, kOAuthTokenUrl},
    {"oauth-client-id", true, kOAuthClientId},
    {"oauth-scope", true, kOAuthScope},
    {"oauth-client-secret-stdin", false, kOAuthSecretStdin},
    {"archive-password-stdin", false, kArchivePasswordStdin},
};

struct SettingsOptions {
  bool any = false;
  std::string source, dest, disk, naming;
  bool hasSource = false, hasDest = false, hasDisk = false, hasNaming = false;
  long keep = -1;  // -1: not given
  mail::SmtpSettings smtp;
  unsigned smtpFields = 0;  // mail::SmtpField mask of the options given
  bool passwordStdin = false;
  bool archivePasswordStdin = false;
  std::string archivePassword;
  bool hasTls = false, hasCaFile = false;
  mail::TlsMode tls = mail::TlsMode::kNone;
  std::string caFile;
  OAuthRequest oauth;
};

// Checks and takes the options; on a usage error returns false with `problem` set.
bool Take(const CommandLine& line, SettingsOptions& o, std::string& problem) {
  if (!line.words.empty()) {
    problem = "suvišan argument '" + line.words.front() + "'";
    return false;
  }
  for (const ParsedOption& opt : line.options) {
    o.any = true;
    const std::string& v = opt.value;
    if (opt.id != kSource && opt.id != kDest && v.find_first_of("\r\n") != std::string::npos) {
      problem = "vrijednost ne smije sadržavati prijelom retka";
      return false;
    }
    switch (opt.id) {
      case kSource:
        o.source = v, o.hasSource = true;
        break;
      case kDest:
        o.dest = v, o.hasDest = true;
        break;
      case kDisk:
        o.disk = v, o.hasDisk = true;
        break;
      case kNaming:
        o.naming = v, o.hasNaming = true;
        break;
      case kKeep:
        if (!ParseNumber(v, 0, archive::kMostGenerations, o.keep)) {
          problem = "--keep traži broj od 0 do " + std::to_string(archive::kMostGenerations);
          return false;
        }
        break;
      case kServer:
        o.smtp.server = v, o.smtpFields |= mail::kSmtpServer;
        break;
      case kPort:
        o.smtp.port = mail::ParsePort(v);
        o.smtpFields |= mail::kSmtpPort;
        if (o.smtp.port == 0) {
          problem = "--port traži broj od 1 do 65535";
          return false;
        }
        break;
      case kUser:
        o.smtp.user = v, o.smtpFields |= mail::kSmtpUser;
        break;
      case kPasswordStdin:
        o.passwordStdin = true, o.smtpFields |= mail::kSmtpPassword;
        break;
      case kFrom:
        o.smtp.from = v, o.smtpFields |= mail::kSmtpFrom;
        break;
      case kTo:
        o.smtp.to = v, o.smtpFields |= mail::kSmtpTo;
        break;
      case kSubject:
        o.smtp.subject = v, o.smtpFields |= mail::kSmtpSubject;
        break;
      case kTls:
        o.hasTls = true;
        if (!mail::ParseTlsMode(v, o.tls)) {
          problem = "--tls traži none, starttls, implicit ili cleartext";
          return false;
        }
        break;
      case kCaFile:
        o.caFile = v, o.hasCaFile = true;
        break;
      case kOAuth:
        o.oauth.kind = v, o.oauth.given = true;
        break;
      case kOAuthDeviceUrl:
        o.oauth.deviceUrl = v, o.oauth.hasDeviceUrl = true;
        break;
      case kOAuthTokenUrl:
        o.oauth.tokenUrl = v, o.oauth.hasTokenUrl = true;
        break;
      case kOAuthClientId:
        o.oauth.clientId = v, o.oauth.hasClientId = true;
        break;
      case kOAuthScope:
        o.oauth.scope = v, o.oauth.hasScope = true;
        break;
      case kOAuthSecretStdin:
        o.oauth.secretStdin = true;
        break;
      case kArchivePasswordStdin:
        o.archivePasswordStdin = true;
        break;
    }
  }
  // Standard input holds one secret.
  if (o.archivePasswordStdin + o.passwordStdin + o.oauth.secretStdin > 1) {
    problem =
        "samo jedna od --password-stdin, --archive-password-stdin i "
        "--oauth-client-secret-stdin odjednom (svaka čita standardni ulaz)";
    return false;
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
// asked for it (`prompt`) and the typing is not shown.
bool ReadPassword(std::string& password, const char* prompt = "Zaporka: ") {
  const bool terminal = platform::StdinIsTerminal();
  if (terminal) {
    std::fprintf(stderr, "%s", prompt);
    std::fflush(stderr);
  }
  bool ok = false;
  {
    platform::HiddenInput hidden;
    ok = static_cast<bool>(std::getline(std::cin, password));
  }
  if (terminal) std::fprintf(stderr, "\n");
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return ok || !password.empty();
}

int SettingsCommand(const Invocation& invocation) {
  const CommandLine& line = invocation.line;
  SettingsOptions options;
  std::string problem;
  if (!Take(line, options, problem) || !CheckOAuthRequest(options.oauth, problem))
    return invocation.Usage(problem);
  // A provider's preset brings its SMTP server, unless the options name another.
  if (const mail::OAuthPreset* preset = mail::FindOAuthPreset(options.oauth.kind)) {
    if (!(options.smtpFields & mail::kSmtpServer)) options.smtp.server = preset->server;
    if (!(options.smtpFields & mail::kSmtpPort)) options.smtp.port = preset->port;
    options.smtpFields |= mail::kSmtpServer | mail::kSmtpPort;
    if (!options.hasTls) options.hasTls = true, options.tls = mail::TlsMode::kStartTls;
  }
  if (options.passwordStdin && !ReadPassword(options.smtp.password))
    return invocation.Usage("--password-stdin: na standardnom ulazu nema zaporke");
  if (options.archivePasswordStdin) {
    // An empty line clears the password: archives are then written unencrypted.
    if (!ReadPassword(options.archivePassword, "Zaporka arhive (prazno: bez šifriranja): "))
      return invocation.Usage("--archive-password-stdin: na standardnom ulazu nema zaporke");
    // Typed on a terminal, it is asked twice: a mistyped one would lock every archive away.
    std::string again;
    if (platform::StdinIsTerminal() && !options.archivePassword.empty() &&
        (!ReadPassword(again, "Ponovite zaporku arhive: ") || again != options.archivePassword))
      return invocation.Usage(
          "--archive-password-stdin: zaporke se ne podudaraju, ništa nije "
          "promijenjeno");
  }

  ConsoleUi ui;
  Workspace workspace(invocation, ui);
  if (!workspace.Ok()) return kExitEnded;
  app::Program& program = workspace.program;

  app::RunSettings& run = program.run;
  if (options.hasSource) run.POCDIR = platform::FitField(options.source, 127);
  if (options.hasDest) run.ZAVDIR = platform::FitField(options.dest, 127);
  if (options.hasDisk) run.OZNAKAARHIVDISKA = platform::FitField(options.disk, 1);
  if (options.hasNaming) run.TIP_ARH = platform::FitField(options.naming, 3);
  int status = kExitOk;
  if (options.smtpFields != 0 &&
      !mail::StoreSmtpSettings(program, options.smtp, options.smtpFields, problem)) {
    std::fprintf(stderr, "verdan settings: %s\n", problem.c_str());
    status = kExitMessage;
  }
  if (options.any) app::SaveEmailSettings(program);
  if (options.hasTls || options.hasCaFile) {
    mail::MailOptions mailOptions = mail::LoadMailOptions();
    if (options.hasTls) mailOptions.tls = options.tls;
    if (options.hasCaFile) mailOptions.caFile = options.caFile;
    mail::SaveMailOptions(mailOptions);
  }
  std::string storeProblem;
  if (options.archivePasswordStdin &&
      !app::StoreArchivePassword(options.archivePassword, storeProblem)) {
    std::fprintf(stderr, "verdan settings: zaporka arhive nije spremljena: %s\n",
                 storeProblem.c_str());
    status = kExitMessage;
  }
  if (options.keep >= 0 && !archive::SetKeptGenerations(static_cast<int>(options.keep))) {
    std::fprintf(stderr, "verdan settings: broj generacija nije spremljen u verdan.env\n");
    status = kExitMessage;
  }

  std::printf("POCDIR=%s\n", platform::TrimRightCopy(run.POCDIR).c_str());
  std::printf("ZAVDIR=%s\n", platform::TrimRightCopy(run.ZAVDIR).c_str());
  std::printf("OZNAKAARHIVDISKA=%s\n", platform::TrimRightCopy(run.OZNAKAARHIVDISKA).c_str());
  std::printf("TIP_ARH=%s\n", platform::TrimRightCopy(run.TIP_ARH).c_str());
  // The mail profile as a send will use it (no user: no authentication); the password is
  // only said to be there.
  mail::SmtpSettings smtp = mail::SmtpSettingsOf(program.PEM);
  std::string passwordProblem;
  if (!mail::LoadSmtpPassword(smtp, passwordProblem)) {
    if (passwordProblem != problem)
      std::fprintf(stderr, "verdan settings: %s\n", passwordProblem.c_str());
    status = kExitMessage;
  }
  std::printf("SERVER=%s\nPORT=%u\nUSER=%s\nPASSWORD=%s\nFROM=%s\nTO=%s\nSUBJECT=%s\n",
              smtp.server.c_str(), static_cast<unsigned>(smtp.port), smtp.user.c_str(),
              smtp.password.empty() ? "" : "********", smtp.from.c_str(), smtp.to.c_str(),
              smtp.subject.c_str());
  const mail::MailOptions mailOptions = mail::LoadMailOptions();
  std::printf("TLS=%s\nCAFILE=%s\n",
              mailOptions.invalidTls.empty() ? mail::TlsModeName(mailOptions.tls)
                                             : mailOptions.invalidTls.c_str(),
              mailOptions.caFile.c_str());
  if (!mailOptions.invalidTls.empty())
    std::fprintf(stderr, "verdan settings: %s\n",
                 mail::InvalidTlsText(mailOptions.invalidTls).c_str());
  if (options.oauth.given) {
    std::fflush(stdout);
    const int signIn = RunOAuthSignIn(options.oauth);
    if (signIn != kExitOk) status = signIn;
  }
  PrintOAuthState();
  std::printf("GENERACIJE=%d\n", archive::KeptGenerations());
  // Whether archives are encrypted; the password itself is never shown.
  std::string archivePassword, archiveProblem;
  const bool archiveRead = app::LoadArchivePassword(archivePassword, archiveProblem);
  if (!archiveRead) {
    if (archiveProblem != passwordProblem && archiveProblem != storeProblem)
      std::fprintf(stderr, "verdan settings: %s\n", archiveProblem.c_str());
    status = kExitMessage;
  }
  std::printf("ZAPORKAARHIVE=%s\n", !archiveRead              ? "nepoznato"
                                    : archivePassword.empty() ? "nema"
                                                              : "postavljena (AES-256)");
  std::fflush(stdout);

  if (!ui.Shown().empty()) status = kExitMessage;
  return status;
}

}  // namespace

const Command kSettingsCommand = {
    "settings",
    SettingsCommand,
    "settings [--source DIR] [--dest DIR] [--disk SLOVO] [--naming dan|dat|mix]\n"
    "[--keep N] [--server HOST] [--port N] [--user IME] [--password-stdin]\n"
    "[--from ADRESA] [--to POPIS] [--subject TEKST]\n"
    "[--tls none|starttls|implicit|cleartext] [--cafile DATOTEKA]\n"
    "[--oauth microsoft|google|custom|none [--oauth-client-id ID]\n"
    "[--oauth-device-url URL] [--oauth-token-url URL] [--oauth-scope OPSEG]\n"
    "[--oauth-client-secret-stdin]] [--archive-password-stdin]",
    "Prikaže (i promijeni) postavke arhiviranja i slanja e-maila.",
    "Bez opcija prikaže postavke; s opcijama ih promijeni i spremi.\n"
    "  --keep N           zadrži samo N najnovijih arhiva po danu/datumu (0: sve)\n"
    "  --password-stdin   zaporka za SMTP sa standardnog ulaza (jedan redak)\n"
    "  --tls NAČIN        zaštita veze sa SMTP poslužiteljem (starttls: port 587, implicit: 465;\n"
    "                     none: zaporka samo preko STARTTLS koji poslužitelj nudi;\n"
    "                     cleartext: zaporka smije i nešifrirano)\n"
    "  --cafile DATOTEKA  vlastiti CA certifikati za provjeru poslužitelja (prazno: sustavni)\n"
    "  --oauth VRSTA      prijava tokenom (OAuth 2.0) umjesto zaporke: ispiše adresu i kod za\n"
    "                     prijavu, pričeka je i spremi token za obnovu; none: odjava\n"
    "  --oauth-client-secret-stdin  tajna aplikacije (Google) sa standardnog ulaza\n"
    "                     (ili iz varijable VERDAN_OAUTH_CLIENT_SECRET)\n"
    "  --archive-password-stdin  zaporka kojom se arhive šifriraju (AES-256), sa standardnog\n"
    "                     ulaza (jedan redak; prazan redak: arhive bez šifriranja). Popis\n"
    "                     datoteka arhive (imena, veličine) ostaje čitljiv, šifrira se sadržaj\n",
    &kOptions,
    kNeedsSettings,
};

}  // namespace verdan::cli
