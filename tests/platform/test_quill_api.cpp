// The host client library stand-in against a real lattice-sim process.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <new>
#include <regex>
#include <string>
#include <thread>

#include "mount_namespace.h"
#include "quill_api.h"
#include "sim_fixture.h"

namespace {

using halyard_test::ReadFile;
using halyard_test::RunInChild;
using halyard_test::ScopedEnv;
using halyard_test::SplitLines;

// The interface check list a program passes at init: NUL-separated, ended by
// an empty entry.
const char k_rgchCheckList[] =
    "QuillUtils010\0QuillUser023\0QuillFriends017\0QUILLSCREENSHOTS_INTERFACE_VERSION003\0";

class QuillApiTest : public halyard_test::SimTest {
protected:
    void TearDown() override {
        QuillAPI_Shutdown();
        SimTest::TearDown();
    }
};

class CShutdownListener {
public:
    void OnShutdown(QuillShutdown_t* pNotice) {
        ++m_nCalls;
        m_bGotRecord = pNotice != nullptr;
        m_threadId = std::this_thread::get_id();
    }
    int m_nCalls = 0;
    bool m_bGotRecord = false;
    std::thread::id m_threadId;
};

class CPersonaListener {
public:
    void OnPersona(PersonaStateChange_t* pChange) { m_ulUser = pChange->m_ulUserId; }
    uint64_t m_ulUser = 0;
};

TEST_F(QuillApiTest, WithoutSimulatorEverythingAnswersAtOnce) {
    EXPECT_FALSE(QuillAPI_IsQuillRunning());
    QuillErrMsg szError = "";
    EXPECT_EQ(QuillInternal_QuillAPI_Init(k_rgchCheckList, &szError), QuillInit_NoHostClient);
    EXPECT_STRNE(szError, "");
    EXPECT_EQ(QuillInternal_QuillAPI_Init(k_rgchCheckList, nullptr), QuillInit_NoHostClient);
    QuillAPI_RunCallbacks();
    EXPECT_EQ(QuillAPI_GetHQuillUser(), 0);
    EXPECT_EQ(QuillInternal_FindOrCreateUserInterface(0, "QuillUtils010"), nullptr);
    EXPECT_EQ(QuillUtils(), nullptr);
}

// A forked child whose parent last talked to a simulator that is gone finds
// the one its environment names now, on its very first call.
TEST_F(QuillApiTest, ForkedChildFollowsTheSocketItsEnvironmentNames) {
    ASSERT_TRUE(StartSim());
    ASSERT_TRUE(QuillAPI_IsQuillRunning());
    m_sim.Stop();

    ASSERT_EQ(mkdir(TempPath("second").c_str(), 0700), 0);
    halyard_test::CSimProcess second;
    ASSERT_TRUE(second.Start(TempPath("second")));
    ScopedEnv socket("LATTICE_SIM_SOCKET", second.Socket());
    auto result = halyard_test::RunInChild([] {
        int nResult = QuillInternal_QuillAPI_Init(k_rgchCheckList, nullptr);
        QuillAPI_Shutdown();
        return nResult;
    });
    EXPECT_TRUE(result.bExited);
    EXPECT_EQ(result.exitCode, 0) << result.strStdout << result.strStderr;
    EXPECT_EQ(second.JournalLines("QuillInternal_QuillAPI_Init").size(), 1u);
}

TEST_F(QuillApiTest, HostUpAndDownDecideRunningAndInit) {
    ASSERT_TRUE(StartSim(R"({"host": {"running": false}})"));
    EXPECT_FALSE(QuillAPI_IsQuillRunning());
    EXPECT_EQ(QuillInternal_QuillAPI_Init(k_rgchCheckList, nullptr), QuillInit_NoHostClient);
    ASSERT_EQ(m_sim.Ctl({"host", "up"}).exitCode, 0);
    EXPECT_TRUE(QuillAPI_IsQuillRunning());
    EXPECT_EQ(QuillInternal_QuillAPI_Init(k_rgchCheckList, nullptr), QuillInit_Ok);
    EXPECT_EQ(QuillAPI_GetHQuillUser(), 1);
    auto lines = m_sim.JournalLines(R"("call":"QuillInternal_QuillAPI_Init")");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find(R"("interfaces":["QuillUtils010","QuillUser023","QuillFriends017",)"
                            R"("QUILLSCREENSHOTS_INTERFACE_VERSION003"])"),
              std::string::npos)
        << lines[1];

    // The host client exits: its sessions end, calls answer neutral values.
    IQuillUser* pUser = QuillUser();
    ASSERT_NE(pUser, nullptr);
    ASSERT_EQ(m_sim.Ctl({"host", "down"}).exitCode, 0);
    EXPECT_FALSE(QuillAPI_IsQuillRunning());
    EXPECT_EQ(pUser->GetUserId(), 0u);
    QuillAPI_RunCallbacks();
    // Counted on the page of the session that ended: refused, as a message
    // would have been.
    auto callbacks = m_sim.JournalLines(R"("call":"QuillAPI_RunCallbacks")");
    ASSERT_FALSE(callbacks.empty());
    EXPECT_NE(callbacks.back().find(R"("error":"no such host session")"), std::string::npos)
        << callbacks.back();
    QuillAPI_Shutdown();
    EXPECT_EQ(QuillUser(), nullptr);
}

