#include "crc32.h"

#include <array>

namespace tessera {

namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        }
        table[n] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> k_crcTable = MakeCrcTable();

}  // namespace

uint32_t crc32(uint32_t crc, const void* pData, size_t unLength) {
    const unsigned char* pch = static_cast<const unsigned char*>(pData);
    uint32_t c = ~crc;
    for (size_t i = 0; i < unLength; ++i) {
        c = k_crcTable[(c ^ pch[i]) & 0xFF] ^ (c >> 8);
    }
    return ~c;
}

}  // namespace tessera
