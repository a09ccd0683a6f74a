// `verdan send`: mails files through the SMTP server of the e-mail settings record, as the
// e-mail send window does: the record and verdan.env supply what the options leave out, the
// object is set up as the window sets it up, and the window's event loop is run until the
// queue is empty or the dialogue has failed.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "app/program.h"
#include "app/run_log.h"
#include "app/tables.h"
#include "cli/commands.h"
#include "cli/console_ui.h"
#include "cli/options.h"
#include "mail/mail_options.h"
#include "mail/mail_settings.h"
#include "mail/net_email_send.h"
#include "mail/oauth.h"
#include "net/socket_layer.h"
#include "platform/event_loop.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace verdan::cli {
namespace {

using platform::TrimRightCopy;

constexpr const char* kSentText = "E-mail Poslan uspješno";
constexpr const char* kStatusError = "Nastala je greška prilikom slanja !!!";
constexpr std::int32_t kProgressTimer = 50;  // hundredths
// After the last reply, how long the connection is given to finish its close. The layer lets
// the connection go on its own thread and then posts kEventConnectionsClosed.
constexpr auto kCloseGrace = std::chrono::seconds(3);
constexpr std::int32_t kEventConnectionsClosed = platform::kEventUser + 90;

struct SendOptions {
  std::vector<std::string> files;
  std::string server, port, user, password, from, to, cc, bcc, subject, text;
  bool hasServer = false, hasPort = false, hasUser = false, hasPassword = false, hasFrom = false,
       hasTo = false, hasCc = false, hasBcc = false, hasSubject = false;
  bool passwordStdin = false;
  // Options beyond the settings record; they override verdan.env.
  std::string tls, caFile;
  bool hasTls = false, hasCaFile = false, split = false, encodeHeaders = false;
  std::string retryPauses;
  bool hasRetryPauses = false;
};

enum Option {
  kServer,
  kPort,
  kUser,
  kPassword,
  kPasswordStdin,
  kFrom,
  kTo,
  kCc,
  kBcc,
  kSubject,
  kText,
  kTls,
  kCaFile,
  kSplit,
  kEncodeHeaders,
  kRetryPauses
};

const std::vector<OptionDef> kOptions = {
    {"server", true, kServer},
    {"port", true, kPort},
    {"user", true, kUser},
    {"password", true, kPassword},
    {"password-stdin", false, kPasswordStdin},
    {"from", true, kFrom},
    {"to", true, kTo},
    {"cc", true, kCc},
    {"bcc", true, kBcc},
    {"subject", true, kSubject},
    {"text", true, kText},
    {"tls", true, kTls},
    {"cafile", true, kCaFile},
    {"split", false, kSplit},
    {"encode-headers", false, kEncodeHeaders},
    {"retry-pauses", true, kRetryPauses},
};

bool Parse(const CommandLine& line, SendOptions& o, std::string& problem) {
  for (const ParsedOption& opt : line.options) {
    const std::string& v = opt.value;
    switch (opt.id) {
      case kServer:
        o.server = v, o.hasServer = true;
        break;
      case kPort:
        o.port = v, o.hasPort = true;
        break;
      case kUser:
        o.user = v, o.hasUser = true;
        break;
      case kPassword:
        o.password = v, o.hasPassword = true;
        break;
      case kPasswordStdin:
        o.passwordStdin = o.hasPassword = true;
        break;
      case kFrom:
        o.from = v, o.hasFrom = true;
        break;
      case kTo:
        o.to = v, o.hasTo = true;
        break;
      case kCc:
        o.cc = v, o.hasCc = true;
        break;
      case kBcc:
        o.bcc = v, o.hasBcc = true;
        break;
      case kSubject:
        o.subject = v, o.hasSubject = true;
        break;
      case kText:
        o.text = v;
        break;
      case kTls:
        o.tls = v, o.hasTls = true;
        break;
      case kCaFile:
        o.caFile = v, o.hasCaFile = true;
        break;
      case kSplit:
        o.split = true;
        break;
      case kEncodeHeaders:
        o.encodeHeaders = true;
        break;
      case kRetryPauses:
        o.retryPauses = v, o.hasRetryPauses = true;
        break;
    }
  }
  for (const std::string& a : line.words) {
    // The attachment list is quoted and split by the composer: a name holding a double
    // quote or "|" would be cut apart there.
    if (a.find_first_of("\"|") != std::string::npos) {
      problem = "ime datoteke ne smije sadržavati \" ni |: " + a;
      return false;
    }
    o.files.push_back(a);
  }
  return true;
}

// The e-mail object as the send window sets it up, with the window's two hooks.
class ConsoleEmailSend : public mail::NetEmailSend {
 public:
  explicit ConsoleEmailSend(ConsoleUi& ui) : NetEmailSend(&ui), ui_(ui) {}

