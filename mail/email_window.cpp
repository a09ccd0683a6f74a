#include "mail/email_window.h"

#include <chrono>

#include "app/run_log.h"
#include "app/tables.h"
#include "mail/mime.h"
#include "mail/net_email_send.h"
#include "mail/oauth.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace verdan::mail {
namespace {

using platform::TrimRightCopy;

std::size_t LengthOf(EmailField field) {
  switch (field) {
    case kFieldServer:
      return 80;
    case kFieldTo:
    case kFieldAttachment:
    case kFieldCaFile:
      return 1024;
    default:
      return 255;
  }
}

}  // namespace

// The window's object: NetEmailSend with the window's three overrides.
class EmailWindow::Object : public NetEmailSend {
 public:
  Object(EmailWindow& window, platform::Ui& ui, net::NetDLL* layer)
      : NetEmailSend(&ui, layer), window_(window) {}

  // Init with the window's own settings.
  void InitForWindow() {
    Init();
    OPTIONSMIMETEXTTRANSFERENCODING = "quoted-printable";
    OPTIONSMIMEHTMLTRANSFERENCODING = "quoted-printable";
    OPTIONSKEEPCONNECTIONOPEN = 0;
    RECONNECTAFTERXMSGS = 20;
    InactiveTimeout = 9000;
  }

  std::size_t Queued() const { return DATAQUEUE ? DATAQUEUE->size() : 0; }

  void MessageSent() override {
    LogMessage(true, "");
    if (Queued() > 1) {
      window_.SetStatus(kEmailSendingMoreText);
      return;
    }
    window_.SetStatus("");
    platform::MessageSpec box;
    box.text = kEmailSentText;
    box.icon = platform::Icon::kInformation;
    box.buttons = platform::kButtonOk;
    ui()->Message(box);
  }

  void ReportError(const std::string& errorText, const std::string& functionName) override {
    // A failure that drops queued messages is a send that did not happen.
    if (Queued() > 0 && !NOMESSAGEADDEDYET_) LogMessage(false, errorText);
    NetEmailSend::ReportError(errorText, functionName);
    window_.SetStatus(kEmailErrorStatus);
  }

  void ProgressControl(ProgressChange change, std::int32_t value) override {
    {
      std::lock_guard lock(window_.mutex_);
      EmailWindowState& s = window_.state_;
      switch (change) {
        case ProgressChange::kShow:
          s.progressVisible = true;
          s.progress = 0;
          break;
        case ProgressChange::kHide:
          s.progressVisible = false;
          s.progress = 0;
          break;
        case ProgressChange::kValue:
          s.progress = value;
          break;
      }
    }
    window_.Publish();
  }

 private:
  // The line of the log of runs for the message at the head of the queue.
  void LogMessage(bool ok, const std::string& reason) {
    app::RunLogEntry entry;
    entry.command = "send";
    if (DATAQUEUE && !DATAQUEUE->empty()) {
      const EmailQueueEntry& head = DATAQUEUE->front();
      const std::vector<std::string> files = FileListEntries(ConvertFileList(head.ATTACHMENTLIST));
      for (const std::string& f : files) entry.archive += (entry.archive.empty() ? "" : ", ") + f;
      entry.files = static_cast<std::int64_t>(files.size());
      entry.bytes = head.WHOLEMESSAGELEN;
    }
    entry.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - window_.sendStarted_)
            .count();
    entry.ok = ok;
    entry.reason = reason;
    app::AppendRunLog(entry, window_.logFile_);
    ++logged;
  }

 public:
  int logged = 0;  // lines this object has written to the log of runs

 private:
  EmailWindow& window_;
};

std::string AttachmentListOf(const std::vector<std::string>& files, std::string& problem) {
  problem.clear();
  for (const std::string& f : files) {
    // The list is split at "|" and quoted with double quotes: such a name would fall apart.
    if (f.find_first_of("\"|") != std::string::npos) {
      problem = "Ime datoteke ne smije sadržavati znakove \" ni |:|" + f;
      return {};
    }
  }
  std::string list;
  if (files.size() == 1) {
    list = files.front();
  } else if (files.size() > 1) {
    const std::size_t cut = platform::LastSeparator(files.front());
    const std::string dir = cut == std::string::npos ? std::string() : files.front().substr(0, cut);
    list = dir;
    for (const std::string& f : files) {
      const std::size_t at = platform::LastSeparator(f);
      if ((at == std::string::npos ? std::string() : f.substr(0, at)) != dir) {
        // Files of several directories: a list of quoted full paths says the same.
        list.clear();
        for (const std::string& g : files) list += (list.empty() ? "\"" : ", \"") + g + "\"";
        break;
      }
      list += "|" + f.substr(at == std::string::npos ? 0 : at + 1);
    }
  }
  if (platform::CharCount(list) > kAttachmentListLength) {
    problem = "Popis privitaka je predug (najviše " + std::to_string(kAttachmentListLength) +
              " znakova).";
    return {};
  }
  return list;
}

