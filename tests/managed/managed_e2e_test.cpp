// Managed applications as a user runs them: `vrns APP.exe ARGS...`. Each test starts the built
// executable with an assembly from the build tree and bounds its life: a process that does not
// end by the deadline is killed and the test fails. The server tests talk to the sample
// application (VrnsSample.exe) over loopback and check every body byte for byte; its HTTP
// behaviour is checked beside the native server's in http_servers_test.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/emulator.h"
#include "tests/host_double/test_host.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_files.h"

namespace {

using namespace std::chrono_literals;
using vrns_test::PatternBytes;
using vrns_test::ReadFile;
using vrns_test::WriteFile;

const std::string kManaged = VRNS_MANAGED_DIR;

// What a stopped managed server reports on its last line.
struct ServerTotals {
    long started = -1, completed = -1, stray = -1, collections = -1, stressRounds = -1, failures = -1;
};

bool ParseTotals(const std::string& out, ServerTotals* t) {
    size_t at = out.find("writes started");
    return at != std::string::npos &&
           sscanf(out.c_str() + at,
                  "writes started %ld, completed %ld, stray %ld; collections %ld, stress rounds %ld, "
                  "callback failures %ld",
                  &t->started, &t->completed, &t->stray, &t->collections, &t->stressRounds,
                  &t->failures) == 6;
}

// One keep-alive connection whose every read is bounded by a receive time-out.
class Connection {
  public:
    explicit Connection(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval tv{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Connection() { close(fd_); }

    bool Send(const std::string& data) {
        for (size_t off = 0; ok_ && off < data.size();) {
            ssize_t n = send(fd_, data.data() + off, data.size() - off, MSG_NOSIGNAL);
            ok_ = n > 0;
            off += ok_ ? size_t(n) : 0;
        }
        return ok_;
    }

    // The next response's status and body (status 0 when the connection ended first).
    int Read(std::string* body, bool head = false) {
        size_t end;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
            if (!Fill()) return 0;
        int status = atoi(buffer_.c_str() + 9);
        size_t at = buffer_.find("Content-Length: ");
        size_t length = head || at > end ? 0 : strtoull(buffer_.c_str() + at + 16, nullptr, 10);
        buffer_.erase(0, end + 4);
        while (buffer_.size() < length)
            if (!Fill()) return 0;
        body->assign(buffer_, 0, length);
        buffer_.erase(0, length);
        return status;
    }

    // Waits (up to the receive time-out) until the peer has sent something.
    bool WaitForBytes() { return !buffer_.empty() || Fill(); }

  private:
    bool Fill() {
        char chunk[65536];
        ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n > 0) buffer_.append(chunk, size_t(n));
        return n > 0;
    }
    int fd_;
    bool ok_;
    std::string buffer_;
};

class ManagedTest : public vrns_test::TempRoot {
  protected:
    ManagedTest() : TempRoot("vrns-managed") {}

    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        // A line on the standard error that the test did not allow fails it.
        EXPECT_EQ(vrns_test::UnexpectedLines(Err(), allowedErr_), "");
        TempRoot::TearDown();
    }

    void Spawn(const std::vector<std::string>& args) {
        pid_ = vrns_test::SpawnExecutable(args, base_ + "/stdout", base_ + "/stderr");
        ASSERT_GT(pid_, 0);
    }

    // The exit status within the deadline; -1 when the process had to be killed or crashed.
    int Wait(std::chrono::milliseconds deadline = 20s) {
        int code;
        if (!vrns_test::ReapWithin(pid_, deadline, &code)) return -1;
        pid_ = 0;
        return code;
    }

    int Run(const std::vector<std::string>& args) {
        Spawn(args);
        return Wait();
    }

    std::string Out() const { return ReadFile(base_ + "/stdout"); }
    std::string Err() const { return ReadFile(base_ + "/stderr"); }

    // Starts the sample application on an ephemeral port; its port once it has said where it
    // listens.
    int StartServer(const std::string& dir, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {dir + "/VrnsSample.exe", "--listen", "127.0.0.1:0", "--root", root_};
        args.insert(args.end(), extra.begin(), extra.end());
        Spawn(args);
        EXPECT_TRUE(WaitUntil([&] { return Out().find('\n') != std::string::npos; }, 20s)) << Err();
        std::string line = Out();
        size_t comma = line.find(',');
        size_t colon = line.rfind(':', comma);
        return comma == std::string::npos || colon == std::string::npos ? 0 : atoi(line.c_str() + colon + 1);
    }

