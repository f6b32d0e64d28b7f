// The event pump: one process-wide FIFO of tasks and the elastic pool of workers that run them.
//
// Owns the queue (_pumpHead/_pumpTail), its lock and semaphore, and the worker threads: one
// persistent worker started by the first VRN_EventPump_AddTask, plus up to _maxExtraWorkers extra
// workers that only the persistent worker adds, when a backlog piles up while it is busy. An extra
// worker retires after 5000 ms without a wake-up, however often signals interrupt its wait.
// Nothing is torn down: workers are detached and the pump lives as long as the process.
//
// Threads: any producer (engine loop thread, writers, pump workers, callers outside the
// executable), the persistent worker, the extra workers. A task may queue follow-ups, which its
// own worker takes at the tail of its batch without the queue's lock while nothing waits in the
// shared queue (VrnEventPump_AddFollowUp), so tasks are still taken in the order queued.
//
// Locks: _pumpLock is the innermost lock of the system. It is held only for a few pointer and
// counter operations, never while a task runs, a worker waits or a node is allocated, and no other
// lock is taken under it, so producers may queue while holding a socket record's lock.
#include "pump/vrn_event_pump.h"

#include <errno.h>
#include <semaphore.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <mutex>
#include <thread>

#include "host/vrn_block_pool.h"
#include "host/vrn_host_lib.h"
#include "host/vrn_spin_first.h"
#include "pump/vrn_event_pump_internal.h"

// Written under _pumpLock at start; afterwards only the persistent worker reads and writes it.
int64_t _lastAddMsec = 0;

struct PumpNode {
    Vrn_Event_Pump_TaskBase* task;  // owned by the pump while queued
    PumpNode* next;

    // Made once per event: recycled through a block pool (see host/vrn_block_pool.h).
    static void* operator new(size_t n) { return VrnPoolNew<PumpNode>(n); }
    static void operator delete(void* p, size_t n) noexcept { VrnPoolDelete<PumpNode>(p, n); }
};

