#include "mail/oauth.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/credentials.h"
#include "platform/module.h"
#include "platform/process.h"
#include "platform/profile.h"

namespace verdan::mail {
namespace {

constexpr const char* kProfileFile = "verdan.env";
constexpr const char* kSection = "Email_Postavke";
// Deepest nesting accepted in a JSON answer.
constexpr int kMostJsonDepth = 16;

const OAuthPreset kPresets[] = {
    {"microsoft", "https://login.microsoftonline.com/organizations/oauth2/v2.0/devicecode",
     "https://login.microsoftonline.com/organizations/oauth2/v2.0/token",
     "https://outlook.office.com/SMTP.Send offline_access", "smtp.office365.com", 587},
    {"google", "https://oauth2.googleapis.com/device/code", "https://oauth2.googleapis.com/token",
     "https://mail.google.com/", "smtp.gmail.com", 587},
};

std::string Read(const char* key) {
  std::string v = platform::GetProfileString(kSection, key, "", kProfileFile);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.pop_back();
  std::size_t b = 0;
  while (b < v.size() && (v[b] == ' ' || v[b] == '\t')) ++b;
  return v.substr(b);
}

std::string SignInAgain(const OAuthConfig& config) {
  return "ponovite prijavu: verdan settings --oauth " +
         (config.signIn.empty() ? std::string("microsoft|google|custom") : config.signIn);
}

TokenResult Failed(TokenOutcome outcome, std::string message) {
  TokenResult r;
  r.outcome = outcome;
  r.message = std::move(message);
  return r;
}

// ---- JSON ----------------------------------------------------------------------------------

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : s_(text) {}

  bool Object(std::map<std::string, std::string>& members, std::string& problem) {
    Blanks();
    if (!Take('{')) return Fail("očekivan je JSON objekt", problem);
    Blanks();
    if (!Take('}')) {
      for (;;) {
        std::string key;
        Blanks();
        if (!String(key)) return Fail("neispravan ključ", problem);
        Blanks();
        if (!Take(':')) return Fail("nedostaje ':'", problem);
        Blanks();
        std::string value;
        bool scalar = false;
        if (!Value(value, scalar, 1)) return Fail("neispravna vrijednost ključa " + key, problem);
        if (members.count(key)) return Fail("ključ " + key + " se ponavlja", problem);
        if (scalar) members[key] = value;
        Blanks();
        if (Take(',')) continue;
        if (Take('}')) break;
        return Fail("nedostaje ',' ili '}'", problem);
      }
    }
    Blanks();
    if (pos_ != s_.size()) return Fail("višak teksta iza objekta", problem);
    return true;
  }

