// crc32: the IEEE 802.3 CRC-32 (reflected polynomial 0xEDB88320), table driven.
//
// crc32(0, data, n) starts a new checksum; passing the previous result as crc
// continues it, so chaining over consecutive pieces gives the CRC of the whole.
// Pure function: safe from any thread, keeps no state beyond a constant table.
//
// Examples:
//   crc32(0, "123456789", 9)                       => 0xCBF43926
//   crc32(crc32(0, "1234", 4), "56789", 5)         => 0xCBF43926
//   crc32(0, "", 0)                                => 0
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessera {

uint32_t crc32(uint32_t crc, const void* pData, size_t unLength);

}  // namespace tessera
