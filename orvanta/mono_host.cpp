// The embedded Mono runtime: brings it up on the process's first thread, runs the assembly's
// Main there, and ends the process with Main's status.
//
// Signals. SIGINT and SIGTERM are blocked before the runtime starts, so that every thread created
// afterwards (the runtime's own, the engine's loop thread, the pump's workers) inherits the mask
// and the managed application takes them synchronously through Orvanta_WaitStopSignal. Nothing
// else is blocked: the collector stops threads with signals of its own, and a thread that blocks
// them deadlocks the first collection.
//
// Shutdown. mono_jit_cleanup, and the runtime's own exit path, wait for every thread attached to
// the runtime; a pump worker becomes attached the first time it runs a managed callback and never
// exits, so either would hang. The process therefore ends with _exit once Main has returned,
// after flushing the C streams: no runtime teardown, no static destructor running while pump
// workers and runtime threads still use what it would destroy.
#include "orvanta/mono_host.h"

#include <errno.h>
#include <fcntl.h>
#include <mono/jit/jit.h>
#include <mono/metadata/assembly.h>
#include <mono/metadata/image.h>
#include <mono/metadata/loader.h>
#include <mono/metadata/mono-config.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr char kRuntimeVersion[] = "v4.0.30319";
constexpr int kStatusNoApplication = 2;

bool EndsWith(const char* s, const char* suffix) {
    size_t n = strlen(s), m = strlen(suffix);
    return n > m && strcasecmp(s + n - m, suffix) == 0;
}

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

int Fail(const char* path, const char* why) {
    fprintf(stderr, "vrns: cannot run %s: %s\n", path, why);
    return kStatusNoApplication;
}

// The runtime reports a missing file and a bad image alike (a null assembly), so the file is
// opened first to tell the two apart.
const char* CheckReadable(const char* path) {
    int fd;
    do fd = open(path, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return strerror(errno);
    close(fd);
    return nullptr;
}

[[noreturn]] void EndProcess(int status) {
    fflush(nullptr);
    _exit(status);
}

// Stands in for the runtime's Environment.Exit, whose own path waits for every attached thread.
void ExitFromManagedCode(int32_t status) {
    EndProcess(status);
}

}  // namespace

bool NamesManagedAssembly(const char* arg) {
    return arg && (EndsWith(arg, ".exe") || EndsWith(arg, ".dll"));
}

int RunManagedApplication(int argc, char** argv) {
    const char* path = argv[1];
    if (const char* why = CheckReadable(path)) return Fail(path, why);

    sigset_t stop = StopSignals();
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    mono_config_parse(nullptr);
    MonoDomain* domain = mono_jit_init_version("vrns", kRuntimeVersion);
    if (!domain) return Fail(path, "the Mono runtime did not start");
    mono_add_internal_call("System.Environment::Exit", reinterpret_cast<const void*>(ExitFromManagedCode));
    MonoAssembly* assembly = mono_domain_assembly_open(domain, path);
    if (!assembly) EndProcess(Fail(path, "not a managed assembly"));
    if (mono_image_get_entry_point(mono_assembly_get_image(assembly)) == 0)
        EndProcess(Fail(path, "the assembly has no Main"));
    EndProcess(mono_jit_exec(domain, assembly, argc - 1, argv + 1));
}

// Exported to the managed application (DllImport "__Internal"): waits up to msec for SIGINT or
// SIGTERM. Returns the signal's number, or 0 when the time ran out. Interruptions (the
// collector's suspend signals among them) resume the wait with the time that is left.
extern "C" int32_t Orvanta_WaitStopSignal(int32_t msec) {
    sigset_t stop = StopSignals();
    timespec now, end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += msec / 1000;
    end.tv_nsec += long(msec % 1000) * 1000000;
    if (end.tv_nsec >= 1000000000) {
        end.tv_sec++;
        end.tv_nsec -= 1000000000;
    }
    for (;;) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        timespec left{end.tv_sec - now.tv_sec, end.tv_nsec - now.tv_nsec};
        if (left.tv_nsec < 0) {
            left.tv_sec--;
            left.tv_nsec += 1000000000;
        }
        if (left.tv_sec < 0) return 0;
        int sig = sigtimedwait(&stop, nullptr, &left);
        if (sig > 0) return sig;
        if (errno != EINTR) return 0;
    }
}