  void Init() {
    NetEmailSend::Init();
    OPTIONSMIMETEXTTRANSFERENCODING = "quoted-printable";
    OPTIONSMIMEHTMLTRANSFERENCODING = "quoted-printable";
    OPTIONSKEEPCONNECTIONOPEN = 0;
    RECONNECTAFTERXMSGS = 20;
    InactiveTimeout = 9000;
  }

  void MessageSent() override {
    ++accepted_;
    if (DATAQUEUE && DATAQUEUE->size() > 1) return;  // more are waiting
    platform::MessageSpec boxSpec;
    boxSpec.text = kSentText;
    boxSpec.icon = platform::Icon::kInformation;
    boxSpec.buttons = platform::kButtonOk;
    ui_.Message(boxSpec);
    ++sent_;
  }

  void ReportError(const std::string& errorText, const std::string& functionName) override {
    if (!failed_) {
      failedCode_ = SERVERERRORNUM;
      failedError_ = Error;
    }
    NetEmailSend::ReportError(errorText, functionName);
    failed_ = true;
    lastError_ = errorText;
    std::fprintf(stderr, "%s\n", kStatusError);
  }
  const std::string& lastError() const { return lastError_; }

  void ProgressControl(mail::ProgressChange change, std::int32_t value) override {
    platform::ProgressInfo info;
    info.what = "E-mail";
    info.bytesDone = value;
    info.bytesTotal = 1000;
    info.finished = change == mail::ProgressChange::kHide;
    ui_.Progress(info);
  }

  bool failed() const { return failed_; }
  int sent() const { return sent_; }
  int accepted() const { return accepted_; }
  // Whether the failure may pass by itself: a 4xx reply, or a connection that could not be
  // made, broke or timed out. A 5xx reply, a refused login or certificate is final.
  bool Temporary() const {
    if (failedCode_ >= 400 && failedCode_ < 500) return true;
    if (failedCode_ != 0) return false;
    return failedError_ == net::kNetCannotConnect || failedError_ == net::kNetTimeout ||
           failedError_ == net::kNetAddressNotFound || failedError_ == net::kNetSocketDead ||
           failedError_ > 0;
  }
  // The connection could not even be started.
  void ConnectFailed() {
    if (!failed_) failedError_ = Error;
    failed_ = true;
  }
  // The failure is the caller's: no token could be had.
  void FailBeforeSending(const std::string& text, bool temporary) {
    failed_ = true;
    lastError_ = text;
    failedCode_ = 0;
    failedError_ = temporary ? net::kNetCannotConnect : net::kNetTlsFailed;
    std::fprintf(stderr, "%s\n%s\n", text.c_str(), kStatusError);
  }

