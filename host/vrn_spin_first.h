// Taking a lock that its holder keeps for a moment only, without going to sleep for it.
//
// A pump worker arming a socket holds the socket's record lock across its epoll_ctl; the kernel
// may report the socket to the loop thread before that call has even returned (the peer's next
// request is often there already). Blocking on the lock then costs the loop thread a futex sleep
// and the worker a futex wake, two context switches for a lock that frees a microsecond later.
// The loop thread instead tries it for a bounded while, and only then blocks; so do the pump's
// producers and workers on its queue lock, which is held for a few pointer operations.
#pragma once

#include <mutex>

// One pause in a busy wait: tells the processor (and a hypervisor) that this thread waits.
inline void VrnCpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

// Tries m this many times, a pause apart (about 2 µs in all on a current x86 processor, where a
// pause takes some 40 ns), before blocking on it.
constexpr int kVrnSpinTries = 50;

// m, taken: at once, after a short busy wait, or by blocking on it.
inline std::unique_lock<std::mutex> VrnLockSpinningFirst(std::mutex& m) {
    std::unique_lock<std::mutex> lock(m, std::try_to_lock);
    for (int i = 1; !lock.owns_lock() && i < kVrnSpinTries; ++i) {
        VrnCpuRelax();
        lock.try_lock();
    }
    if (!lock.owns_lock()) lock.lock();
    return lock;
}