EmailWindow::EmailWindow(app::Program& program, EmailWindowKind kind, net::NetDLL* layer)
    : program_(program), kind_(kind), layer_(layer) {
  state_.kind = kind;
}

EmailWindow::~EmailWindow() = default;

void EmailWindow::SetListener(std::function<void()> listener) { listener_ = std::move(listener); }

EmailWindowState EmailWindow::Snapshot() const {
  std::lock_guard lock(mutex_);
  return state_;
}

platform::ThreadId EmailWindow::Thread() const {
  std::lock_guard lock(mutex_);
  return thread_;
}

bool EmailWindow::Post(platform::Event event) const {
  std::lock_guard lock(mutex_);
  return thread_ != 0 && platform::PostToThread(thread_, std::move(event));
}

bool EmailWindow::Press(EmailButton button) const {
  if (button < kEmailBrowse || button > kEmailSignIn) return false;
  return Post(platform::Event(kEventEmailPress, static_cast<std::uint64_t>(button)));
}

bool EmailWindow::Edit(EmailField field, const std::string& text) const {
  if (field < kFieldServer || field > kFieldSignIn) return false;
  if (kind_ == EmailWindowKind::kSend && field != kFieldAttachment) return false;
  return Post(platform::Event(kEventEmailEdit, static_cast<std::uint64_t>(field), 0,
                              std::make_shared<std::string>(text)));
}

bool EmailWindow::RequestClose() const { return Post(platform::Event(platform::kEventClose)); }

void EmailWindow::Publish() {
  if (listener_) listener_();
}

void EmailWindow::SetStatus(const std::string& text) {
  {
    std::lock_guard lock(mutex_);
    state_.status = text;
  }
  Publish();
}

void EmailWindow::Open(platform::EventQueue& queue) {
  logFile_ = platform::CurrentDirectory() + platform::kSeparator + app::kRunLogFile;
  email_ = std::make_unique<Object>(*this, program_.ui, layer_);
  email_->InitForWindow();
  std::lock_guard record(program_.emailRecordMutex);
  if (program_.email.ReferenceCount == 0 && !app::OpenTable(program_, program_.email)) return;
  ++program_.email.ReferenceCount;
  holdsTable_ = true;
  app::LoadEmailSettings(program_);
  ReadProfileLists(lists_);
  options_ = LoadMailOptions();
  SmtpSettings s = SmtpSettingsOf(program_.PEM);
  std::string passwordProblem;
  if (kind_ == EmailWindowKind::kSettings && !LoadSmtpPassword(s, passwordProblem))
    platform::ShowText(program_.ui, passwordProblem);
  {
    std::lock_guard lock(mutex_);
    state_.tls = options_.tls;
    state_.caFile = options_.caFile;
    const OAuthConfig oauth = LoadOAuthConfig();
    std::string token;
    std::string problem;
    bool found = false;
    state_.signIn = oauth.signIn;
    state_.tokenStored =
        !oauth.tokenCommand.empty() ||
        (ProgramSecrets().Load(kRefreshTokenSecret, token, found, problem) && !token.empty());
    if (kind_ == EmailWindowKind::kSettings) {
      state_.server = s.server;
      state_.port = s.port;
      state_.user = s.user;
      state_.password = s.password;
      state_.from = s.from;
      state_.to = s.to;
      state_.subject = s.subject;
    } else {
      state_.attachments = TrimRightCopy(program_.buffers.AKTIVNAARHIVA);
    }
  }
  email_->PROGRESSCONTROL = 1;
  queue.SetTimer(kEmailProgressInterval);
}

