// How the host treats a managed program (tests/managed/HostingProbe.cs), started as a user starts
// it, with SIGINT and SIGTERM at their defaults and nothing blocked. A program that never takes
// the stop signals ends on them as it does under plain `mono`, so those cases run under both; a
// program that takes them gets them on whichever thread they land; neither a continuation of a
// binding Task nor a callback failure with standard error stuck holds up a pump worker. Every
// child is killed at its deadline, which fails the test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/host_double/test_host.h"

namespace {

using namespace std::chrono_literals;

const std::string kProbe = std::string(VRNS_MANAGED_DIR) + "/HostingProbe.exe";

// The probe under the executable (after a callback on a pump worker) and under plain mono.
struct Runner {
    const char* name;
    std::vector<std::string> prefix, suffix;
};
const Runner kRunners[] = {
    {"vrns", {VRNS_EXECUTABLE}, {"engine"}},
    {"mono", {"mono"}, {}},
};

// How a child ended: its exit status, or the signal that ended it; neither when it was killed
// at its deadline.
struct Ending {
    int status = -1, signal = 0;
    bool operator==(const Ending& o) const { return status == o.status && signal == o.signal; }
};

std::ostream& operator<<(std::ostream& out, const Ending& e) {
    return out << "{status " << e.status << ", signal " << e.signal << "}";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class ManagedHosting : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vrns-hosting-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        base_ = tmpl;
    }

    void TearDown() override {
        Kill();
        std::filesystem::remove_all(base_);
    }

    // Starts argv with the test's environment and TERM=xterm (the runtime's console set-up
    // depends on it); standard output goes to Out() and standard error to errFd or Err(), then
    // prepare (run in the child) may redirect them.
    void Start(std::vector<std::string> argv, int errFd = -1,
               const std::function<void()>& prepare = nullptr) {
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        std::vector<std::string> env = {"TERM=xterm"};
        for (char** e = environ; *e; ++e)
            if (strncmp(*e, "TERM=", 5) != 0) env.push_back(*e);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string out = base_ + "/stdout", err = base_ + "/stderr";
        std::filesystem::remove(out);  // no earlier child's output may answer for this one
        pid_ = fork();
        if (pid_ == 0) {
            signal(SIGINT, SIG_DFL);
            signal(SIGTERM, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
            dup2(errFd >= 0 ? errFd : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
            if (prepare) prepare();
            execvpe(args[0], args.data(), envp.data());
            _exit(127);
        }
        ASSERT_GT(pid_, 0);
    }

    void StartProbe(const Runner& r, std::vector<std::string> args,
                    const std::function<void()>& prepare = nullptr) {
        std::vector<std::string> argv = r.prefix;
        argv.push_back(kProbe);
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(), r.suffix.begin(), r.suffix.end());
        Start(argv, -1, prepare);
    }

    Ending Wait(std::chrono::milliseconds deadline = 20s) {
        int status = 0;
        pid_t done = 0;
        WaitUntil([&] { return (done = waitpid(pid_, &status, WNOHANG)) != 0; }, deadline);
        if (done != pid_) return {};
        pid_ = 0;
        if (WIFEXITED(status)) return {WEXITSTATUS(status), 0};
        return {-1, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
    }

    void Kill() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }

    std::string Out() const { return ReadFile(base_ + "/stdout"); }
    std::string Err() const { return ReadFile(base_ + "/stderr"); }
    bool OutSays(const std::string& what, std::chrono::milliseconds deadline = 20s) {
        return WaitUntil([&] { return Out().find(what) != std::string::npos; }, deadline);
    }

    std::string base_;
    pid_t pid_ = 0;
};

TEST_F(ManagedHosting, ProgramThatNeverTakesStopSignalsEndsOnThemAsUnderPlainMono) {
    for (const Runner& r : kRunners)
        for (int sig : {SIGTERM, SIGINT}) {
            SCOPED_TRACE(std::string(r.name) + " " + strsignal(sig));
            StartProbe(r, {"plain"});
            ASSERT_TRUE(OutSays("ready")) << Err();
            ASSERT_EQ(kill(pid_, sig), 0);
            EXPECT_EQ(Wait(15s), (Ending{-1, sig})) << Err();
            Kill();
        }
}

// On a terminal the runtime routes SIGINT to Console.CancelKeyPress: the program goes on when a
// handler cancels, and ends with status 58 when none does.
TEST_F(ManagedHosting, CancelKeyPressFiresOnATerminalAsUnderPlainMono) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string slave = ptsname(master);
    fcntl(master, F_SETFL, O_NONBLOCK);
    std::string screen;
    auto drain = [&] {
        char chunk[4096];
        ssize_t n;
        while ((n = read(master, chunk, sizeof chunk)) > 0) screen.append(chunk, size_t(n));
    };
    auto onTerminal = [&] {  // the terminal becomes the child's controlling one
        setsid();
        int fd = open(slave.c_str(), O_RDWR);
        dup2(fd, STDIN_FILENO);
        dup2(fd, STDOUT_FILENO);
    };
    const struct {
        const char* handler;
        Ending ending;
    } cases[] = {{"keep", {3, 0}}, {"exit", {58, 0}}};
    for (const Runner& r : kRunners)
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(r.name) + " " + c.handler);
            screen.clear();
            StartProbe(r, {"cancel", c.handler}, onTerminal);
            ASSERT_TRUE(WaitUntil([&] { return drain(), screen.find("ready") != std::string::npos; }, 20s))
                << screen << Err();
            ASSERT_EQ(kill(pid_, SIGINT), 0);
            EXPECT_EQ(Wait(15s), c.ending) << Err();
            drain();
            EXPECT_NE(screen.find("cancel fired"), std::string::npos) << screen;
            Kill();
        }
    close(master);
}

