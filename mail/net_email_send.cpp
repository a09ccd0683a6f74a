#include "mail/net_email_send.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "mail/mime.h"
#include "platform/clock.h"
#include "platform/paths.h"
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
// the line end, at most 255 characters.
std::string ReplyText(std::string_view reply) {
  if (reply.size() <= 3) return {};
  std::string_view rest = reply.substr(3);
  rest = rest.substr(0, rest.find_first_of("\r\n"));
  return std::string(rest.substr(0, kMaxReplyText));
}

}  // namespace

NetEmailSend::NetEmailSend(platform::Ui* ui, net::NetDLL* layer) : NetSimple(ui, layer) {}

NetEmailSend::~NetEmailSend() {
  if (_DATAQUEUE) Kill();
}

void NetEmailSend::Init() {
  if (!initialised_) {
    _WHAT = 1;
    _SERVERDESC = kServerDesc;
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
  _DATAQUEUE = std::make_unique<EmailDataQueue>();
  DATAQUEUE = _DATAQUEUE.get();
}

void NetEmailSend::Kill() {
  NetSimple::Kill();
  FreeDataQueue();
  _DATAQUEUE.reset();
  DATAQUEUE = nullptr;
  FreeMessageBuffers();
}

// ---- connection ----------------------------------------------------------------------------

void NetEmailSend::Open(const std::string& server, std::uint16_t port) {
  _MESSAGESSENTONCURRENTCONNECTION = 0;
  _SERVERREPLYBUFFER.clear();
  _SERVERREPLYBUFFERLEN = 0;
  NetSimple::Open(server, port);
}

void NetEmailSend::Close() {
  NetSimple::Close();
  _MESSAGESSENTONCURRENTCONNECTION = 0;
  SetState(ES_NOTCONNECTED);
}

void NetEmailSend::Abort() {
  NetSimple::Abort();
  _MESSAGESSENTONCURRENTCONNECTION = 0;
  SetState(ES_NOTCONNECTED);
}

void NetEmailSend::OpenForQueue() {
  Open(TrimRightCopy(SERVER), PORT);
  if (!OpenFlag && !AsyncOpenBusy) {
    Error = -39;
    SetState(ES_NOTCONNECTED);
    HideProgress();
    return;
  }
  SetState(ES_WAITGREETING);
}

// ---- errors ----------------------------------------------------------------------------------

void NetEmailSend::ReportError(const std::string& errorText, const std::string& functionName) {
  std::string text;
  if (Error == 10061)
    text = "Could not open a connection to the " + _SERVERDESC + " Server";
  else
    text = std::string(TrimRight(errorText).substr(0, kMaxReportText));
  NetSimple::ReportError(text, functionName);
  if (!_AFTERERRORTRYNEXTMESSAGE && !_NOMESSAGEADDEDYET) {
    // Any other error ends the whole dialogue.
    FreeDataQueue();
    Close();
    SetState(ES_NOTCONNECTED);
    HideProgress();
  } else {
    _AFTERERRORTRYNEXTMESSAGE = 0;
    _NOMESSAGEADDEDYET = 0;
  }
}

void NetEmailSend::ConnectionClosed() {
  _MESSAGESSENTONCURRENTCONNECTION = 0;
  if (_STATE != ES_NOTCONNECTED) {
    _AFTERERRORTRYNEXTMESSAGE = 0;
    _NOMESSAGEADDEDYET = 0;
    ReportError("The (" + _SERVERDESC + ")" +
                    " server closed the connection or a dial-up connection closed",
                "NetEmailSend.ConnectionClosed");
    SetState(ES_NOTCONNECTED);
  }
}

void NetEmailSend::PerMessageError(std::int32_t code, const std::string& text) {
  const std::int32_t state = _STATE;
  _AFTERERRORTRYNEXTMESSAGE = 1;
  SERVERERRORNUM = code;
  SERVERERRORDESC = text.substr(0, kMaxReplyText);
  ReportError("Error in this Message. " + _SERVERDESC + " server sent error = " +
                  std::to_string(code) + " " + Trim(text) + " State = " + std::to_string(state) +
                  ". Will try and send next email",
              "NetEmailSend.Process");
  SERVERERRORNUM = 0;
  SERVERERRORDESC.clear();
  DropHead();
  Abort();
  if (!QueueEmpty())
    OpenForQueue();
  else
    HideProgress();
}

void NetEmailSend::FatalError(std::int32_t code, const std::string& text) {
  const std::int32_t state = _STATE;
  _AFTERERRORTRYNEXTMESSAGE = 1;
  SERVERERRORNUM = code;
  SERVERERRORDESC = text.substr(0, kMaxReplyText);
  ReportError("Fatal Error. " + _SERVERDESC + " server sent error = " + std::to_string(code) +
                  " " + Trim(text) + " State = " + std::to_string(state) +
                  ". Will abort all messages in the DataQueue",
              "NetEmailSend.Process");
  SERVERERRORNUM = 0;
  SERVERERRORDESC.clear();
  FreeDataQueue();
  Close();
  HideProgress();
}

// ---- buffers ---------------------------------------------------------------------------------

std::int32_t NetEmailSend::SetRequiredMessageSize(std::int32_t whole, std::int32_t text,
                                                  std::int32_t html) {
  Error = 0;
  if (whole < 0 || text < 0 || html < 0) {
    Error = -42;
    // A bad size concerns this call only; messages already queued stay.
    _NOMESSAGEADDEDYET = 1;
    ReportError("Invalid String Size (less than zero) passed to function",
                "NetEmailSend.SetRequiredMEssageSize");
    Error = -42;
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
    Error = -32;
    _NOMESSAGEADDEDYET = 1;
    ReportError("Unable to allocate memory required for sending " + _SERVERDESC + ".",
                "NetEmailSend.SetRequiredMessageSize");
    Error = -32;
  }
  return Error;
}

void NetEmailSend::FreeMessageBuffers() {
  std::string().swap(MESSAGETEXT);
  std::string().swap(MESSAGEHTML);
  std::string().swap(WHOLEMESSAGE);
}

void NetEmailSend::FreeDataQueue() {
  if (_DATAQUEUE) EmailDataQueue().swap(*_DATAQUEUE);
}

void NetEmailSend::DropHead() {
  if (!QueueEmpty()) _DATAQUEUE->pop_front();
}

// ---- queuing -----------------------------------------------------------------------------

std::string NetEmailSend::LocalHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return std::string(name);
}

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
  _NOMESSAGEADDEDYET = 1;
  ReportError(text, function);
  Error = error;
  return false;
}

