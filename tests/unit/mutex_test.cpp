#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "host/vrn_mutex.h"

namespace {

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

TEST(VrnMutex, LockWaitsForTheHolder) {
    VrnMutex m;
    ASSERT_TRUE(m.Lock());
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        EXPECT_TRUE(m.Lock());
        acquired.store(true);
        m.Unlock();
    });
    EXPECT_FALSE(acquired.load());
    m.Unlock();
    other.join();
    EXPECT_TRUE(acquired.load());
}

}  // namespace
