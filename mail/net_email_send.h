// NetEmailSend: delivers e-mail messages to one SMTP server over one TCP connection.
//
// The owner fills the public properties, calls `SendMail`(2), and then hands every event of
// its window to `TakeEvent` (inherited from NetSimple). `SendMail` composes the message
// (mail/mime.h) and appends it to the object's data queue; the SMTP dialogue for the message
// at the head of the queue then advances one server reply at a time in `Process`, which
// answers with the next command and returns. Nothing blocks.
//
// A queued message is a plan (mail/mime.h): its attachments are read and encoded while the
// DATA phase runs, as fast as the connection takes them, so memory does not grow with the
// attachment. The connection can be secured with TLS (OPTIONSTLS: at once, or by STARTTLS
// before anything else is said); credentials then go out only after the server's
// certificate was accepted. When the server announces SIZE, a message larger than that is
// refused before it is sent, or split over several messages (OPTIONSSPLITOVERSIZE). Every
// reply must be complete within REPLYTIMEOUT, however slowly its bytes arrive.
//
// Thread-safety: none. The object is used only on the thread of the window that owns it;
// socket activity reaches it as events through `TakeEvent`.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>

#include "mail/mail_options.h"
#include "mail/mime.h"
#include "net/net_simple.h"

namespace verdan::mail {

// SMTP states (`STATE_`); the numbers appear in error texts.
enum EmailState : std::int32_t {
  ES_NOTCONNECTED = 0,
  ES_WAITGREETING = 71,
  ES_CONNECTEDANDIDLE = 72,
  ES_READY = 73,
  ES_MAILFROM = 74,
  ES_RCPTTO = 75,
  ES_DATA = 76,
  ES_BODYSENT = 77,
  ES_EHLO = 79,
  ES_AUTHLOGIN = 80,
  ES_AUTHUSER = 81,
  ES_STARTTLS = 82,        // "STARTTLS" sent
  ES_TLSHANDSHAKE = 83,    // the TLS handshake that follows it is running
  ES_AUTHTOKEN = 84,       // "AUTH XOAUTH2/OAUTHBEARER" with the token sent, 235 awaited
  ES_AUTHTOKENERROR = 85,  // the server's error challenge was answered; its refusal awaited
};
// A state as the trace shows it: its name and number, "ES_MAILFROM (74)".
std::string StateText(std::int32_t state);

// The domain sent with HELO/EHLO when the owner sets none.
inline constexpr const char* kDefaultHeloDomain = "backup-client.example.net";
inline constexpr const char* kDefaultXMailer = "Quillon Email 2.93";

// Body chunks handed to the socket layer in the DATA phase: a whole packet each, which over
// TLS is a record of the largest size.
inline constexpr std::size_t kBodyChunkBytes = net::kMaxBinData;
// Most reply bytes held back while waiting for the rest of a line or a multi-line reply.
inline constexpr std::size_t kReplyBufferBytes = 16384;
// The longest command line, without its CR LF: the line must fit one packet.
inline constexpr std::size_t kMaxCommandBytes = net::kMaxBinData - 2;
// The body is handed to the socket layer while less than the high mark waits there; past
// it, sending goes on once the layer has drained to the low mark.
inline constexpr std::int64_t kBodyHighWaterBytes = 4 << 20;
inline constexpr std::int64_t kBodyLowWaterBytes = 1 << 20;
// Time for a whole reply, in hundredths (five minutes); twice that after the end marker.
inline constexpr std::int32_t kDefaultReplyTimeout = 30000;
// Longest message that can be queued (its length is a signed 32-bit property).
inline constexpr std::uint64_t kMaxMessageBytes = 2147483647;

// A part of a split attachment stays this far under the server's announced SIZE: the
// larger of a share of the limit and a fixed amount. A server counts more than the message
// it is given (the trace headers it adds, line ends it converts), and a part filled to the
// limit is refused.
inline constexpr std::uint64_t kSplitMarginPercent = 5;
inline constexpr std::uint64_t kSplitMarginMinBytes = 4096;
std::uint64_t SplitMargin(std::uint64_t limit);

// The Croatian word for `count` parts: "dio" (1, 21, 101 ...), "dijela" (2-4, 22-24 ...),
// "dijelova" (5-20, 25-30, 111-114 ...).
const char* PartsWord(std::uint64_t count);

// What the server said it supports in its answer to EHLO.
struct EhloCapabilities {
  bool startTls = false;
  bool authLogin = false;
  bool authPlain = false;
  bool authXoauth2 = false;
  bool authOauthBearer = false;
  bool size = false;            // SIZE announced
  std::uint64_t sizeLimit = 0;  // its value; 0 = no fixed limit
};

// One message waiting in the data queue. The entry owns its three buffers.
struct EmailQueueEntry {
  std::string TOLIST;
  std::string CCLIST;
  std::string BCCLIST;
  std::string FROM;
  std::string REPLYTO;
  std::string ORGANIZATION;
  std::string SUBJECT;
  std::string NEWSGROUP;
  std::string DELIVERYRECEIPTTO;
  std::string DISPOSITIONNOTIFICATIONTO;
  std::string EXTRAHEADER;
  std::string MESSAGETEXT;
  std::uint32_t MESSAGETEXTLEN = 0;
  std::string MESSAGEHTML;
  std::uint32_t MESSAGEHTMLLEN = 0;
  std::string WHOLEMESSAGE;  // not used: the plan below describes the message
  std::uint32_t WHOLEMESSAGELEN = 0;
  std::string ATTACHMENTLIST;
  std::string EMBEDLIST;
  MessagePlan WHOLEMESSAGEPLAN;               // the composed message: text and references to files
  std::shared_ptr<const MessageParts> PARTS;  // what it was composed from (for splitting)
  // A part of a split attachment: which split it belongs to (0 = not a part) and how it is
  // named to the user ("dio 2/3, backup.zip.002"). A refused part takes the rest of its
  // split with it: without every part the attachment cannot be joined.
  std::uint64_t SPLITGROUP = 0;
  std::string SPLITPART;
};

// The data queue; the head (front) is always the message being sent.
using EmailDataQueue = std::deque<EmailQueueEntry>;

// How the progress display is to change.
enum class ProgressChange { kShow, kHide, kValue };

class NetEmailSend : public net::NetSimple {
 public:
  explicit NetEmailSend(platform::Ui* ui = nullptr, net::NetDLL* layer = nullptr);
  ~NetEmailSend() override;

