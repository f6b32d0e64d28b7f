// The loop thread end to end: real sockets, real epoll, callbacks observed from pump workers.
#include <errno.h>
#include <netinet/in.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>

#include "epoll/vrn_epoll_stats.h"
#include "tests/unit/epoll_test_util.h"
#include "tests/unit/signal_storm.h"

namespace {

using namespace engine_test;

constexpr const char* kLoopEnd = "***** VrnEpoll _WorkThreadFunc Loop end *****\n";

using EngineLoop = Engine;

TEST_F(EngineLoop, StartIsIdempotentAndCloseEndsTheLoop) {
    errno = EAGAIN;  // left over from the caller's earlier work: not this call's failure
    ASSERT_EQ(VrnEpoll_Start(), 0);
    ASSERT_TRUE(WaitUntil([] { return VrnEpoll_IsRunning() == 1; }));
    EXPECT_EQ(VrnEpoll_Start(), 0);
    VrnEpoll_Close();
    EXPECT_TRUE(test_host::WaitForLine(kLoopEnd));
    EXPECT_TRUE(WaitUntil([] { return VrnEpoll_IsRunning() == 0; }));
    EXPECT_EQ(test_host::CountLines(kLoopEnd), 1u);  // the second start made no second thread

    // No way back: a new thread ends at once.
    EXPECT_EQ(VrnEpoll_Start(), 0);
    EXPECT_TRUE(WaitUntil([] { return test_host::CountLines(kLoopEnd) == 2; }));
    EXPECT_TRUE(WaitUntil([] { return VrnEpoll_IsRunning() == 0; }));
}

TEST_F(EngineLoop, CloseBeforeStartMakesTheLoopEndAtOnce) {
    VrnEpoll_Close();
    ASSERT_EQ(VrnEpoll_Start(), 0);
    EXPECT_TRUE(test_host::WaitForLine(kLoopEnd));
    EXPECT_TRUE(WaitUntil([] { return VrnEpoll_IsRunning() == 0; }));
}

TEST_F(EngineLoop, FailingWaitEndsTheLoop) {
    close(_epollFd.load());  // the next wait fails with EBADF
    ASSERT_EQ(VrnEpoll_Start(), 0);
    EXPECT_TRUE(test_host::WaitForLine(kLoopEnd));
    EXPECT_EQ(test_host::CountLines("*** Error: VrnEpoll >>> epoll_wait: errno:9\n"), 1u);
    EXPECT_TRUE(WaitUntil([] { return VrnEpoll_IsRunning() == 0; }));
}

TEST_F(EngineLoop, ClockIsCachedOnlyWhileTheLoopRuns) {
    test_host::UseManualClock(1000000);
    StartLoop();
    ASSERT_TRUE(WaitUntil([] { return _loopPass.msec.load() == 1000000; }));
    // The loop stores only positive readings, so a reading of 0 leaves the cached value.
    test_host::SetClock(0);
    uint64_t reads = test_host::ClockReads();
    ASSERT_TRUE(WaitUntil([&] { return test_host::ClockReads() > reads + 1; }));  // a whole pass later
    EXPECT_EQ(VrnNowMsec(), 1000000);
    VrnEpoll_Close();
    ASSERT_TRUE(WaitUntil([] { return VrnEpoll_IsRunning() == 0; }));
    EXPECT_EQ(VrnNowMsec(), 0);
}

// A reported socket with no half armed stays in the set, disarmed by the kernel (one-shot), so
// that arming it again is one EPOLL_CTL_MOD.
TEST_F(EngineLoop, ReadableDeliversOneAndStaysDisarmed) {
    SocketPair p = Pair();
    StartLoop();
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 1, Tag(5), CallbackA, 30), 0);
    ASSERT_EQ(write(p.b(), "x", 1), 1);
    auto got = Deliveries::Get().WaitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Delivery{'A', p.a(), 1, Tag(5)}));
    sckInfo s = Snapshot(p.a());
    EXPECT_EQ(s.readCallback, nullptr);
    EXPECT_EQ(s.readWheel, nullptr);
    EXPECT_EQ(s.readWheelIndex, -1);
    EXPECT_EQ(EpollMask(p.a()), kDisarmed);
    EXPECT_EQ(_readWheel.load()->SlotHead(30), nullptr);
}

