// The embedded Mono runtime: brings it up on the process's first thread, runs the assembly's
// Main there, and ends the process with Main's status.
//
// Signals. The runtime starts with the mask and the dispositions the process was given, as
// plain mono does: no thread blocks SIGINT or SIGTERM, so a program that never asks for them is
// ended by them (or, on a terminal, has SIGINT raise Console.CancelKeyPress once the console is
// set up, which is the runtime's own doing). A program that wants them takes them with
// Orvanta_TakeStopSignals (Orvanta_WaitStopSignal takes them too): a handler then records each
// one, on whichever thread the kernel picks (the runtime's, the engine's loop thread, a pump
// worker), and a waiter collects it. The handler is installed with SA_RESTART and every blocking
// call of the engine, the pump and the writers retries on EINTR, so those threads carry on. A
// signal that arrives before the take has its plain effect, so a program that announces itself
// (a server printing its port) takes them before it does. Nothing is ever blocked: the collector
// stops threads with signals of its own, and a thread that blocks them deadlocks the first
// collection.
//
// Libraries. The assemblies an application is compiled against (Vrns.dll, VrnsHttp.dll) live in
// managed/ beside the executable, in the build tree and installed alike (PREFIX/lib/vrns/managed),
// and that folder joins the runtime's search path after MONO_PATH's. The runtime looks in the
// application's own folder before the search path, so an application anywhere needs no copy of
// them, and one that ships its own copies keeps them.
//
// Shutdown. mono_jit_cleanup, and the runtime's own exit path, wait for every thread attached to
// the runtime; a pump worker becomes attached the first time it runs a managed callback and never
// exits, so either would hang. The process therefore ends with _exit once Main has returned,
// after flushing the C streams: no runtime teardown, no static destructor running while pump
// workers and runtime threads still use what it would destroy.
#include "orvanta/mono_host.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <mono/jit/jit.h>
#include <mono/metadata/assembly.h>
#include <mono/metadata/image.h>
#include <mono/metadata/loader.h>
#include <mono/metadata/mono-config.h>
#include <semaphore.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

namespace {

constexpr char kRuntimeVersion[] = "v4.0.30319";
constexpr int kStatusNoApplication = 2;
constexpr char kLibraryFolder[] = "/managed";

bool EndsWith(const char* s, const char* suffix) {
    size_t n = strlen(s), m = strlen(suffix);
    return n > m && strcasecmp(s + n - m, suffix) == 0;
}

// Lowest number first: the order in which a wait reports signals that arrived together.
constexpr int kStopSignals[] = {SIGINT, SIGTERM};

// What the stop-signal handler shares with the waiters. The handler touches only a lock-free
// atomic and sem_post, both safe in a signal handler.
struct StopSignalInbox {
    std::mutex takeLock;               // serialises the take
    bool semaphoreReady = false;       // under takeLock
    std::atomic<bool> taken{false};    // set (release) once both handlers are in place
    std::atomic<uint32_t> pending{0};  // a bit per signal received and not yet reported
    sem_t posted;                      // posted once per signal received
};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "the handler needs a lock-free word");

// The exports' own state: a signal handler has no other way to reach it.
StopSignalInbox stopInbox;

// Release pairs with the waiter's acquire, so that a waiter woken by the post finds the bit.
void OnStopSignal(int sig) {
    int saved = errno;
    stopInbox.pending.fetch_or(1u << sig, std::memory_order_release);
    sem_post(&stopInbox.posted);
    errno = saved;
}

// A signal the process was started with ignored (a background job of a shell) stays ignored, as
// it does in the native server, which never sees it either.
int CatchUnlessIgnored(int sig) {
    struct sigaction old;
    if (sigaction(sig, nullptr, &old) != 0) return errno;
    if (!(old.sa_flags & SA_SIGINFO) && old.sa_handler == SIG_IGN) return 0;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int other : kStopSignals) sigaddset(&action.sa_mask, other);  // the handlers do not nest
    return sigaction(sig, &action, nullptr) == 0 ? 0 : errno;
}