TEST_F(QuillApiTest, RunningStateFollowsTheSimulatorWithoutRoundTrips) {
    ASSERT_TRUE(StartSim());
    EXPECT_TRUE(QuillAPI_IsQuillRunning());
    ASSERT_EQ(m_sim.Ctl({"host", "down"}).exitCode, 0);
    EXPECT_FALSE(QuillAPI_IsQuillRunning());
    ASSERT_EQ(m_sim.Ctl({"host", "up"}).exitCode, 0);
    for (int i = 0; i < 50; ++i) {
        EXPECT_TRUE(QuillAPI_IsQuillRunning());
    }
    // Only the first question reached the simulator.
    EXPECT_EQ(m_sim.JournalLines("QuillAPI_IsQuillRunning").size(), 1u);

    // A simulator that ends is noticed; a new one on the same socket is found.
    m_sim.Kill();
    EXPECT_FALSE(QuillAPI_IsQuillRunning());
    ASSERT_TRUE(StartSim(R"({"host": {"running": false}})"));
    EXPECT_FALSE(QuillAPI_IsQuillRunning());
    ASSERT_EQ(m_sim.Ctl({"host", "up"}).exitCode, 0);
    EXPECT_TRUE(QuillAPI_IsQuillRunning());

    // An end noticed by a failed call first leaves no connection to look at:
    // the page of the simulator that is gone no longer counts.
    m_sim.Kill();
    EXPECT_EQ(QuillInternal_QuillAPI_Init(k_rgchCheckList, nullptr), QuillInit_NoHostClient);
    EXPECT_FALSE(QuillAPI_IsQuillRunning());
}

TEST_F(QuillApiTest, InitFailureIsTheConfiguredResult) {
    ASSERT_TRUE(StartSim(R"({"host": {"init_result": 1}})"));
    EXPECT_TRUE(QuillAPI_IsQuillRunning());
    QuillErrMsg szError = "";
    EXPECT_EQ(QuillInternal_QuillAPI_Init(k_rgchCheckList, &szError), QuillInit_Failed);
    EXPECT_STREQ(szError, "the host client refused the initialisation");
    EXPECT_EQ(QuillAPI_GetHQuillUser(), 0);
}

TEST_F(QuillApiTest, CallbacksRunInsideRunCallbacksOnTheCallingThread) {
    ASSERT_TRUE(StartSim());
    CShutdownListener listener;
    {
        CCallback<CShutdownListener, QuillShutdown_t, false> callback;
        EXPECT_FALSE(callback.IsRegistered());
        EXPECT_EQ(callback.GetCallbackSizeBytes(), 1);
        // Registration is accepted before initialisation.
        callback.Register(&listener, &CShutdownListener::OnShutdown);
        EXPECT_EQ(callback.m_nCallbackFlags & CCallbackBase::k_ECallbackFlagsRegistered, 1);
        EXPECT_EQ(callback.GetICallback(), 704);

        ASSERT_EQ(QuillInternal_QuillAPI_Init(k_rgchCheckList, nullptr), QuillInit_Ok);
        QuillAPI_RunCallbacks();
        EXPECT_EQ(listener.m_nCalls, 0);
        auto result = m_sim.Ctl({"host", "notice-shutdown"});
        EXPECT_EQ(result.strStdout, "queued for 1 host session(s)\n");
        EXPECT_EQ(listener.m_nCalls, 0);  // nothing runs outside RunCallbacks
        QuillAPI_RunCallbacks();
        EXPECT_EQ(listener.m_nCalls, 1);
        EXPECT_TRUE(listener.m_bGotRecord);
        EXPECT_EQ(listener.m_threadId, std::this_thread::get_id());
        QuillAPI_RunCallbacks();
        EXPECT_EQ(listener.m_nCalls, 1);

        // Forgotten after unregistration.
        callback.Unregister();
        EXPECT_FALSE(callback.IsRegistered());
        m_sim.Ctl({"host", "notice-shutdown"});
        QuillAPI_RunCallbacks();
        EXPECT_EQ(listener.m_nCalls, 1);
        callback.Register(&listener, &CShutdownListener::OnShutdown);
    }
    // The destructor unregistered it: a notice now reaches nobody (and no
    // freed record).
    m_sim.Ctl({"host", "notice-shutdown"});
    QuillAPI_RunCallbacks();
    EXPECT_EQ(listener.m_nCalls, 1);
    EXPECT_EQ(m_sim.JournalLines(R"("callbacks":[704])").size(), 3u);

    // Calls with nothing queued send nothing, yet the journal has each in its
    // place: before the next call, and for a reader that waits for one.
    IQuillUser* pUser = QuillUser();
    ASSERT_NE(pUser, nullptr);
    ASSERT_TRUE(QuillAPI_IsQuillRunning());  // maps the page that shows nothing is queued
    QuillAPI_RunCallbacks();
    QuillAPI_RunCallbacks();
    pUser->GetUserId();
    std::vector<std::string> vecLast = SplitLines(m_sim.Journal());
    ASSERT_GE(vecLast.size(), 3u);
    vecLast.erase(vecLast.begin(), vecLast.end() - 3);
    const std::string sIdle = R"("call":"QuillAPI_RunCallbacks","args":{"session":)";
    EXPECT_NE(vecLast[0].find(sIdle), std::string::npos) << vecLast[0];
    EXPECT_NE(vecLast[1].find(sIdle), std::string::npos) << vecLast[1];
    EXPECT_NE(vecLast[1].find(R"("result":{"callbacks":[]})"), std::string::npos) << vecLast[1];
    EXPECT_NE(vecLast[2].find("QuillUser023::GetUserId"), std::string::npos) << vecLast[2];
    std::smatch seq;
    ASSERT_TRUE(std::regex_search(vecLast[2], seq, std::regex(R"("seq":(\d+))")));
    QuillAPI_RunCallbacks();
    auto waited = m_sim.Ctl(
        {"wait", "QuillAPI_RunCallbacks", "--since", seq[1].str(), "--timeout-ms", "20000"});
    EXPECT_EQ(waited.exitCode, 0) << waited.strStderr;
}

