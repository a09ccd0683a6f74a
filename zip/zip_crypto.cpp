#include "zip/zip_crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <zlib.h>

#ifdef VERDAN_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "platform/files.h"
#include "zip/checksum.h"

namespace verdan::archive {
namespace {

constexpr int kIterations = 1000;
constexpr std::size_t kBlock = 16;
// Counter blocks encrypted per call of the cipher: large enough that the hardware's
// pipelined AES instructions stay busy.
constexpr std::size_t kBatchBlocks = 512;
constexpr std::size_t kHmacBytes = 20;
constexpr std::size_t kMaxKey = 32;
constexpr std::size_t kTraditionalHeader = 12;

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

const EVP_CIPHER* EcbOf(std::size_t keyBytes) {
  switch (keyBytes) {
    case 16:
      return EVP_aes_128_ecb();
    case 24:
      return EVP_aes_192_ecb();
    case 32:
      return EVP_aes_256_ecb();
  }
  return nullptr;
}

// HMAC-SHA1 through the crypto library's MAC interface.
class HmacSha1 {
 public:
  HmacSha1() = default;
  ~HmacSha1() {
    if (ctx_ != nullptr) EVP_MAC_CTX_free(ctx_);
    if (mac_ != nullptr) EVP_MAC_free(mac_);
  }
  HmacSha1(const HmacSha1&) = delete;
  HmacSha1& operator=(const HmacSha1&) = delete;

  bool Init(const std::uint8_t* key, std::size_t n) {
    if (mac_ == nullptr) mac_ = EVP_MAC_fetch(nullptr, OSSL_MAC_NAME_HMAC, nullptr);
    if (mac_ == nullptr) return false;
    if (ctx_ != nullptr) EVP_MAC_CTX_free(ctx_);
    ctx_ = EVP_MAC_CTX_new(mac_);
    if (ctx_ == nullptr) return false;
    char digest[] = "SHA1";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_END};
    return EVP_MAC_init(ctx_, key, n, params) == 1;
  }
  bool Update(const std::uint8_t* p, std::size_t n) {
    return n == 0 || (ctx_ != nullptr && EVP_MAC_update(ctx_, p, n) == 1);
  }
  bool Final(std::uint8_t* out) {
    std::size_t len = 0;
    return ctx_ != nullptr && EVP_MAC_final(ctx_, out, &len, kHmacBytes) == 1 && len == kHmacBytes;
  }

 private:
  EVP_MAC* mac_ = nullptr;
  EVP_MAC_CTX* ctx_ = nullptr;
};

// Derives AES key, HMAC key and verifier from the password and salt. `keyBytes` 16..32.
bool DeriveKeys(const std::string& password, const std::uint8_t* salt, std::size_t saltBytes,
                std::size_t keyBytes, std::uint8_t* out) {
  return PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()), salt,
                                static_cast<int>(saltBytes), kIterations,
                                static_cast<int>(2 * keyBytes + kAesVerifierBytes), out) == 1;
}

// The traditional PKWARE stream cipher, decrypting.
class TraditionalCipher {
 public:
  explicit TraditionalCipher(const std::string& password) {
    for (unsigned char c : password) Update(c);
  }
  void Decrypt(std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      std::uint16_t t = static_cast<std::uint16_t>(keys_[2] | 2);
      p[i] = static_cast<std::uint8_t>(p[i] ^ static_cast<std::uint8_t>((t * (t ^ 1)) >> 8));
      Update(p[i]);
    }
  }

 private:
  static std::uint32_t Crc1(std::uint32_t crc, std::uint8_t b) {
    static const auto table = [] {
      std::array<std::uint32_t, 256> t{};
      for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xedb88320u : c >> 1;
        t[i] = c;
      }
      return t;
    }();
    return table[(crc ^ b) & 0xff] ^ (crc >> 8);
  }
  void Update(std::uint8_t c) {
    keys_[0] = Crc1(keys_[0], c);
    keys_[1] = (keys_[1] + (keys_[0] & 0xff)) * 134775813u + 1;
    keys_[2] = Crc1(keys_[2], static_cast<std::uint8_t>(keys_[1] >> 24));
  }
  std::uint32_t keys_[3] = {0x12345678u, 0x23456789u, 0x34567890u};
};

