#include <gtest/gtest.h>

#include <atomic>
#include <exception>
#include <functional>
#include <stdexcept>

#include "host/vrn_host_lib.h"
#include "net/vrn_asscept.h"
#include "net/vrn_asscept_internal.h"
#include "net/vrn_tcp_writer.h"
#include "tests/unit/net_test_util.h"

namespace {

using namespace std::chrono_literals;
using net_test::Completions;

const std::string kRearmFailed = "* vrn_asscept: OnListenSocketEvent Call VrnEpoll_listen Errno, errno=9\n";

// Accept callbacks carry no user data, so each test process records into these globals.
struct AcceptLog {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<int32_t, int32_t>> events;  // (fd, code); guarded by lock
    // Runs inside the callback before the call is recorded, so that a test that saw the record
    // knows the hook is done (e.g. the waiting connections were taken); set before the add.
    std::function<void(int32_t fd, int32_t code)> hook;

    void Record(int32_t fd, int32_t code) {
        std::exception_ptr thrown;
        try {
            if (hook) hook(fd, code);
        } catch (...) {
            thrown = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            events.emplace_back(fd, code);
            changed.notify_all();
        }
        if (thrown) std::rethrow_exception(thrown);
    }
    bool WaitFor(size_t count, std::chrono::milliseconds deadline = 5s) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, deadline, [&] { return events.size() >= count; });
    }
    std::vector<std::pair<int32_t, int32_t>> Snapshot() {
        std::lock_guard<std::mutex> guard(lock);
        return events;
    }
    size_t Count(int32_t code) {
        size_t n = 0;
        for (auto& e : Snapshot()) n += e.second == code;
        return n;
    }
};

AcceptLog gFirst, gSecond;
void FirstCallback(int32_t fd, int32_t code) {
    gFirst.Record(fd, code);
}
void SecondCallback(int32_t fd, int32_t code) {
    gSecond.Record(fd, code);
}