// A record's destructor unregisters it only when the library marked it
// registered. Seen through the library: a record whose bit is clear is left
// in the library's table by its destructor, so a new record built at the same
// address is still called.
TEST_F(QuillApiTest, DestructorUnregistersOnlyRecordsMarkedRegistered) {
    using ShutdownCallback = CCallback<CShutdownListener, QuillShutdown_t, false>;
    ASSERT_TRUE(StartSim());
    ASSERT_EQ(QuillInternal_QuillAPI_Init(k_rgchCheckList, nullptr), QuillInit_Ok);
    CShutdownListener first, second;
    alignas(ShutdownCallback) unsigned char storage[sizeof(ShutdownCallback)];

    auto* pMarked = new (storage) ShutdownCallback;
    pMarked->Register(&first, &CShutdownListener::OnShutdown);
    ASSERT_TRUE(pMarked->IsRegistered());
    pMarked->~ShutdownCallback();  // marked: unregistered
    auto* pUnmarked = new (storage) ShutdownCallback(&second, &CShutdownListener::OnShutdown);
    ASSERT_FALSE(pUnmarked->IsRegistered());
    m_sim.Ctl({"host", "notice-shutdown"});
    QuillAPI_RunCallbacks();
    EXPECT_EQ(first.m_nCalls, 0);
    EXPECT_EQ(second.m_nCalls, 0);

    pUnmarked->Register(&second, &CShutdownListener::OnShutdown);
    // The bit cleared behind the library's back: the destructor must leave
    // the library alone.
    pUnmarked->m_nCallbackFlags = 0;
    pUnmarked->~ShutdownCallback();
    auto* pSuccessor = new (storage) ShutdownCallback(&first, &CShutdownListener::OnShutdown);
    m_sim.Ctl({"host", "notice-shutdown"});
    QuillAPI_RunCallbacks();
    EXPECT_EQ(first.m_nCalls, 1);  // still in the library's table
    EXPECT_EQ(second.m_nCalls, 0);
    QuillAPI_UnregisterCallback(pSuccessor);
    pSuccessor->~ShutdownCallback();
}

TEST_F(QuillApiTest, PersonaCallbackCarriesTheUser) {
    ASSERT_TRUE(StartSim(R"({"host": {"user_id": 81985529216486895, "user_name": "Ada"}})"));
    CPersonaListener listener;
    CCallback<CPersonaListener, PersonaStateChange_t> callback;
    callback.Register(&listener, &CPersonaListener::OnPersona);
    EXPECT_EQ(callback.GetCallbackSizeBytes(), 12);
    ASSERT_EQ(QuillInternal_QuillAPI_Init(k_rgchCheckList, nullptr), QuillInit_Ok);
    ASSERT_NE(QuillFriends(), nullptr);
    EXPECT_STREQ(QuillFriends()->GetDisplayName(), "Ada");
    EXPECT_EQ(QuillUser()->GetUserId(), 81985529216486895ull);
    ASSERT_EQ(m_sim.Ctl({"host", "persona", "Grace"}).exitCode, 0);
    QuillAPI_RunCallbacks();
    EXPECT_EQ(listener.m_ulUser, 81985529216486895ull);
    EXPECT_STREQ(QuillFriends()->GetDisplayName(), "Grace");
    // Raw callbacks with short payloads arrive zero-filled to the record size.
    ASSERT_EQ(m_sim.Ctl({"host", "callback", "304", "01"}).exitCode, 0);
    QuillAPI_RunCallbacks();
    EXPECT_EQ(listener.m_ulUser, 1u);
}