void EmailWindow::ApplyEdit(EmailField field, const std::string& value) {
  const std::string text = platform::CutChars(value, LengthOf(field));
  std::lock_guard lock(mutex_);
  EmailWindowState& s = state_;
  switch (field) {
    case kFieldServer:
      s.server = text;
      edited_ |= kSmtpServer;
      break;
    case kFieldPort: {
      std::uint16_t port = ParsePort(text);
      if (port != 0) {
        s.port = port;
        edited_ |= kSmtpPort;
      }
      break;
    }
    case kFieldUser:
      s.user = text;
      edited_ |= kSmtpUser;
      break;
    case kFieldPassword:
      s.password = text;
      edited_ |= kSmtpPassword;
      break;
    case kFieldFrom:
      s.from = text;
      edited_ |= kSmtpFrom;
      break;
    case kFieldTo:
      s.to = text;
      edited_ |= kSmtpTo;
      break;
    case kFieldSubject:
      s.subject = text;
      edited_ |= kSmtpSubject;
      break;
    case kFieldAttachment:
      s.attachments = text;
      break;
    case kFieldTls: {
      TlsMode mode = s.tls;
      if (!ParseTlsMode(text, mode)) break;
      // The secured kinds have ports of their own: the usual one replaces the other kinds'.
      const auto usual = [](TlsMode m) -> std::uint16_t {
        return m == TlsMode::kImplicit ? 465 : m == TlsMode::kStartTls ? 587 : 25;
      };
      if (s.port == usual(s.tls) && s.port != usual(mode)) {
        s.port = usual(mode);
        edited_ |= kSmtpPort;
      }
      s.tls = mode;
      optionsEdited_ = true;
      break;
    }
    case kFieldCaFile:
      s.caFile = TrimRightCopy(text);
      optionsEdited_ = true;
      break;
    case kFieldSignIn: {
      const std::string kind = TrimRightCopy(text);
      if (kind == "zaporka")
        s.signIn.clear();
      else if (kind == "drugo" || kind == "custom")
        s.signIn = "custom";
      else if (kind == "microsoft" || kind == "google")
        s.signIn = kind;
      break;
    }
  }
}

void EmailWindow::Browse() {
  platform::FileOpenSpec dialog;
  dialog.title = kEmailFileDialogTitle;
  dialog.filter = kEmailFileFilter;
  dialog.startPath = platform::CurrentDirectory();
  dialog.nameBufferLength = kAttachmentListLength;
  dialog.multiSelect = true;
  dialog.keepCurrentDirectory = true;
  std::vector<std::string> files = program_.ui.FileOpen(dialog);
  if (files.empty()) return;
  std::string problem;
  std::string list = AttachmentListOf(files, problem);
  if (!problem.empty()) {
    platform::MessageSpec box;
    box.text = problem;
    box.icon = platform::Icon::kExclamation;
    program_.ui.Message(box);
    return;
  }
  std::lock_guard lock(mutex_);
  state_.attachments = TrimRightCopy(list);
  ++state_.attachmentSelections;
}