// Decodes the data beneath the encryption (stored or deflated) into `out`, handing full
// buffers to the sink; counts and checksums what it hands over.
class PlainDecoder {
 public:
  PlainDecoder(std::uint16_t method, std::uint8_t* out, std::size_t room, const PlainSink& sink)
      : method_(method), out_(out), room_(room), sink_(sink) {}
  ~PlainDecoder() {
    if (open_) ::inflateEnd(&zs_);
  }
  PlainDecoder(const PlainDecoder&) = delete;
  PlainDecoder& operator=(const PlainDecoder&) = delete;

  CryptoCheck Start() {
    if (method_ == 0) return CryptoCheck::kOk;
    if (method_ != 8) return CryptoCheck::kUnsupported;
    open_ = ::inflateInit2(&zs_, -MAX_WBITS) == Z_OK;
    return open_ ? CryptoCheck::kOk : CryptoCheck::kNoMemory;
  }

  // Takes the next decrypted bytes; `limit` is the most plaintext the entry may have.
  CryptoCheck Feed(const std::uint8_t* p, std::size_t n, std::uint64_t limit) {
    if (method_ == 0) {
      while (n > 0) {
        std::size_t take = std::min(n, room_ - held_);
        std::memcpy(out_ + held_, p, take);
        held_ += take;
        p += take;
        n -= take;
        if (CryptoCheck c = Hand(held_ == room_, limit); c != CryptoCheck::kOk) return c;
      }
      return CryptoCheck::kOk;
    }
    zs_.next_in = const_cast<Bytef*>(p);
    zs_.avail_in = static_cast<uInt>(n);
    while (!ended_) {
      zs_.next_out = out_ + held_;
      zs_.avail_out = static_cast<uInt>(room_ - held_);
      int r = ::inflate(&zs_, Z_NO_FLUSH);
      held_ = room_ - zs_.avail_out;
      if (r == Z_STREAM_END)
        ended_ = true;
      else if (r != Z_OK && r != Z_BUF_ERROR)
        return CryptoCheck::kDamaged;
      const bool full = held_ == room_;
      if (CryptoCheck c = Hand(full, limit); c != CryptoCheck::kOk) return c;
      // A full buffer may leave more output pending; else all input taken means more is needed.
      if (!full && (zs_.avail_in == 0 || r == Z_BUF_ERROR)) break;
    }
    // Data after the end of the stream is damage.
    return ended_ && zs_.avail_in > 0 ? CryptoCheck::kDamaged : CryptoCheck::kOk;
  }

  // The input has ended: hands the rest over. Damaged when the stream did not end.
  CryptoCheck Finish(std::uint64_t limit) {
    if (method_ == 8 && !ended_) {
      if (CryptoCheck c = Feed(nullptr, 0, limit); c != CryptoCheck::kOk) return c;
      if (!ended_) return CryptoCheck::kDamaged;
    }
    return Hand(true, limit);
  }

  std::uint64_t total() const { return total_; }
  std::uint32_t crc() const { return crc_; }

 private:
  CryptoCheck Hand(bool now, std::uint64_t limit) {
    if (!now || held_ == 0) return CryptoCheck::kOk;
    if (total_ + held_ > limit) return CryptoCheck::kDamaged;  // larger than it says
    crc_ = Crc(crc_, out_, held_);
    total_ += held_;
    std::size_t n = held_;
    held_ = 0;
    return sink_(out_, n) ? CryptoCheck::kOk : CryptoCheck::kSinkStopped;
  }

  std::uint16_t method_;
  std::uint8_t* out_;
  std::size_t room_;
  const PlainSink& sink_;
  z_stream zs_{};
  bool open_ = false;
  bool ended_ = false;
  std::size_t held_ = 0;
  std::uint64_t total_ = 0;
  std::uint32_t crc_ = 0;
};

