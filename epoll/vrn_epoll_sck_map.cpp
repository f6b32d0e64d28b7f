// The socket registry. Lookups of existing records take _rw_lock shared and run in parallel;
// creating a record (about once per descriptor number for the life of the process) takes it
// exclusive. The lock prefers writers, so a stream of lookups cannot starve a creation.
#include "epoll/vrn_epoll_sck_map.h"

#include <errno.h>
#include <sched.h>

#include <atomic>
#include <cstdlib>

#include "host/vrn_host_lib.h"

FdNode* _FdNodes[kFdBuckets];
pthread_rwlock_t _rw_lock = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;

namespace {

std::atomic<bool> _mapInitialised{false};

// Attempts at _rw_lock before a failure counts as lasting. A passing failure (too many readers)
// clears within a few yields; one that lasts (the thread already holds the lock) never does.
constexpr int kRwLockAttempts = 1000;

// Holds _rw_lock, shared or exclusive, for its scope. A failed attempt is logged with the
// failing call's error (in errno) and retried, so that the lookup still gives its usual result
// and the chain is never walked or changed without the lock. A failure that outlasts the
// attempts ends the process, as any other lock the engine cannot take does: the lookup can
// neither give its result nor go on unlocked, and spinning for ever would stall its caller.
class RwLockGuard {
  public:
    RwLockGuard(bool exclusive, const char* failureMessage) {
        for (int attempt = 1;; ++attempt) {
            int rc = exclusive ? pthread_rwlock_wrlock(&_rw_lock) : pthread_rwlock_rdlock(&_rw_lock);
            if (rc == 0) return;
            if (attempt == 1) {
                errno = rc;
                OutDebug(failureMessage, errno);
            }
            if (attempt == kRwLockAttempts) GiveUp(rc);
            sched_yield();
        }
    }
    ~RwLockGuard() { pthread_rwlock_unlock(&_rw_lock); }
    RwLockGuard(const RwLockGuard&) = delete;
    RwLockGuard& operator=(const RwLockGuard&) = delete;

  private:
    [[noreturn]] static void GiveUp(int rc) {
        OutDebug(
            "*** Error: vrn_epoll_sck_map: _rw_lock still failing after %d attempts, errno=%d; ending the "
            "process\n",
            kRwLockAttempts, rc);
        std::abort();
    }
};

// Caller holds _rw_lock (either mode).
sckInfo* FindInChain(int32_t fd) {
    for (FdNode* n = _FdNodes[fd % kFdBuckets]; n != nullptr; n = n->next) {
        if (n->fd == fd) return n->sockinfo;
    }
    return nullptr;
}

// A record's lock, alone on its cache line (see sckInfo).
struct alignas(64) RecordLock {
    std::mutex mutex;
};

// The record is complete, with its mutex and node, before it is linked in, so no lookup ever
// sees a half-built record. Caller holds _rw_lock exclusive.
sckInfo* CreateAndLink(int32_t fd) {
    sckInfo* s = new sckInfo{fd,      nullptr, -1,    nullptr, nullptr, nullptr, false, -1, nullptr,
                             nullptr, nullptr, false, nullptr, nullptr, 0,       false, 0,  0};
    s->mutex = &(new RecordLock)->mutex;
    FdNode*& head = _FdNodes[fd % kFdBuckets];
    FdNode* node = new FdNode{fd, s, nullptr, head};
    if (head != nullptr) head->prev = node;
    head = node;
    return s;
}

}  // namespace

void SocketMap_Init() {
    if (_mapInitialised.exchange(true)) return;
    for (FdNode*& head : _FdNodes) head = nullptr;
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&_rw_lock, &attr);
    pthread_rwlockattr_destroy(&attr);
}

// Double-checked: the shared lock is released and the exclusive one taken afresh (never
// upgraded), so the chain is walked again before creating.
sckInfo* SocketMap_GetOrAddNode(int32_t fd) {
    if (!VrnFdInRange(fd)) return nullptr;
    {
        RwLockGuard shared(false, "vrn_epoll_sck_map GetOrAddNode(..), lock error，errno=%d\n");
        if (sckInfo* s = FindInChain(fd)) return s;
    }
    RwLockGuard exclusive(true, "vrn_epoll_sck_map GetOrAddNode 方法加写锁失败，errno=%d\n");
    if (sckInfo* s = FindInChain(fd)) return s;
    return CreateAndLink(fd);
}

sckInfo* SocketMap_GetNode(int32_t fd) {
    if (!VrnFdInRange(fd)) return nullptr;
    RwLockGuard shared(false, "vrn_epoll_sck_map GetNode方法中，加读锁失败，errno=%d\n");
    return FindInChain(fd);
}

std::vector<sckInfo*> SocketMap_AllRecords() {
    std::vector<sckInfo*> records;
    RwLockGuard shared(false, "vrn_epoll_sck_map AllRecords, errno=%d\n");
    for (FdNode* head : _FdNodes)
        for (FdNode* n = head; n != nullptr; n = n->next) records.push_back(n->sockinfo);
    return records;
}