 private:
  ConsoleUi& ui_;
  bool failed_ = false;
  int sent_ = 0;
  int accepted_ = 0;
  std::int32_t failedCode_ = 0;
  std::int32_t failedError_ = 0;
  std::string lastError_;
};

int SendCommand(const Invocation& invocation) {
  const auto Usage = [&invocation](const std::string& problem) {
    return invocation.Usage(problem);
  };
  SendOptions o;
  std::string problem;
  if (!Parse(invocation.line, o, problem)) return Usage(problem);
  if (o.passwordStdin) {
    // One line from standard input, its line end removed.
    if (!std::getline(std::cin, o.password))
      return Usage("--password-stdin: na standardnom ulazu nema zaporke");
    if (!o.password.empty() && o.password.back() == '\r') o.password.pop_back();
  }
  mail::MailOptions mailOptions = mail::LoadMailOptions();
  if (o.hasTls && !mail::ParseTlsMode(o.tls, mailOptions.tls))
    return Usage("--tls traži none, starttls, implicit ili cleartext");
  if (o.hasTls) mailOptions.invalidTls.clear();
  if (!mailOptions.invalidTls.empty()) {
    std::fprintf(stderr, "verdan send: %s\n", mail::InvalidTlsText(mailOptions.invalidTls).c_str());
    return kExitMessage;
  }
  if (o.hasCaFile) mailOptions.caFile = o.caFile;
  if (o.split) mailOptions.splitOversize = true;
  if (o.encodeHeaders) mailOptions.encodeHeaders = true;
  std::vector<int> retryPauses;
  if (!mail::ParseRetryPauses(o.hasRetryPauses ? o.retryPauses : mail::LoadRetryPausesText(),
                              retryPauses, problem)) {
    if (o.hasRetryPauses) return Usage(problem);
    std::fprintf(stderr, "verdan send: %s\n", problem.c_str());
    return kExitMessage;
  }
  mail::OAuthConfig oauth = mail::LoadOAuthConfig();
  oauth.caFile = mailOptions.caFile;

  ConsoleUi ui;
  ui.SetProgressEnabled(::isatty(2) == 1);
  Workspace workspace(invocation, ui);
  if (!workspace.Ok()) return kExitEnded;
  app::Program& program = workspace.program;
  // What the options leave out comes from the saved settings; the record's placeholder
  // credentials count as none, so without a user of its own the server sees no AUTH.
  mail::SmtpSettings saved = mail::SmtpSettingsOf(program.PEM);
  std::string passwordProblem;
  mail::LoadSmtpPassword(saved, passwordProblem);
  // A user given here goes with the password given here (or the saved one when the saved
  // user is the same); the saved user goes with the saved password.
  const std::string user = TrimRightCopy(o.hasUser ? o.user : saved.user);
  const bool savedPassword = !o.hasPassword && (!o.hasUser || user == saved.user);
  if (savedPassword && !user.empty() && !passwordProblem.empty()) {
    // Without the stored password the server would refuse the login: nothing is sent.
    std::fprintf(stderr, "verdan send: %s E-mail nije poslan.\n", passwordProblem.c_str());
    return kExitMessage;
  }
  mail::ProfileLists lists;
  mail::ReadProfileLists(lists);

  std::uint16_t port = saved.port;
  if (o.hasPort) {
    port = mail::ParsePort(o.port);
    if (port == 0) return Usage("--port traži broj od 1 do 65535");
  }
  port = mail::PortForTls(port, mailOptions.tls, o.hasPort);

  // The socket layer is started here unless the program has started it already.
  const bool startLayer = !net::DefaultNetDLL().WinSockLoaded();
  if (startLayer) net::NetStartUp("");

  // The queue of this thread receives the socket layer's events for the object.
  platform::EventQueue queue;
  int status = kExitMessage;
  // An unattended send meets passing failures (a server that is down, a 4xx reply, a token
  // endpoint that does not answer) with a few more tries after growing pauses; a final
  // failure ends it at once.
  for (std::size_t attempt = 0;; ++attempt) {
    const auto started = std::chrono::steady_clock::now();
    ConsoleEmailSend email(ui);
    email.Init();
    mail::ApplyMailOptions(email, mailOptions);
    email.SERVER = TrimRightCopy(o.hasServer ? o.server : saved.server);
    email.PORT = port;
    email.TOLIST = TrimRightCopy(o.hasTo ? o.to : saved.to);
    email.CCLIST = o.hasCc ? o.cc : lists.cc;
    email.BCCLIST = o.hasBcc ? o.bcc : lists.bcc;
    email.FROM = TrimRightCopy(o.hasFrom ? o.from : saved.from);
    email.SUBJECT = TrimRightCopy(o.hasSubject ? o.subject : saved.subject);
    email.ORGANIZATION = lists.organization;
    email.EMBEDLIST = lists.embedList;
    std::string attachments;
    for (const std::string& f : o.files) {
      if (!attachments.empty()) attachments += ", ";
      attachments += "\"" + f + "\"";
    }
    email.ATTACHMENTLIST = attachments;
    email.AUTHUSER = user;
    if (o.hasPassword)
      email.AUTHPASSWORD = TrimRightCopy(o.password);
    else if (savedPassword)
      email.AUTHPASSWORD = saved.password;
    bool haveToken = true;
    if (oauth.Enabled()) {
      // The login is the token's: a fresh access token for this send, and the mailbox as
      // the user (the sender's address when no user is set).
      email.AUTHPASSWORD.clear();
      email.AUTHTOKENSIGNIN = oauth.signIn.empty() ? "custom" : oauth.signIn;
      if (platform::IsBlank(email.AUTHUSER)) {
        std::string name;
        std::string address;
        if (email.GetAddress(email.FROM, 1, name, address)) email.AUTHUSER = address;
      }
      haveToken = false;
      if (mailOptions.tls == mail::TlsMode::kCleartext) {
        // The token is as good as the password: the clear login chosen for a password does
        // not extend to it.
        email.FailBeforeSending(
            "Prijava tokenom (OAuth) moguća je samo šifriranom vezom, a zadano je "
            "TLS=cleartext; uključite TLS (verdan settings --tls starttls). "
            "Ništa nije poslano",
            false);
      } else {
        const mail::TokenResult token = mail::ObtainAccessToken(oauth, mail::ProgramSecrets());
        if (token.outcome == mail::TokenOutcome::kOk) {
          email.AUTHTOKEN = token.accessToken;
          haveToken = true;
        } else {
          email.FailBeforeSending(token.message, token.outcome == mail::TokenOutcome::kTemporary);
        }
      }
    }

    // An encrypted archive among the files is said to be one, below the typed text.
    const std::string text = mail::BodyForAttachments(TrimRightCopy(o.text), attachments);
    if (haveToken &&
        email.SetRequiredMessageSize(0, static_cast<std::int32_t>(text.size()), 0) == 0) {
      if (!text.empty()) email.MESSAGETEXT = text;
      // A typed body is UTF-8; say so when it is more than plain ASCII.
      for (unsigned char c : text)
        if (c > 127) email.OPTIONSMIMETEXTCHARSET = "utf-8";
      ui.SetWaitCursor(true);
      email.SendMail(2);
      ui.SetWaitCursor(false);
      if (email.Error != 0) {
        // Say what stopped the message; only a failed connection is a connection problem.
        if (!email.FailedAttachment().empty())
          std::fprintf(stderr, "Privitak nije poslan: %s\n", email.FailedAttachment().c_str());
        else if (email.Error == net::kNetCannotConnect || email.Error > 0) {
          std::fprintf(stderr, "Could not connect to email server.\n");
          email.ConnectFailed();
        } else
          std::fprintf(stderr, "E-mail nije poslan.\n");
      } else {
        queue.SetTimer(kProgressTimer);
        while (!email.failed() && email.DATAQUEUE && !email.DATAQUEUE->empty()) {
          platform::Event event = queue.Wait();
          email.TakeEvent(event);
          if (event.code == platform::kEventTimer) email.CalcProgress();
        }
        queue.SetTimer(0);
        // A failure ends the run: what is still queued (the other parts of a split
        // attachment among them) is not sent on a connection of its own.
        if (email.failed() && email.DATAQUEUE && !email.DATAQUEUE->empty()) {
          email.Abort();
          email.FreeDataQueue();
        }
        // Let the close that followed QUIT finish before the object goes.
        const auto until = std::chrono::steady_clock::now() + kCloseGrace;
        email.layer().NotifyWhenNoClientSockets(queue.Id(), kEventConnectionsClosed);
        for (auto now = std::chrono::steady_clock::now(); now < until;
             now = std::chrono::steady_clock::now()) {
          platform::Event event =
              queue.WaitFor(std::chrono::ceil<std::chrono::milliseconds>(until - now));
          if (event.code == kEventConnectionsClosed) break;
          if (event.code != platform::kEventNone) email.TakeEvent(event);
        }
      }
    }
    email.Kill();
    // Success only when every message (every part of a split attachment) was accepted and
    // nothing failed on the way.
    if (email.sent() > 0 && !email.failed()) status = kExitOk;
    // The log of runs: what was sent, how much, how long, and how it ended.
    app::RunLogEntry entry;
    entry.command = "send";
    for (const std::string& f : o.files) {
      entry.archive += (entry.archive.empty() ? "" : ", ") + f;
      platform::FileInfo info;
      if (platform::InfoAt(f, info)) entry.bytes += static_cast<std::int64_t>(info.size);
    }
    entry.files = static_cast<std::int64_t>(o.files.size());
    entry.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    entry.ok = status == kExitOk;
    entry.reason = email.lastError();
    // Another try only when nothing of this one was accepted: a resent split would deliver
    // its accepted parts twice.
    const bool again = status != kExitOk && email.Temporary() && email.accepted() == 0 &&
                       attempt < retryPauses.size();
    if (again)
      entry.reason +=
          " (privremena greška; novi pokušaj za " + std::to_string(retryPauses[attempt]) + " s)";
    app::AppendRunLog(entry);
    if (!again) break;
    std::fprintf(stderr,
                 "verdan send: pokušaj %zu nije uspio (privremena greška); novi pokušaj za %d s\n",
                 attempt + 1, retryPauses[attempt]);
    std::this_thread::sleep_for(std::chrono::seconds(retryPauses[attempt]));
  }

  if (startLayer) {
    net::NetProgramEnd();
    net::NetShutDown();
  }
  return status;
}

}  // namespace

