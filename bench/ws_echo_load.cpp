// A WebSocket echo load generator for bench/websocket_echo.sh: CONNS connections to
// ws://HOST:PORT/PATH on one epoll thread, each sending a masked binary message of BYTES bytes
// and waiting for its whole echo (however the server fragments it) before the next. After every
// connection has its 101, it runs for SECONDS and prints the round trips completed:
//
//   ws_echo_load HOST:PORT PATH CONNS BYTES SECONDS
//   messages 123456
//   seconds 5.00
//   errors 0
//
// A connection that fails, is refused or gets a malformed frame is counted in errors and left
// closed. Level-triggered epoll: input is always wanted, output only while a frame is pending.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxEvents = 512;
constexpr size_t kReadChunk = 65536;
constexpr int kWaitMsec = 100;
// RFC 6455's sample key and the accept value that answers it.
const char kKey[] = "dGhlIHNhbXBsZSBub25jZQ==";
const char kAccept[] = "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

enum class Phase { kHandshake, kEcho, kFailed };

struct Connection {
    int fd = -1;
    Phase phase = Phase::kHandshake;
    std::string out;  // bytes not yet written
    size_t outAt = 0;
    std::string in;     // bytes not yet parsed
    size_t echoed = 0;  // payload bytes of the current echo so far
};

class Load {
  public:
    Load(const sockaddr_in& at, std::string host, std::string path, size_t bytes)
        : at_(at), host_(std::move(host)), path_(std::move(path)), payload_(bytes, '\0') {
        std::mt19937 random(1);
        for (char& c : payload_) c = char(random());
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
    }

    bool Open(int conns) {
        for (int i = 0; i < conns; ++i) {
            Connection c;
            c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            int one = 1;
            setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            if (connect(c.fd, reinterpret_cast<const sockaddr*>(&at_), sizeof at_) != 0 &&
                errno != EINPROGRESS) {
                perror("connect");
                return false;
            }
            c.out = "GET " + path_ + " HTTP/1.1\r\nHost: " + host_ +
                    "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + kKey +
                    "\r\nSec-WebSocket-Version: 13\r\n\r\n";
            conns_.push_back(std::move(c));
        }
        for (size_t i = 0; i < conns_.size(); ++i) Watch(i, EPOLL_CTL_ADD);
        return true;
    }

    // Runs until deadline; counts round trips only while counting.
    void Run(Clock::time_point deadline) {
        epoll_event events[kMaxEvents];
        while (Clock::now() < deadline) {
            int n = epoll_wait(epoll_, events, kMaxEvents, kWaitMsec);
            if (n < 0 && errno == EINTR) continue;
            for (int i = 0; i < n; ++i) {
                size_t k = events[i].data.u64;
                if (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) Read(k);
                if (conns_[k].phase != Phase::kFailed && (events[i].events & EPOLLOUT)) Flush(k);
            }
        }
    }

    bool AllOpen() const {
        for (const Connection& c : conns_)
            if (c.phase == Phase::kHandshake) return false;
        return true;
    }

    uint64_t messages = 0;
    uint64_t errors = 0;
    bool counting = false;

  private:
    void Watch(size_t k, int op) {
        epoll_event e{};
        e.events = EPOLLIN | (conns_[k].outAt < conns_[k].out.size() ? EPOLLOUT : 0u);
        e.data.u64 = k;
        epoll_ctl(epoll_, op, conns_[k].fd, &e);
    }

    void Fail(size_t k) {
        Connection& c = conns_[k];
        if (c.phase == Phase::kFailed) return;
        c.phase = Phase::kFailed;
        ++errors;
        epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
        close(c.fd);
    }

    void Flush(size_t k) {
        Connection& c = conns_[k];
        bool wasPending = c.outAt < c.out.size();
        while (c.outAt < c.out.size()) {
            ssize_t n = send(c.fd, c.out.data() + c.outAt, c.out.size() - c.outAt, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) break;
            if (n <= 0) return Fail(k);
            c.outAt += size_t(n);
        }
        bool pending = c.outAt < c.out.size();
        if (!pending) {
            c.out.clear();
            c.outAt = 0;
        }
        if (pending != wasPending) Watch(k, EPOLL_CTL_MOD);
    }

