// The per-frame host client worker, driven against a real lattice-sim playing
// the host client. Assertions are on the simulator's journal, the log lines
// and what the worker reports.
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "json/json.h"
#include "log_recorder.h"
#include "quill_private.h"
#include "quill_worker_fixture.h"
#include "quill_worker_thread.h"
#include "sim_fixture.h"
#include "systemtime.h"
#include "threadtools.h"
#include "threadwatchdog.h"
#include "vrpathregistry.h"

namespace {

using halyard_test::k_sInit;
using halyard_test::k_sShutdown;
using halyard_test::LogRecorder;
using halyard_test::QuillWorkerTest;
using halyard_test::WaitFor;

// The worker's log lines ("[Quill] ..."; a watchdog's monitor thread logs
// too), each with the detail string its thread's watchdog carried while the
// line was logged.
class DetailLogRecorder {
public:
    DetailLogRecorder() {
        m_callback.Initialize(
            [this](ELogLevel, const char* pchText, void*) {
                if (std::string(pchText).rfind("[Quill] ", 0) != 0) {
                    return;
                }
                const char* pchDetail = CThreadWatchdog::GetDetailString();
                std::lock_guard<std::mutex> lock(m_mutex);
                m_lines.push_back({pchText, pchDetail ? pchDetail : "<none>"});
            },
            nullptr);
    }
    std::vector<std::pair<std::string, std::string>> Lines() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    std::vector<std::string> Texts() {
        std::vector<std::string> texts;
        for (const auto& line : Lines()) {
            texts.push_back(line.first);
        }
        return texts;
    }
    size_t Count(const std::string& sText) {
        size_t n = 0;
        for (const auto& line : Lines()) {
            n += line.first == sText;
        }
        return n;
    }

private:
    std::mutex m_mutex;
    std::vector<std::pair<std::string, std::string>> m_lines;
    CLogCallback m_callback;
};

TEST_F(QuillWorkerTest, ConnectsAndRunsCallbacksInTheFirstFrameWhenTheHostRuns) {
    ASSERT_TRUE(StartSim());
    CThreadWatchdog watchdog("QuillWorkerTest", 600.0f, CThreadWatchdog::WatchdogTimeout_Log);
    CThreadWatchdog::SetDetailString("outer work");
    DetailLogRecorder log;
    {
        CQuillWorker worker;
        EXPECT_FALSE(worker.IsQuillAPIAvailable());
        EXPECT_EQ(Calls("QuillInternal_QuillAPI_Init"), 0u);  // construction never initialises

        worker.RunFrame();
        EXPECT_TRUE(worker.IsQuillAPIAvailable());
        EXPECT_NE(g_pQuillOrreryPrivate, nullptr);
        EXPECT_STREQ(CThreadWatchdog::GetDetailString(), "outer work");
        auto lines = log.Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].first, k_sInit);
        EXPECT_EQ(lines[0].second, "QuillAPI_Init");

        // One frame: init, the app id check, the private interface, callbacks.
        auto calls = CallSequence();
        std::vector<std::string> expected = {"QuillInternal_QuillAPI_Init",
                                             "QuillInternal_FindOrCreateUserInterface",
                                             "QuillUtils010::GetAppId",
                                             "QuillInternal_FindOrCreateUserInterface",
                                             "QuillInternal_FindOrCreateUserInterface",
                                             "QuillAPI_RunCallbacks"};
        ASSERT_GE(calls.size(), expected.size());
        EXPECT_EQ(std::vector<std::string>(calls.end() - expected.size(), calls.end()), expected);
        // The utilities for the app id check, then the private interface:
        // version 2 first, version 1 for the wrapper it owns.
        std::vector<std::string> vecLookups;
        for (const std::string& sLine :
             m_sim.JournalLines(R"("call":"QuillInternal_FindOrCreateUserInterface")")) {
            Json::Value entry;
            ASSERT_TRUE(Json::Reader().parse(sLine, entry));
            vecLookups.push_back(entry["args"]["version"].asString());
        }
        EXPECT_EQ(vecLookups, (std::vector<std::string>{"QuillUtils010", "QuillOrreryPrivate002",
                                                        "QuillOrreryPrivate001"}));

