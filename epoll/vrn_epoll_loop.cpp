// The engine's loop thread: waits on the epoll instance, turns each reported event into
// deliveries to the callbacks on the socket's record (ParseEvent), and on every fifth pass, or
// every 500 ms by the clock, turns the two time-out wheels and delivers what expired
// (CheckTimeOut). It holds at most one record lock at a time and never calls a callback itself:
// deliveries go to the event pump.
#include <errno.h>
#include <sys/epoll.h>

#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "epoll/vrn_epoll.h"
#include "epoll/vrn_epoll_internal.h"
#include "epoll/vrn_epoll_state.h"
#include "host/vrn_host_lib.h"
#include "host/vrn_spin_first.h"

namespace {

constexpr int32_t kSweepAfterPasses = 3;     // the sweep runs when the counter is above this
constexpr int64_t kSweepIntervalMsec = 500;  // ...and at the latest this long after the last one

bool Closing() {
    return _closeFlag.load(std::memory_order_relaxed) != 0;
}

// Delivers one half that the event reached, or whose socket failed.
void DeliverHalf(sckInfo* s, SckHalf half, int32_t code, VrnEventPumpBatch* batch) {
    if (half.wheel != nullptr) half.wheel->UnregTimeWheel(s);
    TakenCallback taken = TakeOff(half);
    QueueDelivery(s, taken.callback, code, taken.userData, batch);
}

// The socket failed or hung up: it leaves the set and every armed half hears of it.
void HandleError(sckInfo* s, int32_t readCode, VrnEventPumpBatch* batch) {
    int err = DeleteInterest(s);
    if (err != 0) {
        if (err != ENOENT && err != EBADF) {
            OutDebug(
                "VrnEpoll.ParseEvent函数在处理 IsSckError 事件调用EPOLL_CTL_DEL发生错误,errno:%d, fd:%d\n",
                err, s->fd);
        }
        errno = 0;
    }
    if (s->readCallback == nullptr && s->writeCallback == nullptr) {
        OutDebug("** vrn_epoll.ParseEvent(..): is(IsSckErrr)...: Not Callback function,sck:%d\n", s->fd);
        for (SckHalf half : {ReadHalf(s), WriteHalf(s)}) {
            if (half.wheel != nullptr) half.wheel->UnregTimeWheel(s);
            TakeOff(half);
        }
        return;
    }
    if (s->readCallback != nullptr) DeliverHalf(s, ReadHalf(s), readCode, batch);
    if (s->writeCallback != nullptr) DeliverHalf(s, WriteHalf(s), kVrnEventFailed, batch);
}

// Takes a reported half's callback off, and its node out of the wheel.
TakenCallback TakeReported(sckInfo* s, SckHalf half) {
    if (half.wheel != nullptr) half.wheel->UnregTimeWheel(s);
    return TakeOff(half);
}

// Write-ready, read-ready or both: the reported halves are taken off first, so that the socket
// is armed again (or left disarmed) with one call, and the deliveries keep their order, 2 before
// 1. A half removed between the kernel's report and this point is idle: the write half says so,
// the read half is silent.
void HandleReady(sckInfo* s, bool out, bool in, VrnEventPumpBatch* batch) {
    TakenCallback written{}, read{};
    if (out) written = TakeReported(s, WriteHalf(s));
    if (in) read = TakeReported(s, ReadHalf(s));
    ResetEventListen(s);
    if (out) {
        if (written.callback != nullptr) {
            QueueDelivery(s, written.callback, kVrnEventWritable, written.userData, batch);
        } else {
            OutDebug("*** Error: VrnEpoll ParseEvent函数在处理可写事件时，发现 可写任务 的回调函数为空！\n");
        }
    }
    if (in && read.callback != nullptr)
        QueueDelivery(s, read.callback, kVrnEventReadable, read.userData, batch);
}

// Delivers one half marked expired with 0, or logs that its callback went away meanwhile. Its
// node has already left the wheel.
void DeliverTimeOut(sckInfo* s, SckHalf half, const char* noCallbackMessage, VrnEventPumpBatch* batch) {
    if (!half.timedOut) return;
    half.timedOut = false;
    TakenCallback taken = TakeOff(half);
    ResetEventListen(s);
    if (taken.callback != nullptr) {
        QueueDelivery(s, taken.callback, kVrnEventTimedOut, taken.userData, batch);
    } else {
        OutDebug(noCallbackMessage, s->fd);
    }
}

void HandleTimeOuts(sckInfo* s, VrnEventPumpBatch* batch) {
    DeliverTimeOut(s, ReadHalf(s),
                   "** VrnEpoll: ParseEvent函数中，在处理 读超时 发现没有 可读事件 回调函数，sck:%d\n",
                   batch);
    DeliverTimeOut(s, WriteHalf(s),
                   "** VrnEpoll: ParseEvent函数中，在处理 写超时 发现没有 可写事件 回调函数, sck:%d\n",
                   batch);
}

}  // namespace

