#include "platform/text.h"

#include <array>
#include <cstdint>

namespace verdan::platform {
namespace {

// Code page 1250, bytes 0x80..0xFF as Unicode code points (0 where the byte is unassigned).
constexpr std::array<char32_t, 128> kCp1250High = {
    0x20AC, 0,      0x201A, 0,      0x201E, 0x2026, 0x2020, 0x2021, 0,      0x2030, 0x0160, 0x2039,
    0x015A, 0x0164, 0x017D, 0x0179, 0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0,      0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A, 0x00A0, 0x02C7, 0x02D8, 0x0141,
    0x00A4, 0x0104, 0x00A6, 0x00A7, 0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x0105, 0x015F, 0x00BB,
    0x013D, 0x02DD, 0x013E, 0x017C, 0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E, 0x0110, 0x0143, 0x0147, 0x00D3,
    0x00D4, 0x0150, 0x00D6, 0x00D7, 0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7, 0x010D, 0x00E9, 0x0119, 0x00EB,
    0x011B, 0x00ED, 0x00EE, 0x010F, 0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9};

// Decodes one code point at `pos`, advancing it. Invalid bytes decode as themselves.
char32_t Decode(std::string_view s, std::size_t& pos) {
  auto b = static_cast<unsigned char>(s[pos]);
  int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
  if (extra <= 0 || pos + static_cast<std::size_t>(extra) >= s.size()) {
    ++pos;
    return b;
  }
  char32_t cp = b & (0x3F >> extra);
  for (int i = 1; i <= extra; ++i) {
    auto c = static_cast<unsigned char>(s[pos + i]);
    if ((c & 0xC0) != 0x80) {
      ++pos;
      return b;
    }
    cp = (cp << 6) | (c & 0x3F);
  }
  pos += extra + 1;
  return cp;
}

void Encode(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool InCp1250(char32_t cp) {
  if (cp < 0x80) return true;
  for (char32_t c : kCp1250High)
    if (c == cp) return true;
  return false;
}

char32_t UpperCodePoint(char32_t cp) {
  if (cp >= 'a' && cp <= 'z') return cp - 0x20;
  if (!InCp1250(cp)) return cp;
  if (cp >= 0xE0 && cp <= 0xFE && cp != 0xF7) return cp - 0x20;
  // Latin Extended-A: pairs are upper/lower on even/odd code points, except in the ranges
  // where the pair starts on an odd one.
  if ((cp >= 0x139 && cp <= 0x148) || (cp >= 0x179 && cp <= 0x17E)) {
    char32_t upper = (cp % 2 == 0) ? cp - 1 : cp;
    return InCp1250(upper) ? upper : cp;
  }
  if (cp >= 0x100 && cp <= 0x17F) {
    char32_t upper = (cp % 2 == 1) ? cp - 1 : cp;
    return InCp1250(upper) ? upper : cp;
  }
  return cp;
}

}  // namespace

std::string_view TrimRight(std::string_view text) {
  auto end = text.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

std::string TrimRightCopy(std::string_view text) { return std::string(TrimRight(text)); }

bool IsBlank(std::string_view text) { return TrimRight(text).empty(); }

std::size_t CharCount(std::string_view utf8) {
  std::size_t n = 0;
  for (std::size_t pos = 0; pos < utf8.size(); ++n) Decode(utf8, pos);
  return n;
}

std::string CutChars(std::string_view utf8, std::size_t chars) {
  std::size_t pos = 0;
  for (std::size_t n = 0; n < chars && pos < utf8.size(); ++n) Decode(utf8, pos);
  return std::string(utf8.substr(0, pos));
}

std::string FitField(std::string_view utf8, std::size_t chars) {
  std::string out = CutChars(utf8, chars);
  std::size_t have = CharCount(out);
  if (have < chars) out.append(chars - have, ' ');
  return out;
}

std::string UpperCp1250(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t pos = 0; pos < utf8.size();) Encode(UpperCodePoint(Decode(utf8, pos)), out);
  return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return UpperCp1250(TrimRight(a)) == UpperCp1250(TrimRight(b));
}

std::string Utf8ToCp1250(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t pos = 0; pos < utf8.size();) {
    char32_t cp = Decode(utf8, pos);
    if (cp < 0x80) {
      out += static_cast<char>(cp);
      continue;
    }
    char byte = '?';
    for (std::size_t i = 0; i < kCp1250High.size(); ++i) {
      if (kCp1250High[i] == cp) {
        byte = static_cast<char>(0x80 + i);
        break;
      }
    }
    out += byte;
  }
  return out;
}

std::string Cp1250ToUtf8(std::string_view cp1250) {
  std::string out;
  out.reserve(cp1250.size() * 2);
  for (char c : cp1250) {
    auto b = static_cast<unsigned char>(c);
    char32_t cp = b < 0x80 ? b : kCp1250High[b - 0x80];
    Encode(cp ? cp : U'?', out);
  }
  return out;
}

}  // namespace verdan::platform