        // The expected app id was published before the attempt; the host
        // answers the same, so nothing is said about it.
        char rchAppId[16];
        snprintf(rchAppId, sizeof(rchAppId), "%u", CVRPathRegistry_Public::GetQuillAppId());
        EXPECT_STREQ(getenv("QuillAppId"), rchAppId);
        EXPECT_STREQ(getenv("QuillGameId"), rchAppId);
        auto inits = m_sim.JournalLines("QuillInternal_QuillAPI_Init");
        ASSERT_EQ(inits.size(), 1u);
        Json::Value init;
        ASSERT_TRUE(Json::Reader().parse(inits[0], init));
        EXPECT_EQ(init["args"]["QuillAppId"].asString(), rchAppId);
        const Json::Value& versions = init["args"]["interfaces"];
        ASSERT_EQ(versions.size(), static_cast<unsigned>(k_nQuillInterfaceVersions));
        EXPECT_EQ(versions[0].asString(), "QuillUtils010");
        std::set<std::string> setVersions;
        for (const Json::Value& version : versions) {
            setVersions.insert(version.asString());
        }
        EXPECT_EQ(setVersions.size(), 27u);
        for (const char* pchVersion :
             {"QuillUser023", "QuillFriends017", "QUILLSCREENSHOTS_INTERFACE_VERSION003"}) {
            EXPECT_EQ(setVersions.count(pchVersion), 1u) << pchVersion;
        }

        // Later frames only run callbacks.
        worker.RunFrame();
        worker.RunFrame();
        EXPECT_EQ(Calls("QuillAPI_RunCallbacks"), 3u);
        EXPECT_EQ(Calls("QuillInternal_QuillAPI_Init"), 1u);
        EXPECT_EQ(log.Texts().size(), 1u);
    }
    // Destruction shuts the library down.
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].first, k_sShutdown);
    EXPECT_EQ(lines[1].second, "QuillAPI_Shutdown");
    EXPECT_EQ(Calls("QuillAPI_Shutdown"), 1u);
    EXPECT_EQ(g_pQuillOrreryPrivate, nullptr);
    EXPECT_STREQ(CThreadWatchdog::GetDetailString(), "outer work");
}

TEST_F(QuillWorkerTest, HostThatStartsLaterIsGivenHalfASecond) {
    ASSERT_TRUE(StartSim(R"({"host": {"running": false}})"));
    LogRecorder log;
    CQuillWorker worker;
    for (int i = 0; i < 5; ++i) {
        worker.RunFrame();
    }
    EXPECT_EQ(Calls("QuillInternal_QuillAPI_Init"), 0u);

    ASSERT_TRUE(Host("up"));
    double flSeenStart = GetSystemTime();
    worker.RunFrame();  // sees the host client: the first attempt waits
    double flSeenEnd = GetSystemTime();
    EXPECT_EQ(Calls("QuillInternal_QuillAPI_Init"), 0u);
    // The frames from that one until connected, each with the time before
    // and after it. On a loaded machine the journal query above may take
    // longer than the wait, and then the first frame after it connects.
    std::vector<std::pair<double, double>> vecFrames = {{flSeenStart, flSeenEnd}};
    ASSERT_TRUE(WaitFor([&] {
        double flStart = GetSystemTime();
        worker.RunFrame();
        vecFrames.push_back({flStart, GetSystemTime()});
        ThreadSleep(5);
        return worker.IsQuillAPIAvailable();
    }));
    ASSERT_GE(vecFrames.size(), 2u);
    // The connecting frame ran at least 0.5 s after the frame that saw the
    // host client, and the frame before it began too early to attempt: the
    // first frame that was allowed to try did.
    EXPECT_GE(vecFrames.back().second - flSeenStart, CQuillWorker::k_flInitRetrySeconds);
    EXPECT_LT(vecFrames[vecFrames.size() - 2].first,
              flSeenEnd + CQuillWorker::k_flInitRetrySeconds);
    EXPECT_EQ(Calls("QuillInternal_QuillAPI_Init"), 1u);
    EXPECT_EQ(log.Count(k_sInit), 1u);
}

