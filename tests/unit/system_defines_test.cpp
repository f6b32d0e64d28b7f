#include <gtest/gtest.h>
#include <stddef.h>
#include <sys/syscall.h>

#include <set>
#include <thread>
#include <vector>

#include "host/vrn_system_defines.h"

namespace {

const int32_t* Values(const SystemDefines* d) {
    return reinterpret_cast<const int32_t*>(d);
}

TEST(SystemDefines, HoldsTheTableByPosition) {
    const int32_t expected[43] = {2,  10,  1,    1,          1,  6,  1, 2,    6, 17, 0,  41,  26, 7,     8,
                                  21, 20,  13,   2,          15, 4,  1, 3,    9, 1,  2,  256, 64, 16384, 2048,
                                  64, 128, 1024, SYS_gettid, 15, 16, 2, 4096, 4, 85, 30, 86,  7};
    const int32_t* v = Values(get_system_defines());
    for (int i = 0; i < 43; ++i) EXPECT_EQ(v[i], expected[i]) << "position " << i;
}

TEST(SystemDefines, NamedFieldsSitAtTheirPositions) {
    EXPECT_EQ(offsetof(SystemDefines, msg_nosignal), 28u * 4);
    EXPECT_EQ(offsetof(SystemDefines, sys_gettid), 33u * 4);
    EXPECT_EQ(offsetof(SystemDefines, sc_avphys_pages), 41u * 4);
    const SystemDefines* d = get_system_defines();
    EXPECT_EQ(d->msg_nosignal, 16384);
    EXPECT_EQ(d->ipproto_ip, 0);
    for (int pos : {2, 3, 4, 6, 21, 24}) EXPECT_EQ(Values(d)[pos], 1) << "position " << pos;
#if defined(__aarch64__)
    EXPECT_EQ(d->sys_gettid, 178);
#elif defined(__x86_64__)
    EXPECT_EQ(d->sys_gettid, 186);
#endif
}

TEST(SystemDefines, EveryCallReturnsTheSameUnchangedRecord) {
    const SystemDefines* first = get_system_defines();
    SystemDefines snapshot = *first;
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(get_system_defines(), first);
    EXPECT_EQ(memcmp(&snapshot, first, sizeof snapshot), 0);
}

TEST(SystemDefines, ConcurrentFirstCallsAllSeeOneCompleteRecord) {
    constexpr int kThreads = 8;
    std::vector<const SystemDefines*> seen(kThreads);
    std::vector<int32_t> lastValue(kThreads);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
            }
            seen[t] = get_system_defines();
            lastValue[t] = seen[t]->define42;
        });
    }
    for (auto& th : threads) th.join();
    std::set<const SystemDefines*> distinct(seen.begin(), seen.end());
    EXPECT_EQ(distinct.size(), 1u);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(lastValue[t], 7);
    EXPECT_EQ(get_system_defines(), seen[0]);
}

}  // namespace
