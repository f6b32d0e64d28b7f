// Shared by the engine's tests: callbacks that record what reaches them, epoll interest read back
// from the kernel, and socket helpers.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "epoll/vrn_epoll.h"
#include "epoll/vrn_epoll_internal.h"
#include "epoll/vrn_epoll_state.h"
#include "tests/host_double/test_host.h"

namespace engine_test {

struct Delivery {
    char callback;  // 'A' or 'B': which recording callback ran
    int32_t fd;
    int32_t code;
    void* userData;
    bool operator==(const Delivery&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Delivery& d) {
    return os << d.callback << "(" << d.fd << ", " << d.code << ", " << d.userData << ")";
}

// Every delivery, in the order the callbacks ran.
class Deliveries {
  public:
    static Deliveries& Get() {
        // Never destroyed: pump workers may still be running when the process exits.
        static Deliveries* instance = new Deliveries;
        return *instance;
    }
    void Add(Delivery d) {
        std::lock_guard<std::mutex> guard(lock_);
        list_.push_back(d);
        changed_.notify_all();
    }
    std::vector<Delivery> List() {
        std::lock_guard<std::mutex> guard(lock_);
        return list_;
    }
    // Waits until at least n deliveries were recorded; the list at that point.
    std::vector<Delivery> WaitFor(size_t n, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(lock_);
        changed_.wait_for(lock, deadline, [&] { return list_.size() >= n; });
        return list_;
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Delivery> list_;  // guarded by lock_
};

inline void CallbackA(int32_t fd, int32_t code, void* userData) {
    Deliveries::Get().Add({'A', fd, code, userData});
}
inline void CallbackB(int32_t fd, int32_t code, void* userData) {
    Deliveries::Get().Add({'B', fd, code, userData});
}

inline void* Tag(intptr_t n) {
    return reinterpret_cast<void*>(n);
}

// The interest mask the kernel holds for fd in the engine's epoll set; none when fd is not in it.
inline std::optional<uint32_t> EpollMask(int fd) {
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(_epollFd.load()));
    std::string line;
    while (std::getline(info, line)) {
        int tfd;
        unsigned mask;
        if (sscanf(line.c_str(), "tfd: %d events: %x", &tfd, &mask) == 2 && tfd == fd) return mask;
    }
    return std::nullopt;
}

// What the kernel keeps of a one-shot interest once it has reported it: the flag alone.
constexpr uint32_t kDisarmed = EPOLLONESHOT;

struct SocketPair {
    int fds[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0); }
    int a() const { return fds[0]; }
    int b() const { return fds[1]; }
};

// A copy of the record's halves, read under its lock.
inline sckInfo Snapshot(int fd) {
    sckInfo* s = SocketMap_GetNode(fd);
    EXPECT_NE(s, nullptr);
    std::lock_guard<std::mutex> guard(*s->mutex);
    return *s;
}

inline std::string Format(const char* format, int a, int b) {
    char buf[512];
    snprintf(buf, sizeof buf, format, a, b);
    return buf;
}

// Fills a's send buffer until it would block, so that a is not writable.
inline void FillUntilFull(int fd) {
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    char chunk[4096] = {};
    while (write(fd, chunk, sizeof chunk) > 0) {
    }
}

// Engine fixture: initialised engine, manual or real clock; the loop, when started, is closed and
// awaited before the sockets close, so no socket closes under the loop thread's feet.
class Engine : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(VrnEpoll_Init(), 0); }
    void TearDown() override {
        VrnEpoll_Close();
        EXPECT_TRUE(WaitUntil([] { return VrnEpoll_IsRunning() == 0; }));
        for (int fd : owned_) close(fd);
    }
    void StartLoop() {
        ASSERT_EQ(VrnEpoll_Start(), 0);
        ASSERT_TRUE(WaitUntil([] { return VrnEpoll_IsRunning() == 1; }));
    }
    SocketPair Pair() {
        SocketPair p;
        owned_.push_back(p.a());
        owned_.push_back(p.b());
        return p;
    }
    int Own(int fd) {
        owned_.push_back(fd);
        return fd;
    }
    std::vector<int> owned_;
};

}  // namespace engine_test