CryptoCheck ReadAes(int fd, std::uint64_t dataOffset, std::uint64_t stored,
                    const EntryEncryption& how, const std::string& password, std::uint8_t* in,
                    std::uint8_t* out, std::size_t bufferBytes, const PlainSink& sink,
                    std::uint32_t* crc) {
  const std::size_t saltBytes = AesEntryKeys::SaltBytes(how.aesStrength);
  if (saltBytes == 0 || (how.aesVersion != 1 && how.aesVersion != 2))
    return CryptoCheck::kUnsupported;
  const std::size_t prefixBytes = saltBytes + kAesVerifierBytes;
  if (stored < prefixBytes + kAesCodeBytes) return CryptoCheck::kDamaged;
  std::uint8_t prefix[16 + kAesVerifierBytes];
  if (!platform::ReadAllAt(fd, prefix, prefixBytes, dataOffset)) return CryptoCheck::kReadFailed;
  if (password.empty()) return CryptoCheck::kBadPassword;
  AesEntryKeys keys;
  if (CryptoCheck c = keys.Derive(password, how.aesStrength, prefix); c != CryptoCheck::kOk)
    return c;

  // First pass: the authentication code over every encrypted byte, before any is used.
  const std::uint64_t start = dataOffset + prefixBytes;
  const std::uint64_t length = stored - prefixBytes - kAesCodeBytes;
  std::uint8_t code[kAesCodeBytes];
  if (!platform::ReadAllAt(fd, code, sizeof code, start + length)) return CryptoCheck::kReadFailed;
  const bool fits = length <= bufferBytes;
  for (std::uint64_t at = 0; at < length;) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bufferBytes, length - at));
    if (!platform::ReadAllAt(fd, in, n, start + at)) return CryptoCheck::kReadFailed;
    if (!keys.Authenticate(in, n)) return CryptoCheck::kNoMemory;
    at += n;
  }
  if (!keys.CodeMatches(code)) return CryptoCheck::kAuthFailed;

  // Second pass: decrypt and decode. An entry that fits the buffer is still in it.
  AesCtr ctr;
  if (!ctr.Init(keys.Key(), keys.KeyBytes())) return CryptoCheck::kNoMemory;
  const std::uint16_t method = how.method == kAesMethod ? how.aesMethod : how.method;
#ifdef VERDAN_HAVE_LIBDEFLATE
  // Deflated data that fits the buffers whole is decoded in one step, as plain entries are.
  if (fits && method == 8 && how.size <= bufferBytes && how.size > 0) {
    if (!ctr.Apply(0, in, in, static_cast<std::size_t>(length))) return CryptoCheck::kNoMemory;
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    if (d == nullptr) return CryptoCheck::kNoMemory;
    std::size_t produced = 0;
    const libdeflate_result r =
        libdeflate_deflate_decompress(d, in, static_cast<std::size_t>(length), out,
                                      static_cast<std::size_t>(how.size), &produced);
    libdeflate_free_decompressor(d);
    if (r != LIBDEFLATE_SUCCESS || produced != how.size) return CryptoCheck::kDamaged;
    const std::uint32_t plain = Crc(0, out, produced);
    if (how.aesVersion == 1 && plain != how.crc) return CryptoCheck::kDamaged;
    if (!sink(out, produced)) return CryptoCheck::kSinkStopped;
    if (crc != nullptr) *crc = plain;
    return CryptoCheck::kOk;
  }
#endif
  PlainDecoder decoder(method, out, bufferBytes, sink);
  if (CryptoCheck c = decoder.Start(); c != CryptoCheck::kOk) return c;
  for (std::uint64_t at = 0; at < length;) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bufferBytes, length - at));
    if (!fits && !platform::ReadAllAt(fd, in, n, start + at)) return CryptoCheck::kReadFailed;
    if (!ctr.Apply(at, in, in, n)) return CryptoCheck::kNoMemory;
    if (CryptoCheck c = decoder.Feed(in, n, how.size); c != CryptoCheck::kOk) return c;
    at += n;
  }
  if (CryptoCheck c = decoder.Finish(how.size); c != CryptoCheck::kOk) return c;
  if (decoder.total() != how.size) return CryptoCheck::kDamaged;
  // Version 1 carries the CRC of the plaintext as well; version 2 leaves it 0.
  if (how.aesVersion == 1 && decoder.crc() != how.crc) return CryptoCheck::kDamaged;
  if (crc != nullptr) *crc = decoder.crc();
  return CryptoCheck::kOk;
}

