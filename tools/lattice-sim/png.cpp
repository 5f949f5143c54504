#include "png.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace lattice_sim {

uint32_t Crc32(const uint8_t* pData, size_t cub, uint32_t unCrc) {
    unCrc = ~unCrc;
    for (size_t i = 0; i < cub; ++i) {
        unCrc ^= pData[i];
        for (int bit = 0; bit < 8; ++bit) {
            unCrc = (unCrc >> 1) ^ (0xEDB88320u & (0u - (unCrc & 1u)));
        }
    }
    return ~unCrc;
}

namespace {

void PutU32(std::string& out, uint32_t v) {
    out.push_back(static_cast<char>(v >> 24));
    out.push_back(static_cast<char>(v >> 16));
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v));
}

void PutChunk(std::string& out, const char* pchType, const std::string& data) {
    PutU32(out, static_cast<uint32_t>(data.size()));
    std::string typed = std::string(pchType, 4) + data;
    out += typed;
    PutU32(out, Crc32(reinterpret_cast<const uint8_t*>(typed.data()), typed.size()));
}

// A zlib stream of stored (uncompressed) deflate blocks.
std::string StoredZlib(const std::string& raw) {
    std::string out = "\x78\x01";
    size_t nPos = 0;
    do {
        size_t cub = std::min<size_t>(raw.size() - nPos, 65535);
        bool bFinal = nPos + cub == raw.size();
        out.push_back(bFinal ? 1 : 0);
        out.push_back(static_cast<char>(cub & 0xFF));
        out.push_back(static_cast<char>(cub >> 8));
        out.push_back(static_cast<char>(~cub & 0xFF));
        out.push_back(static_cast<char>((~cub >> 8) & 0xFF));
        out.append(raw, nPos, cub);
        nPos += cub;
    } while (nPos < raw.size());
    uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    PutU32(out, (b << 16) | a);
    return out;
}

}  // namespace

bool WritePng(const std::string& strPath, uint32_t unWidth, uint32_t unHeight, uint32_t unSeed) {
    if (unWidth == 0 || unHeight == 0 || unWidth > 256 || unHeight > 256) {
        return false;
    }
    std::string raw;
    for (uint32_t y = 0; y < unHeight; ++y) {
        raw.push_back(0);  // filter: none
        for (uint32_t x = 0; x < unWidth; ++x) {
            raw.push_back(static_cast<char>((x * 255 / unWidth + unSeed * 40) & 0xFF));
            raw.push_back(static_cast<char>((y * 255 / unHeight) & 0xFF));
            raw.push_back(static_cast<char>((unSeed * 97) & 0xFF));
        }
    }
    std::string header;
    PutU32(header, unWidth);
    PutU32(header, unHeight);
    header += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB, no interlace

    std::string file = "\x89PNG\r\n\x1a\n";
    PutChunk(file, "IHDR", header);
    PutChunk(file, "IDAT", StoredZlib(raw));
    PutChunk(file, "IEND", std::string());

    FILE* pFile = std::fopen(strPath.c_str(), "wb");
    if (!pFile) {
        return false;
    }
    bool bOk = std::fwrite(file.data(), 1, file.size(), pFile) == file.size();
    bOk = (std::fclose(pFile) == 0) && bOk;
    if (!bOk) {
        std::remove(strPath.c_str());
    }
    return bOk;
}

}  // namespace lattice_sim
