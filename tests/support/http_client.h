// A raw HTTP/1.1 client for the end-to-end tests: one connection over loopback, whose every read
// is bounded by its receive time-out, so a server that never answers fails the test instead of
// hanging it.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace vrns_test {

struct Response {
    int status = 0;  // 0: the connection ended (or the time-out passed) before a whole response
    std::map<std::string, std::string>
        headers;  // names in lower case; a repeated field's values joined by ", "
    std::string body;
    std::string Header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

class Client {
  public:
    static constexpr int kDefaultTimeoutMsec = 5000;

    explicit Client(int port, bool v6 = false) {
        fd_ = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        SetReceiveTimeout(kDefaultTimeoutMsec);
        timeval tv{kDefaultTimeoutMsec / 1000, 0};
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        if (v6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_port = htons(uint16_t(port));
            a.sin6_addr = in6addr_loopback;
            connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(uint16_t(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        }
    }
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    void SetReceiveTimeout(int msec) {
        timeval tv{msec / 1000, (msec % 1000) * 1000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    bool Send(const std::string& data) {
        for (size_t off = 0; off < data.size();) {
            ssize_t n = send(fd_, data.data() + off, data.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return false;
            off += size_t(n);
        }
        return true;
    }
    // The next response; for HEAD, 204, 304 and 1xx there is no body. A chunked body is decoded; one
    // with neither length nor chunks ends with the connection.
    Response Read(bool head = false) {
        Response r;
        size_t end;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
            if (!Fill()) return r;
        std::istringstream lines(buffer_.substr(0, end));
        std::string line;
        std::getline(lines, line);
        if (line.rfind("HTTP/1.1 ", 0) != 0) return r;
        int status = atoi(line.c_str() + 9);
        while (std::getline(lines, line)) {
            size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            std::string name = line.substr(0, colon);
            for (char& c : name) c = char(tolower(static_cast<unsigned char>(c)));
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            if (!value.empty() && value.back() == '\r') value.pop_back();
            auto [it, added] = r.headers.emplace(name, value);
            if (!added) it->second += ", " + value;
        }
        buffer_.erase(0, end + 4);
        bool noBody = head || status == 204 || status == 304 || status < 200;
        if (!noBody && r.Header("transfer-encoding") == "chunked") {
            if (!ReadChunks(&r.body)) return r;
        } else if (!noBody && r.headers.count("content-length")) {
            size_t length = strtoull(r.Header("content-length").c_str(), nullptr, 10);
            if (!Receive(length)) return r;
            r.body = buffer_.substr(0, length);
            buffer_.erase(0, length);
        } else if (!noBody) {
            while (Fill()) {
            }
            r.body.swap(buffer_);
        }
        r.status = status;
        return r;
    }
    // True when the server ended the connection in order: nothing after the last response read,
    // then its FIN before the receive time-out. A reset fails it: it comes of a close that left
    // input unread, and it drops what was still on its way to this side, a second answer too.
    bool EndedInOrder() {
        if (!buffer_.empty()) return false;
        char c;
        ssize_t n;
        do n = recv(fd_, &c, 1, 0);
        while (n < 0 && errno == EINTR);
        return n == 0;
    }
    // True when the server closes the connection (EOF or reset) before the receive time-out.
    bool ClosedByPeer() {
        char c;
        ssize_t n = recv(fd_, &c, 1, 0);
        return n == 0 || (n < 0 && errno == ECONNRESET);
    }
    // Reads until at least n bytes of the next response are buffered; false when the connection
    // ends or the time-out passes first.
    bool Receive(size_t n) {
        while (buffer_.size() < n)
            if (!Fill()) return false;
        return true;
    }
    // The next n bytes, past what Read took (fewer when the connection ends or the time-out
    // passes first).
    std::string Take(size_t n) {
        Receive(n);
        std::string out = buffer_.substr(0, n);
        buffer_.erase(0, out.size());
        return out;
    }
    // The bytes up to and including end (empty when it does not come).
    std::string TakeThrough(const std::string& end) {
        size_t at;
        while ((at = buffer_.find(end)) == std::string::npos)
            if (!Fill()) return "";
        return Take(at + end.size());
    }
    // Reads until at least atLeast bytes are buffered, or the connection ends or the time-out
    // passes; how many are.
    size_t ReceiveSome(size_t atLeast) {
        Receive(atLeast);
        return buffer_.size();
    }

  private:
    bool Fill() {
        char chunk[65536];
        ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        buffer_.append(chunk, size_t(n));
        return true;
    }
    bool ReadChunks(std::string* body) {
        for (;;) {
            size_t eol;
            while ((eol = buffer_.find("\r\n")) == std::string::npos)
                if (!Fill()) return false;
            size_t size = strtoull(buffer_.c_str(), nullptr, 16);
            if (!Receive(eol + 2 + size + 2)) return false;
            body->append(buffer_, eol + 2, size);
            buffer_.erase(0, eol + 2 + size + 2);
            if (size == 0) return true;
        }
    }

    int fd_ = -1;
    bool connected_ = false;
    std::string buffer_;
};

// True once the server has read everything this client sent: the server's end of the
// connection (in /proc/net/tcp, local port serverPort, remote port the client's) has an empty
// receive queue.
inline bool ServerHasReadAll(int serverPort, int clientFd) {
    sockaddr_in self{};
    socklen_t len = sizeof self;
    if (getsockname(clientFd, reinterpret_cast<sockaddr*>(&self), &len) != 0) return false;
    char local[16], remote[16];
    snprintf(local, sizeof local, ":%04X", serverPort);
    snprintf(remote, sizeof remote, ":%04X", ntohs(self.sin_port));
    std::ifstream table("/proc/net/tcp");
    std::string slot, localAddress, remoteAddress, state, queues;
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        fields >> slot >> localAddress >> remoteAddress >> state >> queues;
        if (localAddress.size() > 5 && localAddress.substr(localAddress.size() - 5) == local &&
            remoteAddress.size() > 5 && remoteAddress.substr(remoteAddress.size() - 5) == remote)
            return queues.substr(queues.find(':') + 1) == "00000000";
    }
    return false;
}

}  // namespace vrns_test
