// The socket registry: descriptor number -> sckInfo record, created on first use. A fixed table
// of 1000 buckets of doubly linked chains (newest first) under one writer-preferring
// reader/writer lock, _rw_lock, which is a leaf: it is released before a lookup returns, so no
// record or wheel-slot lock is ever taken under it.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <mutex>
#include <vector>

#include "epoll/vrn_listen_callback.h"

class VrnEpoll_TimeWheel;
struct WheelNode;

constexpr uint32_t kVrnMaxFd = 1000000;  // highest descriptor number the engine accepts
constexpr int32_t kFdBuckets = 1000;

// Descriptors are compared as unsigned 32-bit numbers, so every negative number is out of range.
inline bool VrnFdInRange(int32_t fd) {
    return static_cast<uint32_t>(fd) <= kVrnMaxFd;
}

// The engine's record of one descriptor number. Records, their mutexes and their FdNodes are
// never freed, on purpose: the record's address is the user data of the socket's epoll
// registration and of its wheel nodes, so a late event or expiry for a socket closed meanwhile
// must still find valid memory. One record serves every socket that later gets the same number.
// A record, and its lock, start cache lines of their own: the loop thread and the pump workers
// each work on different sockets at once, and records made one after the other would otherwise
// share lines that both sides write.
struct alignas(64) sckInfo {
    int32_t fd;         // never changes after creation
    std::mutex* mutex;  // the record's own lock; never destroyed
    // The read half, guarded by *mutex.
    int32_t readWheelIndex;         // slot of readWheel holding the node, -1 when none
    VrnEpoll_TimeWheel* readWheel;  // null when the half is in no wheel
    ListenCallback readCallback;    // null when no read interest is registered
    void* readUserData;
    bool readTimedOut;  // expired, expiry not yet delivered
    // The write half, same layout, guarded by *mutex.
    int32_t writeWheelIndex;
    VrnEpoll_TimeWheel* writeWheel;
    ListenCallback writeCallback;
    void* writeUserData;
    bool writeTimedOut;
    // Each half's own node in its wheel, so that unregistering it needs no search of the slot's
    // chain. Guarded by *mutex. Set by RegTimeWheel; cleared by UnregTimeWheel and by the receiver
    // of a detached chain before it frees the node, so a record never names a freed node. Kept
    // after the halves so that their layout stays field for field the same.
    WheelNode* readNode;
    WheelNode* writeNode;
    // The loop's wait number (_loopPass.wait) read by the last VrnEpoll_Remove of this record, after
    // its removal from the epoll set; 0 when never removed. Guarded by *mutex. An event from a
    // wait numbered this or lower may have been collected for the socket removed, not for one
    // registered since under the same number.
    uint64_t removedAtWait;
    // The socket's place in the epoll set, guarded by *mutex. A socket reported with no half left
    // armed stays in the set, disarmed by the kernel (interest is one-shot), so that the next
    // registration re-arms it with one EPOLL_CTL_MOD; it leaves the set with its close, a
    // removal or an error. A record reused by a new socket with the same number may believe the
    // old socket's place: registration falls back from MOD to ADD and from ADD to MOD.
    bool inEpollSet;
    // The mask the socket was last armed with; 0 once the kernel has disarmed it by reporting
    // it, and when it is not in the set.
    uint32_t armedMask;
    // The loop's wait number (_loopPass.wait) read after the last registration that replaced a half
    // still armed. Such a registration, made between a report and its handling, may have armed
    // the socket again for the very half the report delivers; a report from a later wait has
    // disarmed the socket for sure.
    uint64_t replacedAtWait;
};

// One registry node per record; never unlinked or freed (see sckInfo).
struct FdNode {
    int32_t fd;
    sckInfo* sockinfo;
    FdNode* prev;
    FdNode* next;
};

// Bucket heads, guarded by _rw_lock together with every chain.
extern FdNode* _FdNodes[kFdBuckets];
extern pthread_rwlock_t _rw_lock;

void SocketMap_Init();
// The record of fd, created when there is none; null when fd is out of range.
sckInfo* SocketMap_GetOrAddNode(int32_t fd);
// The record of fd, or null when fd is out of range or has none. Never creates anything.
sckInfo* SocketMap_GetNode(int32_t fd);
// Every record created so far, read under _rw_lock shared (records are never freed, so the
// pointers stay valid; their halves must still be read under each record's own lock).
std::vector<sckInfo*> SocketMap_AllRecords();

// A view of one half of a record, so that code serving either half is written once.
struct SckHalf {
    int32_t& wheelIndex;
    VrnEpoll_TimeWheel*& wheel;
    ListenCallback& callback;
    void*& userData;
    bool& timedOut;
    WheelNode*& node;
    bool isWrite;
};

inline SckHalf ReadHalf(sckInfo* s) {
    return {s->readWheelIndex, s->readWheel, s->readCallback, s->readUserData, s->readTimedOut,
            s->readNode,       false};
}
inline SckHalf WriteHalf(sckInfo* s) {
    return {s->writeWheelIndex, s->writeWheel, s->writeCallback, s->writeUserData, s->writeTimedOut,
            s->writeNode,       true};
}
inline SckHalf HalfOf(sckInfo* s, bool write) {
    return write ? WriteHalf(s) : ReadHalf(s);
}