  // Constructor step: defaults of the properties below, NetSimple's Init, the data queue.
  void Init();
  // Destructor step: closes the connection, drops the queue, releases the buffers.
  void Kill();

  // --- Public properties (text values are used with trailing spaces removed) ---
  std::string SERVER;  // 255
  std::uint16_t PORT = 25;
  std::string HELO;    // 8192; the built-in domain when blank
  std::string TOLIST;  // 8192 each
  std::string CCLIST;
  std::string BCCLIST;
  std::string FROM;     // 255; first entry used
  std::string REPLYTO;  // 255 each
  std::string ORGANIZATION;
  std::string DELIVERYRECEIPTTO;
  std::string DISPOSITIONNOTIFICATIONTO;
  std::string SUBJECT;
  std::string NEWSGROUP;
  std::string REFERENCES;  // 1024 each
  std::string EXTRAHEADER;
  std::string ATTACHMENTLIST;  // 8192 each
  std::string EMBEDLIST;
  std::string XMAILER;       // 60
  std::string MESSAGETEXT;   // the first MESSAGETEXTLEN bytes are the plain-text body
  std::string MESSAGEHTML;   // the first MESSAGEHTMLLEN bytes are the HTML body
  std::string WHOLEMESSAGE;  // the composed message (moved into the queue by SendMail)
  std::int32_t MESSAGETEXTLEN = 0;
  std::int32_t MESSAGEHTMLLEN = 0;
  std::int32_t WHOLEMESSAGELEN = 0;
  std::int32_t PROGRESS1000 = 0;
  std::int32_t PROGRESSBYTESTOGO = 0;
  std::int32_t PROGRESSBYTESMAX = 0;
  std::int32_t PROGRESSCONTROL = 0;  // 0 = no progress display
  std::int32_t SERVERERRORNUM = 0;
  std::string SERVERERRORDESC;
  EmailDataQueue* DATAQUEUE = nullptr;
  std::int32_t RECONNECTAFTERXMSGS = 0;
  std::uint8_t OPTIONSKEEPCONNECTIONOPEN = 0;
  std::string OPTIONSMIMETEXTCHARSET;
  std::string OPTIONSMIMETEXTTRANSFERENCODING;
  std::uint8_t OPTIONSMIMETEXTDONTENCODE = 0;
  std::string OPTIONSMIMEHTMLCHARSET;
  std::string OPTIONSMIMEHTMLTRANSFERENCODING;
  std::uint8_t OPTIONSMIMEHTMLDONTENCODE = 0;
  std::string AUTHUSER;
  std::string AUTHPASSWORD;
  // An OAuth 2.0 access token. When set, the login is XOAUTH2 or OAUTHBEARER with it instead
  // of the password, and only over a connection secured by TLS.
  std::string AUTHTOKEN;
  // The sign-in the token came from ("microsoft", "google", "custom"), named in the text that
  // tells the user how to sign in again when the server refuses the token.
  std::string AUTHTOKENSIGNIN;
  TlsMode OPTIONSTLS = TlsMode::kNone;               // how the connection is secured
  std::string OPTIONSTLSCAFILE;                      // private CA bundle; blank: the system store
  std::uint8_t OPTIONSSPLITOVERSIZE = 0;             // split an attachment too big for the server
  std::uint8_t OPTIONSENCODEHEADERS = 0;             // RFC 2047/2231 headers, 7-bit messages
  std::int32_t REPLYTIMEOUT = kDefaultReplyTimeout;  // hundredths; 0 = no limit

