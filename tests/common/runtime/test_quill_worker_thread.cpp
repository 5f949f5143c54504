// The host client worker, its thread and the user info, driven against a real
// lattice-sim playing the host client. Assertions are on the simulator's
// journal, the log lines and what the worker reports.
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "json/json.h"
#include "log_recorder.h"
#include "quill_private.h"
#include "quill_worker_thread.h"
#include "sim_fixture.h"
#include "systemtime.h"
#include "threadtools.h"
#include "threadwatchdog.h"
#include "vrpathregistry.h"

namespace {

using halyard_test::LogRecorder;
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

const std::string k_sInit = "[Quill] Quill INIT.\n";
const std::string k_sShutdown = "[Quill] Quill SHUTDOWN.\n";

class QuillWorkerTest : public halyard_test::SimTest {
protected:
    void TearDown() override {
        QuillAPI_Shutdown();
        // A test's watchdog started the monitor thread: stop it before exit
        // rather than leave it running into static destruction.
        CThreadWatchdog::CleanupWatchdogs();
        SimTest::TearDown();
    }

    size_t Calls(const std::string& sCall) {
        return m_sim.JournalLines(R"("call":")" + sCall + "\"").size();
    }
    // The journal's calls in order, as their names.
    std::vector<std::string> CallSequence() {
        std::vector<std::string> calls;
        for (const std::string& sLine : halyard_test::SplitLines(m_sim.Journal())) {
            Json::Value entry;
            Json::Reader reader;
            if (reader.parse(sLine, entry)) {
                calls.push_back(entry["call"].asString());
            }
        }
        return calls;
    }
    std::vector<int64_t> CallTimes(const std::string& sCall) {
        std::vector<int64_t> times;
        for (const std::string& sLine : m_sim.JournalLines(R"("call":")" + sCall + "\"")) {
            Json::Value entry;
            Json::Reader reader;
            if (reader.parse(sLine, entry)) {
                times.push_back(entry["time_ms"].asInt64());
            }
        }
        return times;
    }
    // Frames until the worker is connected, paced like a frame loop.
    bool RunUntilConnected(CQuillWorker& worker) {
        return WaitFor([&] {
            worker.RunFrame();
            return worker.IsQuillAPIAvailable();
        });
    }
    bool Host(const std::string& sVerb) { return m_sim.Ctl({"host", sVerb}).exitCode == 0; }
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
    // Frames until connected, each with the time before and after it.
    std::vector<std::pair<double, double>> vecFrames;
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

// --- the worker thread ------------------------------------------------------------------

class CThreadListener : public IQuillWorkerThreadCallback {
public:
    void OnQuillWorkerFrame() override {
        char rchName[32] = {};
        pthread_getname_np(pthread_self(), rchName, sizeof(rchName));
        std::unique_lock<std::mutex> lock(m_mutex);
        m_setThreads.insert(std::this_thread::get_id());
        m_setNames.insert(rchName);
        ++m_nFrames;
        if (m_pInfo) {
            CQuillInfo* pInfo = m_pInfo;
            lock.unlock();
            pInfo->RunQuillFrame();
            lock.lock();
        }
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return !m_bBlock; });
    }
    void OnQuillShutdown() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_nShutdowns;
        m_changed.notify_all();
    }
    int Frames() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nFrames;
    }
    int Shutdowns() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nShutdowns;
    }
    // Waits for n more frames than now.
    bool WaitFrames(int n) {
        int nTarget = Frames() + n;
        return WaitFor([&] { return Frames() >= nTarget; });
    }
    void SetBlocked(bool bBlock) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bBlock = bBlock;
        m_changed.notify_all();
    }
    void SetInfo(CQuillInfo* pInfo) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pInfo = pInfo;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::set<std::thread::id> m_setThreads;
    std::set<std::string> m_setNames;
    int m_nFrames = 0;
    int m_nShutdowns = 0;
    bool m_bBlock = false;
    CQuillInfo* m_pInfo = nullptr;
};

// Lets whatever a test holds go on every way out of it; made after the worker
// thread, so that it acts before the worker is destroyed.
class CReleaseAtExit {
public:
    explicit CReleaseAtExit(std::function<void()> fnRelease) : m_fnRelease(std::move(fnRelease)) {}
    ~CReleaseAtExit() { m_fnRelease(); }

private:
    std::function<void()> m_fnRelease;
};