bool NetEmailSend::Compose() {
  ++_IDCOUNT;
  if (!_GOTHOSTNAME) {
    std::string host = Trim(LocalHostName());
    if (host.empty()) {
      _HOSTNAME = "UnknownHost" + std::to_string(std::uniform_int_distribution<int>(1, 100000)(random_));
    } else {
      _HOSTNAME = host.substr(0, 128);
      _GOTHOSTNAME = 1;
    }
  }
  const platform::Clock& clock = platform::GetClock();
  const std::int64_t day = clock.Today();
  const std::int32_t time = clock.TimeOfDay();

  MessageParts p;
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
  p.messageId = MessageId(day, time, _IDCOUNT,
                          std::uniform_int_distribution<int>(1, 1000000)(random_));
  p.hostName = _HOSTNAME;
  p.day = day;
  p.timeOfDay = time;
  p.utcOffsetMinutes = clock.UtcOffsetMinutes();

  ComposeFailure failure;
  ComposeResult result = ComposeMessage(p, WHOLEMESSAGE, failure);
  if (result == ComposeResult::kOk && WHOLEMESSAGE.size() > static_cast<std::size_t>(INT32_MAX))
    result = ComposeResult::kNoMemoryGrowing;
  switch (result) {
    case ComposeResult::kOk:
      break;
    case ComposeResult::kNoMemoryAtStart:
      return ComposeFailed(-32, "Unable to allocate memory required for sending " + _SERVERDESC + ".",
                           "NetEmailSend.SetRequiredMessageSize");
    case ComposeResult::kNoMemoryGrowing:
      return ComposeFailed(-32, "Unable to allocate memory required for sending email.",
                           "NetEmailSend.SetRequiredMessageSize");
    case ComposeResult::kFileError:
      return ComposeFailed(-35,
                           "Error opening attached file (" + failure.path + ") for sending via " +
                               _SERVERDESC + ". Error = " + std::to_string(failure.errorNumber) +
                               " " + TrimRightCopy(failure.errorText),
                           "NetEmailSend.SendMail");
  }
  WHOLEMESSAGELEN = static_cast<std::int32_t>(WHOLEMESSAGE.size());
  MessageComposed();
  return true;
}

