#include "mail/net_email_send.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "mail/mime.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/sockets.h"
#include "platform/text.h"

namespace verdan::mail {
namespace {

using platform::IsBlank;
using platform::TrimRight;
using platform::TrimRightCopy;

constexpr const char* kServerDesc = "Email (SMTP)";
constexpr std::size_t kMaxReportText = 512;
constexpr std::size_t kMaxReplyText = 255;

std::string Trim(std::string_view s) {
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && s[b] == ' ') ++b;
  while (e > b && s[e - 1] == ' ') --e;
  return std::string(s.substr(b, e - b));
}

// An address as it may be shown in a message box: line breaks made visible.
std::string Shown(std::string_view address) {
  std::string s;
  for (char c : address) {
    if (c == '\r')
      s += "\\r";
    else if (c == '\n')
      s += "\\n";
    else
      s += c;
  }
  return s;
}

// Text from the server as it may be shown to the user: printable ASCII and well-formed UTF-8
// characters stay; control characters (escape sequences that would drive a terminal, line
// breaks, C1 controls) and malformed bytes each become "?".
std::string Showable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    std::size_t n = 0;
    if (c >= 0xC2 && c <= 0xDF)
      n = 2;
    else if (c >= 0xE0 && c <= 0xEF)
      n = 3;
    else if (c >= 0xF0 && c <= 0xF4)
      n = 4;
    bool ok = n > 0 && i + n <= text.size();
    for (std::size_t k = 1; ok && k < n; ++k)
      ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    if (ok) {
      const auto d = static_cast<unsigned char>(text[i + 1]);
      ok = !(c == 0xC2 && d < 0xA0) &&  // C1 controls U+0080..U+009F
           !(c == 0xE0 && d < 0xA0) && !(c == 0xED && d >= 0xA0) && !(c == 0xF0 && d < 0x90) &&
           !(c == 0xF4 && d >= 0x90);
    }
    if (ok) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      out += '?';
      ++i;
    }
  }
  return out;
}

// The text cut to at most `bytes` bytes without splitting a UTF-8 character.
std::string CutBytes(std::string_view text, std::size_t bytes) {
  if (text.size() <= bytes) return std::string(text);
  std::size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end));
}

// Reply code of a reply: its first three characters when they are digits, else 0.
std::int32_t ReplyCode(std::string_view reply) {
  if (reply.size() < 3) return 0;
  std::int32_t code = 0;
  for (int i = 0; i < 3; ++i) {
    char c = reply[static_cast<std::size_t>(i)];
    if (c < '0' || c > '9') return 0;
    code = code * 10 + (c - '0');
  }
  return code;
}

// Reply text: the first line from its fourth character on (the separator included), without
// the line end, at most 255 characters, safe to show.
std::string ReplyText(std::string_view reply) {
  if (reply.size() <= 3) return {};
  std::string_view rest = reply.substr(3);
  rest = rest.substr(0, rest.find_first_of("\r\n"));
  return CutBytes(Showable(rest), kMaxReplyText);
}

// Where the first whole reply in `buffer` ends (one past its last LF), or 0 when it has not
// all arrived. Lines end in LF, with or without CR before it; a line whose fourth character
// is "-" is followed by more lines of the same reply.
enum class ReplyEnd { kNoLine, kMoreLines, kComplete };
ReplyEnd FindReplyEnd(std::string_view buffer, std::size_t& end) {
  std::size_t pos = 0;
  while (true) {
    const std::size_t lf = buffer.find('\n', pos);
    if (lf == std::string_view::npos) return pos == 0 ? ReplyEnd::kNoLine : ReplyEnd::kMoreLines;
    const std::string_view line = buffer.substr(pos, lf - pos);
    if (line.size() >= 4 && line[3] == '-') {
      pos = lf + 1;
      continue;
    }
    end = lf + 1;
    return ReplyEnd::kComplete;
  }
}

std::string Upper(std::string_view s) {
  std::string u(s);
  for (char& c : u)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return u;
}

// The extensions a server announces in its answer to EHLO (the lines after the first).
EhloCapabilities ParseEhlo(std::string_view reply) {
  EhloCapabilities caps;
  std::size_t pos = reply.find('\n');
  while (pos != std::string_view::npos && pos + 1 < reply.size()) {
    const std::size_t start = pos + 1;
    pos = reply.find('\n', start);
    std::string_view line = reply.substr(start, pos == std::string_view::npos ? pos : pos - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() < 5) continue;
    std::vector<std::string> words;
    std::string word;
    for (char c : Upper(line.substr(4)) + " ") {
      if (c == ' ' || c == '=') {  // "AUTH=LOGIN" is the old form of "AUTH LOGIN"
        if (!word.empty()) words.push_back(word);
        word.clear();
      } else {
        word += c;
      }
    }
    if (words.empty()) continue;
    if (words[0] == "STARTTLS") caps.startTls = true;
    if (words[0] == "AUTH") {
      for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i] == "LOGIN") caps.authLogin = true;
        if (words[i] == "PLAIN") caps.authPlain = true;
        if (words[i] == "XOAUTH2") caps.authXoauth2 = true;
        if (words[i] == "OAUTHBEARER") caps.authOauthBearer = true;
      }
    }
    if (words[0] == "SIZE") {
      caps.size = true;
      caps.sizeLimit = 0;
      if (words.size() > 1 && words[1].size() <= 18 &&
          words[1].find_first_not_of("0123456789") == std::string::npos)
        caps.sizeLimit = std::stoull(words[1]);
    }
  }
  return caps;
}

// A plain explanation of the replies by which a server refuses for reasons of security
// (authentication, encryption, policy), shown after the server's own words.
std::string Explanation(std::int32_t code, std::string_view text) {
  const std::string t = Trim(text);
  const bool policy = t.rfind("5.7.", 0) == 0;
  switch (code) {
    case 535:
      return "Poslužitelj nije prihvatio korisničko ime ili lozinku. Provjerite ih; neki "
             "davatelji traže posebnu lozinku za aplikacije.";
    case 530:
      return "Poslužitelj traži prijavu ili šifriranu vezu prije slanja: uključite TLS "
             "(starttls ili implicit) i upišite korisnika i lozinku.";
    case 534:
      return "Poslužitelj traži sigurniji način prijave (npr. lozinku za aplikacije).";
    case 538:
      return "Ovaj način prijave poslužitelj dopušta samo preko šifrirane veze: uključite TLS.";
    default:
      break;
  }
  if (policy)
    return "Poslužitelj je odbio zahtjev iz sigurnosnih razloga (prijava, šifriranje ili "
           "dopuštenja pošiljatelja i primatelja).";
  return {};
}

// The server's text for a report, with the explanation after it when there is one.
std::string ServerText(std::int32_t code, const std::string& text) {
  std::string shown = Trim(text);
  const std::string why = Explanation(code, text);
  if (!why.empty()) shown += " (" + why + ")";
  return shown;
}

}  // namespace

const char* PartsWord(std::uint64_t count) {
  const std::uint64_t lastTwo = count % 100;
  const std::uint64_t last = count % 10;
  if (lastTwo >= 11 && lastTwo <= 14) return "dijelova";
  if (last == 1) return "dio";
  if (last >= 2 && last <= 4) return "dijela";
  return "dijelova";
}

std::uint64_t SplitMargin(std::uint64_t limit) {
  return std::max<std::uint64_t>(limit / 100 * kSplitMarginPercent, kSplitMarginMinBytes);
}

namespace {

std::string Digits(std::uint64_t value, std::size_t width) {
  std::string s = std::to_string(value);
  if (s.size() < width) s.insert(0, width - s.size(), '0');
  return s;
}

bool IsAsciiText(std::string_view s) {
  for (unsigned char c : s)
    if (c > 127) return false;
  return true;
}

}  // namespace