TEST_F(QuillWorkerTest, ShutdownServiceWithoutAThreadDoesNothing) {
    ASSERT_TRUE(StartSim());
    CThreadListener listener;
    CQuillWorkerThread thread(&listener);
    thread.ShutdownService();
    thread.ShutdownService();
    EXPECT_EQ(listener.Frames(), 0);
    EXPECT_FALSE(thread.IsQuillAPIAvailable());
    EXPECT_EQ(Calls("QuillInternal_QuillAPI_Init"), 0u);
}

TEST_F(QuillWorkerTest, WorkerThreadConnectsNotifiesAndStopsWhenAsked) {
    ASSERT_TRUE(StartSim());
    LogRecorder log;
    CThreadListener listener;
    {
        CQuillWorkerThread thread(&listener);
        EXPECT_EQ(listener.Frames(), 0);  // the constructor starts nothing
        ASSERT_TRUE(thread.StartupService());
        ASSERT_TRUE(thread.StartupService());  // already running: the same thread
        ASSERT_TRUE(WaitFor([&] { return thread.IsQuillAPIAvailable(); }));
        ASSERT_TRUE(listener.WaitFrames(3));

        // Stopping ends the 100 ms pause, shuts the library down on the
        // worker thread and joins it.
        thread.ShutdownService();
        EXPECT_EQ(listener.Shutdowns(), 1);
        EXPECT_FALSE(thread.IsQuillAPIAvailable());
        int nFrames = listener.Frames();
        EXPECT_EQ(log.All(), k_sInit + k_sShutdown);

        // It can start again.
        ASSERT_TRUE(thread.StartupService());
        ASSERT_TRUE(WaitFor([&] { return thread.IsQuillAPIAvailable(); }));
        ASSERT_TRUE(listener.WaitFrames(1));
        EXPECT_GT(listener.Frames(), nFrames);
    }
    // The destructor stopped it the same way.
    EXPECT_EQ(listener.Shutdowns(), 2);
    EXPECT_EQ(log.All(), k_sInit + k_sShutdown + k_sInit + k_sShutdown);
    EXPECT_EQ(listener.m_setNames, std::set<std::string>{"QuillWorkerThre"});
    EXPECT_EQ(listener.m_setThreads.count(std::this_thread::get_id()), 0u);
}

TEST_F(QuillWorkerTest, WorkerThreadFollowsTheShutdownNotice) {
    ASSERT_TRUE(StartSim());
    LogRecorder log;
    CThreadListener listener;
    CQuillWorkerThread thread(&listener);
    ASSERT_TRUE(thread.StartupService());
    ASSERT_TRUE(WaitFor([&] { return thread.IsQuillAPIAvailable(); }));
    ASSERT_TRUE(Host("notice-shutdown"));
    // Shut down by the notice, then connected again by a later frame.
    ASSERT_TRUE(WaitFor([&] { return listener.Shutdowns() == 1; }));
    ASSERT_TRUE(WaitFor([&] { return log.Count(k_sInit) == 2; }));
    thread.ShutdownService();
    EXPECT_EQ(listener.Shutdowns(), 2);
}

// The state of a thread of this process ('S' while it waits), or 0.
char TaskState(pid_t tid) {
    std::string sStat = halyard_test::ReadFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    size_t unEnd = sStat.rfind(')');
    return unEnd != std::string::npos && unEnd + 2 < sStat.size() ? sStat[unEnd + 2] : 0;
}

// Whether a thread of this process carries the name (as cut by the kernel).
bool HasTaskNamed(const std::string& sName) {
    for (const std::string& sTask :
         halyard_test::SplitLines(halyard_test::RunProcess({"ls", "/proc/self/task"}).strStdout)) {
        if (halyard_test::ReadFile("/proc/self/task/" + sTask + "/comm") == sName + "\n") {
            return true;
        }
    }
    return false;
}