// SIGTERM is sent to each thread in turn (the runtime's, the engine's loop thread, the pump's
// workers): each reaches the waiting thread, and the engine and the pump, interrupted in their
// waits, go on delivering. SIGINT then ends the program with 0.
TEST_F(ManagedHosting, ProgramThatTakesStopSignalsGetsThemFromEveryThread) {
    StartProbe(kRunners[0], {"take"});
    ASSERT_TRUE(OutSays("ready")) << Err();
    std::vector<pid_t> threads;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/task"))
        threads.push_back(pid_t(atoi(task.path().filename().c_str())));
    EXPECT_GE(threads.size(), 4u);
    int sent = 0;
    for (pid_t tid : threads) {
        if (syscall(SYS_tgkill, pid_, tid, SIGTERM) != 0) continue;  // a thread that has ended
        ++sent;
        std::string line = "signal 15, pump delivers\n";
        EXPECT_TRUE(WaitUntil(
            [&] {
                std::string out = Out();
                size_t n = 0;
                for (size_t at = 0; (at = out.find(line, at)) != std::string::npos; at += line.size()) ++n;
                return n == size_t(sent);
            },
            10s))
            << "thread " << tid << ":\n"
            << Out() << Err();
    }
    ASSERT_EQ(kill(pid_, SIGINT), 0);
    EXPECT_EQ(Wait(15s), (Ending{0, 0})) << Out() << Err();
    EXPECT_NE(Out().find("signal 2, pump delivers\n"), std::string::npos) << Out();
}

TEST_F(ManagedHosting, ContinuationThatWaitsForACallbackDoesNotHoldThePumpWorker) {
    StartProbe(kRunners[0], {"continuation"});
    EXPECT_EQ(Wait(), (Ending{0, 0})) << Out() << Err();
    EXPECT_EQ(Out(), "second callback 2\n");
}

// Standard error is a pipe already full that nobody reads: every failure is still counted, the
// pump goes on, and the reporter's queue keeps its bound by dropping (one report may be taken
// and stuck in its write).
TEST_F(ManagedHosting, CallbackFailuresDoNotWaitForAStuckStandardError) {
    constexpr long kFailures = 2000, kQueueBound = 1024;
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    fcntl(pipeFds[1], F_SETFL, O_NONBLOCK);
    std::string junk(65536, 'x');
    while (write(pipeFds[1], junk.data(), junk.size()) > 0 || write(pipeFds[1], "x", 1) > 0) {
    }
    fcntl(pipeFds[1], F_SETFL, 0);
    Start({VRNS_EXECUTABLE, kProbe, "failures", std::to_string(kFailures)}, pipeFds[1]);
    close(pipeFds[1]);
    Ending ending = Wait();
    close(pipeFds[0]);
    EXPECT_EQ(ending, (Ending{0, 0})) << Out();
    long failures = -1, dropped = -1;
    char pump[16] = "";
    ASSERT_EQ(sscanf(Out().c_str(), "failures %ld, dropped %ld, pump %15s", &failures, &dropped, pump), 3)
        << Out();
    EXPECT_EQ(failures, kFailures);
    EXPECT_GE(dropped, kFailures - kQueueBound - 1);
    EXPECT_LE(dropped, kFailures - kQueueBound);
    EXPECT_STREQ(pump, "delivers");
}

}  // namespace
