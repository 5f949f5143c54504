// symbolizer: names the frames of a backtrace from the debug information of
// the loaded modules (their symbol tables and DWARF, read through libdw), so
// that optimised builds show internal functions, inlined calls, and source
// files and lines.
//
// It reads files and allocates: never use it inside a signal handler. It
// describes the modules loaded at its last Refresh and keeps what it has read
// of them, so later dumps of the same process are quick. Use one object from
// one thread at a time. Nothing in it throws; what cannot be described is
// left to the caller.
#pragma once

#include <cstdint>

#include "dump_text.h"

typedef struct Dwfl Dwfl;

namespace quill_stub {

class CSymbolizer {
public:
    CSymbolizer();
    ~CSymbolizer();
    CSymbolizer(const CSymbolizer&) = delete;
    CSymbolizer& operator=(const CSymbolizer&) = delete;

    // Writes the lines for frame nFrame at the return address pc: one per
    // inlined call ("<name> (inlined) at <file>:<line>"), innermost first,
    // then "<function>+<offset> (<module>+<offset>)", with " at <file>:<line>"
    // where the line is known. False, having written nothing, when no module
    // or symbol covers pc.
    bool BWriteFrame(CDumpWriter& out, int nFrame, uintptr_t pc);

    // Reads the process's module list again: libraries loaded or unloaded
    // since are seen, those unchanged keep what was read of them.
    void Refresh();

private:
    Dwfl* m_pDwfl = nullptr;
};

}  // namespace quill_stub
