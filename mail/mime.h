// Message composition: turns the parts of one e-mail (addresses, subject, plain-text and
// HTML bodies, embedded images, attached files) into one finished Internet message with its
// MIME structure, ready to be sent after the SMTP DATA command. Also the two encoders it
// uses (quoted-printable and base64) and the address-list parser shared with the SMTP
// client.
//
// Everything here is hand-written and self-contained. All functions are pure apart from
// `ComposeMessage`, which reads the files it is given; none keeps state between calls, so
// they may be used from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace verdan::mail {

// ---- encoders ----------------------------------------------------------------------------

// Bodies are quoted-printable encoded in blocks of this many input bytes, and files are
// read and base64 encoded in records of this size (a multiple of 57, so a full record gives
// exactly 18 base64 lines of 76 characters).
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
std::size_t NetQuotedPrintableEncode(std::string_view input, std::size_t begin,
                                     std::size_t length, int& lineCounter, std::string& out);

// Encodes a whole body block by block, starting with a fresh line counter.
void AppendQuotedPrintable(std::string_view input, std::string& out);

// Appends standard base64 (with padding) of `data`, with CR LF after every 76 output
// characters (none after a last, shorter line). `lineFill` is the length of the current
// output line and is updated, so consecutive calls form one stream.
void AppendBase64(std::string_view data, std::string& out, std::size_t& lineFill);
std::string Base64(std::string_view data);  // one call, fresh line

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

// ---- composition -------------------------------------------------------------------------

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
  std::string_view text;  // plain-text body
  std::string_view html;  // HTML body; empty means none
  std::string attachmentList;  // already passed through ConvertFileList
  std::string embedList;       // likewise; used only with an HTML body
  std::string textCharset = "us-ascii";
  std::string textEncoding = "7bit";
  bool textDontEncode = false;
  std::string htmlCharset = "us-ascii";
  std::string htmlEncoding = "quoted-printable";
  bool htmlDontEncode = false;
  std::string messageId;  // identifier, see MessageId
  std::string hostName;   // right-hand side of the Message-ID
  std::int64_t day = 0;   // local date of the Date header, as a day count
  std::int32_t timeOfDay = 0;   // local time in hundredths
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
  kNoMemoryAtStart,    // the first buffer could not be allocated
  kNoMemoryGrowing,    // the buffer could not grow later
  kFileError,          // a file to embed or attach could not be opened or read
};

struct ComposeFailure {
  std::string path;      // the file that failed
  int errorNumber = 0;   // the system's error number
  std::string errorText; // and its text
};

// Composes the message into `buffer` (replacing its content; its allocation is reused when
// it fits). On success `buffer` holds exactly the message, which ends without trailing
// spaces. On failure `buffer`'s content is unspecified and `failure` says what went wrong
// for kFileError.
ComposeResult ComposeMessage(const MessageParts& parts, std::string& buffer,
                             ComposeFailure& failure);

// Buffer rule shared with the SMTP client: a buffer is allocated anew when its capacity is
// below `required` or more than this many bytes above it.
inline constexpr std::size_t kBufferSlack = 262140;

// Makes `buffer` empty with a capacity of at least `required` under that rule. Returns false
// when memory could not be had (the buffer is then empty).
bool SizeBuffer(std::string& buffer, std::size_t required);

}  // namespace verdan::mail
