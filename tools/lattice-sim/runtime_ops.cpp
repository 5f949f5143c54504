// The runtime client library's operations: connection, events, settings,
// properties, consoles, screenshots, resources, paths and mailboxes.
#include <errno.h>

#include <algorithm>
#include <cstring>

#include "files.h"
#include "parsing.h"
#include "png.h"
#include "state.h"

namespace lattice_sim {

namespace codes = lattice_proto::codes;
using namespace lattice_proto;

// --- connection and interfaces --------------------------------------------------

bool CSimState::LInit(Reader& r, Call& call) {
    int32_t nAppType = r.I32();
    bool bHasStartup = r.Bool();
    std::string strStartup = r.Str();
    std::string strExe = r.Str();
    return call.Answer(r, [&] {
        int32_t nError = m_config.nInitError;
        if (nError == 0 && (nAppType < 0 || nAppType > 4)) {
            nError = codes::k_nInitInvalidApplicationType;
        }
        Json::Value startup;
        if (nError == 0 && bHasStartup && !strStartup.empty() &&
            (!ParseJson(strStartup, startup) || !startup.isObject())) {
            nError = codes::k_nInitInvalidStartupInfo;
        }
        uint32_t unToken = nError == 0 ? m_unToken : 0;
        call.answer.I32(nError);
        call.answer.U32(unToken);
        std::vector<std::string> vecHandedOut;
        for (const std::string& strVersion : m_config.setInterfaces) {
            if (!m_config.setRefusedInterfaces.count(strVersion)) {
                vecHandedOut.push_back(strVersion);
            }
        }
        call.answer.StrList(vecHandedOut);
        call.args.Int("application_type", nAppType).Str("executable", strExe);
        if (bHasStartup) {
            call.args.Str("startup_info", strStartup);
        }
        call.result.Int("error", nError).UInt("token", unToken);
        call.fdToPass = nError == 0 ? m_fdShared : -1;
        if (nError == 0) {
            AnnounceConsolePages();
        }
    });
}

bool CSimState::LShutdown(Reader& r, Call& call) {
    uint32_t unCount = r.U32();
    std::vector<Event> returned;
    for (uint32_t i = 0; i < unCount && r.Ok(); ++i) {
        Event event;
        event.unType = r.U32();
        event.unDevice = r.U32();
        r.Bytes(event.rgubData, sizeof(event.rgubData));
        returned.push_back(event);
    }
    return call.Answer(r, [&] {
        m_events.insert(m_events.begin(), returned.begin(), returned.end());
        PublishState();
        call.args.UInt("returned_events", returned.size());
    });
}

bool CSimState::LIsVersionValid(Reader& r, Call& call) {
    std::string strVersion = r.Str();
    return call.Answer(r, [&] {
        call.args.Str("version", strVersion);
        call.SendBool("valid", m_config.setInterfaces.count(strVersion) > 0);
    });
}

bool CSimState::LGetInterface(Reader& r, Call& call) {
    std::string strVersion = r.Str();
    return call.Answer(r, [&] {
        call.args.Str("version", strVersion);
        call.SendBool("served", m_config.setInterfaces.count(strVersion) > 0 &&
                                    m_config.setRefusedInterfaces.count(strVersion) == 0);
    });
}

bool CSimState::Unexpected(Reader& r, Call& call) {
    std::string strApi = r.Str();
    std::string strInterface = r.Str();
    int32_t nSlot = r.I32();
    return call.Answer(r, [&] {
        call.pchApi = strApi == "quill" ? "quill" : "lattice";
        call.strName = strInterface + "::Unused" + std::to_string(nSlot);
        call.args.Int("slot", nSlot);
        call.bUnexpected = true;
    });
}

// --- events, settings, properties ---------------------------------------------------

bool CSimState::LPollEvents(Reader& r, Call& call) {
    uint32_t unMax = r.U32();
    return call.Answer(r, [&] {
        uint32_t unStalled = 0;
        if (m_bStallPending) {
            unStalled = m_unStallMs;
            if (--m_unStallPolls == 0) {
                SetStallFlag(false);
                m_unStallMs = 0;
            }
            // Waits without holding the state for anyone else.
            m_wake.wait_for(call.lock, std::chrono::milliseconds(unStalled),
                            [this] { return m_bStopping; });
        }
        unMax = std::min(std::max(unMax, 1u), k_unEventBatch);
        uint32_t unCount = std::min<uint32_t>(unMax, static_cast<uint32_t>(m_events.size()));
        call.answer.U32(unCount);
        std::vector<std::string> vecTypes;
        for (uint32_t i = 0; i < unCount; ++i) {
            const Event& event = m_events.front();
            call.answer.U32(event.unType);
            call.answer.U32(event.unDevice);
            call.answer.Bytes(event.rgubData, sizeof(event.rgubData));
            vecTypes.push_back(std::to_string(event.unType));
            m_events.pop_front();
        }
        PublishState();
        call.result.Raw("events", JsonArray(vecTypes));
        if (unStalled) {
            call.result.UInt("stalled_ms", unStalled);
        }
    });
}

// A setting as the kind of value asked for; answers the settings error.
int32_t CSimState::SettingValue(const std::string& strSection, const std::string& strKey,
                                bool bBool, int64_t& nValue) {
    if (!m_config.settings.isMember(strSection) ||
        !m_config.settings[strSection].isMember(strKey)) {
        return codes::k_nSettingsKeyNotSet;
    }
    const Json::Value& value = m_config.settings[strSection][strKey];
    if (value.isBool()) {
        nValue = value.asBool() ? 1 : 0;
    } else if (value.isNumeric() && bBool) {
        nValue = value.asDouble() != 0.0 ? 1 : 0;
    } else if (value.isInt()) {
        nValue = value.asInt();
    } else if (value.isDouble() && value.asDouble() >= INT32_MIN && value.asDouble() <= INT32_MAX) {
        nValue = static_cast<int32_t>(value.asDouble());
    } else {
        return codes::k_nSettingsWrongType;
    }
    return 0;
}

bool CSimState::LSettingGet(Reader& r, Call& call) {
    std::string strSection = r.Str();
    std::string strKey = r.Str();
    uint8_t unKind = r.U8();
    bool bBool = unKind == SettingKind_Bool;
    if (!bBool && unKind != SettingKind_Int32) {
        return false;
    }
    return call.Answer(r, [&] {
        int64_t nValue = 0;
        int32_t nError = SettingValue(strSection, strKey, bBool, nValue);
        call.strName = bBool ? "IVRSettings_003::GetBool" : "IVRSettings_003::GetInt32";
        call.args.Str("section", strSection).Str("key", strKey);
        call.answer.I32(nError);
        call.answer.I64(nValue);
        call.result.Int("error", nError);
        if (bBool) {
            call.result.Bool("value", nValue != 0);
        } else {
            call.result.Int("value", nValue);
        }
    });
}

bool CSimState::LPropertyContainer(Reader& r, Call& call) {
    uint32_t unDevice = r.U32();
    return call.Answer(r, [&] {
        call.args.UInt("device", unDevice);
        call.SendU64("container", unDevice == 0 ? m_config.ulHmdPropertyContainer : 0);
    });
}

bool CSimState::LInputInternal(Reader& r, Call& call) {
    uint32_t unMode = r.U32();
    return call.Answer(r, [&] { call.args.UInt("mode", unMode); });
}

bool CSimState::LStartOverlayApps(Reader& r, Call& call) {
    return call.Answer(r, [] {});
}

bool CSimState::LConsoleLine(Reader& r, Call& call) {
    // Braced initialisers run in order, as the fields come on the wire.
    ConsoleLine line{r.U64(), r.Str(), r.U32(), r.I32(), r.Str()};
    return call.Answer(r, [&] {
        call.args = ConsoleLineFields(line);
        ShowOnConsolePages(line);
        m_consoleLines.push_back(std::move(line));
    });
}

bool CSimState::LMailboxPost(Reader& r, Call& call) {
    std::string strVia = r.Str();
    std::string strMailbox = r.Str();
    std::string strMessage = r.Str();
    return call.Answer(r, [&] {
        call.strName = strVia + "::PostMailboxMessage";
        call.args.Str("mailbox", strMailbox).Str("message", strMessage);
        call.result.Bool("delivered", true);
    });
}

// --- screenshots -------------------------------------------------------------------

// Writes the two files (or not, as configured) and queues the event that
// reports the outcome; answers the outcome's name for the journal.
std::string CSimState::TakeScreenshot(int32_t nType, const std::string& strFirst,
                                      const std::string& strSecond, uint32_t unHandle,
                                      int32_t& nError) {
    const ScreenshotConfig& config = m_config.screenshots;
    uint64_t ulEventData = unHandle | (static_cast<uint64_t>(static_cast<uint32_t>(nType)) << 32);
    if (config.strOutcome == "failed") {
        QueueEvent(codes::k_unEventScreenshotFailed, ulEventData);
        return "failed";
    }
    if (config.strOutcome != "taken") {
        return "none";
    }
    Screenshot shot{nType, strFirst + config.strExtension, strSecond + config.strExtension};
    if (WritePng(shot.strFirst, 16, 9, unHandle) && WritePng(shot.strSecond, 32, 9, unHandle + 1)) {
        m_screenshots[unHandle] = shot;
        QueueEvent(codes::k_unEventScreenshotTaken, ulEventData);
        return "taken";
    }
    nError = codes::k_nScreenshotRequestFailed;
    QueueEvent(codes::k_unEventScreenshotFailed, ulEventData);
    return std::string("failed: ") + strerror(errno);
}

bool CSimState::LScreenshotRequest(Reader& r, Call& call) {
    int32_t nType = r.I32();
    std::string strFirst = r.Str();
    std::string strSecond = r.Str();
    return call.Answer(r, [&] {
        int32_t nError = 0;
        uint32_t unHandle = 0;
        std::string strOutcome;
        if (strFirst.empty() || strSecond.empty()) {
            nError = codes::k_nScreenshotInvalidArgument;
        } else {
            unHandle = m_unNextScreenshot++;
            strOutcome = TakeScreenshot(nType, strFirst, strSecond, unHandle, nError);
        }
        call.args.Int("type", nType).Str("first", strFirst).Str("second", strSecond);
        call.SendI32("error", nError);
        call.SendU32("handle", unHandle);
        call.result.Str("outcome", strOutcome);
    });
}

bool CSimState::LScreenshotType(Reader& r, Call& call) {
    uint32_t unHandle = r.U32();
    return call.Answer(r, [&] {
        int32_t nError = 0;
        int32_t nType = 0;
        auto it = m_screenshots.find(unHandle);
        if (it == m_screenshots.end()) {
            nError = codes::k_nScreenshotUnknownHandle;
        } else if (m_config.screenshots.bFailTypeQuery) {
            nError = codes::k_nScreenshotRequestFailed;
        } else {
            nType = it->second.nType;
        }
        call.args.UInt("handle", unHandle);
        call.SendI32("error", nError);
        call.SendI32("type", nType);
    });
}

bool CSimState::LScreenshotFilename(Reader& r, Call& call) {
    uint32_t unHandle = r.U32();
    int32_t nKind = r.I32();
    return call.Answer(r, [&] {
        int32_t nError = 0;
        std::string strName;
        auto it = m_screenshots.find(unHandle);
        if (it == m_screenshots.end()) {
            nError = codes::k_nScreenshotUnknownHandle;
        } else if (nKind != 0 && nKind != 1) {
            nError = codes::k_nScreenshotInvalidArgument;
        } else if (m_config.screenshots.setFailFilenameKinds.count(nKind)) {
            nError = codes::k_nScreenshotRequestFailed;
        } else {
            strName = nKind == 0 ? it->second.strFirst : it->second.strSecond;
        }
        call.args.UInt("handle", unHandle).Int("kind", nKind);
        call.SendI32("error", nError);
        call.SendStr("name", strName);
    });
}

// --- resources and paths ---------------------------------------------------------

std::string CSimState::ResolveResource(const std::string& strName, bool bHasDir,
                                       const std::string& strDir) const {
    const std::string& strRoot = m_config.strResourceDir;
    std::string strPath;
    if (!strName.empty() && strName[0] == '/') {
        strPath = strName;
    } else if (strRoot.empty() || strName.empty()) {
        return std::string();
    } else if (strName[0] == '{') {
        size_t nClose = strName.find('}');
        if (nClose == std::string::npos || nClose == 1) {
            return std::string();
        }
        strPath = strRoot + "/" + strName.substr(1, nClose - 1) + strName.substr(nClose + 1);
    } else if (bHasDir && !strDir.empty()) {
        strPath = strRoot + "/" + strDir + "/" + strName;
    } else {
        strPath = strRoot + "/" + strName;
    }
    return FileExists(strPath) ? strPath : std::string();
}

bool CSimState::LResourcePath(Reader& r, Call& call) {
    std::string strName = r.Str();
    bool bHasDir = r.Bool();
    std::string strDir = r.Str();
    uint32_t unCapacity = r.U32();
    return call.Answer(r, [&] {
        call.args.Str("name", strName);
        if (bHasDir) {
            call.args.Str("directory", strDir);
        }
        call.args.UInt("capacity", unCapacity);
        std::string strPath = ResolveResource(strName, bHasDir, strDir);
        call.SendStr("path", strPath);
        call.result.UInt("size", strPath.empty() ? 0 : strPath.size() + 1);
    });
}

uint64_t CSimState::PathHandleFor(const std::string& strPath) {
    auto [it, bInserted] = m_pathHandles.emplace(strPath, 0);
    if (bInserted) {
        // Never 0: a record with handle 0 names its path by string.
        it->second = 0x1000 + m_pathHandles.size();
    }
    return it->second;
}

namespace {

// A batch as IVRPaths_002 sends it: the container, a count, then the records.
template <typename TRecord>
struct Batch {
    uint64_t ulContainer = 0;
    uint32_t unCount = 0;
    std::vector<TRecord> records;
};

// Reads a batch whose records take at least cubMinRecord bytes each; false
// when the count promises more records than were sent.
template <typename TRecord, typename TReadOne>
bool ReadBatch(CWireReader& r, size_t cubMinRecord, Batch<TRecord>& batch, TReadOne readOne) {
    batch.ulContainer = r.U64();
    batch.unCount = r.U32();
    if (!r.Ok() || batch.unCount > r.Remaining() / cubMinRecord) {
        return false;
    }
    for (uint32_t i = 0; i < batch.unCount && r.Ok(); ++i) {
        batch.records.push_back(readOne());
    }
    return batch.records.size() == batch.unCount;
}

// Record fields in wire order, so that a braced initialiser of reads (which
// runs in order) decodes one.
struct PathRead {
    uint64_t ulPath;
    uint32_t unBufferSize;
    uint64_t ulReserved;
};
struct PathWrite {
    uint64_t ulPath;
    bool bHasString;
    std::string strPath;
    uint32_t unTag;
    std::string bytes;
    uint64_t ulReserved0;
    uint32_t unReserved1;
    uint8_t unOptions, unReserved2;
};

}  // namespace

bool CSimState::LPathsRead(Reader& r, Call& call) {
    Batch<PathRead> batch;
    if (!ReadBatch(r, 20, batch, [&r] { return PathRead{r.U64(), r.U32(), r.U64()}; })) {
        return false;
    }
    return call.Answer(r, [&] {
        call.args.UInt("container", batch.ulContainer).UInt("count", batch.unCount);
        if (batch.ulContainer == 0) {
            call.SendU32("error", codes::k_unPathInvalidContainer);
            return;
        }
        call.SendU32("error", 0);
        std::vector<std::string> vecRecords;
        for (const PathRead& req : batch.records) {
            auto it = m_pathValues.find({batch.ulContainer, req.ulPath});
            uint32_t unTag = 0, unRequired = 0, unError = 0;
            std::string data;
            if (it == m_pathValues.end()) {
                unError = codes::k_unPathUnknownPath;
            } else {
                unTag = it->second.unTag;
                unRequired = static_cast<uint32_t>(it->second.bytes.size());
                if (req.unBufferSize >= unRequired) {
                    data = it->second.bytes;
                } else {
                    unError = codes::k_unPathBufferTooSmall;
                }
            }
            call.answer.U32(unTag);
            call.answer.U32(unRequired);
            call.answer.U32(unError);
            call.answer.Str(data);
            vecRecords.push_back(CJsonFields()
                                     .UInt("path", req.ulPath)
                                     .UInt("buffer", req.unBufferSize)
                                     .UInt("tag", unTag)
                                     .UInt("required", unRequired)
                                     .UInt("error", unError)
                                     .Object());
        }
        call.result.Raw("records", JsonArray(vecRecords));
    });
}

bool CSimState::LPathsWrite(Reader& r, Call& call) {
    Batch<PathWrite> batch;
    if (!ReadBatch(r, 35, batch, [&r] {
            return PathWrite{r.U64(), r.Bool(), r.Str(), r.U32(), r.Str(),
                             r.U64(), r.U32(),  r.U8(),  r.U8()};
        })) {
        return false;
    }
    return call.Answer(r, [&] {
        uint32_t unError = batch.ulContainer == 0 ? codes::k_unPathInvalidContainer : 0;
        for (const PathWrite& rec : batch.records) {
            if (unError == 0 && rec.ulPath == 0 && (!rec.bHasString || rec.strPath.empty())) {
                unError = codes::k_unPathInvalidArgument;
            }
        }
        std::vector<std::string> vecRecords;
        for (const PathWrite& rec : batch.records) {
            uint64_t ulHandle = rec.ulPath;
            if (unError == 0) {
                if (ulHandle == 0) {
                    ulHandle = PathHandleFor(rec.strPath);
                }
                m_pathValues[{batch.ulContainer, ulHandle}] = PathValue{rec.unTag, rec.bytes};
            }
            CJsonFields fields;
            fields.UInt("path", ulHandle);
            if (rec.bHasString) {
                fields.Str("path_string", rec.strPath);
            }
            std::string strReserved =
                JsonArray({std::to_string(rec.ulReserved0), std::to_string(rec.unReserved1),
                           std::to_string(rec.unReserved2)});
            vecRecords.push_back(fields.UInt("tag", rec.unTag)
                                     .UInt("size", rec.bytes.size())
                                     .Str("value", HexOf(rec.bytes))
                                     .UInt("options", rec.unOptions)
                                     .Raw("reserved", strReserved)
                                     .Object());
        }
        call.args.UInt("container", batch.ulContainer)
            .UInt("count", batch.unCount)
            .Raw("records", JsonArray(vecRecords));
        call.SendU32("error", unError);
    });
}

bool CSimState::LPathsStringToHandle(Reader& r, Call& call) {
    std::string strPath = r.Str();
    return call.Answer(r, [&] {
        uint32_t unError = strPath.empty() ? codes::k_unPathInvalidArgument : 0;
        call.args.Str("path", strPath);
        call.SendU32("error", unError);
        call.SendU64("handle", unError ? 0 : PathHandleFor(strPath));
    });
}

}  // namespace lattice_sim