TEST_F(QuillWorkerTest, FailedInitialisationIsRetriedEveryHalfSecondWithoutLogging) {
    ASSERT_TRUE(StartSim(R"({"host": {"init_result": 1}})"));
    LogRecorder log;
    CQuillWorker worker;
    ASSERT_TRUE(WaitFor([&] {
        worker.RunFrame();
        ThreadSleep(5);
        return Calls("QuillInternal_QuillAPI_Init") >= 3;
    }));
    EXPECT_FALSE(worker.IsQuillAPIAvailable());
    auto times = CallTimes("QuillInternal_QuillAPI_Init");
    ASSERT_GE(times.size(), 3u);
    for (size_t i = 1; i < times.size(); ++i) {
        EXPECT_GE(times[i] - times[i - 1], 499) << i;
    }
    EXPECT_EQ(Calls("QuillAPI_RunCallbacks"), 0u);
    EXPECT_EQ(log.All(), "");

    // Once the host client accepts, the next due attempt connects.
    ASSERT_EQ(m_sim.Ctl({"host", "init-result", "0"}).exitCode, 0);
    ASSERT_TRUE(RunUntilConnected(worker));
    EXPECT_EQ(log.All(), k_sInit);
}

TEST_F(QuillWorkerTest, AppIdMismatchIsLoggedOnceAndChangesNothing) {
    ASSERT_TRUE(StartSim(R"({"host": {"app_id": 4242}})"));
    LogRecorder log;
    CQuillWorker worker;
    worker.RunFrame();
    EXPECT_TRUE(worker.IsQuillAPIAvailable());
    std::string sExpected = std::to_string(CVRPathRegistry_Public::GetQuillAppId());
    EXPECT_EQ(log.All(),
              k_sInit + "[Quill] QuillAppID mismatch: got 4242, expected " + sExpected + "\n");
    // Asked once to compare and once more for the message.
    EXPECT_EQ(Calls("QuillUtils010::GetAppId"), 2u);
    EXPECT_NE(g_pQuillOrreryPrivate, nullptr);
    worker.RunFrame();
    EXPECT_EQ(log.Count("[Quill] QuillAppID mismatch"), 1u);
    EXPECT_EQ(Calls("QuillAPI_RunCallbacks"), 2u);
}

TEST_F(QuillWorkerTest, MissingUtilitiesInterfaceSkipsTheAppIdCheck) {
    ASSERT_TRUE(
        StartSim(R"({"host": {"app_id": 4242, "withhold_interfaces": ["QuillUtils010"]}})"));
    LogRecorder log;
    CQuillWorker worker;
    worker.RunFrame();
    EXPECT_TRUE(worker.IsQuillAPIAvailable());
    EXPECT_EQ(log.All(), k_sInit);
    EXPECT_EQ(Calls("QuillUtils010::GetAppId"), 0u);
}

// The expected app id is published by the thread that makes the worker, once;
// the attempts of a worker thread leave the environment alone (other threads
// read it meanwhile).
TEST_F(QuillWorkerTest, AppIdIsPublishedByTheOwnerNotBeforeEachAttempt) {
    ASSERT_TRUE(StartSim(R"({"host": {"init_result": 1}})"));
    halyard_test::ScopedEnv appId("QuillAppId", std::nullopt);
    halyard_test::ScopedEnv gameId("QuillGameId", std::nullopt);
    CQuillWorkerThread thread(nullptr);
    std::string sId = std::to_string(CVRPathRegistry_Public::GetQuillAppId());
    ASSERT_NE(getenv("QuillAppId"), nullptr);
    EXPECT_EQ(std::string(getenv("QuillAppId")), sId);
    ASSERT_NE(getenv("QuillGameId"), nullptr);
    EXPECT_EQ(std::string(getenv("QuillGameId")), sId);

    halyard_test::ScopedEnv changed("QuillAppId", "changed by the owner");
    ASSERT_TRUE(thread.StartupService());
    ASSERT_TRUE(WaitFor([&] { return Calls("QuillInternal_QuillAPI_Init") >= 2; }));
    thread.ShutdownService();
    for (const std::string& sLine : m_sim.JournalLines("QuillInternal_QuillAPI_Init")) {
        EXPECT_NE(sLine.find(R"("QuillAppId":"changed by the owner")"), std::string::npos) << sLine;
    }
    EXPECT_STREQ(getenv("QuillAppId"), "changed by the owner");
}