void ParseEvent(sckInfo* s, uint32_t events, VrnEventPumpBatch* batch) {
    if (events == 0) {
        HandleTimeOuts(s, batch);
        return;
    }
    bool in = (events & EPOLLIN) != 0;
    bool out = (events & EPOLLOUT) != 0;
    if ((events & kVrnErrorBits) != 0) {
        HandleError(s, in ? kVrnEventReadable : kVrnEventFailed, batch);
        return;
    }
    if (!in && !out) {
        HandleError(s, kVrnEventFailed, batch);
        return;
    }
    HandleReady(s, out, in, batch);
}

namespace {

// Marks the wheel's half of s expired, but only while it still names this wheel and the slot the
// tick emptied, and only when it still held the expired node (which the caller has just taken
// back under s's lock): a half removed or registered again since the tick is no longer this
// node's, even when the new registration landed in the slot just emptied, and marking it would
// time out the new registration. Caller holds s's lock.
bool MarkExpired(sckInfo* s, VrnEpoll_TimeWheel* wheel, int32_t slot, bool heldNode) {
    SckHalf half = HalfOf(s, wheel->IsWriter());
    if (!heldNode || half.wheel != wheel || half.wheelIndex != slot) return false;
    half.wheelIndex = -1;
    half.wheel = nullptr;
    half.timedOut = true;
    return true;
}

// Logs why a node cannot be delivered; true when it can.
bool Deliverable(const WheelNode* node, const sckInfo* s) {
    if (node->fd != s->fd) {
        OutDebug("* VrnEpoll CheckTimeOut发现异常对象：s.fd=%d != s.sockinfo->fd=%d\n", node->fd, s->fd);
        return false;
    }
    if (!VrnFdInRange(s->fd)) {
        OutDebug("*** BUG: VrnEpoll epoll_wait返回的对象中，发现文件描述符是：%d, events=%d, timtoue: %s\n",
                 s->fd, 0, "yes");
        return false;
    }
    return true;
}

// Frees one node of a detached chain and delivers its half's time-out. The node is freed under
// its record's lock once the record no longer names it, passed-over nodes included; should that
// lock fail, the node is left allocated rather than freed under a record that may still name it.
// False when handling it raised something other than a standard exception.
bool ExpireNode(VrnEpoll_TimeWheel* wheel, int32_t slot, WheelNode* node, VrnEventPumpBatch* batch) {
    sckInfo* s = node->sockinfo;
    if (s == nullptr) {
        wheel->ReleaseNode(node);
        return true;
    }
    bool deliverable = Deliverable(node, s);
    try {
        std::lock_guard<std::mutex> guard(*s->mutex);
        bool held = wheel->ReleaseNode(node);
        if (deliverable && MarkExpired(s, wheel, slot, held)) ParseEvent(s, 0, batch);
    } catch (const std::exception& e) {
        OutDebug("* DEBUG: vrn_epoll CheckTimeOut() call ParseEvent() Error: %s\n", e.what());
    } catch (...) {
        return false;
    }
    return true;
}

}  // namespace

