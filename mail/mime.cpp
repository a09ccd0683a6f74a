#include "mail/mime.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
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

}  // namespace

// ---- file lists --------------------------------------------------------------------------

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

// ---- encoders ----------------------------------------------------------------------------

std::size_t NetQuotedPrintableEncode(std::string_view input, std::size_t begin, std::size_t length,
                                     int& lineCounter, std::string& out) {
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
    const bool literalByte = (c >= 33 && c <= 60) || (c >= 62 && c <= 126) || c == ' ' || c == '\t';
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

namespace {

// The base64 characters of every 12-bit value, two to an entry: three input bytes are two
// look-ups.
struct Base64Pairs {
  char pair[4096][2];
  Base64Pairs() {
    for (unsigned v = 0; v < 4096; ++v) {
      pair[v][0] = kBase64Alphabet[v >> 6];
      pair[v][1] = kBase64Alphabet[v & 63];
    }
  }
};
const Base64Pairs kBase64Pairs;

// Encodes `groups` groups of three bytes from `p` into four characters each at `o`.
inline void EncodeGroups(const unsigned char* p, std::size_t groups, char* o) {
  for (std::size_t g = 0; g < groups; ++g, p += 3, o += 4) {
    const std::uint32_t v = (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
    std::memcpy(o, kBase64Pairs.pair[v >> 12], 2);
    std::memcpy(o + 2, kBase64Pairs.pair[v & 0xfff], 2);
  }
}

// Encodes a whole line: 57 bytes into 76 characters at `o`. Six bytes are taken at a time
// with one load of eight (the last load ends two bytes short of the line's end).
inline void EncodeLine(const unsigned char* p, char* o) {
  for (int k = 0; k < 9; ++k, p += 6, o += 8) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && defined(__GNUC__)
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    v = __builtin_bswap64(v);  // p[0] in the top byte
#else
    std::uint64_t v = 0;
    for (int b = 0; b < 8; ++b) v = (v << 8) | p[b];
#endif
    std::memcpy(o, kBase64Pairs.pair[(v >> 52) & 0xfff], 2);
    std::memcpy(o + 2, kBase64Pairs.pair[(v >> 40) & 0xfff], 2);
    std::memcpy(o + 4, kBase64Pairs.pair[(v >> 28) & 0xfff], 2);
    std::memcpy(o + 6, kBase64Pairs.pair[(v >> 16) & 0xfff], 2);
  }
  EncodeGroups(p, 1, o);
}

}  // namespace

std::size_t EncodeBase64(const unsigned char* p, std::size_t n, char* out, std::size_t& lineFill) {
  char* o = out;
  auto put = [&](char ch) {
    *o++ = ch;
    if (++lineFill == kBase64LineChars) {
      *o++ = '\r';
      *o++ = '\n';
      lineFill = 0;
    }
  };
  std::size_t i = 0;
  // The rest of a line begun by an earlier call, a group at a time.
  for (; lineFill != 0 && i + 3 <= n; i += 3) {
    const std::uint32_t v = (std::uint32_t{p[i]} << 16) | (std::uint32_t{p[i + 1]} << 8) | p[i + 2];
    put(kBase64Alphabet[v >> 18]);
    put(kBase64Alphabet[(v >> 12) & 63]);
    put(kBase64Alphabet[(v >> 6) & 63]);
    put(kBase64Alphabet[v & 63]);
  }
  // Whole lines: 57 bytes make 76 characters and the line break.
  constexpr std::size_t kLineBytes = kBase64LineChars / 4 * 3;
  if (lineFill == 0) {
    static_assert(kLineBytes == 57);
    for (; i + kLineBytes <= n; i += kLineBytes) {
      EncodeLine(p + i, o);
      o += kBase64LineChars;
      *o++ = '\r';
      *o++ = '\n';
    }
    // A last, shorter line; it does not fill the line.
    const std::size_t groups = (n - i) / 3;
    EncodeGroups(p + i, groups, o);
    o += groups * 4;
    lineFill += groups * 4;
    i += groups * 3;
  }
  if (i < n) {
    std::uint32_t v = std::uint32_t{p[i]} << 16;
    if (i + 1 < n) v |= std::uint32_t{p[i + 1]} << 8;
    put(kBase64Alphabet[v >> 18]);
    put(kBase64Alphabet[(v >> 12) & 63]);
    put(i + 1 < n ? kBase64Alphabet[(v >> 6) & 63] : '=');
    put('=');
  }
  return static_cast<std::size_t>(o - out);
}

std::size_t Base64Bound(std::size_t bytes, std::size_t lineFill) {
  const std::size_t chars = (bytes + 2) / 3 * 4;
  return chars + (lineFill + chars) / kBase64LineChars * 2;
}

void AppendBase64(std::string_view data, std::string& out, std::size_t& lineFill) {
  // Room for the characters and a CR LF after every full line they complete.
  const std::size_t start = out.size();
  out.resize(start + Base64Bound(data.size(), lineFill));
  const std::size_t n = EncodeBase64(reinterpret_cast<const unsigned char*>(data.data()),
                                     data.size(), out.data() + start, lineFill);
  out.resize(start + n);
}

std::string Base64(std::string_view data) {
  std::string out;
  std::size_t fill = 0;
  AppendBase64(data, out, fill);
  return out;
}

std::string Base64Line(std::string_view data) {
  std::string out;
  std::size_t fill = 0;
  for (std::size_t pos = 0; pos < data.size(); pos += 57) {
    AppendBase64(data.substr(pos, 57), out, fill);
    if (fill == 0) out.resize(out.size() - 2);  // the line break after a full line
  }
  return out;
}

std::uint64_t Base64Length(std::uint64_t bytes) {
  const std::uint64_t chars = (bytes + 2) / 3 * 4;
  return chars + chars / kBase64LineChars * 2;
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

// ---- header encoding ---------------------------------------------------------------------

namespace {

bool IsAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c > 127) return false;
  return true;
}

bool EqualsAsciiNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Length of the well-formed UTF-8 character at `i`, or 0 when there is none.
std::size_t Utf8Length(std::string_view s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return 1;
  std::size_t n = 0;
  if (c >= 0xC2 && c <= 0xDF)
    n = 2;
  else if (c >= 0xE0 && c <= 0xEF)
    n = 3;
  else if (c >= 0xF0 && c <= 0xF4)
    n = 4;
  else
    return 0;
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  const auto d = static_cast<unsigned char>(s[i + 1]);
  if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d >= 0xA0) || (c == 0xF0 && d < 0x90) ||
      (c == 0xF4 && d >= 0x90))
    return 0;  // over-long forms, surrogates, beyond U+10FFFF
  return n;
}