std::string StateText(std::int32_t state) {
  const char* name = "ES_UNKNOWN";
  switch (state) {
    case ES_NOTCONNECTED:
      name = "ES_NOTCONNECTED";
      break;
    case ES_WAITGREETING:
      name = "ES_WAITGREETING";
      break;
    case ES_CONNECTEDANDIDLE:
      name = "ES_CONNECTEDANDIDLE";
      break;
    case ES_READY:
      name = "ES_READY";
      break;
    case ES_MAILFROM:
      name = "ES_MAILFROM";
      break;
    case ES_RCPTTO:
      name = "ES_RCPTTO";
      break;
    case ES_DATA:
      name = "ES_DATA";
      break;
    case ES_BODYSENT:
      name = "ES_BODYSENT";
      break;
    case ES_EHLO:
      name = "ES_EHLO";
      break;
    case ES_AUTHLOGIN:
      name = "ES_AUTHLOGIN";
      break;
    case ES_AUTHUSER:
      name = "ES_AUTHUSER";
      break;
    case ES_STARTTLS:
      name = "ES_STARTTLS";
      break;
    case ES_TLSHANDSHAKE:
      name = "ES_TLSHANDSHAKE";
      break;
    case ES_AUTHTOKEN:
      name = "ES_AUTHTOKEN";
      break;
    case ES_AUTHTOKENERROR:
      name = "ES_AUTHTOKENERROR";
      break;
  }
  return std::string(name) + " (" + std::to_string(state) + ")";
}

NetEmailSend::NetEmailSend(platform::Ui* ui, net::NetDLL* layer) : NetSimple(ui, layer) {}

NetEmailSend::~NetEmailSend() {
  if (DATAQUEUE_) Kill();
}

void NetEmailSend::Init() {
  if (!initialised_) {
    WHAT_ = 1;
    SERVERDESC_ = kServerDesc;
    if (IsBlank(XMAILER)) XMAILER = kDefaultXMailer;
    initialised_ = true;
  }
  PORT = 25;
  OPTIONSMIMETEXTCHARSET = "us-ascii";
  OPTIONSMIMETEXTTRANSFERENCODING = "7bit";
  OPTIONSMIMEHTMLCHARSET = "us-ascii";
  OPTIONSMIMEHTMLTRANSFERENCODING = "quoted-printable";
  if (IsBlank(HELO)) HELO = kDefaultHeloDomain;
  NetSimple::Init(net::kModeClient);
  DATAQUEUE_ = std::make_unique<EmailDataQueue>();
  DATAQUEUE = DATAQUEUE_.get();
}

void NetEmailSend::Kill() {
  body_.reset();
  NetSimple::Kill();
  FreeDataQueue();
  DATAQUEUE_.reset();
  DATAQUEUE = nullptr;
  FreeMessageBuffers();
}

// ---- connection ----------------------------------------------------------------------------

void NetEmailSend::Open(const std::string& server, std::uint16_t port) {
  MESSAGESSENTONCURRENTCONNECTION_ = 0;
  SERVERREPLYBUFFER_.clear();
  SERVERREPLYBUFFERLEN_ = 0;
  body_.reset();
  replyDeadline_.reset();
  NetSimple::Open(server, port);
}

void NetEmailSend::Close() {
  body_.reset();
  replyDeadline_.reset();
  NetSimple::Close();
  MESSAGESSENTONCURRENTCONNECTION_ = 0;
  SetState(ES_NOTCONNECTED);
}

void NetEmailSend::Abort() {
  body_.reset();
  replyDeadline_.reset();
  NetSimple::Abort();
  MESSAGESSENTONCURRENTCONNECTION_ = 0;
  SetState(ES_NOTCONNECTED);
}

void NetEmailSend::OpenForQueue() {
  // The trust for the secure connection is built while the connection opens.
  if (OPTIONSTLS == TlsMode::kStartTls || OPTIONSTLS == TlsMode::kImplicit ||
      (OPTIONSTLS == TlsMode::kNone && HaveCredentials()))
    PrepareTls(TrimRightCopy(OPTIONSTLSCAFILE));
  Open(TrimRightCopy(SERVER), PORT);
  if (!OpenFlag && !AsyncOpenBusy) {
    Error = net::kNetCannotConnect;
    SetState(ES_NOTCONNECTED);
    HideProgress();
    return;
  }
  SetState(ES_WAITGREETING);
  ArmReplyDeadline(REPLYTIMEOUT);  // the greeting (and with implicit TLS the handshake)
  if (OpenFlag) StartImplicitTls();
}

void NetEmailSend::StartImplicitTls() {
  if (OPTIONSTLS != TlsMode::kImplicit || TlsStarted()) return;
  // A failure is reported by StartTls and ends the dialogue.
  StartTls(TrimRightCopy(SERVER), TrimRightCopy(OPTIONSTLSCAFILE));
}

void NetEmailSend::ArmReplyDeadline(std::int32_t hundredths) {
  replyTimeoutArmed_ = hundredths;
  if (hundredths <= 0) {
    replyDeadline_.reset();
    return;
  }
  replyDeadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(10LL * hundredths);
}

void NetEmailSend::CheckReplyDeadline() {
  if (!replyDeadline_ || !OpenFlag) return;
  if (std::chrono::steady_clock::now() < *replyDeadline_) return;
  replyDeadline_.reset();
  Error = net::kNetTimeout;
  PerMessageError(0, "Reply Timeout - poslužitelj nije dovršio odgovor u " +
                         std::to_string(replyTimeoutArmed_ / 100) +
                         " sekundi (odgovor nije stigao ili stiže presporo). Veza se prekida");
}

// ---- errors ----------------------------------------------------------------------------------

void NetEmailSend::ReportError(const std::string& errorText, const std::string& functionName) {
  std::string text;
  if (Error == 10061)
    text = "Could not open a connection to the " + SERVERDESC_ + " Server";
  else
    text = CutBytes(TrimRight(errorText), kMaxReportText);
  NetSimple::ReportError(text, functionName);
  if (!AFTERERRORTRYNEXTMESSAGE_ && !NOMESSAGEADDEDYET_) {
    // Any other error ends the whole dialogue.
    FreeDataQueue();
    Close();
    SetState(ES_NOTCONNECTED);
    HideProgress();
  } else {
    AFTERERRORTRYNEXTMESSAGE_ = 0;
    NOMESSAGEADDEDYET_ = 0;
  }
}

void NetEmailSend::ConnectionClosed() {
  body_.reset();
  replyDeadline_.reset();
  MESSAGESSENTONCURRENTCONNECTION_ = 0;
  if (STATE_ != ES_NOTCONNECTED) {
    AFTERERRORTRYNEXTMESSAGE_ = 0;
    NOMESSAGEADDEDYET_ = 0;
    ReportError("The (" + SERVERDESC_ + ")" +
                    " server closed the connection or a dial-up connection closed",
                "NetEmailSend.ConnectionClosed");
    SetState(ES_NOTCONNECTED);
  }
}

void NetEmailSend::PerMessageError(std::int32_t code, const std::string& text) {
  const std::int32_t state = STATE_;
  // 552 to MAIL FROM (with SIZE) or after the body: the message is larger than the server
  // takes.
  if (code == 552 && (state == ES_MAILFROM || state == ES_BODYSENT))
    oversizeRefused_ = OPTIONSSPLITOVERSIZE != 1;
  body_.reset();
  const std::uint64_t group = QueueEmpty() ? 0 : Head().SPLITGROUP;
  AFTERERRORTRYNEXTMESSAGE_ = 1;
  SERVERERRORNUM = code;
  SERVERERRORDESC = text.substr(0, kMaxReplyText);
  ReportError(PartFailureText() + "Error in this Message. " + SERVERDESC_ +
                  " server sent error = " + std::to_string(code) + " " + ServerText(code, text) +
                  " State = " + std::to_string(state) + ". Will try and send next email",
              "NetEmailSend.Process");
  SERVERERRORNUM = 0;
  SERVERERRORDESC.clear();
  DropHead();
  DropRestOfSplit(group);
  Abort();
  if (!QueueEmpty())
    OpenForQueue();
  else
    HideProgress();
}

void NetEmailSend::FatalError(std::int32_t code, const std::string& text) {
  const std::int32_t state = STATE_;
  AFTERERRORTRYNEXTMESSAGE_ = 1;
  SERVERERRORNUM = code;
  SERVERERRORDESC = text.substr(0, kMaxReplyText);
  ReportError("Fatal Error. " + SERVERDESC_ + " server sent error = " + std::to_string(code) + " " +
                  ServerText(code, text) + " State = " + std::to_string(state) +
                  ". Will abort all messages in the DataQueue",
              "NetEmailSend.Process");
  SERVERERRORNUM = 0;
  SERVERERRORDESC.clear();
  FreeDataQueue();
  Close();
  HideProgress();
}

