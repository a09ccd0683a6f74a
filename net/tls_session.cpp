#include "net/tls_session.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// Before OpenSSL's headers, which take back the names wincrypt.h defines (X509_NAME, ...).
#include <wincrypt.h>

#include "platform/wide.h"
#else
#include <arpa/inet.h>
#endif
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstring>

#include "platform/files.h"

namespace verdan::net {
namespace {

// The oldest error OpenSSL queued on this thread, as text; the queue is emptied.
std::string TakeOpenSslError() {
  std::string text;
  unsigned long e = 0;
  while ((e = ERR_get_error()) != 0) {
    if (!text.empty()) continue;  // the first one tells the cause
    char buffer[256];
    ERR_error_string_n(e, buffer, sizeof buffer);
    text = buffer;
  }
  return text;
}

#ifdef _WIN32
// The certificates the system trusts: OpenSSL's default paths name a directory of the build
// machine here, so the roots come from the system's own store.
bool LoadSystemRoots(SSL_CTX* ctx) {
  HCERTSTORE system = ::CertOpenSystemStoreW(0, L"ROOT");
  if (!system) return false;
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  int loaded = 0;
  for (PCCERT_CONTEXT c = ::CertEnumCertificatesInStore(system, nullptr); c;
       c = ::CertEnumCertificatesInStore(system, c)) {
    const unsigned char* der = c->pbCertEncoded;
    X509* x = d2i_X509(nullptr, &der, static_cast<long>(c->cbCertEncoded));
    if (!x) continue;
    if (X509_STORE_add_cert(store, x) == 1) ++loaded;
    X509_free(x);
  }
  ::CertCloseStore(system, 0);
  ERR_clear_error();  // duplicates in the store are not an error
  return loaded > 0;
}
#else
bool LoadSystemRoots(SSL_CTX* ctx) { return SSL_CTX_set_default_verify_paths(ctx) == 1; }
#endif

bool IsAddress(const std::string& host) {
  unsigned char buffer[16];
  return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// What a refused certificate means for the user.
const char* VerifyMeaning(long verify) {
  switch (verify) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return "certifikat nije izdan za ime ni adresu zadanog poslužitelja";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return "certifikat nije izdalo tijelo (CA) kojem se vjeruje";
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return "certifikatu je istekao rok valjanosti";
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return "certifikat još ne vrijedi";
    default:
      return "certifikat nije valjan";
  }
}

}  // namespace

struct TlsSession::Handles {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  BIO* in = nullptr;   // owned by ssl once attached
  BIO* out = nullptr;  // likewise
  ~Handles() {
    if (ssl) SSL_free(ssl);  // frees both BIOs
    if (ctx) SSL_CTX_free(ctx);
  }
};

TlsSession::TlsSession() : h_(std::make_unique<Handles>()) {}
TlsSession::~TlsSession() = default;

std::shared_ptr<TlsContext> TlsContext::Create(const std::string& caFile, std::string& error) {
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) {
    error = TakeOpenSslError();
    return nullptr;
  }
  std::shared_ptr<TlsContext> context(new TlsContext);
  context->ctx_ = ctx;  // freed with the context from here on
  context->caFile_ = caFile;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  if (caFile.empty()) {
    if (!LoadSystemRoots(ctx)) {
      error = "sistemski certifikati se ne mogu učitati (" + TakeOpenSslError() + ")";
      return nullptr;
    }
  } else {
    platform::FileInfo info;
    if (!platform::InfoAt(caFile, info) || info.kind != platform::FileKind::kRegular) {
      error = "datoteka s certifikatima (" + caFile + ") ne postoji";
      return nullptr;
    }
    if (SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1) {
      error = "datoteka s certifikatima (" + caFile + ") se ne može učitati (" +
              TakeOpenSslError() + ")";
      return nullptr;
    }
  }
  return context;
}

TlsContext::~TlsContext() { SSL_CTX_free(static_cast<SSL_CTX*>(ctx_)); }