void NetEmailSend::SendMail(std::int32_t mode) {
  Error = 0;
  if (PROGRESSCONTROL) ProgressControl(ProgressChange::kShow, 0);
  progressShown_ = 0;
  if (mode != 2) {
    // Only composed messages are sent by this program.
    Error = -22;
    _NOMESSAGEADDEDYET = 1;
    ReportError("Incorrect Mode parameter passed to function.", "NetEmailSend.SendMail");
    Error = -22;
    return;
  }
  if (IsBlank(TOLIST) && IsBlank(CCLIST) && IsBlank(BCCLIST)) {
    Error = -37;
    _NOMESSAGEADDEDYET = 1;
    ReportError("No To, CC or BCC field specified when sending " + _SERVERDESC,
                "NetEmailSend.SendMail");
    Error = -37;
    return;
  }
  if (IsBlank(FROM)) {
    Error = -37;
    _NOMESSAGEADDEDYET = 1;
    ReportError("No From Field specified when sending " + _SERVERDESC, "NetEmailSend.SendMail");
    Error = -37;
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
      Error = -37;
      _NOMESSAGEADDEDYET = 1;
      ReportError("Invalid address (" + Shown(bad) + ") specified when sending " + _SERVERDESC +
                      ". An address may not contain a line break, \"<\" or \">\"",
                  "NetEmailSend.SendMail");
      Error = -37;
      return;
    }
    if (recipients == 0) {
      Error = -37;
      _NOMESSAGEADDEDYET = 1;
      ReportError("No To, CC or BCC field specified when sending " + _SERVERDESC,
                  "NetEmailSend.SendMail");
      Error = -37;
      return;
    }
  }
  if (!Compose()) return;

  try {
    EmailQueueEntry e;
    e.WHOLEMESSAGE = std::move(WHOLEMESSAGE);  // the composed message is queued, not copied
    WHOLEMESSAGE = std::string();
    e.WHOLEMESSAGELEN = static_cast<std::uint32_t>(WHOLEMESSAGELEN);
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
    const std::size_t textLen =
        std::min<std::size_t>(MESSAGETEXT.size(), static_cast<std::size_t>(std::max(0, MESSAGETEXTLEN)));
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
    _DATAQUEUE->push_back(std::move(e));
  } catch (const std::exception&) {
    Error = -30;
    _NOMESSAGEADDEDYET = 1;
    ReportError("Could not add " + _SERVERDESC + " to the queue", "NetEmailSend.SendMail");
    Error = -30;
    return;
  }

  if (PROGRESSCONTROL) ProgressControl(ProgressChange::kShow, 0);
  if (!OpenFlag && !AsyncOpenBusy) {
    OpenForQueue();
    return;
  }
  if (!OpenFlag) return;  // still opening: the message waits for the greeting
  if (_STATE == ES_NOTCONNECTED) {
    _AFTERERRORTRYNEXTMESSAGE = 0;
    _NOMESSAGEADDEDYET = 0;
    ReportError("Illegal State. NET:ES_NOTCONNECTED in section of SendMail.",
                "NetEmailSend.SendMail");
    HideProgress();
  } else if (_STATE == ES_CONNECTEDANDIDLE) {
    SetState(ES_READY);
    SendCommand("RSET\r\n");
  }
  // In any other state the message waits its turn.
}

// ---- the dialogue ------------------------------------------------------------------------