void EmailWindow::Send() {
  EmailWindowState s = Snapshot();
  if (kind_ == EmailWindowKind::kSend) {
    // The send window sends with the settings last saved.
    SmtpSettings saved;
    std::string passwordProblem;
    ReadSmtpSettings(program_, saved, &passwordProblem);
    if (!passwordProblem.empty()) {
      // Without the stored password the server would refuse the login: nothing is sent.
      platform::ShowText(program_.ui, passwordProblem);
      SetStatus("Could not connect to email server.");
      return;
    }
    s.server = saved.server;
    s.port = saved.port;
    s.user = saved.user;
    s.password = saved.password;
    s.from = saved.from;
    s.to = saved.to;
    s.subject = saved.subject;
  }
  // The connection's security as verdan.env has it now; the settings window's own choice
  // counts once the user made one.
  MailOptions options = LoadMailOptions();
  if (kind_ == EmailWindowKind::kSettings && optionsEdited_) {
    options.tls = s.tls;
    options.caFile = s.caFile;
    options.invalidTls.clear();
  }
  if (splitOnce_) options.splitOversize = true;
  splitOnce_ = false;
  if (!options.invalidTls.empty()) {
    platform::ShowText(program_.ui, InvalidTlsText(options.invalidTls));
    SetStatus(kind_ == EmailWindowKind::kSettings ? "Ne mogu se spojiti na mail server."
                                                  : "Could not connect to email server.");
    return;
  }
  Object& e = *email_;
  ApplyMailOptions(e, options);
  e.SERVER = TrimRightCopy(s.server);
  e.PORT = PortForTls(s.port, options.tls, false);
  e.TOLIST = TrimRightCopy(s.to);
  e.CCLIST = lists_.cc;
  e.BCCLIST = lists_.bcc;
  e.FROM = TrimRightCopy(s.from);
  e.SUBJECT = TrimRightCopy(s.subject);
  e.REPLYTO = lists_.replyTo;
  e.ORGANIZATION = lists_.organization;
  e.DELIVERYRECEIPTTO.clear();
  e.DISPOSITIONNOTIFICATIONTO.clear();
  e.REFERENCES.clear();
  e.ATTACHMENTLIST = TrimRightCopy(s.attachments);
  e.EMBEDLIST = lists_.embedList;
  e.AUTHUSER = TrimRightCopy(s.user);
  e.AUTHPASSWORD = TrimRightCopy(s.password);
  e.AUTHTOKEN.clear();
  if (!TakeAccessToken(e, options, s.attachments)) return;
  // The windows have no body text of their own: a message carries only its attachments and,
  // when one of them is an encrypted archive, the line that says so.
  const std::string body = BodyForAttachments("", e.ATTACHMENTLIST);
  if (e.SetRequiredMessageSize(0, static_cast<std::int32_t>(body.size()), 0) != 0) return;
  if (!body.empty()) {
    e.MESSAGETEXT = body;
    e.OPTIONSMIMETEXTCHARSET = "utf-8";
  }
  sendStarted_ = std::chrono::steady_clock::now();
  const int loggedBefore = e.logged;
  program_.ui.SetWaitCursor(true);
  e.SendMail(2);
  program_.ui.SetWaitCursor(false);
  const bool settingsWindow = kind_ == EmailWindowKind::kSettings;
  std::string status;
  if (e.Error != 0 && e.logged == loggedBefore) {
    // Nothing was queued: the attempt goes into the log of runs as it was asked for.
    app::RunLogEntry entry;
    entry.command = "send";
    entry.archive = TrimRightCopy(s.attachments);
    entry.ok = false;
    entry.reason = e.ErrorString;
    app::AppendRunLog(entry, logFile_);
  }
  if (e.Error != 0 && !e.FailedAttachment().empty())
    status = "Privitak nije poslan: " + e.FailedAttachment();  // not a connection problem
  else if (e.Error != 0)
    status = settingsWindow ? "Ne mogu se spojiti na mail server."
                            : "Could not connect to email server.";
  else if (e.Queued() > 0)
    status = std::string(settingsWindow ? "Šaljem " : "Sending ") + std::to_string(e.Queued()) +
             " email(s)";
  {
    std::lock_guard lock(mutex_);
    state_.status = status;
    ++state_.statusSelections;
  }
}

// With a sign-in by OAuth (verdan settings --oauth) the login is a fresh access token instead
// of the password; it is had here, on the window's thread, under the wait cursor. A window
// does not retry: a failure is shown, logged, and the send ends.
bool EmailWindow::TakeAccessToken(NetEmailSend& e, const MailOptions& options,
                                  const std::string& attachments) {
  OAuthConfig oauth = LoadOAuthConfig();
  if (!oauth.Enabled()) return true;
  oauth.caFile = options.caFile;
  e.AUTHPASSWORD.clear();
  e.AUTHTOKENSIGNIN = oauth.signIn.empty() ? "custom" : oauth.signIn;
  if (platform::IsBlank(e.AUTHUSER)) {
    std::string name;
    std::string address;
    if (e.GetAddress(e.FROM, 1, name, address)) e.AUTHUSER = address;
  }
  program_.ui.SetWaitCursor(true);
  const TokenResult token = ObtainAccessToken(oauth, ProgramSecrets());
  program_.ui.SetWaitCursor(false);
  if (token.outcome == TokenOutcome::kOk) {
    e.AUTHTOKEN = token.accessToken;
    return true;
  }
  app::RunLogEntry entry;
  entry.command = "send";
  entry.archive = TrimRightCopy(attachments);
  entry.ok = false;
  entry.reason = token.message;
  app::AppendRunLog(entry, logFile_);
  platform::ShowText(program_.ui, token.message);
  SetStatus(kEmailErrorStatus);
  return false;
}

