// CRC-32 of ZIP entries, computed by the fastest library the build has (libdeflate, else
// zlib), and the CRC of two pieces joined, for entries checked or packed in pieces.
#pragma once

#include <zlib.h>

#ifdef VERDAN_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <array>
#include <cstddef>
#include <cstdint>

namespace verdan::archive {

inline std::uint32_t Crc(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
#ifdef VERDAN_HAVE_LIBDEFLATE
  return libdeflate_crc32(crc, p, n);
#else
  return static_cast<std::uint32_t>(::crc32_z(crc, p, static_cast<z_size_t>(n)));
#endif
}

#ifdef _WIN32
// The zlib built for Windows takes a 32-bit length in its crc32_combine64: the combination
// is done here instead, as zlib does it, in polynomial arithmetic modulo the CRC's
// polynomial (bit-reflected), so that parts past 2 GB combine right.
namespace crc_detail {
inline std::uint32_t MultModP(std::uint32_t a, std::uint32_t b) {
  std::uint32_t m = 1u << 31, p = 0;
  for (;;) {
    if (a & m) {
      p ^= b;
      if ((a & (m - 1)) == 0) break;
    }
    m >>= 1;
    b = (b & 1) ? (b >> 1) ^ 0xedb88320u : b >> 1;
  }
  return p;
}
// x^(n * 2^k) modulo the polynomial.
inline std::uint32_t X2nModP(std::uint64_t n, unsigned k) {
  static const auto table = [] {
    std::array<std::uint32_t, 32> t{};
    std::uint32_t p = 1u << 30;  // x^1
    t[0] = p;
    for (std::size_t i = 1; i < t.size(); ++i) t[i] = p = MultModP(p, p);
    return t;
  }();
  std::uint32_t p = 1u << 31;  // x^0
  for (; n != 0; n >>= 1, ++k)
    if (n & 1) p = MultModP(table[k & 31], p);
  return p;
}
}  // namespace crc_detail
#endif

// The CRC of `first`'s bytes followed by `secondLength` bytes whose CRC is `second`.
inline std::uint32_t CrcCombine(std::uint32_t first, std::uint32_t second,
                                std::uint64_t secondLength) {
#ifdef _WIN32
  return crc_detail::MultModP(crc_detail::X2nModP(secondLength, 3), first) ^ second;
#else
  return static_cast<std::uint32_t>(
      ::crc32_combine64(first, second, static_cast<z_off64_t>(secondLength)));
#endif
}

}  // namespace verdan::archive
