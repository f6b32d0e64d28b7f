// The socket event engine: one-shot read and write interest per socket over epoll, each half
// with a time-out kept in a time-out wheel, served by one loop thread (vrn_epoll_loop.cpp).
//
// Owns: the epoll instance, the two wheels (vrn_epoll_time_wheel) and the socket registry
// (vrn_epoll_sck_map), none of which is ever torn down. Threads: any caller thread (host
// library, pump workers inside callbacks) runs VrnEpoll_Listen and VrnEpoll_Remove; the loop
// thread runs ParseEvent and CheckTimeOut. Every change to a record's halves is made under the
// record's lock, and every delivery goes to the event pump; no callback runs under an engine
// lock or on the loop thread.
//
// Lock order: the registry's _rw_lock (taken and released inside a lookup), then one record's
// lock, then either one wheel slot's lock or the pump's queue lock. Nothing takes a record's lock
// while holding a slot or pump lock, and no thread holds two record locks.
//
// Invariant: a socket is in the epoll set while one of its halves is armed, and the mask it was
// last armed with names the armed halves. One that the kernel has reported, with no half armed
// since, stays in the set disarmed until it is closed or removed (or fails), so that arming it
// again costs one EPOLL_CTL_MOD and the loop thread makes no call for it. Each record tracks
// its place in the set (sckInfo::inEpollSet).
#include "epoll/vrn_epoll.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <exception>
#include <memory>
#include <mutex>

#include "epoll/vrn_epoll_event_pump_task.h"
#include "epoll/vrn_epoll_internal.h"
#include "epoll/vrn_epoll_state.h"
#include "host/vrn_host_lib.h"
#include "pump/vrn_event_pump.h"