TEST_F(EngineLoop, WritableOnlyReArmsForReading) {
    SocketPair p = Pair();
    StartLoop();
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 1, Tag(1), CallbackA, 30), 0);
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 2, Tag(2), CallbackB, 30), 0);
    auto got = Deliveries::Get().WaitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Delivery{'B', p.a(), 2, Tag(2)}));
    EXPECT_EQ(EpollMask(p.a()), 0x40002059u);
    sckInfo s = Snapshot(p.a());
    EXPECT_EQ(s.readCallback, &CallbackA);
    EXPECT_EQ(s.writeWheel, nullptr);
    // The read half still works.
    ASSERT_EQ(write(p.b(), "x", 1), 1);
    EXPECT_EQ(Deliveries::Get().WaitFor(2).at(1), (Delivery{'A', p.a(), 1, Tag(1)}));
}

TEST_F(EngineLoop, ReadableAndWritableAtOnceQueuesTwoBeforeOne) {
    SocketPair p = Pair();
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 1, Tag(1), CallbackA, 30), 0);
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 2, Tag(2), CallbackB, 30), 0);
    ASSERT_EQ(write(p.b(), "x", 1), 1);
    StartLoop();  // the first wait sees both at once
    auto got = Deliveries::Get().WaitFor(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (Delivery{'B', p.a(), 2, Tag(2)}));
    EXPECT_EQ(got[1], (Delivery{'A', p.a(), 1, Tag(1)}));
    EXPECT_EQ(EpollMask(p.a()), kDisarmed);
}

TEST_F(EngineLoop, HangUpGivesOneToReadAndMinusOneToWrite) {
    SocketPair p = Pair();
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 1, Tag(1), CallbackA, 30), 0);
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 2, Tag(2), CallbackB, 30), 0);
    ASSERT_EQ(shutdown(p.b(), SHUT_RDWR), 0);
    StartLoop();
    auto got = Deliveries::Get().WaitFor(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (Delivery{'A', p.a(), 1, Tag(1)}));
    EXPECT_EQ(got[1], (Delivery{'B', p.a(), -1, Tag(2)}));
    EXPECT_FALSE(EpollMask(p.a()));
    sckInfo s = Snapshot(p.a());
    EXPECT_EQ(s.readWheel, nullptr);
    EXPECT_EQ(s.writeWheel, nullptr);
}

TEST_F(EngineLoop, ErrorWithoutInputGivesMinusOneToBoth) {
    // A TCP socket that never connected reports hang-up without input.
    int fd = Own(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    ASSERT_GE(fd, 0);
    ASSERT_EQ(VrnEpoll_Listen(fd, 1, Tag(1), CallbackA, 30), 0);
    ASSERT_EQ(VrnEpoll_Listen(fd, 2, Tag(2), CallbackB, 30), 0);
    StartLoop();
    auto got = Deliveries::Get().WaitFor(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (Delivery{'A', fd, -1, Tag(1)}));
    EXPECT_EQ(got[1], (Delivery{'B', fd, -1, Tag(2)}));
    EXPECT_FALSE(EpollMask(fd));
}

TEST_F(EngineLoop, ReplacedCallbackGetsMinusOneAndTheNewOneTheEvent) {
    SocketPair p = Pair();
    FillUntilFull(p.a());  // keeps the write half waiting
    StartLoop();
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 2, Tag(9), CallbackB, 30), 0);
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 1, Tag(1), CallbackA, 30), 0);
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 1, Tag(2), CallbackB, 30), 0);
    ASSERT_EQ(write(p.b(), "x", 1), 1);
    auto got = Deliveries::Get().WaitFor(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (Delivery{'A', p.a(), -1, Tag(1)}));
    EXPECT_EQ(got[1], (Delivery{'B', p.a(), 1, Tag(2)}));
    EXPECT_EQ(EpollMask(p.a()), 0x4000201Cu);
}