// Reports one recorded signal, lowest number first; 0 when none is recorded.
int32_t TakePending() {
    for (int sig : kStopSignals) {
        uint32_t bit = 1u << sig;
        if (stopInbox.pending.fetch_and(~bit, std::memory_order_acquire) & bit) return sig;
    }
    return 0;
}

timespec MonotonicDeadline(int32_t msec) {
    timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    if (msec < 0) msec = 0;
    end.tv_sec += msec / 1000;
    end.tv_nsec += long(msec % 1000) * 1000000;
    if (end.tv_nsec >= 1000000000) {
        end.tv_sec++;
        end.tv_nsec -= 1000000000;
    }
    return end;
}

// managed/ beside the executable (the link bin/vrns resolved), or "" when there is none.
std::string LibraryFolder() {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return "";
    exe[n] = '\0';
    std::string folder(exe, strrchr(exe, '/') - exe);
    folder += kLibraryFolder;
    struct stat st;
    return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? folder : "";
}

// Called once the runtime is up: it has read MONO_PATH by then, and this path replaces it. A
// folder that is missing is left out, as the runtime warns about each one.
void AddLibraryFolderToSearchPath() {
    std::string folder = LibraryFolder();
    if (folder.empty()) return;
    const char* env = getenv("MONO_PATH");
    std::string path = env && *env ? std::string(env) + ":" + folder : folder;
    mono_set_assemblies_path(path.c_str());
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

    mono_config_parse(nullptr);
    MonoDomain* domain = mono_jit_init_version("vrns", kRuntimeVersion);
    if (!domain) return Fail(path, "the Mono runtime did not start");
    mono_add_internal_call("System.Environment::Exit", reinterpret_cast<const void*>(ExitFromManagedCode));
    AddLibraryFolderToSearchPath();
    MonoAssembly* assembly = mono_domain_assembly_open(domain, path);
    if (!assembly) EndProcess(Fail(path, "not a managed assembly"));
    if (mono_image_get_entry_point(mono_assembly_get_image(assembly)) == 0)
        EndProcess(Fail(path, "the assembly has no Main"));
    EndProcess(mono_jit_exec(domain, assembly, argc - 1, argv + 1));
}

// Exported to the managed application (DllImport "__Internal"): from now on SIGINT and SIGTERM
// (those not ignored from the start) are recorded for Orvanta_WaitStopSignal instead of having
// their plain effect. Returns 0, or the errno of the failed sigaction; taking twice does nothing.
extern "C" int32_t Orvanta_TakeStopSignals() {
    if (stopInbox.taken.load(std::memory_order_acquire)) return 0;
    std::lock_guard<std::mutex> lock(stopInbox.takeLock);
    if (stopInbox.taken.load(std::memory_order_relaxed)) return 0;
    if (!stopInbox.semaphoreReady) {
        if (sem_init(&stopInbox.posted, 0, 0) != 0) return errno;
        stopInbox.semaphoreReady = true;
    }
    for (int sig : kStopSignals)
        if (int err = CatchUnlessIgnored(sig)) return err;
    stopInbox.taken.store(true, std::memory_order_release);
    return 0;
}

// Exported to the managed application: takes the stop signals (as above) and waits up to msec
// for one. Returns the signal's number, or 0 when the time ran out (or they could not be taken).
// Signals that arrived while nobody waited are reported by later waits, one each.
// Interruptions (the collector's suspend signals among them) resume the wait.
extern "C" int32_t Orvanta_WaitStopSignal(int32_t msec) {
    if (Orvanta_TakeStopSignals() != 0) return 0;
    timespec deadline = MonotonicDeadline(msec);
    for (;;) {
        if (int32_t sig = TakePending()) return sig;
        // A post without a bit is a signal already reported (two of one kind share a bit).
        if (sem_clockwait(&stopInbox.posted, CLOCK_MONOTONIC, &deadline) == 0 || errno == EINTR) continue;
        return TakePending();
    }
}
