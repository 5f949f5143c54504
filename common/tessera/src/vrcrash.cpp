#include "vrcrash.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "logbuffer.h"
#include "platformtools.h"
#include "quill_api.h"
#include "strtools_public.h"
#include "vrassert.h"

namespace {

using PFNUseBreakpadCrashHandler_t = decltype(&QuillAPI_UseBreakpadCrashHandler);
using PFNSetBreakpadAppID_t = decltype(&QuillAPI_SetBreakpadAppID);
using PFNSetMiniDumpComment_t = decltype(&QuillAPI_SetMiniDumpComment);
using PFNWriteMiniDump_t = decltype(&QuillAPI_WriteMiniDump);

// Written once by set-up on the main thread, before any dump is requested.
PFNUseBreakpadCrashHandler_t pfnQuillAPI_UseBreakpadCrashHandler = nullptr;
PFNSetBreakpadAppID_t pfnQuillAPI_SetBreakpadAppID = nullptr;
std::atomic<PFNSetMiniDumpComment_t> pfnQuillAPI_SetMiniDumpComment{nullptr};
std::atomic<PFNWriteMiniDump_t> pfnQuillAPI_WriteMiniDump{nullptr};

std::atomic<bool> s_bCrashHandlingInit{false};
VRPreCrashCallback_t s_fnPreCrashCallback;
std::atomic<bool> s_bCurrentMiniDumpIsFatal{true};
std::atomic<bool> s_bMinidumpCommentAlreadySet{false};

constexpr size_t k_cchMinidumpComment = 16384;
char szMinidumpCommentBuffer[k_cchMinidumpComment];
char s_rchProcessIdentifier[128];
const char* const szPrefix = "<non-buildbot build>\n";

std::atomic<bool> s_bFiguredOutIfDisabled{false};
std::atomic<bool> s_bIsReportingDisabled{false};

std::mutex s_mutex;  // requested dumps, and the process identifier

template <typename T>
T LookUp(const char* pchName) {
    return reinterpret_cast<T>(dlsym(RTLD_DEFAULT, pchName));
}

size_t Clamp(int nWritten, size_t cchAvailable) {
    if (nWritten < 0 || cchAvailable == 0) {
        return 0;
    }
    return std::min(static_cast<size_t>(nWritten), cchAvailable - 1);
}

// Builds the comment into szMinidumpCommentBuffer and hands it to the host
// client. No allocation: it also runs on a crashing thread, where it must not
// wait for the log buffer either (bCrashing): the thread that holds the
// buffer may be the crashed one, or waiting for something it holds; the log
// tail is then left out.
void BuildAndSetMinidumpComment(const char* pchMessage, bool bCrashing) {
    PFNSetMiniDumpComment_t pfnSetComment = pfnQuillAPI_SetMiniDumpComment.load();
    if (!pfnSetComment) {
        return;
    }
    char* pchBuffer = szMinidumpCommentBuffer;
    size_t cchUsed = Clamp(
        snprintf(pchBuffer, k_cchMinidumpComment, "%s%s\n", szPrefix, pchMessage ? pchMessage : ""),
        k_cchMinidumpComment);
    if (s_rchProcessIdentifier[0] != '\0') {
        cchUsed += Clamp(snprintf(pchBuffer + cchUsed, k_cchMinidumpComment - cchUsed,
                                  "Executable: %s\n", s_rchProcessIdentifier),
                         k_cchMinidumpComment - cchUsed);
    }
    if (CLogBuffer* pLogBuffer = CLogBuffer::GetInstanceIfCreated()) {
        if (bCrashing) {
            pLogBuffer->TryDumpLogBufferToBuffer(pchBuffer + cchUsed,
                                                 k_cchMinidumpComment - cchUsed);
        } else {
            pLogBuffer->DumpLogBufferToBuffer(pchBuffer + cchUsed, k_cchMinidumpComment - cchUsed);
        }
    }
    pfnSetComment(pchBuffer);
}

// Called by the host client's crash handler on the crashing thread, before it
// writes the crash dump.
void CrashCallback(void* /*pvContext*/) {
    if (!s_bCrashHandlingInit.load() || !s_fnPreCrashCallback) {
        return;
    }
    s_fnPreCrashCallback(s_bCurrentMiniDumpIsFatal.load());
    if (!s_bMinidumpCommentAlreadySet.load()) {
        BuildAndSetMinidumpComment("", true);
    }
}

void WriteMiniDumpNow(const char* pchComment, bool bFatal) {
    if (!s_bCrashHandlingInit.load()) {
        return;
    }
    if (Plat_IsInDebugSession()) {
        printf("!! refusing to trigger minidump with debugger attached\n");
        // The caller may abort right after; the line must not stay buffered.
        fflush(stdout);
        return;
    }
    std::lock_guard<std::mutex> lock(s_mutex);
    s_bCurrentMiniDumpIsFatal.store(bFatal);
    if (!s_bMinidumpCommentAlreadySet.load()) {
        BuildAndSetMinidumpComment(pchComment, false);
    }
    s_bMinidumpCommentAlreadySet.store(true);
    pfnQuillAPI_WriteMiniDump.load()(0, nullptr, 0);
    if (PFNSetMiniDumpComment_t pfnSetComment = pfnQuillAPI_SetMiniDumpComment.load()) {
        pfnSetComment(nullptr);
    }
    s_bMinidumpCommentAlreadySet.store(false);
    s_bCurrentMiniDumpIsFatal.store(true);
}

}  // namespace

