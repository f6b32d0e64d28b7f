// A storm of signals such as a garbage collector that stops threads produces: SIGUSR1, handled
// by a handler that does nothing and installed without SA_RESTART, sent about every millisecond
// to every thread of the process but the storm's own and the one that raised it, so that their
// blocking calls keep failing with EINTR while it lasts.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

class SignalStorm {
  public:
    SignalStorm() : spared_(pid_t(syscall(SYS_gettid))) {
        struct sigaction sa = {};
        sa.sa_handler = [](int) {};
        sigaction(SIGUSR1, &sa, nullptr);
        thread_ = std::thread([this] { Run(); });
    }
    ~SignalStorm() {
        stop_.store(true);
        thread_.join();
    }
    SignalStorm(const SignalStorm&) = delete;
    SignalStorm& operator=(const SignalStorm&) = delete;

    // Signals sent so far.
    uint64_t Sent() const { return sent_.load(); }

  private:
    static std::vector<pid_t> Threads() {
        std::vector<pid_t> tids;
        if (DIR* dir = opendir("/proc/self/task")) {
            while (dirent* entry = readdir(dir)) {
                if (entry->d_name[0] != '.') tids.push_back(pid_t(atoi(entry->d_name)));
            }
            closedir(dir);
        }
        return tids;
    }

    void Run() {
        pid_t self = pid_t(syscall(SYS_gettid));
        while (!stop_.load()) {
            for (pid_t tid : Threads()) {
                if (tid == self || tid == spared_) continue;
                if (syscall(SYS_tgkill, getpid(), tid, SIGUSR1) == 0) sent_.fetch_add(1);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // the storm's pace
        }
    }

    const pid_t spared_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> sent_{0};
    std::thread thread_;
};