TEST_F(QuillApiTest, ContextRecordsRefillAfterEachInitialisation) {
    ASSERT_TRUE(StartSim(R"({"host": {"withhold_interfaces": ["QuillFriends017"]}})"));
    ScopedEnv appId("QuillAppId", "4321");
    EXPECT_EQ(QuillUtils(), nullptr);  // not initialised yet
    ASSERT_EQ(QuillInternal_QuillAPI_Init(k_rgchCheckList, nullptr), QuillInit_Ok);
    IQuillUtils* pUtils = QuillUtils();
    ASSERT_NE(pUtils, nullptr);
    EXPECT_EQ(pUtils->GetAppId(), 4321u);
    EXPECT_STREQ(pUtils->GetUiLanguage(), "english");
    EXPECT_NE(QuillScreenshots(), nullptr);
    EXPECT_EQ(QuillFriends(), nullptr);
    size_t nFinds = m_sim.JournalLines("QuillInternal_FindOrCreateUserInterface").size();
    EXPECT_EQ(QuillUtils(), pUtils);  // filled once per initialisation
    EXPECT_EQ(m_sim.JournalLines("QuillInternal_FindOrCreateUserInterface").size(), nFinds);

    QuillAPI_Shutdown();
    EXPECT_EQ(QuillUtils(), nullptr);
    ASSERT_EQ(QuillInternal_QuillAPI_Init(k_rgchCheckList, nullptr), QuillInit_Ok);
    EXPECT_EQ(QuillUtils(), pUtils);
    EXPECT_EQ(m_sim.JournalLines(R"("version":"QuillUtils010")").size(), 2u);

    // The record's layout: init function, the initialisation it was filled for, the pointer.
    QuillContextRecord_t record = {
        reinterpret_cast<PFNQuillContextInit>(&QuillInternal_Init_QuillUtils), 0, nullptr};
    void* pSlot = QuillInternal_ContextInit(&record);
    EXPECT_EQ(pSlot, &record.pInterface);
    EXPECT_EQ(record.pInterface, pUtils);
    EXPECT_NE(record.unFilledFor, 0u);
}

TEST_F(QuillApiTest, InitResultAndUserIdChangeWhileRunning) {
    ASSERT_TRUE(StartSim());
    ASSERT_EQ(m_sim.Ctl({"host", "init-result", "1"}).exitCode, 0);
    EXPECT_EQ(QuillInternal_QuillAPI_Init(k_rgchCheckList, nullptr), QuillInit_Failed);
    ASSERT_EQ(m_sim.Ctl({"host", "init-result", "0"}).exitCode, 0);
    ASSERT_EQ(QuillInternal_QuillAPI_Init(k_rgchCheckList, nullptr), QuillInit_Ok);

    CPersonaListener listener;
    CCallback<CPersonaListener, PersonaStateChange_t> callback;
    callback.Register(&listener, &CPersonaListener::OnPersona);
    ASSERT_EQ(m_sim.Ctl({"host", "user-id", "0x0110000100000007"}).exitCode, 0);
    EXPECT_EQ(QuillUser()->GetUserId(), 0x0110000100000007ull);
    ASSERT_EQ(m_sim.Ctl({"host", "persona", "Lin"}).exitCode, 0);
    QuillAPI_RunCallbacks();
    EXPECT_EQ(listener.m_ulUser, 0x0110000100000007ull);
}

TEST_F(QuillApiTest, AppIdFromConfigurationWins) {
    ASSERT_TRUE(StartSim(R"({"host": {"app_id": 99, "language": "german"}})"));
    ScopedEnv appId("QuillAppId", "4321");
    ASSERT_EQ(QuillInternal_QuillAPI_Init(k_rgchCheckList, nullptr), QuillInit_Ok);
    EXPECT_EQ(QuillUtils()->GetAppId(), 99u);
    EXPECT_STREQ(QuillUtils()->GetUiLanguage(), "german");
    QuillAPI_ReleaseCurrentThreadMemory();
}

TEST_F(QuillApiTest, ScreenshotPairsAreCopiedIntoTheLibrary) {
    std::string strLibrary = TempPath("library");
    ASSERT_TRUE(StartSim(R"({"host": {"screenshot_library": ")" + strLibrary + R"("}})"));
    ASSERT_EQ(QuillInternal_QuillAPI_Init(k_rgchCheckList, nullptr), QuillInit_Ok);
    halyard_test::WriteFile(TempPath("shot.png"), "first image");
    halyard_test::WriteFile(TempPath("shot_VR.png"), "second image");
    IQuillScreenshots* pShots = QuillScreenshots();
    ASSERT_NE(pShots, nullptr);
    uint32_t unHandle =
        pShots->AddScreenshotPair(2, TempPath("shot.png").c_str(), TempPath("shot_VR.png").c_str());
    EXPECT_EQ(unHandle, 1u);
    EXPECT_EQ(ReadFile(strLibrary + "/1_shot.png"), "first image");
    EXPECT_EQ(ReadFile(strLibrary + "/1_shot_VR.png"), "second image");
    EXPECT_EQ(
        pShots->AddScreenshotPair(2, TempPath("missing").c_str(), TempPath("shot.png").c_str()),
        0u);
    EXPECT_EQ(m_sim.JournalLines("a screenshot file does not exist").size(), 1u);
}

