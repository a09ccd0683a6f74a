// Encrypted ZIP entries: AES in the form zip tools share (a salt and a two-byte password
// verifier before the data, the data in AES counter mode with a little-endian counter, ten
// bytes of HMAC-SHA1 over the encrypted data after it; extra field 0x9901 names the key
// size and the real method), and the traditional PKWARE stream cipher for reading archives
// made elsewhere.
//
// Entries are written with AES-256, version 2 (no CRC in the headers: the authentication
// code stands for it). Reading accepts AES-128/192/256 of both versions and the traditional
// cipher. An AES entry's authentication code is checked over all its stored bytes before a
// byte of its plaintext reaches the caller; a wrong or missing password is told apart from
// damaged data wherever the format allows (a password verifier or check byte that does not
// match is a wrong password; anything that fails after it matched is damage).
//
// Thread-safety: the objects are not shared between threads; the functions keep no state and
// may run on any thread at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace verdan::archive {

// Method and extra field of AES entries.
constexpr std::uint16_t kAesMethod = 99;
constexpr std::uint16_t kAesExtraId = 0x9901;
constexpr std::uint16_t kAesExtraSize = 7;
constexpr std::size_t kAesVerifierBytes = 2;
constexpr std::size_t kAesCodeBytes = 10;
// What AES-256 adds to an entry's stored bytes: salt, verifier, authentication code.
constexpr std::size_t kAes256Overhead = 16 + kAesVerifierBytes + kAesCodeBytes;
constexpr std::size_t kAes256Derived = 32 + 32 + kAesVerifierBytes;

// How an entry is encrypted, as its directory record tells.
struct EntryEncryption {
  bool encrypted = false;   // general-purpose flag bit 0
  std::uint16_t flags = 0;  // general-purpose flags
  std::uint16_t method = 0;
  std::uint16_t dosTime = 0;
  std::uint32_t crc = 0;
  std::uint64_t size = 0;  // uncompressed bytes
  // From extra field 0x9901 (method 99): version 1 or 2, key size 1..3 (128, 192, 256 bits)
  // and the method of the data beneath the encryption; 0 when absent.
  int aesVersion = 0;
  int aesStrength = 0;
  std::uint16_t aesMethod = 0;
};

// Reads extra field 0x9901 out of `n` bytes of extra fields into `e`.
void ParseAesExtra(const std::uint8_t* extra, std::size_t n, EntryEncryption& e);

// Encrypts one entry after another with AES-256 (version 2): a fresh random salt and keys per
// entry, the data in order, the authentication code at the end.
class AesEntryEncryptor {
 public:
  AesEntryEncryptor();
  ~AesEntryEncryptor();
  AesEntryEncryptor(const AesEntryEncryptor&) = delete;
  AesEntryEncryptor& operator=(const AesEntryEncryptor&) = delete;

