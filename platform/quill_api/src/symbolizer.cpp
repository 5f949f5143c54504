#include "symbolizer.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <dwarf.h>
#include <elfutils/libdwfl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace quill_stub {

namespace {

// The libdw functions the symbolizer calls.
// clang-format off
#define QUILL_LIBDW_FUNCTIONS(X)                                                 \
    X(dwfl_begin) X(dwfl_end) X(dwfl_report_begin) X(dwfl_linux_proc_report)     \
    X(dwfl_report_end) X(dwfl_linux_proc_find_elf) X(dwfl_build_id_find_debuginfo) \
    X(dwfl_addrmodule) X(dwfl_module_info) X(dwfl_module_getelf)                  \
    X(dwfl_module_addrinfo) X(dwfl_module_getsrc) X(dwfl_lineinfo)                \
    X(dwfl_line_comp_dir) X(dwfl_module_addrdie) X(dwarf_getscopes)               \
    X(dwarf_getscopes_die) X(dwarf_tag) X(dwarf_attr) X(dwarf_attr_integrate)     \
    X(dwarf_formref_die) X(dwarf_formstring) X(dwarf_formudata) X(dwarf_diename)  \
    X(dwarf_getsrcfiles) X(dwarf_filesrc)
// clang-format on

// libdw, loaded by the first dump that asks for names rather than with this
// library: a process that never writes one does not carry libdw and the
// compression libraries it needs in memory. Never unloaded.
struct LibDw {
#define QUILL_LIBDW_POINTER(name) decltype(&::name) name = nullptr;
    QUILL_LIBDW_FUNCTIONS(QUILL_LIBDW_POINTER)
#undef QUILL_LIBDW_POINTER
};

LibDw g_libDw;

// Whether libdw could be loaded with every function above (thread-safe,
// tried once).
bool BLoadLibDw() {
    static const bool s_bLoaded = [] {
        void* pHandle = dlopen("libdw.so.1", RTLD_NOW | RTLD_LOCAL);
        if (!pHandle) {
            return false;
        }
        bool bComplete = true;
#define QUILL_LIBDW_RESOLVE(name)                                              \
    g_libDw.name = reinterpret_cast<decltype(&::name)>(dlsym(pHandle, #name)); \
    bComplete = bComplete && g_libDw.name != nullptr;
        QUILL_LIBDW_FUNCTIONS(QUILL_LIBDW_RESOLVE)
#undef QUILL_LIBDW_RESOLVE
        return bComplete;
    }();
    return s_bLoaded;
}

// Only called once BLoadLibDw has answered true (a Dwfl exists).
const LibDw& Dw() {
    return g_libDw;
}

// Separate debug files are looked up on this machine by build id only: a
// dump never waits on a network service.
int FindLocalDebugInfo(Dwfl_Module* pModule, void** ppUserData, const char* pchModule,
                       Dwarf_Addr base, const char* pchFile, const char* pchDebugLink,
                       GElf_Word unDebugLinkCrc, char** ppchDebugFile) {
    return Dw().dwfl_build_id_find_debuginfo(pModule, ppUserData, pchModule, base, pchFile,
                                             pchDebugLink, unDebugLinkCrc, ppchDebugFile);
}

int FindElf(Dwfl_Module* pModule, void** ppUserData, const char* pchModule, Dwarf_Addr base,
            char** ppchFile, Elf** ppElf) {
    return Dw().dwfl_linux_proc_find_elf(pModule, ppUserData, pchModule, base, ppchFile, ppElf);
}

const Dwfl_Callbacks k_callbacks = {
    .find_elf = FindElf,
    .find_debuginfo = FindLocalDebugInfo,
    .section_address = nullptr,
    .debuginfo_path = nullptr,
};

Dwfl* BeginDwfl() {
    return BLoadLibDw() ? Dw().dwfl_begin(&k_callbacks) : nullptr;
}

std::string Demangled(const char* pchName) {
    if (strncmp(pchName, "_Z", 2) != 0) {
        return pchName;
    }
    int nStatus = 0;
    char* pchDemangled = abi::__cxa_demangle(pchName, nullptr, nullptr, &nStatus);
    std::string sName = pchDemangled ? pchDemangled : pchName;
    std::free(pchDemangled);
    return sName;
}

struct SourceLine {
    std::string sFile;
    int nLine = 0;
};

// Build systems record sources relative to the build directory; a dump names
// them in full. "/b/x/" + "../../src/a.cpp" => "/src/a.cpp".
std::string FullPath(const char* pchCompDir, const char* pchFile) {
    if (!pchFile) {
        return "";
    }
    if (pchFile[0] == '/' || !pchCompDir || pchCompDir[0] != '/') {
        return pchFile;
    }
    std::vector<std::string> vecParts;
    std::string sJoined = std::string(pchCompDir) + "/" + pchFile;
    size_t nStart = 0;
    while (nStart <= sJoined.size()) {
        size_t nEnd = sJoined.find('/', nStart);
        if (nEnd == std::string::npos) {
            nEnd = sJoined.size();
        }
        std::string sPart = sJoined.substr(nStart, nEnd - nStart);
        if (sPart == "..") {
            if (!vecParts.empty()) {
                vecParts.pop_back();
            }
        } else if (!sPart.empty() && sPart != ".") {
            vecParts.push_back(sPart);
        }
        nStart = nEnd + 1;
    }
    std::string sPath;
    for (const std::string& sPart : vecParts) {
        sPath += "/" + sPart;
    }
    return sPath;
}

const char* CompDir(Dwarf_Die* pCu) {
    Dwarf_Attribute attr;
    return Dw().dwarf_attr(pCu, DW_AT_comp_dir, &attr) ? Dw().dwarf_formstring(&attr) : nullptr;
}

SourceLine LineAt(Dwfl_Module* pModule, Dwarf_Addr addr) {
    SourceLine where;
    if (Dwfl_Line* pLine = Dw().dwfl_module_getsrc(pModule, addr)) {
        const char* pchFile =
            Dw().dwfl_lineinfo(pLine, nullptr, &where.nLine, nullptr, nullptr, nullptr);
        where.sFile = FullPath(Dw().dwfl_line_comp_dir(pLine), pchFile);
    }
    return where;
}

// The DIE that declares a function: an inlined copy's abstract origin, and
// an out-of-class definition's declaration.
Dwarf_Die Declaration(Dwarf_Die* pDie) {
    Dwarf_Die die = *pDie;
    for (int nRef : {DW_AT_abstract_origin, DW_AT_specification}) {
        Dwarf_Attribute attr;
        Dwarf_Die target;
        if (Dw().dwarf_attr(&die, nRef, &attr) && Dw().dwarf_formref_die(&attr, &target)) {
            die = target;
        }
    }
    return die;
}

// "ns::CClass::Name" from the namespaces and classes around the declaration,
// for functions that carry no linkage name (those with internal linkage).
std::string QualifiedName(Dwarf_Die* pDie, const char* pchName) {
    Dwarf_Die declaration = Declaration(pDie);
    Dwarf_Die* pScopes = nullptr;
    int nScopes = Dw().dwarf_getscopes_die(&declaration, &pScopes);
    std::string sName = pchName;
    for (int i = 1; i < nScopes; ++i) {
        int nTag = Dw().dwarf_tag(&pScopes[i]);
        if (nTag == DW_TAG_namespace || nTag == DW_TAG_class_type ||
            nTag == DW_TAG_structure_type || nTag == DW_TAG_union_type) {
            const char* pchScope = Dw().dwarf_diename(&pScopes[i]);
            sName = std::string(pchScope ? pchScope : "(anonymous namespace)") + "::" + sName;
        }
    }
    std::free(pScopes);
    return sName;
}

// The qualified name of a function's DIE, "" when it has none.
std::string FunctionName(Dwarf_Die* pDie) {
    Dwarf_Attribute attr;
    for (int nName : {DW_AT_linkage_name, DW_AT_MIPS_linkage_name}) {
        if (Dw().dwarf_attr_integrate(pDie, nName, &attr)) {
            if (const char* pchName = Dw().dwarf_formstring(&attr)) {
                return Demangled(pchName);
            }
        }
    }
    if (Dw().dwarf_attr_integrate(pDie, DW_AT_name, &attr)) {
        if (const char* pchName = Dw().dwarf_formstring(&attr)) {
            return QualifiedName(pDie, pchName);
        }
    }
    return "";
}

// Where an inlined call was made: its call file and line within the CU.
SourceLine CallSite(Dwarf_Die* pCu, Dwarf_Die* pInlined) {
    Dwarf_Attribute attr;
    Dwarf_Word unFile = 0;
    Dwarf_Word unLine = 0;
    if (!Dw().dwarf_attr(pInlined, DW_AT_call_file, &attr) ||
        Dw().dwarf_formudata(&attr, &unFile) != 0 ||
        !Dw().dwarf_attr(pInlined, DW_AT_call_line, &attr) ||
        Dw().dwarf_formudata(&attr, &unLine) != 0) {
        return {};
    }
    Dwarf_Files* pFiles = nullptr;
    size_t nFiles = 0;
    if (Dw().dwarf_getsrcfiles(pCu, &pFiles, &nFiles) != 0 || unFile >= nFiles) {
        return {};
    }
    return {FullPath(CompDir(pCu), Dw().dwarf_filesrc(pFiles, unFile, nullptr, nullptr)),
            static_cast<int>(unLine)};
}

struct InlinedCall {
    std::string sName;
    SourceLine where;
};

// The calls inlined at addr, innermost first. *pWhere goes in as the line
// of addr and comes out as the place in the enclosing function; *psFunction
// receives that function's name from its DWARF entry.
std::vector<InlinedCall> InlinedCalls(Dwfl_Module* pModule, Dwarf_Addr addr, SourceLine* pWhere,
                                      std::string* psFunction) {
    std::vector<InlinedCall> vecCalls;
    Dwarf_Addr bias = 0;
    Dwarf_Die* pCu = Dw().dwfl_module_addrdie(pModule, addr, &bias);
    if (!pCu) {
        return vecCalls;
    }
    Dwarf_Die* pScopes = nullptr;
    int nScopes = Dw().dwarf_getscopes(pCu, addr - bias, &pScopes);
    for (int i = 0; i < nScopes; ++i) {
        int nTag = Dw().dwarf_tag(&pScopes[i]);
        if (nTag == DW_TAG_inlined_subroutine) {
            vecCalls.push_back({FunctionName(&pScopes[i]), *pWhere});
            *pWhere = CallSite(pCu, &pScopes[i]);
        } else if (nTag == DW_TAG_subprogram) {
            *psFunction = FunctionName(&pScopes[i]);
            break;
        }
    }
    std::free(pScopes);
    return vecCalls;
}

const char* BaseName(const char* pchPath) {
    const char* pchSlash = strrchr(pchPath, '/');
    return pchSlash ? pchSlash + 1 : pchPath;
}

void WriteWhere(CDumpWriter& out, const SourceLine& where) {
    if (!where.sFile.empty() && where.nLine > 0) {
        out.Str(" at ").Str(where.sFile.c_str()).Str(":").UInt(static_cast<uint64_t>(where.nLine));
    }
}

}  // namespace

CSymbolizer::CSymbolizer() = default;

CSymbolizer::~CSymbolizer() {
    if (m_pDwfl) {
        Dw().dwfl_end(m_pDwfl);
    }
}

void CSymbolizer::Refresh() {
    if (!m_pDwfl) {
        m_pDwfl = BeginDwfl();
    }
    if (!m_pDwfl) {
        return;
    }
    Dw().dwfl_report_begin(m_pDwfl);
    // A module list read only in part describes some frames wrongly: start
    // afresh next time, and leave this dump's frames to the plain writer.
    if (Dw().dwfl_linux_proc_report(m_pDwfl, getpid()) != 0 ||
        Dw().dwfl_report_end(m_pDwfl, nullptr, nullptr) != 0) {
        Dw().dwfl_end(m_pDwfl);
        m_pDwfl = nullptr;
    }
}

bool CSymbolizer::BWriteFrame(CDumpWriter& out, int nFrame, uintptr_t pc) {
    if (!m_pDwfl || pc == 0) {
        return false;
    }
    // A return address: the call itself lies just before it.
    Dwarf_Addr addr = pc - 1;
    Dwfl_Module* pModule = Dw().dwfl_addrmodule(m_pDwfl, addr);
    if (!pModule) {
        return false;
    }
    const char* pchModule = Dw().dwfl_module_info(pModule, nullptr, nullptr, nullptr, nullptr,
                                                  nullptr, nullptr, nullptr);
    Dwarf_Addr loadBias = 0;
    Dw().dwfl_module_getelf(pModule, &loadBias);

    GElf_Off offset = 0;
    GElf_Sym sym{};
    const char* pchSymbol =
        Dw().dwfl_module_addrinfo(pModule, addr, &offset, &sym, nullptr, nullptr, nullptr);
    SourceLine where = LineAt(pModule, addr);
    std::string sFunction;
    for (const InlinedCall& call : InlinedCalls(pModule, addr, &where, &sFunction)) {
        out.Str("#").UInt(static_cast<uint64_t>(nFrame)).Str(" ").Hex(pc).Str(" ");
        out.Str(call.sName.empty() ? "??" : call.sName.c_str()).Str(" (inlined)");
        WriteWhere(out, call.where);
        out.Str("\n");
    }
    out.Str("#").UInt(static_cast<uint64_t>(nFrame)).Str(" ").Hex(pc).Str(" ");
    if (pchSymbol) {
        out.Str(Demangled(pchSymbol).c_str()).Str("+").Hex(offset + 1);
    } else {
        out.Str(sFunction.empty() ? "??" : sFunction.c_str());
    }
    out.Str(" (").Str(pchModule ? BaseName(pchModule) : "??").Str("+").Hex(pc - loadBias).Str(")");
    WriteWhere(out, where);
    out.Str("\n");
    return true;
}

}  // namespace quill_stub
