#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "epoll/vrn_epoll.h"
#include "epoll/vrn_epoll_sck_map.h"
#include "epoll/vrn_epoll_state.h"
#include "tests/host_double/test_host.h"

namespace {

size_t ChainLength(int bucket) {
    size_t n = 0;
    for (FdNode* node = _FdNodes[bucket]; node != nullptr; node = node->next) ++n;
    return n;
}

class SocketMap : public ::testing::Test {
  protected:
    void SetUp() override { SocketMap_Init(); }
};

TEST_F(SocketMap, BoundIsOneMillionInclusive) {
    sckInfo* top = SocketMap_GetOrAddNode(1000000);
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->fd, 1000000);
    EXPECT_EQ(_FdNodes[0]->sockinfo, top);
    EXPECT_EQ(SocketMap_GetNode(1000000), top);

    EXPECT_EQ(SocketMap_GetOrAddNode(1000001), nullptr);
    EXPECT_EQ(SocketMap_GetOrAddNode(-1), nullptr);
    EXPECT_EQ(SocketMap_GetNode(1000001), nullptr);
    EXPECT_EQ(SocketMap_GetNode(-1), nullptr);
    EXPECT_EQ(ChainLength(1), 0u);  // 1000001 % 1000
    EXPECT_EQ(ChainLength(0), 1u);
}

TEST_F(SocketMap, NewRecordIsIdleWithAFreeMutex) {
    sckInfo* s = SocketMap_GetOrAddNode(42);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->fd, 42);
    ASSERT_NE(s->mutex, nullptr);
    EXPECT_TRUE(s->mutex->try_lock());
    s->mutex->unlock();
    EXPECT_EQ(s->readWheelIndex, -1);
    EXPECT_EQ(s->writeWheelIndex, -1);
    EXPECT_EQ(s->readWheel, nullptr);
    EXPECT_EQ(s->writeWheel, nullptr);
    EXPECT_EQ(s->readCallback, nullptr);
    EXPECT_EQ(s->writeCallback, nullptr);
    EXPECT_EQ(s->readUserData, nullptr);
    EXPECT_EQ(s->writeUserData, nullptr);
    EXPECT_FALSE(s->readTimedOut);
    EXPECT_FALSE(s->writeTimedOut);
    EXPECT_EQ(s->readNode, nullptr);
    EXPECT_EQ(s->writeNode, nullptr);
}

TEST_F(SocketMap, GetNodeNeverCreatesAndFindsWhatGetOrAddMade) {
    EXPECT_EQ(SocketMap_GetNode(55), nullptr);
    EXPECT_EQ(ChainLength(55), 0u);
    sckInfo* s = SocketMap_GetOrAddNode(55);
    EXPECT_EQ(SocketMap_GetNode(55), s);
    EXPECT_EQ(SocketMap_GetOrAddNode(55), s);
    EXPECT_EQ(ChainLength(55), 1u);
}

TEST_F(SocketMap, SharedBucketListsNewestFirstLinkedBothWays) {
    sckInfo* a = SocketMap_GetOrAddNode(7);
    sckInfo* b = SocketMap_GetOrAddNode(1007);
    sckInfo* c = SocketMap_GetOrAddNode(2007);
    ASSERT_TRUE(a && b && c);
    EXPECT_NE(a, b);
    EXPECT_NE(b, c);
    FdNode* head = _FdNodes[7];
    ASSERT_EQ(ChainLength(7), 3u);
    EXPECT_EQ(head->sockinfo, c);
    EXPECT_EQ(head->prev, nullptr);
    EXPECT_EQ(head->next->sockinfo, b);
    EXPECT_EQ(head->next->prev, head);
    EXPECT_EQ(head->next->next->sockinfo, a);
    EXPECT_EQ(head->next->next->prev, head->next);
    for (FdNode* n = head; n != nullptr; n = n->next) EXPECT_EQ(n->fd, n->sockinfo->fd);
    EXPECT_EQ(SocketMap_GetNode(7), a);
    EXPECT_EQ(SocketMap_GetNode(1007), b);
    EXPECT_EQ(SocketMap_GetNode(2007), c);
}

