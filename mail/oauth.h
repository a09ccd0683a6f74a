// OAuth 2.0 sign-in for the SMTP login: the client side of the token endpoint (refresh-token
// grant and device authorisation grant, over HTTPS through libcurl with the server's
// certificate verified), a token command for sites that already run a token helper, the
// settings of the sign-in in verdan.env, and a narrow store for the secrets it keeps (the
// refresh token, a client secret).
//
// A send never keeps an access token: each one trades the stored refresh token for a fresh
// access token, and stores the new refresh token when the provider hands out another one.
// Outcomes say whether a failure is temporary (no answer, a server error: worth another try
// later) or permanent (the grant was refused or revoked: the user has to sign in again).
//
// Thread-safety: the functions may be called from any thread; libcurl is initialised once
// per process. A SecretStore is used by one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mail/https_post.h"

namespace verdan::mail {

// Named secrets, kept where only the program's user can read them.
class SecretStore {
 public:
  virtual ~SecretStore() = default;
  // True when the store could be read: `found` says whether it holds `key`. False, with
  // `problem` set, when the store cannot be trusted or read.
  virtual bool Load(const std::string& key, std::string& value, bool& found,
                    std::string& problem) = 0;
  // Sets `key` to `value`, keeping the other secrets; false, with `problem` set, on failure.
  virtual bool Store(const std::string& key, const std::string& value, std::string& problem) = 0;
};

// The program's credentials file in the working directory.
SecretStore& ProgramSecrets();

inline constexpr const char* kRefreshTokenSecret = "oauth.refresh_token";
inline constexpr const char* kClientSecretSecret = "oauth.client_secret";

// The sign-in as set up with `verdan settings --oauth`, from section "Email_Postavke" of
// verdan.env: "OAuth" (microsoft, google or custom; blank: none), "OAuthDeviceUrl",
// "OAuthTokenUrl", "OAuthClientId", "OAuthScope", "TokenCommand".
struct OAuthConfig {
  std::string signIn;
  std::string deviceUrl;
  std::string tokenUrl;
  std::string clientId;
  std::string scope;
  std::string tokenCommand;
  std::string clientSecret;  // not in verdan.env: from the secret store
  std::string caFile;        // private CA bundle for the HTTPS endpoints; blank: the system's

  // Whether a send logs in with a token rather than a password.
  bool Enabled() const { return !signIn.empty() || !tokenCommand.empty(); }
};

// A provider's endpoints, scope and SMTP server.
struct OAuthPreset {
  const char* name;
  const char* deviceUrl;
  const char* tokenUrl;
  const char* scope;
  const char* server;
  std::uint16_t port;  // with STARTTLS
};
// The preset called `name` ("microsoft", "google"); nullptr for any other.
const OAuthPreset* FindOAuthPreset(const std::string& name);

OAuthConfig LoadOAuthConfig();
void SaveOAuthConfig(const OAuthConfig& config);

// The pauses between the tries of an unattended send, from "RetryPauses" in verdan.env
// (seconds, comma-separated; "0" or "ne": no further tries). False, with `problem` set, for
// a value that is not such a list; `pauses` then holds the default.
bool ParseRetryPauses(const std::string& text, std::vector<int>& pauses, std::string& problem);
std::string LoadRetryPausesText();
inline const std::vector<int> kDefaultRetryPauses = {60, 300, 900};

// A flat JSON object (what token endpoints answer): its members whose values are strings,
// numbers or literals, as text; nested arrays and objects are checked and skipped. False,
// with `problem` set, for anything that is not one well-formed object.
bool ParseJsonObject(std::string_view text, std::map<std::string, std::string>& members,
                     std::string& problem);

enum class TokenOutcome {
  kOk,
  kTemporary,  // worth another try later: no answer, a server error
  kPermanent,  // refused or malformed: the sign-in must be repeated or the settings fixed
};

struct TokenResult {
  TokenOutcome outcome = TokenOutcome::kPermanent;
  std::string accessToken;
  std::string refreshToken;  // a new one when the provider rotated it
  std::string message;       // Croatian, for the user, when not kOk
};

// One HTTPS POST of a form (https_post.h), through the HTTPS module where there is one.
HttpReply PostForm(const std::string& url, const Form& form, const std::string& caFile);

// Trades `refreshToken` for an access token.
TokenResult RefreshAccessToken(const OAuthConfig& config, const std::string& refreshToken);

// The access token for a send: from the token command when one is set, else by the refresh
// grant with the stored refresh token, storing the rotated refresh token in `secrets`.
TokenResult ObtainAccessToken(const OAuthConfig& config, SecretStore& secrets);

// The device authorisation grant. `Start` asks for a device and user code; `Poll` then asks
// the token endpoint at the given interval (longer after slow_down) until the user has
// signed in, refused, or the code expired. `wait` spends the pause between two requests and
// returns false when the sign-in is to be abandoned.
struct DeviceAuthorization {
  std::string deviceCode;
  std::string userCode;
  std::string verificationUri;
  std::string verificationUriComplete;
  int interval = 5;
  int expiresIn = 900;
};
TokenResult StartDeviceAuthorization(const OAuthConfig& config, DeviceAuthorization& device);
TokenResult PollDeviceAuthorization(const OAuthConfig& config, const DeviceAuthorization& device,
                                    const std::function<bool(std::chrono::seconds)>& wait);

// Splits a token command into its arguments: blanks separate them; '…' or "…" keep blanks
// inside one argument (the quotes are removed; there is no other escape). False, with
// `problem` set, for an unterminated quote or an empty command.
bool SplitCommand(const std::string& command, std::vector<std::string>& argv, std::string& problem);

// Runs a token command without a shell. Its first output line is the access token; it has
// `limit` to finish and at most 64 KB of output.
TokenResult RunTokenCommand(const std::string& command,
                            std::chrono::seconds limit = std::chrono::seconds(60));

}  // namespace verdan::mail