bool IsUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = Utf8Length(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// The charset a text that is not plain ASCII is written in: UTF-8 when it is well-formed
// UTF-8, else the charset declared for the body, else code page 1250 (the program's own).
std::string TextCharset(std::string_view text, std::string_view declared) {
  if (IsUtf8(text)) return "utf-8";
  std::string d = Trimmed(TrimRight(declared));
  if (!d.empty() && !EqualsAsciiNoCase(d, "us-ascii") && IsAscii(d) &&
      d.find_first_of("?\r\n \t\"") == std::string::npos)
    return d;
  return "windows-1250";
}

// The text as RFC 2047 encoded words ("=?charset?B?...?="), each at most 75 characters and
// never splitting a UTF-8 character, separated by a folding line break.
std::string EncodedWords(std::string_view text, const std::string& charset) {
  const bool utf8 = charset == "utf-8";
  const std::size_t overhead = charset.size() + 7;  // "=?" "?B?" "?="
  const std::size_t maxBytes =
      std::max<std::size_t>((overhead < 71 ? 75 - overhead : 4) / 4 * 3, 3);
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t end = i;
    while (end < text.size()) {
      const std::size_t n = utf8 ? std::max<std::size_t>(Utf8Length(text, end), 1) : 1;
      if (end + n - i > maxBytes) break;
      end += n;
    }
    if (end == i) end = i + 1;
    if (!out.empty()) out += "\r\n ";
    out += "=?" + charset + "?B?" + Base64Line(text.substr(i, end - i)) + "?=";
    i = end;
  }
  return out;
}

// An unstructured header value (subject, organisation, ...): as it always was, or encoded
// words when encoding is on and the value is not plain ASCII.
std::string HeaderText(std::string_view value, const MessageParts& p) {
  std::string v = HeaderValue(value);
  if (!p.encodeHeaders || IsAscii(v)) return v;
  return EncodedWords(v, TextCharset(v, p.textCharset));
}

