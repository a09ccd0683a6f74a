#include "mail/mime.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "platform/clock.h"
#include "platform/text.h"

namespace verdan::mail {
namespace {

using platform::IsBlank;
using platform::TrimRight;

constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kBase64LineChars = 76;
constexpr char kBoundaryBase[] = "--=_NextPart";
constexpr char kQuote = '"';

void AppendTriple(unsigned char c, std::string& out) {
  out += '=';
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

bool IsCrLfAt(std::string_view s, std::size_t i) {
  return i + 1 < s.size() && s[i] == '\r' && s[i + 1] == '\n';
}

std::string Trimmed(std::string_view s) {
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && s[b] == ' ') ++b;
  while (e > b && s[e - 1] == ' ') --e;
  return std::string(s.substr(b, e - b));
}

// Splits an address list into its raw entries at "," and ";" outside double quotes.
std::vector<std::string_view> SplitAddressList(std::string_view list) {
  std::vector<std::string_view> entries;
  if (list.empty()) return entries;
  bool quoted = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    char c = list[i];
    if (c == kQuote) {
      quoted = !quoted;
    } else if (!quoted && (c == ',' || c == ';')) {
      entries.push_back(list.substr(start, i - start));
      start = i + 1;
    }
  }
  entries.push_back(list.substr(start));
  return entries;
}

// The entries of a file list: the texts inside pairs of double quotes when the list holds a
// quote, else the comma-separated pieces; trimmed, blank ones left out.
std::vector<std::string> FileListEntries(std::string_view list) {
  std::vector<std::string> raw;
  if (list.find(kQuote) != std::string_view::npos) {
    std::size_t pos = 0;
    while (true) {
      std::size_t open = list.find(kQuote, pos);
      if (open == std::string_view::npos) break;
      std::size_t close = list.find(kQuote, open + 1);
      if (close == std::string_view::npos) {
        raw.emplace_back(list.substr(open + 1));
        break;
      }
      raw.emplace_back(list.substr(open + 1, close - open - 1));
      pos = close + 1;
    }
  } else {
    std::size_t start = 0;
    while (true) {
      std::size_t comma = list.find(',', start);
      raw.emplace_back(list.substr(start, comma == std::string_view::npos ? comma : comma - start));
      if (comma == std::string_view::npos) break;
      start = comma + 1;
    }
  }
  std::vector<std::string> entries;
  for (auto& r : raw) {
    std::string e = Trimmed(r);
    while (!e.empty() && e.front() == kQuote) e.erase(0, 1);
    while (!e.empty() && e.back() == kQuote) e.pop_back();
    e = Trimmed(e);
    if (!e.empty()) entries.push_back(std::move(e));
  }
  return entries;
}

std::string BaseName(const std::string& path) {
  std::size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string TwoDigits(int v) {
  std::string s;
  s += static_cast<char>('0' + (v / 10) % 10);
  s += static_cast<char>('0' + v % 10);
  return s;
}

bool IsQuotedPrintable(std::string_view encoding) {
  std::string_view e = TrimRight(encoding);
  constexpr std::string_view kQp = "quoted-printable";
  if (e.size() != kQp.size()) return false;
  for (std::size_t i = 0; i < e.size(); ++i) {
    char c = e[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kQp[i]) return false;
  }
  return true;
}

// The message under construction: a growing buffer whose capacity follows the composer's
// estimates, so that encoding a large file re-allocates once rather than many times.
class Writer {
 public:
  explicit Writer(std::string& buffer) : buf_(buffer) {}

  // Raises the capacity to at least `capacity`, keeping the content.
  void Reserve(std::size_t capacity) {
    if (capacity > buf_.capacity()) buf_.reserve(capacity);
  }
  void Add(std::string_view s) { buf_.append(s); }
  std::string& Buffer() { return buf_; }

 private:
  std::string& buf_;
};

// Appends one body, encoded as its options say.
void AppendBody(std::string_view body, std::string_view encoding, bool dontEncode,
                Writer& w) {
  if (body.empty()) return;
  if (dontEncode || !IsQuotedPrintable(encoding)) {
    w.Add(body);
    return;
  }
  int counter = 0;
  for (std::size_t pos = 0; pos < body.size(); pos += kEncodeBlockBytes) {
    std::size_t len = std::min(kEncodeBlockBytes, body.size() - pos);
    w.Reserve(w.Buffer().size() + kQuotedPrintableBlockWorstCase + 8192);
    NetQuotedPrintableEncode(body, pos, len, counter, w.Buffer());
  }
}

enum class FilePartKind { kImage, kAttachment };

// Appends every file of the list as an image or attachment part, then the closing
// delimiter of its boundary.
ComposeResult AppendFileParts(std::string_view list, FilePartKind kind,
                              const std::string& boundary, Writer& w,
                              ComposeFailure& failure) {
  std::vector<std::string> files = FileListEntries(list);
  std::vector<char> record(kEncodeBlockBytes * 64);  // whole records, so lines stay aligned
  for (std::size_t n = 0; n < files.size(); ++n) {
    const std::string& path = files[n];
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      failure.errorNumber = errno;
      failure.errorText = std::strerror(errno);
      failure.path = path;
      return ComposeResult::kFileError;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
      failure.errorNumber = S_ISDIR(st.st_mode) ? EISDIR : errno;
      failure.errorText = std::strerror(failure.errorNumber);
      failure.path = path;
      ::close(fd);
      return ComposeResult::kFileError;
    }
    const std::size_t size = static_cast<std::size_t>(st.st_size);
    w.Reserve(w.Buffer().capacity() + size / 100 * 137 + size % 100 * 2 + 300);

    const std::string name = BaseName(path);
    if (n > 0) w.Add("\r\n");
    w.Add("\r\n--");
    w.Add(boundary);
    w.Add("\r\n");
    if (kind == FilePartKind::kImage) {
      std::string ext = "gif";
      if (name.size() > 4 && name[name.size() - 4] == '.') ext = name.substr(name.size() - 3);
      w.Add("Content-Type: image/" + ext + ";\r\n");
      w.Add(std::string(" name=") + kQuote + name + kQuote + "\r\n");
      w.Add("Content-Transfer-Encoding: base64\r\n");
      w.Add("Content-ID: <" + name + ">\r\n");
      w.Add("\r\n");
    } else {
      w.Add("Content-Type: application/x-unkown;\r\n");
      w.Add(std::string(" name=") + kQuote + name + kQuote + "\r\n");
      w.Add("Content-Transfer-Encoding: base64\r\n");
      w.Add("Content-Disposition: attachment;\r\n");
      w.Add(std::string(" filename=") + kQuote + name + kQuote + "\r\n");
      w.Add("\r\n");
    }
    std::size_t lineFill = 0;
    while (true) {
      // Fill whole records before encoding, so only the file's last record is short.
      std::size_t got = 0;
      while (got < record.size()) {
        ssize_t r = ::read(fd, record.data() + got, record.size() - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
          failure.errorNumber = errno;
          failure.errorText = std::strerror(errno);
          failure.path = path;
          ::close(fd);
          return ComposeResult::kFileError;
        }
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
      }
      if (got == 0) break;
      std::string& buf = w.Buffer();
      w.Reserve(buf.size() + got / 57 * 78 + 80);
      AppendBase64(std::string_view(record.data(), got), buf, lineFill);
      if (got < record.size()) break;
    }
    ::close(fd);
  }
  w.Add("\r\n\r\n--");
  w.Add(boundary);
  w.Add("--\r\n");
  return ComposeResult::kOk;
}

}  // namespace

