#include "driverlog.h"

#include <atomic>
#include <cstdio>
#include <memory>

#include "ivrdriverlog.h"
#include "logregistry.h"

namespace {

std::atomic<vr::IVRDriverLog*> s_pLogFile{nullptr};
std::unique_ptr<CLogCallback> s_pLogCallback;

void PassToSink(const char* pchText) {
    if (vr::IVRDriverLog* pSink = s_pLogFile.load()) {
        pSink->Log(pchText);
    }
}

}  // namespace

bool InitDriverLog(vr::IVRDriverLog* pDriverLog) {
    if (s_pLogFile.load() || !pDriverLog) {
        return false;  // already started, or no sink to start with
    }
    s_pLogFile.store(pDriverLog);
    s_pLogCallback = std::make_unique<CLogCallback>(CLog::GetInstance());
    s_pLogCallback->Initialize([](ELogLevel, const char* pchText, void*) { PassToSink(pchText); },
                               nullptr);
    return true;
}

void CleanupDriverLog() {
    s_pLogCallback.reset();
    s_pLogFile.store(nullptr);
}

bool IsDriverLogActive() {
    return s_pLogFile.load() != nullptr;
}

void DriverLogVarArgs(const char* pchFormat, va_list args) {
    char rchBuffer[1024];
    vsnprintf(rchBuffer, sizeof(rchBuffer), pchFormat, args);
    PassToSink(rchBuffer);
}

void DriverLog(const char* pchFormat, ...) {
    va_list args;
    va_start(args, pchFormat);
    DriverLogVarArgs(pchFormat, args);
    va_end(args);
}

void DriverLogString(const char* pchText) {
    PassToSink(pchText);
}

void DebugDriverLog(const char*, ...) {}
