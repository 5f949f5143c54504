// wire: payload encoding for the lattice-sim protocol.
//
// Little-endian fixed-width integers, byte strings as a 32-bit length followed
// by the bytes (no terminator). CWireReader never reads past its input: any
// short or oversized field sets the failed flag, after which every read
// answers zero or empty, so a decoder reads all fields and checks Ok() once
// at the end.
//
// Thread safety: objects are not shared; use one per message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lattice_proto {

class CWireWriter {
public:
    void U8(uint8_t v) { m_buffer.push_back(static_cast<char>(v)); }
    void U16(uint16_t v) { Fixed(v, 2); }
    void U32(uint32_t v) { Fixed(v, 4); }
    void U64(uint64_t v) { Fixed(v, 8); }
    void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
    void I64(int64_t v) { U64(static_cast<uint64_t>(v)); }
    void Bool(bool v) { U8(v ? 1 : 0); }
    void Str(std::string_view s);
    void Bytes(const void* pData, size_t cub);  // raw, no length
    void StrList(const std::vector<std::string>& list);

    // Room for cub bytes in all, so that a message of known size is built
    // without growing the buffer field by field.
    void Reserve(size_t cub) { m_buffer.reserve(cub); }

    const std::string& Buffer() const { return m_buffer; }

private:
    void Fixed(uint64_t v, int cub);
    std::string m_buffer;
};

class CWireReader {
public:
    explicit CWireReader(std::string_view data) : m_data(data) {}

    uint8_t U8();
    uint16_t U16() { return static_cast<uint16_t>(Fixed(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Fixed(4)); }
    uint64_t U64() { return Fixed(8); }
    int32_t I32() { return static_cast<int32_t>(U32()); }
    int64_t I64() { return static_cast<int64_t>(U64()); }
    bool Bool() { return U8() != 0; }
    std::string Str();
    // Copies exactly cub raw bytes; fails (and zero-fills) when fewer remain.
    void Bytes(void* pDest, size_t cub);
    std::vector<std::string> StrList();

    bool Ok() const { return !m_bFailed; }
    bool AtEnd() const { return m_nPos == m_data.size(); }
    // True when everything was read and nothing is left over.
    bool Complete() const { return Ok() && AtEnd(); }
    size_t Remaining() const { return m_bFailed ? 0 : m_data.size() - m_nPos; }

private:
    uint64_t Fixed(int cub);
    std::string_view m_data;
    size_t m_nPos = 0;
    bool m_bFailed = false;
};

}  // namespace lattice_proto
