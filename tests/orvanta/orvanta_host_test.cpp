// The stand-in host library's services to the executable, loaded as the executable loads it:
// the clock, the timed semaphore wait with its three outcomes, and the debug log.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct HostLibrary {
    void* handle = dlopen(ORVANTA_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    int64_t (*GetTime_msec)() = nullptr;
    int (*Sem_TimedWait)(sem_t*, int) = nullptr;
    void (*OutDebug)(const char*, ...) = nullptr;

    HostLibrary() {
        if (!handle) return;
        GetTime_msec = reinterpret_cast<int64_t (*)()>(dlsym(handle, "GetTime_msec"));
        Sem_TimedWait = reinterpret_cast<int (*)(sem_t*, int)>(dlsym(handle, "Sem_TimedWait"));
        OutDebug = reinterpret_cast<void (*)(const char*, ...)>(dlsym(handle, "OutDebug"));
    }
};

HostLibrary& Host() {
    static HostLibrary* host = new HostLibrary;  // loaded once, never unloaded
    return *host;
}

class OrvantaHost : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(Host().handle, nullptr) << dlerror();
        ASSERT_NE(Host().GetTime_msec, nullptr);
        ASSERT_NE(Host().Sem_TimedWait, nullptr);
        ASSERT_NE(Host().OutDebug, nullptr);
    }
};

int SemValue(sem_t* sem) {
    int value = -1;
    sem_getvalue(sem, &value);
    return value;
}

TEST_F(OrvantaHost, ClockMeasuresElapsedMilliseconds) {
    int64_t before = Host().GetTime_msec();
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the elapsed time is what is measured
    int64_t after = Host().GetTime_msec();
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(after - before, 29);
    EXPECT_LE(after - before, elapsed + 2);  // both readings are truncated to whole ms
}

TEST_F(OrvantaHost, SemTimedWaitTakesAPostedSemaphore) {
    sem_t sem;
    sem_init(&sem, 0, 1);
    EXPECT_EQ(Host().Sem_TimedWait(&sem, 5000), 0);
    EXPECT_EQ(SemValue(&sem), 0);
    sem_destroy(&sem);
}

TEST_F(OrvantaHost, SemTimedWaitTimesOutWithoutTakingAnything) {
    sem_t sem;
    sem_init(&sem, 0, 0);
    auto start = Clock::now();
    int rc = Host().Sem_TimedWait(&sem, 50);
    int err = errno;
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_NE(rc, 0);
    EXPECT_FALSE(rc == -1 && err == EINTR);
    EXPECT_GE(waited, 49);
    EXPECT_EQ(SemValue(&sem), 0);
    sem_destroy(&sem);
}

TEST_F(OrvantaHost, SemTimedWaitReportsAnInterruption) {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigaction(SIGUSR1, &sa, nullptr);  // no SA_RESTART: the wait returns EINTR
    sem_t sem;
    sem_init(&sem, 0, 0);
    std::atomic<bool> done{false};
    int rc = 0, err = 0;
    std::thread waiter([&] {
        rc = Host().Sem_TimedWait(&sem, 5000);
        err = errno;
        done.store(true);
    });
    // The waiter may not be inside the wait yet: signal until it returns, within a deadline.
    auto deadline = Clock::now() + std::chrono::seconds(4);
    while (!done.load() && Clock::now() < deadline) {
        pthread_kill(waiter.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    waiter.join();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, EINTR);
    EXPECT_EQ(SemValue(&sem), 0);
    sem_destroy(&sem);
}

TEST_F(OrvantaHost, OutDebugWritesWholeLinesFromManyThreads) {
    char path[] = "/tmp/vrns-outdebug-XXXXXX";
    int file = mkstemp(path);
    ASSERT_GE(file, 0);
    int savedStderr = dup(STDERR_FILENO);
    dup2(file, STDERR_FILENO);
    constexpr int kThreads = 4, kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) Host().OutDebug("* line t=%d i=%d %s\n", t, i, "完");
        });
    }
    for (auto& th : threads) th.join();
    Host().OutDebug("no newline %p", static_cast<void*>(nullptr));
    dup2(savedStderr, STDERR_FILENO);
    close(savedStderr);
    close(file);

    std::ifstream in(path);
    std::regex shape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[\d+\] \* line t=(\d) i=(\d+) 完)");
    std::vector<int> perThread(kThreads, 0);
    std::string line, last;
    int lines = 0;
    while (std::getline(in, line)) {
        ++lines;
        std::smatch m;
        if (std::regex_match(line, m, shape)) {
            int t = std::stoi(m[1]);
            EXPECT_EQ(std::stoi(m[2]), perThread[t]) << "thread " << t << " out of order";
            perThread[t]++;
        } else {
            last = line;
        }
    }
    unlink(path);
    EXPECT_EQ(lines, kThreads * kLines + 1);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(perThread[t], kLines);
    EXPECT_NE(last.find("] no newline (nil)"), std::string::npos) << last;
}

// Polls pred every few milliseconds until it holds or timeoutMsec passes.
template <typename Pred>
bool WaitFor(Pred pred, int timeoutMsec) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMsec);
    while (!pred()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Standard error is a pipe nobody reads: OutDebug must still return at once, every line it
// kept must come out whole and in order once the pipe is read, and the lines it had to drop
// are counted in a line of their own.
TEST_F(OrvantaHost, OutDebugNeverWaitsForAStalledStandardError) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);  // the test's end only: a write to standard error blocks
    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    int savedStderr = dup(STDERR_FILENO);
    dup2(fds[1], STDERR_FILENO);
    constexpr int kLines = 8000;  // about 500 KB: past the pipe and the log's own buffer
    std::atomic<bool> done{false};
    std::thread caller([&] {
        for (int i = 0; i < kLines; ++i)
            Host().OutDebug("* stalled line %d of a reader that never reads\n", i);
        done.store(true);
    });
    bool returned = WaitFor([&] { return done.load(); }, 5000);
    std::string got;
    std::regex shape(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[\d+\] \* stalled line (\d+) of a reader that never reads)");
    std::regex report(R"(.*\] \* vrns: the debug log fell behind; (\d+) lines dropped)");
    int kept = 0, last = -1, reported = 0;
    bool whole = true;
    auto drain = [&] {
        char buf[65536];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) got.append(buf, size_t(n));
        size_t end;
        while ((end = got.find('\n')) != std::string::npos) {
            std::string line = got.substr(0, end);
            got.erase(0, end + 1);
            std::smatch m;
            if (std::regex_match(line, m, shape)) {
                whole = whole && std::stoi(m[1]) > last;
                last = std::stoi(m[1]);
                ++kept;
            } else if (std::regex_match(line, m, report)) {
                reported += std::stoi(m[1]);
            } else {
                whole = false;
            }
        }
        return done.load() && kept + reported == kLines;
    };
    bool accounted = WaitFor(drain, 5000);  // also lets a blocked caller go before the join
    caller.join();
    dup2(savedStderr, STDERR_FILENO);
    close(savedStderr);
    close(fds[0]);
    close(fds[1]);
    EXPECT_TRUE(returned) << "OutDebug waited for standard error";
    EXPECT_TRUE(accounted) << kept << " lines kept, " << reported << " reported dropped";
    EXPECT_TRUE(whole) << "a line came out cut, foreign or out of order";
    EXPECT_GT(reported, 0);
}

}  // namespace
