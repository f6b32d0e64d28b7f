// The engine's and the pump's status counters: armed halves and wheel nodes follow
// registrations, deliveries and removals; the pump reports its queue and its workers.
#include <errno.h>
#include <semaphore.h>

#include "epoll/vrn_epoll_stats.h"
#include "host/vrn_host_lib.h"
#include "pump/vrn_event_pump.h"
#include "pump/vrn_event_pump_stats.h"
#include "tests/unit/epoll_test_util.h"

namespace {

using namespace engine_test;

using EngineStats = Engine;

VrnEpollStats Stats() {
    VrnEpollStats s;
    EXPECT_EQ(VrnEpoll_GetStats(&s), 0);
    return s;
}

TEST_F(EngineStats, ArmedHalvesAndWheelNodesFollowRegistrations) {
    EXPECT_EQ(VrnEpoll_GetStats(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    StartLoop();
    SocketPair p = Pair(), q = Pair();
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 1, Tag(1), CallbackA, 30), 0);
    ASSERT_EQ(VrnEpoll_Listen(q.a(), 1, Tag(2), CallbackA, 30), 0);
    FillUntilFull(q.a());  // so that its write half stays armed
    ASSERT_EQ(VrnEpoll_Listen(q.a(), 2, Tag(3), CallbackA, 30), 0);
    struct Step {
        const char* what;
        int64_t read, write;
    };
    auto expect = [](const Step& s) {
        // Deliveries leave the record on the loop thread: wait for the figures to settle.
        EXPECT_TRUE(WaitUntil([&] {
            VrnEpollStats now = Stats();
            return now.armedReadHalves == s.read && now.armedWriteHalves == s.write &&
                   now.readWheelNodes == s.read && now.writeWheelNodes == s.write;
        })) << s.what;
    };
    expect({"three registrations", 2, 1});
    ASSERT_EQ(write(p.b(), "x", 1), 1);  // p becomes readable: its read half is delivered
    expect({"after a delivery", 1, 1});
    VrnEpoll_Remove(q.a());
    expect({"after a removal", 0, 0});
}

// What the counters stand for, counted the slow way: every record's halves under its lock, and
// every wheel slot's chain. Only while nothing else changes them (the loop stopped).
VrnEpollStats Walk() {
    VrnEpollStats walked{};
    for (sckInfo* s : SocketMap_AllRecords()) {
        std::lock_guard<std::mutex> guard(*s->mutex);
        walked.armedReadHalves += s->readCallback != nullptr;
        walked.armedWriteHalves += s->writeCallback != nullptr;
    }
    for (int i = 0; i < VrnEpoll_TimeWheel::kSlots; ++i) {
        for (WheelNode* n = _readWheel.load()->SlotHead(i); n != nullptr; n = n->next)
            ++walked.readWheelNodes;
        for (WheelNode* n = _writeWheel.load()->SlotHead(i); n != nullptr; n = n->next)
            ++walked.writeWheelNodes;
    }
    return walked;
}

// The counters are kept where halves are armed and disarmed and nodes linked, unlinked and handed
// out by ticks; after a run that does all of these they must agree with a walk.
TEST_F(EngineStats, CountersAgreeWithAWalkAfterAMixedRun) {
    test_host::UseManualClock(500000);
    StartLoop();
    constexpr int kSockets = 40;
    std::vector<SocketPair> pairs;
    for (int i = 0; i < kSockets; ++i) pairs.push_back(Pair());
    for (int i = 0; i < kSockets; ++i) {
        int fd = pairs[i].a();
        ASSERT_EQ(VrnEpoll_Listen(fd, 1, Tag(i), CallbackA, 1 + i % 4), 0);
        if (i % 2 == 0) {
            FillUntilFull(fd);
            ASSERT_EQ(VrnEpoll_Listen(fd, 2, Tag(i), CallbackB, 2 + i % 3), 0);
        }
        if (i % 3 == 0) {
            ASSERT_EQ(write(pairs[i].b(), "x", 1), 1);  // delivered
        }
        if (i % 7 == 0) VrnEpoll_Remove(fd);  // cancelled
        if (i % 5 == 0) {
            ASSERT_EQ(VrnEpoll_Listen(fd, 1, Tag(i), CallbackB, 9), 0);  // replaced
        }
    }
    // Some of the rest time out as the wheels turn.
    VrnEpoll_TimeWheel* reader = _readWheel.load();
    int32_t start = reader->CurIndex();
    ASSERT_TRUE(WaitUntil([&] {
        test_host::AdvanceClock(1000);
        return reader->CurIndex() >= start + 3;
    }));
    VrnEpoll_Close();
    ASSERT_TRUE(WaitUntil([] { return VrnEpoll_IsRunning() == 0; }));
    VrnEpollStats counted = Stats(), walked = Walk();
    EXPECT_GT(walked.armedReadHalves, 0);  // the run left something in each wheel to count
    EXPECT_GT(walked.writeWheelNodes, 0);
    EXPECT_LT(walked.readWheelNodes, kSockets);  // ...and took some out
    EXPECT_EQ(counted.armedReadHalves, walked.armedReadHalves);
    EXPECT_EQ(counted.armedWriteHalves, walked.armedWriteHalves);
    EXPECT_EQ(counted.readWheelNodes, walked.readWheelNodes);
    EXPECT_EQ(counted.writeWheelNodes, walked.writeWheelNodes);
}

TEST(PumpStats, QueueAndWorkersAreReported) {
    VrnPumpStats s;
    EXPECT_EQ(VRN_EventPump_GetStats(nullptr), -1);
    ASSERT_EQ(VRN_EventPump_GetStats(&s), 0);
    EXPECT_EQ(s.workers, 0);  // not started yet
    // One task holds the persistent worker; those queued behind it are counted.
    static sem_t started, release;
    sem_init(&started, 0, 0);
    sem_init(&release, 0, 0);
    struct Hold : Vrn_Event_Pump_TaskBase {
        void DoEvent() override {
            sem_post(&started);
            while (sem_wait(&release) != 0) {
            }
        }
    };
    struct Nothing : Vrn_Event_Pump_TaskBase {
        void DoEvent() override {}
    };
    VRN_EventPump_AddTask(new Hold);
    ASSERT_EQ(Sem_TimedWait(&started, 10000), 0);
    for (int i = 0; i < 5; ++i) VRN_EventPump_AddTask(new Nothing);
    ASSERT_EQ(VRN_EventPump_GetStats(&s), 0);
    EXPECT_EQ(s.queuedTasks, 5);
    EXPECT_EQ(s.workers, 1 + s.extraWorkers);
    EXPECT_GE(s.workers, 1);
    sem_post(&release);
    EXPECT_TRUE(WaitUntil([&] { return VRN_EventPump_GetStats(&s) == 0 && s.queuedTasks == 0; }));
}

}  // namespace
