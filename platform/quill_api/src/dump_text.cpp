#include "dump_text.h"

#include <errno.h>
#include <unistd.h>

#include <cstring>

namespace quill_stub {

void CopyText(char* pDest, size_t cchDest, const char* pchSource) {
    if (cchDest == 0) {
        return;
    }
    size_t i = 0;
    for (; pchSource && pchSource[i] && i + 1 < cchDest; ++i) {
        pDest[i] = pchSource[i];
    }
    pDest[i] = '\0';
}

void Append(char* pDest, size_t cchDest, const char* pchText) {
    size_t n = strnlen(pDest, cchDest);
    if (n < cchDest) {
        CopyText(pDest + n, cchDest - n, pchText);
    }
}

void FormatUInt(char* pBuffer, size_t cch, uint64_t v, unsigned nBase) {
    char digits[24];
    int i = 0;
    do {
        digits[i++] = "0123456789abcdef"[v % nBase];
        v /= nBase;
    } while (v > 0);
    size_t n = 0;
    while (i > 0 && n + 1 < cch) {
        pBuffer[n++] = digits[--i];
    }
    if (cch > 0) {
        pBuffer[n] = '\0';
    }
}

CDumpWriter& CDumpWriter::Str(const char* pch) {
    if (!pch) {
        return *this;
    }
    size_t cch = strlen(pch);
    while (cch > 0) {
        ssize_t n = write(m_fd, pch, cch);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return *this;
        }
        pch += n;
        cch -= static_cast<size_t>(n);
    }
    return *this;
}

CDumpWriter& CDumpWriter::UInt(uint64_t v) {
    char buffer[24];
    FormatUInt(buffer, sizeof(buffer), v);
    return Str(buffer);
}

CDumpWriter& CDumpWriter::Hex(uint64_t v) {
    char buffer[24];
    FormatUInt(buffer, sizeof(buffer), v, 16);
    return Str("0x").Str(buffer);
}

CDumpWriter& CDumpWriter::Octal(uint64_t v) {
    char buffer[24];
    FormatUInt(buffer, sizeof(buffer), v, 8);
    return Str("0").Str(buffer);
}

}  // namespace quill_stub
