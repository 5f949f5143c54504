// The host client library's operations: whether the host client runs,
// initialisation and shutdown, and the calls made within an initialisation
// (a session): callbacks, interfaces, user, screenshots, the private interface.
#include <algorithm>
#include <cstdio>

#include "files.h"
#include "parsing.h"
#include "state.h"

namespace lattice_sim {

namespace codes = lattice_proto::codes;

// --- the host client and its initialisations -------------------------------------

bool CSimState::QIsRunning(Reader& r, Call& call) {
    return call.Answer(r, [&] { call.SendBool("running", m_config.host.bRunning); });
}

bool CSimState::QAttach(Reader& r, Call& call) {
    return call.Answer(r, [&] {
        call.args.Bool("attach", true);
        call.SendBool("running", m_config.host.bRunning);
        call.fdToPass = m_fdShared;
    });
}

bool CSimState::QInit(Reader& r, Call& call) {
    std::vector<std::string> versions = r.StrList();
    std::string strAppId = r.Str();
    return call.Answer(r, [&] {
        const HostConfig& host = m_config.host;
        int32_t nResult = 0;
        std::string strMessage;
        uint64_t ulSession = 0;
        if (!host.bRunning) {
            nResult = codes::k_nQuillInitNoHostClient;
            strMessage = "the host client is not running";
        } else if (host.nInitResult != 0) {
            nResult = host.nInitResult;
            strMessage = "the host client refused the initialisation";
        } else {
            ulSession = m_ulNextHostSession++;
            HostSession& session = m_hostSessions[ulSession];
            session.nPid = call.client.nPid;
            std::string strWhy;
            session.pPage = CreateSessionPage(&call.fdToPass, &strWhy);
            call.bOwnsFd = call.fdToPass >= 0;
            if (!session.pPage) {
                // Its client then sends each idle RunCallbacks instead.
                fprintf(stderr, "lattice-sim: host session %llu gets no session page: %s\n",
                        static_cast<unsigned long long>(ulSession), strWhy.c_str());
            }
            uint64_t ulAppId = 0;
            if (ParseU64(strAppId, ulAppId) && ulAppId <= 0xFFFFFFFFull) {
                session.unAppIdFromProcess = static_cast<uint32_t>(ulAppId);
            }
        }
        call.answer.I32(nResult);
        call.answer.Str(strMessage);
        call.answer.U64(ulSession);
        call.answer.I32(nResult == 0 ? host.hUser : 0);
        call.args.StrList("interfaces", versions).Str("QuillAppId", strAppId);
        call.result.Int("result", nResult).UInt("session", ulSession);
    });
}

bool CSimState::QShutdown(Reader& r, Call& call) {
    uint64_t ulSession = r.U64();
    return call.Answer(r, [&] {
        call.args.UInt("session", ulSession);
        auto it = m_hostSessions.find(ulSession);
        call.result.Bool("known_session", it != m_hostSessions.end());
        if (it != m_hostSessions.end()) {
            EndHostSession(it);
        }
        PublishState();  // its queued callbacks went with it
    });
}

// --- session pages ------------------------------------------------------------------
// A client counts there the RunCallbacks calls it makes while nothing is
// queued. Handle() journals them before anything else, so they keep their
// place before the client's next call; a journal read does so too.

CSimState::SessionPagePtr CSimState::CreateSessionPage(int* pfdForClient, std::string* pstrWhy) {
    void* pMap = lattice_proto::CreateSealedPage(
        "lattice-sim-session", sizeof(lattice_proto::SessionPage), pfdForClient, pstrWhy);
    if (!pMap) {
        return nullptr;
    }
    SessionPagePtr pPage(static_cast<lattice_proto::SessionPage*>(pMap));
    pPage->unMagic = lattice_proto::k_unSessionPageMagic;
    pPage->unVersion = lattice_proto::k_usProtocolVersion;
    return pPage;
}

void CSimState::JournalIdleCallsOn(uint64_t ulSession, int64_t nPid,
                                   lattice_proto::SessionPage& page, bool bEnded) {
    // The count is the client's to write: more than the journal keeps would
    // only push out every entry but these.
    const size_t cCalls = std::min<size_t>(lattice_proto::TakeShared(page.unIdleRunCallbacks),
                                           m_config.cJournalLimit);
    if (cCalls == 0) {
        return;  // the usual case: this runs before every call the simulator handles
    }
    const Operation& op = *FindOperation(lattice_proto::Op_Q_RunCallbacksNoneQueued);
    CJsonFields args, result;
    args.UInt("session", ulSession);
    if (!bEnded) {
        result.Raw("callbacks", JsonArray({}));
    }
    for (size_t i = 0; i < cCalls; ++i) {
        m_journal.Add(nPid, op.pchApi, op.pchName, args, result, false,
                      bEnded ? "no such host session" : "");
    }
}

void CSimState::JournalIdleCalls() {
    for (auto& [ulSession, session] : m_hostSessions) {
        if (session.pPage) {
            JournalIdleCallsOn(ulSession, session.nPid, *session.pPage, false);
        }
    }
    for (EndedSessionPage& ended : m_endedSessionPages) {
        JournalIdleCallsOn(ended.ulSession, ended.nPid, *ended.pPage, true);
    }
}

void CSimState::EndHostSession(std::map<uint64_t, HostSession>::iterator it) {
    if (it->second.pPage) {
        JournalIdleCallsOn(it->first, it->second.nPid, *it->second.pPage, false);
        m_endedSessionPages.push_back({it->first, it->second.nPid, std::move(it->second.pPage)});
        if (m_endedSessionPages.size() > k_cMaxEndedSessionPages) {
            m_endedSessionPages.pop_front();
        }
    }
    m_hostSessions.erase(it);
}

// --- calls within a session ---------------------------------------------------------
// Handle() reads the session id first and Finish() names it last; a call on a
// session that has ended is journaled and refused.

bool CSimState::AnswerInSession(Reader& r, Call& call,
                                const std::function<void(HostSession*)>& fill) {
    return call.Answer(r, [&] {
        auto it = m_hostSessions.find(call.ulSession);
        call.pSession = it == m_hostSessions.end() ? nullptr : &it->second;
        fill(call.pSession);
    });
}

bool CSimState::QRunCallbacks(Reader& r, Call& call) {
    return RunCallbacks(r, call, true);
}

// The one-way form delivers nothing: its sender reads no answer, so a
// callback queued meanwhile stays for the next frame.
bool CSimState::QRunCallbacksNoneQueued(Reader& r, Call& call) {
    return RunCallbacks(r, call, false);
}

bool CSimState::RunCallbacks(Reader& r, Call& call, bool bDeliver) {
    return AnswerInSession(r, call, [&](HostSession* pSession) {
        if (pSession) {
            const size_t cDelivered = bDeliver ? pSession->callbacks.size() : 0;
            call.answer.U32(static_cast<uint32_t>(cDelivered));
            std::vector<std::string> vecIds;
            for (size_t i = 0; i < cDelivered; ++i) {
                call.answer.I32(pSession->callbacks[i].first);
                call.answer.Str(pSession->callbacks[i].second);
                vecIds.push_back(std::to_string(pSession->callbacks[i].first));
            }
            pSession->callbacks.erase(pSession->callbacks.begin(),
                                      pSession->callbacks.begin() + cDelivered);
            PublishState();
            call.result.Raw("callbacks", JsonArray(vecIds));
        }
    });
}

bool CSimState::QFindInterface(Reader& r, Call& call) {
    int32_t hUser = r.I32();
    std::string strVersion = r.Str();
    return AnswerInSession(r, call, [&](HostSession* pSession) {
        const HostConfig& host = m_config.host;
        call.args.Int("user", hUser).Str("version", strVersion);
        call.SendBool("found", pSession && host.setInterfaces.count(strVersion) > 0 &&
                                   (hUser == 0 || hUser == host.hUser));
    });
}

bool CSimState::QUtilsAppId(Reader& r, Call& call) {
    return AnswerInSession(r, call, [&](HostSession* pSession) {
        if (pSession) {
            const HostConfig& host = m_config.host;
            call.SendU32("app_id", host.appId ? *host.appId : pSession->unAppIdFromProcess);
        }
    });
}

bool CSimState::QUtilsLanguage(Reader& r, Call& call) {
    return AnswerInSession(r, call, [&](HostSession* pSession) {
        if (pSession) {
            call.SendStr("language", m_config.host.strLanguage);
        }
    });
}

bool CSimState::QUtilsStartDashboard(Reader& r, Call& call) {
    return AnswerInSession(r, call, [](HostSession*) {});
}

bool CSimState::QUserId(Reader& r, Call& call) {
    return AnswerInSession(r, call, [&](HostSession* pSession) {
        if (pSession) {
            call.SendU64("user_id", m_config.host.ulUserId);
        }
    });
}

bool CSimState::QFriendsPersonaName(Reader& r, Call& call) {
    return AnswerInSession(r, call, [&](HostSession* pSession) {
        if (pSession) {
            call.SendStr("name", m_config.host.strUserName);
        }
    });
}

std::string CSimState::LibraryDirectory() const {
    if (!m_config.host.strScreenshotLibrary.empty()) {
        return m_config.host.strScreenshotLibrary;
    }
    size_t nSlash = m_strSocketPath.find_last_of('/');
    std::string strDir = nSlash == std::string::npos ? "." : m_strSocketPath.substr(0, nSlash);
    return (strDir.empty() ? std::string("/") : strDir) + "/quill-screenshots";
}

// Copies a screenshot pair into the library folder as "<handle>_<name>";
// answers the handle, 0 with an "error" in the result when it cannot.
uint32_t CSimState::AddToLibrary(const std::string& strFirst, const std::string& strSecond,
                                 CJsonFields& result) {
    std::string strDir = LibraryDirectory();
    if (!FileExists(strFirst) || !FileExists(strSecond)) {
        result.Str("error", "a screenshot file does not exist");
        return 0;
    }
    if (!MakeDirectories(strDir)) {
        result.Str("error", "cannot create " + strDir);
        return 0;
    }
    uint32_t unHandle = m_unNextLibraryHandle++;
    std::string strPrefix = strDir + "/" + std::to_string(unHandle) + "_";
    std::string strCopyFirst = strPrefix + BaseName(strFirst);
    std::string strCopySecond = strPrefix + BaseName(strSecond);
    if (!CopyFile(strFirst, strCopyFirst) || !CopyFile(strSecond, strCopySecond)) {
        result.Str("error", "copying into " + strDir + " failed");
        return 0;
    }
    result.Str("library_first", strCopyFirst).Str("library_second", strCopySecond);
    return unHandle;
}

bool CSimState::QScreenshotAdd(Reader& r, Call& call) {
    int32_t nType = r.I32();
    std::string strFirst = r.Str();
    std::string strSecond = r.Str();
    return AnswerInSession(r, call, [&](HostSession* pSession) {
        call.args.Int("type", nType).Str("first", strFirst).Str("second", strSecond);
        if (pSession) {
            call.SendU32("handle", AddToLibrary(strFirst, strSecond, call.result));
        }
    });
}

bool CSimState::QPrivateStart(Reader& r, Call& call) {
    std::string strVersion = r.Str();
    return AnswerInSession(r, call,
                           [&](HostSession*) { call.strName = strVersion + "::" + call.strName; });
}

bool CSimState::QPrivateConnectionParams(Reader& r, Call& call) {
    std::string strVersion = r.Str();
    std::string strParams = r.Str();
    return AnswerInSession(r, call, [&](HostSession*) {
        call.strName = strVersion + "::" + call.strName;
        call.args.Str("params", strParams);
    });
}

bool CSimState::QPrivateInvite(Reader& r, Call& call) {
    uint64_t ulHeadset = r.U64();
    return AnswerInSession(r, call, [&](HostSession* pSession) {
        call.args.UInt("headset", ulHeadset);
        if (pSession) {
            call.SendBool("invited", m_config.host.bInviteResult);
        }
    });
}

}  // namespace lattice_sim