// Owners that stop the thread at the same time: one joins it, the others
// return once it has ended.
TEST_F(QuillWorkerTest, ConcurrentShutdownServiceCallsEndTheThreadOnce) {
    ASSERT_TRUE(StartSim());
    LogRecorder log;
    CThreadListener listener;
    CQuillWorkerThread thread(&listener);
    CReleaseAtExit release([&] { listener.SetBlocked(false); });
    for (int nRound = 1; nRound <= 3; ++nRound) {
        ASSERT_TRUE(thread.StartupService());
        ASSERT_TRUE(WaitFor([&] { return thread.IsQuillAPIAvailable(); }));
        listener.SetBlocked(true);
        ASSERT_TRUE(listener.WaitFrames(1));
        // Both callers wait for the thread before it is let go.
        std::atomic<pid_t> rgTids[2] = {0, 0};
        std::atomic<int> nReturned{0};
        std::vector<std::thread> callers;
        for (std::atomic<pid_t>& tid : rgTids) {
            callers.emplace_back([&] {
                tid = gettid();
                thread.ShutdownService();
                ++nReturned;
            });
        }
        ASSERT_TRUE(WaitFor([&] {
            return rgTids[0] && rgTids[1] && TaskState(rgTids[0]) == 'S' &&
                   TaskState(rgTids[1]) == 'S';
        }));
        listener.SetBlocked(false);
        bool bReturned = WaitFor([&] { return nReturned == 2; });
        for (std::thread& caller : callers) {
            caller.join();
        }
        ASSERT_TRUE(bReturned);
        EXPECT_FALSE(thread.IsQuillAPIAvailable());
        EXPECT_EQ(listener.Shutdowns(), nRound);
        EXPECT_EQ(log.Count(k_sShutdown), static_cast<size_t>(nRound));
    }
}

TEST_F(QuillWorkerTest, StuckWorkerThreadIsAbandonedAfterThreeSeconds) {
    ASSERT_TRUE(StartSim());
    CThreadListener listener;
    CQuillWorkerThread thread(&listener);
    CReleaseAtExit release([&] { listener.SetBlocked(false); });
    ASSERT_TRUE(thread.StartupService());
    ASSERT_TRUE(WaitFor([&] { return thread.IsQuillAPIAvailable(); }));
    listener.SetBlocked(true);
    ASSERT_TRUE(listener.WaitFrames(1));  // now held inside its frame notification

    // Two owners give up on it at the same time; it is abandoned once.
    double flStart = GetSystemTime();
    std::thread other([&] { thread.ShutdownService(); });
    thread.ShutdownService();
    other.join();
    EXPECT_GE(GetSystemTime() - flStart, CQuillWorkerThread::k_flStopTimeoutSeconds - 0.01);
    EXPECT_EQ(listener.Shutdowns(), 0);  // still stuck
    // A second thread must not drive the same worker while the first is stuck.
    ASSERT_FALSE(thread.StartupService());
    thread.ShutdownService();  // nothing to stop

    // Released, the abandoned thread sees the stop, shuts down and ends.
    listener.SetBlocked(false);
    ASSERT_TRUE(WaitFor([&] { return listener.Shutdowns() == 1; }));
    EXPECT_FALSE(thread.IsQuillAPIAvailable());
    ASSERT_TRUE(WaitFor([&] { return thread.StartupService(); }));
    ASSERT_TRUE(WaitFor([&] { return thread.IsQuillAPIAvailable(); }));
    thread.ShutdownService();
    EXPECT_EQ(listener.Shutdowns(), 2);
}

// A host client record (any id the library does not use) whose delivery
// holds the worker thread inside QuillAPI_RunCallbacks until opened.
struct HoldRecord_t {
    enum { k_iCallback = 9001 };
    uint8_t m_ubUnused;
};

class CGate {
public:
    void Hold(HoldRecord_t*) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_bEntered = true;
        m_changed.wait(lock, [this] { return m_bOpen; });
    }
    bool Entered() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bEntered;
    }
    void Open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bOpen = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_bEntered = false;
    bool m_bOpen = false;
};

