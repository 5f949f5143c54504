// The exported functions of the host client library.
#include "crash.h"
#include "host_client.h"
#include "interfaces.h"
#include "quill_api.h"

using quill_stub::CHostClient;

QUILL_API bool QuillAPI_IsQuillRunning() {
    return CHostClient::Get().IsRunning();
}

QUILL_API int QuillInternal_QuillAPI_Init(const char* pszInterfaceVersions,
                                          QuillErrMsg* pOutErrMsg) {
    return CHostClient::Get().Init(pszInterfaceVersions, pOutErrMsg);
}

QUILL_API void QuillAPI_RunCallbacks() {
    CHostClient::Get().RunCallbacks();
}

QUILL_API void QuillAPI_Shutdown() {
    CHostClient::Get().Shutdown();
}

QUILL_API void QuillAPI_RegisterCallback(CCallbackBase* pCallback, int iCallback) {
    CHostClient::Get().Register(pCallback, iCallback);
}

QUILL_API void QuillAPI_UnregisterCallback(CCallbackBase* pCallback) {
    CHostClient::Get().Unregister(pCallback);
}

QUILL_API void QuillAPI_ReleaseCurrentThreadMemory() {
    quill_stub::ReleaseThreadStrings();
}

QUILL_API void* QuillInternal_ContextInit(void* pContextInitData) {
    return CHostClient::Get().ContextInit(static_cast<QuillContextRecord_t*>(pContextInitData));
}

QUILL_API void* QuillInternal_FindOrCreateUserInterface(HQuillUser hUser, const char* pszVersion) {
    return CHostClient::Get().FindInterface(hUser, pszVersion);
}

QUILL_API HQuillUser QuillAPI_GetHQuillUser() {
    return CHostClient::Get().User();
}

QUILL_API void QuillAPI_UseBreakpadCrashHandler(const char* pchVersion, const char* pchDate,
                                                const char* pchTime, bool bFullMemoryDumps,
                                                void* pvContext,
                                                PFNPreMinidumpCallback pfnPreMinidump) {
    quill_stub::InstallCrashHandler(pchVersion, pchDate, pchTime, bFullMemoryDumps, pvContext,
                                    pfnPreMinidump);
}

QUILL_API void QuillAPI_SetBreakpadAppID(uint32_t unAppId) {
    quill_stub::SetCrashAppId(unAppId);
}

QUILL_API void QuillAPI_SetMiniDumpComment(const char* pchComment) {
    quill_stub::SetDumpComment(pchComment);
}

QUILL_API void QuillAPI_WriteMiniDump(uint32_t uStructuredExceptionCode, void*, uint32_t uBuildId) {
    quill_stub::WriteRequestedDump(uStructuredExceptionCode, uBuildId);
    // Not a tail call: the entry point keeps its own frame, so that the
    // dump's backtrace shows where the program asked for it.
    asm volatile("" ::: "memory");
}