    // The next message: a masked binary frame of the payload.
    void SendMessage(size_t k) {
        Connection& c = conns_[k];
        unsigned char head[14];
        size_t h = 0, n = payload_.size();
        head[h++] = 0x82;
        if (n < 126) {
            head[h++] = uint8_t(0x80 | n);
        } else if (n <= 0xffff) {
            head[h++] = 0x80 | 126;
            head[h++] = uint8_t(n >> 8);
            head[h++] = uint8_t(n);
        } else {
            head[h++] = 0x80 | 127;
            for (int i = 7; i >= 0; --i) head[h++] = uint8_t(uint64_t(n) >> (8 * i));
        }
        uint32_t mask = uint32_t(random_());
        memcpy(head + h, &mask, 4);
        const unsigned char* m = head + h;
        h += 4;
        c.out.append(reinterpret_cast<char*>(head), h);
        size_t at = c.out.size();
        c.out.append(payload_);
        for (size_t i = 0; i < n; ++i) c.out[at + i] = char(c.out[at + i] ^ m[i & 3]);
        Flush(k);
    }

    void Read(size_t k) {
        Connection& c = conns_[k];
        char chunk[kReadChunk];
        for (;;) {
            ssize_t n = recv(c.fd, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) break;
            if (n <= 0) return Fail(k);
            c.in.append(chunk, size_t(n));
            if (size_t(n) < sizeof chunk) break;
        }
        if (c.phase == Phase::kHandshake && !TakeHandshake(k)) return;
        TakeFrames(k);
    }

    bool TakeHandshake(size_t k) {
        Connection& c = conns_[k];
        size_t end = c.in.find("\r\n\r\n");
        if (end == std::string::npos) return false;
        if (c.in.compare(0, 12, "HTTP/1.1 101") != 0 || c.in.find(kAccept) > end) {
            Fail(k);
            return false;
        }
        c.in.erase(0, end + 4);
        c.phase = Phase::kEcho;
        SendMessage(k);
        return true;
    }

    // Whole server frames (unmasked): payload bytes count towards the echo, a final frame that
    // completes it starts the next message.
    void TakeFrames(size_t k) {
        Connection& c = conns_[k];
        size_t at = 0;
        while (c.phase == Phase::kEcho && c.in.size() - at >= 2) {
            auto b = [&](size_t i) { return uint8_t(c.in[at + i]); };
            bool fin = b(0) & 0x80;
            int opcode = b(0) & 0x0f;
            size_t length = b(1) & 0x7f, head = 2;
            if (b(1) & 0x80) return Fail(k);
            if (length >= 126) {
                size_t bytes = length == 126 ? 2 : 8;
                if (c.in.size() - at < 2 + bytes) break;
                length = 0;
                for (size_t i = 0; i < bytes; ++i) length = length << 8 | b(2 + i);
                head += bytes;
            }
            if (c.in.size() - at < head + length) break;
            at += head + length;
            if (opcode >= 8) {
                if (opcode == 8) return Fail(k);  // the server closed
                continue;
            }
            c.echoed += length;
            if (!fin) continue;
            if (c.echoed != payload_.size()) return Fail(k);
            c.echoed = 0;
            if (counting) ++messages;
            SendMessage(k);
        }
        if (c.phase == Phase::kEcho) c.in.erase(0, at);
    }

    sockaddr_in at_;
    std::string host_, path_, payload_;
    std::vector<Connection> conns_;
    int epoll_;
    std::mt19937 random_{2};
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: %s HOST:PORT PATH CONNS BYTES SECONDS\n", argv[0]);
        return 2;
    }
    std::string hostPort = argv[1];
    size_t colon = hostPort.rfind(':');
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(uint16_t(atoi(hostPort.c_str() + colon + 1)));
    if (colon == std::string::npos ||
        inet_pton(AF_INET, hostPort.substr(0, colon).c_str(), &at.sin_addr) != 1) {
        fprintf(stderr, "bad address %s (IPv4 HOST:PORT)\n", argv[1]);
        return 2;
    }
    int conns = atoi(argv[3]);
    size_t bytes = size_t(atol(argv[4]));
    double seconds = atof(argv[5]);
    Load load(at, hostPort, argv[2], bytes);
    if (!load.Open(conns)) return 1;
    // Every connection upgraded (or failed) first, within ten seconds.
    auto ready = Clock::now() + std::chrono::seconds(10);
    while (!load.AllOpen() && Clock::now() < ready) load.Run(Clock::now() + std::chrono::milliseconds(50));
    load.counting = true;
    auto start = Clock::now();
    load.Run(start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
    double took = std::chrono::duration<double>(Clock::now() - start).count();
    printf("messages %llu\nseconds %.2f\nerrors %llu\n", static_cast<unsigned long long>(load.messages), took,
           static_cast<unsigned long long>(load.errors));
    return load.errors == 0 ? 0 : 1;
}