TEST_F(EngineLoop, TimeOutDeliversZeroOnceAndLeavesTheOtherHalfArmed) {
    test_host::UseManualClock(500000);
    SocketPair p = Pair();
    FillUntilFull(p.a());
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 2, Tag(2), CallbackB, 200), 0);
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 1, Tag(1), CallbackA, 1), 0);  // slot 1: the second tick
    StartLoop();
    VrnEpoll_TimeWheel* reader = _readWheel.load();
    // Each sweep ticks at most once however far the clock has moved.
    ASSERT_TRUE(WaitUntil([&] {
        test_host::AdvanceClock(1000);
        return !Deliveries::Get().List().empty();
    }));
    EXPECT_GE(reader->CurIndex(), 2);
    EXPECT_EQ(Deliveries::Get().List().at(0), (Delivery{'A', p.a(), 0, Tag(1)}));
    EXPECT_EQ(EpollMask(p.a()), 0x4000201Cu);
    int32_t seen = reader->CurIndex();
    ASSERT_TRUE(WaitUntil([&] {
        test_host::AdvanceClock(1000);
        return reader->CurIndex() >= seen + 3;
    }));
    EXPECT_EQ(Deliveries::Get().List().size(), 1u);
    sckInfo s = Snapshot(p.a());
    EXPECT_FALSE(s.readTimedOut);
    EXPECT_EQ(s.readWheel, nullptr);
    EXPECT_EQ(s.writeCallback, &CallbackB);
    EXPECT_EQ(s.writeWheel, _writeWheel.load());
}

TEST_F(EngineLoop, ErrorOnARecordWithNothingArmedDeliversNothing) {
    SocketPair p = Pair();
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 1, Tag(1), CallbackA, 30), 0);
    VrnEpoll_Remove(p.a());
    Deliveries::Get().WaitFor(1);
    sckInfo* s = SocketMap_GetNode(p.a());
    {
        std::lock_guard<std::mutex> guard(*s->mutex);
        ParseEvent(s, EPOLLERR);
    }
    EXPECT_EQ(
        test_host::CountLines("** vrn_epoll.ParseEvent(..): is(IsSckErrr)...: Not Callback function,sck:" +
                              std::to_string(p.a()) + "\n"),
        1u);
    EXPECT_EQ(Deliveries::Get().List().size(), 1u);
}

// The expiry of a half that was registered again after the tick detached its node must not time
// out the new registration.
TEST_F(EngineLoop, StaleExpiryLeavesANewRegistrationAlone) {
    test_host::UseManualClock(500000);
    SocketPair p = Pair();
    FillUntilFull(p.a());
    VrnEpoll_TimeWheel* writer = _writeWheel.load();
    writer->MoveTimeWheel();  // start the wheel (this thread stands in for the loop)
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 2, Tag(1), CallbackA, -5), 0);  // slot 1
    test_host::AdvanceClock(980);
    ASSERT_EQ(writer->MoveTimeWheel(), nullptr);
    test_host::AdvanceClock(980);
    int32_t slot;
    WheelNode* chain = writer->MoveTimeWheel(&slot);
    ASSERT_NE(chain, nullptr);
    ASSERT_EQ(slot, 1);
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 2, Tag(2), CallbackB, 9), 0);  // replaces: A hears -1
    EXPECT_TRUE(ExpireChain(writer, slot, chain));
    auto got = Deliveries::Get().WaitFor(1);
    sckInfo s = Snapshot(p.a());
    EXPECT_EQ(s.writeCallback, &CallbackB);
    EXPECT_FALSE(s.writeTimedOut);
    EXPECT_EQ(s.writeWheelIndex, (9 + 2) % 240);
    EXPECT_EQ(EpollMask(p.a()), 0x4000201Cu);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Delivery{'A', p.a(), -1, Tag(1)}));

    // Its own expiry still comes: tick until slot 11 is handed out.
    while (writer->CurIndex() != 11) {
        test_host::AdvanceClock(980);
        ASSERT_EQ(writer->MoveTimeWheel(), nullptr);
    }
    test_host::AdvanceClock(980);
    chain = writer->MoveTimeWheel(&slot);
    EXPECT_TRUE(ExpireChain(writer, slot, chain));
    EXPECT_EQ(Deliveries::Get().WaitFor(2).at(1), (Delivery{'B', p.a(), 0, Tag(2)}));
    EXPECT_FALSE(EpollMask(p.a()));
    EXPECT_EQ(Snapshot(p.a()).writeNode, nullptr);  // freed with the expiry, no longer named
}