// A worker thread that does not stop is abandoned, and its worker can be
// destroyed: the destructor returns about 3 s after a host client call got
// stuck (it waits for a listener call in progress, since the listener may go
// once it returns). The abandoned thread keeps what it uses alive, calls the
// listener no more, shuts the library down itself and ends.
TEST_F(QuillWorkerTest, DestroyedWorkerThreadLeavesAnAbandonedThreadSafe) {
    for (bool bInHostCall : {true, false}) {
        SCOPED_TRACE(bInHostCall ? "stuck in a host client call" : "stuck in the listener");
        ASSERT_TRUE(StartSim());
        LogRecorder log;
        CThreadListener listener;
        CGate gate;
        CCallback<CGate, HoldRecord_t> holdCallback;
        holdCallback.Register(&gate, &CGate::Hold);
        auto pThread = std::make_unique<CQuillWorkerThread>(&listener);
        CReleaseAtExit release([&] {
            listener.SetBlocked(false);
            gate.Open();
        });
        ASSERT_TRUE(pThread->StartupService());
        ASSERT_TRUE(WaitFor([&] { return pThread->IsQuillAPIAvailable(); }));
        if (bInHostCall) {
            ASSERT_EQ(m_sim.Ctl({"host", "callback", "9001", "00"}).exitCode, 0);
            ASSERT_TRUE(WaitFor([&] { return gate.Entered(); }));
        } else {
            listener.SetBlocked(true);
            ASSERT_TRUE(listener.WaitFrames(1));
            pThread->ShutdownService();  // abandons it after 3 s
        }

        std::atomic<bool> bDestroyed{false};
        double flStart = GetSystemTime();
        std::thread destroyer([&] {
            pThread.reset();
            bDestroyed = true;
        });
        if (!bInHostCall) {
            listener.SetBlocked(false);
        }
        bool bReturned = WaitFor([&] { return bDestroyed.load(); });
        double flDestroyed = GetSystemTime();
        int nFrames = listener.Frames();
        int nShutdowns = listener.Shutdowns();
        gate.Open();
        destroyer.join();
        ASSERT_TRUE(bReturned) << "the destructor waited for the stuck thread";
        if (bInHostCall) {
            EXPECT_GE(flDestroyed - flStart, CQuillWorkerThread::k_flStopTimeoutSeconds - 0.01);
        }

        ASSERT_TRUE(WaitFor([] { return !HasTaskNamed("QuillWorkerThre"); }));
        EXPECT_EQ(listener.Frames(), nFrames);
        EXPECT_EQ(listener.Shutdowns(), nShutdowns);
        EXPECT_EQ(log.All(), k_sInit + k_sShutdown);
        EXPECT_EQ(Calls("QuillAPI_Shutdown"), 1u);
        EXPECT_EQ(g_pQuillOrreryPrivate, nullptr);
        m_sim.Stop();
    }
}

// --- user info --------------------------------------------------------------------------