  // Starts an entry: draws its salt and derives its keys from `password`. False when the
  // system gave no random bytes or the crypto library failed.
  bool Begin(const std::string& password);
  // The salt and password verifier that precede the entry's data (18 bytes).
  const std::uint8_t* Prefix() const;
  static std::size_t PrefixBytes();
  // Encrypts the entry's next `n` bytes from `in` to `out` (may be the same). False on a
  // failure of the crypto library.
  bool Encrypt(const std::uint8_t* in, std::uint8_t* out, std::size_t n);
  // Ends the entry: its authentication code (kAesCodeBytes) into `code`.
  bool Finish(std::uint8_t* code);
  // The keys derived for the entry (AES key, HMAC key, verifier: kAes256Derived bytes), for a
  // check of what was written that need not derive them again.
  const std::uint8_t* DerivedKeys() const;

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// How reading an encrypted entry ended.
enum class CryptoCheck {
  kOk,
  kBadPassword,  // no password, or a wrong one
  kDamaged,      // the data fails its CRC, size or decoding
  kAuthFailed,   // the data fails its authentication code (the password's verifier held)
  kUnsupported,  // an encryption or method this reader does not know
  kReadFailed,   // the archive could not be read (errno set)
  kSinkStopped,  // the sink refused the data (a write failed, or the work was stopped)
  kNoMemory,     // the crypto library or the decoder could not be had
};

// AES in the counter mode of encrypted ZIP entries: block k (from 0) of the data is XORed
// with the encryption of the little-endian counter k + 1. Any position may be started at,
// so pieces of one entry can be decrypted apart.
class AesCtr {
 public:
  AesCtr();
  ~AesCtr();
  AesCtr(const AesCtr&) = delete;
  AesCtr& operator=(const AesCtr&) = delete;
  // `keyBytes` 16, 24 or 32. False on a failure of the crypto library.
  bool Init(const std::uint8_t* key, std::size_t keyBytes);
  // Encrypts or decrypts `n` bytes at position `offset` of the entry's data.
  bool Apply(std::uint64_t offset, const std::uint8_t* in, std::uint8_t* out, std::size_t n);

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// The keys of one AES entry, derived from the password and the salt read from the entry, with
// the HMAC that checks its authentication code.
class AesEntryKeys {
 public:
  AesEntryKeys();
  ~AesEntryKeys();
  AesEntryKeys(const AesEntryKeys&) = delete;
  AesEntryKeys& operator=(const AesEntryKeys&) = delete;

  // Salt bytes of a key size 1..3 (8, 12, 16); 0 for any other.
  static std::size_t SaltBytes(int strength);
  // Derives the keys from `password` and the salt and verifier at `prefix`
  // (SaltBytes(strength) + 2 bytes): kOk, kBadPassword when the verifier differs, kNoMemory.
  CryptoCheck Derive(const std::string& password, int strength, const std::uint8_t* prefix);
  // Takes AES-256 keys derived before (kAes256Derived bytes, as DerivedKeys gives them) for
  // the entry whose verifier is at `verifier`: kOk, kBadPassword when it differs, kNoMemory.
  CryptoCheck Adopt(const std::uint8_t* derived, const std::uint8_t* verifier);
  // The AES key (16, 24 or 32 bytes) for an AesCtr.
  const std::uint8_t* Key() const;
  std::size_t KeyBytes() const;
  // Feeds encrypted data, in order, to the authentication code; then compares it with the
  // kAesCodeBytes stored after the data.
  bool Authenticate(const std::uint8_t* data, std::size_t n);
  bool CodeMatches(const std::uint8_t* code);

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// Receives the plaintext of an entry in order; false stops the reading.
using PlainSink = std::function<bool(const std::uint8_t* data, std::size_t n)>;

// Reads the encrypted entry whose `stored` bytes start at `dataOffset` of `fd`: checks the
// password, then (AES) the authentication code over all the stored bytes, and only then
// decrypts and decodes (stored or deflated) them, handing the plaintext to `sink` in pieces
// of at most `bufferBytes`. Checks the size, and the CRC where the entry carries one. `in`
// and `out` are the caller's buffers of `bufferBytes` each (at least 64 KiB); `crc` (when not
// null) receives the CRC of the plaintext. Memory stays within the buffers whatever the size.
CryptoCheck ReadEncryptedEntry(int fd, std::uint64_t dataOffset, std::uint64_t stored,
                               const EntryEncryption& how, const std::string& password,
                               std::uint8_t* in, std::uint8_t* out, std::size_t bufferBytes,
                               const PlainSink& sink, std::uint32_t* crc = nullptr);

// Whether `password` passes the one-byte check of the traditional-cipher entry whose
// `stored` bytes start at `dataOffset` of `fd`; false for any other entry and when the
// bytes cannot be read. The right password passes every entry's check, a wrong one each
// entry's one time in 256.
bool TraditionalCheckPasses(int fd, std::uint64_t dataOffset, std::uint64_t stored,
                            const EntryEncryption& how, const std::string& password);

}  // namespace verdan::archive