int VrnEpoll_Ctl(int op, int32_t fd, uint32_t events, sckInfo* s) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = s;
    int rc;
    do {
        rc = epoll_ctl(_epollFd.load(std::memory_order_relaxed), op, fd, &ev);
    } while (rc == -1 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

void QueueDelivery(sckInfo* s, ListenCallback callback, int32_t code, void* userData,
                   VrnEventPumpBatch* batch) {
    std::unique_ptr<VrnEpoll_EventPump_Task> task(
        new VrnEpoll_EventPump_Task(s->fd, callback, code, userData));
    if (batch != nullptr) {
        batch->Add(task.get());
    } else {
        VRN_EventPump_AddTask(task.get());
    }
    task.release();
}

int DeleteInterest(sckInfo* s) {
    int err = VrnEpoll_Ctl(EPOLL_CTL_DEL, s->fd, 0, nullptr);
    s->inEpollSet = false;
    s->armedMask = 0;
    return err;
}

uint32_t MaskForArmedHalves(const sckInfo* s) {
    if (s->writeCallback != nullptr) return s->readCallback != nullptr ? kVrnReadWriteMask : kVrnWriteMask;
    return s->readCallback != nullptr ? kVrnReadMask : 0;
}

namespace {

// The loop's current wait number, read after an epoll_ctl on a socket, sequentially consistent
// as the loop's store of it before each wait: an event the kernel collected before that call
// comes from a wait numbered at most this.
uint64_t WaitAfterCtl() {
    return _loopPass.wait.load(std::memory_order_seq_cst);
}

// Takes s out of the epoll set once no half is armed. A socket closed meanwhile has left the set
// by itself, so ENOENT and EBADF are expected here.
void DropInterest(sckInfo* s) {
    int err = DeleteInterest(s);
    if (err == 0 || err == ENOENT || err == EBADF) return;
    OutDebug("vrn_epoll: ResetEventListen(): 调用 EPOLL_CTL_DEL 出错,errno:%d, fd:%d\n", err, s->fd);
    errno = 0;
}

}  // namespace

int ArmInterest(sckInfo* s, uint32_t mask, ArmAttempt* attempt) {
    attempt->firstOp = s->inEpollSet ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    attempt->op = attempt->firstOp;
    attempt->firstErr = VrnEpoll_Ctl(attempt->op, s->fd, mask, s);
    int err = attempt->firstErr;
    if ((err == ENOENT && attempt->op == EPOLL_CTL_MOD) || (err == EEXIST && attempt->op == EPOLL_CTL_ADD)) {
        if (err == ENOENT && s->armedMask != 0) {
            // The socket the record knew left the set armed, without a removal (it was closed),
            // and the number may now be a new socket's: an event the loop collected for the old
            // one must not reach the registrations made from here on, as after VrnEpoll_Remove.
            // One the kernel had disarmed by reporting it has no event left to collect.
            s->removedAtWait = WaitAfterCtl();
        }
        attempt->op = attempt->op == EPOLL_CTL_MOD ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
        err = VrnEpoll_Ctl(attempt->op, s->fd, mask, s);
    }
    if (err == 0) {
        s->inEpollSet = true;
        s->armedMask = mask;
    } else if (err == ENOENT || err == EBADF) {
        s->inEpollSet = false;  // no socket of this number is in the set
        s->armedMask = 0;
    }
    return err;
}

// The kernel disarmed the socket when it reported it (one-shot); this arms it again for the
// halves that are still waiting.
void ResetEventListen(sckInfo* s) {
    uint32_t mask = MaskForArmedHalves(s);
    if (mask == 0) {
        // Disarmed by the kernel's report: it stays in the set, and the next registration
        // re-arms it with one call. Still armed (a time-out, not a report): it leaves the set.
        if (s->armedMask != 0) DropInterest(s);
        return;
    }
    ArmAttempt attempt;
    int err = ArmInterest(s, mask, &attempt);
    if (attempt.firstErr == 0) return;
    auto logFailure = [s](int op, int e) {
        OutDebug(op == EPOLL_CTL_MOD
                     ? "VrnEpoll ResetEventListen 函数: 调用 EPOLL_CTL_MOD 出错,errno:%d, fd:%d\n"
                     : "VrnEpoll ResetEventListen 函数: 调用 EPOLL_CTL_ADD 出错,errno:%d, fd:%d\n",
                 e, s->fd);
    };
    logFailure(attempt.firstOp, attempt.firstErr);
    if (attempt.op != attempt.firstOp && err != 0) logFailure(attempt.op, err);
    errno = err;
}

namespace {

// Creates only the wheels still missing. An Init that fails half-way keeps what it made but
// publishes no descriptor, so a later Init completes the set; Listen, the one call that needs the
// engine's wheels, refuses until a descriptor above 0 is published.
void CreateWheels() {
    if (_readWheel.load(std::memory_order_acquire) == nullptr) {
        _readWheel.store(new VrnEpoll_TimeWheel(false), std::memory_order_release);
    }
    if (_writeWheel.load(std::memory_order_acquire) == nullptr) {
        _writeWheel.store(new VrnEpoll_TimeWheel(true), std::memory_order_release);
    }
}

// Descriptor 0 stands for an engine that was never initialised, yet a process started with its
// standard input closed gets it from epoll_create: the instance moves to the lowest free number
// above 0 (dup, while 0 is still open), with the same descriptor flags, and /dev/null takes 0.
// Left free, 0 would go to the next open (a file to send, say), and 0 reads as "no file"
// where a file descriptor is optional. -1 with errno when the instance cannot move.
int MoveOffZero(int epfd) {
    if (epfd != 0) return epfd;
    int moved = dup(epfd);
    int err = errno;
    int null = moved == -1 ? -1 : open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null > 0) {
        dup2(null, 0);  // replaces the instance's old number at once, leaving no gap
        close(null);
    } else {
        close(epfd);
    }
    errno = err;
    return moved;
}

int32_t InitEngine() noexcept {
    errno = 0;
    if (_epollFd.load(std::memory_order_acquire) > 0) return 0;
    int epfd = MoveOffZero(epoll_create(1000));
    if (epfd == -1) {
        int err = errno;
        _epollFd.store(-1, std::memory_order_release);
        errno = err;
        return -1;
    }
    try {
        CreateWheels();
        SocketMap_Init();
    } catch (const std::exception& e) {
        close(epfd);
        _epollFd.store(-1, std::memory_order_release);
        OutDebug("* DEBUG: VrnEpoll_init() Error: %s\n", e.what());
        return -1;
    }
    // Published last: a descriptor above 0 means both wheels and the registry exist.
    _epollFd.store(epfd, std::memory_order_release);
    return 0;
}

// The old registration of a half that a new VrnEpoll_Listen replaces hears -1.
void CancelReplaced(sckInfo* s, bool write, ListenCallback newCallback, void* newUserData) {
    SckHalf half = HalfOf(s, write);
    OutDebug(write ? "* VrnEpoll_Listen 函数在添加可写监听时发现该socke已存在可写监听, socket:%d, "
                     "原回调地址:%p，新回调地址:%p \n"
                   : "* VrnEpoll_Listen 函数在添加可读监听时发现该 socke 已存在可读监听, socket:%d, "
                     "原回调地址:%p，新回调地址:%p \n",
             s->fd, reinterpret_cast<void*>(half.callback), reinterpret_cast<void*>(newCallback));
    OutDebug("  用户原附带对象地址: %p, 用户现附带对象地址: %p \n", half.userData, newUserData);
    if (half.wheel != nullptr) half.wheel->UnregTimeWheel(s);
    TakenCallback old = TakeOff(half);
    QueueDelivery(s, old.callback, kVrnEventFailed, old.userData);
}

// Registers one half of a record; caller holds the record's lock. Returns 0 or the error.
int RegisterHalf(sckInfo* s, int32_t rwevent, void* userData, ListenCallback callback, int32_t timeout) {
    bool write = rwevent == kVrnEventWritable;
    SckHalf half = HalfOf(s, write);
    bool replacing = half.callback != nullptr;
    if (replacing) CancelReplaced(s, write, callback, userData);
    ArmHalf(half, callback, userData);
    VrnEpoll_TimeWheel* wheel = (write ? _writeWheel : _readWheel).load(std::memory_order_acquire);
    wheel->RegTimeWheel(s, timeout);
    ArmAttempt attempt;
    int err = ArmInterest(s, MaskForArmedHalves(s), &attempt);
    if (replacing) s->replacedAtWait = WaitAfterCtl();
    if (err == 0) return 0;
    if (attempt.op == EPOLL_CTL_MOD) {
        OutDebug("* VrnEpoll_Listen函数: EPOLL_CTL_MOD 失败： errno=%d, rwevent=%d\n", err, rwevent);
    } else {
        OutDebug("* vrn_epoll: VrnEpoll_Listen(..): EPOLL_CTL_ADD error： errno=%d, rwevent=%d\n", err,
                 rwevent);
    }
    // Undo this registration only; a callback replaced above stays cancelled.
    TakeOff(half);
    wheel->UnregTimeWheel(s);
    return err;
}

int32_t Listen(int32_t fd, int32_t rwevent, void* userData, ListenCallback callback,
               int32_t timeout) noexcept {
    if (!VrnFdInRange(fd)) {
        errno = EBADF;
        return -1;
    }
    if (callback == nullptr || (rwevent != kVrnEventReadable && rwevent != kVrnEventWritable)) return -1;
    if (timeout == 0) timeout = kListenDefaultTimeoutSec;
    errno = 0;
    if (_epollFd.load(std::memory_order_acquire) <= 0) {  // no wheels to register in yet
        errno = EINVAL;
        return -1;
    }
    sckInfo* s = SocketMap_GetOrAddNode(fd);
    if (s == nullptr) {
        errno = ENOENT;
        return -1;
    }
    int err;
    {
        std::lock_guard<std::mutex> guard(*s->mutex);
        err = RegisterHalf(s, rwevent, userData, callback, timeout);
        errno = err;
    }
    if (err == 0) return 0;
    OutDebug("*** vrn_epoll: VrnEpoll_Listen error: fd=%d, errno:%d\n", fd, err);
    errno = err;
    return -1;
}

// Remove cancels both halves with 0, read first. Caller holds s's lock.
void CancelHalf(sckInfo* s, SckHalf half) {
    if (half.callback == nullptr) return;
    half.timedOut = false;
    TakenCallback taken = TakeOff(half);
    QueueDelivery(s, taken.callback, kVrnEventTimedOut, taken.userData);
}

// Takes an armed socket out of the set and cancels its halves. Caller holds s's lock.
void CancelBoth(sckInfo* s) {
    int32_t fd = s->fd;
    int err = DeleteInterest(s);
    if (err != 0) {
        OutDebug("DEBUG: VrnEpoll_Real_Remove(..) Call epoll_ctl(CTL_DEL) return -1, sck:%d, errno:%d\n", fd,
                 err);
        errno = err;
    }
    if (s->readWheel != nullptr) s->readWheel->UnregTimeWheel(s);
    if (s->writeWheel != nullptr) s->writeWheel->UnregTimeWheel(s);
    CancelHalf(s, ReadHalf(s));
    CancelHalf(s, WriteHalf(s));
}

void Remove(int32_t fd) noexcept {
    if (!VrnFdInRange(fd)) return;
    sckInfo* s = SocketMap_GetNode(fd);
    if (s == nullptr) return;
    std::lock_guard<std::mutex> guard(*s->mutex);
    if (s->readCallback != nullptr || s->writeCallback != nullptr) {
        CancelBoth(s);
    } else if (s->inEpollSet) {
        // Disarmed since its last report: it leaves the set all the same, quietly, as a socket
        // closed meanwhile has left it already.
        int err = DeleteInterest(s);
        if (err != 0 && err != ENOENT && err != EBADF) {
            OutDebug("DEBUG: VrnEpoll_Real_Remove(..) Call epoll_ctl(CTL_DEL) return -1, sck:%d, errno:%d\n",
                     fd, err);
        }
    }
    // Read after the removal from the set, so that the loop can tell the events it collected
    // before it (see StaleForRegistration).
    s->removedAtWait = _loopPass.wait.load(std::memory_order_seq_cst);
}

}  // namespace

// The exported functions let no exception out: the noexcept bodies end the process on one.
int32_t VrnEpoll_Init() {
    return InitEngine();
}

int32_t VrnEpoll_Listen(int32_t fd, int32_t rwevent, void* userData, ListenCallback callback,
                        int32_t timeout) {
    return Listen(fd, rwevent, userData, callback, timeout);
}

void VrnEpoll_Remove(int32_t fd) {
    Remove(fd);
}