std::unique_ptr<TlsSession> TlsSession::Create(const Settings& settings, std::string& error,
                                               std::shared_ptr<TlsContext> context) {
  ERR_clear_error();
  if (settings.hostName.empty()) {
    error = "nije zadano ime poslužitelja za provjeru certifikata";
    return nullptr;
  }
  if (!context || context->caFile() != settings.caFile) {
    context = TlsContext::Create(settings.caFile, error);
    if (!context) return nullptr;
  }
  std::unique_ptr<TlsSession> s(new TlsSession);
  Handles& h = *s->h_;
  h.ctx = static_cast<SSL_CTX*>(context->ctx_);
  SSL_CTX_up_ref(h.ctx);  // the session holds the context as long as it lives
  h.ssl = SSL_new(h.ctx);
  h.in = BIO_new(BIO_s_mem());
  h.out = BIO_new(BIO_s_mem());
  if (!h.ssl || !h.in || !h.out) {
    if (h.in && !h.ssl) BIO_free(h.in);
    if (h.out && !h.ssl) BIO_free(h.out);
    error = TakeOpenSslError();
    return nullptr;
  }
  // An empty input asks for more instead of reading as the end of the stream.
  BIO_set_mem_eof_return(h.in, -1);
  BIO_set_mem_eof_return(h.out, -1);
  SSL_set_bio(h.ssl, h.in, h.out);
  SSL_set_connect_state(h.ssl);
  X509_VERIFY_PARAM* param = SSL_get0_param(h.ssl);
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  bool named = false;
  if (IsAddress(settings.hostName)) {
    named = X509_VERIFY_PARAM_set1_ip_asc(param, settings.hostName.c_str()) == 1;
  } else {
    named = SSL_set1_host(h.ssl, settings.hostName.c_str()) == 1 &&
            SSL_set_tlsext_host_name(h.ssl, settings.hostName.c_str()) == 1;
  }
  if (!named) {
    error = "ime poslužitelja (" + settings.hostName + ") ne može se koristiti za provjeru (" +
            TakeOpenSslError() + ")";
    return nullptr;
  }
  return s;
}

bool TlsSession::PutCiphertext(const std::uint8_t* data, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const int n = static_cast<int>(std::min<std::size_t>(length - done, INT_MAX));
    const int w = BIO_write(h_->in, data + done, n);
    if (w <= 0) return false;
    done += static_cast<std::size_t>(w);
  }
  return true;
}

std::size_t TlsSession::PendingCiphertext() const { return BIO_ctrl_pending(h_->out); }

std::size_t TlsSession::TakeCiphertext(std::uint8_t* out, std::size_t max) {
  const int n = BIO_read(h_->out, out, static_cast<int>(std::min<std::size_t>(max, INT_MAX)));
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

void TlsSession::Fail(int sslError) {
  const long verify = SSL_get_verify_result(h_->ssl);
  std::string queued = TakeOpenSslError();
  if (verify != X509_V_OK) {
    certificateRejected_ = true;
    failure_ =
        std::string(VerifyMeaning(verify)) + " (" + X509_verify_cert_error_string(verify) + ")";
  } else if (!queued.empty()) {
    failure_ = queued;
  } else if (sslError == SSL_ERROR_SYSCALL || sslError == SSL_ERROR_ZERO_RETURN) {
    failure_ = "the server ended the secure connection unexpectedly";
  } else {
    failure_ = "TLS error " + std::to_string(sslError);
  }
}

TlsSession::Handshake TlsSession::ContinueHandshake() {
  if (established_) return Handshake::kDone;
  if (!failure_.empty()) return Handshake::kFailed;
  ERR_clear_error();
  const int r = SSL_do_handshake(h_->ssl);
  if (r == 1) {
    established_ = true;
    return Handshake::kDone;
  }
  const int e = SSL_get_error(h_->ssl, r);
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return Handshake::kInProgress;
  Fail(e);
  return Handshake::kFailed;
}

int TlsSession::ReadPlaintext(std::uint8_t* out, std::size_t max) {
  if (!established_ || !failure_.empty()) return failure_.empty() ? 0 : -1;
  ERR_clear_error();
  std::size_t got = 0;
  if (SSL_read_ex(h_->ssl, out, max, &got) == 1) return static_cast<int>(got);
  const int e = SSL_get_error(h_->ssl, 0);
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_ZERO_RETURN) return 0;
  Fail(e);
  return -1;
}

bool TlsSession::WritePlaintext(const std::uint8_t* data, std::size_t length) {
  if (!established_ || !failure_.empty()) return false;
  ERR_clear_error();
  std::size_t done = 0;
  while (done < length) {
    std::size_t written = 0;
    if (SSL_write_ex(h_->ssl, data + done, length - done, &written) != 1) {
      Fail(SSL_get_error(h_->ssl, 0));
      return false;
    }
    done += written;
  }
  return true;
}

void TlsSession::Shutdown() {
  if (!established_ || !failure_.empty()) return;
  ERR_clear_error();
  SSL_shutdown(h_->ssl);
  ERR_clear_error();
}

std::string TlsSession::Description() const {
  if (!established_) return {};
  return std::string(SSL_get_version(h_->ssl)) + " " + SSL_get_cipher_name(h_->ssl);
}

}  // namespace verdan::net
