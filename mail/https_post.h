// One HTTPS POST of a form, made with libcurl: the transport of the OAuth sign-in.
//
// libcurl and the many libraries it needs (LDAP, Kerberos, a second TLS library, ...) cost
// every start of the program several milliseconds when they are loaded with it, and only the
// sign-in uses them. So where libcurl is a shared library the post lives in a module of its
// own, verdan-https.so (https_main.cpp), found beside the program or in its module directory
// and loaded at the first post; `PostForm` (oauth.h) calls it through `kHttpsEntryName`. Where
// libcurl is linked into the program (Windows) `CurlPostForm` is called directly.
//
// Thread-safety: may be called from any thread; libcurl is initialised once per process.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace verdan::mail {

// `status` is 0 when no HTTP answer came (`error` says why, in Croatian or in libcurl's words).
struct HttpReply {
  long status = 0;
  std::string body;
  std::string error;
  bool local = false;  // the request never left: this program cannot make HTTPS requests
};

using Form = std::vector<std::pair<std::string, std::string>>;

// Most bytes taken from a token endpoint's answer (and from a token command's output).
constexpr std::size_t kMostReplyBytes = 64 * 1024;
constexpr long kConnectSeconds = 20;
constexpr long kRequestSeconds = 60;

// The post itself: `url` must be https://; the server's certificate is verified against the
// system's trust or `caFile` when it is set.
HttpReply CurlPostForm(const std::string& url, const Form& form, const std::string& caFile);

constexpr const char* kHttpsModuleName = "verdan-https.so";
constexpr const char* kHttpsEntryName = "verdan_https_post_form";
// The module's entry: `CurlPostForm` into `reply`. The module is built by the same compiler
// from the same sources as the program, so the standard library's types may cross.
using HttpsEntry = void (*)(const std::string& url, const Form& form, const std::string& caFile,
                            HttpReply& reply);

}  // namespace verdan::mail
