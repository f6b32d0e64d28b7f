// The tests' stand-in for the host library: OutDebug records each call as one formatted line,
// GetTime_msec can run on a clock the test advances, and Sem_TimedWait can run on a shortened
// scale. Linked into every unit test in place of liborvanta.so.
#pragma once

#include <stdint.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace test_host {

// Every OutDebug call so far, formatted, in call order (one entry per call).
std::vector<std::string> Lines();
void ClearLines();
// Number of recorded lines equal to line, byte for byte.
size_t CountLines(const std::string& line);
// Waits until a recorded line equals line; false when the deadline passes first.
bool WaitForLine(const std::string& line, std::chrono::milliseconds deadline = std::chrono::seconds(5));
// Runs hook once, on the thread that next logs line (byte for byte), after the line is recorded
// and outside the double's own lock: a test holds a thread of the system at a point it logs from.
void OnLine(const std::string& line, std::function<void()> hook);

// Switches GetTime_msec to a manual clock that starts at startMsec and moves only when told.
void UseManualClock(int64_t startMsec);
void SetClock(int64_t msec);
void AdvanceClock(int64_t msec);
// Back to the monotonic clock.
void UseRealClock();
// Number of GetTime_msec calls so far.
uint64_t ClockReads();

// Sem_TimedWait waits msec / divisor instead of msec (1 restores the real scale).
void SetSemScale(int divisor);

}  // namespace test_host

// Polls pred until it holds or the deadline passes; returns the last value of pred.
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds deadline = std::chrono::seconds(5));
