// The simulator's request handling on arbitrary frames: a sequence of
// (operation, role, payload) requests is fed to one simulator state, as the
// connection threads would after reading frames. Every request must get an
// answer with a known status; nothing may crash. Operations that write files
// where the request says (screenshots and the host's screenshot library) or
// that block on purpose (stall, wait) are left out.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "protocol.h"
#include "state.h"
#include "wire.h"

namespace {

using namespace lattice_proto;

using fuzz_support::Require;

lattice_sim::CSimState& State() {
    static lattice_sim::CSimState* s_pState = [] {
        lattice_sim::SimConfig config;
        config.cJournalLimit = 1000;
        auto* pState = new lattice_sim::CSimState(config, "/nonexistent/lattice-sim-fuzz.sock");
        std::string strError;
        pState->CreateSharedPage(&strError);
        return pState;
    }();
    return *s_pState;
}

bool ControlVerbAllowed(const std::string& payload) {
    CWireReader reader(payload);
    std::vector<std::string> argv = reader.StrList();
    if (!reader.Complete() || argv.empty()) {
        return true;  // refused as malformed or as a missing verb
    }
    for (const std::string& strArg : argv) {
        if (strArg == "--count") {
            return false;  // a million events per request only slows the run
        }
    }
    const std::string& strVerb = argv[0];
    return strVerb != "wait" && strVerb != "stall" && strVerb != "shutdown" &&
           strVerb != "screenshot";
}

bool OperationAllowed(uint16_t usOp, const std::string& payload) {
    switch (usOp) {
        case Op_L_ScreenshotRequest:
        case Op_Q_ScreenshotAdd:
            return false;
        case Op_C_Control:
            return ControlVerbAllowed(payload);
        default:
            return true;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cubData) {
    // Requests: op (2 bytes), role (1), payload length (2), payload.
    CWireReader input(std::string_view(reinterpret_cast<const char*>(pData), cubData));
    while (input.Remaining() >= 5) {
        uint16_t usOp = input.U16();
        lattice_sim::ClientInfo client;
        client.nPid = 4242;
        client.unRole = input.U8() % 4;
        uint16_t cubPayload = input.U16();
        std::string payload(std::min<size_t>(cubPayload, input.Remaining()), '\0');
        input.Bytes(payload.data(), payload.size());
        if (!OperationAllowed(usOp, payload)) {
            continue;
        }
        lattice_sim::Reply reply = State().Handle(usOp, payload, client);
        Require(reply.usStatus == Status_Ok || reply.usStatus == Status_BadRequest ||
                    reply.usStatus == Status_UnknownOp || reply.usStatus == Status_Failed,
                "every request gets a known status");
        Require(reply.usStatus == Status_Ok || !reply.payload.empty(), "a refusal says why");
    }
    return 0;
}