bool BIsCrashReportingDisabled() {
    if (!s_bFiguredOutIfDisabled.load(std::memory_order_acquire)) {
        bool bDisabled = Plat_IsInDebugSession();
        if (!bDisabled) {
            const char* pchValue = getenv("ORRERY_DISABLE_CRASH_REPORTING");
            bDisabled = pchValue && *pchValue && StringToUint64(pchValue) != 0;
        }
        s_bIsReportingDisabled.store(bDisabled, std::memory_order_relaxed);
        s_bFiguredOutIfDisabled.store(true, std::memory_order_release);
    }
    return s_bIsReportingDisabled.load(std::memory_order_relaxed);
}

void VRCrashHandlingInitWithIdentity(const std::function<VRCrashIdentity_t()>& fnIdentity,
                                     VRPreCrashCallback_t fnPreCrash) {
    if (BIsCrashReportingDisabled()) {
        return;
    }
    VRCrashIdentity_t identity = fnIdentity ? fnIdentity() : VRCrashIdentity_t{};

    pfnQuillAPI_UseBreakpadCrashHandler =
        LookUp<PFNUseBreakpadCrashHandler_t>("QuillAPI_UseBreakpadCrashHandler");
    pfnQuillAPI_SetBreakpadAppID = LookUp<PFNSetBreakpadAppID_t>("QuillAPI_SetBreakpadAppID");
    pfnQuillAPI_SetMiniDumpComment.store(
        LookUp<PFNSetMiniDumpComment_t>("QuillAPI_SetMiniDumpComment"));
    pfnQuillAPI_WriteMiniDump.store(LookUp<PFNWriteMiniDump_t>("QuillAPI_WriteMiniDump"));

    bool bAllFound = pfnQuillAPI_UseBreakpadCrashHandler && pfnQuillAPI_SetBreakpadAppID &&
                     pfnQuillAPI_SetMiniDumpComment.load() && pfnQuillAPI_WriteMiniDump.load();
    TESSERA_ASSERT_MSG(bAllFound,
                       "Cannot initialize crash handling in a project without the Quill API "
                       "available");
    if (!bAllFound) {
        return;
    }

    pfnQuillAPI_UseBreakpadCrashHandler(identity.sVersion.c_str(), __DATE__, __TIME__, false,
                                        nullptr, &CrashCallback);
    pfnQuillAPI_SetBreakpadAppID(identity.unAppId);
    s_fnPreCrashCallback = std::move(fnPreCrash);
    s_bCrashHandlingInit.store(true);
}

void VRWriteMiniDump(const char* pchComment, bool bFatal) {
    if (BIsCrashReportingDisabled()) {
        return;
    }
    WriteMiniDumpNow(pchComment, bFatal);
}

void VRWriteMiniDumpIfSetup(const char* pchComment, bool bFatal) {
    if (!s_bCrashHandlingInit.load()) {
        return;
    }
    VRWriteMiniDump(pchComment, bFatal);
}

void VRSetProcessCrashIdentifier(const char* pchIdentifier) {
    const char* pchText = pchIdentifier ? pchIdentifier : "";
    std::lock_guard<std::mutex> lock(s_mutex);
    snprintf(s_rchProcessIdentifier, sizeof(s_rchProcessIdentifier), "%s", pchText);
    if (PFNSetMiniDumpComment_t pfnSetComment = pfnQuillAPI_SetMiniDumpComment.load()) {
        pfnSetComment(pchText);
    }
}

bool BIsCrashHandlingInitialized() {
    return s_bCrashHandlingInit.load();
}
