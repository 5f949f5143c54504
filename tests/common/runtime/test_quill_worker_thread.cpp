// The host client worker's thread and the user info, driven against a real
// lattice-sim playing the host client. Assertions are on the simulator's
// journal, the log lines, the process's threads and what the worker reports.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log_recorder.h"
#include "quill_worker_fixture.h"
#include "quill_worker_thread.h"
#include "sim_fixture.h"
#include "systemtime.h"

namespace {

using halyard_test::k_sInit;
using halyard_test::k_sShutdown;
using halyard_test::LogRecorder;
using halyard_test::QuillWorkerTest;
using halyard_test::WaitFor;

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
