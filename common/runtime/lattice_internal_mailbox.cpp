// lattice_internal: the profiler capture request, apart from the table code
// because it needs the JSON library. See lattice_internal.h.
#include <json/json.h>

#include "lattice_internal.h"

namespace vr_internal {

void PostProfilerCaptureRequest() {
    Json::Value message(Json::objectValue);
    message["type"] = "gpu_profiler_capture";
    if (vr::IVRClientInternal* pClient = VRClientInternal()) {
        pClient->PostMailboxMessage("vrcompositor_mailbox", message);
    } else if (vr::IVRServerInternal* pServer = VRServerInternal()) {
        pServer->PostMailboxMessage("vrcompositor_mailbox", message);
    }
}

}  // namespace vr_internal
