// The four functions of the host library (liborvanta.so) that this executable calls.
// The host library is loaded with the executable; tests link a double in its place.
#pragma once

#include <semaphore.h>
#include <stdint.h>

extern "C" {

// Runs the whole process: brings up the runtime and the server. Called once by main.
int libvrns_main(int argc, char** argv, char** envp);

// printf-style debug log (%d, %s, %p only). Called from every thread of the system, sometimes
// under a socket record's or a wheel slot's lock, so it never calls back into the executable.
void OutDebug(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Milliseconds on a clock whose differences measure elapsed time.
int64_t GetTime_msec();

// Waits up to msec for sem. 0: taken; -1 with errno EINTR: interrupted (caller waits again);
// anything else: timed out or failed, not taken.
int Sem_TimedWait(sem_t* sem, int msec);
}
