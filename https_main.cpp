// The HTTPS client of the OAuth sign-in: a form posted with libcurl. Built as the module
// verdan-https.so where libcurl is a shared library (loaded at the first post, so that the
// program's other work never loads libcurl and what it needs), and linked into the program
// where libcurl is a static library.
#include <curl/curl.h>

#include <pthread.h>
#include <signal.h>

#include <mutex>
#include <string>

#include "mail/https_post.h"

namespace verdan::mail {
namespace {

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Collected {
  std::string body;
  bool tooLong = false;
};

size_t Collect(char* data, size_t size, size_t count, void* user) {
  auto* c = static_cast<Collected*>(user);
  const size_t n = size * count;
  if (c->body.size() + n > kMostReplyBytes) {
    c->tooLong = true;
    return 0;  // ends the transfer
  }
  c->body.append(data, n);
  return n;
}

std::string Escaped(CURL* curl, const std::string& text) {
  char* e = curl_easy_escape(curl, text.data(), static_cast<int>(text.size()));
  std::string out = e ? e : "";
  curl_free(e);
  return out;
}

}  // namespace

HttpReply CurlPostForm(const std::string& url, const Form& form, const std::string& caFile) {
  HttpReply reply;
  InitCurlOnce();
  CURL* curl = curl_easy_init();
  if (!curl) {
    reply.error = "libcurl se ne može pokrenuti";
    return reply;
  }
  std::string body;
  for (const auto& [name, value] : form) {
    if (!body.empty()) body += '&';
    body += Escaped(curl, name) + "=" + Escaped(curl, value);
  }
  Collected collected;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  curl_slist* headers = curl_slist_append(nullptr, "Accept: application/json");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, kRequestSeconds);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &collected);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "verdan");
  CURLcode rc;
#ifdef SIGPIPE
  // Without signals (the program has threads), libcurl leaves SIGPIPE alone: a peer that
  // closes while TLS writes must not end the program, so the signal is held for this thread
  // and a pending one dropped afterwards.
  sigset_t pipeSignal;
  sigset_t previous;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  rc = curl_easy_perform(curl);
  if (!sigismember(&previous, SIGPIPE)) {
    timespec none{};
    while (sigtimedwait(&pipeSignal, nullptr, &none) == SIGPIPE) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
#else
  // No such signal on Windows: a peer's close is a failed write there.
  rc = curl_easy_perform(curl);
#endif
  if (rc == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    reply.body = std::move(collected.body);
  } else if (collected.tooLong) {
    reply.error = "odgovor je dulji od " + std::to_string(kMostReplyBytes) + " bajtova";
  } else {
    reply.error = errorBuffer[0] ? errorBuffer : curl_easy_strerror(rc);
    if (rc == CURLE_PEER_FAILED_VERIFICATION || rc == CURLE_SSL_CACERT_BADFILE)
      reply.error = "certifikat poslužitelja nije prihvaćen (" + reply.error + ")";
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return reply;
}

}  // namespace verdan::mail

#ifdef VERDAN_HTTPS_MODULE
extern "C" __attribute__((visibility("default"))) void verdan_https_post_form(
    const std::string& url, const verdan::mail::Form& form, const std::string& caFile,
    verdan::mail::HttpReply& reply) {
  reply = verdan::mail::CurlPostForm(url, form, caFile);
}
#endif
