// Message composition: turns the parts of one e-mail (addresses, subject, plain-text and
// HTML bodies, embedded images, attached files) into one finished Internet message with its
// MIME structure, ready to be sent after the SMTP DATA command. Also the two encoders it
// uses (quoted-printable and base64) and the address-list parser shared with the SMTP
// client.
//
// A message is described by a plan: its literal text (headers, bodies, part headers) with
// the attached files in between as references. The files are base64 encoded only when the
// message is read (`MessageReader`), block by block, so a message with a large attachment
// never has to be held in memory; `ComposeMessage` reads a plan into one buffer.
//
// Everything here is hand-written and self-contained. All functions are pure apart from
// the ones that look at or read the files they are given; none keeps state between calls,
// so they may be used from any thread. A MessageReader belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace verdan::mail {

// ---- encoders ----------------------------------------------------------------------------

// Bodies are quoted-printable encoded in blocks of this many input bytes, and files are
// read and base64 encoded in whole records of this size (a multiple of 57, so a full record
// gives exactly 18 base64 lines of 76 characters and only a file's last line is short).
inline constexpr std::size_t kEncodeBlockBytes = 1026;

// Longest output one quoted-printable block can produce: every byte as a three-character
// triple, plus a soft line break ("=" CR LF) for every 24 triples, plus one more.
inline constexpr std::size_t kQuotedPrintableBlockWorstCase =
    3 * kEncodeBlockBytes + 3 * (kEncodeBlockBytes / 24 + 2);

// Appends the quoted-printable form of input[begin, begin + length) to `out`. The bytes
// around the block in `input` are consulted so that a CR LF pair or a blank before a line
// break split between two blocks is still recognised. `lineCounter` is the length of the
// current output line; it carries from block to block so that no line exceeds 76
// characters. Returns the number of bytes appended.
std::size_t NetQuotedPrintableEncode(std::string_view input, std::size_t begin, std::size_t length,
                                     int& lineCounter, std::string& out);

// Encodes a whole body block by block, starting with a fresh line counter.
void AppendQuotedPrintable(std::string_view input, std::string& out);

// Appends standard base64 (with padding) of `data`, with CR LF after every 76 output
// characters (none after a last, shorter line). `lineFill` is the length of the current
// output line and is updated, so consecutive calls form one stream.
void AppendBase64(std::string_view data, std::string& out, std::size_t& lineFill);
// The same into `out`, which has room for Base64Bound(n, lineFill) characters; returns the
// number written.
std::size_t EncodeBase64(const unsigned char* data, std::size_t n, char* out,
                         std::size_t& lineFill);
std::size_t Base64Bound(std::size_t bytes, std::size_t lineFill);
std::string Base64(std::string_view data);  // one call, fresh line
// Base64 on one line, however long (for the arguments of SMTP commands).
std::string Base64Line(std::string_view data);
// Length of the base64 form of `bytes` bytes as AppendBase64 writes it from a fresh line.
std::uint64_t Base64Length(std::uint64_t bytes);

// ---- address lists -----------------------------------------------------------------------

// An address list holds entries separated by "," or ";" outside double quotes; each entry is
// a bare address or a display name followed by an address in angle brackets.
//
// Number of entries of the list (an empty list has none; "a;" has two, the second blank).
std::size_t AddressEntryCount(std::string_view list);

// Entry `index` (from 1) of the list: name and address, trimmed, with double quotes removed
// from the name; a bare address is its own name. Returns false (name and address empty)
// when there is no such entry or its address is blank.
bool GetAddress(std::string_view list, int index, std::string& name, std::string& address);

// True when the address can be given to MAIL FROM or RCPT TO: it holds no CR, LF, "<" or
// ">" (which would end the command early or change its meaning).
bool IsSendableAddress(std::string_view address);

// A header value as it may appear in a message: trailing spaces removed and every CR or LF
// replaced by a space, so that no value can start a header line of its own.
std::string HeaderValue(std::string_view value);

// ---- file lists --------------------------------------------------------------------------

// Rewrites "directory|name1|name2" (as a file dialog returns a multiple selection) into
// "\"directory\name1\", \"directory\name2\"". A list without "|" is returned unchanged.
// `separator` is the directory separator added when the directory does not end in one.
std::string ConvertFileList(std::string_view list, char separator);

// The entries of a file list: the texts inside pairs of double quotes when the list holds a
// quote, else the comma-separated pieces; trimmed, blank ones left out.
std::vector<std::string> FileListEntries(std::string_view list);

// The file name of a path: what follows its last "\" (or "/").
std::string BaseName(const std::string& path);

// ---- composition -------------------------------------------------------------------------

// A piece of a file sent as an attachment of its own (an archive split over several
// messages): `length` bytes from `offset`, named `name` in the message.
struct FileSlice {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::string name;
};