void NetEmailSend::SetState(std::int32_t state) {
  if (state != _STATE)
    Log("NetEmailSend.SetState", "State " + std::to_string(_STATE) + " -> " + std::to_string(state));
  _STATE = state;
}

void NetEmailSend::SendCommand(const std::string& command) {
  std::string_view text = TrimRight(command);
  const std::size_t n = std::min<std::size_t>(text.size(), net::kMaxBinData);
  std::memcpy(Packet.BinData, text.data(), n);
  Packet.BinDataLen = static_cast<std::int32_t>(n);
  Send();
}

void NetEmailSend::Process() {
  const std::string fn = "NetEmailSend.Process (" + _SERVERDESC + ")";
  if (Packet.PacketType == net::kPacketIdle) {
    Error = -57;
    PerMessageError(0, "Idle Timeout - Warning connection has been idle for more than " +
                           std::to_string(_Connection.InactiveTimeout / 100) +
                           " seconds. Connection will be closed");
    return;
  }
  if (Packet.PacketType != net::kPacketData) return;
  if (!OpenFlag) {
    // Data still queued for a connection this object has closed or aborted.
    Log(fn, "Data received after the connection was closed; ignored");
    return;
  }

  const std::size_t len = static_cast<std::size_t>(
      std::clamp<std::int32_t>(Packet.BinDataLen, 0, net::kMaxBinData));
  const std::string_view packet(reinterpret_cast<const char*>(Packet.BinData), len);

  // A reply that outgrows the buffer is malformed (or hostile): it is answered as a reply
  // the current state cannot accept, which ends in the usual error paths.
  auto overflow = [&] {
    _SERVERREPLYBUFFER.clear();
    _SERVERREPLYBUFFERLEN = 0;
    Log(fn, "Error. The reply from the " + _SERVERDESC + " Server is longer than " +
                std::to_string(kReplyBufferBytes) + " bytes");
    HandleReply(0, " Reply longer than " + std::to_string(kReplyBufferBytes) + " bytes");
  };

  const bool complete = len >= 2 && packet.substr(len - 2) == "\r\n";
  if (!complete) {
    Log(fn, "Warning. We Received Data from " + _SERVERDESC +
                " Server - but did not receive a whole line. Will store the line in the buffer");
    if (_SERVERREPLYBUFFER.size() + len > kReplyBufferBytes) return overflow();
    _SERVERREPLYBUFFER.append(packet);
    _SERVERREPLYBUFFERLEN = static_cast<std::int32_t>(_SERVERREPLYBUFFER.size());
    return;
  }
  std::string reply;
  if (!_SERVERREPLYBUFFER.empty()) {
    if (_SERVERREPLYBUFFER.size() + len > kReplyBufferBytes) return overflow();
    reply = _SERVERREPLYBUFFER;
    reply.append(packet);
    _SERVERREPLYBUFFER.clear();
    _SERVERREPLYBUFFERLEN = 0;
    Log(fn, "Okay we put the buffered lines together and got [" + reply + "]");
  } else {
    reply.assign(packet);
  }

  if (reply.size() >= 4 && reply[3] == '-') {
    bool last = false;
    std::size_t pos = 0;
    while (pos < reply.size()) {
      const std::size_t eol = reply.find("\r\n", pos);
      if (eol == std::string::npos) break;
      if (eol - pos < 4 || reply[pos + 3] != '-') {
        last = true;
        break;
      }
      pos = eol + 2;
    }
    if (!last) {
      Log(fn, "Warning. We Received **MultiLine** Data from " + _SERVERDESC +
                  " Server - but did not receive a whole set of lines. Will store the data in "
                  "the buffer");
      _SERVERREPLYBUFFER = std::move(reply);
      _SERVERREPLYBUFFERLEN = static_cast<std::int32_t>(_SERVERREPLYBUFFER.size());
      return;
    }
  }

  // The packet's own error tells of a failed read; the object's `Error` may still hold the
  // result of an unrelated call (a refused SendMail) and must not drop this message.
  if (Packet.Error != 0) {
    Error = Packet.Error;
    _AFTERERRORTRYNEXTMESSAGE = 1;
    ReportError("Error reading data from the " + _SERVERDESC + " Server", "NetEmailSend.Process");
    NextMessage();
    return;
  }
  HandleReply(ReplyCode(reply), ReplyText(reply));
}