TEST_F(QuillApiTest, PrivateInterfacesRecordTheirRequests) {
    ASSERT_TRUE(StartSim(R"({"host": {"invite_result": false}})"));
    ASSERT_EQ(QuillInternal_QuillAPI_Init(k_rgchCheckList, nullptr), QuillInit_Ok);
    auto* p1 = static_cast<IQuillOrreryPrivate001*>(
        QuillInternal_FindOrCreateUserInterface(0, "QuillOrreryPrivate001"));
    auto* p2 = static_cast<IQuillOrreryPrivate002*>(
        QuillInternal_FindOrCreateUserInterface(0, "QuillOrreryPrivate002"));
    ASSERT_NE(p1, nullptr);
    ASSERT_NE(p2, nullptr);
    p1->StartHalyard();
    p1->SetVRConnectionParams("abc");
    p2->StartHalyard();
    EXPECT_FALSE(p2->InviteWirelessHeadsetToConnect(12));
    QuillUtils()->RequestDashboardStart();
    EXPECT_EQ(m_sim.JournalLines(R"("call":"QuillOrreryPrivate001::StartHalyard")").size(), 1u);
    EXPECT_EQ(m_sim.JournalLines(R"("call":"QuillOrreryPrivate002::StartHalyard")").size(), 1u);
    EXPECT_EQ(m_sim.JournalLines(R"("params":"abc")").size(), 1u);
    EXPECT_EQ(m_sim.JournalLines(R"("headset":12)").size(), 1u);
    EXPECT_EQ(m_sim.JournalLines("QuillUtils010::RequestDashboardStart").size(), 1u);
    // Another user's handle finds no per-user interface.
    EXPECT_EQ(QuillInternal_FindOrCreateUserInterface(5, "QuillUser023"), nullptr);
    EXPECT_EQ(QuillUtils()->Unused3(), 0u);
    EXPECT_EQ(m_sim.JournalLines(R"("call":"QuillUtils010::Unused3")").size(), 1u);
}

template <typename R, typename... Args>
R CallSlot(void* pObject, int nSlot, Args... args) {
    using Fn = R (*)(void*, Args...);
    void** ppTable = *static_cast<void***>(pObject);
    return reinterpret_cast<Fn>(ppTable[nSlot])(pObject, args...);
}

TEST_F(QuillApiTest, MethodsSitAtTheirTablePositions) {
    ASSERT_TRUE(StartSim(R"({"host": {"app_id": 31, "language": "french", "user_id": 8,
                                      "user_name": "Eve", "interfaces": ["QuillUtils010",
                                      "QuillUser023", "QuillFriends017", "QuillApps008",
                                      "QUILLSCREENSHOTS_INTERFACE_VERSION003",
                                      "QuillOrreryPrivate001", "QuillOrreryPrivate002"]}})"));
    ASSERT_EQ(QuillInternal_QuillAPI_Init(k_rgchCheckList, nullptr), QuillInit_Ok);
    auto Find = [](HQuillUser hUser, const char* pch) {
        return QuillInternal_FindOrCreateUserInterface(hUser, pch);
    };
    void* pUtils = Find(0, "QuillUtils010");
    EXPECT_EQ(CallSlot<uint32_t>(pUtils, 9), 31u);
    EXPECT_STREQ(CallSlot<const char*>(pUtils, 23), "french");
    CallSlot<void>(pUtils, 27);
    EXPECT_EQ(CallSlot<uint64_t>(Find(QuillAPI_GetHQuillUser(), "QuillUser023"), 2), 8u);
    EXPECT_STREQ(CallSlot<const char*>(Find(QuillAPI_GetHQuillUser(), "QuillFriends017"), 0),
                 "Eve");
    EXPECT_EQ((CallSlot<uint32_t, int32_t, const char*, const char*>(
                  Find(QuillAPI_GetHQuillUser(), "QUILLSCREENSHOTS_INTERFACE_VERSION003"), 8, 2,
                  "/nonexistent/a", "/nonexistent/b")),
              0u);
    void* p1 = Find(0, "QuillOrreryPrivate001");
    CallSlot<void>(p1, 0);
    CallSlot<void, const char*>(p1, 1, "one");
    void* p2 = Find(0, "QuillOrreryPrivate002");
    CallSlot<void>(p2, 0);
    CallSlot<void, const char*>(p2, 1, "two");
    EXPECT_TRUE((CallSlot<bool, uint64_t>(p2, 2, 7ull)));
    EXPECT_EQ(m_sim.JournalLines("StartHalyard").size(), 2u);
    EXPECT_EQ(m_sim.JournalLines("RequestDashboardStart").size(), 1u);
    EXPECT_EQ(m_sim.JournalLines(R"("params":"two")").size(), 1u);
    EXPECT_TRUE(m_sim.JournalLines("\"unexpected\":true").empty());
    // A served version this library has no methods for answers every slot
    // with 0 and records the call.
    void* pApps = Find(0, "QuillApps008");
    ASSERT_NE(pApps, nullptr);
    EXPECT_EQ(CallSlot<uint64_t>(pApps, 0), 0u);
    EXPECT_EQ(CallSlot<uint64_t>(pApps, 5), 0u);
    EXPECT_EQ(m_sim.JournalLines(R"("call":"QuillApps008::Unused5")").size(), 1u);

    // Callback records: Run(void*), Run(void*, bool, uint64), GetCallbackSizeBytes.
    CShutdownListener listener;
    CCallback<CShutdownListener, QuillShutdown_t> callback(&listener,
                                                           &CShutdownListener::OnShutdown);
    EXPECT_EQ(CallSlot<int>(static_cast<CCallbackBase*>(&callback), 2), 1);
    char record = 0;
    CallSlot<void, void*>(static_cast<CCallbackBase*>(&callback), 0, &record);
    CallSlot<void, void*, bool, uint64_t>(static_cast<CCallbackBase*>(&callback), 1, &record, true,
                                          9ull);
    EXPECT_EQ(listener.m_nCalls, 2);
}