// Everything one message is made of. Text fields are used with trailing spaces removed.
struct MessageParts {
  std::string from;  // first entry is the sender
  std::string toList;
  std::string ccList;  // BCC recipients never appear in the message
  std::string replyTo;
  std::string organization;
  std::string deliveryReceiptTo;
  std::string dispositionNotificationTo;
  std::string references;
  std::string subject;
  std::string extraHeader;  // whole header lines, added unchanged
  std::string xMailer;
  std::string text;            // plain-text body
  std::string html;            // HTML body; empty means none
  std::string attachmentList;  // already passed through ConvertFileList
  std::string embedList;       // likewise; used only with an HTML body
  // When set and the attachment list names exactly one file: only this slice of it is
  // attached, under the slice's name.
  std::optional<FileSlice> attachmentSlice;
  // Headers that are not plain ASCII go out encoded (RFC 2047 encoded words for subjects,
  // display names and other texts, RFC 2231 for file names), and bodies with 8-bit bytes are
  // quoted-printable with their charset named: the message stays 7-bit throughout.
  bool encodeHeaders = false;
  std::string textCharset = "us-ascii";
  std::string textEncoding = "7bit";
  bool textDontEncode = false;
  std::string htmlCharset = "us-ascii";
  std::string htmlEncoding = "quoted-printable";
  bool htmlDontEncode = false;
  std::string messageId;       // identifier, see MessageId
  std::string hostName;        // right-hand side of the Message-ID
  std::int64_t day = 0;        // local date of the Date header, as a day count
  std::int32_t timeOfDay = 0;  // local time in hundredths
  std::int32_t utcOffsetMinutes = 0;
};

// "d" + yyyymmdd + "t" + hhmmss + "." + hundredths + "c" + count + "r" + random.
std::string MessageId(std::int64_t day, std::int32_t timeOfDay, std::int64_t count,
                      std::int64_t random);

// The Date header's value: "Tue, 8 Dec 2026 14:05:09 +0100".
std::string DateHeaderValue(std::int64_t day, std::int32_t timeOfDay,
                            std::int32_t utcOffsetMinutes);

enum class ComposeResult {
  kOk,
  kNoMemoryAtStart,  // the first buffer could not be allocated
  kNoMemoryGrowing,  // the buffer could not grow later
  kFileError,        // a file to embed or attach could not be opened or read
  kNotRegularFile,   // a file to embed or attach is a device, a pipe or a socket
  kFileChanged,      // a file changed between composition and reading
};

struct ComposeFailure {
  std::string path;       // the file that failed
  int errorNumber = 0;    // the system's error number
  std::string errorText;  // and its text
};

// One piece of a message: literal bytes, or (when `path` is set) `length` bytes of a file
// from `offset`, base64 encoded from a fresh line when the message is read.
struct MessageSegment {
  std::string text;
  std::string path;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  // The file as it was found at composition; reading refuses a file that is no longer it.
  std::uint64_t fileSize = 0;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool IsFile() const { return !path.empty(); }
  std::uint64_t Size() const { return IsFile() ? Base64Length(length) : text.size(); }
};

// A composed message: its pieces in order, and its exact length in bytes.
struct MessagePlan {
  std::vector<MessageSegment> segments;
  std::uint64_t size = 0;
  bool HasFiles() const;
};

// Composes the message as a plan. Every file is opened and looked at (it must be a regular
// file that can be read) but not read. On failure `failure` says which file and why.
ComposeResult PlanMessage(const MessageParts& parts, MessagePlan& plan, ComposeFailure& failure);

// Reads a planned message from start to end. Thread-safety: one thread per reader; the plan
// must outlive the reader and stay unchanged.
class MessageReader {
 public:
  explicit MessageReader(const MessagePlan& plan);
  ~MessageReader();
  MessageReader(const MessageReader&) = delete;
  MessageReader& operator=(const MessageReader&) = delete;

  // Copies the next bytes into `out`: exactly `max` unless the message ends first, then the
  // rest; 0 at the end. On a failure returns 0 with Failed() set; a file that was
  // changed, replaced, shortened or lengthened since composition is a failure
  // (kFileChanged), so a message is never sent with other content than was planned.
  std::size_t Read(std::uint8_t* out, std::size_t max);
  bool Failed() const { return result_ != ComposeResult::kOk; }
  ComposeResult result() const { return result_; }
  const ComposeFailure& failure() const { return failure_; }
  std::uint64_t Position() const { return position_; }

 private:
  bool Refill();
  bool OpenFile(const MessageSegment& segment);
  bool Fail(ComposeResult result, const MessageSegment& segment, int errorNumber);

  const MessagePlan& plan_;
  std::size_t segment_ = 0;  // the segment being read
  std::uint64_t taken_ = 0;  // bytes of its source consumed (text bytes or file bytes)
  // Encoded bytes; those from pendingPos_ to pendingEnd_ are not yet handed out.
  std::string pending_;
  std::size_t pendingPos_ = 0;
  std::size_t pendingEnd_ = 0;
  std::size_t lineFill_ = 0;  // base64 line state of the current file
  std::vector<char> record_;
  int fd_ = -1;
  std::uint64_t position_ = 0;
  ComposeResult result_ = ComposeResult::kOk;
  ComposeFailure failure_;
};

// Reads the whole planned message into `buffer` (its allocation reused when it fits).
ComposeResult ReadMessage(const MessagePlan& plan, std::string& buffer, ComposeFailure& failure);

// Composes the message into `buffer` (replacing its content; its allocation is reused when
// it fits). On success `buffer` holds exactly the message, which ends without trailing
// spaces. On failure `buffer`'s content is unspecified and `failure` says what went wrong
// for the file results.
ComposeResult ComposeMessage(const MessageParts& parts, std::string& buffer,
                             ComposeFailure& failure);

// Buffer rule shared with the SMTP client: a buffer is allocated anew when its capacity is
// below `required` or more than this many bytes above it.
inline constexpr std::size_t kBufferSlack = 262140;

// Makes `buffer` empty with a capacity of at least `required` under that rule. Returns false
// when memory could not be had (the buffer is then empty).
bool SizeBuffer(std::string& buffer, std::size_t required);

}  // namespace verdan::mail
