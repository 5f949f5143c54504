// The runtime's event records as halyard dispatches them, on arbitrary bytes:
// the input is a run of 60-byte records (a short last one is padded with
// zeros), each read through the record's typed members as halyard reads it,
// and handed to the real console and screenshot managers for the events
// halyard handles (420, 421, 516, 521, 522, 523; 700 ends the run). No
// runtime is connected (nothing initialises the stand-in), so every interface
// is answered as missing. The data read must be the record's bytes from
// offset 12, the open consoles must be exactly those opened and not closed
// since (each once, in opening order), and a screenshot that was taken or
// failed must not stay pending.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>

#include "dashboard.h"
#include "fuzz_support.h"
#include "lattice_api.h"

namespace {

using fuzz_support::Require;

// Little-endian bytes, read one by one: the decoder's answer must match.
uint64_t BytesAt(const uint8_t* pRecord, size_t unOffset, size_t cub) {
    uint64_t ulValue = 0;
    for (size_t i = 0; i < cub; ++i) {
        ulValue |= static_cast<uint64_t>(pRecord[unOffset + i]) << (8 * i);
    }
    return ulValue;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cubData) {
    CHalyardConsoleManager consoles;
    CHalyardScreenshotManager screenshots;
    std::list<uint64_t> modelConsoles;

    for (size_t unOffset = 0; unOffset < cubData; unOffset += sizeof(vr::LatticeEvent_t)) {
        uint8_t rgubRecord[sizeof(vr::LatticeEvent_t)] = {};
        memcpy(rgubRecord, pData + unOffset, std::min(sizeof(rgubRecord), cubData - unOffset));
        vr::LatticeEvent_t event;
        memcpy(&event, rgubRecord, sizeof(event));

        uint64_t ulConsole = event.data.console.ulConsoleId;
        uint32_t unHandle = event.data.screenshot.handle;
        Require(ulConsole == BytesAt(rgubRecord, 12, 8), "console ids are bytes 12 to 19");
        Require(unHandle == BytesAt(rgubRecord, 12, 4), "handles are bytes 12 to 15");
        Require(event.eventType == BytesAt(rgubRecord, 0, 4), "the type is bytes 0 to 3");

        uint32_t unPendingBefore = screenshots.m_unPendingHandle;
        switch (event.eventType) {
            case 420:
                consoles.OnConsoleOpened(ulConsole);
                if (std::find(modelConsoles.begin(), modelConsoles.end(), ulConsole) ==
                    modelConsoles.end()) {
                    modelConsoles.push_back(ulConsole);
                }
                break;
            case 421:
                consoles.OnConsoleClosed(ulConsole);
                modelConsoles.remove(ulConsole);
                break;
            case 516:
                screenshots.OnScreenshotTriggered();
                Require(screenshots.m_unPendingHandle == unPendingBefore,
                        "without a runtime no screenshot is requested");
                // What the runtime would have written: a pending request.
                screenshots.m_unPendingHandle = unHandle;
                break;
            case 521:
                screenshots.OnScreenshotTaken();
                Require(screenshots.m_unPendingHandle == 0, "a taken screenshot is not pending");
                break;
            case 522:
                screenshots.OnScreenshotFailed();
                Require(screenshots.m_unPendingHandle == 0, "a failed screenshot is not pending");
                break;
            case 523:
                screenshots.OnScreenshotSubmitted(unHandle);
                Require(screenshots.m_unPendingHandle == unPendingBefore,
                        "a submitted screenshot leaves the pending one alone");
                break;
            case 700:
                return 0;
            default:
                Require(screenshots.m_unPendingHandle == unPendingBefore, "others are ignored");
                break;
        }
        Require(consoles.OpenConsoles() == modelConsoles,
                "the open consoles are those opened and not closed, in order, once each");
    }
    return 0;
}