constexpr const char* kNotFound =
    "** VrnEpoll TimeWheel UnregTimeWhell中，没有找到被移对象，轮序=%d, scoke=%d\n";

// Ticks wheel (this thread stands in for the loop) until it hands out a chain; the chain and the
// slot it came from.
WheelNode* TickUntilHandedOut(VrnEpoll_TimeWheel* wheel, int32_t* slot) {
    for (int i = 0; i < VrnEpoll_TimeWheel::kSlots; ++i) {
        test_host::AdvanceClock(980);
        if (WheelNode* chain = wheel->MoveTimeWheel(slot)) return chain;
    }
    return nullptr;
}

// Replaced after the tick and placed in the very slot the tick emptied: the old node's expiry
// must not time out the new registration, which then unregisters from that slot as usual.
TEST_F(EngineLoop, StaleExpirySparesANewRegistrationInTheEmptiedSlot) {
    test_host::UseManualClock(500000);
    SocketPair p = Pair();
    FillUntilFull(p.a());
    VrnEpoll_TimeWheel* writer = _writeWheel.load();
    writer->MoveTimeWheel();
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 2, Tag(1), CallbackA, 5), 0);
    int32_t slot;
    WheelNode* chain = TickUntilHandedOut(writer, &slot);
    ASSERT_NE(chain, nullptr);
    ASSERT_EQ(slot, 5);
    while (writer->CurIndex() != 10) {
        test_host::AdvanceClock(980);
        ASSERT_EQ(writer->MoveTimeWheel(), nullptr);
    }
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 2, Tag(2), CallbackB, 235), 0);  // slot (10 + 235) % 240 = 5
    EXPECT_EQ(test_host::CountLines(Format(kNotFound, 5, p.a())), 1u);
    EXPECT_TRUE(ExpireChain(writer, slot, chain));
    sckInfo s = Snapshot(p.a());
    EXPECT_EQ(s.writeCallback, &CallbackB);
    EXPECT_FALSE(s.writeTimedOut);
    EXPECT_EQ(s.writeWheelIndex, 5);
    EXPECT_NE(s.writeNode, nullptr);
    VrnEpoll_Remove(p.a());
    auto got = Deliveries::Get().WaitFor(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (Delivery{'A', p.a(), -1, Tag(1)}));
    EXPECT_EQ(got[1], (Delivery{'B', p.a(), 0, Tag(2)}));
    EXPECT_EQ(test_host::CountLines(Format(kNotFound, 5, p.a())), 1u);  // found this time
    EXPECT_EQ(writer->SlotHead(5), nullptr);
}

// A node passed over as foreign is still freed, and its record stops naming it, so a later
// removal finds nothing rather than a freed node.
TEST_F(EngineLoop, PassedOverNodeIsFreedAndForgotten) {
    test_host::UseManualClock(500000);
    SocketPair p = Pair();
    VrnEpoll_TimeWheel* reader = _readWheel.load();
    reader->MoveTimeWheel();
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 1, Tag(1), CallbackA, 1), 0);
    int32_t slot;
    WheelNode* chain = TickUntilHandedOut(reader, &slot);
    ASSERT_NE(chain, nullptr);
    chain->fd = p.a() + 1;  // as if the node had been made for another socket
    EXPECT_TRUE(ExpireChain(reader, slot, chain));
    EXPECT_EQ(test_host::CountLines(Format(
                  "* VrnEpoll CheckTimeOut发现异常对象：s.fd=%d != s.sockinfo->fd=%d\n", p.a() + 1, p.a())),
              1u);
    sckInfo s = Snapshot(p.a());
    EXPECT_EQ(s.readNode, nullptr);
    EXPECT_EQ(s.readWheelIndex, slot);  // not marked: nothing is delivered for it
    EXPECT_EQ(s.readCallback, &CallbackA);
    VrnEpoll_Remove(p.a());
    EXPECT_EQ(test_host::CountLines(Format(kNotFound, slot, p.a())), 1u);
    auto got = Deliveries::Get().WaitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Delivery{'A', p.a(), 0, Tag(1)}));
}

