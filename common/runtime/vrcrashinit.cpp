#include "vrcrashinit.h"

#include "latticetools.h"
#include "vrpathregistry.h"

void VRCrashHandlingInit(VRPreCrashCallback_t fnPreCrash) {
    VRCrashHandlingInitWithIdentity(
        [] {
            return VRCrashIdentity_t{OrreryVersionAsString(),
                                     CVRPathRegistry_Public::InitQuillAppId()};
        },
        std::move(fnPreCrash));
}
