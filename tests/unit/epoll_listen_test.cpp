// Interest registration without the loop thread: what VrnEpoll_Listen and VrnEpoll_Remove leave
// in the record, the wheels and the kernel's epoll set, and what they deliver through the pump.
#include <errno.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include "tests/unit/epoll_test_util.h"

namespace {

using namespace engine_test;

constexpr const char* kAddError =
    "* vrn_epoll: VrnEpoll_Listen(..): EPOLL_CTL_ADD error： errno=%d, rwevent=%d\n";
constexpr const char* kListenError = "*** vrn_epoll: VrnEpoll_Listen error: fd=%d, errno:%d\n";

using EngineListen = Engine;

TEST_F(EngineListen, InitTwiceKeepsTheFirstInstance) {
    int epfd = _epollFd.load();
    VrnEpoll_TimeWheel* reader = _readWheel.load();
    EXPECT_GT(epfd, 0);
    ASSERT_NE(reader, nullptr);
    EXPECT_FALSE(reader->IsWriter());
    EXPECT_TRUE(_writeWheel.load()->IsWriter());
    errno = EAGAIN;
    EXPECT_EQ(VrnEpoll_Init(), 0);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(_epollFd.load(), epfd);
    EXPECT_EQ(_readWheel.load(), reader);
}

TEST_F(EngineListen, DescriptorBoundAndArgumentChecks) {
    for (int32_t fd : {1000001, -1}) {
        errno = 0;
        EXPECT_EQ(VrnEpoll_Listen(fd, 1, nullptr, CallbackA, 5), -1);
        EXPECT_EQ(errno, EBADF);
        EXPECT_EQ(SocketMap_GetNode(fd), nullptr);
    }
    SocketPair p = Pair();
    errno = 1234;
    EXPECT_EQ(VrnEpoll_Listen(p.a(), 3, nullptr, CallbackA, 5), -1);
    EXPECT_EQ(VrnEpoll_Listen(p.a(), 0, nullptr, CallbackA, 5), -1);
    EXPECT_EQ(VrnEpoll_Listen(p.a(), 1, nullptr, nullptr, 5), -1);
    EXPECT_EQ(errno, 1234);
    EXPECT_TRUE(test_host::Lines().empty());
    EXPECT_FALSE(EpollMask(p.a()));

    // 1000000 passes the bound: it gets a record and reaches the kernel, which knows no such
    // descriptor here.
    EXPECT_EQ(VrnEpoll_Listen(1000000, 1, nullptr, CallbackA, 5), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_NE(SocketMap_GetNode(1000000), nullptr);
}

TEST_F(EngineListen, FailedAddLeavesTheHalfIdle) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    close(fd);  // a number that names nothing now
    EXPECT_EQ(VrnEpoll_Listen(fd, 2, Tag(1), CallbackA, 5), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(test_host::CountLines(Format(kAddError, EBADF, 2)), 1u);
    EXPECT_EQ(test_host::CountLines(Format(kListenError, fd, EBADF)), 1u);
    sckInfo s = Snapshot(fd);
    EXPECT_EQ(s.writeCallback, nullptr);
    EXPECT_EQ(s.writeUserData, nullptr);
    EXPECT_EQ(s.writeWheel, nullptr);
    EXPECT_EQ(s.writeWheelIndex, -1);
    EXPECT_EQ(_writeWheel.load()->SlotHead(5), nullptr);
}

TEST_F(EngineListen, MasksThroughAddAndModify) {
    SocketPair p = Pair();
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 1, nullptr, CallbackA, 5), 0);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(EpollMask(p.a()), 0x40002059u);
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 2, nullptr, CallbackB, 5), 0);
    EXPECT_EQ(EpollMask(p.a()), 0x4000205Du);
    ASSERT_EQ(VrnEpoll_Listen(p.b(), 2, nullptr, CallbackB, 5), 0);
    EXPECT_EQ(EpollMask(p.b()), 0x4000201Cu);
    EXPECT_TRUE(test_host::Lines().empty());
}

TEST_F(EngineListen, RegistrationPlacesTheHalfInItsWheel) {
    SocketPair p = Pair();
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 1, Tag(7), CallbackA, 0), 0);  // 0: the default of 30 s
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 2, Tag(8), CallbackB, 12), 0);
    sckInfo s = Snapshot(p.a());
    EXPECT_EQ(s.readWheelIndex, 30);
    EXPECT_EQ(s.readWheel, _readWheel.load());
    EXPECT_EQ(s.readCallback, &CallbackA);
    EXPECT_EQ(s.readUserData, Tag(7));
    EXPECT_EQ(s.writeWheelIndex, 12);
    EXPECT_EQ(s.writeWheel, _writeWheel.load());
    EXPECT_EQ(s.writeUserData, Tag(8));
    EXPECT_EQ(_readWheel.load()->SlotHead(30)->fd, p.a());
    EXPECT_EQ(_writeWheel.load()->SlotHead(12)->fd, p.a());
}