// ---- encoders ----------------------------------------------------------------------------

std::size_t NetQuotedPrintableEncode(std::string_view input, std::size_t begin,
                                     std::size_t length, int& lineCounter, std::string& out) {
  const std::size_t before = out.size();
  const std::size_t end = std::min(input.size(), begin + length);
  auto softBreak = [&] {
    out += "=\r\n";
    lineCounter = 0;
  };
  std::size_t i = begin;
  // The previous block ended on the CR of a CR LF pair and wrote the pair already.
  if (i > 0 && i < end && input[i - 1] == '\r' && input[i] == '\n') ++i;
  while (i < end) {
    const auto c = static_cast<unsigned char>(input[i]);
    if (IsCrLfAt(input, i)) {
      out += "\r\n";
      lineCounter = 0;
      i += 2;  // a pair split between two blocks is consumed by the first
      continue;
    }
    const bool literalByte = (c >= 33 && c <= 60) || (c >= 62 && c <= 126) || c == ' ' ||
                             c == '\t';
    bool encode = !literalByte;
    if (c == ' ' || c == '\t') {
      // A blank at the end of a line, or at the very end of the body, would be taken away
      // by the reader; it goes out encoded.
      if (IsCrLfAt(input, i + 1) || i + 1 == input.size()) encode = true;
    }
    if (c == '.') {
      const bool blockStart = i == begin;
      const bool afterLineBreak = i >= 2 && input[i - 2] == '\r' && input[i - 1] == '\n';
      if (lineCounter >= 75) {
        // The dot would begin a new output line.
        softBreak();
        AppendTriple(c, out);
        lineCounter += 3;
        ++i;
        continue;
      }
      if (blockStart || afterLineBreak || lineCounter == 0) encode = true;
    }
    if (encode) {
      if (lineCounter >= 73) softBreak();
      AppendTriple(c, out);
      lineCounter += 3;
    } else {
      if (lineCounter >= 75) softBreak();
      out += static_cast<char>(c);
      lineCounter += 1;
    }
    ++i;
  }
  return out.size() - before;
}