// Decrypts an entry's 12-byte header, leaving `cipher` at its data: whether its last byte
// repeats the check, the CRC's top byte (with sizes and CRC after the data, flag bit 3, the
// top byte of the modification time).
bool HeaderChecks(TraditionalCipher& cipher, std::uint8_t* header, const EntryEncryption& how) {
  cipher.Decrypt(header, kTraditionalHeader);
  const std::uint8_t check = (how.flags & 0x08) ? static_cast<std::uint8_t>(how.dosTime >> 8)
                                                : static_cast<std::uint8_t>(how.crc >> 24);
  return header[kTraditionalHeader - 1] == check;
}

CryptoCheck ReadTraditional(int fd, std::uint64_t dataOffset, std::uint64_t stored,
                            const EntryEncryption& how, const std::string& password,
                            std::uint8_t* in, std::uint8_t* out, std::size_t bufferBytes,
                            const PlainSink& sink, std::uint32_t* crc) {
  if (stored < kTraditionalHeader) return CryptoCheck::kDamaged;
  std::uint8_t header[kTraditionalHeader];
  if (!platform::ReadAllAt(fd, header, sizeof header, dataOffset)) return CryptoCheck::kReadFailed;
  if (password.empty()) return CryptoCheck::kBadPassword;
  TraditionalCipher cipher(password);
  if (!HeaderChecks(cipher, header, how)) return CryptoCheck::kBadPassword;

  PlainDecoder decoder(how.method, out, bufferBytes, sink);
  if (CryptoCheck c = decoder.Start(); c != CryptoCheck::kOk) return c;
  const std::uint64_t start = dataOffset + kTraditionalHeader;
  const std::uint64_t length = stored - kTraditionalHeader;
  for (std::uint64_t at = 0; at < length;) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bufferBytes, length - at));
    if (!platform::ReadAllAt(fd, in, n, start + at)) return CryptoCheck::kReadFailed;
    cipher.Decrypt(in, n);
    if (CryptoCheck c = decoder.Feed(in, n, how.size); c != CryptoCheck::kOk) return c;
    at += n;
  }
  if (CryptoCheck c = decoder.Finish(how.size); c != CryptoCheck::kOk) return c;
  if (decoder.total() != how.size || decoder.crc() != how.crc) return CryptoCheck::kDamaged;
  if (crc != nullptr) *crc = decoder.crc();
  return CryptoCheck::kOk;
}

}  // namespace

void ParseAesExtra(const std::uint8_t* extra, std::size_t n, EntryEncryption& e) {
  for (std::size_t k = 0; k + 4 <= n;) {
    std::size_t id = Le16(extra + k), len = Le16(extra + k + 2);
    if (k + 4 + len > n) break;
    if (id == kAesExtraId && len >= kAesExtraSize && extra[k + 6] == 'A' && extra[k + 7] == 'E') {
      e.aesVersion = Le16(extra + k + 4);
      e.aesStrength = extra[k + 8];
      e.aesMethod = Le16(extra + k + 9);
    }
    k += 4 + len;
  }
}

// ---- counter mode ----------------------------------------------------------------------

struct AesCtr::State {
  EVP_CIPHER_CTX* ctx = nullptr;
  std::uint8_t counters[kBatchBlocks * kBlock];
  std::uint8_t stream[kBatchBlocks * kBlock];
};

AesCtr::AesCtr() : s_(std::make_unique<State>()) {}
AesCtr::~AesCtr() {
  if (s_->ctx != nullptr) EVP_CIPHER_CTX_free(s_->ctx);
  OPENSSL_cleanse(s_->stream, sizeof s_->stream);
}