  // --- Private state (public so that the owner's tests can observe it) ---
  std::unique_ptr<EmailDataQueue> DATAQUEUE_;
  std::uint8_t WHAT_ = 0;
  std::string SERVERDESC_;
  std::int32_t LISTINDEX2_ = 0;
  std::uint8_t LISTWHICH2_ = 0;
  std::int32_t STATE_ = ES_NOTCONNECTED;
  std::uint8_t AFTERERRORTRYNEXTMESSAGE_ = 0;
  std::uint8_t NOMESSAGEADDEDYET_ = 0;
  std::int32_t MESSAGESSENTONCURRENTCONNECTION_ = 0;
  std::string SERVERREPLYBUFFER_;
  std::int32_t SERVERREPLYBUFFERLEN_ = 0;
  std::int64_t MESSAGEBYTESSENT_ = 0;
  std::uint8_t GOTHOSTNAME_ = 0;
  std::string HOSTNAME_;
  std::int32_t IDCOUNT_ = 0;

  // --- NetSimple's operations as this class changes them ---
  void Open(const std::string& server, std::uint16_t port) override;
  void Close() override;
  void Process() override;
  void ReportError(const std::string& errorText, const std::string& functionName) override;
  void ConnectionClosed() override;
  void Abort() override;
  void SendRoom() override;
  void TlsReady() override;

  // --- Operations of this class ---
  // Sizes the three buffers; returns the error code (0, kNetInvalidStringSize or
  // kNetOutOfMemory), also left in `Error`.
  virtual std::int32_t SetRequiredMessageSize(std::int32_t whole, std::int32_t text,
                                              std::int32_t html);
  virtual void FreeMessageBuffers();
  // Queues one message and starts sending. Mode 2 composes it from the properties.
  virtual void SendMail(std::int32_t mode);
  // Called once for every message the server accepted.
  virtual void MessageSent();
  // Entry `index` (from 1) of an address list; true when it holds an address.
  virtual bool GetAddress(const std::string& list, std::int32_t index, std::string& name,
                          std::string& address);
  virtual void FreeDataQueue();
  virtual void CalcProgress();
  // Called when composition of a message has ended.
  virtual void MessageComposed();
  // Rewrites a "directory|name|name" file list into a list of quoted full paths.
  virtual std::string ConvertFileList(const std::string& list);
  // Doubles the dots that begin a line in the body chunk held in `Packet`; the message is
  // one stream, so a chunk that follows a CR LF starts a line.
  virtual void DotStuff();
  // Shows, hides or moves the progress display named by PROGRESSCONTROL; value in 0..1000.
  virtual void ProgressControl(ProgressChange change, std::int32_t value);

