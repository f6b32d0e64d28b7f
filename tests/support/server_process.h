// A server process of the built executable (VRNS_EXECUTABLE, through the emulator in a cross
// build), started on an ephemeral loopback port for an end-to-end test: its port is read from
// the first line it prints, and it is killed if the test leaves it running.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "tests/emulator.h"
#include "tests/host_double/test_host.h"
#include "tests/support/test_files.h"

namespace vrns_test {

// Starts the built executable (through the emulator in a cross build) with args after it, its
// standard output and error written to the files out and err. The child's pid, -1 when fork
// failed.
inline pid_t SpawnExecutable(const std::vector<std::string>& args, const std::string& out,
                             const std::string& err) {
    std::vector<std::string> all = EmulatorCommand();
    all.push_back(VRNS_EXECUTABLE);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Reaps pid if it ends within the deadline: false while it still runs; else *code is its exit
// status, -1 when a signal ended it.
inline bool ReapWithin(pid_t pid, std::chrono::milliseconds deadline, int* code) {
    int status = 0;
    pid_t done = 0;
    WaitUntil([&] { return (done = waitpid(pid, &status, WNOHANG)) != 0; }, deadline);
    if (done != pid) return false;
    *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

// The lines of err that hold none of the allowed texts: what a server wrote to its standard
// error that its test did not expect. Ordinary use of a server writes nothing there but two
// lines of the engine's: as its loop ends, and when a cancelled wait (the drain's, a finished
// handler's watch) meets its client's hang-up already reported, a race the engine expects. An
// indented line continues the one before (a stack trace under an expected failure's line).
inline std::string UnexpectedLines(const std::string& err, const std::vector<std::string>& allowed) {
    static const char kLoopEnd[] = "VrnEpoll _WorkThreadFunc Loop end";
    static const char kCancelMetHangUp[] =
        "vrn_epoll.ParseEvent(..): is(IsSckErrr)...: Not Callback function";
    std::istringstream lines(err);
    std::string line, unexpected;
    bool known = false;
    while (std::getline(lines, line)) {
        bool continues = !line.empty() && (line[0] == ' ' || line[0] == '\t');
        if (!continues) {
            known =
                line.find(kLoopEnd) != std::string::npos || line.find(kCancelMetHangUp) != std::string::npos;
            for (const std::string& a : allowed) known = known || line.find(a) != std::string::npos;
        }
        if (!known) unexpected += line + "\n";
    }
    return unexpected;
}

class ServerFixture {
  public:
    ~ServerFixture() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // args after the executable; base is a directory for its standard output and error.
    bool Start(const std::string& base, const std::vector<std::string>& args) {
        out_ = base + "/stdout";
        err_ = base + "/stderr";
        pid_ = SpawnExecutable(args, out_, err_);
        if (pid_ <= 0) return false;
        if (!WaitUntil([&] { return ReadFile(out_).find('\n') != std::string::npos; },
                       std::chrono::seconds(20)))
            return false;
        // "vrns: serving ROOT on http://HOST:PORT/" or "...: listening on HOST:PORT, serving ROOT"
        std::string line = ReadFile(out_);
        line = line.substr(0, line.find('\n'));
        size_t comma = line.find(", serving");
        size_t colon = line.rfind(':', comma == std::string::npos ? std::string::npos : comma);
        port_ = colon == std::string::npos ? 0 : atoi(line.c_str() + colon + 1);
        return port_ > 0;
    }

    // SIGTERM, then the exit status within the deadline (-1 when it did not exit by itself).
    int Stop(std::chrono::milliseconds deadline = std::chrono::seconds(15)) {
        if (pid_ <= 0 || kill(pid_, SIGTERM) != 0) return -1;
        return Wait(deadline);
    }
    int Wait(std::chrono::milliseconds deadline) {
        int code;
        if (!ReapWithin(pid_, deadline, &code)) return -1;
        pid_ = 0;
        return code;
    }

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    std::string Out() const { return ReadFile(out_); }
    std::string Err() const { return ReadFile(err_); }
    // A line holding text is expected on the standard error (the test says which).
    void AllowErr(const std::string& text) { allowedErr_.push_back(text); }
    std::string UnexpectedErr() const { return UnexpectedLines(Err(), allowedErr_); }

  private:
    pid_t pid_ = 0;
    std::vector<std::string> allowedErr_;
    int port_ = 0;
    std::string out_, err_;
};

}  // namespace vrns_test