namespace {

// Growth is damped: only a backlog above this many tasks queued since the last take counts...
constexpr int32_t kGrowthBacklog = 32;
// ...and at most one worker is added per this many milliseconds.
constexpr int64_t kGrowthIntervalMsec = 1500;
// An extra worker leaves after this long without a wake-up.
constexpr int kExtraIdleMsec = 5000;

// Guards _pumpHead, _pumpTail, every write of _pumpCount, the enqueue's semaphore test-and-post
// and the start sequence.
std::mutex _pumpLock;
PumpNode* _pumpHead = nullptr;
PumpNode* _pumpTail = nullptr;
// Written under _pumpLock; the growth test reads it without the lock, where a stale value only
// moves the moment of growth.
std::atomic<int32_t> _pumpCount{0};
// Idle workers wait here. Enqueues post it only for a worker that sleeps, when no wake-up is on
// its way already, so its value never exceeds 1.
sem_t _pumpSem;
// Guarded by _pumpLock. _sleepingWorkers: workers that found the queue empty and wait (or are
// about to wait) on _pumpSem. _wakeUpPending: a post made for one of them has not yet been
// followed by a woken worker's look at the queue. A producer that sees no sleeper, or a wake-up
// on its way, does not post: an awake worker looks at the queue again before it sleeps.
int32_t _sleepingWorkers = 0;
bool _wakeUpPending = false;
std::atomic<int64_t> _wakeUps{0};  // posts made, for the tests
// Extra workers now running; the persistent worker increments it, a retiring worker decrements it.
std::atomic<int32_t> _extraWorkers{0};
// Written under _pumpLock at start; afterwards read only by the persistent worker.
int32_t _maxExtraWorkers = 0;
// Set once under _pumpLock and read first without it. A caller that sees it set still queues
// under the lock, so it cannot reach the queue before the start sequence is complete.
std::atomic<bool> _pumpStarted{false};

std::atomic<int32_t> _workersStarted{0};
// -1: ask the thread library. Tests set a figure before the pump starts.
std::atomic<int64_t> _hardwareConcurrencyFigure{-1};

void _PumpThreadFunc(bool persistent) noexcept;

// Throws (and so, from the noexcept callers, ends the process) when the thread cannot start.
void StartWorker(bool persistent) {
    _workersStarted.fetch_add(1, std::memory_order_relaxed);
    std::thread(_PumpThreadFunc, persistent).detach();
}

unsigned HardwareConcurrency() {
    int64_t figure = _hardwareConcurrencyFigure.load(std::memory_order_relaxed);
    return figure >= 0 ? unsigned(figure) : std::thread::hardware_concurrency();
}

// noexcept: a lock or thread failure here terminates the process.
void StartPump() noexcept {
    if (_pumpStarted.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> guard(_pumpLock);
    if (_pumpStarted.load(std::memory_order_relaxed)) return;
    _pumpStarted.store(true, std::memory_order_release);
    _maxExtraWorkers = vrn_pump_internal::ExtraWorkerLimit(HardwareConcurrency());
    (void)sem_init(&_pumpSem, 0, 0);
    _lastAddMsec = GetTime_msec();
    StartWorker(true);
}

// Posts one wake-up when a worker sleeps and none is on its way. Caller holds _pumpLock.
void WakeASleeperLocked() {
    if (_sleepingWorkers == 0 || _wakeUpPending) return;
    int value = 0;
    (void)sem_getvalue(&_pumpSem, &value);  // a failed read counts as 0
    if (value >= 1) return;
    _wakeUpPending = true;
    _wakeUps.fetch_add(1, std::memory_order_relaxed);
    (void)sem_post(&_pumpSem);
}

// Appends the chain first..last of count nodes and wakes a sleeper if needed: one lock and at
// most one post for the lot. noexcept: a lock failure terminates the process.
void EnqueueChain(PumpNode* first, PumpNode* last, int32_t count) noexcept {
    std::unique_lock<std::mutex> guard = VrnLockSpinningFirst(_pumpLock);
    if (_pumpTail)
        _pumpTail->next = first;
    else
        _pumpHead = first;
    _pumpTail = last;
    _pumpCount.fetch_add(count, std::memory_order_relaxed);
    WakeASleeperLocked();
}

// noexcept: a failed allocation or lock terminates the process.
void EnqueueTask(Vrn_Event_Pump_TaskBase* task) noexcept {
    auto* node = new PumpNode{task, nullptr};  // allocated before the lock is taken
    EnqueueChain(node, node, 1);
}

// Detaches the whole shared queue as the caller's batch. A worker woken from the semaphore says
// so (woken), which ends the wake-up's pending state; one that finds the queue empty is counted
// as sleeping from here on, under the same lock, so that no enqueue can miss it.
PumpNode* TakeQueue(bool woken, PumpNode** tail) {
    std::unique_lock<std::mutex> guard = VrnLockSpinningFirst(_pumpLock);
    if (woken) {
        --_sleepingWorkers;
        _wakeUpPending = false;
    }
    _pumpCount.store(0, std::memory_order_relaxed);
    PumpNode* batch = _pumpHead;
    _pumpHead = nullptr;
    *tail = _pumpTail;
    _pumpTail = nullptr;
    if (batch == nullptr) ++_sleepingWorkers;
    return batch;
}

// An extra worker leaving after its idle wait ran out no longer sleeps here.
void LeaveSleepers() {
    std::lock_guard<std::mutex> guard(_pumpLock);
    --_sleepingWorkers;
}

// Run by the persistent worker before each task of its batch. Only tasks that piled up in the
// shared queue since the batch was taken count; the clock is read only when growth is allowed.
void GrowIfBacklogged() {
    if (_pumpCount.load(std::memory_order_relaxed) <= kGrowthBacklog) return;
    if (_extraWorkers.load() >= _maxExtraWorkers) return;
    int64_t now = GetTime_msec();
    if (now - _lastAddMsec <= kGrowthIntervalMsec) return;
    _lastAddMsec = now;
    _extraWorkers.fetch_add(1);
    StartWorker(false);
}

void RunTask(Vrn_Event_Pump_TaskBase* task) {
    try {
        task->DoEvent();
    } catch (...) {
        // Dropped: one task's failure must not end the worker that serves all the others.
    }
    delete task;  // outside the handler; a task's destructor does not throw
}

// The tail of the batch this thread runs, while it is a pump worker inside RunBatch (null
// otherwise); only this thread touches it. Follow-ups are linked in behind it.
thread_local PumpNode* _batchTail = nullptr;

void RunBatch(PumpNode* node, PumpNode* tail, bool persistent) {
    _batchTail = tail;
    while (node) {
        if (persistent) GrowIfBacklogged();
        RunTask(node->task);
        // Read after the task ran: a follow-up it queued may now stand behind the last node.
        PumpNode* next = node->next;
        delete node;
        node = next;
    }
    _batchTail = nullptr;
}

void WaitPersistent() {
    while (sem_wait(&_pumpSem) == -1) {
        int err = errno;
        if (err != EINTR) return;  // any other failure: look at the queue again
    }
}

// True when woken; false when the idle wait ran out or failed and the worker should retire.
// An interrupted wait goes on for the time still left, measured on the host clock, so that
// frequent signals (a garbage collector stopping threads) cannot keep an idle worker for ever.
bool WaitExtra() {
    int64_t deadline = GetTime_msec() + kExtraIdleMsec;
    int64_t left = kExtraIdleMsec;
    for (;;) {
        int rc = Sem_TimedWait(&_pumpSem, int(left));
        if (rc == 0) return true;
        int err = errno;
        if (rc != -1 || err != EINTR) return false;
        // Never longer than a whole idle wait, whatever the clock did meanwhile.
        left = std::min<int64_t>(deadline - GetTime_msec(), kExtraIdleMsec);
        if (left <= 0) return false;
    }
}

// A worker waits only after it has found the queue empty; after a batch it looks again first.
void _PumpThreadFunc(bool persistent) noexcept {
    bool woken = false;
    for (;;) {
        PumpNode* tail = nullptr;
        PumpNode* batch = TakeQueue(woken, &tail);
        woken = false;
        if (batch) {
            RunBatch(batch, tail, persistent);
        } else if (persistent) {
            WaitPersistent();
            woken = true;
        } else if (WaitExtra()) {
            woken = true;
        } else {
            LeaveSleepers();
            _extraWorkers.fetch_sub(1);
            return;
        }
    }
}

}  // namespace

Vrn_Event_Pump_TaskBase::~Vrn_Event_Pump_TaskBase() = default;

void VRN_EventPump_AddTask(Vrn_Event_Pump_TaskBase* task) {
    StartPump();
    if (task) EnqueueTask(task);
}

void VrnEventPump_AddFollowUp(Vrn_Event_Pump_TaskBase* task) noexcept {
    if (task == nullptr) return;
    // The shared queue is empty exactly when nothing was queued since it was last taken: every
    // task queued before this one is then in this batch or taken by another worker, and at this
    // batch's tail the follow-up is still taken in the order queued. A task another thread queues
    // meanwhile is queued after it.
    PumpNode* tail = _batchTail;
    if (tail == nullptr || _pumpCount.load(std::memory_order_relaxed) != 0) {
        VRN_EventPump_AddTask(task);
        return;
    }
    auto* node = new PumpNode{task, nullptr};
    tail->next = node;
    _batchTail = node;
}

void VrnEventPumpBatch::Add(Vrn_Event_Pump_TaskBase* task) {
    auto* node = new PumpNode{task, nullptr};
    if (last_)
        last_->next = node;
    else
        first_ = node;
    last_ = node;
    ++count_;
}

void VrnEventPumpBatch::Submit() noexcept {
    if (first_ == nullptr) return;
    StartPump();
    EnqueueChain(first_, last_, count_);
    first_ = last_ = nullptr;
    count_ = 0;
}

namespace vrn_pump_internal {

int32_t ExtraWorkerLimit(unsigned hardwareConcurrency) {
    if (hardwareConcurrency <= 1) return 2;
    return hardwareConcurrency > unsigned(INT32_MAX) ? INT32_MAX : int32_t(hardwareConcurrency);
}

void OverrideHardwareConcurrency(unsigned figure) {
    _hardwareConcurrencyFigure.store(figure, std::memory_order_relaxed);
}

std::mutex& PumpLock() {
    return _pumpLock;
}

bool PumpStarted() {
    return _pumpStarted.load(std::memory_order_acquire);
}

int32_t PumpCount() {
    return _pumpCount.load(std::memory_order_relaxed);
}

int32_t SleepingWorkers() {
    std::lock_guard<std::mutex> guard(_pumpLock);
    return _sleepingWorkers;
}

int64_t WakeUps() {
    return _wakeUps.load(std::memory_order_relaxed);
}

int SemValue() {
    int value = 0;
    (void)sem_getvalue(&_pumpSem, &value);
    return value;
}

int32_t ExtraWorkers() {
    return _extraWorkers.load();
}

int32_t MaxExtraWorkers() {
    std::lock_guard<std::mutex> guard(_pumpLock);
    return _maxExtraWorkers;
}

int32_t WorkersStarted() {
    return _workersStarted.load(std::memory_order_relaxed);
}

}  // namespace vrn_pump_internal