    // SIGTERM, then the exit status within the deadline.
    int StopServer() {
        kill(pid_, SIGTERM);
        return Wait(15s);
    }

    pid_t pid_ = 0;
    std::vector<std::string> allowedErr_;
};

TEST_F(ManagedTest, AssemblyThatCannotRunGivesOneLineAndStatus2) {
    allowedErr_.push_back("vrns: cannot run ");
    WriteFile(base_ + "/junk.exe", "this is not an assembly\n");
    const struct {
        std::string path, why;
    } cases[] = {
        {base_ + "/missing.exe", "No such file or directory"},
        {base_ + "/junk.exe", "not a managed assembly"},
        {kManaged + "/Vrns.dll", "the assembly has no Main"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(Run({c.path}), 2);
        EXPECT_EQ(Err(), "vrns: cannot run " + c.path + ": " + c.why + "\n");
        EXPECT_EQ(Out(), "");
    }
}

// A pump worker that ran a managed callback stays attached to the runtime for good; neither
// the return from Main nor Environment.Exit may wait for it.
TEST_F(ManagedTest, EndsWithMainsStatusAfterCallbacksOnPumpWorkers) {
    const struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"return", "3"}, 3},
        {{"exit", "7"}, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        std::vector<std::string> args = {kManaged + "/ExitProbe.exe"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(Run(args), c.status) << Err();
    }
}

// No thread blocks a signal, the stop signals included, after a callback and a collection.
TEST_F(ManagedTest, NoThreadBlocksASignal) {
    SKIP_UNDER_QEMU("qemu keeps the program's signal masks to itself: /proc shows the host threads' masks");
    EXPECT_EQ(Run({kManaged + "/ExitProbe.exe", "mask"}), 0) << Err();
}

TEST_F(ManagedTest, ManagedServerAnswersCurl) {
    const std::string small = PatternBytes(5000, 1), big = PatternBytes(300000, 2);
    WriteFile(root_ + "/small.bin", small);
    WriteFile(root_ + "/big.bin", big);
    int port = StartServer(kManaged);
    ASSERT_GT(port, 0) << Out() << Err();
    std::string url = "http://127.0.0.1:" + std::to_string(port);
    std::string curl = "curl -sS --max-time 20 ";
    WriteFile(base_ + "/secret.txt", "outside the root");
    std::string out = " -o " + base_;
    ASSERT_EQ(
        system((curl + "--path-as-is -w '%{http_code}\\n'" + out + "/s.out " + url + "/small.bin" + out +
                "/b.out " + url + "/big.bin" + out + "/n.out " + url + "/none" + out + "/t1.out " + url +
                "/../secret.txt" + out + "/t2.out " + url + "/%2e%2e/secret.txt > " + base_ + "/codes")
                   .c_str()),
        0);
    EXPECT_TRUE(ReadFile(base_ + "/s.out") == small);
    EXPECT_TRUE(ReadFile(base_ + "/b.out") == big);
    EXPECT_EQ(ReadFile(base_ + "/codes"), "200\n200\n404\n403\n403\n");
    ASSERT_EQ(system((curl + "-I " + url + "/big.bin > " + base_ + "/head").c_str()), 0);
    EXPECT_NE(ReadFile(base_ + "/head").find("Content-Length: 300000"), std::string::npos);
    // The template route, and the upload form as curl sends it: the file spooled and read back.
    ASSERT_EQ(system((curl + url + "/hello/w%C3%B6rld" + out + "/hello.out").c_str()), 0);
    EXPECT_EQ(ReadFile(base_ + "/hello.out"), "Hello, w\xc3\xb6rld!\n");
    ASSERT_EQ(system(("sha256sum " + root_ + "/big.bin | cut -c1-64 > " + base_ + "/sum && " + curl +
                      "-F title=T -F file=@" + root_ + "/big.bin " + url + "/upload" + out + "/upload.out")
                         .c_str()),
              0);
    std::string sum = ReadFile(base_ + "/sum");
    EXPECT_EQ(ReadFile(base_ + "/upload.out"),
              "title: T\nfile: big.bin, 300000 bytes, application/octet-stream, sha256 " + sum);
    EXPECT_EQ(StopServer(), 0) << Err();
    ServerTotals t;
    ASSERT_TRUE(ParseTotals(Out(), &t)) << Out();
    EXPECT_EQ(t.started, 8);
    EXPECT_EQ(t.completed, 8);
}

// Clients fetch files of both paths (small bodies from managed arrays, larger ones by sendfile)
// over keep-alive connections, checking every byte, while the server's stress thread allocates
// and collects without pause. Counts the responses, the bad bodies among them, and the
// connections that ended before their answers.
struct StressResult {
    long responses = 0, bad = 0, cut = 0;
};

// Fetches for at least `least` and then until enough(result so far) holds, or until `most` has
// passed: under an emulator the server is many times slower and needs longer for as much.
StressResult FetchUnderStress(int port, const std::vector<std::string>& files,
                              std::chrono::milliseconds least, std::chrono::milliseconds most,
                              const std::function<bool(const StressResult&)>& enough) {
    std::atomic<long> responses{0}, bad{0}, cut{0};
    auto start = std::chrono::steady_clock::now();
    auto done = [&] {
        auto elapsed = std::chrono::steady_clock::now() - start;
        StressResult soFar{responses.load(), bad.load(), cut.load()};
        return elapsed >= most || (elapsed >= least && enough(soFar));
    };
    std::vector<std::thread> clients;
    for (int c = 0; c < 6; ++c)
        clients.emplace_back([&, c] {
            while (!done()) {
                Connection conn(port);
                for (int i = 0; i < 50 && !done(); ++i) {
                    size_t which = size_t(c + i) % files.size();
                    std::string body;
                    std::string get = "GET /f" + std::to_string(which) + " HTTP/1.1\r\nHost: x\r\n\r\n";
                    // Two requests in one send: the second answer may find the socket full.
                    if (!conn.Send(get + get)) {
                        ++cut;
                        break;
                    }
                    for (int k = 0; k < 2; ++k) {
                        if (conn.Read(&body) == 0) {
                            ++cut;
                            break;
                        }
                        ++responses;
                        bad += body != files[which];
                    }
                }
            }
        });
    for (auto& t : clients) t.join();
    return {responses.load(), bad.load(), cut.load()};
}

std::vector<std::string> MakeStressFiles(const std::string& root) {
    std::vector<std::string> files;
    for (size_t size : {200, 3000, 7000, 12000, 40000, 200000}) {
        files.push_back(PatternBytes(size, uint32_t(size)));
        WriteFile(root + "/f" + std::to_string(files.size() - 1), files.back());
    }
    return files;
}

TEST_F(ManagedTest, BodiesSurviveCollectorStress) {
    std::vector<std::string> files = MakeStressFiles(root_);
    int port = StartServer(kManaged, {"--gc-stress", "--send-buffer", "4096"});
    ASSERT_GT(port, 0) << Out() << Err();
    StressResult r = FetchUnderStress(port, files, 3s, 30s,
                                      [](const StressResult& soFar) { return soFar.responses > 200; });
    EXPECT_EQ(StopServer(), 0) << Err();
    ServerTotals t;
    ASSERT_TRUE(ParseTotals(Out(), &t)) << Out();
    printf(
        "responses %ld, bad %ld, cut %ld; writes started %ld, completed %ld, stray %ld; "
        "collections %ld, stress rounds %ld\n",
        r.responses, r.bad, r.cut, t.started, t.completed, t.stray, t.collections, t.stressRounds);
    EXPECT_GT(r.responses, 200);
    EXPECT_EQ(r.bad, 0);
    EXPECT_EQ(r.cut, 0);
    // Each pair's answers go out in one write or two (a large body goes from its own place).
    EXPECT_LE(t.started, r.responses);
    EXPECT_GE(2 * t.started, r.responses);
    EXPECT_EQ(t.completed, t.started);
    EXPECT_EQ(t.stray, 0);
    EXPECT_EQ(t.failures, 0);
    EXPECT_GT(t.stressRounds, 10);
}

// The same run against a binding that unpins its buffers when the write call returns: the
// check above must see it.
TEST_F(ManagedTest, CheckerSeesBuffersReleasedBeforeTheirCompletion) {
    // A buffer moved under a write may fault it (EFAULT): the writer says so.
    allowedErr_.push_back("vrn_tcp_writer call writev error");
    std::vector<std::string> files = MakeStressFiles(root_);
    int port = StartServer(kManaged + "/unpinned", {"--gc-stress", "--send-buffer", "4096"});
    ASSERT_GT(port, 0) << Out() << Err();
    StressResult r = FetchUnderStress(port, files, 0s, 30s,
                                      [](const StressResult& soFar) { return soFar.bad + soFar.cut > 0; });
    printf("responses %ld, bad %ld, cut %ld\n", r.responses, r.bad, r.cut);
    EXPECT_GT(r.bad + r.cut, 0);
}

}  // namespace