TEST_F(SocketMap, ConcurrentFirstLookupsCreateOneRecord) {
    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::vector<sckInfo*> got(kThreads * 3, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield();
            for (int k = 0; k < 3; ++k) got[t * 3 + k] = SocketMap_GetOrAddNode(300 + k * 1000);
        });
    }
    for (auto& th : threads) th.join();
    for (int k = 0; k < 3; ++k) {
        std::set<sckInfo*> distinct;
        for (int t = 0; t < kThreads; ++t) distinct.insert(got[t * 3 + k]);
        EXPECT_EQ(distinct.size(), 1u);
        EXPECT_NE(*distinct.begin(), nullptr);
    }
    EXPECT_EQ(ChainLength(300), 3u);
}

TEST_F(SocketMap, ReusedDescriptorNumberGetsTheSameRecord) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    sckInfo* first = SocketMap_GetOrAddNode(fds[0]);
    int number = fds[0];
    close(fds[0]);
    close(fds[1]);
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(fds[0], number);  // the lowest free number is given again
    EXPECT_EQ(SocketMap_GetOrAddNode(fds[0]), first);
    close(fds[0]);
    close(fds[1]);
}

// Runs lookup in a child process that holds _rw_lock exclusively, so that the lookup's own
// attempts keep failing (EDEADLK). The child's wait status and what it wrote to stderr (where
// its log is echoed) come back; a child that still runs at the deadline is killed.
int LookupUnderAHeldLock(void (*lookup)(), std::string* output) {
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    pid_t child = fork();
    if (child == 0) {
        dup2(out[1], 2);
        setenv("VRNS_TEST_ECHO", "1", 1);
        pthread_rwlock_wrlock(&_rw_lock);
        lookup();
        _exit(0);
    }
    close(out[1]);
    int status = 0;
    if (!WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, std::chrono::seconds(10))) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) output->append(buf, size_t(n));
    }
    close(out[0]);
    return status;
}

TEST_F(SocketMap, LockThatKeepsFailingEndsTheProcessWithAWord) {
    struct Case {
        void (*lookup)();
        const char* firstFailure;
    } cases[] = {
        {[] { SocketMap_GetNode(7); }, "vrn_epoll_sck_map GetNode方法中，加读锁失败，errno=%d\n"},
        {[] { SocketMap_GetOrAddNode(7); }, "vrn_epoll_sck_map GetOrAddNode(..), lock error，errno=%d\n"},
    };
    for (const Case& c : cases) {
        std::string output;
        int status = LookupUnderAHeldLock(c.lookup, &output);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << "status " << status;
        char first[256], last[256];
        snprintf(first, sizeof first, c.firstFailure, EDEADLK);
        snprintf(last, sizeof last,
                 "*** Error: vrn_epoll_sck_map: _rw_lock still failing after 1000 attempts, errno=%d; "
                 "ending the process\n",
                 EDEADLK);
        EXPECT_NE(output.find(first), std::string::npos) << output;
        EXPECT_NE(output.find(last), std::string::npos) << output;
    }
}

TEST_F(SocketMap, SecondInitKeepsRecords) {
    sckInfo* s = SocketMap_GetOrAddNode(9);
    SocketMap_Init();
    EXPECT_EQ(SocketMap_GetNode(9), s);
}

TEST(EngineState, CloseOnlySetsTheFlagAndClockReadsHostWhileStopped) {
    test_host::UseManualClock(5000);
    EXPECT_EQ(VrnEpoll_IsRunning(), 0);
    EXPECT_EQ(VrnNowMsec(), 5000);
    test_host::AdvanceClock(7);
    EXPECT_EQ(VrnNowMsec(), 5007);
    // A cached value is used only while the loop runs.
    _loopPass.msec.store(42);
    EXPECT_EQ(VrnNowMsec(), 5007);
    _running.store(1);
    EXPECT_EQ(VrnNowMsec(), 42);
    _running.store(0);
    VrnEpoll_Close();
    EXPECT_EQ(_closeFlag.load(), 1);
    EXPECT_EQ(_epollFd.load(), 0);
    EXPECT_EQ(VrnEpoll_IsRunning(), 0);
}

}  // namespace