// A display name and address as one mailbox: the name in double quotes as it always was, or
// as encoded words when encoding is on and the name is not plain ASCII.
std::string Mailbox(const std::string& name, const std::string& address, const MessageParts& p) {
  const std::string n = HeaderValue(name);
  const std::string a = HeaderValue(address);
  if (p.encodeHeaders && !IsAscii(n))
    return EncodedWords(n, TextCharset(n, p.textCharset)) + " <" + a + ">";
  return std::string(1, kQuote) + n + kQuote + " <" + a + ">";
}

// A header value that holds addresses (Reply-To and the receipt headers): unchanged, unless
// encoding is on and it is not plain ASCII; then each entry is written again with its
// display name encoded.
std::string AddressHeaderText(std::string_view value, const MessageParts& p) {
  std::string v = HeaderValue(value);
  if (!p.encodeHeaders || IsAscii(v)) return v;
  std::string out;
  std::string name;
  std::string address;
  const std::size_t count = AddressEntryCount(v);
  for (std::size_t i = 1; i <= count; ++i) {
    if (!GetAddress(v, static_cast<int>(i), name, address)) continue;
    if (!out.empty()) out += ", ";
    out += name == address ? address : Mailbox(name, address, p);
  }
  return out;
}

// Whole header lines added by the caller: a line that is not plain ASCII keeps its field
// name and gets its value as encoded words when encoding is on.
std::string ExtraHeaderText(std::string_view extra, const MessageParts& p) {
  if (!p.encodeHeaders || IsAscii(extra)) return std::string(extra);
  std::string out;
  std::size_t pos = 0;
  while (pos <= extra.size()) {
    std::size_t eol = extra.find("\r\n", pos);
    const bool last = eol == std::string_view::npos;
    std::string_view line = extra.substr(pos, last ? std::string_view::npos : eol - pos);
    if (IsAscii(line)) {
      out += line;
    } else {
      const std::size_t colon = line.find(':');
      std::string_view value = colon == std::string_view::npos ? line : line.substr(colon + 1);
      std::string text = Trimmed(value);
      if (colon != std::string_view::npos) out += std::string(line.substr(0, colon + 1)) + " ";
      out += EncodedWords(text, TextCharset(text, p.textCharset));
    }
    if (last) break;
    out += "\r\n";
    pos = eol + 2;
  }
  return out;
}

bool IsAttributeChar(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         std::strchr("!#$&+-.^_`|~", c) != nullptr;
}

// A file name as the MIME parameter `attribute`: in double quotes as it always was, or,
// when encoding is on and the name is not plain ASCII, in RFC 2231 form, split into numbered
// continuations on lines of their own so that no line grows long.
std::string FileNameParameter(const std::string& attribute, const std::string& name,
                              const MessageParts& p) {
  if (!p.encodeHeaders || IsAscii(name)) return attribute + "=" + kQuote + name + kQuote;
  const std::string charset = TextCharset(name, p.textCharset);
  std::vector<std::string> pieces(1);
  for (unsigned char c : name) {
    std::string enc(1, static_cast<char>(c));
    if (!IsAttributeChar(c)) {
      enc = "%";
      enc += kHex[c >> 4];
      enc += kHex[c & 15];
    }
    if (pieces.back().size() + enc.size() > 60) pieces.emplace_back();
    pieces.back() += enc;
  }
  if (pieces.size() == 1) return attribute + "*=" + charset + "''" + pieces[0];
  std::string out;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) out += ";\r\n ";
    out += attribute + "*" + std::to_string(i) + "*=" + (i == 0 ? charset + "''" : "") + pieces[i];
  }
  return out;
}

// Bytes above 127 as %XX, so that an identifier stays ASCII.
std::string PercentEncodedNonAscii(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c < 128) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// How one body goes out: its charset, transfer encoding and whether it is encoded at all.
struct BodyForm {
  std::string charset;
  std::string encoding;
  bool dontEncode = false;
};

// The body's form as the options say; with encoding on, a body that is not plain ASCII is
// quoted-printable and names the charset it is written in.
BodyForm FormOf(std::string_view body, const std::string& charset, const std::string& encoding,
                bool dontEncode, bool encodeAll) {
  BodyForm f{charset, encoding, dontEncode};
  if (!encodeAll || IsAscii(body)) return f;
  if (dontEncode || !IsQuotedPrintable(encoding)) {
    f.encoding = "quoted-printable";
    f.dontEncode = false;
  }
  std::string declared = Trimmed(TrimRight(charset));
  if (declared.empty() || EqualsAsciiNoCase(declared, "us-ascii"))
    f.charset = TextCharset(body, "");
  return f;
}

}  // namespace