// Every node of the chain is finished or freed, whatever happens to one of them.
bool ExpireChain(VrnEpoll_TimeWheel* wheel, int32_t slot, WheelNode* chain, VrnEventPumpBatch* batch) {
    bool ok = true;
    while (chain != nullptr) {
        WheelNode* next = chain->next;
        ok = ExpireNode(wheel, slot, chain, batch) && ok;
        chain = next;
    }
    return ok;
}

namespace {

bool TurnWheel(VrnEpoll_TimeWheel* wheel, VrnEventPumpBatch* batch) {
    if (wheel == nullptr) return true;
    int32_t slot;
    WheelNode* chain = wheel->MoveTimeWheel(&slot);
    return ExpireChain(wheel, slot, chain, batch);
}

}  // namespace

bool CheckTimeOut(VrnEventPumpBatch* batch) {
    bool ok = TurnWheel(_readWheel.load(std::memory_order_acquire), batch);
    return TurnWheel(_writeWheel.load(std::memory_order_acquire), batch) && ok;
}

namespace {

// A Remove that ran after this pass's wait began (it read this wait's number or a later one) may
// have come after the kernel collected this event for the socket it removed, and the halves armed
// now were armed after that Remove (which idles both), perhaps for a new socket that took the
// number. With no half armed there is nobody to mislead: the event is handled as usual, which
// only logs and drops the socket from the set. Caller holds s's lock.
bool StaleForRegistration(const sckInfo* s, uint64_t wait) {
    bool armed = s->readCallback != nullptr || s->writeCallback != nullptr;
    return armed && s->removedAtWait >= wait;
}

void HandleEntry(sckInfo* s, uint32_t events, uint64_t wait, VrnEventPumpBatch* batch) {
    if (s == nullptr) {
        OutDebug("*** BUG: ParseEvent(): VrnEpoll epoll_wait返回的对象中，发现目标对象为NULL\n");
        return;
    }
    if (!VrnFdInRange(s->fd)) {
        OutDebug("*** BUG: VrnEpoll epoll_wait返回的对象中，发现文件描述符是：%d, events=%d, timtoue: %s\n",
                 s->fd, static_cast<int>(events), "no");
        return;
    }
    try {
        // The worker that armed the socket may still hold the lock it armed it under.
        std::unique_lock<std::mutex> guard = VrnLockSpinningFirst(*s->mutex);
        if (StaleForRegistration(s, wait)) {
            // Dropped rather than delivered, and the socket armed afresh for the halves armed
            // now: should the event have been the new socket's own, the kernel reports it again.
            s->armedMask = 0;
            ResetEventListen(s);
        } else {
            // The report disarmed the socket, unless a registration that replaced a reported
            // half has armed it again since the wait began.
            if (s->replacedAtWait < wait) s->armedMask = 0;
            ParseEvent(s, events, batch);
        }
    } catch (const std::exception& e) {
        OutDebug("* DEBUG: vrn_epoll _WorkThreadFunc() call ParseEvent() Error: %s\n", e.what());
    }
}

// Handles a batch of the wait numbered wait, in buffer order. Its deliveries are gathered and
// handed to the pump together once the batch is done (also when the close flag stops it early):
// one lock of the pump's queue and at most one wake-up per batch, and no callback can run
// before the loop has released the socket's lock anyway. False when the close flag stopped it.
bool Dispatch(epoll_event* events, int count, uint64_t wait) {
    VrnEventPumpBatch deliveries;
    for (int i = 0; i < count; ++i) {
        HandleEntry(static_cast<sckInfo*>(events[i].data.ptr), events[i].events, wait, &deliveries);
        events[i].data.ptr = nullptr;
        if (i + 1 < count && Closing()) return false;
    }
    return true;
}

// When the wheels are turned: on every fifth pass that completes (counter 0..4), which under load
// is more often than by the clock, and whenever kSweepIntervalMsec have passed on the clock since
// the last sweep. The clock keeps time-outs coming while signals interrupt every wait (as a
// garbage collector that stops threads does), since an interrupted wait completes no pass.
class SweepSchedule {
  public:
    // now: the pass's clock reading; 0 or less when the clock gave none.
    bool Due(bool passCompleted, int64_t now) {
        bool due = passCompleted && passes > kSweepAfterPasses;
        if (passCompleted && !due) ++passes;
        if (now > 0 && lastMsec == 0) lastMsec = now;  // the interval counts from the first reading
        if (now > 0 && now - lastMsec >= kSweepIntervalMsec) due = true;
        if (!due) return false;
        passes = 0;
        if (now > 0) lastMsec = now;
        return true;
    }

