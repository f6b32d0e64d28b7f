// The server's own pure parts: the access-log line, the command line and the line writer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "orvanta/server/access_log.h"
#include "orvanta/server/line_writer.h"
#include "orvanta/server/server_options.h"
#include "tests/host_double/test_host.h"

namespace {

TEST(AccessLogTest, CommonLogFormatWithEscapes) {
    std::string line = AccessLogLine("127.0.0.1", 0, "GET /\"x\x01 HTTP/1.1", 200, 12);
    EXPECT_EQ(line.rfind("127.0.0.1 - - [", 0), 0u);
    EXPECT_NE(line.find("] \"GET /\\x22x\\x01 HTTP/1.1\" 200 12\n"), std::string::npos);
    EXPECT_NE(AccessLogLine("::1", 0, "", 400, 0).find("\"-\" 400 -\n"), std::string::npos);
}

TEST(ServerOptionsTest, ParsesOptionsAndRefusesBadOnes) {
    auto parse = [](std::vector<std::string> args, ServerOptions* o, std::string* err) {
        std::vector<char*> argv = {const_cast<char*>("vrns")};
        for (auto& a : args) argv.push_back(a.data());
        return ParseServerOptions(int(argv.size()), argv.data(), o, err);
    };
    ServerOptions o;
    std::string err;
    ASSERT_TRUE(parse({}, &o, &err));
    EXPECT_EQ(FormatAddress(o.address), "127.0.0.1:8080");
    EXPECT_EQ(o.readTimeoutSec, 30);
    EXPECT_EQ(o.drainTimeoutSec, 5);
    ASSERT_TRUE(parse({"--listen", "[::1]:0", "--root=/tmp", "--read-timeout", "2", "--max-connections=5",
                       "--access-log", "off"},
                      &o, &err));
    EXPECT_EQ(FormatAddress(o.address), "[::1]:0");
    EXPECT_EQ(o.root, "/tmp");
    EXPECT_EQ(o.readTimeoutSec, 2);
    EXPECT_EQ(o.maxConnections, 5);
    EXPECT_EQ(o.accessLog, "off");
    EXPECT_FALSE(o.autoindex || o.reusePort || !o.statusPath.empty());
    ASSERT_TRUE(parse({"--read-timeout", "235"}, &o, &err));  // the longest the engine keeps
    EXPECT_EQ(o.readTimeoutSec, 235);
    ASSERT_TRUE(parse({"--autoindex", "--reuse-port", "--status-path", "/-/status"}, &o, &err));
    EXPECT_TRUE(o.autoindex && o.reusePort);
    EXPECT_EQ(o.statusPath, "/-/status");
    EXPECT_TRUE(o.openFileCache);
    ASSERT_TRUE(parse({"--open-file-cache", "10:2m", "--small-file-limit=4k"}, &o, &err));
    EXPECT_EQ(o.cacheEntries, 10u);
    EXPECT_EQ(o.cacheBytes, 2u << 20);
    EXPECT_EQ(o.smallFileMax, 4096u);
    ASSERT_TRUE(parse({"--drain-timeout", "0"}, &o, &err));  // no bound
    EXPECT_EQ(o.drainTimeoutSec, 0);
    ASSERT_TRUE(parse({"--open-file-cache", "off", "--small-file-limit", "0"}, &o, &err));
    EXPECT_FALSE(o.openFileCache);
    EXPECT_EQ(o.smallFileMax, 0u);
    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{{"--listen", "1.2.3.4"},
                                                                              {"--listen", "127.0.0.1:70000"},
                                                                              {"--listen", "::1:80"},
                                                                              {"--read-timeout", "0"},
                                                                              {"--read-timeout", "3x"},
                                                                              {"--read-timeout", "236"},
                                                                              {"--drain-timeout", "-1"},
                                                                              {"--drain-timeout", "86401"},
                                                                              {"--bogus"},
                                                                              {"--root"},
                                                                              {"--status-path", "status"},
                                                                              {"--status-path", "/"},
                                                                              {"--autoindex=yes"},
                                                                              {"--open-file-cache", "0"},
                                                                              {"--open-file-cache", "5:"},
                                                                              {"--open-file-cache", "5:1g"},
                                                                              {"--small-file-limit", "2m"},
                                                                              {"--small-file-limit", "k"},
                                                                              {"stray"}}) {
        ServerOptions b;
        err.clear();
        EXPECT_FALSE(parse(bad, &b, &err)) << bad[0];
        EXPECT_FALSE(err.empty());
    }
}

// The default connection limit: two descriptors a connection after a reserve, and no more
// connections than a quarter of the memory holds at their worst.
TEST(ServerOptionsTest, DefaultConnectionLimitFitsDescriptorsAndMemory) {
    constexpr uint64_t kGiB = uint64_t(1) << 30;
    EXPECT_EQ(DefaultMaxConnections(1024, 16 * kGiB), 480);        // the descriptors decide
    EXPECT_EQ(DefaultMaxConnections(262112, 4 * kGiB), 8192);      // a stock Debian's limit: the memory
    EXPECT_EQ(DefaultMaxConnections(262112, 256 * kGiB), 131024);  // the descriptors again
    EXPECT_EQ(DefaultMaxConnections(1 << 20, 64 << 10), 1);        // at least one
}

std::atomic<uint64_t> g_reportedDrops{0};

// A destination nobody reads: every Append returns at once; the lines taken come out whole and
// in order once it is read, through a non-blocking pipe's short writes and EAGAIN; the rest
// are counted, and reported when the destination moves again.
TEST(LineWriterTest, NeverWaitsKeepsWhatItTakesAndCountsTheRest) {
    using namespace std::chrono_literals;
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    constexpr int kLines = 20000;
    std::vector<char> taken(kLines, 0);
    std::atomic<bool> done{false};
    LineWriter writer(fds[1], 16384, [](uint64_t n) { g_reportedDrops += n; });
    std::thread producer([&] {
        for (int i = 0; i < kLines; ++i) {
            char line[32];
            snprintf(line, sizeof line, "line %05d\n", i);
            taken[size_t(i)] = writer.Append(line);
        }
        done.store(true);
    });
    bool returned = WaitUntil([&] { return done.load(); }, 5s);
    std::string expected, got;
    auto drain = [&] {
        char buf[65536];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) got.append(buf, size_t(n));
        return done.load() && got.size() >= expected.size();
    };
    if (!returned) WaitUntil(drain, 5s);  // a blocked producer is let go before the join
    producer.join();
    ASSERT_TRUE(returned) << "Append waited for the destination";
    for (int i = 0; i < kLines; ++i) {
        if (!taken[size_t(i)]) continue;
        char line[32];
        snprintf(line, sizeof line, "line %05d\n", i);
        expected += line;
    }
    EXPECT_TRUE(WaitUntil(drain, 5s));
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(writer.Flush(1000));
    uint64_t dropped = writer.dropped();
    EXPECT_EQ(dropped, uint64_t(kLines) - expected.size() / 11);
    EXPECT_GT(dropped, 0u);
    EXPECT_GE(expected.size(), 16384u - 11);  // the buffer was filled before a line was dropped
    EXPECT_TRUE(WaitUntil([&] { return g_reportedDrops.load() == dropped; }, 5s)) << g_reportedDrops.load();
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