// The server refused a message as larger than it takes: the user may send the attachment
// again in parts, each in a message of its own (this once; the setting stays as it is).
void EmailWindow::OfferSplit() {
  platform::MessageSpec box;
  box.text = kEmailSplitQuestion;
  box.caption = kEmailWindowTitle;
  box.icon = platform::Icon::kQuestion;
  box.buttons = platform::kButtonYes | platform::kButtonNo;
  box.defaultButton = platform::kButtonNo;
  if (program_.ui.Message(box) != platform::kButtonYes) return;
  splitOnce_ = true;
  Send();
  Publish();
}

// "Prijava" with the kind chosen: the password (signs out) or a provider's device grant. The
// code and the address are shown while a thread of the sign-in's own asks the token endpoint;
// the window stays usable meanwhile, and its result arrives as an event.
void EmailWindow::StartSignIn() {
  if (signInWorker_.joinable()) return;  // one sign-in at a time
  const EmailWindowState s = Snapshot();
  std::string problem;
  OAuthConfig config = LoadOAuthConfig();
  if (s.signIn.empty()) {
    config.signIn.clear();
    SaveOAuthConfig(config);
    if (!ProgramSecrets().Store(kRefreshTokenSecret, "", problem))
      platform::ShowText(program_.ui, problem);
    std::lock_guard lock(mutex_);
    state_.tokenStored = !config.tokenCommand.empty();
    return;
  }
  const OAuthPreset* preset = FindOAuthPreset(s.signIn);
  if (s.signIn != config.signIn && (preset || FindOAuthPreset(config.signIn))) {
    // A preset's addresses; from a preset to "drugo" the keys of verdan.env start blank.
    config.deviceUrl = preset ? preset->deviceUrl : "";
    config.tokenUrl = preset ? preset->tokenUrl : "";
    config.scope = preset ? preset->scope : "";
  }
  config.signIn = s.signIn;
  config.caFile = s.caFile;
  bool found = false;
  if (!ProgramSecrets().Load(kClientSecretSecret, config.clientSecret, found, problem)) {
    platform::ShowText(program_.ui, problem);
    return;
  }
  DeviceAuthorization device;
  program_.ui.SetWaitCursor(true);
  const TokenResult started = StartDeviceAuthorization(config, device);
  program_.ui.SetWaitCursor(false);
  if (started.outcome != TokenOutcome::kOk) {
    platform::ShowText(program_.ui, started.message);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    state_.signingIn = true;
    state_.signInAddress = device.verificationUri;
    state_.signInCode = device.userCode;
    state_.status =
        "Za prijavu otvorite " + device.verificationUri + " i upišite kod " + device.userCode;
    ++state_.statusSelections;
  }
  signInConfig_ = config;
  stopSignIn_ = false;
  const platform::ThreadId window = Thread();
  signInWorker_ = std::thread([this, config, device, window] {
    auto result = std::make_shared<TokenResult>(
        PollDeviceAuthorization(config, device, [this](std::chrono::seconds pause) {
          const auto until = std::chrono::steady_clock::now() + pause;
          while (std::chrono::steady_clock::now() < until) {
            if (stopSignIn_) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
          }
          return !stopSignIn_;
        }));
    platform::PostToThread(window, platform::Event(kEventEmailSignedIn, 0, 0, result));
  });
}

void EmailWindow::FinishSignIn(const TokenResult& result) {
  std::string problem;
  bool stored = false;
  if (result.outcome == TokenOutcome::kOk) {
    stored = ProgramSecrets().Store(kRefreshTokenSecret, result.refreshToken, problem);
    if (stored) {
      OAuthConfig config = signInConfig_;
      const OAuthPreset* preset = FindOAuthPreset(config.signIn);
      if (preset) {
        if (config.deviceUrl == preset->deviceUrl) config.deviceUrl.clear();
        if (config.tokenUrl == preset->tokenUrl) config.tokenUrl.clear();
        if (config.scope == preset->scope) config.scope.clear();
      }
      SaveOAuthConfig(config);
    }
  } else {
    problem = result.message;
  }
  const OAuthPreset* preset = FindOAuthPreset(signInConfig_.signIn);
  {
    std::lock_guard lock(mutex_);
    state_.signingIn = false;
    state_.signInAddress.clear();
    state_.signInCode.clear();
    state_.status = stored ? "Prijava tokenom je spremljena." : kEmailErrorStatus;
    ++state_.statusSelections;
    if (stored) state_.tokenStored = true;
    if (stored && preset) {
      // The provider's server, as the settings command sets it.
      state_.server = preset->server;
      state_.port = preset->port;
      state_.tls = TlsMode::kStartTls;
      edited_ |= kSmtpServer | kSmtpPort;
      optionsEdited_ = true;
    }
  }
  if (!stored) platform::ShowText(program_.ui, problem);
}

