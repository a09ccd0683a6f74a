// `verdan settings --oauth`: the sign-in for the SMTP login by OAuth 2.0. It takes the
// provider (a preset or "custom" with its own endpoints), runs the device authorisation
// grant — the user opens the address shown and types the code — and keeps the refresh token
// in the credentials file, the endpoints and client id in verdan.env.
//
// Thread-safety: used by the settings command on its one thread.
#pragma once

#include <string>

namespace verdan::cli {

struct OAuthRequest {
  bool given = false;  // --oauth was given
  std::string kind;    // microsoft, google, custom or none
  std::string deviceUrl, tokenUrl, clientId, scope;
  bool hasDeviceUrl = false, hasTokenUrl = false, hasClientId = false, hasScope = false;
  bool secretStdin = false;  // --oauth-client-secret-stdin
};

// Checks the kind and the addresses; false with `problem` set for a usage error.
bool CheckOAuthRequest(const OAuthRequest& request, std::string& problem);

// Signs in (or, for "none", signs out) with the settings of verdan.env completed by the
// request. Prints the address and the code while it waits. Returns the exit status; the
// settings are saved only when the sign-in succeeded.
int RunOAuthSignIn(const OAuthRequest& request);

// The sign-in as the settings listing shows it: "OAUTH=kind" and "TOKEN=spremljen|nema".
void PrintOAuthState();

}  // namespace verdan::cli
