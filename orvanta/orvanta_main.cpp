// libvrns_main: the host library's entry, called by the executable's main with the whole process.
#include <dlfcn.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include "host/vrn_host_lib.h"
#include "orvanta/mono_host.h"
#include "orvanta/orvanta_host.h"
#include "orvanta/server/orvanta_exports.h"
#include "orvanta/server/orvanta_server.h"

#ifndef VRNS_VERSION
#define VRNS_VERSION "0.1.0"
#endif

namespace {

// How long the debug log's last lines may take at exit: a stalled standard error must not stop it.
constexpr int kExitFlushMsec = 1000;

// Resolves every exported name of the executable, as the runtime would, and lists the result.
int CheckExports() {
    int missing = 0;
    for (const char* const* name = kVrnsExportNames; *name; ++name) {
        bool found = dlsym(RTLD_DEFAULT, *name) != nullptr;
        printf("%s %s\n", found ? "ok" : "missing", *name);
        missing += !found;
    }
    VrnsExports exports;
    const char* absent = nullptr;
    if (!ResolveVrnsExports(&exports, &absent)) {
        printf("missing %s\n", absent);
        ++missing;
    }
    return missing == 0 ? 0 : 1;
}

}  // namespace

extern "C" int libvrns_main(int argc, char** argv, char** envp) {
    (void)envp;
    // A peer that closes early must give EPIPE, never kill the process (the Mono runtime
    // arranges the same in production).
    signal(SIGPIPE, SIG_IGN);
    if (argc >= 2 && strcmp(argv[1], "--version") == 0) {
        printf("vrns %s\n", VRNS_VERSION);
        return 0;
    }
    if (argc >= 2 && strcmp(argv[1], "--check-exports") == 0) return CheckExports();
    if (argc >= 2 && NamesManagedAssembly(argv[1])) return RunManagedApplication(argc, argv);
    int status = RunServer(argc, argv);
    FlushDebugLog(kExitFlushMsec);
    return status;
}