TEST_F(EngineListen, ReplacedCallbackHearsMinusOneWithItsOldUserData) {
    SocketPair p = Pair();
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 1, Tag(1), CallbackA, 5), 0);
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 2, Tag(2), CallbackA, 5), 0);
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 1, Tag(3), CallbackB, 9), 0);
    auto got = Deliveries::Get().WaitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Delivery{'A', p.a(), -1, Tag(1)}));
    char expected[512];
    snprintf(expected, sizeof expected,
             "* VrnEpoll_Listen 函数在添加可读监听时发现该 socke 已存在可读监听, socket:%d, "
             "原回调地址:%p，新回调地址:%p \n",
             p.a(), reinterpret_cast<void*>(&CallbackA), reinterpret_cast<void*>(&CallbackB));
    EXPECT_EQ(test_host::CountLines(expected), 1u);
    snprintf(expected, sizeof expected, "  用户原附带对象地址: %p, 用户现附带对象地址: %p \n", Tag(1),
             Tag(3));
    EXPECT_EQ(test_host::CountLines(expected), 1u);
    EXPECT_EQ(EpollMask(p.a()), 0x4000205Du);
    sckInfo s = Snapshot(p.a());
    EXPECT_EQ(s.readCallback, &CallbackB);
    EXPECT_EQ(s.readUserData, Tag(3));
    EXPECT_EQ(s.readWheelIndex, 9);
    // The old node left slot 5; only the write half's node is there.
    EXPECT_EQ(_readWheel.load()->SlotHead(5), nullptr);
}

TEST_F(EngineListen, ReplacingWhileTheOtherHalfIsIdleModifiesTheInterest) {
    SocketPair p = Pair();
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 2, Tag(1), CallbackA, 5), 0);
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 2, Tag(2), CallbackB, 5), 0);
    EXPECT_EQ(EpollMask(p.a()), 0x4000201Cu);
    auto got = Deliveries::Get().WaitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Delivery{'A', p.a(), -1, Tag(1)}));
    sckInfo s = Snapshot(p.a());
    EXPECT_EQ(s.writeCallback, &CallbackB);
    EXPECT_EQ(s.writeWheelIndex, 5);
}

TEST_F(EngineListen, RecordReusedByANewSocketRegistersCleanly) {
    SocketPair first;
    int number = first.a();
    ASSERT_EQ(VrnEpoll_Listen(number, 1, Tag(1), CallbackA, 5), 0);
    close(first.a());  // leaves the epoll set with its close; the record still says armed
    close(first.b());
    SocketPair second = Pair();
    ASSERT_EQ(second.a(), number);
    ASSERT_EQ(VrnEpoll_Listen(number, 2, Tag(2), CallbackB, 5), 0);
    EXPECT_EQ(EpollMask(number), 0x4000205Du);
    ASSERT_EQ(VrnEpoll_Listen(number, 1, Tag(3), CallbackB, 5), 0);
    EXPECT_EQ(Deliveries::Get().WaitFor(1).at(0), (Delivery{'A', number, -1, Tag(1)}));
    EXPECT_EQ(EpollMask(number), 0x4000205Du);
}

// The record can be wrong about the socket's place in the epoll set: registration then falls
// back once to the other operation, silently, and the socket hears its own events.
TEST_F(EngineListen, RegistrationFallsBackWhenTheSetDisagreesWithTheRecord) {
    StartLoop();
    SocketPair first, second = Pair(), third = Pair();
    int reused = first.a();
    ASSERT_EQ(VrnEpoll_Listen(reused, 1, Tag(1), CallbackA, 30), 0);
    ASSERT_EQ(write(first.b(), "x", 1), 1);
    ASSERT_EQ(Deliveries::Get().WaitFor(1).size(), 1u);
    EXPECT_TRUE(Snapshot(reused).inEpollSet);  // disarmed, still in the set
    close(first.a());                          // ...until its close
    close(first.b());
    ASSERT_EQ(dup2(second.a(), reused), reused);  // a new socket takes the number
    epoll_event ev{};                             // in the set behind the record's back, disarmed
    ev.events = EPOLLONESHOT;
    ASSERT_EQ(epoll_ctl(_epollFd.load(), EPOLL_CTL_ADD, third.a(), &ev), 0);
    const struct {
        const char* what;
        int fd, peer;
    } rows[] = {{"modify meets ENOENT", reused, second.b()}, {"add meets EEXIST", third.a(), third.b()}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        size_t before = Deliveries::Get().List().size();
        ASSERT_EQ(VrnEpoll_Listen(row.fd, 1, Tag(2), CallbackB, 30), 0);
        EXPECT_EQ(EpollMask(row.fd), 0x40002059u);
        ASSERT_EQ(write(row.peer, "y", 1), 1);
        EXPECT_EQ(Deliveries::Get().WaitFor(before + 1).back(), (Delivery{'B', row.fd, 1, Tag(2)}));
    }
    EXPECT_TRUE(test_host::Lines().empty());
}

