// The block pool behind the hot path's per-event objects: blocks are reused on one thread and
// across threads (made on one, freed on another, as tasks are), its memory stays bounded, and a
// thread that ends gives its blocks back. Run under the sanitizers, these also check that no
// block is handed to two owners at once.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "epoll/vrn_epoll_event_pump_task.h"
#include "host/vrn_block_pool.h"

namespace {

using namespace std::chrono_literals;

// Each test uses a size of its own, which no object of the system has, so that pools start empty.
// Object uses its pool directly, so that the sanitizer builds (where the system's classes go to
// the allocator) still run the pool itself; Routed goes the way the system's classes go.
template <size_t Size>
struct Object {
    char bytes[Size];
    static void* operator new(size_t n) {
        return n == sizeof(Object) ? VrnBlockPool<sizeof(Object)>::Allocate() : ::operator new(n);
    }
    static void operator delete(void* p, size_t n) noexcept {
        if (n == sizeof(Object))
            VrnBlockPool<sizeof(Object)>::Release(p);
        else
            ::operator delete(p);
    }
};
template <size_t Size>
struct Routed {
    char bytes[Size];
    static void* operator new(size_t n) { return VrnPoolNew<Routed>(n); }
    static void operator delete(void* p, size_t n) noexcept { VrnPoolDelete<Routed>(p, n); }
};

TEST(BlockPoolTest, OneThreadReusesWhatItFreed) {
    using O = Object<41>;
    std::vector<O*> live;
    for (int i = 0; i < 50; ++i) live.push_back(new O);
    std::set<O*> first(live.begin(), live.end());
    for (O* o : live) delete o;
    live.clear();
    for (int round = 0; round < 100; ++round) {
        for (int i = 0; i < 50; ++i) live.push_back(new O);
        for (O* o : live) EXPECT_TRUE(first.count(o)) << "a fresh block while freed ones were cached";
        for (O* o : live) delete o;
        live.clear();
    }
    EXPECT_EQ(VrnBlockPool<sizeof(O)>::FreshBlocks(), 50);
}

// A producer makes objects and a consumer frees them, through a queue, as the loop thread and
// the pump workers do with tasks: after the first batches the blocks circulate.
TEST(BlockPoolTest, BlocksCirculateBetweenAProducerAndAConsumer) {
    using O = Object<57>;
    constexpr int kObjects = 200000;
    constexpr size_t kMaxQueued = 300;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<O*> queue;
    bool done = false;
    std::thread consumer([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return !queue.empty() || done; });
            if (queue.empty()) return;
            O* o = queue.front();
            queue.pop_front();
            changed.notify_all();
            lock.unlock();
            o->bytes[0] = 1;  // the consumer owns it now
            delete o;
            lock.lock();
        }
    });
    for (int i = 0; i < kObjects; ++i) {
        O* o = new O;
        o->bytes[0] = 0;
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return queue.size() < kMaxQueued; }));
        queue.push_back(o);
        changed.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        changed.notify_all();
    }
    consumer.join();
    // At most the queue's bound plus the blocks resting in the two caches and the stock came
    // from the allocator, not one per object.
    int64_t bound = kMaxQueued + 2 * VrnBlockPool<sizeof(O)>::kCacheBlocks +
                    VrnBlockPool<sizeof(O)>::kStockBatches * VrnBlockPool<sizeof(O)>::kBatchBlocks;
    EXPECT_LE(VrnBlockPool<sizeof(O)>::FreshBlocks(), bound);
}

TEST(BlockPoolTest, AThreadThatEndsGivesItsBlocksBack) {
    using O = Object<73>;
    constexpr int kBlocks = 64;
    std::thread([&] {
        std::vector<O*> live;
        for (int i = 0; i < kBlocks; ++i) live.push_back(new O);
        for (O* o : live) delete o;
    }).join();
    ASSERT_EQ(VrnBlockPool<sizeof(O)>::FreshBlocks(), kBlocks);
    std::vector<O*> live;
    for (int i = 0; i < kBlocks; ++i) live.push_back(new O);
    EXPECT_EQ(VrnBlockPool<sizeof(O)>::FreshBlocks(), kBlocks);
    for (O* o : live) delete o;
}

// A derived class is larger than the one whose pool it inherits: it goes to the allocator. Under
// the sanitizers every size does.
TEST(BlockPoolTest, OtherSizesBypassThePool) {
    using O = Routed<89>;
    struct Larger : O {
        char more[24];
    };
    delete new Larger;
    delete new O;
    EXPECT_EQ(VrnBlockPool<sizeof(O)>::FreshBlocks(), kVrnPoolsInUse ? 1 : 0);
}

// A task read after it was deleted: a pool that kept its block would hide the fault from
// AddressSanitizer, all the more once another object of the same size has taken the block over.
TEST(BlockPoolDeathTest, UseAfterFreeOfATaskIsCaughtUnderAddressSanitizer) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto* task = new VrnEpoll_EventPump_Task(7, nullptr, 1, nullptr);
            delete task;
            delete new VrnEpoll_EventPump_Task(8, nullptr, 2, nullptr);
            volatile int32_t code = task->code;
            (void)code;
        },
        "heap-use-after-free");
#else
    GTEST_SKIP() << "needs an AddressSanitizer build";
#endif
}

}  // namespace