void NetEmailSend::HandleReply(std::int32_t code, const std::string& text) {
  if (_STATE == ES_CONNECTEDANDIDLE && !QueueEmpty()) SetState(ES_READY);
  const std::string helo = HeaderValue(HELO);
  switch (_STATE) {
    case ES_WAITGREETING:
      if (code != 220) return FatalError(code, text);
      authSent_ = false;
      if (!IsBlank(AUTHUSER) || !IsBlank(AUTHPASSWORD)) {
        SetState(ES_EHLO);
        SendCommand("EHLO " + helo + "\r\n");
      } else {
        SetState(ES_READY);
        SendCommand("HELO " + helo + "\r\n");
      }
      return;
    case ES_EHLO:
      if (code != 250) return FatalError(code, text);
      SetState(ES_AUTHLOGIN);
      SendCommand("AUTH LOGIN\r\n");
      return;
    case ES_AUTHLOGIN:
      if (code != 334) return FatalError(code, text);
      SetState(ES_AUTHUSER);
      SendCommand(Base64(TrimRight(AUTHUSER)) + "\r\n");
      return;
    case ES_AUTHUSER:
      if (code != 334) return FatalError(code, text);
      SetState(ES_READY);
      authSent_ = true;
      SendCommand(Base64(TrimRight(AUTHPASSWORD)) + "\r\n");
      return;
    case ES_READY: {
      if (code != (authSent_ ? 235 : 250)) return FatalError(code, text);
      authSent_ = false;
      if (QueueEmpty()) {
        SetState(ES_CONNECTEDANDIDLE);
        return;
      }
      SetState(ES_MAILFROM);
      _LISTINDEX2 = 0;
      _LISTWHICH2 = 0;
      std::string name;
      std::string address;
      if (!GetAddress(Head().FROM, 1, name, address) || !IsSendableAddress(address)) {
        _AFTERERRORTRYNEXTMESSAGE = 1;
        ReportError("Invalid from address found in data queue", "NetEmailSend.Process");
        NextMessage();
        return;
      }
      SendCommand("MAIL FROM: <" + address + ">\r\n");
      return;
    }
    case ES_CONNECTEDANDIDLE:
      _AFTERERRORTRYNEXTMESSAGE = 1;
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
      if (code != 250) return PerMessageError(code, text);
      ++_MESSAGESSENTONCURRENTCONNECTION;
      MessageSent();
      NextMessage();
      return;
    case ES_NOTCONNECTED:
      return FatalError(code, text);
    default:
      _AFTERERRORTRYNEXTMESSAGE = 1;
      ReportError("Error. NetEmailSend - no state found. State = " + std::to_string(_STATE),
                  "NetEmailSend.Process");
      NextMessage();
      return;
  }
}

void NetEmailSend::NextRecipient() {
  if (QueueEmpty()) return;
  EmailQueueEntry& head = Head();
  std::string name;
  std::string address;
  while (_LISTWHICH2 <= 2) {
    const std::string& list =
        _LISTWHICH2 == 0 ? head.TOLIST : _LISTWHICH2 == 1 ? head.CCLIST : head.BCCLIST;
    // Blank entries are passed over, so "a@x, , b@y" still reaches b@y.
    const auto count = static_cast<std::int32_t>(AddressEntryCount(list));
    while (++_LISTINDEX2 <= count) {
      if (!GetAddress(list, _LISTINDEX2, name, address)) continue;
      if (!IsSendableAddress(address)) {
        _AFTERERRORTRYNEXTMESSAGE = 1;
        ReportError("Invalid recipient address found in data queue", "NetEmailSend.Process");
        NextMessage();
        return;
      }
      SetState(ES_RCPTTO);
      SendCommand("RCPT TO: <" + address + ">\r\n");
      return;
    }
    _LISTINDEX2 = 0;
    ++_LISTWHICH2;
  }
  SetState(ES_DATA);
  SendCommand("DATA\r\n");
}

