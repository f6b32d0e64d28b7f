// Helpers for the connection I/O tests: a running engine, loopback TCP pairs with small buffers,
// temp files, and a recorder of write completions.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "epoll/vrn_epoll.h"
#include "tests/host_double/test_host.h"

namespace net_test {

using namespace std::chrono_literals;

// Writes to a reset peer must report EPIPE, as the host process arranges, not kill the test.
inline void IgnoreSigpipe() {
    signal(SIGPIPE, SIG_IGN);
}

inline void StartEngine() {
    IgnoreSigpipe();
    ASSERT_EQ(VrnEpoll_Init(), 0);
    errno = 0;
    ASSERT_EQ(VrnEpoll_Start(), 0);
    ASSERT_TRUE(WaitUntil([] { return VrnEpoll_IsRunning() != 0; }));
}

inline void SetBuffer(int fd, int option, int bytes) {
    ASSERT_EQ(setsockopt(fd, SOL_SOCKET, option, &bytes, sizeof bytes), 0);
}

inline void SetNonBlocking(int fd) {
    ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK), 0);
}

// A listening loopback socket on an ephemeral port; *port receives the port.
inline int Listener(uint16_t* port, int receiveBuffer = 0) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_GE(fd, 0);
    if (receiveBuffer > 0) SetBuffer(fd, SO_RCVBUF, receiveBuffer);  // inherited by accepted sockets
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(listen(fd, 64), 0);
    socklen_t len = sizeof addr;
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    *port = ntohs(addr.sin_port);
    return fd;
}

inline int Connect(uint16_t port, int sendBuffer = 0) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_GE(fd, 0);
    if (sendBuffer > 0) SetBuffer(fd, SO_SNDBUF, sendBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    return fd;
}

// A connected loopback pair: writer non-blocking with a small send buffer, reader blocking with
// a small receive buffer, so large writes fill the socket and have to wait.
inline size_t FillSocket(int fd);

struct TcpPair {
    int writer = -1;
    int reader = -1;

    explicit TcpPair(int bufferBytes = 4096) {
        uint16_t port = 0;
        int listener = Listener(&port, bufferBytes);
        writer = Connect(port, bufferBytes);
        reader = accept(listener, nullptr, nullptr);
        EXPECT_GE(reader, 0);
        close(listener);
        SetNonBlocking(writer);
    }
    ~TcpPair() {
        if (writer >= 0) close(writer);
        if (reader >= 0) close(reader);
    }
    // Moves the writer's side to descriptor 0, as a process started with standard input closed
    // would have it, and fills its send buffer; the writer is then the caller's to close.
    bool MoveWriterToZeroAndFill() {
        if (dup2(writer, 0) != 0) return false;
        close(writer);
        writer = -1;
        FillSocket(0);
        return true;
    }
    // Sends an RST to the writer's side: close with a zero linger time.
    void ResetReader() {
        linger lg{1, 0};
        setsockopt(reader, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        close(reader);
        reader = -1;
    }
};

// Writes to a non-blocking socket until it takes nothing more.
inline size_t FillSocket(int fd) {
    std::vector<uint8_t> chunk(65536, 0x5a);
    size_t total = 0;
    for (;;) {
        ssize_t n = write(fd, chunk.data(), chunk.size());
        if (n > 0) {
            total += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        EXPECT_EQ(errno, EAGAIN);
        return total;
    }
}

// Reads up to count bytes into out, in reads of at most chunk bytes; stops early when nothing
// arrives for idle. Returns the bytes read.
inline size_t ReadBytes(int fd, size_t count, std::vector<uint8_t>* out, size_t chunk = 65536,
                        std::chrono::milliseconds idle = 5s) {
    size_t got = 0;
    std::vector<uint8_t> buf(chunk);
    while (got < count) {
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, int(idle.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        ssize_t n = read(fd, buf.data(), std::min(chunk, count - got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (out != nullptr) out->insert(out->end(), buf.begin(), buf.begin() + n);
        got += size_t(n);
    }
    return got;
}

inline std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = uint8_t(gen());
    return v;
}

// Counts write completions and remembers each one's result and thread.
struct Completions {
    struct Entry {
        int32_t fd;
        int32_t result;
        std::thread::id thread;
    };
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Entry> entries;  // guarded by lock

    static void Record(int32_t fd, int32_t result, void* userData) {
        auto* self = static_cast<Completions*>(userData);
        // Notified under the lock: a waiter that sees the entry may destroy the recorder at once.
        std::lock_guard<std::mutex> guard(self->lock);
        self->entries.push_back({fd, result, std::this_thread::get_id()});
        self->changed.notify_all();
    }
    bool WaitFor(size_t count, std::chrono::milliseconds deadline = 10s) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, deadline, [&] { return entries.size() >= count; });
    }
    std::vector<Entry> Snapshot() {
        std::lock_guard<std::mutex> guard(lock);
        return entries;
    }
    size_t Count() { return Snapshot().size(); }
};

// A temp file under /tmp holding bytes; unlinked at once, closed by the destructor.
struct TempFile {
    int fd = -1;
    explicit TempFile(const std::vector<uint8_t>& bytes) {
        char path[] = "/tmp/vrns_net_testXXXXXX";
        fd = mkstemp(path);
        EXPECT_GE(fd, 0);
        unlink(path);
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    ~TempFile() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace net_test