void NetEmailSend::MessageFailed(std::int32_t error, const std::string& text) {
  body_.reset();
  const std::uint64_t group = QueueEmpty() ? 0 : Head().SPLITGROUP;
  Error = error;
  AFTERERRORTRYNEXTMESSAGE_ = 1;
  ReportError(PartFailureText() + text, "NetEmailSend.Process");
  DropHead();
  DropRestOfSplit(group);
  Abort();  // without its end marker the server discards what it got of the message
  if (!QueueEmpty())
    OpenForQueue();
  else
    HideProgress();
}

void NetEmailSend::DialogueFailed(std::int32_t error, const std::string& text) {
  if (OpenFlag && !TlsStarted()) SendCommand("QUIT");
  Error = error;
  AFTERERRORTRYNEXTMESSAGE_ = 0;
  NOMESSAGEADDEDYET_ = 0;
  ReportError(text, "NetEmailSend.Process");  // drops the queue and closes
}

// ---- buffers ---------------------------------------------------------------------------------

std::int32_t NetEmailSend::SetRequiredMessageSize(std::int32_t whole, std::int32_t text,
                                                  std::int32_t html) {
  Error = 0;
  if (whole < 0 || text < 0 || html < 0) {
    Error = net::kNetInvalidStringSize;
    // A bad size concerns this call only; messages already queued stay.
    NOMESSAGEADDEDYET_ = 1;
    ReportError("Invalid String Size (less than zero) passed to function",
                "NetEmailSend.SetRequiredMEssageSize");
    Error = net::kNetInvalidStringSize;
    return Error;
  }
  WHOLEMESSAGELEN = whole;
  MESSAGETEXTLEN = text;
  MESSAGEHTMLLEN = html;
  bool ok = true;
  for (auto [buffer, size] : {std::pair{&WHOLEMESSAGE, whole}, std::pair{&MESSAGETEXT, text},
                              std::pair{&MESSAGEHTML, html}}) {
    const auto required = static_cast<std::size_t>(size);
    if (!SizeBuffer(*buffer, required)) {
      ok = false;
      break;
    }
    try {
      buffer->resize(required);
    } catch (const std::exception&) {
      *buffer = std::string();
      ok = false;
      break;
    }
  }
  if (!ok) {
    Error = net::kNetOutOfMemory;
    NOMESSAGEADDEDYET_ = 1;
    ReportError("Unable to allocate memory required for sending " + SERVERDESC_ + ".",
                "NetEmailSend.SetRequiredMessageSize");
    Error = net::kNetOutOfMemory;
  }
  return Error;
}

void NetEmailSend::FreeMessageBuffers() {
  std::string().swap(MESSAGETEXT);
  std::string().swap(MESSAGEHTML);
  std::string().swap(WHOLEMESSAGE);
}

void NetEmailSend::FreeDataQueue() {
  body_.reset();  // it reads the head's plan
  if (DATAQUEUE_) EmailDataQueue().swap(*DATAQUEUE_);
}

void NetEmailSend::DropHead() {
  body_.reset();
  if (!QueueEmpty()) DATAQUEUE_->pop_front();
}

std::string NetEmailSend::PartFailureText() const {
  if (QueueEmpty() || DATAQUEUE_->front().SPLITGROUP == 0) return {};
  const EmailQueueEntry& head = DATAQUEUE_->front();
  std::size_t rest = 0;
  for (std::size_t i = 1; i < DATAQUEUE_->size(); ++i)
    if ((*DATAQUEUE_)[i].SPLITGROUP == head.SPLITGROUP) ++rest;
  std::string text = "Privitak nije poslan cijeli: " + head.SPLITPART + " nije poslan";
  if (rest > 0)
    text += ", a bez njega se dijelovi ne mogu spojiti pa se ni preostali (" +
            std::to_string(rest) + ") ne šalju";
  return text + ". ";
}

std::size_t NetEmailSend::DropRestOfSplit(std::uint64_t group) {
  if (group == 0 || !DATAQUEUE_) return 0;
  const std::size_t before = DATAQUEUE_->size();
  // The head may be the message being sent (body_ reads its plan): only a head of the same
  // split is ever removed here, and then nothing of it is being sent.
  std::erase_if(*DATAQUEUE_, [group](const EmailQueueEntry& e) { return e.SPLITGROUP == group; });
  return before - DATAQUEUE_->size();
}

// ---- queuing -----------------------------------------------------------------------------

std::string NetEmailSend::LocalHostName() { return platform::LocalHostName(); }

std::string NetEmailSend::ConvertFileList(const std::string& list) {
  return mail::ConvertFileList(list, platform::kSeparator);
}

bool NetEmailSend::GetAddress(const std::string& list, std::int32_t index, std::string& name,
                              std::string& address) {
  return mail::GetAddress(list, index, name, address);
}

void NetEmailSend::MessageSent() {}
void NetEmailSend::MessageComposed() {}
void NetEmailSend::ProgressControl(ProgressChange, std::int32_t) {}

// A message that could not be composed: nothing is queued for it; the error is reported and
// kept in Error (ReportError may change it meanwhile).
bool NetEmailSend::ComposeFailed(std::int32_t error, const std::string& text,
                                 const std::string& function) {
  Error = error;
  NOMESSAGEADDEDYET_ = 1;
  ReportError(text, function);
  Error = error;
  return false;
}

std::string NetEmailSend::ComposeFailureText(ComposeResult result,
                                             const ComposeFailure& failure) const {
  switch (result) {
    case ComposeResult::kNotRegularFile:
      return "Privitak (" + failure.path + ") nije obična datoteka (nego uređaj, cijev ili " +
             "utičnica) i ne može se poslati e-mailom";
    case ComposeResult::kFileChanged:
      return "Privitak (" + failure.path + ") promijenio se nakon što je poruka pripremljena; " +
             "poruka nije poslana";
    default:
      return "Error opening attached file (" + failure.path + ") for sending via " + SERVERDESC_ +
             ". Error = " + std::to_string(failure.errorNumber) + " " +
             TrimRightCopy(failure.errorText);
  }
}

std::string NetEmailSend::NewMessageId() {
  ++IDCOUNT_;
  if (!GOTHOSTNAME_) {
    std::string host = Trim(LocalHostName());
    if (host.empty()) {
      HOSTNAME_ =
          "UnknownHost" + std::to_string(std::uniform_int_distribution<int>(1, 100000)(random_));
    } else {
      HOSTNAME_ = host.substr(0, 128);
      GOTHOSTNAME_ = 1;
    }
  }
  const platform::Clock& clock = platform::GetClock();
  return MessageId(clock.Today(), clock.TimeOfDay(), IDCOUNT_,
                   std::uniform_int_distribution<int>(1, 1000000)(random_));
}