void NetEmailSend::SendBody() {
  if (QueueEmpty()) return;
  atLineStart_ = true;
  afterCr_ = false;
  const std::string* message = &Head().WHOLEMESSAGE;
  const std::size_t length = std::min<std::size_t>(message->size(), Head().WHOLEMESSAGELEN);
  for (std::size_t pos = 0; pos < length; pos += kBodyChunkBytes) {
    const std::size_t n = std::min(kBodyChunkBytes, length - pos);
    std::memcpy(Packet.BinData, message->data() + pos, n);
    Packet.BinDataLen = static_cast<std::int32_t>(n);
    DotStuff();
    Send();
    // A failed send has been reported and may have emptied the queue.
    if (Error != 0 || QueueEmpty() || !OpenFlag) return;
  }
  _MESSAGEBYTESSENT += static_cast<std::int64_t>(length);
  // The socket layer holds its own copy now; only the length is still needed.
  std::string().swap(Head().WHOLEMESSAGE);
  SendCommand("\r\n.\r\n");
}

void NetEmailSend::DotStuff() {
  const std::size_t n =
      static_cast<std::size_t>(std::clamp<std::int32_t>(Packet.BinDataLen, 0, net::kMaxBinData));
  std::string out;
  out.reserve(n + 64);
  for (std::size_t i = 0; i < n; ++i) {
    const char c = static_cast<char>(Packet.BinData[i]);
    if (atLineStart_ && c == '.') out += '.';
    out += c;
    atLineStart_ = afterCr_ && c == '\n';
    afterCr_ = c == '\r';
  }
  // A chunk that grew past one packet is sent in pieces; the last stays in Packet.
  std::size_t pos = 0;
  while (out.size() - pos > static_cast<std::size_t>(net::kMaxBinData)) {
    std::memcpy(Packet.BinData, out.data() + pos, net::kMaxBinData);
    Packet.BinDataLen = net::kMaxBinData;
    Send();
    pos += net::kMaxBinData;
    if (Error != 0) break;
  }
  std::memcpy(Packet.BinData, out.data() + pos, out.size() - pos);
  Packet.BinDataLen = static_cast<std::int32_t>(out.size() - pos);
}

void NetEmailSend::NextMessage() {
  DropHead();
  const bool reconnect =
      RECONNECTAFTERXMSGS > 0 && _MESSAGESSENTONCURRENTCONNECTION >= RECONNECTAFTERXMSGS;
  if (!QueueEmpty()) {
    if (reconnect) {
      SendCommand("QUIT\r\n");
      if (QueueEmpty()) return;  // the send failed and ended the dialogue
      Close();
      OpenForQueue();
    } else {
      SetState(ES_READY);
      SendCommand("RSET\r\n");
    }
    return;
  }
  if (OPTIONSKEEPCONNECTIONOPEN == 0 || reconnect) {
    SendCommand("QUIT\r\n");
    Close();
    SetState(ES_NOTCONNECTED);
  } else {
    SetState(ES_READY);
    SendCommand("RSET\r\n");
  }
  HideProgress();
}

void NetEmailSend::HideProgress() {
  if (PROGRESSCONTROL) ProgressControl(ProgressChange::kHide, 0);
  progressShown_ = -1;
}

void NetEmailSend::CalcProgress() {
  if (QueueEmpty()) {
    PROGRESS1000 = 1000;
    PROGRESSBYTESTOGO = 0;
    PROGRESSBYTESMAX = 0;
  } else {
    std::int64_t total = 0;
    for (const EmailQueueEntry& e : *_DATAQUEUE) total += e.WHOLEMESSAGELEN;
    total = std::min<std::int64_t>(total, INT32_MAX);
    if (total > PROGRESSBYTESMAX) PROGRESSBYTESMAX = static_cast<std::int32_t>(total);
    if (_STATE == ES_BODYSENT) {
      CountOutgoingPackets(net::OutgoingCount::kPacketsAndBytes);
      total = total - Head().WHOLEMESSAGELEN + std::max(0, OutgoingDLLPacketsBytes);
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
