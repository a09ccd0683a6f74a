// The four-byte signatures that open the records of a ZIP archive, as the writer, the
// appender and the directory check read and write them.
#pragma once

#include <cstdint>

namespace verdan::archive {

inline constexpr std::uint32_t kLocalHeaderSig = 0x04034b50;
inline constexpr std::uint32_t kCentralHeaderSig = 0x02014b50;
inline constexpr std::uint32_t kEndSig = 0x06054b50;
inline constexpr std::uint32_t kZip64EndSig = 0x06064b50;
inline constexpr std::uint32_t kZip64LocatorSig = 0x07064b50;

}  // namespace verdan::archive