// ---- plans -------------------------------------------------------------------------------

bool MessagePlan::HasFiles() const {
  for (const MessageSegment& s : segments)
    if (s.IsFile()) return true;
  return false;
}

namespace {

// The message under construction: literal text gathered into segments, with the files in
// between as references.
class PlanWriter {
 public:
  explicit PlanWriter(MessagePlan& plan) : plan_(plan) {}
  std::string& Text() {
    if (plan_.segments.empty() || plan_.segments.back().IsFile()) plan_.segments.emplace_back();
    return plan_.segments.back().text;
  }
  void Add(std::string_view s) { Text().append(s); }
  void AddFile(MessageSegment file) { plan_.segments.push_back(std::move(file)); }

 private:
  MessagePlan& plan_;
};

ComposeResult FileFailure(ComposeResult result, const std::string& path, int errorNumber,
                          ComposeFailure& failure) {
  failure.path = path;
  failure.errorNumber = errorNumber;
  failure.errorText = errorNumber != 0 ? std::strerror(errorNumber)
                      : result == ComposeResult::kNotRegularFile
                          ? "not a regular file"
                          : "the file changed after the message was composed";
  return result;
}

// Opens the file to see that it can be read and is a regular file; records what it is.
ComposeResult LookAtFile(const std::string& path, MessageSegment& segment,
                         ComposeFailure& failure) {
  // Non-blocking, so that a named pipe does not hold the open.
  const platform::FileHandle fd = platform::OpenFile(path, platform::Access::kRead);
  if (fd == platform::kNoFile) return FileFailure(ComposeResult::kFileError, path, errno, failure);
  platform::FileInfo st;
  if (!platform::InfoOf(fd, st)) {
    const int e = errno;
    platform::CloseFile(fd);
    return FileFailure(ComposeResult::kFileError, path, e, failure);
  }
  platform::CloseFile(fd);
  if (st.kind == platform::FileKind::kDirectory)
    return FileFailure(ComposeResult::kFileError, path, EISDIR, failure);
  if (st.kind != platform::FileKind::kRegular)
    return FileFailure(ComposeResult::kNotRegularFile, path, 0, failure);
  segment.path = path;
  segment.fileSize = st.size;
  segment.device = st.device;
  segment.inode = st.file;
  segment.offset = 0;
  segment.length = segment.fileSize;
  return ComposeResult::kOk;
}

// Appends one body, encoded as its form says.
void AppendBody(std::string_view body, const BodyForm& form, PlanWriter& w) {
  if (body.empty()) return;
  if (form.dontEncode || !IsQuotedPrintable(form.encoding)) {
    w.Add(body);
    return;
  }
  int counter = 0;
  std::string& out = w.Text();
  for (std::size_t pos = 0; pos < body.size(); pos += kEncodeBlockBytes) {
    std::size_t len = std::min(kEncodeBlockBytes, body.size() - pos);
    NetQuotedPrintableEncode(body, pos, len, counter, out);
  }
}

enum class FilePartKind { kImage, kAttachment };

// Appends every file of the list as an image or attachment part, then the closing
// delimiter of its boundary.
ComposeResult AppendFileParts(std::string_view list, FilePartKind kind, const std::string& boundary,
                              const MessageParts& p, PlanWriter& w, ComposeFailure& failure) {
  std::vector<std::string> files = FileListEntries(list);
  const bool sliced = kind == FilePartKind::kAttachment && p.attachmentSlice && files.size() == 1;
  for (std::size_t n = 0; n < files.size(); ++n) {
    MessageSegment file;
    if (ComposeResult r = LookAtFile(files[n], file, failure); r != ComposeResult::kOk) return r;
    std::string name = BaseName(files[n]);
    if (sliced) {
      file.offset = std::min(p.attachmentSlice->offset, file.fileSize);
      file.length = std::min(p.attachmentSlice->length, file.fileSize - file.offset);
      name = p.attachmentSlice->name;
    }
    if (n > 0) w.Add("\r\n");
    w.Add("\r\n--");
    w.Add(boundary);
    w.Add("\r\n");
    if (kind == FilePartKind::kImage) {
      std::string ext = "gif";
      if (name.size() > 4 && name[name.size() - 4] == '.') ext = name.substr(name.size() - 3);
      if (p.encodeHeaders && !IsAscii(ext)) ext = "gif";
      w.Add("Content-Type: image/" + ext + ";\r\n");
      w.Add(" " + FileNameParameter("name", name, p) + "\r\n");
      w.Add("Content-Transfer-Encoding: base64\r\n");
      w.Add("Content-ID: <" + (p.encodeHeaders ? PercentEncodedNonAscii(name) : name) + ">\r\n");
      w.Add("\r\n");
    } else {
      w.Add("Content-Type: application/x-unkown;\r\n");
      w.Add(" " + FileNameParameter("name", name, p) + "\r\n");
      w.Add("Content-Transfer-Encoding: base64\r\n");
      w.Add("Content-Disposition: attachment;\r\n");
      w.Add(" " + FileNameParameter("filename", name, p) + "\r\n");
      w.Add("\r\n");
    }
    w.AddFile(std::move(file));
  }
  w.Add("\r\n\r\n--");
  w.Add(boundary);
  w.Add("--\r\n");
  return ComposeResult::kOk;
}

// One address header ("To:", "CC:") over every entry of the list; nothing when no entry
// holds an address.
void AppendAddressHeader(const char* label, std::string_view list, const MessageParts& p,
                         PlanWriter& w) {
  std::string name;
  std::string address;
  bool any = false;
  const std::size_t count = AddressEntryCount(list);
  for (std::size_t i = 1; i <= count; ++i) {
    if (!GetAddress(list, static_cast<int>(i), name, address)) continue;
    w.Add(any ? "," : label);
    w.Add(" " + Mailbox(name, address, p));
    any = true;
  }
  if (any) w.Add("\r\n");
}

void AppendIfSet(const char* label, const std::string& value, PlanWriter& w) {
  if (IsBlank(value)) return;
  w.Add(label);
  w.Add(value);
  w.Add("\r\n");
}

void AppendTextPartHeader(const std::string& boundary, const BodyForm& form, PlanWriter& w) {
  w.Add("--" + boundary + "\r\n");
  w.Add("Content-Type: text/plain;\r\n");
  w.Add("\tcharset=" + HeaderValue(form.charset) + "\r\n");
  w.Add("Content-Transfer-Encoding: " + HeaderValue(form.encoding) + "\r\n");
  w.Add("\r\n");
}

ComposeResult Plan(const MessageParts& p, MessagePlan& plan, ComposeFailure& failure) {
  plan = MessagePlan();
  PlanWriter w(plan);
  const std::string_view text = p.text;
  const bool A = !IsBlank(p.attachmentList);
  const bool H = !p.html.empty();
  const bool E = H && !IsBlank(p.embedList);
  const std::string b0 = std::string(kBoundaryBase) + "_000_" + p.messageId;
  const std::string b1 = std::string(kBoundaryBase) + "_001_" + p.messageId;
  const std::string b2 = std::string(kBoundaryBase) + "_002_" + p.messageId;
  const std::string q(1, kQuote);
  const BodyForm textForm =
      FormOf(p.text, p.textCharset, p.textEncoding, p.textDontEncode, p.encodeHeaders);
  const BodyForm htmlForm =
      FormOf(p.html, p.htmlCharset, p.htmlEncoding, p.htmlDontEncode, p.encodeHeaders);

  // Header.
  w.Add("Message-ID: <" + HeaderValue(p.messageId) + ".00@" + HeaderValue(p.hostName) + ">\r\n");
  AppendIfSet("Delivery-receipt-to: ", AddressHeaderText(p.deliveryReceiptTo, p), w);
  AppendIfSet("Disposition-Notification-To: ", AddressHeaderText(p.dispositionNotificationTo, p),
              w);
  AppendIfSet("Reply-To: ", AddressHeaderText(p.replyTo, p), w);
  {
    std::string name;
    std::string address;
    if (GetAddress(p.from, 1, name, address)) w.Add("From: " + Mailbox(name, address, p) + "\r\n");
  }
  AppendAddressHeader("To:", p.toList, p, w);
  AppendAddressHeader("CC:", p.ccList, p, w);
  AppendIfSet("References: ", HeaderText(p.references, p), w);
  w.Add("Subject: " + HeaderText(p.subject, p) + "\r\n");
  w.Add("Date: " + DateHeaderValue(p.day, p.timeOfDay, p.utcOffsetMinutes) + "\r\n");
  AppendIfSet("Organization: ", HeaderText(p.organization, p), w);
  w.Add("MIME-version: 1.0\r\n");
  if (A) {
    w.Add("Content-Type: multipart/mixed;\r\n\tboundary=" + q + b0 + q + "\r\n");
  } else if (E) {
    w.Add("Content-Type: multipart/related; type=" + q + "multipart/alternative" + q +
          ";\r\n\tboundary=" + q + b2 + q + "\r\n");
  } else if (H) {
    w.Add("Content-Type: multipart/alternative;\r\n\tboundary=" + q + b1 + q + "\r\n");
  } else {
    w.Add("Content-Type: text/plain;\r\n\tcharset=" + HeaderValue(textForm.charset) + "\r\n");
    w.Add("Content-Transfer-Encoding: " + HeaderValue(textForm.encoding) + "\r\n");
  }
  w.Add("X-Mailer: " + HeaderText(p.xMailer, p) + "\r\n");
  w.Add("X-Quillon: Quillon Email 2.93\r\n");
  const std::string extra = ExtraHeaderText(TrimRight(p.extraHeader), p);
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
    AppendTextPartHeader(b1, textForm, w);
  } else if (A) {
    AppendTextPartHeader(b0, textForm, w);
  }

