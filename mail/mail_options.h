// The e-mail settings beyond the settings record: how the connection to the SMTP server is
// secured, which CA bundle verifies it, whether an attachment too big for the server is split
// over several messages, and whether headers are encoded so that messages stay 7-bit.
//
// They live in section "Email_Postavke" of verdan.env under the keys "TLS"
// (none|starttls|implicit|cleartext), "CAFile", "Split" and "EncodeHeaders" (1 or 0); a missing or
// unknown value reads as the default. The send command and the e-mail windows load them,
// let the user override them, and hand them to their NetEmailSend with ApplyMailOptions.
//
// Thread-safety: the functions may be called from any thread (profile access is serialised).
#pragma once

#include <cstdint>
#include <string>

namespace verdan::mail {

class NetEmailSend;

// How the connection to the server is secured.
enum class TlsMode {
  kNone,       // plain SMTP while no password is sent; a password goes out only after the
               // STARTTLS the server offers (certificate verified), never in clear
  kStartTls,   // plain connection, then STARTTLS before anything else (usually port 587)
  kImplicit,   // TLS from the first byte (usually port 465)
  kCleartext,  // plain SMTP, the password in clear too: only when the user chose it
};

struct MailOptions {
  TlsMode tls = TlsMode::kNone;
  std::string caFile;          // private CA bundle; empty = the system store
  bool splitOversize = false;  // split an attachment too big for the server's SIZE
  bool encodeHeaders = false;  // RFC 2047/2231 headers, message stays 7-bit
  // A "TLS" value that is none of the three, as written. Nothing is sent while it stands:
  // a misspelt "starttls" must not quietly mean a connection in clear.
  std::string invalidTls;
};

// The program's text for an unknown "TLS" value in verdan.env.
std::string InvalidTlsText(const std::string& value);

// The port to connect to: `port`, except that the settings' default 25 with TLS asked for
// becomes the port providers use for that kind of secured submission (465 implicit, 587
// STARTTLS), unless the port was given explicitly.
std::uint16_t PortForTls(std::uint16_t port, TlsMode mode, bool explicitPort);

// "none", "starttls", "implicit" or "cleartext" (any case, blanks around ignored); false
// otherwise, with `mode` unchanged.
bool ParseTlsMode(const std::string& text, TlsMode& mode);
const char* TlsModeName(TlsMode mode);

// Reads the options from verdan.env in the working directory.
MailOptions LoadMailOptions();
// Writes all four keys.
void SaveMailOptions(const MailOptions& options);

// Sets the object's properties for these options (call after Init).
void ApplyMailOptions(NetEmailSend& email, const MailOptions& options);

}  // namespace verdan::mail
