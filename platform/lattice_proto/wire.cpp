#include "wire.h"

#include <cstring>

namespace lattice_proto {

void CWireWriter::Fixed(uint64_t v, int cub) {
    char rgchBytes[8];
    for (int i = 0; i < cub; ++i) {
        rgchBytes[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
    m_buffer.append(rgchBytes, static_cast<size_t>(cub));
}

void CWireWriter::Str(std::string_view s) {
    U32(static_cast<uint32_t>(s.size()));
    m_buffer.append(s.data(), s.size());
}

void CWireWriter::Bytes(const void* pData, size_t cub) {
    if (cub > 0) {
        m_buffer.append(static_cast<const char*>(pData), cub);
    }
}

void CWireWriter::StrList(const std::vector<std::string>& list) {
    U32(static_cast<uint32_t>(list.size()));
    for (const std::string& s : list) {
        Str(s);
    }
}

uint64_t CWireReader::Fixed(int cub) {
    if (m_bFailed || m_data.size() - m_nPos < static_cast<size_t>(cub)) {
        m_bFailed = true;
        return 0;
    }
    uint64_t v = 0;
    for (int i = 0; i < cub; ++i) {
        v |= static_cast<uint64_t>(static_cast<uint8_t>(m_data[m_nPos + i])) << (8 * i);
    }
    m_nPos += cub;
    return v;
}

uint8_t CWireReader::U8() {
    return static_cast<uint8_t>(Fixed(1));
}

std::string CWireReader::Str() {
    uint32_t cub = U32();
    if (m_bFailed || m_data.size() - m_nPos < cub) {
        m_bFailed = true;
        return {};
    }
    std::string s(m_data.substr(m_nPos, cub));
    m_nPos += cub;
    return s;
}

void CWireReader::Bytes(void* pDest, size_t cub) {
    if (m_bFailed || m_data.size() - m_nPos < cub) {
        m_bFailed = true;
        std::memset(pDest, 0, cub);
        return;
    }
    if (cub > 0) {
        std::memcpy(pDest, m_data.data() + m_nPos, cub);
    }
    m_nPos += cub;
}

std::vector<std::string> CWireReader::StrList() {
    uint32_t n = U32();
    std::vector<std::string> list;
    // Each entry needs at least its 4-byte length, which bounds a hostile count.
    if (m_bFailed || n > Remaining() / 4) {
        m_bFailed = true;
        return list;
    }
    list.reserve(n);
    for (uint32_t i = 0; i < n && !m_bFailed; ++i) {
        list.push_back(Str());
    }
    return list;
}

}  // namespace lattice_proto
