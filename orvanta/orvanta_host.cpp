// The host library's services to the executable: the debug log, the clock and the timed
// semaphore wait. None of them calls back into the executable, and none waits for anything
// outside the process: a debug line that standard error cannot take at once waits in a
// bounded buffer for the log's own thread.
#include "orvanta/orvanta_host.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <string_view>

#include "host/vrn_host_lib.h"
#include "orvanta/server/line_writer.h"

namespace {

// Debug lines held back while standard error does not keep up; beyond, lines drop.
constexpr size_t kDebugLogBuffer = 256 << 10;
constexpr size_t kMaxDebugLine = 4096;

// One debug line in line: a wall-clock timestamp, the thread id, the message, a newline.
// Returns its length; a message too long is cut.
size_t FormatDebugLine(char (&line)[kMaxDebugLine], const char* format, va_list ap) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local;
    localtime_r(&ts.tv_sec, &local);
    int n = snprintf(line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d.%03ld [%ld] ", local.tm_year + 1900,
                     local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                     ts.tv_nsec / 1000000, long(syscall(SYS_gettid)));
    int m = vsnprintf(line + n, sizeof line - n, format, ap);
    size_t len = m < 0 ? size_t(n) : std::min(sizeof line - 1, size_t(n) + size_t(m));
    if (len == 0 || line[len - 1] != '\n') {
        if (len == sizeof line - 1) len--;
        line[len++] = '\n';
    }
    return len;
}

size_t DebugLineOf(char (&line)[kMaxDebugLine], const char* format, ...)
    __attribute__((format(printf, 2, 3)));
size_t DebugLineOf(char (&line)[kMaxDebugLine], const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    size_t len = FormatDebugLine(line, format, ap);
    va_end(ap);
    return len;
}

LineWriter* DebugLog();

// On the log's thread. The report goes in past the bound: the log is likely still full, and
// the count must not be lost to the very fullness it reports.
void ReportDroppedDebugLines(uint64_t dropped) {
    char line[kMaxDebugLine];
    size_t len = DebugLineOf(line, "* vrns: the debug log fell behind; %d lines dropped\n",
                             int(std::min<uint64_t>(dropped, INT_MAX)));
    DebugLog()->AppendNotice(std::string_view(line, len));
}

// Started on the first line and kept for the process's life (a stalled destination would hold
// up its destructor at exit). Null when no thread could be started: lines then go out directly.
LineWriter* DebugLog() {
    static LineWriter* const log = []() -> LineWriter* {
        try {
            return new LineWriter(STDERR_FILENO, kDebugLogBuffer, ReportDroppedDebugLines);
        } catch (const std::exception&) {
            return nullptr;
        }
    }();
    return log;
}

int64_t MonotonicMsec() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

extern "C" {

// One line per call: a wall-clock timestamp, the thread id, then the message. Lines from
// different threads never interleave, and a call never waits for standard error.
void OutDebug(const char* format, ...) {
    char line[kMaxDebugLine];
    va_list ap;
    va_start(ap, format);
    size_t len = FormatDebugLine(line, format, ap);
    va_end(ap);
    // Out at once when standard error takes it without waiting, so lines keep their place
    // beside the process's other output; held back for the log's thread otherwise.
    if (LineWriter* log = DebugLog()) {
        log->WriteOrAppend(std::string_view(line, len));
        return;
    }
    ssize_t w;
    do w = write(STDERR_FILENO, line, len);
    while (w < 0 && errno == EINTR);
}

int64_t GetTime_msec() {
    return MonotonicMsec();
}

// 0 when taken; -1 with EINTR when interrupted; -1 with ETIMEDOUT (or the wait's own error)
// when the time ran out or the wait failed. Measured on the monotonic clock, so a change of
// the wall clock neither shortens nor stretches the wait.
int Sem_TimedWait(sem_t* sem, int msec) {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    if (msec < 0) msec = 0;
    deadline.tv_sec += msec / 1000;
    deadline.tv_nsec += long(msec % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000;
    }
    return sem_clockwait(sem, CLOCK_MONOTONIC, &deadline);
}
}

bool FlushDebugLog(int timeoutMsec) {
    LineWriter* log = DebugLog();
    return log == nullptr || log->Flush(timeoutMsec);
}