  // Bodies.
  AppendBody(text, textForm, w);
  if (!H && A) w.Add("\r\n");
  if (H) {
    w.Add("\r\n\r\n--" + b1 + "\r\n");
    w.Add("Content-Type: text/html;\r\n");
    w.Add("\tcharset=" + HeaderValue(htmlForm.charset) + "\r\n");
    w.Add("Content-Transfer-Encoding: " + HeaderValue(htmlForm.encoding) + "\r\n");
    w.Add("\r\n");
    AppendBody(p.html, htmlForm, w);
    w.Add("\r\n\r\n--" + b1 + "--\r\n");
  }

  // Files.
  if (E) {
    ComposeResult r = AppendFileParts(p.embedList, FilePartKind::kImage, b2, p, w, failure);
    if (r != ComposeResult::kOk) return r;
  }
  if (A) {
    ComposeResult r =
        AppendFileParts(p.attachmentList, FilePartKind::kAttachment, b0, p, w, failure);
    if (r != ComposeResult::kOk) return r;
  }

  // The message ends without trailing spaces; files are always followed by text.
  if (!plan.segments.empty() && !plan.segments.back().IsFile()) {
    std::string& last = plan.segments.back().text;
    while (!last.empty() && last.back() == ' ') last.pop_back();
  }
  plan.size = 0;
  for (const MessageSegment& s : plan.segments) plan.size += s.Size();
  return ComposeResult::kOk;
}

}  // namespace