  private:
    int32_t passes = 0;    // completed passes since the last sweep
    int64_t lastMsec = 0;  // clock reading of the last sweep, 0 before the first reading
};

// Numbers the wait about to begin and publishes the number before the wait, so that a Remove
// that took a socket out after the kernel collected the socket's event reads this number or a
// later one (seq_cst on both sides; the kernel's own locking orders the collection and the
// removal).
uint64_t BeginWait() {
    uint64_t wait = _loopPass.wait.load(std::memory_order_relaxed) + 1;
    _loopPass.wait.store(wait, std::memory_order_seq_cst);
    return wait;
}

// Passes until the close flag is seen or a wait fails.
void RunPasses(epoll_event* events) {
    SweepSchedule sweep;
    while (!Closing()) {
        int64_t now = GetTime_msec();
        if (now > 0) _loopPass.msec.store(now, std::memory_order_relaxed);
        uint64_t wait = BeginWait();
        int count =
            epoll_wait(_epollFd.load(std::memory_order_relaxed), events, kMaxEventsPerWait, kWaitMsec);
        int err = errno;
        if (Closing()) return;
        bool completed = count >= 0;
        if (!completed && err != EINTR) {
            OutDebug("*** Error: VrnEpoll >>> epoll_wait: errno:%d\n", err);
            return;
        }
        if (completed && (!Dispatch(events, count, wait) || Closing())) return;
        VrnEventPumpBatch expiries;
        if (sweep.Due(completed, now) && !CheckTimeOut(&expiries)) {
            OutDebug("VrnEpoll._WorkThreadFunc: CheckTimeout: errno:%d\n", errno);
        }
    }
}

}  // namespace

void _WorkThreadFunc() {
    // Only one loop thread at a time, even when two starts race.
    if (_running.exchange(1, std::memory_order_relaxed) != 0) return;
    std::unique_ptr<epoll_event[]> events(new (std::nothrow) epoll_event[kMaxEventsPerWait]());
    if (events) RunPasses(events.get());
    OutDebug("***** VrnEpoll _WorkThreadFunc Loop end *****\n");
    events.reset();
    _running.store(0, std::memory_order_release);
}

namespace {

int32_t StartLoop() noexcept {
    // Cleared so that the result speaks of this call alone, not of the caller's earlier errors.
    errno = 0;
    if (_epollFd.load(std::memory_order_acquire) == 0) {
        errno = EINVAL;
        return -1;
    }
    if (_running.load(std::memory_order_acquire) != 0) return 0;
    try {
        std::thread(_WorkThreadFunc).detach();
        return 0;
    } catch (const std::exception& e) {
        OutDebug("* Error: VrnEpoll: VrnEpoll_Start() thread error:\n");
        OutDebug("  %s\n", e.what());
    } catch (...) {
        OutDebug("* Error: VrnEpoll: VrnEpoll_Start() 工作线程启动发生未知异常\n");
    }
    if (errno == 0) errno = EOPNOTSUPP;
    return -1;
}

}  // namespace

int32_t VrnEpoll_Start() {
    return StartLoop();
}