// Reads the detail string while a notice is delivered on the worker's thread.
class CNoticeWitness {
public:
    void OnNotice(QuillShutdown_t*) {
        const char* pchDetail = CThreadWatchdog::GetDetailString();
        m_vecDetails.push_back(pchDetail ? pchDetail : "<none>");
    }
    std::vector<std::string> m_vecDetails;
};

TEST_F(QuillWorkerTest, ShutdownNoticeTakesEffectInTheNextFrame) {
    ASSERT_TRUE(StartSim());
    CThreadWatchdog watchdog("QuillWorkerTest", 600.0f, CThreadWatchdog::WatchdogTimeout_Log);
    DetailLogRecorder log;
    CQuillWorker worker;
    CNoticeWitness witness;
    CCallback<CNoticeWitness, QuillShutdown_t> witnessCallback;
    witnessCallback.Register(&witness, &CNoticeWitness::OnNotice);
    worker.RunFrame();
    ASSERT_TRUE(worker.IsQuillAPIAvailable());

    ASSERT_TRUE(Host("notice-shutdown"));
    worker.RunFrame();  // delivers the notice; the worker stays connected for now
    ASSERT_EQ(witness.m_vecDetails, std::vector<std::string>{"QuillAPI_RunCallbacks"});
    EXPECT_TRUE(worker.IsQuillAPIAvailable());
    EXPECT_EQ(log.Count(k_sShutdown), 0u);

    size_t nCallbacks = Calls("QuillAPI_RunCallbacks");
    worker.RunFrame();  // shuts down, runs no callbacks
    EXPECT_FALSE(worker.IsQuillAPIAvailable());
    EXPECT_EQ(log.Count(k_sShutdown), 1u);
    EXPECT_EQ(Calls("QuillAPI_Shutdown"), 1u);
    EXPECT_EQ(Calls("QuillAPI_RunCallbacks"), nCallbacks);
    EXPECT_EQ(g_pQuillOrreryPrivate, nullptr);

    worker.RunFrame();  // the retry time is long past: connects again at once
    EXPECT_TRUE(worker.IsQuillAPIAvailable());
    EXPECT_EQ(log.Texts(), (std::vector<std::string>{k_sInit, k_sShutdown, k_sInit}));
    EXPECT_EQ(Calls("QuillAPI_RunCallbacks"), nCallbacks + 1);
    // New wrappers, holding host pointers looked up for this initialisation.
    ASSERT_NE(g_pQuillOrreryPrivate, nullptr);
    EXPECT_EQ(m_sim.JournalLines(R"("version":"QuillOrreryPrivate001")").size(), 2u);
    EXPECT_EQ(m_sim.JournalLines(R"("version":"QuillOrreryPrivate002")").size(), 2u);
    EXPECT_NE(g_pQuillOrreryPrivate->HostInterface(), nullptr);
    EXPECT_EQ(g_pQuillOrreryPrivate->HostInterface(), QuillOrreryPrivate002());
    EXPECT_EQ(g_pQuillOrreryPrivate->Private001()->HostInterface(), QuillOrreryPrivate001());
}