bool NetEmailSend::Compose() {
  failedAttachment_.clear();
  const std::string id = NewMessageId();
  const platform::Clock& clock = platform::GetClock();
  const std::int64_t day = clock.Today();
  const std::int32_t time = clock.TimeOfDay();

  auto parts = std::make_shared<MessageParts>();
  MessageParts& p = *parts;
  p.from = FROM;
  p.toList = TOLIST;
  p.ccList = CCLIST;
  p.replyTo = REPLYTO;
  p.organization = ORGANIZATION;
  p.deliveryReceiptTo = DELIVERYRECEIPTTO;
  p.dispositionNotificationTo = DISPOSITIONNOTIFICATIONTO;
  p.references = REFERENCES;
  p.subject = SUBJECT;
  p.extraHeader = EXTRAHEADER;
  p.xMailer = XMAILER;
  const auto used = [](const std::string& buffer, std::int32_t length) {
    return std::string_view(buffer).substr(
        0, std::min<std::size_t>(buffer.size(), static_cast<std::size_t>(std::max(0, length))));
  };
  p.text = used(MESSAGETEXT, MESSAGETEXTLEN);
  p.html = used(MESSAGEHTML, MESSAGEHTMLLEN);
  p.attachmentList = ConvertFileList(ATTACHMENTLIST);
  p.embedList = ConvertFileList(EMBEDLIST);
  p.textCharset = OPTIONSMIMETEXTCHARSET;
  p.textEncoding = OPTIONSMIMETEXTTRANSFERENCODING;
  p.textDontEncode = OPTIONSMIMETEXTDONTENCODE == 1;
  p.htmlCharset = OPTIONSMIMEHTMLCHARSET;
  p.htmlEncoding = OPTIONSMIMEHTMLTRANSFERENCODING;
  p.htmlDontEncode = OPTIONSMIMEHTMLDONTENCODE == 1;
  p.encodeHeaders = OPTIONSENCODEHEADERS == 1;
  p.messageId = id;
  p.hostName = HOSTNAME_;
  p.day = day;
  p.timeOfDay = time;
  p.utcOffsetMinutes = clock.UtcOffsetMinutes();

  ComposeFailure failure;
  MessagePlan plan;
  ComposeResult result = PlanMessage(p, plan, failure);
  // A message without files is text only: it is kept as the composed message as well.
  if (result == ComposeResult::kOk && !plan.HasFiles() && plan.size <= kMaxMessageBytes)
    result = ReadMessage(plan, WHOLEMESSAGE, failure);
  switch (result) {
    case ComposeResult::kOk:
      break;
    case ComposeResult::kNoMemoryAtStart:
      return ComposeFailed(net::kNetOutOfMemory,
                           "Unable to allocate memory required for sending " + SERVERDESC_ + ".",
                           "NetEmailSend.SetRequiredMessageSize");
    case ComposeResult::kNoMemoryGrowing:
      return ComposeFailed(net::kNetOutOfMemory,
                           "Unable to allocate memory required for sending email.",
                           "NetEmailSend.SetRequiredMessageSize");
    case ComposeResult::kFileError:
    case ComposeResult::kNotRegularFile:
    case ComposeResult::kFileChanged:
      failedAttachment_ = failure.path;
      return ComposeFailed(net::kNetFileError, ComposeFailureText(result, failure),
                           "NetEmailSend.SendMail");
  }
  // Checked before anything is read or encoded.
  if (plan.size > kMaxMessageBytes)
    return ComposeFailed(net::kNetOutOfMemory,
                         "Poruka bi imala " + std::to_string(plan.size) +
                             " bajtova, a najviše se može poslati " +
                             std::to_string(kMaxMessageBytes) +
                             " bajtova (2 GB); privici su preveliki i poruka nije poslana",
                         "NetEmailSend.SendMail");
  if (plan.HasFiles()) WHOLEMESSAGE.clear();
  WHOLEMESSAGELEN = static_cast<std::int32_t>(plan.size);
  composedPlan_ = std::move(plan);
  composedParts_ = std::move(parts);
  MessageComposed();
  return true;
}

void NetEmailSend::SendMail(std::int32_t mode) {
  Error = 0;
  failedAttachment_.clear();
  if (PROGRESSCONTROL) ProgressControl(ProgressChange::kShow, 0);
  progressShown_ = 0;
  if (mode != 2) {
    // Only composed messages are sent by this program.
    Error = net::kNetBadParameters;
    NOMESSAGEADDEDYET_ = 1;
    ReportError("Incorrect Mode parameter passed to function.", "NetEmailSend.SendMail");
    Error = net::kNetBadParameters;
    return;
  }
  if (IsBlank(TOLIST) && IsBlank(CCLIST) && IsBlank(BCCLIST)) {
    Error = net::kNetPropertiesMissing;
    NOMESSAGEADDEDYET_ = 1;
    ReportError("No To, CC or BCC field specified when sending " + SERVERDESC_,
                "NetEmailSend.SendMail");
    Error = net::kNetPropertiesMissing;
    return;
  }
  if (IsBlank(FROM)) {
    Error = net::kNetPropertiesMissing;
    NOMESSAGEADDEDYET_ = 1;
    ReportError("No From Field specified when sending " + SERVERDESC_, "NetEmailSend.SendMail");
    Error = net::kNetPropertiesMissing;
    return;
  }
  // Every address goes into an SMTP command; one that could end the command early or add
  // one of its own is refused before anything is queued.
  {
    std::string name;
    std::string address;
    std::string bad;
    int recipients = 0;
    if (GetAddress(FROM, 1, name, address) && !IsSendableAddress(address)) bad = address;
    for (const std::string* list : {&TOLIST, &CCLIST, &BCCLIST}) {
      const std::size_t count = AddressEntryCount(*list);
      for (std::size_t i = 1; i <= count && bad.empty(); ++i) {
        if (!GetAddress(*list, static_cast<std::int32_t>(i), name, address)) continue;
        if (!IsSendableAddress(address)) bad = address;
        ++recipients;
      }
    }
    if (!bad.empty()) {
      Error = net::kNetPropertiesMissing;
      NOMESSAGEADDEDYET_ = 1;
      ReportError("Invalid address (" + Shown(bad) + ") specified when sending " + SERVERDESC_ +
                      ". An address may not contain a line break, \"<\" or \">\"",
                  "NetEmailSend.SendMail");
      Error = net::kNetPropertiesMissing;
      return;
    }
    if (recipients == 0) {
      Error = net::kNetPropertiesMissing;
      NOMESSAGEADDEDYET_ = 1;
      ReportError("No To, CC or BCC field specified when sending " + SERVERDESC_,
                  "NetEmailSend.SendMail");
      Error = net::kNetPropertiesMissing;
      return;
    }
  }
  if (!Compose()) return;

  try {
    EmailQueueEntry e;
    e.WHOLEMESSAGEPLAN = std::move(composedPlan_);
    e.PARTS = std::move(composedParts_);
    e.WHOLEMESSAGELEN = static_cast<std::uint32_t>(WHOLEMESSAGELEN);
    // The plan describes the message; the composed text is not kept twice.
    WHOLEMESSAGE = std::string();
    e.TOLIST = TOLIST;
    e.CCLIST = CCLIST;
    e.BCCLIST = BCCLIST;
    e.REPLYTO = REPLYTO;
    e.ORGANIZATION = ORGANIZATION;
    e.DELIVERYRECEIPTTO = DELIVERYRECEIPTTO;
    e.DISPOSITIONNOTIFICATIONTO = DISPOSITIONNOTIFICATIONTO;
    e.NEWSGROUP = NEWSGROUP;
    e.FROM = FROM;
    e.SUBJECT = SUBJECT;
    e.EXTRAHEADER = EXTRAHEADER;
    const std::size_t textLen = std::min<std::size_t>(
        MESSAGETEXT.size(), static_cast<std::size_t>(std::max(0, MESSAGETEXTLEN)));
    e.MESSAGETEXT = MESSAGETEXT.substr(0, textLen);
    e.MESSAGETEXTLEN = static_cast<std::uint32_t>(textLen);
    if (MESSAGEHTMLLEN > 0) {
      const std::size_t htmlLen =
          std::min<std::size_t>(MESSAGEHTML.size(), static_cast<std::size_t>(MESSAGEHTMLLEN));
      e.MESSAGEHTML = MESSAGEHTML.substr(0, htmlLen);
      e.MESSAGEHTMLLEN = static_cast<std::uint32_t>(htmlLen);
    }
    e.ATTACHMENTLIST = ATTACHMENTLIST;
    e.EMBEDLIST = EMBEDLIST;
    DATAQUEUE_->push_back(std::move(e));
  } catch (const std::exception&) {
    Error = net::kNetQueueError;
    NOMESSAGEADDEDYET_ = 1;
    ReportError("Could not add " + SERVERDESC_ + " to the queue", "NetEmailSend.SendMail");
    Error = net::kNetQueueError;
    return;
  }

  if (PROGRESSCONTROL) ProgressControl(ProgressChange::kShow, 0);
  if (!OpenFlag && !AsyncOpenBusy) {
    OpenForQueue();
    return;
  }
  if (!OpenFlag) return;  // still opening: the message waits for the greeting
  if (STATE_ == ES_NOTCONNECTED) {
    AFTERERRORTRYNEXTMESSAGE_ = 0;
    NOMESSAGEADDEDYET_ = 0;
    ReportError("Illegal State. NET:ES_NOTCONNECTED in section of SendMail.",
                "NetEmailSend.SendMail");
    HideProgress();
  } else if (STATE_ == ES_CONNECTEDANDIDLE) {
    SetState(ES_READY);
    SendCommand("RSET");
  }
  // In any other state the message waits its turn.
}

// ---- the dialogue ------------------------------------------------------------------------

void NetEmailSend::SetState(std::int32_t state) {
  if (state != STATE_)
    Log("NetEmailSend.SetState", "State " + StateText(STATE_) + " -> " + StateText(state));
  STATE_ = state;
}