 private:
  bool Fail(const std::string& what, std::string& problem) {
    problem = "neispravan JSON (" + what + ", znak " + std::to_string(pos_ + 1) + ")";
    return false;
  }
  void Blanks() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r' || s_[pos_] == '\n'))
      ++pos_;
  }
  bool Take(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool Literal(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }
  static void PutUtf8(std::uint32_t cp, std::string& out) {
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
  bool Hex4(std::uint32_t& v) {
    if (pos_ + 4 > s_.size()) return false;
    v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s_[pos_++];
      v <<= 4;
      if (c >= '0' && c <= '9')
        v |= static_cast<std::uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f')
        v |= static_cast<std::uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        v |= static_cast<std::uint32_t>(c - 'A' + 10);
      else
        return false;
    }
    return true;
  }
  bool String(std::string& out) {
    if (!Take('"')) return false;
    while (pos_ < s_.size()) {
      const unsigned char c = static_cast<unsigned char>(s_[pos_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (pos_ >= s_.size()) return false;
      const char e = s_[pos_++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          std::uint32_t cp = 0;
          if (!Hex4(cp)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            std::uint32_t low = 0;
            if (!Take('\\') || !Take('u') || !Hex4(low) || low < 0xDC00 || low > 0xDFFF)
              return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false;
          }
          if (cp == 0) return false;  // a NUL has no place in a token or a message
          PutUtf8(cp, out);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }
  bool Number(std::string& out) {
    const std::size_t start = pos_;
    Take('-');
    if (Take('0')) {
    } else if (pos_ < s_.size() && s_[pos_] >= '1' && s_[pos_] <= '9') {
      while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    } else {
      return false;
    }
    if (Take('.')) {
      if (pos_ >= s_.size() || !std::isdigit(static_cast<unsigned char>(s_[pos_]))) return false;
      while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    }
    if (Take('e') || Take('E')) {
      if (!Take('+')) Take('-');
      if (pos_ >= s_.size() || !std::isdigit(static_cast<unsigned char>(s_[pos_]))) return false;
      while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    }
    out.assign(s_.substr(start, pos_ - start));
    return true;
  }
  // A value; `scalar` tells whether it is one kept as text (not an array or object).
  bool Value(std::string& out, bool& scalar, int depth) {
    if (depth > kMostJsonDepth) return false;
    scalar = true;
    if (pos_ >= s_.size()) return false;
    const char c = s_[pos_];
    if (c == '"') return String(out);
    if (c == '-' || (c >= '0' && c <= '9')) return Number(out);
    if (Literal("true")) return out = "true", true;
    if (Literal("false")) return out = "false", true;
    if (Literal("null")) return out.clear(), true;
    scalar = false;
    std::string ignored;
    bool inner = false;
    if (Take('[')) {
      Blanks();
      if (Take(']')) return true;
      for (;;) {
        Blanks();
        ignored.clear();
        if (!Value(ignored, inner, depth + 1)) return false;
        Blanks();
        if (Take(',')) continue;
        return Take(']');
      }
    }
    if (Take('{')) {
      Blanks();
      if (Take('}')) return true;
      for (;;) {
        Blanks();
        ignored.clear();
        if (!String(ignored)) return false;
        Blanks();
        if (!Take(':')) return false;
        Blanks();
        ignored.clear();
        if (!Value(ignored, inner, depth + 1)) return false;
        Blanks();
        if (Take(',')) continue;
        return Take('}');
      }
    }
    return false;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
};

// ---- HTTPS -----------------------------------------------------------------------------------

#ifndef VERDAN_HTTPS_LINKED
// The post of the HTTPS module, loaded at the first call and kept for the process; null with
// `problem` set when the module is missing or is not this program's.
HttpsEntry LoadHttps(std::string& problem) {
  static std::mutex mutex;
  static HttpsEntry entry = nullptr;
  std::lock_guard lock(mutex);
  if (entry) return entry;
  const std::string path = platform::FindModule(kHttpsModuleName);
  if (path.empty()) {
    problem = std::string("modul za HTTPS (") + kHttpsModuleName +
              ") nije instaliran ni uz program ni u " + platform::InstalledModuleDirectory();
    return nullptr;
  }
  std::string why;
  void* module = platform::LoadModule(path, why);
  if (!module) {
    problem = "modul za HTTPS " + path + " se ne može učitati (" + why + ")";
    return nullptr;
  }
  entry = reinterpret_cast<HttpsEntry>(platform::ModuleEntry(module, kHttpsEntryName));
  if (!entry) problem = path + " nije modul za HTTPS ovog programa";
  return entry;
}
#endif

// What an endpoint's answer says, as the outcome of a token request. `pending` reports the
// device grant's "try again" answers instead of judging them.
TokenResult JudgeTokenReply(const OAuthConfig& config, const std::string& url,
                            const HttpReply& reply, std::map<std::string, std::string>& members) {
  if (reply.local)
    return Failed(TokenOutcome::kPermanent, "Zahtjev za prijavu ne može se poslati: " +
                                                reply.error + ". Ponovo instalirajte program");
  if (reply.status == 0)
    return Failed(TokenOutcome::kTemporary, "Poslužitelj za prijavu (" + url +
                                                ") nije odgovorio: " + reply.error +
                                                ". Provjerite mrežu");
  std::string problem;
  const bool json = ParseJsonObject(reply.body, members, problem);
  if (json && members.count("error")) {
    const std::string error = members["error"];
    std::string said = error;
    if (!members["error_description"].empty()) {
      std::string d = members["error_description"];
      if (d.size() > 300) d.resize(300);
      for (char& ch : d)
        if (ch == '\r' || ch == '\n') ch = ' ';
      said += ": " + d;
    }
    if (error == "invalid_grant")
      return Failed(TokenOutcome::kPermanent,
                    "Spremljena prijava više ne vrijedi (opozvana ili istekla; " + said + "); " +
                        SignInAgain(config));
    if (error == "invalid_client" || error == "unauthorized_client")
      return Failed(TokenOutcome::kPermanent,
                    "Poslužitelj za prijavu ne prihvaća aplikaciju (client id " + config.clientId +
                        "; " + said + "). Provjerite --oauth-client-id i " + SignInAgain(config));
    if (error == "temporarily_unavailable" || error == "server_error")
      return Failed(TokenOutcome::kTemporary,
                    "Poslužitelj za prijavu trenutno ne radi (" + said + ")");
    return Failed(TokenOutcome::kPermanent,
                  "Poslužitelj za prijavu odbio je zahtjev (" + said + "); " + SignInAgain(config));
  }
  if (reply.status >= 500 || reply.status == 429)
    return Failed(TokenOutcome::kTemporary,
                  "Poslužitelj za prijavu javlja grešku HTTP " + std::to_string(reply.status));
  if (reply.status != 200)
    return Failed(TokenOutcome::kPermanent, "Poslužitelj za prijavu odgovorio je HTTP " +
                                                std::to_string(reply.status) + "; " +
                                                SignInAgain(config));
  if (!json)
    return Failed(TokenOutcome::kPermanent,
                  "Odgovor poslužitelja za prijavu nije ispravan: " + problem);
  TokenResult ok;
  ok.outcome = TokenOutcome::kOk;
  return ok;
}

// The access token of a successful token answer, checked.
TokenResult TakeTokens(std::map<std::string, std::string>& members) {
  const std::string& access = members["access_token"];
  std::string type = members["token_type"];
  for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (access.empty())
    return Failed(TokenOutcome::kPermanent, "Poslužitelj za prijavu nije dao pristupni token");
  if (!type.empty() && type != "bearer")
    return Failed(TokenOutcome::kPermanent, "Poslužitelj za prijavu dao je token vrste " +
                                                members["token_type"] + " (očekivan Bearer)");
  for (unsigned char c : access)
    if (c <= ' ' || c >= 0x7F)
      return Failed(TokenOutcome::kPermanent, "Pristupni token sadrži nedopuštene znakove");
  for (unsigned char c : members["refresh_token"])
    if (c <= ' ' || c >= 0x7F)
      return Failed(TokenOutcome::kPermanent, "Token za obnovu sadrži nedopuštene znakove");
  TokenResult r;
  r.outcome = TokenOutcome::kOk;
  r.accessToken = access;
  r.refreshToken = members["refresh_token"];
  return r;
}

std::vector<std::pair<std::string, std::string>> WithClient(
    const OAuthConfig& config, std::vector<std::pair<std::string, std::string>> form) {
  form.emplace_back("client_id", config.clientId);
  if (!config.clientSecret.empty()) form.emplace_back("client_secret", config.clientSecret);
  return form;
}

bool CheckEndpoints(const OAuthConfig& config, bool device, TokenResult& result) {
  std::string missing;
  if (config.clientId.empty()) missing = "client id (--oauth-client-id)";
  if (config.tokenUrl.empty()) missing = "adresa za tokene (--oauth-token-url)";
  if (device && config.deviceUrl.empty())
    missing = "adresa za prijavu uređaja (--oauth-device-url)";
  if (device && config.scope.empty()) missing = "opseg (--oauth-scope)";
  if (missing.empty()) return true;
  result = Failed(TokenOutcome::kPermanent,
                  "Prijava tokenom nije potpuno postavljena: nedostaje " + missing);
  return false;
}

// ---- the secret store ----------------------------------------------------------------------

// The program's credentials file (platform/credentials.h).
class CredentialsFileStore : public SecretStore {
 public:
  bool Load(const std::string& key, std::string& value, bool& found,
            std::string& problem) override {
    return platform::ReadSecret(platform::kCredentialsFile, key, value, found, problem);
  }
  bool Store(const std::string& key, const std::string& value, std::string& problem) override {
    return platform::WriteSecret(platform::kCredentialsFile, key, value, problem);
  }
};

}  // namespace

SecretStore& ProgramSecrets() {
  static CredentialsFileStore store;
  return store;
}

const OAuthPreset* FindOAuthPreset(const std::string& name) {
  for (const OAuthPreset& p : kPresets)
    if (name == p.name) return &p;
  return nullptr;
}

OAuthConfig LoadOAuthConfig() {
  OAuthConfig c;
  c.signIn = Read("OAuth");
  for (char& ch : c.signIn) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  c.deviceUrl = Read("OAuthDeviceUrl");
  c.tokenUrl = Read("OAuthTokenUrl");
  c.clientId = Read("OAuthClientId");
  c.scope = Read("OAuthScope");
  c.tokenCommand = Read("TokenCommand");
  c.caFile = Read("CAFile");
  if (const OAuthPreset* p = FindOAuthPreset(c.signIn)) {
    if (c.deviceUrl.empty()) c.deviceUrl = p->deviceUrl;
    if (c.tokenUrl.empty()) c.tokenUrl = p->tokenUrl;
    if (c.scope.empty()) c.scope = p->scope;
  }
  return c;
}

void SaveOAuthConfig(const OAuthConfig& c) {
  platform::WriteProfileString(kSection, "OAuth", c.signIn, kProfileFile);
  platform::WriteProfileString(kSection, "OAuthDeviceUrl", c.deviceUrl, kProfileFile);
  platform::WriteProfileString(kSection, "OAuthTokenUrl", c.tokenUrl, kProfileFile);
  platform::WriteProfileString(kSection, "OAuthClientId", c.clientId, kProfileFile);
  platform::WriteProfileString(kSection, "OAuthScope", c.scope, kProfileFile);
}

std::string LoadRetryPausesText() { return Read("RetryPauses"); }

bool ParseRetryPauses(const std::string& text, std::vector<int>& pauses, std::string& problem) {
  pauses = kDefaultRetryPauses;
  std::string t;
  for (char c : text)
    if (c != ' ' && c != '\t') t += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (t.empty()) return true;
  if (t == "0" || t == "ne" || t == "no") {
    pauses.clear();
    return true;
  }
  std::vector<int> parsed;
  std::size_t pos = 0;
  while (pos <= t.size()) {
    std::size_t end = t.find(',', pos);
    if (end == std::string::npos) end = t.size();
    const std::string item = t.substr(pos, end - pos);
    if (item.empty() || item.size() > 5 ||
        item.find_first_not_of("0123456789") != std::string::npos || std::stoi(item) < 1 ||
        std::stoi(item) > 86400 || parsed.size() >= 10) {
      problem =
          "RetryPauses traži do 10 stanki u sekundama (1-86400) odvojenih zarezom, ili 0: " + text;
      return false;
    }
    parsed.push_back(std::stoi(item));
    pos = end + 1;
  }
  pauses = parsed;
  return true;
}

bool ParseJsonObject(std::string_view text, std::map<std::string, std::string>& members,
                     std::string& problem) {
  members.clear();
  JsonReader reader(text);
  if (reader.Object(members, problem)) return true;
  members.clear();
  return false;
}

HttpReply PostForm(const std::string& url, const Form& form, const std::string& caFile) {
  HttpReply reply;
  if (url.rfind("https://", 0) != 0) {
    reply.error = "adresa ne počinje s https://";
    return reply;
  }
#ifdef VERDAN_HTTPS_LINKED
  return CurlPostForm(url, form, caFile);
#else
  const HttpsEntry post = LoadHttps(reply.error);
  if (post)
    post(url, form, caFile, reply);
  else
    reply.local = true;
  return reply;
#endif
}

TokenResult RefreshAccessToken(const OAuthConfig& config, const std::string& refreshToken) {
  TokenResult result;
  if (!CheckEndpoints(config, false, result)) return result;
  std::vector<std::pair<std::string, std::string>> form = {{"grant_type", "refresh_token"},
                                                           {"refresh_token", refreshToken}};
  if (!config.scope.empty()) form.emplace_back("scope", config.scope);
  const HttpReply reply = PostForm(config.tokenUrl, WithClient(config, form), config.caFile);
  std::map<std::string, std::string> members;
  result = JudgeTokenReply(config, config.tokenUrl, reply, members);
  if (result.outcome != TokenOutcome::kOk) return result;
  return TakeTokens(members);
}

TokenResult ObtainAccessToken(const OAuthConfig& config, SecretStore& secrets) {
  if (!config.tokenCommand.empty()) return RunTokenCommand(config.tokenCommand);
  std::string refresh;
  std::string problem;
  bool found = false;
  OAuthConfig withSecret = config;
  if (!secrets.Load(kRefreshTokenSecret, refresh, found, problem))
    return Failed(TokenOutcome::kPermanent, problem);
  if (!found || refresh.empty())
    return Failed(TokenOutcome::kPermanent,
                  "Nema spremljene prijave tokenom; " + SignInAgain(config));
  std::string secret;
  bool haveSecret = false;
  if (!secrets.Load(kClientSecretSecret, secret, haveSecret, problem))
    return Failed(TokenOutcome::kPermanent, problem);
  if (haveSecret) withSecret.clientSecret = secret;
  TokenResult result = RefreshAccessToken(withSecret, refresh);
  if (result.outcome == TokenOutcome::kOk && !result.refreshToken.empty() &&
      result.refreshToken != refresh &&
      !secrets.Store(kRefreshTokenSecret, result.refreshToken, problem)) {
    // The old refresh token may already be void; without the new one the next send fails.
    return Failed(TokenOutcome::kPermanent,
                  "Novi token za obnovu nije spremljen (" + problem + "); " + SignInAgain(config));
  }
  return result;
}

TokenResult StartDeviceAuthorization(const OAuthConfig& config, DeviceAuthorization& device) {
  TokenResult result;
  if (!CheckEndpoints(config, true, result)) return result;
  const HttpReply reply = PostForm(
      config.deviceUrl, {{"client_id", config.clientId}, {"scope", config.scope}}, config.caFile);
  std::map<std::string, std::string> members;
  result = JudgeTokenReply(config, config.deviceUrl, reply, members);
  if (result.outcome != TokenOutcome::kOk) return result;
  device.deviceCode = members["device_code"];
  device.userCode = members["user_code"];
  // Some providers name the address "verification_url".
  device.verificationUri = !members["verification_uri"].empty() ? members["verification_uri"]
                                                                : members["verification_url"];
  device.verificationUriComplete = members["verification_uri_complete"];
  auto seconds = [&](const char* key, int fallback, int most) {
    const std::string& v = members[key];
    if (v.empty() || v.size() > 6 || v.find_first_not_of("0123456789") != std::string::npos)
      return fallback;
    return std::clamp(std::stoi(v), 1, most);
  };
  device.interval = seconds("interval", 5, 60);
  device.expiresIn = seconds("expires_in", 900, 3600);
  if (device.deviceCode.empty() || device.userCode.empty() || device.verificationUri.empty())
    return Failed(TokenOutcome::kPermanent,
                  "Poslužitelj za prijavu nije dao kod uređaja i adresu za prijavu");
  result.outcome = TokenOutcome::kOk;
  return result;
}

TokenResult PollDeviceAuthorization(const OAuthConfig& config, const DeviceAuthorization& device,
                                    const std::function<bool(std::chrono::seconds)>& wait) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(device.expiresIn);
  int interval = device.interval;
  int unanswered = 0;
  for (;;) {
    if (!wait(std::chrono::seconds(interval)))
      return Failed(TokenOutcome::kPermanent, "Prijava je prekinuta");
    if (std::chrono::steady_clock::now() > deadline)
      return Failed(
          TokenOutcome::kPermanent,
          "Kod za prijavu je istekao prije nego što je prijava dovršena; " + SignInAgain(config));
    const HttpReply reply =
        PostForm(config.tokenUrl,
                 WithClient(config, {{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"},
                                     {"device_code", device.deviceCode}}),
                 config.caFile);
    std::map<std::string, std::string> members;
    std::string problem;
    if (reply.status != 0 && ParseJsonObject(reply.body, members, problem)) {
      const std::string& error = members["error"];
      if (error == "authorization_pending") continue;
      if (error == "slow_down") {
        interval = std::min(interval + 5, 120);
        continue;
      }
      if (error == "expired_token")
        return Failed(TokenOutcome::kPermanent,
                      "Kod za prijavu je istekao; " + SignInAgain(config));
      if (error == "access_denied")
        return Failed(TokenOutcome::kPermanent,
                      "Prijava je odbijena (access_denied); " + SignInAgain(config));
    }
    TokenResult result = JudgeTokenReply(config, config.tokenUrl, reply, members);
    if (result.outcome == TokenOutcome::kTemporary && ++unanswered < 3) continue;
    if (result.outcome != TokenOutcome::kOk) return result;
    result = TakeTokens(members);
    if (result.outcome == TokenOutcome::kOk && result.refreshToken.empty())
      return Failed(TokenOutcome::kPermanent,
                    "Poslužitelj za prijavu nije dao token za obnovu (refresh token); opseg mora "
                    "uključiti offline_access");
    return result;
  }
}

bool SplitCommand(const std::string& command, std::vector<std::string>& argv,
                  std::string& problem) {
  argv.clear();
  std::string word;
  bool inWord = false;
  char quote = 0;
  for (char c : command) {
    if (quote) {
      if (c == quote)
        quote = 0;
      else
        word += c;
    } else if (c == '\'' || c == '"') {
      quote = c;
      inWord = true;
    } else if (c == ' ' || c == '\t') {
      if (inWord) argv.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (quote) {
    problem = "TokenCommand: navodnik nije zatvoren";
    return false;
  }
  if (inWord) argv.push_back(word);
  if (argv.empty()) {
    problem = "TokenCommand je prazan";
    return false;
  }
  return true;
}

TokenResult RunTokenCommand(const std::string& command, std::chrono::seconds limit) {
  std::vector<std::string> argv;
  std::string problem;
  if (!SplitCommand(command, argv, problem)) return Failed(TokenOutcome::kPermanent, problem);
  platform::CapturedRun run = platform::RunCapturingOutput(argv, limit, kMostReplyBytes);
  if (run.noPipe) return Failed(TokenOutcome::kTemporary, "TokenCommand: nema cijevi");
  if (run.spawnError != 0)
    return Failed(TokenOutcome::kPermanent, "TokenCommand se ne može pokrenuti (" + argv[0] + ": " +
                                                std::strerror(run.spawnError) + ")");
  if (run.timedOut)
    return Failed(TokenOutcome::kTemporary, "TokenCommand nije završio u " +
                                                std::to_string(limit.count()) + " s; prekinut je");
  if (run.tooLong)
    return Failed(TokenOutcome::kPermanent, "TokenCommand ispisuje više od " +
                                                std::to_string(kMostReplyBytes) +
                                                " bajtova; prekinut je");
  if (!run.exited || run.exitStatus != 0)
    return Failed(TokenOutcome::kPermanent,
                  "TokenCommand nije uspio (" +
                      (run.exited ? "izlazni status " + std::to_string(run.exitStatus)
                                  : std::string("prekinut signalom")) +
                      ")");
  const std::string& output = run.output;
  std::string token = output.substr(0, output.find('\n'));
  while (!token.empty() && (token.back() == '\r' || token.back() == ' ' || token.back() == '\t'))
    token.pop_back();
  std::size_t b = 0;
  while (b < token.size() && (token[b] == ' ' || token[b] == '\t')) ++b;
  token.erase(0, b);
  if (token.empty()) return Failed(TokenOutcome::kPermanent, "TokenCommand nije ispisao token");
  for (unsigned char c : token)
    if (c <= ' ' || c >= 0x7F)
      return Failed(TokenOutcome::kPermanent, "Token iz TokenCommand sadrži nedopuštene znakove");
  TokenResult r;
  r.outcome = TokenOutcome::kOk;
  r.accessToken = token;
  return r;
}

}  // namespace verdan::mail
