#include "host/vrn_system_defines.h"

#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>

#include <atomic>

namespace {

// Published with release after all 43 values are stored, so a reader that sees the pointer
// sees a complete record. Concurrent first callers may each build one; only the first published
// is kept, and the losers free theirs, so every caller gets the same address.
std::atomic<SystemDefines*> _systemDefines{nullptr};

// Stored position by position. The named fields carry the Linux constants of the same name;
// the gettid number is this processor's own (178 on AArch64, 186 on x86_64).
void FillSystemDefines(SystemDefines* d) {
    d->af_inet = 2;
    d->af_inet6 = 10;
    d->define02 = 1;
    d->define03 = 1;
    d->define04 = 1;
    d->define05 = 6;
    d->define06 = 1;
    d->define07 = 2;
    d->ipproto_tcp = 6;
    d->ipproto_udp = 17;
    d->ipproto_ip = 0;
    d->ipproto_ipv6 = 41;
    d->ipv6_v6only = 26;
    d->so_sndbuf = 7;
    d->so_rcvbuf = 8;
    d->so_sndtimeo = 21;
    d->so_rcvtimeo = 20;
    d->so_linger = 13;
    d->so_reuseaddr = 2;
    d->so_reuseport = 15;
    d->define20 = 4;
    d->define21 = 1;
    d->define22 = 3;
    d->define23 = 9;
    d->define24 = 1;
    d->define25 = 2;
    d->msg_waitall = 0x100;
    d->msg_dontwait = 0x40;
    d->msg_nosignal = 0x4000;
    d->o_nonblock = 0x800;
    d->define30 = 0x40;
    d->define31 = 0x80;
    d->define32 = 0x400;
    d->sys_gettid = SYS_gettid;
    d->define34 = 15;
    d->define35 = 16;
    d->define36 = 2;
    d->define37 = 0x1000;
    d->define38 = 4;
    d->sc_phys_pages = 85;
    d->sc_pagesize = 30;
    d->sc_avphys_pages = 86;
    d->define42 = 7;
}

}  // namespace

SystemDefines* get_system_defines() {
    SystemDefines* cur = _systemDefines.load(std::memory_order_acquire);
    if (cur) return cur;

    auto* fresh = static_cast<SystemDefines*>(malloc(sizeof(SystemDefines)));
    if (!fresh) abort();
    memset(fresh, 0, sizeof(SystemDefines));
    FillSystemDefines(fresh);
    if (_systemDefines.compare_exchange_strong(cur, fresh, std::memory_order_acq_rel)) return fresh;
    free(fresh);  // another first caller published its record first
    return cur;
}
