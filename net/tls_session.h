// TlsSession: the client side of one TLS connection, worked entirely in memory.
//
// The session never touches a socket. Bytes that arrived from the server are handed to
// `PutCiphertext`; bytes the session wants to send (handshake messages, encrypted data,
// alerts) are taken with `TakeCiphertext` and sent by the caller over its own connection.
// This keeps the network object's packet path and event model as they are: TLS sits between
// the object and the socket layer's packets.
//
// The server's certificate is verified against the system's trusted certificates, or against
// a private CA bundle when one is named, and must be issued for the host name (or the IP
// address) the connection was opened to. The handshake fails otherwise, and no application
// data can be written before it has succeeded.
//
// Thread-safety: none. A session belongs to the thread of the object that owns it; a
// TlsContext may be built on another thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace verdan::net {

// The trust a session starts from: the library set up and the trusted certificates (the
// system's, or a private CA bundle) loaded. Building it is most of the time a session takes
// to start (the library's first use, the system's store), so it can be built ahead, on any
// thread, and handed to TlsSession::Create; once built it is only read and may be shared.
class TlsContext {
 public:
  // Null on failure, with the reason in `error` (the texts TlsSession::Create gives).
  static std::shared_ptr<TlsContext> Create(const std::string& caFile, std::string& error);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;
  const std::string& caFile() const { return caFile_; }

 private:
  friend class TlsSession;
  TlsContext() = default;
  void* ctx_ = nullptr;  // the library's context
  std::string caFile_;
};

class TlsSession {
 public:
  struct Settings {
    std::string hostName;  // the name or dotted address the certificate must be issued for
    std::string caFile;    // PEM bundle of trusted CAs; empty: the system store
  };

  // Progress of the handshake.
  enum class Handshake { kInProgress, kDone, kFailed };

  // Creates a client session. On failure (a CA file that cannot be read, no memory) returns
  // null and puts the reason in `error`. A `context` built ahead for the same CA file is
  // used instead of building one; any other is passed over.
  static std::unique_ptr<TlsSession> Create(const Settings& settings, std::string& error,
                                            std::shared_ptr<TlsContext> context = nullptr);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // Bytes received from the server. False when the session cannot take them (no memory).
  bool PutCiphertext(const std::uint8_t* data, std::size_t length);
  // Bytes waiting to be sent to the server, and taking up to `max` of them (returns the
  // number copied into `out`).
  std::size_t PendingCiphertext() const;
  std::size_t TakeCiphertext(std::uint8_t* out, std::size_t max);

  // Starts or continues the handshake with what has arrived so far. On kFailed,
  // `FailureText` says why and `CertificateRejected` tells a refused certificate from other
  // failures; an alert for the server may be waiting in the ciphertext.
  Handshake ContinueHandshake();
  bool Established() const { return established_; }

  // Decrypted bytes: > 0 bytes copied into `out`, 0 when nothing (more) can be read now or
  // the server closed the TLS layer, -1 on a failure of the session (see FailureText).
  int ReadPlaintext(std::uint8_t* out, std::size_t max);
  // Encrypts `length` bytes; the records are then waiting as ciphertext. Only after the
  // handshake; false on a failure of the session.
  bool WritePlaintext(const std::uint8_t* data, std::size_t length);
  // Puts the closing alert into the ciphertext (nothing when not established).
  void Shutdown();

  const std::string& FailureText() const { return failure_; }
  bool CertificateRejected() const { return certificateRejected_; }
  // "TLSv1.3 TLS_AES_256_GCM_SHA384" once established.
  std::string Description() const;

 private:
  struct Handles;
  TlsSession();
  void Fail(int sslError);

  std::unique_ptr<Handles> h_;
  bool established_ = false;
  bool certificateRejected_ = false;
  std::string failure_;
};

}  // namespace verdan::net