// Exported (the test links with -rdynamic) so that the backtrace names it.
constexpr int k_nRequestDumpLine = __LINE__ + 2;
extern "C" __attribute__((noinline, visibility("default"))) void HalyardTestRequestDump() {
    QuillAPI_WriteMiniDump(0, nullptr, 0);
    asm volatile("");
}

std::vector<std::string> DumpFiles(const std::string& strDir) {
    std::vector<std::string> files;
    auto result = halyard_test::RunProcess({"ls", strDir});
    for (const std::string& strName : SplitLines(result.strStdout)) {
        files.push_back(strDir + "/" + strName);
    }
    return files;
}

TEST_F(QuillApiTest, RequestedDumpsCarryCommentPidAndBacktrace) {
    std::string strDumps = TempPath("dumps/nested");
    ScopedEnv dumpDir("QUILL_DUMP_DIR", strDumps);
    QuillAPI_SetMiniDumpComment("<non-buildbot build>\nsomething went wrong\n");
    HalyardTestRequestDump();
    QuillAPI_SetMiniDumpComment(nullptr);
    HalyardTestRequestDump();
    auto files = DumpFiles(strDumps);
    ASSERT_EQ(files.size(), 2u);
    std::string strDump = ReadFile(files[0]);
    std::string strSecond = ReadFile(files[1]);
    if (strDump.find("something went wrong") == std::string::npos) {
        std::swap(strDump, strSecond);
    }
    EXPECT_NE(strDump.find("pid: " + std::to_string(getpid()) + "\n"), std::string::npos);
    EXPECT_NE(strDump.find("reason: requested"), std::string::npos);
    EXPECT_NE(
        strDump.find("comment:\n<non-buildbot build>\nsomething went wrong\nend of comment\n"),
        std::string::npos)
        << strDump;
    EXPECT_NE(strDump.find("QuillAPI_WriteMiniDump"), std::string::npos) << strDump;
    // Named from debug information: the library's internal functions too, and
    // the caller's file and line, in optimised builds as well.
    EXPECT_NE(strDump.find(" quill_stub::WriteRequestedDump("), std::string::npos) << strDump;
    EXPECT_TRUE(std::regex_search(
        strDump,
        std::regex(" HalyardTestRequestDump\\+0x[0-9a-f]+ \\(test_quill_api\\+0x[0-9a-f]+\\) "
                   "at /[^\n]*/test_quill_api\\.cpp:" +
                   std::to_string(k_nRequestDumpLine) + "\n")))
        << strDump;
    EXPECT_NE(strSecond.find("comment:\nend of comment\n"), std::string::npos) << strSecond;
}

void* g_pvSeenContext = nullptr;
void PreMinidump(void* pvContext) {
    g_pvSeenContext = pvContext;
    QuillAPI_SetMiniDumpComment(pvContext == &g_pvSeenContext ? "set by the pre-dump callback"
                                                              : "wrong context");
}

TEST_F(QuillApiTest, CrashHandlerWritesADumpAndLetsTheSignalEndTheProcess) {
    std::string strDumps = TempPath("crash");
    for (int nSignal : {SIGSEGV, SIGABRT}) {
        auto result = RunInChild([&] {
            setenv("QUILL_DUMP_DIR", strDumps.c_str(), 1);
            QuillAPI_UseBreakpadCrashHandler("1.2.3", "Dec  7 2026", "12:00:33", false,
                                             &g_pvSeenContext, PreMinidump);
            QuillAPI_SetBreakpadAppID(4711);
            if (nSignal == SIGABRT) {
                abort();
            }
            raise(SIGSEGV);
            return 0;
        });
        EXPECT_EQ(result.termSignal, nSignal) << result.strStderr;
    }
    auto files = DumpFiles(strDumps);
    ASSERT_EQ(files.size(), 2u);
    std::string strAll = ReadFile(files[0]) + ReadFile(files[1]);
    EXPECT_NE(strAll.find("reason: signal 11 (SIGSEGV)"), std::string::npos) << strAll;
    EXPECT_NE(strAll.find("reason: signal 6 (SIGABRT)"), std::string::npos) << strAll;
    EXPECT_NE(strAll.find("comment:\nset by the pre-dump callback\n"), std::string::npos) << strAll;
    EXPECT_NE(strAll.find("app id: 4711"), std::string::npos);
    EXPECT_NE(strAll.find("version: 1.2.3"), std::string::npos);
    EXPECT_NE(strAll.find("build: Dec  7 2026 12:00:33"), std::string::npos);
    EXPECT_NE(strAll.find("backtrace (thread "), std::string::npos);
    // Frames carry their module offsets, to be symbolized after the crash.
    EXPECT_TRUE(std::regex_search(strAll, std::regex("\n#[0-9]+ 0x[0-9a-f]+ [^\n]*"
                                                     "\\(test_quill_api\\+0x[0-9a-f]+\\)\n")))
        << strAll;
}

// Where the dumps of one hostile set-up must end up.
enum class EDumpOutcome {
    Refused,          // nothing written, a line on stderr for each dump
    PrivateFallback,  // written into a new private directory beside the default one
    Written,          // written where asked
};