void AppendQuotedPrintable(std::string_view input, std::string& out) {
  int counter = 0;
  for (std::size_t pos = 0; pos < input.size(); pos += kEncodeBlockBytes)
    NetQuotedPrintableEncode(input, pos, kEncodeBlockBytes, counter, out);
}

void AppendBase64(std::string_view data, std::string& out, std::size_t& lineFill) {
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t n = data.size();
  const std::size_t chars = (n + 2) / 3 * 4;
  // Room for the characters and a CR LF after every full line they complete.
  std::size_t start = out.size();
  out.resize(start + chars + (lineFill + chars) / kBase64LineChars * 2);
  char* o = out.data() + start;
  auto put = [&](char ch) {
    *o++ = ch;
    if (++lineFill == kBase64LineChars) {
      *o++ = '\r';
      *o++ = '\n';
      lineFill = 0;
    }
  };
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const std::uint32_t v = (std::uint32_t{p[i]} << 16) | (std::uint32_t{p[i + 1]} << 8) | p[i + 2];
    put(kBase64Alphabet[v >> 18]);
    put(kBase64Alphabet[(v >> 12) & 63]);
    put(kBase64Alphabet[(v >> 6) & 63]);
    put(kBase64Alphabet[v & 63]);
  }
  if (i < n) {
    std::uint32_t v = std::uint32_t{p[i]} << 16;
    if (i + 1 < n) v |= std::uint32_t{p[i + 1]} << 8;
    put(kBase64Alphabet[v >> 18]);
    put(kBase64Alphabet[(v >> 12) & 63]);
    put(i + 1 < n ? kBase64Alphabet[(v >> 6) & 63] : '=');
    put('=');
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
}

std::string Base64(std::string_view data) {
  std::string out;
  std::size_t fill = 0;
  AppendBase64(data, out, fill);
  return out;
}

// ---- address lists -----------------------------------------------------------------------

std::size_t AddressEntryCount(std::string_view list) { return SplitAddressList(list).size(); }