TEST_F(QuillWorkerTest, HostThatExitsIsLetGoWithoutANotice) {
    ASSERT_TRUE(StartSim());
    LogRecorder log;
    CQuillWorker worker;
    worker.RunFrame();
    ASSERT_TRUE(worker.IsQuillAPIAvailable());

    ASSERT_TRUE(Host("down"));
    worker.RunFrame();
    EXPECT_FALSE(worker.IsQuillAPIAvailable());
    EXPECT_EQ(log.All(), k_sInit + k_sShutdown);
    EXPECT_EQ(Calls("QuillAPI_Shutdown"), 1u);
    size_t nJournal = m_sim.JournalLines("\"api\":\"quill\"").size();
    for (int i = 0; i < 20; ++i) {
        worker.RunFrame();
    }
    // While it stays away: no attempts, no lines, not even a question to the peer.
    EXPECT_EQ(m_sim.JournalLines("\"api\":\"quill\"").size(), nJournal);
    EXPECT_EQ(log.All(), k_sInit + k_sShutdown);

    ASSERT_TRUE(Host("up"));
    ASSERT_TRUE(RunUntilConnected(worker));
    EXPECT_EQ(log.All(), k_sInit + k_sShutdown + k_sInit);
}

TEST_F(QuillWorkerTest, ShutdownIsIdempotentAndNoticesWhileDisconnectedAreDropped) {
    ASSERT_TRUE(StartSim());
    LogRecorder log;
    {
        CQuillWorker worker;
        worker.Shutdown();  // never connected: nothing
        // A notice without an initialised library has nothing to end.
        worker.OnQuillShutdown(nullptr);
        worker.RunFrame();
        ASSERT_TRUE(worker.IsQuillAPIAvailable());
        worker.RunFrame();
        EXPECT_TRUE(worker.IsQuillAPIAvailable());

        worker.Shutdown();
        worker.Shutdown();
        EXPECT_FALSE(worker.IsQuillAPIAvailable());
        // The owner's shutdown does not stop the worker: the next frame connects.
        worker.RunFrame();
        EXPECT_TRUE(worker.IsQuillAPIAvailable());
        worker.Shutdown();
        worker.ReleaseCurrentThreadMemory();  // disconnected: no library call
    }
    EXPECT_EQ(log.All(), k_sInit + k_sShutdown + k_sInit + k_sShutdown);
    EXPECT_EQ(Calls("QuillAPI_Shutdown"), 2u);
}

TEST_F(QuillWorkerTest, DestroyedWorkerLeavesNoCallbackBehind) {
    ASSERT_TRUE(StartSim());
    {
        CQuillWorker first;
        first.RunFrame();
        ASSERT_TRUE(first.IsQuillAPIAvailable());
    }
    CQuillWorker second;
    second.RunFrame();
    ASSERT_TRUE(second.IsQuillAPIAvailable());
    ASSERT_EQ(m_sim.Ctl({"host", "notice-shutdown"}).strStdout, "queued for 1 host session(s)\n");
    // Only the live worker's record is called (a freed one would be a crash
    // under the sanitizers).
    second.RunFrame();
    second.RunFrame();
    EXPECT_FALSE(second.IsQuillAPIAvailable());
}

TEST_F(QuillWorkerTest, ReleaseCurrentThreadMemoryRestoresTheDetailString) {
    ASSERT_TRUE(StartSim(R"({"host": {"language": "german"}})"));
    CThreadWatchdog watchdog("QuillWorkerTest", 600.0f, CThreadWatchdog::WatchdogTimeout_Log);
    CQuillWorker worker;
    worker.ReleaseCurrentThreadMemory();
    EXPECT_EQ(CThreadWatchdog::GetDetailString(), nullptr);
    worker.RunFrame();
    ASSERT_NE(QuillUtils(), nullptr);
    EXPECT_STREQ(QuillUtils()->GetUiLanguage(), "german");
    CThreadWatchdog::SetDetailString("frame");
    worker.ReleaseCurrentThreadMemory();
    EXPECT_STREQ(CThreadWatchdog::GetDetailString(), "frame");
    // The library still answers afterwards.
    EXPECT_STREQ(QuillUtils()->GetUiLanguage(), "german");
}

}  // namespace
