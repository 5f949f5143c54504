// vrcrashinit: crash handling set-up for the runtime's processes.
//
// VRCrashHandlingInit installs the host client's crash handler (vrcrash.h)
// tagged with the runtime's version text (OrreryVersionAsString) and its
// application id on the host client (InitQuillAppId, which also publishes
// QuillAppId and QuillGameId in the environment). When crash reporting is
// disabled (a debugger, or ORRERY_DISABLE_CRASH_REPORTING) it does nothing at
// all: the callback is dropped and the environment is left alone.
//
// Main thread, at start-up, before other threads request dumps. Failures are
// those of vrcrash.h (a non-fatal assertion when the host client's entry
// points are missing).
#pragma once

#include "vrcrash.h"

// fnPreCrash may be empty; main passes an empty one.
void VRCrashHandlingInit(VRPreCrashCallback_t fnPreCrash);