// Takes every waiting connection, so that the listening socket is quiet until the next one.
void AcceptAll(int32_t fd, int32_t code) {
    if (code != 1) return;
    int c;
    while ((c = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) close(c);
}

// A listener used through the engine's own read interest, to see whether the registry still
// holds (or later takes) the socket: a registration of the registry's would be replaced (-1 here,
// and the engine's replacement line) or would replace this one.
struct Probe {
    Completions seen;  // (fd, code) recorded as a completion
    static void Callback(int32_t fd, int32_t code, void* userData) {
        Completions::Record(fd, code, userData);
    }
};

size_t ReplacedReadLines() {
    size_t n = 0;
    for (auto& line : test_host::Lines()) n += line.find("已存在可读监听") != std::string::npos;
    return n;
}

class AcceptTest : public ::testing::Test {
  protected:
    void SetUp() override {
        net_test::StartEngine();
        gFirst.hook = AcceptAll;
        gSecond.hook = AcceptAll;
        listener = net_test::Listener(&port);
        net_test::SetNonBlocking(listener);
    }
    void TearDown() override {
        for (int c : clients) close(c);
        if (listener < 0) return;
        // No notification may still be arming the socket when it is closed.
        Vrn_Accept_Remove(listener);
        DrainPump();
        close(listener);
    }
    void ConnectClient() { clients.push_back(net_test::Connect(port)); }

    // The pump runs its tasks in order on its one worker while there is no backlog: once a task
    // queued now has run, every delivery queued before it has been handled.
    void DrainPump() {
        Completions sentinel;
        Vrn_Tcp_WriteAsync(1, nullptr, 0, nullptr, 0, &sentinel, Completions::Record, 0);
        ASSERT_TRUE(sentinel.WaitFor(1));
    }

    // Registers the engine's read interest directly and checks that nothing of the registry's
    // is armed on the socket: the probe replaces nothing and then hears the next connection.
    void ExpectOnlyTheProbeHearsTheSocket() {
        Probe probe;
        size_t replacedBefore = ReplacedReadLines();
        ASSERT_EQ(VrnEpoll_Listen(listener, 1, &probe.seen, Probe::Callback, 30), 0);
        ConnectClient();
        ASSERT_TRUE(probe.seen.WaitFor(1));
        EXPECT_EQ(probe.seen.Snapshot()[0].result, 1);
        EXPECT_EQ(ReplacedReadLines(), replacedBefore);
    }

    int listener = -1;
    uint16_t port = 0;
    std::vector<int> clients;
};

TEST_F(AcceptTest, ReadinessCallsWithOneAndArmsAgain) {
    ASSERT_EQ(Vrn_Accept_Add(listener, FirstCallback), 0);
    for (size_t i = 1; i <= 3; ++i) {
        ConnectClient();
        ASSERT_TRUE(gFirst.WaitFor(i)) << "connection " << i;
    }
    for (auto& e : gFirst.Snapshot()) EXPECT_EQ(e, std::make_pair(int32_t(listener), 1));
    EXPECT_NE(vrn_accept_internal::TokenOf(listener), nullptr);
}

TEST_F(AcceptTest, ThrowingCallbackIsReportedAndItsSocketStaysArmed) {
    std::atomic<int> calls{0};
    gFirst.hook = [&](int32_t fd, int32_t code) {
        AcceptAll(fd, code);
        if (calls.fetch_add(1) == 0) throw std::runtime_error("accept failed");
    };
    ASSERT_EQ(Vrn_Accept_Add(listener, FirstCallback), 0);
    ConnectClient();
    ASSERT_TRUE(gFirst.WaitFor(1));
    EXPECT_TRUE(test_host::WaitForLine("accept failed\n"));
    // The next connection is still heard: the socket was armed again despite the exception.
    ConnectClient();
    ASSERT_TRUE(gFirst.WaitFor(2));
    EXPECT_EQ(gFirst.Count(1), 2u);
    EXPECT_EQ(gFirst.Count(-1), 0u);
}

TEST_F(AcceptTest, DuplicateAddGivesEexistAndKeepsTheFirstArmed) {
    ASSERT_EQ(Vrn_Accept_Add(listener, FirstCallback), 0);
    errno = 0;
    EXPECT_EQ(Vrn_Accept_Add(listener, SecondCallback), -1);
    EXPECT_EQ(errno, EEXIST);
    ConnectClient();
    ASSERT_TRUE(gFirst.WaitFor(1));
    DrainPump();
    EXPECT_EQ(gSecond.Snapshot().size(), 0u);
    EXPECT_EQ(ReplacedReadLines(), 0u);
}

TEST_F(AcceptTest, AddAboveTheBoundGivesEbadfAndLeavesNoEntry) {
    for (int32_t fd : {1000001, -5}) {
        errno = 0;
        EXPECT_EQ(Vrn_Accept_Add(fd, FirstCallback), -1);
        EXPECT_EQ(errno, EBADF);
    }
    bool sound = false;
    EXPECT_EQ(vrn_accept_internal::EntryCount(&sound), 0);
    EXPECT_EQ(vrn_accept_internal::TokenOf(1000001), nullptr);
    // The number is free again for a later registration.
    EXPECT_EQ(Vrn_Accept_Add(1000001, FirstCallback), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(AcceptTest, AddWithoutACallbackGivesEinvalAndLeavesNoEntry) {
    errno = 0;
    EXPECT_EQ(Vrn_Accept_Add(listener, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(vrn_accept_internal::TokenOf(listener), nullptr);
    ExpectOnlyTheProbeHearsTheSocket();
}

TEST_F(AcceptTest, RemoveOfAnUnknownSocketDoesNothing) {
    Vrn_Accept_Remove(listener);
    Vrn_Accept_Remove(123456);
    ExpectOnlyTheProbeHearsTheSocket();
    EXPECT_TRUE(test_host::Lines().empty());
}

TEST_F(AcceptTest, RemovedSocketIsNotArmedAndItsCancellationIsIgnored) {
    ASSERT_EQ(Vrn_Accept_Add(listener, FirstCallback), 0);
    Vrn_Accept_Remove(listener);
    DrainPump();  // the engine's code 0 for the cancelled registration has been handled
    EXPECT_EQ(vrn_accept_internal::TokenOf(listener), nullptr);
    ExpectOnlyTheProbeHearsTheSocket();
    EXPECT_EQ(gFirst.Snapshot().size(), 0u);
}

TEST_F(AcceptTest, CallbackRemovingItsOwnSocketLeavesItUnarmed) {
    gFirst.hook = [](int32_t fd, int32_t code) {
        AcceptAll(fd, code);
        Vrn_Accept_Remove(fd);
    };
    ASSERT_EQ(Vrn_Accept_Add(listener, FirstCallback), 0);
    ConnectClient();
    ASSERT_TRUE(gFirst.WaitFor(1));
    DrainPump();
    EXPECT_EQ(vrn_accept_internal::TokenOf(listener), nullptr);
    ExpectOnlyTheProbeHearsTheSocket();
    EXPECT_EQ(gFirst.Snapshot().size(), 1u);
}

// A replacing read registration makes the engine report -1 to the registry, as for an error.
TEST_F(AcceptTest, ErrorCallsMinusOneOnceRemovesTheEntryAndAllowsALaterAdd) {
    gFirst.hook = [](int32_t, int32_t code) {
        if (code == -1) throw std::runtime_error("dropped by the registry");
    };
    ASSERT_EQ(Vrn_Accept_Add(listener, FirstCallback), 0);
    Probe probe;
    ASSERT_EQ(VrnEpoll_Listen(listener, 1, &probe.seen, Probe::Callback, 30), 0);
    ASSERT_TRUE(gFirst.WaitFor(1));
    ASSERT_TRUE(WaitUntil([&] { return vrn_accept_internal::TokenOf(listener) == nullptr; }));
    VrnEpoll_Remove(listener);  // the probe's registration ends with 0
    ASSERT_TRUE(probe.seen.WaitFor(1));
    EXPECT_EQ(probe.seen.Snapshot()[0].result, 0);

    ASSERT_EQ(Vrn_Accept_Add(listener, SecondCallback), 0);
    ConnectClient();
    ASSERT_TRUE(gSecond.WaitFor(1));
    DrainPump();
    EXPECT_EQ(gFirst.Snapshot(), (std::vector<std::pair<int32_t, int32_t>>{{listener, -1}}));
    EXPECT_EQ(gSecond.Count(-1), 0u);
}

TEST_F(AcceptTest, FailedArmingIsLoggedRemovesTheEntryAndCallsMinusOne) {
    // Closing the listener inside the callback makes the registry's next arming fail with EBADF.
    gFirst.hook = [](int32_t fd, int32_t code) {
        AcceptAll(fd, code);
        if (code == 1) close(fd);
    };
    ASSERT_EQ(Vrn_Accept_Add(listener, FirstCallback), 0);
    ConnectClient();
    ASSERT_TRUE(gFirst.WaitFor(2));
    int closed = listener;
    listener = -1;
    EXPECT_EQ(gFirst.Snapshot(), (std::vector<std::pair<int32_t, int32_t>>{{closed, 1}, {closed, -1}}));
    EXPECT_EQ(test_host::CountLines(kRearmFailed), 1u);
    EXPECT_EQ(vrn_accept_internal::TokenOf(closed), nullptr);
    DrainPump();
    EXPECT_EQ(gFirst.Snapshot().size(), 2u);
}

TEST_F(AcceptTest, RemovingTheHeadTwiceLeavesASoundList) {
    uint16_t p2, p3;
    int second = net_test::Listener(&p2), third = net_test::Listener(&p3);
    ASSERT_EQ(Vrn_Accept_Add(listener, FirstCallback), 0);
    ASSERT_EQ(Vrn_Accept_Add(second, FirstCallback), 0);
    ASSERT_EQ(Vrn_Accept_Add(third, FirstCallback), 0);  // the head
    bool sound = false;
    Vrn_Accept_Remove(third);
    EXPECT_EQ(vrn_accept_internal::EntryCount(&sound), 2);
    EXPECT_TRUE(sound);
    Vrn_Accept_Remove(second);
    EXPECT_EQ(vrn_accept_internal::EntryCount(&sound), 1);
    EXPECT_TRUE(sound);
    EXPECT_NE(vrn_accept_internal::TokenOf(listener), nullptr);
    ConnectClient();
    ASSERT_TRUE(gFirst.WaitFor(1));
    EXPECT_EQ(gFirst.Snapshot()[0], std::make_pair(int32_t(listener), 1));
    close(second);
    close(third);
}

TEST_F(AcceptTest, NotificationForAnUnregisteredSocketIsIgnored) {
    for (int32_t code : {1, 0, -1, 7}) {
        vrn_accept_internal::OnListenSocketEvent(listener, code, reinterpret_cast<void*>(uintptr_t(12345)));
    }
    EXPECT_TRUE(test_host::Lines().empty());
    ExpectOnlyTheProbeHearsTheSocket();
}

// Race policy: the newer registration of a socket number wins. Notifications of a removed
// entry (told apart by the token they carry) neither call anyone nor arm anything.
TEST_F(AcceptTest, StaleNotificationsLeaveTheNewerEntryAlone) {
    ASSERT_EQ(Vrn_Accept_Add(listener, FirstCallback), 0);
    void* oldToken = vrn_accept_internal::TokenOf(listener);
    Vrn_Accept_Remove(listener);
    ASSERT_EQ(Vrn_Accept_Add(listener, SecondCallback), 0);
    void* newToken = vrn_accept_internal::TokenOf(listener);
    ASSERT_NE(newToken, oldToken);

    for (int32_t code : {-1, 1, 0}) vrn_accept_internal::OnListenSocketEvent(listener, code, oldToken);
    EXPECT_EQ(vrn_accept_internal::TokenOf(listener), newToken);
    EXPECT_EQ(ReplacedReadLines(), 0u);  // no re-arm over the newer registration
    ConnectClient();
    ASSERT_TRUE(gSecond.WaitFor(1));
    DrainPump();
    EXPECT_EQ(gFirst.Snapshot().size(), 0u);
    EXPECT_EQ(gSecond.Count(-1), 0u);
}

// Remove and a new Add of the same socket while the old entry's callback runs: the old
// notification must not re-arm over the new registration.
TEST_F(AcceptTest, RemoveAndAddDuringACallbackKeepTheNewerRegistration) {
    std::mutex lock;
    std::condition_variable cv;
    bool inside = false, release = false;  // guarded by lock
    gFirst.hook = [&](int32_t fd, int32_t code) {
        AcceptAll(fd, code);
        std::unique_lock<std::mutex> guard(lock);
        inside = true;
        cv.notify_all();
        cv.wait_for(guard, 5s, [&] { return release; });
    };
    ASSERT_EQ(Vrn_Accept_Add(listener, FirstCallback), 0);
    ConnectClient();
    {
        std::unique_lock<std::mutex> guard(lock);
        ASSERT_TRUE(cv.wait_for(guard, 5s, [&] { return inside; }));
    }
    Vrn_Accept_Remove(listener);
    ASSERT_EQ(Vrn_Accept_Add(listener, SecondCallback), 0);
    {
        std::lock_guard<std::mutex> guard(lock);
        release = true;
    }
    cv.notify_all();
    DrainPump();  // the old notification has finished
    EXPECT_EQ(ReplacedReadLines(), 0u);
    ConnectClient();
    ASSERT_TRUE(gSecond.WaitFor(1));
    EXPECT_EQ(gSecond.Count(-1), 0u);
    EXPECT_EQ(gFirst.Snapshot().size(), 1u);
}

// Removes and adds the same socket over and over while connections arrive: no registration is
// ever replaced (which would report -1), and after the last removal nothing stays armed.
TEST_F(AcceptTest, RemoveAndAddRacingWithNotificationsKeepOneRegistration) {
    std::atomic<bool> stop{false};
    std::thread connector([&] {
        std::vector<int> mine;
        // Non-blocking connects: a full backlog while the socket is between registrations must
        // not hold this thread in SYN retries.
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        while (!stop.load() && mine.size() < 2000) {
            int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            mine.push_back(c);
            std::this_thread::sleep_for(200us);
        }
        for (int c : mine) close(c);
    });
    // Until enough notifications have raced with the churn (or a bound on the time).
    auto end = std::chrono::steady_clock::now() + 3s;
    for (int i = 0; gFirst.Count(1) + gSecond.Count(1) < 200 && std::chrono::steady_clock::now() < end; ++i) {
        Vrn_Accept_Remove(listener);
        ASSERT_EQ(Vrn_Accept_Add(listener, i % 2 ? SecondCallback : FirstCallback), 0);
        std::this_thread::yield();
    }
    stop.store(true);
    connector.join();
    Vrn_Accept_Remove(listener);
    DrainPump();
    AcceptAll(listener, 1);
    EXPECT_GE(gFirst.Count(1) + gSecond.Count(1), 20u);  // the churn did meet notifications
    EXPECT_EQ(gFirst.Count(-1) + gSecond.Count(-1), 0u);
    EXPECT_EQ(ReplacedReadLines(), 0u);
    bool sound = false;
    EXPECT_EQ(vrn_accept_internal::EntryCount(&sound), 0);
    ExpectOnlyTheProbeHearsTheSocket();
}

// The engine's wheel is driven on the test host's manual clock. The loop reads the clock once
// per pass and turns the wheels on every fifth pass, so a socket kept readable (the spinner)
// makes passes quick; after each one-second step the test waits for enough passes that a turn
// has seen the new time.
std::atomic<int64_t> gSpins{0};
std::atomic<bool> gSpinStop{false};
std::atomic<int32_t> gSentinelCode{99};

void Spin(int32_t fd, int32_t, void*) {
    gSpins.fetch_add(1);
    if (!gSpinStop.load()) VrnEpoll_Listen(fd, 1, nullptr, Spin, 30);
}

void Sentinel(int32_t, int32_t code, void*) {
    gSentinelCode.store(code);
}

TEST(AcceptIdle, IdleTimeOutArmsAgainWithoutCallingTheCallback) {
    test_host::UseManualClock(1000000);
    net_test::StartEngine();
    int spinner[2], quiet[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, spinner), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, quiet), 0);
    ASSERT_EQ(write(spinner[1], "x", 1), 1);
    ASSERT_EQ(VrnEpoll_Listen(spinner[0], 1, nullptr, Spin, 30), 0);

    uint16_t port;
    int listener = net_test::Listener(&port);
    net_test::SetNonBlocking(listener);
    gFirst.hook = AcceptAll;
    ASSERT_EQ(Vrn_Accept_Add(listener, FirstCallback), 0);
    // Same time-out, same moment: lands in the registry's wheel slot and tells when it expired.
    ASSERT_EQ(VrnEpoll_Listen(quiet[0], 1, nullptr, Sentinel, 180), 0);

    int steps = 0;
    while (gSentinelCode.load() == 99 && steps < 400) {
        test_host::AdvanceClock(1000);
        ++steps;
        int64_t now = GetTime_msec();
        ASSERT_TRUE(WaitUntil([&] { return VrnNowMsec() >= now; }, 2s));
        int64_t base = gSpins.load();
        ASSERT_TRUE(WaitUntil([&] { return gSpins.load() >= base + 12; }, 2s));
    }
    ASSERT_EQ(gSentinelCode.load(), 0);
    EXPECT_GE(steps, 180);
    gSpinStop.store(true);
    // The registry's time-out came in the same turn; let its handling finish.
    Completions sentinel;
    Vrn_Tcp_WriteAsync(1, nullptr, 0, nullptr, 0, &sentinel, Completions::Record, 0);
    ASSERT_TRUE(sentinel.WaitFor(1));
    EXPECT_EQ(gFirst.Snapshot().size(), 0u);

    int client = net_test::Connect(port);
    ASSERT_TRUE(gFirst.WaitFor(1));
    EXPECT_EQ(gFirst.Snapshot()[0], std::make_pair(int32_t(listener), 1));

    Vrn_Accept_Remove(listener);
    VrnEpoll_Remove(spinner[0]);
    Completions drained;
    Vrn_Tcp_WriteAsync(1, nullptr, 0, nullptr, 0, &drained, Completions::Record, 0);
    ASSERT_TRUE(drained.WaitFor(1));
    close(client);
    close(listener);
    for (int fd : {spinner[0], spinner[1], quiet[0], quiet[1]}) close(fd);
}

}  // namespace