// Holds the loop between two entries of one batch: an entry with no record, then the socket a
// test registers with CallbackA (a hang-up for the read half, or a writable socket for the write
// half). Run, while the loop is held, does what another thread would do meanwhile; the socket's
// number is returned.
class HeldBatch : public Engine {
  protected:
    int HeldSocket() {
        QueueHoldingEntry();
        int fd = Own(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));  // hangs up at once
        EXPECT_EQ(VrnEpoll_Listen(fd, 1, Tag(1), CallbackA, 30), 0);
        return fd;
    }
    int HeldWritable() {
        QueueHoldingEntry();
        SocketPair p = Pair();
        EXPECT_EQ(VrnEpoll_Listen(p.a(), 2, Tag(1), CallbackA, 30), 0);
        return p.a();
    }
    bool RunHeld(const std::function<void()>& meanwhile) {
        auto held = std::make_shared<std::promise<void>>();
        auto release = std::make_shared<std::promise<void>>();
        test_host::OnLine("*** BUG: ParseEvent(): VrnEpoll epoll_wait返回的对象中，发现目标对象为NULL\n",
                          [held, release] {
                              held->set_value();
                              release->get_future().wait_for(std::chrono::seconds(10));
                          });
        if (VrnEpoll_Start() != 0) return false;
        bool reached = held->get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        if (reached) meanwhile();
        release->set_value();
        return reached;
    }

  private:
    // The entry with no record comes first in the batch; its log line is where the loop is held.
    void QueueHoldingEntry() {
        SocketPair first = Pair();
        EXPECT_EQ(write(first.b(), "x", 1), 1);
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLONESHOT;
        ev.data.ptr = nullptr;
        EXPECT_EQ(epoll_ctl(_epollFd.load(), EPOLL_CTL_ADD, first.a(), &ev), 0);
    }
};

// The hang-up's socket is removed and a new socket takes its number and registers: the old
// socket's hang-up must not reach the new registration, which keeps waiting for its own event.
TEST_F(HeldBatch, StaleEventSparesANewSocketThatTookTheNumber) {
    int fd = HeldSocket();
    ASSERT_TRUE(RunHeld([&] {
        VrnEpoll_Remove(fd);
        SocketPair fresh = Pair();
        ASSERT_EQ(dup2(fresh.a(), fd), fd);  // closes the old socket; the new one has its number
        ASSERT_EQ(VrnEpoll_Listen(fd, 1, Tag(2), CallbackB, 30), 0);
        ASSERT_EQ(write(fresh.b(), "y", 1), 1);
    }));
    auto got = Deliveries::Get().WaitFor(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (Delivery{'A', fd, 0, Tag(1)}));
    EXPECT_EQ(got[1], (Delivery{'B', fd, 1, Tag(2)}));
}

// Closed while armed, without a removal: the socket left the set with its close, and a new
// socket that took the number registers for the same half. The old socket's hang-up, already
// in the loop's batch, must not reach the new registration.
TEST_F(HeldBatch, StaleEventOfASocketClosedWhileArmedSparesTheNewSocket) {
    int fd = HeldSocket();
    ASSERT_TRUE(RunHeld([&] {
        SocketPair fresh = Pair();
        ASSERT_EQ(dup2(fresh.a(), fd), fd);  // closes the old socket; the new one has its number
        ASSERT_EQ(VrnEpoll_Listen(fd, 1, Tag(2), CallbackB, 30), 0);  // replaces A, which hears -1
        ASSERT_EQ(write(fresh.b(), "y", 1), 1);
    }));
    auto got = Deliveries::Get().WaitFor(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (Delivery{'A', fd, -1, Tag(1)}));
    EXPECT_EQ(got[1], (Delivery{'B', fd, 1, Tag(2)}));
}

