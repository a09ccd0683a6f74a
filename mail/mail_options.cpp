#include "mail/mail_options.h"

#include <cctype>

#include "mail/net_email_send.h"
#include "platform/profile.h"

namespace verdan::mail {
namespace {

constexpr const char* kProfileFile = "verdan.env";
constexpr const char* kSection = "Email_Postavke";

std::string Normalised(const std::string& text) {
  std::size_t b = 0;
  std::size_t e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
  std::string s = text.substr(b, e - b);
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A yes/no value: 1/0, da/ne, yes/no, true/false; anything else is the default.
bool ParseFlag(const std::string& text, bool defaultValue) {
  const std::string s = Normalised(text);
  if (s == "1" || s == "da" || s == "yes" || s == "true") return true;
  if (s == "0" || s == "ne" || s == "no" || s == "false") return false;
  return defaultValue;
}

std::string Read(const char* key) {
  return platform::GetProfileString(kSection, key, "", kProfileFile);
}

}  // namespace

bool ParseTlsMode(const std::string& text, TlsMode& mode) {
  const std::string s = Normalised(text);
  if (s == "none") {
    mode = TlsMode::kNone;
  } else if (s == "starttls") {
    mode = TlsMode::kStartTls;
  } else if (s == "implicit") {
    mode = TlsMode::kImplicit;
  } else if (s == "cleartext") {
    mode = TlsMode::kCleartext;
  } else {
    return false;
  }
  return true;
}

const char* TlsModeName(TlsMode mode) {
  switch (mode) {
    case TlsMode::kStartTls:
      return "starttls";
    case TlsMode::kImplicit:
      return "implicit";
    case TlsMode::kCleartext:
      return "cleartext";
    case TlsMode::kNone:
      break;
  }
  return "none";
}

std::string InvalidTlsText(const std::string& value) {
  return "Nepoznata vrijednost TLS=" + value +
         " u verdan.env (dopušteno: none, starttls, implicit, cleartext); e-mail nije poslan.";
}

std::uint16_t PortForTls(std::uint16_t port, TlsMode mode, bool explicitPort) {
  if (explicitPort || port != 25 || mode == TlsMode::kNone || mode == TlsMode::kCleartext)
    return port;
  return mode == TlsMode::kImplicit ? 465 : 587;
}

MailOptions LoadMailOptions() {
  MailOptions o;
  const std::string tls = Read("TLS");
  if (!Normalised(tls).empty() && !ParseTlsMode(tls, o.tls)) o.invalidTls = Normalised(tls);
  std::string ca = Read("CAFile");
  while (!ca.empty() && ca.back() == ' ') ca.pop_back();
  o.caFile = ca;
  o.splitOversize = ParseFlag(Read("Split"), false);
  o.encodeHeaders = ParseFlag(Read("EncodeHeaders"), false);
  return o;
}

void SaveMailOptions(const MailOptions& options) {
  platform::WriteProfileString(kSection, "TLS", TlsModeName(options.tls), kProfileFile);
  platform::WriteProfileString(kSection, "CAFile", options.caFile, kProfileFile);
  platform::WriteProfileString(kSection, "Split", options.splitOversize ? "1" : "0", kProfileFile);
  platform::WriteProfileString(kSection, "EncodeHeaders", options.encodeHeaders ? "1" : "0",
                               kProfileFile);
}

void ApplyMailOptions(NetEmailSend& email, const MailOptions& options) {
  email.OPTIONSTLS = options.tls;
  email.OPTIONSTLSCAFILE = options.caFile;
  email.OPTIONSSPLITOVERSIZE = options.splitOversize ? 1 : 0;
  email.OPTIONSENCODEHEADERS = options.encodeHeaders ? 1 : 0;
}

}  // namespace verdan::mail