void NetEmailSend::SendEndOfData() {
  // The line break before the dot ends the body's last line.
  std::memcpy(Packet.BinData, "\r\n.\r\n", 5);
  Packet.BinDataLen = 5;
  Send();
}

bool NetEmailSend::SendCommand(std::string_view command) {
  // A line break inside would let the text end the command early and start another; a
  // command longer than one packet would be cut. Either ends the dialogue instead.
  std::string why;
  if (command.find_first_of("\r\n") != std::string_view::npos)
    why = "sadrži prijelom retka";
  else if (command.size() > kMaxCommandBytes)
    why = "duga je " + std::to_string(command.size()) + " bajtova, a smije imati najviše " +
          std::to_string(kMaxCommandBytes);
  if (!why.empty()) {
    DialogueFailed(net::kNetInvalidStringSize, "Naredba poslužitelju nije poslana: " + why);
    Error = net::kNetInvalidStringSize;  // closing the connection has reset it
    return false;
  }
  std::memcpy(Packet.BinData, command.data(), command.size());
  std::memcpy(Packet.BinData + command.size(), "\r\n", 2);
  Packet.BinDataLen = static_cast<std::int32_t>(command.size() + 2);
  ArmReplyDeadline(REPLYTIMEOUT);  // every command is answered
  Send();
  return true;
}

void NetEmailSend::Process() {
  const std::string fn = "NetEmailSend.Process (" + SERVERDESC_ + ")";
  if (Packet.PacketType == net::kPacketIdle) {
    Error = net::kNetIdleClosed;
    PerMessageError(0, "Idle Timeout - Warning connection has been idle for more than " +
                           std::to_string(Connection_.InactiveTimeout / 100) +
                           " seconds. Connection will be closed");
    return;
  }
  if (Packet.PacketType == net::kPacketOpenSucceeded) {
    if (STATE_ == ES_WAITGREETING) StartImplicitTls();
    return;
  }
  if (Packet.PacketType != net::kPacketData) return;
  if (!OpenFlag) {
    // Data still queued for a connection this object has closed or aborted.
    Log(fn, "Data received after the connection was closed; ignored");
    return;
  }

  const std::size_t len =
      static_cast<std::size_t>(std::clamp<std::int32_t>(Packet.BinDataLen, 0, net::kMaxBinData));
  const std::string_view packet(reinterpret_cast<const char*>(Packet.BinData), len);

  // A reply that outgrows the buffer is malformed (or hostile): it is answered as a reply
  // the current state cannot accept, which ends in the usual error paths.
  if (SERVERREPLYBUFFER_.size() + len > kReplyBufferBytes) {
    SERVERREPLYBUFFER_.clear();
    SERVERREPLYBUFFERLEN_ = 0;
    Log(fn, "Error. The reply from the " + SERVERDESC_ + " Server is longer than " +
                std::to_string(kReplyBufferBytes) + " bytes");
    HandleReply(0, " Reply longer than " + std::to_string(kReplyBufferBytes) + " bytes", {});
    return;
  }
  // Whether a reply is complete is judged on everything received so far: its line ends may
  // arrive in any number of pieces (a CR in one packet, its LF in the next).
  const bool joined = !SERVERREPLYBUFFER_.empty();
  SERVERREPLYBUFFER_.append(packet);
  SERVERREPLYBUFFERLEN_ = static_cast<std::int32_t>(SERVERREPLYBUFFER_.size());
  while (OpenFlag && !SERVERREPLYBUFFER_.empty()) {
    std::size_t end = 0;
    const ReplyEnd found = FindReplyEnd(SERVERREPLYBUFFER_, end);
    if (found == ReplyEnd::kNoLine) {
      Log(fn, "Warning. We Received Data from " + SERVERDESC_ +
                  " Server - but did not receive a whole line. Will store the line in the buffer");
      CheckReplyDeadline();  // a reply that trickles in must still be complete in time
      return;
    }
    if (found == ReplyEnd::kMoreLines) {
      Log(fn, "Warning. We Received **MultiLine** Data from " + SERVERDESC_ +
                  " Server - but did not receive a whole set of lines. Will store the data in "
                  "the buffer");
      CheckReplyDeadline();
      return;
    }
    const std::string reply = SERVERREPLYBUFFER_.substr(0, end);
    SERVERREPLYBUFFER_.erase(0, end);
    SERVERREPLYBUFFERLEN_ = static_cast<std::int32_t>(SERVERREPLYBUFFER_.size());
    if (joined)
      Log(fn, "Okay we put the buffered lines together and got [" + Showable(reply) + "]");
    replyDeadline_.reset();

    // The packet's own error tells of a failed read; the object's `Error` may still hold the
    // result of an unrelated call (a refused SendMail) and must not drop this message.
    if (Packet.Error != 0) {
      Error = Packet.Error;
      AFTERERRORTRYNEXTMESSAGE_ = 1;
      ReportError("Error reading data from the " + SERVERDESC_ + " Server", "NetEmailSend.Process");
      NextMessage();
      return;
    }
    HandleReply(ReplyCode(reply), ReplyText(reply), reply);
  }
}

bool NetEmailSend::HaveCredentials() const {
  return !IsBlank(AUTHUSER) || !IsBlank(AUTHPASSWORD) || !IsBlank(AUTHTOKEN);
}

// EHLO (instead of HELO) when the server's extensions are needed: to log in, to start TLS,
// or to learn its size limit for splitting.
bool NetEmailSend::UseEhlo() const {
  return HaveCredentials() || OPTIONSTLS == TlsMode::kStartTls || OPTIONSSPLITOVERSIZE == 1;
}

void NetEmailSend::HandleReply(std::int32_t code, const std::string& text,
                               const std::string& reply) {
  if (STATE_ == ES_CONNECTEDANDIDLE && !QueueEmpty()) SetState(ES_READY);
  const std::string helo = HeaderValue(HELO);
  switch (STATE_) {
    case ES_WAITGREETING:
      if (code != 220) return FatalError(code, text);
      authSent_ = false;
      capabilities_ = EhloCapabilities{};
      if (UseEhlo()) {
        SetState(ES_EHLO);
        SendCommand("EHLO " + helo);
      } else {
        SetState(ES_READY);
        SendCommand("HELO " + helo);
      }
      return;
    case ES_EHLO:
      if (code != 250) return FatalError(code, text);
      capabilities_ = ParseEhlo(reply);
      AfterEhlo();
      return;
    case ES_STARTTLS:
      if (code != 220) return FatalError(code, text);
      // Whatever came with the answer was sent before the secure connection and is not
      // trusted: it is dropped, and the extensions are asked for again afterwards.
      SERVERREPLYBUFFER_.clear();
      SERVERREPLYBUFFERLEN_ = 0;
      capabilities_ = EhloCapabilities{};
      SetState(ES_TLSHANDSHAKE);
      ArmReplyDeadline(REPLYTIMEOUT);
      StartTls(TrimRightCopy(SERVER), TrimRightCopy(OPTIONSTLSCAFILE));
      return;
    case ES_AUTHLOGIN:
      if (code != 334) return FatalError(code, text);
      SetState(ES_AUTHUSER);
      SendCommand(Base64Line(TrimRight(AUTHUSER)));
      return;
    case ES_AUTHUSER:
      if (code != 334) return FatalError(code, text);
      SetState(ES_READY);
      authSent_ = true;
      SendCommand(Base64Line(TrimRight(AUTHPASSWORD)));
      return;
    case ES_AUTHTOKEN:
      if (code == 334) {
        // The token was refused; the details come base64-encoded in the challenge. The
        // exchange is ended as the mechanism requires (a lone ^A for OAUTHBEARER, base64 as
        // every SASL response; an empty response for XOAUTH2) and the refusal then reported.
        SetState(ES_AUTHTOKENERROR);
        SendCommand(bearerSent_ ? Base64Line(std::string(1, '\x01')) : std::string());
        return;
      }
      if (code == 235) {
        SetState(ES_READY);
        StartNextMessage();
        return;
      }
      if (code >= 500) return TokenRefused(code, text);
      return FatalError(code, text);
    case ES_AUTHTOKENERROR:
      if (code >= 400 && code < 500) return FatalError(code, text);
      return TokenRefused(code, text);
    case ES_READY:
      if (code != (authSent_ ? 235 : 250)) return FatalError(code, text);
      authSent_ = false;
      StartNextMessage();
      return;
    case ES_CONNECTEDANDIDLE:
      AFTERERRORTRYNEXTMESSAGE_ = 1;
      ReportError("Invalid State. Should never be in the NET:ES_CONNECTEDANDIDLE at this point.",
                  "NetEmailSend.Process");
      NextMessage();
      return;
    case ES_MAILFROM:
    case ES_RCPTTO:
      if (code != 250 && code != 251) return PerMessageError(code, text);
      NextRecipient();
      return;
    case ES_DATA:
      if (code != 354) return PerMessageError(code, text);
      SetState(ES_BODYSENT);
      SendBody();
      return;
    case ES_BODYSENT:
      if (body_) {
        // A reply before the end marker went out: the server gave up on the message.
        return PerMessageError(code, text);
      }
      if (code != 250) return PerMessageError(code, text);
      ++MESSAGESSENTONCURRENTCONNECTION_;
      MessageSent();
      NextMessage();
      return;
    case ES_NOTCONNECTED:
    case ES_TLSHANDSHAKE:
      return FatalError(code, text);
    default:
      AFTERERRORTRYNEXTMESSAGE_ = 1;
      ReportError("Error. NetEmailSend - no state found. State = " + std::to_string(STATE_),
                  "NetEmailSend.Process");
      NextMessage();
      return;
  }
}

