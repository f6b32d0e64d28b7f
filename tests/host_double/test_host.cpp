#include "tests/host_double/test_host.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "host/vrn_host_lib.h"

namespace {

// Never destroyed: the system's detached threads may still log while the process exits and
// runs static destructors.
std::mutex& _linesLock = *new std::mutex;
std::condition_variable& _linesChanged = *new std::condition_variable;
std::vector<std::string>& _lines = *new std::vector<std::string>;  // guarded by _linesLock
// Hooks waiting for their line, guarded by _linesLock.
std::vector<std::pair<std::string, std::function<void()>>>& _lineHooks =
    *new std::vector<std::pair<std::string, std::function<void()>>>;

std::atomic<bool> _manualClock{false};
std::atomic<int64_t> _manualNow{0};
std::atomic<uint64_t> _clockReads{0};
std::atomic<int> _semScale{1};

int64_t MonotonicMsec() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

extern "C" {

void OutDebug(const char* format, ...) {
    char buf[2048];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    if (getenv("VRNS_TEST_ECHO")) fputs(buf, stderr);
    std::function<void()> hook;
    {
        // Notified under the lock: a waiter may return and the process exit as soon as it sees
        // the line, and the condition variable must not be in use by then.
        std::lock_guard<std::mutex> guard(_linesLock);
        _lines.emplace_back(buf);
        _linesChanged.notify_all();
        auto found = std::find_if(_lineHooks.begin(), _lineHooks.end(),
                                  [&](const auto& entry) { return entry.first == buf; });
        if (found != _lineHooks.end()) {
            hook = std::move(found->second);
            _lineHooks.erase(found);
        }
    }
    if (hook) hook();
}

int64_t GetTime_msec() {
    _clockReads.fetch_add(1, std::memory_order_relaxed);
    if (_manualClock.load(std::memory_order_acquire)) return _manualNow.load(std::memory_order_acquire);
    return MonotonicMsec();
}

int Sem_TimedWait(sem_t* sem, int msec) {
    int scaled = msec / std::max(1, _semScale.load(std::memory_order_relaxed));
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += scaled / 1000;
    ts.tv_nsec += long(scaled % 1000) * 1000000;
    if (ts.tv_nsec >= 1000000000) {
        ts.tv_sec++;
        ts.tv_nsec -= 1000000000;
    }
    return sem_clockwait(sem, CLOCK_MONOTONIC, &ts);
}

int libvrns_main(int, char**, char**) {
    return 0;
}
}

namespace test_host {

std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> guard(_linesLock);
    return _lines;
}

void ClearLines() {
    std::lock_guard<std::mutex> guard(_linesLock);
    _lines.clear();
}

size_t CountLines(const std::string& line) {
    std::lock_guard<std::mutex> guard(_linesLock);
    return std::count(_lines.begin(), _lines.end(), line);
}

bool WaitForLine(const std::string& line, std::chrono::milliseconds deadline) {
    std::unique_lock<std::mutex> lock(_linesLock);
    return _linesChanged.wait_for(
        lock, deadline, [&] { return std::find(_lines.begin(), _lines.end(), line) != _lines.end(); });
}

void OnLine(const std::string& line, std::function<void()> hook) {
    std::lock_guard<std::mutex> guard(_linesLock);
    _lineHooks.emplace_back(line, std::move(hook));
}

void UseManualClock(int64_t startMsec) {
    _manualNow.store(startMsec, std::memory_order_release);
    _manualClock.store(true, std::memory_order_release);
}
void SetClock(int64_t msec) {
    _manualNow.store(msec, std::memory_order_release);
}
void AdvanceClock(int64_t msec) {
    _manualNow.fetch_add(msec, std::memory_order_acq_rel);
}
void UseRealClock() {
    _manualClock.store(false, std::memory_order_release);
}
uint64_t ClockReads() {
    return _clockReads.load(std::memory_order_relaxed);
}
void SetSemScale(int divisor) {
    _semScale.store(divisor, std::memory_order_relaxed);
}

}  // namespace test_host

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
