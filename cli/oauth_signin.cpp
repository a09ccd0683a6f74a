#include "cli/oauth_signin.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>
#include <tuple>

#include "cli/commands.h"
#include "mail/mail_options.h"
#include "mail/oauth.h"

namespace verdan::cli {
namespace {

bool IsHttps(const std::string& url) { return url.rfind("https://", 0) == 0 && url.size() > 8; }

}  // namespace

bool CheckOAuthRequest(const OAuthRequest& r, std::string& problem) {
  if (!r.given) {
    if (r.hasDeviceUrl || r.hasTokenUrl || r.hasClientId || r.hasScope || r.secretStdin) {
      problem = "opcije --oauth-... idu uz --oauth microsoft|google|custom";
      return false;
    }
    return true;
  }
  if (r.kind != "microsoft" && r.kind != "google" && r.kind != "custom" && r.kind != "none") {
    problem = "--oauth traži microsoft, google, custom ili none";
    return false;
  }
  for (const auto& [has, url, name] :
       {std::tuple{r.hasDeviceUrl, r.deviceUrl, "--oauth-device-url"},
        std::tuple{r.hasTokenUrl, r.tokenUrl, "--oauth-token-url"}}) {
    if (has && !IsHttps(url)) {
      problem = std::string(name) + " traži adresu https://...";
      return false;
    }
  }
  return true;
}

int RunOAuthSignIn(const OAuthRequest& r) {
  mail::OAuthConfig config = mail::LoadOAuthConfig();
  std::string problem;
  if (r.kind == "none") {
    config.signIn.clear();
    mail::SaveOAuthConfig(config);
    if (!mail::ProgramSecrets().Store(mail::kRefreshTokenSecret, "", problem)) {
      std::fprintf(stderr, "verdan settings: %s\n", problem.c_str());
      return kExitMessage;
    }
    return kExitOk;
  }
  // A preset's addresses unless others are given; a switch of provider keeps neither the
  // previous one's addresses nor its client id (an application is registered with one). A
  // first sign-in takes what verdan.env already holds.
  const mail::OAuthPreset* preset = mail::FindOAuthPreset(r.kind);
  if (r.kind != config.signIn && !config.signIn.empty()) {
    config.deviceUrl = preset ? preset->deviceUrl : "";
    config.tokenUrl = preset ? preset->tokenUrl : "";
    config.scope = preset ? preset->scope : "";
    config.clientId.clear();
  } else if (preset && r.kind != config.signIn) {
    config.deviceUrl = preset->deviceUrl;
    config.tokenUrl = preset->tokenUrl;
    config.scope = preset->scope;
  }
  config.signIn = r.kind;
  if (r.hasDeviceUrl) config.deviceUrl = r.deviceUrl;
  if (r.hasTokenUrl) config.tokenUrl = r.tokenUrl;
  if (r.hasClientId) config.clientId = r.clientId;
  if (r.hasScope) config.scope = r.scope;
  config.caFile = mail::LoadMailOptions().caFile;

  // The client secret (Google's device grant needs one): from standard input or the
  // environment, else the one kept from an earlier sign-in.
  std::string secret;
  bool haveSecret = false;
  if (r.secretStdin) {
    if (!std::getline(std::cin, secret) || secret.empty()) {
      std::fprintf(
          stderr,
          "verdan settings: --oauth-client-secret-stdin: na standardnom ulazu nema tajne\n");
      return kExitUsage;
    }
    while (!secret.empty() && (secret.back() == '\r' || secret.back() == '\n')) secret.pop_back();
    haveSecret = true;
  } else if (const char* env = std::getenv("VERDAN_OAUTH_CLIENT_SECRET"); env && *env) {
    secret = env;
    haveSecret = true;
  } else {
    bool found = false;
    if (!mail::ProgramSecrets().Load(mail::kClientSecretSecret, secret, found, problem)) {
      std::fprintf(stderr, "verdan settings: %s\n", problem.c_str());
      return kExitMessage;
    }
  }
  config.clientSecret = secret;

  mail::DeviceAuthorization device;
  mail::TokenResult result = mail::StartDeviceAuthorization(config, device);
  if (result.outcome == mail::TokenOutcome::kOk) {
    std::printf("Za prijavu otvorite %s i upišite kod %s\n", device.verificationUri.c_str(),
                device.userCode.c_str());
    if (!device.verificationUriComplete.empty())
      std::printf("(ili otvorite izravno %s)\n", device.verificationUriComplete.c_str());
    std::printf("Čekam prijavu (najviše %d s)...\n", device.expiresIn);
    std::fflush(stdout);
    result = mail::PollDeviceAuthorization(config, device, [](std::chrono::seconds s) {
      std::this_thread::sleep_for(s);
      return true;
    });
  }
  if (result.outcome != mail::TokenOutcome::kOk) {
    std::fprintf(stderr, "verdan settings: %s\n", result.message.c_str());
    return kExitMessage;
  }
  if (!mail::ProgramSecrets().Store(mail::kRefreshTokenSecret, result.refreshToken, problem) ||
      (haveSecret && !mail::ProgramSecrets().Store(mail::kClientSecretSecret, secret, problem))) {
    std::fprintf(stderr, "verdan settings: prijava nije spremljena: %s\n", problem.c_str());
    return kExitMessage;
  }
  // Keys equal to the preset's stay blank, so that they follow the preset.
  if (preset) {
    if (config.deviceUrl == preset->deviceUrl) config.deviceUrl.clear();
    if (config.tokenUrl == preset->tokenUrl) config.tokenUrl.clear();
    if (config.scope == preset->scope) config.scope.clear();
  }
  mail::SaveOAuthConfig(config);
  std::printf("Prijava tokenom je spremljena.\n");
  return kExitOk;
}

void PrintOAuthState() {
  const mail::OAuthConfig config = mail::LoadOAuthConfig();
  std::string token;
  std::string problem;
  bool found = false;
  const bool read = mail::ProgramSecrets().Load(mail::kRefreshTokenSecret, token, found, problem);
  std::printf("OAUTH=%s\nTOKEN=%s\n", config.signIn.c_str(),
              !config.tokenCommand.empty() ? "TokenCommand"
              : (read && !token.empty())   ? "spremljen"
                                           : "nema");
}

}  // namespace verdan::cli