TEST(QuillUserId, ValidityFollowsKindRealmAndInstance) {
    struct Row {
        uint64_t ulId;
        bool bValid;
    } rows[] = {
        {0x0110000100003039ull, true},   // kind 1, realm 1, instance 1
        {0x0110000000003039ull, false},  // kind 1, instance 0
        {0x0110000200003039ull, false},  // kind 1, instance 2
        {0x0110000100000000ull, false},  // kind 1, no account
        {0x0130000000000001ull, true},   // kind 3, any instance
        {0x0130000000000000ull, false},  // kind 3, no account
        {0x0170000000000005ull, true},   // kind 7, instance 0
        {0x0170000100000005ull, false},  // kind 7, instance 1
        {0x0170000000000000ull, false},  // kind 7, no account
        {0x0120000000000000ull, true},   // kind 2: nothing more needed
        {0x01A0000000000000ull, true},   // kind 10
        {0x01B0000000000001ull, false},  // kind 11
        {0x0100000000000001ull, false},  // kind 0
        {0x0410000100000001ull, true},   // realm 4
        {0x0510000100000001ull, false},  // realm 5
        {0x0010000100000001ull, false},  // realm 0
        {0, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(BIsValidQuillUserId(row.ulId), row.bValid) << std::hex << row.ulId;
    }
}

class QuillInfoTest : public QuillWorkerTest {
protected:
    // A worker thread whose frames feed a CQuillInfo, as an owner would wire them.
    void Start() {
        m_pThread = std::make_unique<CQuillWorkerThread>(&m_listener);
        m_pInfo = std::make_unique<CQuillInfo>(m_pThread.get());
        m_listener.SetInfo(m_pInfo.get());
        ASSERT_TRUE(m_pThread->StartupService());
    }
    void TearDown() override {
        if (m_pThread) {
            m_pThread->ShutdownService();
        }
        m_listener.SetInfo(nullptr);
        m_pInfo.reset();
        m_pThread.reset();
        QuillWorkerTest::TearDown();
    }

    CThreadListener m_listener;
    std::unique_ptr<CQuillWorkerThread> m_pThread;
    std::unique_ptr<CQuillInfo> m_pInfo;
};

TEST_F(QuillInfoTest, IdAndNameAreFetchedUntilTheIdIsValid) {
    ASSERT_TRUE(StartSim(R"({"host": {"user_id": 76561193665310777, "user_name": "Ada"}})"));
    ASSERT_FALSE(BIsValidQuillUserId(76561193665310777ull));  // kind 1, instance 0
    Start();
    EXPECT_EQ(m_pInfo->GetCurrentUserQuillId(), 0u);
    ASSERT_TRUE(WaitFor([&] { return m_pInfo->GetCurrentUserPersonaName() == "Ada"; }));
    EXPECT_EQ(m_pInfo->GetCurrentUserQuillId(), 76561193665310777ull);
    // Not valid: asked again every frame.
    size_t nAsked = Calls("QuillUser023::GetUserId");
    ASSERT_TRUE(m_listener.WaitFrames(3));
    EXPECT_GE(Calls("QuillUser023::GetUserId"), nAsked + 2);

    ASSERT_EQ(m_sim.Ctl({"host", "user-id", "0x0110000100003039"}).exitCode, 0);
    ASSERT_TRUE(WaitFor([&] { return m_pInfo->GetCurrentUserQuillId() == 0x0110000100003039ull; }));
    nAsked = Calls("QuillUser023::GetUserId");
    size_t nNames = Calls("QuillFriends017::GetDisplayName");
    ASSERT_TRUE(m_listener.WaitFrames(3));
    EXPECT_EQ(Calls("QuillUser023::GetUserId"), nAsked);
    EXPECT_EQ(Calls("QuillFriends017::GetDisplayName"), nNames);
}

TEST_F(QuillInfoTest, PersonaChangesRenameOnlyTheCurrentUser) {
    ASSERT_TRUE(StartSim(R"({"host": {"user_name": "Ada"}})"));
    Start();
    ASSERT_TRUE(WaitFor([&] { return m_pInfo->GetCurrentUserPersonaName() == "Ada"; }));
    ASSERT_TRUE(BIsValidQuillUserId(m_pInfo->GetCurrentUserQuillId()));

    // Another user's change (id 0x0110000100000007, little-endian, then 4 bytes).
    size_t nNames = Calls("QuillFriends017::GetDisplayName");
    ASSERT_EQ(m_sim.Ctl({"host", "callback", "304", "070000000100100100000000"}).exitCode, 0);
    ASSERT_TRUE(m_sim.WaitJournal(R"("callbacks":[304])"));
    ASSERT_TRUE(m_listener.WaitFrames(2));  // the frame that delivered it has ended
    EXPECT_EQ(m_pInfo->GetCurrentUserPersonaName(), "Ada");
    EXPECT_EQ(Calls("QuillFriends017::GetDisplayName"), nNames);

    // The current user's change: the name is fetched again.
    ASSERT_EQ(m_sim.Ctl({"host", "persona", "Grace"}).exitCode, 0);
    ASSERT_TRUE(WaitFor([&] { return m_pInfo->GetCurrentUserPersonaName() == "Grace"; }));
    EXPECT_EQ(Calls("QuillFriends017::GetDisplayName"), nNames + 1);
    EXPECT_EQ(m_pInfo->GetCurrentUserQuillId(), 0x0110000100003039ull);
}

TEST_F(QuillInfoTest, LongDisplayNamesAreCutTo127Bytes) {
    std::string sLong(200, 'n');
    ASSERT_TRUE(StartSim(R"({"host": {"user_name": ")" + sLong + R"("}})"));
    Start();
    ASSERT_TRUE(WaitFor([&] { return !m_pInfo->GetCurrentUserPersonaName().empty(); }));
    EXPECT_EQ(m_pInfo->GetCurrentUserPersonaName(), sLong.substr(0, 127));
}

TEST_F(QuillInfoTest, NothingIsFetchedWhileDisconnectedOrAfterDestruction) {
    ASSERT_TRUE(StartSim(R"({"host": {"running": false}})"));
    Start();
    ASSERT_TRUE(m_listener.WaitFrames(3));
    EXPECT_EQ(m_pInfo->GetCurrentUserQuillId(), 0u);
    EXPECT_EQ(m_pInfo->GetCurrentUserPersonaName(), "");
    // A persona record that arrives while the library is down is ignored.
    PersonaStateChange_t change = {0, 0};
    m_pInfo->OnPersonaStateChange(&change);
    m_pInfo->OnPersonaStateChange(nullptr);
    EXPECT_EQ(m_pInfo->GetCurrentUserPersonaName(), "");
    m_pThread->ShutdownService();

    // Destroyed, the info's record is no longer called by the library.
    m_listener.SetInfo(nullptr);
    m_pInfo.reset();
    ASSERT_TRUE(Host("up"));
    CQuillWorker worker;
    ASSERT_TRUE(RunUntilConnected(worker));
    ASSERT_EQ(m_sim.Ctl({"host", "persona", "Zed"}).exitCode, 0);
    worker.RunFrame();
    worker.RunFrame();
    EXPECT_TRUE(worker.IsQuillAPIAvailable());
}

}  // namespace