bool AesCtr::Init(const std::uint8_t* key, std::size_t keyBytes) {
  const EVP_CIPHER* cipher = EcbOf(keyBytes);
  if (cipher == nullptr) return false;
  if (s_->ctx == nullptr) s_->ctx = EVP_CIPHER_CTX_new();
  if (s_->ctx == nullptr) return false;
  std::memset(s_->counters, 0, sizeof s_->counters);
  return EVP_EncryptInit_ex(s_->ctx, cipher, nullptr, key, nullptr) == 1 &&
         EVP_CIPHER_CTX_set_padding(s_->ctx, 0) == 1;
}

bool AesCtr::Apply(std::uint64_t offset, const std::uint8_t* in, std::uint8_t* out, std::size_t n) {
  while (n > 0) {
    const std::uint64_t block = offset / kBlock;
    const std::size_t skip = static_cast<std::size_t>(offset % kBlock);
    const std::size_t blocks = std::min(kBatchBlocks, (skip + n + kBlock - 1) / kBlock);
    for (std::size_t b = 0; b < blocks; ++b) {
      std::uint64_t counter = block + b + 1;  // the first block's counter is 1
      std::uint8_t* c = s_->counters + b * kBlock;
      for (int i = 0; i < 8; ++i) c[i] = static_cast<std::uint8_t>(counter >> (8 * i));
    }
    int len = 0;
    if (EVP_EncryptUpdate(s_->ctx, s_->stream, &len, s_->counters,
                          static_cast<int>(blocks * kBlock)) != 1 ||
        len != static_cast<int>(blocks * kBlock))
      return false;
    const std::size_t take = std::min(n, blocks * kBlock - skip);
    const std::uint8_t* k = s_->stream + skip;
    for (std::size_t i = 0; i < take; ++i) out[i] = static_cast<std::uint8_t>(in[i] ^ k[i]);
    in += take;
    out += take;
    n -= take;
    offset += take;
  }
  return true;
}

// ---- the keys of one entry -------------------------------------------------------------

struct AesEntryKeys::State {
  std::uint8_t derived[2 * kMaxKey + kAesVerifierBytes] = {};
  std::size_t keyBytes = 0;
  HmacSha1 hmac;
};

AesEntryKeys::AesEntryKeys() : s_(std::make_unique<State>()) {}
AesEntryKeys::~AesEntryKeys() { OPENSSL_cleanse(s_->derived, sizeof s_->derived); }

std::size_t AesEntryKeys::SaltBytes(int strength) {
  return strength >= 1 && strength <= 3 ? static_cast<std::size_t>(4 + 4 * strength) : 0;
}

CryptoCheck AesEntryKeys::Derive(const std::string& password, int strength,
                                 const std::uint8_t* prefix) {
  const std::size_t saltBytes = SaltBytes(strength);
  if (saltBytes == 0) return CryptoCheck::kUnsupported;
  s_->keyBytes = 8 + 8 * static_cast<std::size_t>(strength);
  if (!DeriveKeys(password, prefix, saltBytes, s_->keyBytes, s_->derived))
    return CryptoCheck::kNoMemory;
  if (std::memcmp(s_->derived + 2 * s_->keyBytes, prefix + saltBytes, kAesVerifierBytes) != 0)
    return CryptoCheck::kBadPassword;
  return s_->hmac.Init(s_->derived + s_->keyBytes, s_->keyBytes) ? CryptoCheck::kOk
                                                                 : CryptoCheck::kNoMemory;
}

CryptoCheck AesEntryKeys::Adopt(const std::uint8_t* derived, const std::uint8_t* verifier) {
  s_->keyBytes = 32;
  std::memcpy(s_->derived, derived, kAes256Derived);
  if (std::memcmp(s_->derived + 2 * s_->keyBytes, verifier, kAesVerifierBytes) != 0)
    return CryptoCheck::kBadPassword;
  return s_->hmac.Init(s_->derived + s_->keyBytes, s_->keyBytes) ? CryptoCheck::kOk
                                                                 : CryptoCheck::kNoMemory;
}