// The server has answered EHLO: start TLS when it is asked for and not yet running, else log
// in, else go on to the first message.
void NetEmailSend::AfterEhlo() {
  if (OPTIONSTLS == TlsMode::kStartTls && !TlsEstablished()) {
    if (!capabilities_.startTls) {
      // Never fall back to a connection in clear once a secure one was asked for.
      return DialogueFailed(
          net::kNetTlsFailed,
          "Poslužitelj ne nudi STARTTLS, a zadana je šifrirana veza (TLS=starttls); "
          "ništa nije poslano. Provjerite priključak (port) i postavku TLS");
    }
    SetState(ES_STARTTLS);
    SendCommand("STARTTLS");
    return;
  }
  if (HaveCredentials() && OPTIONSTLS == TlsMode::kNone && !TlsEstablished()) {
    // A password is never sent in clear unless the user chose that: the connection is
    // secured first when the server offers it, else nothing secret goes out.
    if (!capabilities_.startTls) {
      return DialogueFailed(
          net::kNetTlsFailed,
          "Poslužitelj ne nudi STARTTLS, a zaporka se ne šalje nešifrirano; ništa "
          "nije poslano. Uključite zaštitu veze (TLS=starttls ili implicit, uz "
          "odgovarajući port) ili izričito dopustite slanje zaporke bez "
          "šifriranja (TLS=cleartext)");
    }
    SetState(ES_STARTTLS);
    SendCommand("STARTTLS");
    return;
  }
  if (!IsBlank(AUTHTOKEN)) return SendTokenLogin();
  if (HaveCredentials()) {
    if (capabilities_.authPlain && !capabilities_.authLogin) {
      // AUTH PLAIN with its initial response: authorisation identity (none), user, password.
      std::string credentials;
      credentials += '\0';
      credentials += TrimRight(AUTHUSER);
      credentials += '\0';
      credentials += TrimRight(AUTHPASSWORD);
      SetState(ES_READY);
      authSent_ = true;
      SendCommand("AUTH PLAIN " + Base64Line(credentials));
      return;
    }
    SetState(ES_AUTHLOGIN);
    SendCommand("AUTH LOGIN");
    return;
  }
  SetState(ES_READY);
  StartNextMessage();
}

// Logs in with the access token: OAUTHBEARER when the server offers it, else XOAUTH2. A
// token is as good as a password for its lifetime, so it goes out over TLS only.
void NetEmailSend::SendTokenLogin() {
  if (!TlsEstablished()) {
    return DialogueFailed(net::kNetTlsFailed,
                          "Prijava tokenom (OAuth) moguća je samo šifriranom vezom; uključite TLS "
                          "(starttls ili implicit). Ništa nije poslano");
  }
  if (!capabilities_.authOauthBearer && !capabilities_.authXoauth2) {
    return DialogueFailed(net::kNetTlsFailed,
                          "Poslužitelj ne nudi prijavu tokenom (OAUTHBEARER ni XOAUTH2); "
                          "ništa nije poslano. Provjerite poslužitelj ili prijavite se zaporkom");
  }
  const std::string kSep(1, '\x01');  // ^A ends every key/value pair
  const std::string user = TrimRightCopy(AUTHUSER);
  const std::string token = TrimRightCopy(AUTHTOKEN);
  std::string response;
  bearerSent_ = capabilities_.authOauthBearer;
  if (bearerSent_) {
    // GS2 header (no channel binding, the user as authorisation identity with ',' and '='
    // escaped), then the key/value pairs separated by ^A.
    std::string authzid;
    for (char c : user) {
      if (c == ',')
        authzid += "=2C";
      else if (c == '=')
        authzid += "=3D";
      else
        authzid += c;
    }
    response = "n,";
    if (!authzid.empty()) response += "a=" + authzid;
    response += ",";
    response += kSep + "host=" + TrimRightCopy(SERVER) + kSep + "port=" + std::to_string(PORT) +
                kSep + "auth=Bearer " + token + kSep + kSep;
  } else {
    response = "user=" + user + kSep + "auth=Bearer " + token + kSep + kSep;
  }
  SetState(ES_AUTHTOKEN);
  SendCommand(std::string("AUTH ") + (bearerSent_ ? "OAUTHBEARER " : "XOAUTH2 ") +
              Base64Line(response));
}

// The server refused the token for good: the dialogue ends and the user is told to sign in
// again (an access token that a fresh sign-in does not replace will be refused again).
void NetEmailSend::TokenRefused(std::int32_t code, const std::string& text) {
  const std::string signIn =
      IsBlank(AUTHTOKENSIGNIN) ? "microsoft|google|custom" : TrimRightCopy(AUTHTOKENSIGNIN);
  SERVERERRORNUM = code;
  SERVERERRORDESC = text.substr(0, kMaxReplyText);
  DialogueFailed(0, "Poslužitelj je odbio prijavu tokenom (" + std::to_string(code) + " " +
                        Trim(text) + "); ponovite prijavu: verdan settings --oauth " + signIn);
  SERVERERRORNUM = 0;
  SERVERERRORDESC.clear();
}

// The server is ready for a message (250 to HELO, EHLO or RSET, or 235 after the login).
void NetEmailSend::StartNextMessage() {
  if (QueueEmpty()) {
    SetState(ES_CONNECTEDANDIDLE);
    return;
  }
  if (capabilities_.size && capabilities_.sizeLimit > 0 &&
      Head().WHOLEMESSAGEPLAN.size > capabilities_.sizeLimit) {
    std::string why;
    if (!(OPTIONSSPLITOVERSIZE == 1 && SplitHead(capabilities_.sizeLimit, why))) {
      // Refused before a byte of it is sent.
      Error = 0;
      AFTERERRORTRYNEXTMESSAGE_ = 1;
      std::string text = "Poruka ima " + std::to_string(Head().WHOLEMESSAGEPLAN.size) +
                         " bajtova, a poslužitelj prima najviše " +
                         std::to_string(capabilities_.sizeLimit) + " bajtova; nije poslana.";
      text += why.empty() ? " Prevelik privitak može se poslati u dijelovima (dijeljenje privitka)."
                          : " Dijeljenje nije moguće: " + why + ".";
      oversizeRefused_ = OPTIONSSPLITOVERSIZE != 1;
      ReportError(text, "NetEmailSend.Process");
      NextMessage();
      return;
    }
  }
  SetState(ES_MAILFROM);
  LISTINDEX2_ = 0;
  LISTWHICH2_ = 0;
  std::string name;
  std::string address;
  if (!GetAddress(Head().FROM, 1, name, address) || !IsSendableAddress(address)) {
    AFTERERRORTRYNEXTMESSAGE_ = 1;
    ReportError("Invalid from address found in data queue", "NetEmailSend.Process");
    NextMessage();
    return;
  }
  std::string command = "MAIL FROM: <" + address + ">";
  if (capabilities_.size) command += " SIZE=" + std::to_string(Head().WHOLEMESSAGEPLAN.size);
  SendCommand(command);
}