const Command kSendCommand = {
    "send",
    SendCommand,
    "send [DATOTEKA...] [--server HOST] [--port N] [--user IME]\n"
    "[--password-stdin] [--from ADRESA] [--to POPIS] [--cc POPIS] [--bcc POPIS]\n"
    "[--subject TEKST] [--text TEKST] [--tls none|starttls|implicit|cleartext]\n"
    "[--cafile DATOTEKA] [--split] [--encode-headers] [--retry-pauses S,S,...]",
    "Šalje datoteke e-mailom, kao privitke jedne poruke.",
    "Što opcije ne kažu, uzima se iz spremljenih postavki (verdan settings); bez korisnika\n"
    "nema prijave (AUTH).\n"
    "  --password-stdin   zaporka sa standardnog ulaza (--password LOZINKA vide i drugi u ps-u)\n"
    "  --split            preveliku datoteku pošalje u dijelovima, svaki u svojoj poruci\n"
    "  --encode-headers   zaglavlja s dijakriticima kodirana (RFC 2047/2231), poruka ostaje "
    "7-bitna\n"
    "  --retry-pauses S,S,...  stanke (sekunde) prije novih pokušaja nakon privremene greške\n"
    "                     (zadano 60,300,900; 0: bez novih pokušaja)\n"
    "S prijavom tokenom (verdan settings --oauth) svako slanje uzima novi pristupni token.\n",
    &kOptions,
    kNeedsSettings | kNeedsNetwork,
};

}  // namespace verdan::cli
