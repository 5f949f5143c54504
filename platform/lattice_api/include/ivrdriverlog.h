// ivrdriverlog: the runtime driver interface's log sink. Code running inside a
// runtime host is handed one of these and may write log text to it.
//
// One operation, in method-table slot 0: it takes one NUL-terminated text and
// returns nothing. The sink belongs to the runtime; callers never own or
// destroy it (hence no virtual destructor, which would add table slots).
#pragma once

namespace vr {

class IVRDriverLog {
public:
    // Slot 0: write one text to the runtime's driver log.
    virtual void Log(const char* pchLogMessage) = 0;

protected:
    ~IVRDriverLog() = default;
};

}  // namespace vr
