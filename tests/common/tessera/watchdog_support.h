// Test helpers for watchdog tests: a watched thread that hangs or keeps
// ticking, a thread that runs given steps, and whether the monitor thread
// exists (by its name in /proc).
#pragma once

#include <dirent.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "test_support.h"
#include "threadwatchdog.h"

namespace halyard_test {

// A thread that creates a watchdog and then hangs (or keeps ticking) until
// released; its watchdog is destroyed on the thread when it is released.
class CWatchedThread {
public:
    CWatchedThread(std::string sName, float flTimeout,
                   CThreadWatchdog::EWatchdogTimeoutBehavior eBehavior,
                   const char* pchDetail = nullptr, bool bKeepTicking = false) {
        m_thread = std::thread([=, this] {
            CThreadWatchdog watchdog(sName.c_str(), flTimeout, eBehavior);
            if (pchDetail) {
                CThreadWatchdog::SetDetailString(pchDetail);
            }
            std::unique_lock<std::mutex> lock(m_mutex);
            m_pStatus = watchdog.GetStatus();
            m_ready.notify_all();
            while (!m_bRelease) {
                if (bKeepTicking) {
                    CThreadWatchdog::TickParent();
                    m_ready.wait_for(lock, std::chrono::milliseconds(20));
                } else {
                    m_ready.wait(lock);
                }
            }
        });
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ready.wait(lock, [this] { return m_pStatus != nullptr; });
    }
    ~CWatchedThread() { Release(); }
    void Release() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bRelease = true;
        }
        m_ready.notify_all();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    CThreadWatchdog::Status_s* Status() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_pStatus;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    CThreadWatchdog::Status_s* m_pStatus = nullptr;
    bool m_bRelease = false;
    std::thread m_thread;
};

// A thread that runs the functions it is given, one at a time, each to its
// end before Run returns; between them it waits (its watchdogs do not tick).
class COwnerThread {
public:
    COwnerThread() : m_thread([this] { Loop(); }) {}
    ~COwnerThread() { Stop(); }
    void Run(const std::function<void()>& fn) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_pFn = &fn;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_pFn == nullptr; });
    }
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bStop = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

private:
    void Loop() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (true) {
            m_changed.wait(lock, [this] { return m_pFn || m_bStop; });
            if (!m_pFn) {
                return;
            }
            (*m_pFn)();
            m_pFn = nullptr;
            m_changed.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    const std::function<void()>* m_pFn = nullptr;
    bool m_bStop = false;
    std::thread m_thread;
};

inline bool MonitorThreadExists() {
    bool bFound = false;
    if (DIR* pDir = opendir("/proc/self/task")) {
        while (dirent* pEntry = readdir(pDir)) {
            std::string sComm =
                halyard_test::ReadFile(std::string("/proc/self/task/") + pEntry->d_name + "/comm");
            bFound = bFound || sComm == "ThreadWatchdog\n";
        }
        closedir(pDir);
    }
    return bFound;
}

}  // namespace halyard_test
