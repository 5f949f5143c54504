// png: writes small valid PNG images (8-bit RGB, uncompressed deflate blocks)
// so that simulated screenshots are real image files.
//
// Thread safety: no shared state. Failure: false, with errno from the file
// operation; a partly written file is removed.
#pragma once

#include <cstdint>
#include <string>

namespace lattice_sim {

// A width x height gradient tinted by unSeed. Width and height 1..256.
bool WritePng(const std::string& strPath, uint32_t unWidth, uint32_t unHeight, uint32_t unSeed);

// CRC-32 (IEEE, as PNG chunks use it).
uint32_t Crc32(const uint8_t* pData, size_t cub, uint32_t unCrc = 0);

}  // namespace lattice_sim