void EmailWindow::StopSignIn() {
  stopSignIn_ = true;
  if (signInWorker_.joinable()) signInWorker_.join();
}

// A close while messages are still queued is confirmed first; No keeps the window and the
// transfer going.
bool EmailWindow::MayClose() {
  if (!email_ || email_->Queued() == 0) return true;
  platform::MessageSpec box;
  box.text = kEmailCloseQuestion;
  box.caption = kEmailCloseCaption;
  box.icon = platform::Icon::kQuestion;
  box.buttons = platform::kButtonYes | platform::kButtonNo;
  box.defaultButton = platform::kButtonNo;
  return program_.ui.Message(box) == platform::kButtonYes;
}

void EmailWindow::Close() {
  if (holdsTable_) {
    if (kind_ == EmailWindowKind::kSettings && edited_ != 0) {
      EmailWindowState s = Snapshot();
      SmtpSettings typed;
      typed.server = s.server;
      typed.port = s.port;
      typed.user = s.user;
      typed.password = s.password;
      typed.from = s.from;
      typed.to = s.to;
      typed.subject = s.subject;
      std::string problem;
      if (!StoreSmtpSettings(program_, typed, edited_, problem)) {
        platform::MessageSpec box;
        box.text = problem;
        box.icon = platform::Icon::kExclamation;
        program_.ui.Message(box);
      }
    }
    app::SaveEmailSettings(program_);
    if (optionsEdited_) {
      EmailWindowState s = Snapshot();
      options_.tls = s.tls;
      options_.caFile = s.caFile;
      SaveMailOptions(options_);
    }
    lists_.attachmentList = TrimRightCopy(Snapshot().attachments);
    WriteProfileLists(lists_);
  }
  if (email_) email_->Kill();
  email_.reset();
  std::lock_guard record(program_.emailRecordMutex);
  if (holdsTable_ && --program_.email.ReferenceCount == 0) app::CloseTable(program_.email);
  holdsTable_ = false;
}

void EmailWindow::Run(platform::EventQueue& queue) {
  {
    std::lock_guard lock(mutex_);
    thread_ = queue.Id();
  }
  Open(queue);
  {
    std::lock_guard lock(mutex_);
    state_.open = true;
  }
  Publish();
  while (holdsTable_ && !program_.Ended()) {
    platform::Event e = queue.Wait();
    email_->TakeEvent(e);
    if (email_->TakeOversizeRefusal()) OfferSplit();
    if (e.code == platform::kEventClose) {
      // The program ending closes the queue: nothing more can arrive, so the window goes.
      if (queue.Closed() || MayClose()) break;
      Publish();
    } else if (e.code == platform::kEventTimer) {
      email_->CalcProgress();
    } else if (e.code == kEventEmailSignedIn && e.data) {
      if (signInWorker_.joinable()) signInWorker_.join();
      FinishSignIn(*std::static_pointer_cast<TokenResult>(e.data));
      Publish();
    } else if (e.code == kEventEmailEdit && e.data) {
      ApplyEdit(static_cast<EmailField>(e.wparam), *std::static_pointer_cast<std::string>(e.data));
      Publish();
    } else if (e.code == kEventEmailPress) {
      switch (static_cast<EmailButton>(e.wparam)) {
        case kEmailBrowse:
          Browse();
          break;
        case kEmailSend:
          Send();
          break;
        case kEmailSignIn:
          StartSignIn();
          break;
        case kEmailAbort:
          email_->Abort();
          SetStatus(kEmailAbortedStatus);
          break;
        case kEmailClose:
          // "Zatvori" would drop queued messages as silently as the close box: ask the same.
          if (MayClose()) queue.Close();
          break;
      }
      Publish();
    }
  }
  queue.SetTimer(0);
  StopSignIn();
  Close();
  std::function<void()> listener = listener_;
  {
    std::lock_guard lock(mutex_);
    state_.closed = true;
    thread_ = 0;
  }
  if (listener) listener();
}

}  // namespace verdan::mail