ComposeResult PlanMessage(const MessageParts& parts, MessagePlan& plan, ComposeFailure& failure) {
  try {
    return Plan(parts, plan, failure);
  } catch (const std::bad_alloc&) {
    return ComposeResult::kNoMemoryGrowing;
  } catch (const std::length_error&) {
    return ComposeResult::kNoMemoryGrowing;
  }
}

// ---- reading a plan ----------------------------------------------------------------------

MessageReader::MessageReader(const MessagePlan& plan) : plan_(plan) {}

MessageReader::~MessageReader() {
  if (fd_ >= 0) platform::CloseFile(fd_);
}

bool MessageReader::Fail(ComposeResult result, const MessageSegment& segment, int errorNumber) {
  result_ = result;
  FileFailure(result, segment.path, errorNumber, failure_);
  if (fd_ >= 0) platform::CloseFile(fd_);
  fd_ = -1;
  return false;
}

bool MessageReader::OpenFile(const MessageSegment& segment) {
  fd_ = platform::OpenFile(segment.path, platform::Access::kRead);
  if (fd_ < 0) return Fail(ComposeResult::kFileError, segment, errno);
  platform::FileInfo st;
  if (!platform::InfoOf(fd_, st)) return Fail(ComposeResult::kFileError, segment, errno);
  if (st.kind != platform::FileKind::kRegular)
    return Fail(ComposeResult::kNotRegularFile, segment, 0);
  if (st.device != segment.device || st.file != segment.inode || st.size != segment.fileSize)
    return Fail(ComposeResult::kFileChanged, segment, 0);
  platform::WillReadOnce(fd_);
  lineFill_ = 0;
  return true;
}

