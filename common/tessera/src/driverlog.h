// driverlog: the driver log bridge. While a sink is set, every line of the
// process-wide log registry is passed to the runtime driver's log sink
// (vr::IVRDriverLog, slot 0); DriverLog/DriverLogString write to the sink
// directly, bypassing the registry.
//
// InitDriverLog and CleanupDriverLog are meant for start-up and shutdown; the
// log functions may be called from any thread. The sink is never owned.
#pragma once

#include <cstdarg>

namespace vr {
class IVRDriverLog;
}

// false, changing nothing, while a sink is already set or for a null sink.
bool InitDriverLog(vr::IVRDriverLog* pDriverLog);
void CleanupDriverLog();
bool IsDriverLogActive();

// Formats into 1024 bytes (at most 1023 characters) and passes the text on.
void DriverLogVarArgs(const char* pchFormat, va_list args);
void DriverLog(const char* pchFormat, ...) __attribute__((format(printf, 1, 2)));
void DriverLogString(const char* pchText);
// Does nothing; kept so that driver code can leave its debug calls in place.
void DebugDriverLog(const char* pchFormat, ...) __attribute__((format(printf, 1, 2)));