namespace {

// The joining instruction of part `index` of `count` (UTF-8, lines ended by CR LF).
std::string JoiningInstruction(const std::string& name, std::uint64_t total, std::uint64_t index,
                               std::uint64_t count, const std::vector<std::string>& partNames) {
  std::string text = "Privitak \"" + name + "\" (" + std::to_string(total) +
                     " bajtova) prevelik je za jednu poruku pa je poslan u " +
                     std::to_string(count) + " " + PartsWord(count) +
                     ", svaki u svojoj poruci. Ovo je dio " + std::to_string(index) + " od " +
                     std::to_string(count) + ": \"" +
                     partNames[static_cast<std::size_t>(index - 1)] + "\".\r\n\r\n";
  text += "Kad stignu svi dijelovi, spremite ih u istu mapu i spojite redom u jednu datoteku:\r\n";
  // Every part by name: a wildcard could take in the joined file itself.
  std::string windows;
  std::string linux;
  for (std::size_t i = 0; i < partNames.size(); ++i) {
    windows += (i ? "+\"" : "\"") + partNames[i] + "\"";
    linux += (i ? " \"" : "\"") + partNames[i] + "\"";
  }
  text += "  Windows:  copy /b " + windows + " \"" + name + "\"\r\n";
  text += "  Linux:    cat " + linux + " > \"" + name + "\"\r\n";
  return text;
}

}  // namespace

bool NetEmailSend::SplitHead(std::uint64_t limit, std::string& why) {
  const EmailQueueEntry& head = Head();
  const MessageSegment* file = nullptr;
  for (const MessageSegment& s : head.WHOLEMESSAGEPLAN.segments)
    if (s.IsFile()) file = &s;
  const std::vector<std::string> files =
      head.PARTS ? FileListEntries(head.PARTS->attachmentList) : std::vector<std::string>{};
  if (!head.PARTS || files.size() != 1 || head.PARTS->attachmentSlice || !file) {
    why = "u dijelovima se šalje samo poruka s jednim privitkom";
    return false;
  }
  const MessageParts& original = *head.PARTS;
  const std::uint64_t total = file->fileSize;
  const std::string name = BaseName(files[0]);
  // Room for what a server counts beyond the message itself (its own trace headers, the
  // stuffed dots, line ends it converts): a part filled to the announced limit is refused.
  const std::uint64_t kMargin = SplitMargin(limit);

  // The parts as messages: the original with a numbered subject, the joining instruction
  // after its text, and one slice of the file as its attachment.
  std::vector<std::string> partNames;
  auto partOf = [&](std::uint64_t index, std::uint64_t count, FileSlice slice) {
    MessageParts p = original;
    p.subject = TrimRightCopy(original.subject) + " (dio " + std::to_string(index) + "/" +
                std::to_string(count) + ")";
    std::string instruction = JoiningInstruction(name, total, index, count, partNames);
    const std::string declared = Trim(TrimRight(original.textCharset));
    const bool asciiCharset = declared.empty() || platform::EqualNoCase(declared, "us-ascii");
    if (asciiCharset && IsAsciiText(original.text)) {
      p.textCharset = "utf-8";
    } else if (platform::EqualNoCase(declared, "windows-1250")) {
      instruction = platform::Utf8ToCp1250(instruction);
    }
    if (p.textDontEncode ||
        !platform::EqualNoCase(Trim(TrimRight(p.textEncoding)), "quoted-printable")) {
      p.textEncoding = "quoted-printable";  // the instruction is not plain ASCII
      p.textDontEncode = false;
    }
    std::string text = original.text;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
      text.pop_back();
    p.text = text.empty() ? instruction : text + "\r\n\r\n" + instruction;
    p.attachmentSlice = std::move(slice);
    return p;
  };
  auto nameParts = [&](std::uint64_t count) {
    partNames.clear();
    const std::size_t width = std::max<std::size_t>(3, std::to_string(count).size());
    for (std::uint64_t i = 1; i <= count; ++i) partNames.push_back(name + "." + Digits(i, width));
  };

  // How many parts: the largest slice (whole base64 lines) that fits beside the part's own
  // text, found again while the number of digits changes the text.
  std::uint64_t count = 2;
  std::uint64_t piece = 0;
  for (int round = 0; round < 8; ++round) {
    nameParts(count);
    MessageParts probe = partOf(count, count, FileSlice{0, 0, partNames.back()});
    MessagePlan plan;
    ComposeFailure failure;
    const ComposeResult r = PlanMessage(probe, plan, failure);
    if (r != ComposeResult::kOk) {
      why = ComposeFailureText(r, failure);
      return false;
    }
    if (plan.size + kMargin + 78 > limit) {
      why = "granica poslužitelja premala je i za najmanji dio";
      return false;
    }
    piece = (limit - plan.size - kMargin) / 78 * 57;
    const std::uint64_t needed = std::max<std::uint64_t>((total + piece - 1) / piece, 1);
    if (needed <= count) break;
    count = needed;
  }
  count = std::max<std::uint64_t>((total + piece - 1) / piece, 1);
  nameParts(count);

  std::vector<EmailQueueEntry> parts;
  const std::uint64_t group = ++splitGroups_;
  for (std::uint64_t index = 1; index <= count; ++index) {
    const std::uint64_t offset = (index - 1) * piece;
    MessageParts p = partOf(
        index, count, FileSlice{offset, std::min(piece, total - offset), partNames[index - 1]});
    p.messageId = NewMessageId();
    p.hostName = HOSTNAME_;
    MessagePlan plan;
    ComposeFailure failure;
    const ComposeResult r = PlanMessage(p, plan, failure);
    if (r != ComposeResult::kOk) {
      why = ComposeFailureText(r, failure);
      return false;
    }
    const MessageSegment* slice = nullptr;
    for (const MessageSegment& s : plan.segments)
      if (s.IsFile()) slice = &s;
    if (!slice || slice->fileSize != total) {
      why = "privitak se promijenio nakon što je poruka pripremljena";
      return false;
    }
    if (plan.size > limit) {
      why = "dio bi bio veći od granice poslužitelja";
      return false;
    }
    EmailQueueEntry e;
    e.TOLIST = head.TOLIST;
    e.CCLIST = head.CCLIST;
    e.BCCLIST = head.BCCLIST;
    e.FROM = head.FROM;
    e.REPLYTO = head.REPLYTO;
    e.ORGANIZATION = head.ORGANIZATION;
    e.NEWSGROUP = head.NEWSGROUP;
    e.DELIVERYRECEIPTTO = head.DELIVERYRECEIPTTO;
    e.DISPOSITIONNOTIFICATIONTO = head.DISPOSITIONNOTIFICATIONTO;
    e.EXTRAHEADER = head.EXTRAHEADER;
    e.ATTACHMENTLIST = head.ATTACHMENTLIST;
    e.EMBEDLIST = head.EMBEDLIST;
    e.SUBJECT = p.subject;
    e.MESSAGETEXT = p.text;
    e.MESSAGETEXTLEN = static_cast<std::uint32_t>(p.text.size());
    e.MESSAGEHTML = head.MESSAGEHTML;
    e.MESSAGEHTMLLEN = head.MESSAGEHTMLLEN;
    e.WHOLEMESSAGELEN = static_cast<std::uint32_t>(plan.size);
    e.WHOLEMESSAGEPLAN = std::move(plan);
    e.PARTS = std::make_shared<const MessageParts>(std::move(p));
    e.SPLITGROUP = group;
    e.SPLITPART = "dio " + std::to_string(index) + "/" + std::to_string(count) + " (" +
                  partNames[index - 1] + ")";
    parts.push_back(std::move(e));
  }
  Log("NetEmailSend.Process", "The message of " + std::to_string(head.WHOLEMESSAGEPLAN.size) +
                                  " bytes is sent as " + std::to_string(count) +
                                  " messages, each under the server's limit of " +
                                  std::to_string(limit) + " bytes");
  DATAQUEUE_->pop_front();
  DATAQUEUE_->insert(DATAQUEUE_->begin(), std::make_move_iterator(parts.begin()),
                     std::make_move_iterator(parts.end()));
  return true;
}