// Removed with nothing registered since: the hang-up is handled as for any record whose halves
// were removed meanwhile, and says so.
TEST_F(HeldBatch, EventForARemovedSocketStillFindsNoCallback) {
    int fd = HeldSocket();
    ASSERT_TRUE(RunHeld([&] { VrnEpoll_Remove(fd); }));
    EXPECT_TRUE(test_host::WaitForLine(
        "** vrn_epoll.ParseEvent(..): is(IsSckErrr)...: Not Callback function,sck:" + std::to_string(fd) +
        "\n"));
    EXPECT_EQ(Deliveries::Get().WaitFor(1), (std::vector<Delivery>{{'A', fd, 0, Tag(1)}}));
    Snapshot(fd);  // taken after the loop has let go of the record: the event is handled
    VrnEpollStats stats;
    ASSERT_EQ(VrnEpoll_GetStats(&stats), 0);
    // The removal counted the half out; finding both halves idle counts nothing out again.
    EXPECT_EQ(stats.armedReadHalves, 0);
    EXPECT_EQ(stats.armedWriteHalves, 0);
}

// A registration that replaces a half whose report waits in the loop's batch arms the socket
// again; the report reaches the new registration, and the socket must then leave the set, or
// the kernel would report it once more, to nobody.
TEST_F(HeldBatch, HalfReplacedWhileItsEventIsHeldLeavesTheSocketUnarmed) {
    int fd = HeldWritable();
    ASSERT_TRUE(RunHeld([&] { ASSERT_EQ(VrnEpoll_Listen(fd, 2, Tag(2), CallbackB, 30), 0); }));
    auto got = Deliveries::Get().WaitFor(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (Delivery{'A', fd, -1, Tag(1)}));
    EXPECT_EQ(got[1], (Delivery{'B', fd, 2, Tag(2)}));
    EXPECT_FALSE(EpollMask(fd));  // left before the delivery was queued
}

// Signals that interrupt every wait complete no pass; the time-out must come all the same.
TEST_F(EngineLoop, TimeOutsComeWhileSignalsInterruptEveryWait) {
    test_host::UseManualClock(500000);
    SocketPair p = Pair();
    StartLoop();
    SignalStorm storm;
    ASSERT_TRUE(WaitUntil([&] { return storm.Sent() > 10; }));
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 1, Tag(1), CallbackA, 1), 0);
    EXPECT_TRUE(WaitUntil([&] {
        test_host::AdvanceClock(100);
        return !Deliveries::Get().List().empty();
    }));
    auto got = Deliveries::Get().List();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Delivery{'A', p.a(), 0, Tag(1)}));
}

}  // namespace

namespace {

using namespace engine_test;

struct PingPong {
    std::atomic<int> rounds{0};
    std::atomic<int> faults{0};
    int target = 0;
};

// Reads the ball, sends it back and registers again from inside the callback.
void Bounce(int32_t fd, int32_t code, void* userData) {
    auto* game = static_cast<PingPong*>(userData);
    char ball;
    if (code != 1 || read(fd, &ball, 1) != 1) {
        game->faults.fetch_add(1);
        return;
    }
    if (game->rounds.fetch_add(1) + 1 >= game->target) return;
    if (VrnEpoll_Listen(fd, 1, game, Bounce, 30) != 0 || write(fd, &ball, 1) != 1) game->faults.fetch_add(1);
}

TEST_F(EngineLoop, CallbackThatRegistersAgainKeepsAPingPongGoing) {
    SocketPair p = Pair();
    static PingPong game;  // outlives the test: the last callback may still be returning
    game.target = 3000;
    StartLoop();
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 1, &game, Bounce, 30), 0);
    ASSERT_EQ(VrnEpoll_Listen(p.b(), 1, &game, Bounce, 30), 0);
    ASSERT_EQ(write(p.a(), "o", 1), 1);
    EXPECT_TRUE(WaitUntil([&] { return game.rounds.load() >= game.target; }, std::chrono::seconds(60)));
    EXPECT_EQ(game.faults.load(), 0);
}

}  // namespace