TEST_F(EngineListen, RemoveCancelsBothHalvesReadFirst) {
    SocketPair p = Pair();
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 2, Tag(2), CallbackB, 5), 0);
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 1, Tag(1), CallbackA, 7), 0);
    VrnEpoll_Remove(p.a());
    auto got = Deliveries::Get().WaitFor(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (Delivery{'A', p.a(), 0, Tag(1)}));
    EXPECT_EQ(got[1], (Delivery{'B', p.a(), 0, Tag(2)}));
    EXPECT_FALSE(EpollMask(p.a()));
    sckInfo s = Snapshot(p.a());
    EXPECT_EQ(s.readCallback, nullptr);
    EXPECT_EQ(s.writeCallback, nullptr);
    EXPECT_EQ(s.readWheel, nullptr);
    EXPECT_EQ(s.writeWheelIndex, -1);
    EXPECT_EQ(_readWheel.load()->SlotHead(7), nullptr);
    EXPECT_EQ(_writeWheel.load()->SlotHead(5), nullptr);

    // Nothing armed any more: no epoll call (no error line), nothing queued.
    VrnEpoll_Remove(p.a());
    EXPECT_TRUE(test_host::Lines().empty());
    EXPECT_EQ(SocketMap_GetNode(p.a()), SocketMap_GetNode(p.a()));
}

TEST_F(EngineListen, RemoveNeverCreatesARecord) {
    SocketPair p = Pair();
    VrnEpoll_Remove(p.a());
    VrnEpoll_Remove(1000001);
    VrnEpoll_Remove(-1);
    EXPECT_EQ(SocketMap_GetNode(p.a()), nullptr);
    EXPECT_TRUE(test_host::Lines().empty());
}

TEST_F(EngineListen, RemoveOfAClosedSocketStillDelivers) {
    SocketPair p;
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 1, Tag(4), CallbackA, 5), 0);
    close(p.a());
    close(p.b());
    VrnEpoll_Remove(p.a());
    EXPECT_EQ(Deliveries::Get().WaitFor(1).at(0), (Delivery{'A', p.a(), 0, Tag(4)}));
    EXPECT_EQ(test_host::CountLines(Format(
                  "DEBUG: VrnEpoll_Real_Remove(..) Call epoll_ctl(CTL_DEL) return -1, sck:%d, errno:%d\n",
                  p.a(), EBADF)),
              1u);
}

// With standard input closed, epoll_create gives descriptor 0, the value that means "never
// initialised": the engine must still start and work, and 0 must not be left free for a later
// open (a file whose descriptor 0 would read as "no file").
TEST(EngineInit, InstanceMovesOffDescriptorZero) {
    int savedStdin = dup(0);
    close(0);
    ASSERT_EQ(VrnEpoll_Init(), 0);
    int epfd = _epollFd.load();
    EXPECT_GT(epfd, 0);
    struct stat zero, null;
    ASSERT_EQ(fstat(0, &zero), 0);  // 0 is held by /dev/null
    ASSERT_EQ(stat("/dev/null", &null), 0);
    EXPECT_TRUE(S_ISCHR(zero.st_mode));
    EXPECT_EQ(zero.st_rdev, null.st_rdev);
    EXPECT_EQ(fcntl(epfd, F_GETFD), 0);  // flags as epoll_create gives them
    ASSERT_EQ(VrnEpoll_Start(), 0);
    SocketPair p;
    ASSERT_EQ(VrnEpoll_Listen(p.a(), 1, Tag(1), CallbackA, 30), 0);
    ASSERT_EQ(write(p.b(), "x", 1), 1);
    auto got = Deliveries::Get().WaitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Delivery{'A', p.a(), 1, Tag(1)}));
    VrnEpoll_Close();
    EXPECT_TRUE(WaitUntil([] { return VrnEpoll_IsRunning() == 0; }));
    close(p.a());
    close(p.b());
    if (savedStdin >= 0) dup2(savedStdin, 0);
}

TEST(EngineStart, RefusedBeforeInit) {
    errno = 0;
    EXPECT_EQ(VrnEpoll_Start(), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(VrnEpoll_IsRunning(), 0);
    // Listen has no wheel to register in yet.
    EXPECT_EQ(VrnEpoll_Listen(0, 1, nullptr, CallbackA, 5), -1);
    EXPECT_EQ(errno, EINVAL);
}

}  // namespace
