// dump_text: text helpers for the dump writer that neither allocate nor lock,
// so the crash handler may use them on a crashing thread.
//
// All functions are async-signal-safe and may be called from any thread.
// Texts are truncated to fit their buffers and always NUL-terminated; a
// writer that fails to write (disk full, closed descriptor) drops the rest
// silently: a partial dump beats none.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quill_stub {

// Copies at most cchDest - 1 characters and the NUL. A null source is "".
void CopyText(char* pDest, size_t cchDest, const char* pchSource);
// Appends to the NUL-terminated text in pDest.
void Append(char* pDest, size_t cchDest, const char* pchText);
// 42 => "42"; with nBase 16, 255 => "ff" (no prefix).
void FormatUInt(char* pBuffer, size_t cch, uint64_t v, unsigned nBase = 10);

// Writes text and numbers to a file descriptor.
class CDumpWriter {
public:
    explicit CDumpWriter(int fd) : m_fd(fd) {}
    CDumpWriter& Str(const char* pch);
    CDumpWriter& UInt(uint64_t v);
    CDumpWriter& Hex(uint64_t v);    // "0x1f"
    CDumpWriter& Octal(uint64_t v);  // "0755"

private:
    int m_fd;
};

}  // namespace quill_stub
