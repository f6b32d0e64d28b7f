// Many threads registering, replacing and removing interest on many sockets while traffic flows
// and the wheels turn fast: every successful registration must be delivered exactly once.
#include <atomic>
#include <iostream>
#include <memory>
#include <random>
#include <thread>

#include "tests/unit/epoll_test_util.h"

namespace {

using namespace engine_test;

struct Registration {
    std::atomic<int> deliveries{0};
    std::atomic<bool> accepted{false};
};

std::mutex _registrationsLock;
std::vector<std::unique_ptr<Registration>> _registrations;  // guarded by _registrationsLock
std::atomic<int64_t> _accepted{0};
std::atomic<int64_t> _delivered{0};
std::atomic<bool> _stopping{false};
std::atomic<int64_t> _byCode[4];  // deliveries with code -1, 0, 1, 2

void Delivered(int32_t fd, int32_t code, void* userData);

bool Register(int fd, int rwevent, int timeout) {
    Registration* r;
    {
        std::lock_guard<std::mutex> guard(_registrationsLock);
        _registrations.push_back(std::make_unique<Registration>());
        r = _registrations.back().get();
    }
    if (VrnEpoll_Listen(fd, rwevent, r, Delivered, timeout) != 0) return false;
    r->accepted.store(true);
    _accepted.fetch_add(1);
    return true;
}

void Delivered(int32_t fd, int32_t code, void* userData) {
    static_cast<Registration*>(userData)->deliveries.fetch_add(1);
    _byCode[code + 1].fetch_add(1);
    if (code == 1) {
        char buf[256];
        while (read(fd, buf, sizeof buf) > 0) {
        }
        if (!_stopping.load()) Register(fd, 1, 2);
    }
    // Counted last, so that the test closes no socket under a callback that still reads it.
    _delivered.fetch_add(1);
}

TEST_F(Engine, EveryRegistrationIsDeliveredExactlyOnceUnderChurn) {
    test_host::UseManualClock(1000000);
    constexpr int kPairs = 64;
    constexpr int kActors = 4;
    constexpr int kOpsPerActor = 3000;
    std::vector<SocketPair> pairs;
    for (int i = 0; i < kPairs; ++i) pairs.push_back(Pair());
    StartLoop();

    std::atomic<bool> actorsDone{false};
    std::thread clock([&] {  // fast time: the wheels tick on nearly every sweep
        while (!actorsDone.load()) {
            test_host::AdvanceClock(1000);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::thread traffic([&] {
        std::minstd_rand rng(7);
        while (!actorsDone.load()) {
            (void)!write(pairs[rng() % kPairs].b(), "t", 1);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> actors;
    for (int t = 0; t < kActors; ++t) {
        actors.emplace_back([&, t] {
            std::minstd_rand rng(100 + t);
            // Churn on until the wheels have turned a few times, so that time-outs mix in.
            for (int i = 0; i < kOpsPerActor || _readWheel.load()->CurIndex() < 6; ++i) {
                int fd = pairs[rng() % kPairs].a();
                switch (rng() % 5) {
                    case 0:
                    case 1:
                        Register(fd, 1, 1 + int(rng() % 3));
                        break;
                    case 2:
                        Register(fd, 2, 1 + int(rng() % 3));
                        break;
                    case 3:
                        VrnEpoll_Remove(fd);
                        break;
                    default:
                        Register(fd, 1, -1);
                        break;
                }
            }
        });
    }
    for (auto& a : actors) a.join();
    _stopping.store(true);
    actorsDone.store(true);
    clock.join();
    traffic.join();

    // A callback already past its check may register once more: remove until all is delivered.
    EXPECT_TRUE(WaitUntil(
        [&] {
            for (auto& p : pairs) VrnEpoll_Remove(p.a());
            return _delivered.load() == _accepted.load();
        },
        std::chrono::seconds(60)));
    EXPECT_GT(_accepted.load(), kActors * kOpsPerActor / 2);
    for (auto& n : _byCode) EXPECT_GT(n.load(), 0);
    std::cout << "deliveries -1/0/1/2: " << _byCode[0] << " " << _byCode[1] << " " << _byCode[2] << " "
              << _byCode[3] << "\n";
    std::lock_guard<std::mutex> guard(_registrationsLock);
    size_t wrong = 0;
    for (auto& r : _registrations) {
        if (r->deliveries.load() != (r->accepted.load() ? 1 : 0)) ++wrong;
    }
    EXPECT_EQ(wrong, 0u);
}

}  // namespace
