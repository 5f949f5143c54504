#include "crc32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(Crc32, CheckValueAndChaining) {
    const char* pchDigits = "123456789";
    EXPECT_EQ(tessera::crc32(0, pchDigits, 9), 0xCBF43926u);
    EXPECT_EQ(tessera::crc32(tessera::crc32(0, pchDigits, 4), pchDigits + 4, 5), 0xCBF43926u);
    EXPECT_EQ(tessera::crc32(0, "", 0), 0u);
    EXPECT_EQ(tessera::crc32(0, nullptr, 0), 0u);
    EXPECT_EQ(tessera::crc32(0, "a", 1), 0xE8B7BE43u);
    const std::string sFox = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(tessera::crc32(0, sFox.data(), sFox.size()), 0x414FA339u);

    // Byte-at-a-time chaining over every byte value matches one pass.
    std::vector<unsigned char> vecAll(256);
    for (size_t i = 0; i < vecAll.size(); ++i) {
        vecAll[i] = static_cast<unsigned char>(i);
    }
    uint32_t unChained = 0;
    for (unsigned char uch : vecAll) {
        unChained = tessera::crc32(unChained, &uch, 1);
    }
    EXPECT_EQ(unChained, tessera::crc32(0, vecAll.data(), vecAll.size()));
    EXPECT_EQ(unChained, 0x29058C73u);
}

}  // namespace
