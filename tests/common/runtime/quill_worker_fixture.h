// The host client worker's tests share this fixture: a real lattice-sim
// plays the host client, and the tests read its journal.
#pragma once

#include <string>
#include <vector>

#include "json/json.h"
#include "quill_api.h"
#include "quill_worker_thread.h"
#include "sim_fixture.h"
#include "threadwatchdog.h"

namespace halyard_test {

inline const std::string k_sInit = "[Quill] Quill INIT.\n";
inline const std::string k_sShutdown = "[Quill] Quill SHUTDOWN.\n";

class QuillWorkerTest : public SimTest {
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
        for (const std::string& sLine : SplitLines(m_sim.Journal())) {
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

}  // namespace halyard_test