  // Ends the dialogue of the current message with a time-out when the reply awaited has not
  // been completed within REPLYTIMEOUT. Called for every packet and by CalcProgress, which
  // the owner calls on its timer.
  void CheckReplyDeadline();
  // The attachment that made the last SendMail fail (blank when none did).
  const std::string& FailedAttachment() const { return failedAttachment_; }
  // Whether a message was refused for the server's size limit (its SIZE, or 552 to the
  // message) while splitting was off, so that splitting could send it; asking clears it.
  bool TakeOversizeRefusal() { return std::exchange(oversizeRefused_, false); }
  // What the server announced in its last answer to EHLO.
  const EhloCapabilities& Capabilities() const { return capabilities_; }

  // Source of the random numbers in message identifiers and unknown host names.
  void SeedRandom(std::uint32_t seed) { random_.seed(seed); }

 protected:
  // The local host name for Message-IDs; empty when it cannot be had.
  virtual std::string LocalHostName();
  // Sends one command line, CR LF appended. A command holding CR or LF, or longer than
  // kMaxCommandBytes, is not sent: the dialogue ends with kNetInvalidStringSize (false).
  bool SendCommand(std::string_view command);

 private:
  void SetState(std::int32_t state);
  // The end marker of the message body (CR LF . CR LF).
  void SendEndOfData();
  bool Compose();
  bool ComposeFailed(std::int32_t error, const std::string& text, const std::string& function);
  std::string ComposeFailureText(ComposeResult result, const ComposeFailure& failure) const;
  std::string NewMessageId();
  void HandleReply(std::int32_t code, const std::string& text, const std::string& reply);
  bool UseEhlo() const;
  bool HaveCredentials() const;
  void AfterEhlo();
  void SendTokenLogin();
  void TokenRefused(std::int32_t code, const std::string& text);
  void StartNextMessage();
  bool SplitHead(std::uint64_t limit, std::string& why);
  void NextRecipient();
  void SendBody();
  void PumpBody();
  void NextMessage();
  void DropHead();
  // After the head failed: the text that names it when it is a part of a split attachment,
  // and the removal of the other parts of that split still queued (their count).
  std::string PartFailureText() const;
  std::size_t DropRestOfSplit(std::uint64_t group);
  void PerMessageError(std::int32_t code, const std::string& text);
  void FatalError(std::int32_t code, const std::string& text);
  // The current message cannot be sent (reported); the connection is aborted, so nothing
  // half-sent is taken for a message, and the rest of the queue goes on.
  void MessageFailed(std::int32_t error, const std::string& text);
  // A failure that ends the whole dialogue (reported; the queue is dropped).
  void DialogueFailed(std::int32_t error, const std::string& text);
  void OpenForQueue();
  void StartImplicitTls();
  void ArmReplyDeadline(std::int32_t hundredths);
  void HideProgress();
  bool QueueEmpty() const { return !DATAQUEUE_ || DATAQUEUE_->empty(); }
  EmailQueueEntry& Head() { return DATAQUEUE_->front(); }

  bool initialised_ = false;
  bool atLineStart_ = true;  // DotStuff: the next body byte begins a line
  bool afterCr_ = false;     // DotStuff: the last body byte was a CR
  bool authSent_ = false;    // the password went out: 235 is the answer awaited in ES_READY
  bool bearerSent_ = false;  // the token went out with OAUTHBEARER (else XOAUTH2)
  bool oversizeRefused_ = false;
  std::int32_t progressShown_ = -1;
  EhloCapabilities capabilities_;
  std::unique_ptr<MessageReader> body_;  // the message being sent in the DATA phase
  std::optional<std::chrono::steady_clock::time_point> replyDeadline_;
  std::int32_t replyTimeoutArmed_ = 0;  // hundredths the running deadline was set for
  std::string failedAttachment_;
  MessagePlan composedPlan_;  // what Compose made, until SendMail queues it
  std::shared_ptr<const MessageParts> composedParts_;
  std::uint64_t splitGroups_ = 0;  // splits made by this object, to number them
  std::mt19937 random_{std::random_device{}()};
};

}  // namespace verdan::mail
