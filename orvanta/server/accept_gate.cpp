#include "orvanta/server/accept_gate.h"

#include <errno.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>

#include "host/vrn_host_lib.h"
#include "orvanta/server/orvanta_exports.h"

namespace {

// After the registry ended the socket's registration on its own.
constexpr int64_t kLostPauseMsec = 100;

}  // namespace

void AcceptGate::Init(const VrnsExports* ex, int wakeFd) {
    ex_ = ex;
    wakeFd_ = wakeFd;
}

void AcceptGate::Pause(int listenFd, int64_t delayMsec) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!paused_) ex_->Vrn_Accept_Remove(listenFd);
    PauseLocked(delayMsec);
}

void AcceptGate::Lost() {
    std::lock_guard<std::mutex> guard(mutex_);
    PauseLocked(kLostPauseMsec);
}

int64_t AcceptGate::NextBackoff() {
    int64_t b = backoffMsec_.load(std::memory_order_relaxed);
    backoffMsec_.store(std::min(b * 2, kMaxBackoffMsec), std::memory_order_relaxed);
    return b;
}

void AcceptGate::AcceptSucceeded() {
    backoffMsec_.store(kFirstBackoffMsec, std::memory_order_relaxed);
}

void AcceptGate::Wake() {
    uint64_t one = 1;
    ssize_t w;
    do w = write(wakeFd_, &one, sizeof one);
    while (w < 0 && errno == EINTR);
}

void AcceptGate::PauseLocked(int64_t delayMsec) {
    paused_ = true;
    pausedHint_.store(true);
    resumeAt_ = GetTime_msec() + delayMsec;
    Wake();
}

int AcceptGate::TryResume(int listenFd, AcceptCallback callback, bool atConnectionLimit) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!paused_ || closed_) return -1;
    int64_t wait = resumeAt_ - GetTime_msec();
    if (wait > 0) return int(std::min<int64_t>(wait, INT_MAX));
    if (atConnectionLimit) return -1;
    int added = ex_->Vrn_Accept_Add(listenFd, callback);
    int err = errno;
    if (added != 0) {
        // EEXIST: the registry tells the callback of an error before it drops the entry, so the
        // old entry may still be there; it goes at once, so look again soon. Taking EEXIST for
        // success would leave the socket unarmed for good once that entry is dropped.
        int64_t delay = err == EEXIST ? kFirstBackoffMsec : kMaxBackoffMsec;
        if (err != EEXIST) OutDebug("* vrns http: cannot re-arm the listening socket, errno:%d\n", err);
        resumeAt_ = GetTime_msec() + delay;
        return int(delay);
    }
    paused_ = false;
    pausedHint_.store(false, std::memory_order_relaxed);
    return -1;
}

void AcceptGate::Close(int listenFd) {
    std::lock_guard<std::mutex> guard(mutex_);
    ex_->Vrn_Accept_Remove(listenFd);
    closed_ = true;
    PauseLocked(0);
}