using DumpDirSetUp = std::function<void(const std::string& sPath, const std::string& sBase)>;

struct HostileDumpDir {
    const char* pchName;
    bool bDefault;  // the default /tmp/quill-dumps-<uid>, in a private /tmp
    bool bNeedsRoot;
    DumpDirSetUp setUp;  // prepares sPath (in the directory sBase) before the child runs
    EDumpOutcome eOutcome;
    std::string sProblem;        // the reason stderr gives
    bool bPlantAtNames = false;  // the child takes its next dump names first
};

// One case's paths: sPath is sBase/<name> for the test, sSeenAs for the
// child (whose /tmp is sBase when the default directory is tested).
struct DumpDirPaths {
    std::string sBase;
    std::string sName;
    std::string sPath;
    std::string sSeenAs;
};

const char k_szSecret[] = "a log line for the user's eyes only";

// Regular files below sDir whose text holds the secret; links not followed.
std::vector<std::string> FilesHoldingTheSecret(const std::string& sDir) {
    std::vector<std::string> vecFiles;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(sDir)) {
        if (entry.is_regular_file() && !entry.is_symlink() &&
            ReadFile(entry.path()).find(k_szSecret) != std::string::npos) {
            vecFiles.push_back(entry.path());
        }
    }
    return vecFiles;
}

std::string DirOf(const std::string& sPath) {
    return sPath.substr(0, sPath.rfind('/'));
}

void ExpectPrivate(const std::string& sPath, mode_t mode) {
    struct stat st {};
    ASSERT_EQ(lstat(sPath.c_str(), &st), 0) << sPath;
    EXPECT_EQ(st.st_mode & 07777, mode) << sPath;
    EXPECT_EQ(st.st_uid, geteuid()) << sPath;
}

// Takes the names the next two dumps would get, "<exe>-<pid>-<n>.dmp" with n
// following the last dump's: a link to a file that does not exist, and a file.
void PlantAtTheNextDumpNames(const std::string& sDir) {
    QuillAPI_SetMiniDumpComment("probe");
    QuillAPI_WriteMiniDump(0, nullptr, 0);
    long nLast = 0;
    for (const auto& entry : std::filesystem::directory_iterator(sDir)) {
        std::string sName = entry.path().filename();
        nLast = std::max(nLast, strtol(sName.c_str() + sName.rfind('-') + 1, nullptr, 10));
    }
    std::string sPrefix = sDir + "/test_quill_api-" + std::to_string(getpid()) + "-";
    if (symlink("../outside", (sPrefix + std::to_string(nLast + 1) + ".dmp").c_str()) != 0) {
        _exit(3);
    }
    halyard_test::WriteFile(sPrefix + std::to_string(nLast + 2) + ".dmp", "planted");
}

void ExpectPlantedNamesUntouched(const DumpDirPaths& paths) {
    EXPECT_FALSE(std::filesystem::exists(paths.sBase + "/outside"));
    size_t nPlanted = 0;
    for (const auto& entry : std::filesystem::directory_iterator(paths.sPath)) {
        if (entry.is_symlink()) {
            ++nPlanted;
            EXPECT_EQ(std::filesystem::read_symlink(entry.path()), "../outside");
        } else if (ReadFile(entry.path()) == "planted") {
            ++nPlanted;
        }
    }
    EXPECT_EQ(nPlanted, 2u);
}

// In a child: a requested dump holding the secret, then a crash.
halyard_test::ChildResult DumpThenCrash(const HostileDumpDir& c, const DumpDirPaths& paths) {
    return RunInChild([&] {
        if (c.bDefault) {
            std::string sReason = halyard_test::EnterPrivateMountNamespace();
            sReason += sReason.empty() ? halyard_test::BindMount(paths.sBase, "/tmp") : "";
            if (!sReason.empty()) {
                printf("%s", sReason.c_str());
                return halyard_test::k_nChildSkip;
            }
            unsetenv("QUILL_DUMP_DIR");
        } else {
            setenv("QUILL_DUMP_DIR", paths.sPath.c_str(), 1);
        }
        QuillAPI_UseBreakpadCrashHandler("1.0", "Dec  7 2026", "12:00:33", false, nullptr, nullptr);
        if (c.bPlantAtNames) {
            PlantAtTheNextDumpNames(paths.sSeenAs);
        }
        QuillAPI_SetMiniDumpComment(k_szSecret);
        QuillAPI_WriteMiniDump(0, nullptr, 0);
        raise(SIGSEGV);
        return 0;
    });
}