bool GetAddress(std::string_view list, int index, std::string& name, std::string& address) {
  name.clear();
  address.clear();
  if (index <= 0) return false;
  std::vector<std::string_view> entries = SplitAddressList(list);
  if (entries.size() < static_cast<std::size_t>(index)) return false;
  std::string_view entry = entries[static_cast<std::size_t>(index) - 1];
  std::size_t lt = entry.find('<');
  std::size_t gt = lt == std::string_view::npos ? lt : entry.find('>', lt + 1);
  if (gt != std::string_view::npos) {
    address = Trimmed(entry.substr(lt + 1, gt - lt - 1));
    std::string n = Trimmed(entry.substr(0, lt));
    for (char c : n)
      if (c != kQuote) name += c;
  } else {
    address = Trimmed(entry);
    name = address;
  }
  if (address.empty()) {
    name.clear();
    return false;
  }
  return true;
}

bool IsSendableAddress(std::string_view address) {
  return address.find_first_of("\r\n<>") == std::string_view::npos;
}

std::string HeaderValue(std::string_view value) {
  std::string v(value);
  for (char& c : v)
    if (c == '\r' || c == '\n') c = ' ';
  return std::string(TrimRight(v));
}

// ---- file lists --------------------------------------------------------------------------

std::string ConvertFileList(std::string_view list, char separator) {
  if (list.find('|') == std::string_view::npos) return std::string(list);
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t bar = list.find('|', start);
    parts.push_back(list.substr(start, bar == std::string_view::npos ? bar : bar - start));
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
  std::string dir(TrimRight(parts[0]));
  if (dir.empty() || dir.back() != separator) dir += separator;
  std::string result;
  for (std::size_t i = 1; i < parts.size(); ++i) {
    std::string_view name = TrimRight(parts[i]);
    if (name.empty()) continue;
    if (!result.empty()) result += ", ";
    result += kQuote;
    result += dir;
    result += name;
    result += kQuote;
  }
  return result;
}

// ---- composition -------------------------------------------------------------------------

std::string MessageId(std::int64_t day, std::int32_t timeOfDay, std::int64_t count,
                      std::int64_t random) {
  platform::CivilDate d = platform::DateFromDayCount(day);
  const int secs = timeOfDay / 100;
  std::string id = "d" + std::to_string(d.year) + TwoDigits(d.month) + TwoDigits(d.day);
  id += "t" + TwoDigits(secs / 3600) + TwoDigits(secs / 60 % 60) + TwoDigits(secs % 60);
  id += "." + std::to_string(timeOfDay % 100);
  id += "c" + std::to_string(count) + "r" + std::to_string(random);
  return id.substr(0, 80);
}

std::string DateHeaderValue(std::int64_t day, std::int32_t timeOfDay,
                            std::int32_t utcOffsetMinutes) {
  static constexpr char kDays[] = "SunMonTueWedThuFriSat";
  static constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  platform::CivilDate d = platform::DateFromDayCount(day);
  const int weekday = static_cast<int>(((day % 7) + 7) % 7);
  const int secs = timeOfDay / 100;
  std::string s(kDays + weekday * 3, 3);
  s += ", " + std::to_string(d.day) + " " + std::string(kMonths + (d.month - 1) * 3, 3) + " " +
       std::to_string(d.year) + " ";
  s += TwoDigits(secs / 3600) + ":" + TwoDigits(secs / 60 % 60) + ":" + TwoDigits(secs % 60);
  const int off = utcOffsetMinutes < 0 ? -utcOffsetMinutes : utcOffsetMinutes;
  s += utcOffsetMinutes < 0 ? " -" : " +";
  s += TwoDigits(off / 60 % 100) + TwoDigits(off % 60);
  return s;
}

bool SizeBuffer(std::string& buffer, std::size_t required) {
  try {
    if (buffer.capacity() < required || buffer.capacity() > required + kBufferSlack) {
      std::string().swap(buffer);
      buffer.reserve(required);
    }
    buffer.clear();
    return true;
  } catch (const std::bad_alloc&) {
    buffer = std::string();
    return false;
  } catch (const std::length_error&) {
    buffer = std::string();
    return false;
  }
}

