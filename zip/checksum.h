// CRC-32 of ZIP entries, computed by the fastest library the build has (libdeflate, else
// zlib), and the CRC of two pieces joined, for entries checked or packed in pieces.
#pragma once

#include <zlib.h>

#ifdef VERDAN_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

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

// The CRC of `first`'s bytes followed by `secondLength` bytes whose CRC is `second`.
inline std::uint32_t CrcCombine(std::uint32_t first, std::uint32_t second,
                                std::uint64_t secondLength) {
  return static_cast<std::uint32_t>(
      ::crc32_combine64(first, second, static_cast<z_off64_t>(secondLength)));
}

}  // namespace verdan::archive