void ExpectOutcome(const HostileDumpDir& c, const DumpDirPaths& paths,
                   const halyard_test::ChildResult& result) {
    EXPECT_EQ(result.termSignal, SIGSEGV) << result.exitCode << result.strStderr;
    auto vecSecrets = FilesHoldingTheSecret(paths.sBase);
    auto vecErrors = SplitLines(result.strStderr);
    std::string sDumpDir = paths.sPath;
    if (c.eOutcome == EDumpOutcome::Refused) {
        EXPECT_TRUE(vecSecrets.empty()) << vecSecrets[0];
        std::string sLine = "libquill_api: dump not written: cannot use QUILL_DUMP_DIR " +
                            paths.sPath + ": " + c.sProblem;
        EXPECT_EQ(vecErrors, std::vector<std::string>(2, sLine)) << result.strStderr;
        return;
    }
    if (c.eOutcome == EDumpOutcome::PrivateFallback) {
        ASSERT_EQ(vecErrors.size(), 2u) << result.strStderr;
        EXPECT_EQ(vecErrors[0], vecErrors[1]);  // the same private directory twice
        std::smatch match;
        ASSERT_TRUE(std::regex_match(
            vecErrors[0], match,
            std::regex("libquill_api: not using " + paths.sSeenAs +
                       ": (.*); the dump goes into /tmp/(" + paths.sName + "-[0-9a-f]+)")))
            << vecErrors[0];
        EXPECT_EQ(match[1], c.sProblem);
        sDumpDir = paths.sBase + "/" + match[2].str();
    } else {
        EXPECT_EQ(result.strStderr, "");
    }
    ASSERT_EQ(vecSecrets.size(), 2u);
    EXPECT_EQ(DirOf(vecSecrets[0]), sDumpDir);
    EXPECT_EQ(DirOf(vecSecrets[1]), sDumpDir);
    ExpectPrivate(sDumpDir, 0700);
    ExpectPrivate(vecSecrets[0], 0600);
    if (c.bPlantAtNames) {
        ExpectPlantedNamesUntouched(paths);
    }
}

std::vector<HostileDumpDir> HostileDumpDirs() {
    auto MakeDir = [](mode_t mode) {
        return [mode](const std::string& sPath, const std::string&) {
            ASSERT_EQ(mkdir(sPath.c_str(), 0700), 0);
            ASSERT_EQ(chmod(sPath.c_str(), mode), 0);
        };
    };
    DumpDirSetUp linkElsewhere = [](const std::string& sPath, const std::string& sBase) {
        ASSERT_EQ(mkdir((sBase + "/elsewhere").c_str(), 0700), 0);
        ASSERT_EQ(symlink("elsewhere", sPath.c_str()), 0);
    };
    DumpDirSetUp plainFile = [](const std::string& sPath, const std::string&) {
        halyard_test::WriteFile(sPath, "a file\n");
    };
    DumpDirSetUp foreignOwner = [](const std::string& sPath, const std::string&) {
        ASSERT_EQ(mkdir(sPath.c_str(), 0700), 0);
        ASSERT_EQ(chown(sPath.c_str(), 4242, 4242), 0);
    };
    DumpDirSetUp nothing = [](const std::string&, const std::string&) {};
    using O = EDumpOutcome;
    const std::string sLink = "it is a symbolic link";
    const std::string sFile = "it is not a directory";
    const std::string sForeign = "it is owned by uid 4242, not by uid " + std::to_string(geteuid());
    return {
        {"link to another directory", false, false, linkElsewhere, O::Refused, sLink},
        {"plain file", false, false, plainFile, O::Refused, sFile},
        {"another user's directory", false, true, foreignOwner, O::Refused, sForeign},
        {"group-writable directory", false, false, MakeDir(0770), O::Refused,
         "its mode 0770 lets group or others in"},
        {"directory others can enter", false, false, MakeDir(0705), O::Refused,
         "its mode 0705 lets group or others in"},
        {"names taken by a link and a file", false, false, MakeDir(0700), O::Written, "", true},
        {"default: link to another directory", true, true, linkElsewhere, O::PrivateFallback,
         sLink},
        {"default: plain file", true, true, plainFile, O::PrivateFallback, sFile},
        {"default: another user's directory", true, true, foreignOwner, O::PrivateFallback,
         sForeign},
        {"default: shared directory", true, true, MakeDir(01777), O::PrivateFallback,
         "its mode 01777 lets group or others in"},
        {"default: missing", true, true, nothing, O::Written, ""},
    };
}

// Dumps carry log lines: they go only into a directory that is the user's
// own. Another owner needs chown and the default directory a private /tmp,
// so those cases run as root only.
TEST_F(QuillApiTest, DumpDirectoryThatIsNotTheUsersOwnGetsNoDump) {
    std::string sSkipped;
    int nCase = 0;
    for (const HostileDumpDir& c : HostileDumpDirs()) {
        SCOPED_TRACE(c.pchName);
        if (c.bNeedsRoot && geteuid() != 0) {
            sSkipped += std::string(c.pchName) + " (needs root); ";
            continue;
        }
        DumpDirPaths paths;
        paths.sBase = TempPath("case" + std::to_string(++nCase));
        paths.sName = c.bDefault ? "quill-dumps-" + std::to_string(getuid()) : "dumps";
        paths.sPath = paths.sBase + "/" + paths.sName;
        paths.sSeenAs = c.bDefault ? "/tmp/" + paths.sName : paths.sPath;
        ASSERT_EQ(mkdir(paths.sBase.c_str(), 0755), 0);
        c.setUp(paths.sPath, paths.sBase);
        auto result = DumpThenCrash(c, paths);
        if (result.exitCode == halyard_test::k_nChildSkip) {
            sSkipped += std::string(c.pchName) + " (" + result.strStdout + "); ";
            continue;
        }
        ExpectOutcome(c, paths, result);
    }
    if (!sSkipped.empty()) {
        GTEST_SKIP() << "not run: " << sSkipped;
    }
}

}  // namespace