namespace {

// One address header ("To:", "CC:") over every entry of the list; nothing when no entry
// holds an address.
void AppendAddressHeader(const char* label, std::string_view list, Writer& w) {
  std::string name;
  std::string address;
  bool any = false;
  const std::size_t count = AddressEntryCount(list);
  for (std::size_t i = 1; i <= count; ++i) {
    if (!GetAddress(list, static_cast<int>(i), name, address)) continue;
    w.Add(any ? "," : label);
    w.Add(std::string(" ") + kQuote + HeaderValue(name) + kQuote + " <" + HeaderValue(address) +
          ">");
    any = true;
  }
  if (any) w.Add("\r\n");
}

void AppendIfSet(const char* label, std::string_view value, Writer& w) {
  std::string v = HeaderValue(value);
  if (IsBlank(v)) return;
  w.Add(label);
  w.Add(v);
  w.Add("\r\n");
}

void AppendTextPartHeader(const std::string& boundary, const MessageParts& p, Writer& w) {
  w.Add("--" + boundary + "\r\n");
  w.Add("Content-Type: text/plain;\r\n");
  w.Add("\tcharset=" + HeaderValue(p.textCharset) + "\r\n");
  w.Add("Content-Transfer-Encoding: " + HeaderValue(p.textEncoding) + "\r\n");
  w.Add("\r\n");
}

ComposeResult Compose(const MessageParts& p, std::string& buffer, ComposeFailure& failure) {
  const std::string_view text = p.text;
  const bool A = !IsBlank(p.attachmentList);
  const bool H = !p.html.empty();
  const bool E = H && !IsBlank(p.embedList);
  const std::string b0 = std::string(kBoundaryBase) + "_000_" + p.messageId;
  const std::string b1 = std::string(kBoundaryBase) + "_001_" + p.messageId;
  const std::string b2 = std::string(kBoundaryBase) + "_002_" + p.messageId;
  const std::string q(1, kQuote);

  std::size_t capacity = 8192 + TrimRight(p.toList).size() + TrimRight(p.ccList).size() +
                         TrimRight(p.from).size() + TrimRight(p.subject).size() +
                         TrimRight(p.replyTo).size() + TrimRight(p.organization).size() +
                         TrimRight(p.dispositionNotificationTo).size() +
                         TrimRight(p.deliveryReceiptTo).size() +
                         TrimRight(p.extraHeader).size() + p.text.size() + p.html.size();
  if (!SizeBuffer(buffer, capacity)) return ComposeResult::kNoMemoryAtStart;
  Writer w(buffer);

  // Header.
  w.Add("Message-ID: <" + HeaderValue(p.messageId) + ".00@" + HeaderValue(p.hostName) + ">\r\n");
  AppendIfSet("Delivery-receipt-to: ", p.deliveryReceiptTo, w);
  AppendIfSet("Disposition-Notification-To: ", p.dispositionNotificationTo, w);
  AppendIfSet("Reply-To: ", p.replyTo, w);
  {
    std::string name;
    std::string address;
    if (GetAddress(p.from, 1, name, address))
      w.Add("From: " + q + HeaderValue(name) + q + " <" + HeaderValue(address) + ">\r\n");
  }
  AppendAddressHeader("To:", p.toList, w);
  AppendAddressHeader("CC:", p.ccList, w);
  AppendIfSet("References: ", p.references, w);
  w.Add("Subject: " + HeaderValue(p.subject) + "\r\n");
  w.Add("Date: " + DateHeaderValue(p.day, p.timeOfDay, p.utcOffsetMinutes) + "\r\n");
  AppendIfSet("Organization: ", p.organization, w);
  w.Add("MIME-version: 1.0\r\n");
  if (A) {
    w.Add("Content-Type: multipart/mixed;\r\n\tboundary=" + q + b0 + q + "\r\n");
  } else if (E) {
    w.Add("Content-Type: multipart/related; type=" + q + "multipart/alternative" + q +
          ";\r\n\tboundary=" + q + b2 + q + "\r\n");
  } else if (H) {
    w.Add("Content-Type: multipart/alternative;\r\n\tboundary=" + q + b1 + q + "\r\n");
  } else {
    w.Add("Content-Type: text/plain;\r\n\tcharset=" + HeaderValue(p.textCharset) + "\r\n");
    w.Add("Content-Transfer-Encoding: " + HeaderValue(p.textEncoding) + "\r\n");
  }
  w.Add("X-Mailer: " + HeaderValue(p.xMailer) + "\r\n");
  w.Add("X-Quillon: Quillon Email 2.93\r\n");
  std::string_view extra = TrimRight(p.extraHeader);
  if (!extra.empty()) {
    w.Add(extra);
    // Always ended by CR LF, so that the blank line that ends the header stays blank.
    if (extra.size() < 2 || extra.substr(extra.size() - 2) != "\r\n") w.Add("\r\n");
  }
  w.Add("\r\n");

  // Preamble and the opening of the body structure.
  if (H || A) {
    w.Add("This is a multi-part message in MIME format.\r\n");
    w.Add("This email requires a MIME compatible email reader.\r\n");
    w.Add("\r\n");
  }
  if (H) {
    if (E && A) {
      w.Add("--" + b0 + "\r\nContent-Type: multipart/related;\r\n\ttype=" + q +
            "multipart/related" + q + ";\r\n\tboundary=" + q + b2 + q + "\r\n\r\n\r\n");
    }
    if (E) {
      w.Add("--" + b2 + "\r\nContent-Type: multipart/alternative;\r\n\tboundary=" + q + b1 + q +
            "\r\n\r\n");
    } else if (A) {
      w.Add("--" + b0 + "\r\nContent-Type: multipart/alternative;\r\n\tboundary=" + q + b1 + q +
            "\r\n\r\n");
    }
    AppendTextPartHeader(b1, p, w);
  } else if (A) {
    AppendTextPartHeader(b0, p, w);
  }

  // Bodies.
  AppendBody(text, p.textEncoding, p.textDontEncode, w);
  if (!H && A) w.Add("\r\n");
  if (H) {
    w.Add("\r\n\r\n--" + b1 + "\r\n");
    w.Add("Content-Type: text/html;\r\n");
    w.Add("\tcharset=" + HeaderValue(p.htmlCharset) + "\r\n");
    w.Add("Content-Transfer-Encoding: " + HeaderValue(p.htmlEncoding) + "\r\n");
    w.Add("\r\n");
    AppendBody(p.html, p.htmlEncoding, p.htmlDontEncode, w);
    w.Add("\r\n\r\n--" + b1 + "--\r\n");
  }

  // Files.
  if (E) {
    ComposeResult r = AppendFileParts(p.embedList, FilePartKind::kImage, b2, w, failure);
    if (r != ComposeResult::kOk) return r;
  }
  if (A) {
    ComposeResult r = AppendFileParts(p.attachmentList, FilePartKind::kAttachment, b0, w, failure);
    if (r != ComposeResult::kOk) return r;
  }

  while (!buffer.empty() && buffer.back() == ' ') buffer.pop_back();
  return ComposeResult::kOk;
}

}  // namespace

ComposeResult ComposeMessage(const MessageParts& parts, std::string& buffer,
                             ComposeFailure& failure) {
  // Growing the buffer is the only thing here that can throw.
  try {
    return Compose(parts, buffer, failure);
  } catch (const std::bad_alloc&) {
    return ComposeResult::kNoMemoryGrowing;
  } catch (const std::length_error&) {
    return ComposeResult::kNoMemoryGrowing;
  }
}

}  // namespace verdan::mail
