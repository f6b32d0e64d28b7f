// How the host treats a managed program (tests/managed/HostingProbe.cs), started as a user starts
// it, with SIGINT and SIGTERM at their defaults and nothing blocked. A program that never takes
// the stop signals ends on them as under plain `mono`, so those cases run under both; a callback
// failure with standard error stuck holds up no pump worker. Every child is killed at its
// deadline, which fails the test. (The probe checks the taken signals and continuations itself:
// see CMakeLists.txt.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/emulator.h"
#include "tests/host_double/test_host.h"
#include "tests/support/test_files.h"

namespace {

using namespace std::chrono_literals;
using vrns_test::ReadFile;

const std::string kProbe = std::string(VRNS_MANAGED_DIR) + "/HostingProbe.exe";
constexpr int kKilledAtDeadline = -1;

std::vector<std::string> ExecutableCommand() {
    std::vector<std::string> words = vrns_test::EmulatorCommand();
    words.push_back(VRNS_EXECUTABLE);
    return words;
}

// The probe under the executable (after a callback on a pump worker) and under plain mono (the
// build machine's, in a cross build too).
const struct Runner {
    const char* name;
    std::vector<std::string> prefix, suffix;
} kRunners[] = {{"vrns", ExecutableCommand(), {"engine"}}, {"mono", {"mono"}, {}}};

class ManagedHosting : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vrns-hosting-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        out_ = std::string(tmpl) + "/stdout";
    }

    void TearDown() override {
        Kill();
        std::filesystem::remove_all(std::filesystem::path(out_).parent_path());
    }

    // Runs the probe with the test's environment and TERM=xterm (the runtime's console set-up
    // depends on it), standard output to Out() and standard error to errFd (else inherited);
    // then prepare, in the child, may redirect them.
    void Start(const Runner& r, std::vector<std::string> args, int errFd = -1,
               const std::function<void()>& prepare = nullptr) {
        std::vector<std::string> argv = r.prefix, env = {"TERM=xterm"};
        argv.push_back(kProbe);
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(), r.suffix.begin(), r.suffix.end());
        for (char** e = environ; *e; ++e)
            if (strncmp(*e, "TERM=", 5) != 0) env.push_back(*e);
        std::vector<char*> argp, envp;
        for (auto& a : argv) argp.push_back(a.data());
        for (auto& e : env) envp.push_back(e.data());
        argp.push_back(nullptr);
        envp.push_back(nullptr);
        std::filesystem::remove(out_);  // no earlier child's output may answer for this one
        pid_ = fork();
        if (pid_ == 0) {
            signal(SIGINT, SIG_DFL);
            signal(SIGTERM, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            dup2(open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
            if (errFd >= 0) dup2(errFd, STDERR_FILENO);
            if (prepare) prepare();
            execvpe(argp[0], argp.data(), envp.data());
            _exit(127);
        }
        ASSERT_GT(pid_, 0);
    }

    // The raw wait status (an exit status N is N << 8, the end by signal S is S), or
    // kKilledAtDeadline.
    int Wait(std::chrono::milliseconds deadline = 20s) {
        int status = 0;
        pid_t done = 0;
        WaitUntil([&] { return (done = waitpid(pid_, &status, WNOHANG)) != 0; }, deadline);
        if (done != pid_) return kKilledAtDeadline;
        pid_ = 0;
        return status;
    }

    void Kill() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }

    std::string Out() const { return ReadFile(out_); }

    std::string out_;
    pid_t pid_ = 0;
};

TEST_F(ManagedHosting, ProgramThatNeverTakesStopSignalsEndsOnThemAsUnderPlainMono) {
    for (const Runner& r : kRunners)
        for (int sig : {SIGTERM, SIGINT}) {
            SCOPED_TRACE(std::string(r.name) + " " + strsignal(sig));
            Start(r, {"plain"});
            ASSERT_TRUE(WaitUntil([&] { return Out() == "ready\n"; }, 20s));
            ASSERT_EQ(kill(pid_, sig), 0);
            EXPECT_EQ(Wait(15s), sig);
            Kill();
        }
}

// On a terminal the runtime routes SIGINT to Console.CancelKeyPress: the program goes on when a
// handler cancels, and ends with status 58 when none does.
TEST_F(ManagedHosting, CancelKeyPressFiresOnATerminalAsUnderPlainMono) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    std::string slave = ptsname(master), screen;
    auto shows = [&](const char* what) {
        char chunk[4096];
        for (ssize_t n; (n = read(master, chunk, sizeof chunk)) > 0;) screen.append(chunk, size_t(n));
        return screen.find(what) != std::string::npos;
    };
    auto onTerminal = [&] {  // the terminal becomes the child's controlling one
        setsid();
        int fd = open(slave.c_str(), O_RDWR);
        dup2(fd, STDIN_FILENO);
        dup2(fd, STDOUT_FILENO);
    };
    for (const Runner& r : kRunners)
        for (auto [handler, status] : {std::pair{"keep", 3}, std::pair{"exit", 58}}) {
            SCOPED_TRACE(std::string(r.name) + " " + handler);
            screen.clear();
            Start(r, {"cancel", handler}, -1, onTerminal);
            ASSERT_TRUE(WaitUntil([&] { return shows("ready"); }, 20s)) << screen;
            ASSERT_EQ(kill(pid_, SIGINT), 0);
            EXPECT_EQ(Wait(15s), status << 8);
            EXPECT_TRUE(shows("cancel fired")) << screen;
            Kill();
        }
    close(master);
}

// Standard error is a pipe already full that nobody reads: every failure is still counted, the
// pump goes on, and the reporter's queue keeps its bound by dropping (one report may be taken
// and stuck in its write).
TEST_F(ManagedHosting, CallbackFailuresDoNotWaitForAStuckStandardError) {
    constexpr long kFailures = 2000, kQueueBound = 1024;
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    std::string junk(65536, 'x');
    while (write(fds[1], junk.data(), junk.size()) > 0 || write(fds[1], "x", 1) > 0) {
    }
    fcntl(fds[1], F_SETFL, 0);  // the child's writes block, as on any ordinary pipe
    Start(kRunners[0], {"failures", std::to_string(kFailures)}, fds[1]);
    close(fds[1]);
    EXPECT_EQ(Wait(), 0) << Out();
    close(fds[0]);
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