const std::uint8_t* AesEntryKeys::Key() const { return s_->derived; }
std::size_t AesEntryKeys::KeyBytes() const { return s_->keyBytes; }

bool AesEntryKeys::Authenticate(const std::uint8_t* data, std::size_t n) {
  return s_->hmac.Update(data, n);
}

bool AesEntryKeys::CodeMatches(const std::uint8_t* code) {
  std::uint8_t full[kHmacBytes];
  return s_->hmac.Final(full) && CRYPTO_memcmp(full, code, kAesCodeBytes) == 0;
}

// ---- writing ---------------------------------------------------------------------------

struct AesEntryEncryptor::State {
  std::uint8_t prefix[16 + kAesVerifierBytes] = {};
  std::uint8_t derived[2 * kMaxKey + kAesVerifierBytes] = {};
  AesCtr ctr;
  HmacSha1 hmac;
  std::uint64_t offset = 0;
};

AesEntryEncryptor::AesEntryEncryptor() : s_(std::make_unique<State>()) {}
AesEntryEncryptor::~AesEntryEncryptor() { OPENSSL_cleanse(s_->derived, sizeof s_->derived); }

bool AesEntryEncryptor::Begin(const std::string& password) {
  constexpr std::size_t kSalt = 16, kKey = 32;
  s_->offset = 0;
  if (RAND_bytes(s_->prefix, kSalt) != 1) return false;
  if (!DeriveKeys(password, s_->prefix, kSalt, kKey, s_->derived)) return false;
  std::memcpy(s_->prefix + kSalt, s_->derived + 2 * kKey, kAesVerifierBytes);
  return s_->ctr.Init(s_->derived, kKey) && s_->hmac.Init(s_->derived + kKey, kKey);
}

const std::uint8_t* AesEntryEncryptor::Prefix() const { return s_->prefix; }
const std::uint8_t* AesEntryEncryptor::DerivedKeys() const { return s_->derived; }
std::size_t AesEntryEncryptor::PrefixBytes() { return 16 + kAesVerifierBytes; }

bool AesEntryEncryptor::Encrypt(const std::uint8_t* in, std::uint8_t* out, std::size_t n) {
  if (!s_->ctr.Apply(s_->offset, in, out, n) || !s_->hmac.Update(out, n)) return false;
  s_->offset += n;
  return true;
}

bool AesEntryEncryptor::Finish(std::uint8_t* code) {
  std::uint8_t full[kHmacBytes];
  if (!s_->hmac.Final(full)) return false;
  std::memcpy(code, full, kAesCodeBytes);
  return true;
}

// ---- reading ---------------------------------------------------------------------------

CryptoCheck ReadEncryptedEntry(int fd, std::uint64_t dataOffset, std::uint64_t stored,
                               const EntryEncryption& how, const std::string& password,
                               std::uint8_t* in, std::uint8_t* out, std::size_t bufferBytes,
                               const PlainSink& sink, std::uint32_t* crc) {
  if (!how.encrypted || bufferBytes == 0) return CryptoCheck::kUnsupported;
  // Bit 6 marks the strong encryption of another maker, which this reader does not know.
  if (how.flags & 0x40) return CryptoCheck::kUnsupported;
  if (how.method == kAesMethod)
    return ReadAes(fd, dataOffset, stored, how, password, in, out, bufferBytes, sink, crc);
  return ReadTraditional(fd, dataOffset, stored, how, password, in, out, bufferBytes, sink, crc);
}

bool TraditionalCheckPasses(int fd, std::uint64_t dataOffset, std::uint64_t stored,
                            const EntryEncryption& how, const std::string& password) {
  if (!how.encrypted || how.method == kAesMethod || stored < kTraditionalHeader || password.empty())
    return false;
  std::uint8_t header[kTraditionalHeader];
  if (!platform::ReadAllAt(fd, header, sizeof header, dataOffset)) return false;
  TraditionalCipher cipher(password);
  return HeaderChecks(cipher, header, how);
}

}  // namespace verdan::archive