bool MessageReader::Refill() {
  const MessageSegment& segment = plan_.segments[segment_];
  pendingPos_ = pendingEnd_ = 0;
  if (fd_ < 0 && !OpenFile(segment)) return false;
  const std::uint64_t left = segment.length - taken_;
  if (left == 0) {
    // The whole slice went out; the file must still be the one that was planned.
    platform::FileInfo st;
    if (!platform::InfoOf(fd_, st) || st.size != segment.fileSize)
      return Fail(ComposeResult::kFileChanged, segment, 0);
    platform::CloseFile(fd_);
    fd_ = -1;
    ++segment_;
    taken_ = 0;
    return true;
  }
  // Whole records (a multiple of 57 bytes), so that only the file's last line is short.
  if (record_.empty()) record_.resize(kEncodeBlockBytes * 256);
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(record_.size(), left));
  std::size_t got = 0;
  while (got < want) {
    const std::int64_t r =
        platform::ReadAt(fd_, record_.data() + got, want - got, segment.offset + taken_ + got);
    if (r < 0) return Fail(ComposeResult::kFileError, segment, errno);
    if (r == 0) return Fail(ComposeResult::kFileChanged, segment, 0);  // it got shorter
    got += static_cast<std::size_t>(r);
  }
  taken_ += got;
  // The encoding buffer keeps its size from block to block: no clearing of memory per block.
  const std::size_t room = Base64Bound(got, lineFill_);
  if (pending_.size() < room) pending_.resize(room);
  pendingEnd_ = EncodeBase64(reinterpret_cast<const unsigned char*>(record_.data()), got,
                             pending_.data(), lineFill_);
  return true;
}

std::size_t MessageReader::Read(std::uint8_t* out, std::size_t max) {
  std::size_t done = 0;
  while (done < max && !Failed()) {
    if (pendingPos_ < pendingEnd_) {
      const std::size_t n = std::min(max - done, pendingEnd_ - pendingPos_);
      std::memcpy(out + done, pending_.data() + pendingPos_, n);
      pendingPos_ += n;
      done += n;
      continue;
    }
    if (segment_ >= plan_.segments.size()) break;
    const MessageSegment& segment = plan_.segments[segment_];
    if (segment.IsFile()) {
      Refill();
      continue;
    }
    const std::size_t n = std::min<std::size_t>(max - done, segment.text.size() - taken_);
    std::memcpy(out + done, segment.text.data() + taken_, n);
    taken_ += n;
    done += n;
    if (taken_ == segment.text.size()) {
      ++segment_;
      taken_ = 0;
    }
  }
  if (Failed()) return 0;
  position_ += done;
  return done;
}

ComposeResult ReadMessage(const MessagePlan& plan, std::string& buffer, ComposeFailure& failure) {
  try {
    if (plan.size > buffer.max_size()) return ComposeResult::kNoMemoryGrowing;
    buffer.resize(static_cast<std::size_t>(plan.size));
  } catch (const std::bad_alloc&) {
    return ComposeResult::kNoMemoryGrowing;
  } catch (const std::length_error&) {
    return ComposeResult::kNoMemoryGrowing;
  }
  MessageReader reader(plan);
  const std::size_t n = reader.Read(reinterpret_cast<std::uint8_t*>(buffer.data()), buffer.size());
  std::uint8_t extra = 0;
  if (reader.Failed()) {
    failure = reader.failure();
    return reader.result();
  }
  if (n != buffer.size() || reader.Read(&extra, 1) != 0) {
    failure = ComposeFailure{};
    return ComposeResult::kFileChanged;
  }
  return ComposeResult::kOk;
}

ComposeResult ComposeMessage(const MessageParts& parts, std::string& buffer,
                             ComposeFailure& failure) {
  const MessageParts& p = parts;
  const std::size_t capacity =
      8192 + TrimRight(p.toList).size() + TrimRight(p.ccList).size() + TrimRight(p.from).size() +
      TrimRight(p.subject).size() + TrimRight(p.replyTo).size() + TrimRight(p.organization).size() +
      TrimRight(p.dispositionNotificationTo).size() + TrimRight(p.deliveryReceiptTo).size() +
      TrimRight(p.extraHeader).size() + p.text.size() + p.html.size();
  if (!SizeBuffer(buffer, capacity)) return ComposeResult::kNoMemoryAtStart;
  MessagePlan plan;
  ComposeResult r = PlanMessage(parts, plan, failure);
  if (r != ComposeResult::kOk) return r;
  return ReadMessage(plan, buffer, failure);
}

}  // namespace verdan::mail
