#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <thread>

#include "host/vrn_mutex.h"
#include "tests/host_double/test_host.h"

namespace {

using namespace std::chrono_literals;

TEST(VrnMutex, StateIsOnePthreadMutex) {
    EXPECT_EQ(sizeof(VrnMutex), sizeof(pthread_mutex_t));
}

TEST(VrnMutex, HolderMayLockAgain) {
    VrnMutex m;
    ASSERT_TRUE(m.Lock());
    EXPECT_TRUE(m.Lock());
    EXPECT_TRUE(m.Trylock());
    m.Unlock();
    m.Unlock();
    m.Unlock();
    // Fully released: another thread takes it at once.
    EXPECT_TRUE(std::async(std::launch::async, [&] {
                    bool got = m.Trylock();
                    if (got) m.Unlock();
                    return got;
                }).get());
}

TEST(VrnMutex, TrylockFailsAtOnceWhileAnotherThreadHoldsIt) {
    VrnMutex m;
    ASSERT_TRUE(m.Lock());
    EXPECT_FALSE(std::async(std::launch::async, [&] { return m.Trylock(); }).get());
    m.Unlock();
}

// The state letter of one of this process's threads ('R' running, 'S' asleep in the kernel).
char ThreadState(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t name = all.rfind(')');  // the name in parentheses may hold spaces
    return name != std::string::npos && name + 2 < all.size() ? all[name + 2] : '?';
}

// Whether a second thread's Lock waits while this thread holds the lock: the second thread is
// seen asleep in the kernel, inside Lock, without having acquired it; and it acquires the lock
// once this thread lets go.
template <class Lockable>
bool SecondLockerWaitsForTheHolder(Lockable& m) {
    if (!m.Lock()) return false;
    std::atomic<pid_t> tid{0};
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        tid.store(gettid());
        if (m.Lock()) {
            acquired.store(true);
            m.Unlock();
        }
    });
    bool seenAsleep = WaitUntil(
        [&] { return acquired.load() || (tid.load() != 0 && ThreadState(tid.load()) == 'S'); }, 10s);
    bool waited = seenAsleep && !acquired.load();
    m.Unlock();
    other.join();
    return waited && acquired.load();
}

TEST(VrnMutex, LockWaitsForTheHolder) {
    VrnMutex m;
    EXPECT_TRUE(SecondLockerWaitsForTheHolder(m));
}

// The check above on a lock that never blocks: it must say so, or it proves nothing.
TEST(VrnMutex, TheWaitCheckCatchesALockThatNeverBlocks) {
    struct NeverBlocks {
        bool Lock() { return true; }
        void Unlock() {}
    } lock;
    EXPECT_FALSE(SecondLockerWaitsForTheHolder(lock));
}

}  // namespace
