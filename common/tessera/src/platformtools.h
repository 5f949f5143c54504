// platformtools: small platform queries, and the one header for the guard,
// SDL and dynamic-loader facilities (singleappinstance.h, sdldynamic.h,
// sharedlib.h).
//
// Plat_IsInDebugSession answers whether a tracer (debugger) is attached, from
// the TracerPid line of /proc/self/status (an unreadable file means no). The
// status file is opened once per process and read again on every call.
// Plat_IsInDebugSessionCached gives the same answer for callers on a hot path
// (every log line): it reads the file at most every 250 ms and otherwise
// answers from the last reading, so a debugger that attaches or detaches is
// seen within that time. A child made by fork reads its own file first.
// IsRunningInAppContainer answers whether /etc/os-release has the line
// ID=quillrt (exact, case-sensitive, unquoted), decided on the first call and
// cached; a missing file means no.
//
//   "TracerPid:\t0"      => false
//   "TracerPid:\t4242"   => true
//   "tracerpid:\t7"      => true   (the prefix ignores case)
//   "ID=quillrt"         => in the container
//   "ID=\"quillrt\""     => not (quoted)
//   "ID_LIKE=quillrt"    => not
//
// Thread safety: every function may be called from any thread.
#pragma once

#include "sdldynamic.h"
#include "sharedlib.h"
#include "singleappinstance.h"

bool Plat_IsInDebugSession();
bool Plat_IsInDebugSessionCached();
bool IsRunningInAppContainer();

// Constant answers that shared code asks on every platform.
bool IsPosix();
bool IsWorkstationLocked();
bool IsRunningAsService();
bool SetCurrentProcessExplicitAppUserModelID(const char* pchAppId = nullptr);