void NetEmailSend::NextRecipient() {
  if (QueueEmpty()) return;
  EmailQueueEntry& head = Head();
  std::string name;
  std::string address;
  while (LISTWHICH2_ <= 2) {
    const std::string& list = LISTWHICH2_ == 0   ? head.TOLIST
                              : LISTWHICH2_ == 1 ? head.CCLIST
                                                 : head.BCCLIST;
    // Blank entries are passed over, so "a@x, , b@y" still reaches b@y.
    const auto count = static_cast<std::int32_t>(AddressEntryCount(list));
    while (++LISTINDEX2_ <= count) {
      if (!GetAddress(list, LISTINDEX2_, name, address)) continue;
      if (!IsSendableAddress(address)) {
        AFTERERRORTRYNEXTMESSAGE_ = 1;
        ReportError("Invalid recipient address found in data queue", "NetEmailSend.Process");
        NextMessage();
        return;
      }
      SetState(ES_RCPTTO);
      SendCommand("RCPT TO: <" + address + ">");
      return;
    }
    LISTINDEX2_ = 0;
    ++LISTWHICH2_;
  }
  SetState(ES_DATA);
  SendCommand("DATA");
}

void NetEmailSend::SendBody() {
  if (QueueEmpty()) return;
  atLineStart_ = true;
  afterCr_ = false;
  replyDeadline_.reset();  // nothing is answered until the end marker
  body_ = std::make_unique<MessageReader>(Head().WHOLEMESSAGEPLAN);
  PumpBody();
}

// Hands the body to the socket layer in chunks of a packet while the layer holds less than the
// high mark; past it, waits for the layer to report room (SendRoom). After the last chunk
// comes the end marker.
void NetEmailSend::PumpBody() {
  while (body_ && !QueueEmpty() && OpenFlag) {
    if (QueuedSendBytes() >= kBodyHighWaterBytes) {
      QueuedSendBytes(kBodyLowWaterBytes);
      return;
    }
    const std::size_t n = body_->Read(Packet.BinData, kBodyChunkBytes);
    if (body_->Failed()) {
      const ComposeResult result = body_->result();
      const ComposeFailure failure = body_->failure();
      MessageFailed(net::kNetFileError, ComposeFailureText(result, failure));
      return;
    }
    if (n == 0) {
      MESSAGEBYTESSENT_ += static_cast<std::int64_t>(Head().WHOLEMESSAGEPLAN.size);
      body_.reset();
      SendEndOfData();
      ArmReplyDeadline(REPLYTIMEOUT > 0 ? 2 * REPLYTIMEOUT
                                        : 0);  // the server may check it at length
      return;
    }
    Packet.BinDataLen = static_cast<std::int32_t>(n);
    DotStuff();
    SendPart();  // the end marker's send takes along what waits
    // A failed send has been reported and may have emptied the queue.
    if (Error != 0 || QueueEmpty() || !OpenFlag) {
      body_.reset();
      return;
    }
  }
}

void NetEmailSend::SendRoom() {
  if (STATE_ == ES_BODYSENT && body_) PumpBody();
}

void NetEmailSend::TlsReady() {
  Log("NetEmailSend.TlsReady",
      "Secure connection to the " + SERVERDESC_ + " Server: " + TlsDescription());
  if (STATE_ != ES_TLSHANDSHAKE) return;  // TLS from the start: the greeting comes next
  // The server is asked for its extensions again: the earlier answer was not protected.
  capabilities_ = EhloCapabilities{};
  SetState(ES_EHLO);
  SendCommand("EHLO " + HeaderValue(HELO));
}

void NetEmailSend::DotStuff() {
  const std::size_t n =
      static_cast<std::size_t>(std::clamp<std::int32_t>(Packet.BinDataLen, 0, net::kMaxBinData));
  const std::uint8_t* data = Packet.BinData;
  // A dot begins a line at the start of the stream or after CR LF, whichever chunk the CR
  // and LF were in.
  auto lineStart = [&](std::size_t i, bool startOfStream, bool crBefore) {
    if (i == 0) return startOfStream;
    if (i == 1) return data[0] == '\n' && crBefore;
    return data[i - 1] == '\n' && data[i - 2] == '\r';
  };
  const bool startOfStream = atLineStart_;
  const bool crBefore = afterCr_;
  std::size_t doubled = 0;
  for (const void* p = std::memchr(data, '.', n); p != nullptr;) {
    const auto i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(p) - data);
    if (lineStart(i, startOfStream, crBefore)) ++doubled;
    p = i + 1 < n ? std::memchr(data + i + 1, '.', n - i - 1) : nullptr;
  }
  if (n >= 2) {
    atLineStart_ = data[n - 2] == '\r' && data[n - 1] == '\n';
  } else if (n == 1) {
    atLineStart_ = crBefore && data[0] == '\n';
  }
  if (n > 0) afterCr_ = data[n - 1] == '\r';
  if (doubled == 0) return;  // the chunk goes out as it is

  std::string out;
  out.reserve(n + doubled);
  for (std::size_t i = 0; i < n; ++i) {
    if (data[i] == '.' && lineStart(i, startOfStream, crBefore)) out += '.';
    out += static_cast<char>(data[i]);
  }
  // A chunk that grew past one packet is sent in pieces; the last stays in Packet.
  std::size_t pos = 0;
  while (out.size() - pos > static_cast<std::size_t>(net::kMaxBinData)) {
    std::memcpy(Packet.BinData, out.data() + pos, net::kMaxBinData);
    Packet.BinDataLen = net::kMaxBinData;
    SendPart();
    pos += net::kMaxBinData;
    if (Error != 0) break;
  }
  std::memcpy(Packet.BinData, out.data() + pos, out.size() - pos);
  Packet.BinDataLen = static_cast<std::int32_t>(out.size() - pos);
}

void NetEmailSend::NextMessage() {
  DropHead();
  const bool reconnect =
      RECONNECTAFTERXMSGS > 0 && MESSAGESSENTONCURRENTCONNECTION_ >= RECONNECTAFTERXMSGS;
  if (!QueueEmpty()) {
    if (reconnect) {
      SendCommand("QUIT");
      if (QueueEmpty()) return;  // the send failed and ended the dialogue
      Close();
      OpenForQueue();
    } else {
      SetState(ES_READY);
      SendCommand("RSET");
    }
    return;
  }
  if (OPTIONSKEEPCONNECTIONOPEN == 0 || reconnect) {
    SendCommand("QUIT");
    Close();
    SetState(ES_NOTCONNECTED);
  } else {
    SetState(ES_READY);
    SendCommand("RSET");
  }
  HideProgress();
}

void NetEmailSend::HideProgress() {
  if (PROGRESSCONTROL) ProgressControl(ProgressChange::kHide, 0);
  progressShown_ = -1;
}

void NetEmailSend::CalcProgress() {
  CheckReplyDeadline();
  if (QueueEmpty()) {
    PROGRESS1000 = 1000;
    PROGRESSBYTESTOGO = 0;
    PROGRESSBYTESMAX = 0;
  } else {
    std::int64_t total = 0;
    for (const EmailQueueEntry& e : *DATAQUEUE_) total += e.WHOLEMESSAGELEN;
    total = std::min<std::int64_t>(total, INT32_MAX);
    if (total > PROGRESSBYTESMAX) PROGRESSBYTESMAX = static_cast<std::int32_t>(total);
    if (STATE_ == ES_BODYSENT) {
      // What of the head is still to go: the part not yet read, and what waits in the layer.
      CountOutgoingPackets(net::OutgoingCount::kPacketsAndBytes);
      const std::int64_t unread = body_ ? static_cast<std::int64_t>(Head().WHOLEMESSAGELEN) -
                                              static_cast<std::int64_t>(body_->Position())
                                        : 0;
      total = total - Head().WHOLEMESSAGELEN + std::max<std::int64_t>(unread, 0) +
              std::max(0, OutgoingDLLPacketsBytes);
    }
    PROGRESSBYTESTOGO = static_cast<std::int32_t>(std::clamp<std::int64_t>(total, 0, INT32_MAX));
    const std::int64_t max = PROGRESSBYTESMAX;
    PROGRESS1000 = max == 0 ? 1000
                            : static_cast<std::int32_t>(std::clamp<std::int64_t>(
                                  (max - PROGRESSBYTESTOGO) * 1000 / max, 0, 1000));
  }
  if (PROGRESSCONTROL && PROGRESS1000 / 10 != progressShown_ / 10) {
    ProgressControl(ProgressChange::kValue, PROGRESS1000);
    progressShown_ = PROGRESS1000;
  }
}

}  // namespace verdan::mail
