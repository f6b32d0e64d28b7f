// The host library's services to the executable: the debug log, the clock and the timed
// semaphore wait. None of them calls back into the executable.
#include <errno.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "host/vrn_host_lib.h"

namespace {

int64_t MonotonicMsec() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

extern "C" {

// One line per call: a wall-clock timestamp, the thread id, then the message. The whole line
// goes out in one write so that lines from different threads never interleave.
void OutDebug(const char* format, ...) {
    char line[4096];
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local;
    localtime_r(&ts.tv_sec, &local);
    int n = snprintf(line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d.%03ld [%ld] ", local.tm_year + 1900,
                     local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                     ts.tv_nsec / 1000000, long(syscall(SYS_gettid)));
    va_list ap;
    va_start(ap, format);
    int m = vsnprintf(line + n, sizeof line - n, format, ap);
    va_end(ap);
    size_t len = m < 0 ? size_t(n) : std::min(sizeof line - 1, size_t(n) + size_t(m));
    if (len == 0 || line[len - 1] != '\n') {
        if (len == sizeof line - 1) len--;
        line[len++] = '\n';
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
