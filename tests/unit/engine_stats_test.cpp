// The engine's and the pump's status counters: armed halves and wheel nodes follow
// registrations, deliveries and removals; the pump reports its queue and its workers.
#include <errno.h>
#include <semaphore.h>

#include <vector>

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

// What the counters stand for, counted the slow way: every record's halves under its lock, and
// every wheel slot's chain under the slot's lock.
VrnEpollStats Walk() {
    VrnEpollStats walked{};
    for (sckInfo* s : SocketMap_AllRecords()) {
        std::lock_guard<std::mutex> guard(*s->mutex);
        walked.armedReadHalves += s->readCallback != nullptr;
        walked.armedWriteHalves += s->writeCallback != nullptr;
    }
    walked.readWheelNodes = _readWheel.load()->NodesByWalk();
    walked.writeWheelNodes = _writeWheel.load()->NodesByWalk();
    return walked;
}

// The figures are counters kept where halves are armed and disarmed and nodes linked, unlinked
// and handed out by ticks: at each step they must match the expected figures and a walk.
TEST_F(EngineStats, ArmedHalvesAndWheelNodesFollowRegistrations) {
    EXPECT_EQ(VrnEpoll_GetStats(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    test_host::UseManualClock(500000);
    StartLoop();
    SocketPair p = Pair(), q = Pair(), r = Pair();
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 1, Tag(1), CallbackA, 30), 0);
    ASSERT_EQ(VrnEpoll_Listen(q.a(), 1, Tag(2), CallbackA, 30), 0);
    FillUntilFull(q.a());  // so that its write half stays armed
    ASSERT_EQ(VrnEpoll_Listen(q.a(), 2, Tag(3), CallbackA, 30), 0);
    ASSERT_EQ(VrnEpoll_Listen(r.a(), 1, Tag(4), CallbackA, 2), 0);
    ASSERT_EQ(VrnEpoll_Listen(r.a(), 1, Tag(5), CallbackB, 1), 0);  // replaced
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
        VrnEpollStats walked = Walk(), now = Stats();
        EXPECT_EQ(std::vector<int64_t>(
                      {now.armedReadHalves, now.armedWriteHalves, now.readWheelNodes, now.writeWheelNodes}),
                  std::vector<int64_t>({walked.armedReadHalves, walked.armedWriteHalves,
                                        walked.readWheelNodes, walked.writeWheelNodes}))
            << s.what;
    };
    expect({"four registrations, one replaced", 3, 1});
    ASSERT_EQ(write(p.b(), "x", 1), 1);  // p becomes readable: its read half is delivered
    expect({"after a delivery", 2, 1});
    VrnEpoll_TimeWheel* reader = _readWheel.load();
    int32_t start = reader->CurIndex();
    test_host::AdvanceClock(1000);  // the first sweep starts the wheel, the next ones tick
    ASSERT_TRUE(WaitUntil([&] {
        if (reader->CurIndex() < start + 3) test_host::AdvanceClock(1000);
        return reader->CurIndex() >= start + 3;
    }));
    expect({"after r's time-out", 1, 1});
    VrnEpoll_Remove(q.a());
    expect({"after a removal", 0, 0});
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
