// Listening-socket registry: keeps listening sockets armed with one-shot read interest in the
// socket event engine (180 s, armed again after every delivery and every time-out) and tells
// each socket's AcceptCallback when a connection waits (1) or the registration ended (-1).
//
// Owns a doubly linked list of AcceptEntry records from _acceptHead, one per socket. Callers'
// threads run Vrn_Accept_Add and Vrn_Accept_Remove; pump workers run OnListenSocketEvent, for
// different sockets at the same time.
//
// _acceptLock guards the list, every entry and the in-flight list below. It is a leaf lock:
// never held across the accept callback (which may add and remove sockets) nor across a call
// into the engine.
//
// Identity: each entry gets a unique token, and the token (not the callback) is the engine user
// data of its registrations. A notification whose token is not that of the socket's current
// entry belongs to a removed entry and is ignored: it neither calls anyone nor arms anything.
//
// One engine call per socket at a time: a thread about to call VrnEpoll_Listen or
// VrnEpoll_Remove for a socket on behalf of an entry lists the socket in _engineCallsInFlight
// (under the lock) until the call and its follow-up are done, and Vrn_Accept_Add waits for the
// socket to leave that list before linking a new entry. Without that, a re-arm made for a removed
// entry could land after a newer entry's registration and replace it, and the engine reports a
// replaced registration with -1, which would end the newer entry. After each VrnEpoll_Listen the
// caller checks that its entry is still linked; when it was removed meanwhile the caller cancels
// the registration it just made, so no socket stays armed for a removed entry.

#include "net/vrn_asscept.h"

#include <errno.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "epoll/vrn_epoll.h"
#include "host/vrn_host_lib.h"
#include "net/vrn_asscept_internal.h"

using vrn_accept_internal::OnListenSocketEvent;

namespace {

constexpr int32_t kListenTimeoutSec = 180;

struct AcceptEntry {
    int32_t fd;
    AcceptCallback callback;
    AcceptEntry* prev;
    AcceptEntry* next;
    uintptr_t token;  // engine user data of this entry's registrations; never reused
};

// The registry's state. Allocated once and never freed on purpose: detached pump workers may
// still be running notifications while the process exits and runs static destructors.
struct AcceptState {
    std::mutex lock;
    std::vector<int32_t> engineCallsInFlight;  // guarded by lock; one element per call
    std::condition_variable engineCallDone;    // a socket left engineCallsInFlight
};
AcceptState& _acceptState = *new AcceptState;
std::mutex& _acceptLock = _acceptState.lock;
std::vector<int32_t>& _engineCallsInFlight = _acceptState.engineCallsInFlight;
std::condition_variable& _engineCallDone = _acceptState.engineCallDone;
AcceptEntry* _acceptHead = nullptr;  // guarded by _acceptLock
uintptr_t _nextToken = 1;            // guarded by _acceptLock

void* UserDataOf(uintptr_t token) {
    return reinterpret_cast<void*>(token);
}

// The lookups and list edits below expect _acceptLock held.
AcceptEntry* FindEntry(int32_t fd) {
    AcceptEntry* entry = _acceptHead;
    while (entry != nullptr && entry->fd != fd) entry = entry->next;
    return entry;
}

AcceptEntry* FindEntry(int32_t fd, uintptr_t token) {
    AcceptEntry* entry = FindEntry(fd);
    return entry != nullptr && entry->token == token ? entry : nullptr;
}

void LinkAtHead(AcceptEntry* entry) {
    entry->prev = nullptr;
    entry->next = _acceptHead;
    if (_acceptHead != nullptr) _acceptHead->prev = entry;
    _acceptHead = entry;
}

void Unlink(AcceptEntry* entry) {
    if (entry->prev != nullptr) {
        entry->prev->next = entry->next;
    } else {
        _acceptHead = entry->next;
    }
    if (entry->next != nullptr) entry->next->prev = entry->prev;
    entry->prev = entry->next = nullptr;
}

bool EngineCallInFlight(int32_t fd) {
    return std::find(_engineCallsInFlight.begin(), _engineCallsInFlight.end(), fd) !=
           _engineCallsInFlight.end();
}

// Takes the lock itself: the caller has released it by now.
void EndEngineCall(int32_t fd) {
    {
        std::lock_guard<std::mutex> guard(_acceptLock);
        _engineCallsInFlight.erase(std::find(_engineCallsInFlight.begin(), _engineCallsInFlight.end(), fd));
    }
    _engineCallDone.notify_all();
}

// Finishes the removal of an entry that the caller unlinked and marked in flight: the engine
// hands a pending registration back with code 0, which then finds no entry and is ignored.
void CancelAndFree(AcceptEntry* entry) {
    int32_t fd = entry->fd;
    VrnEpoll_Remove(fd);
    delete entry;
    EndEngineCall(fd);
}

int32_t Arm(int32_t fd, uintptr_t token) {
    return VrnEpoll_Listen(fd, kVrnEventReadable, UserDataOf(token), OnListenSocketEvent, kListenTimeoutSec);
}

// Follow-up of Arm for the entry (fd, token), which the caller marked in flight. A failed arming
// removes the entry when it is still linked; a successful one made for an entry removed
// meanwhile is cancelled. Returns true when this call removed the entry. Keeps errno.
bool SettleArming(int32_t fd, uintptr_t token, int32_t armResult) {
    int savedErrno = errno;
    AcceptEntry* entry;
    {
        std::lock_guard<std::mutex> guard(_acceptLock);
        entry = FindEntry(fd, token);
        if (entry != nullptr && armResult != 0) Unlink(entry);
    }
    bool removedHere = entry != nullptr && armResult != 0;
    if (removedHere) {
        CancelAndFree(entry);
    } else {
        if (entry == nullptr && armResult == 0) VrnEpoll_Remove(fd);
        EndEngineCall(fd);
    }
    errno = savedErrno;
    return removedHere;
}

void CallDroppingExceptions(AcceptCallback callback, int32_t fd, int32_t code) {
    try {
        callback(fd, code);
    } catch (...) {
        // The callback must not throw; the registry still has to finish its own clean-up.
    }
}

// The callback of fd's current entry when token is its token, else null.
AcceptCallback CurrentCallback(int32_t fd, uintptr_t token) {
    std::lock_guard<std::mutex> guard(_acceptLock);
    AcceptEntry* entry = FindEntry(fd, token);
    return entry != nullptr ? entry->callback : nullptr;
}

void RemoveIfCurrent(int32_t fd, uintptr_t token) {
    AcceptEntry* entry;
    {
        std::lock_guard<std::mutex> guard(_acceptLock);
        entry = FindEntry(fd, token);
        if (entry == nullptr) return;
        Unlink(entry);
        _engineCallsInFlight.push_back(fd);
    }
    CancelAndFree(entry);
}

// Arms fd again for the entry with token, unless that entry is gone (removed by its callback or
// by another thread). A failure removes the entry and tells its callback with -1.
void ArmAgain(int32_t fd, uintptr_t token, AcceptCallback callback) {
    {
        std::lock_guard<std::mutex> guard(_acceptLock);
        if (FindEntry(fd, token) == nullptr) return;
        _engineCallsInFlight.push_back(fd);
    }
    int32_t result = Arm(fd, token);
    if (result != 0) {
        int armErrno = errno;
        OutDebug("* vrn_asscept: OnListenSocketEvent Call VrnEpoll_listen Errno, errno=%d\n", armErrno);
        errno = armErrno;
    }
    if (SettleArming(fd, token, result)) CallDroppingExceptions(callback, fd, kVrnAcceptEnded);
}

}  // namespace

namespace vrn_accept_internal {

void OnListenSocketEvent(int32_t fd, int32_t code, void* userData) {
    uintptr_t token = reinterpret_cast<uintptr_t>(userData);
    AcceptCallback callback = CurrentCallback(fd, token);
    if (callback == nullptr) return;  // a removed entry's registration, e.g. the 0 of its removal
    if (code == kVrnEventFailed) {
        CallDroppingExceptions(callback, fd, kVrnAcceptEnded);
        RemoveIfCurrent(fd, token);
        return;
    }
    if (code == kVrnEventReadable) {
        try {
            callback(fd, kVrnAcceptWaiting);
        } catch (...) {
            // The callback must not throw; when it does, its listening socket must not stay
            // unarmed for ever. Arm again, then let the pump's task report the exception.
            ArmAgain(fd, token, callback);
            throw;
        }
    }
    // Read interest is one-shot: this notification used the registration up.
    ArmAgain(fd, token, callback);
}

void* TokenOf(int32_t fd) {
    std::lock_guard<std::mutex> guard(_acceptLock);
    AcceptEntry* entry = FindEntry(fd);
    return entry != nullptr ? UserDataOf(entry->token) : nullptr;
}

int32_t EntryCount(bool* sound) {
    std::lock_guard<std::mutex> guard(_acceptLock);
    int32_t count = 0;
    *sound = true;
    AcceptEntry* prev = nullptr;
    for (AcceptEntry* entry = _acceptHead; entry != nullptr; entry = entry->next) {
        if (entry->prev != prev) *sound = false;
        prev = entry;
        ++count;
    }
    return count;
}

}  // namespace vrn_accept_internal

extern "C" {

void Vrn_Accept_Init() {}

int32_t Vrn_Accept_Add(int32_t fd, AcceptCallback callback) {
    // Without a callback nobody could accept, and the socket would never be armed again.
    if (callback == nullptr) {
        errno = EINVAL;
        return -1;
    }
    uintptr_t token;
    {
        std::unique_lock<std::mutex> lock(_acceptLock);
        _engineCallDone.wait(lock, [fd] { return !EngineCallInFlight(fd); });
        if (FindEntry(fd) != nullptr) {
            errno = EEXIST;
            return -1;
        }
        token = _nextToken++;
        // Linked before the engine is called, so a notification that comes at once finds it.
        LinkAtHead(new AcceptEntry{fd, callback, nullptr, nullptr, token});
        _engineCallsInFlight.push_back(fd);
    }
    int32_t result = Arm(fd, token);
    SettleArming(fd, token, result);
    return result;
}

void Vrn_Accept_Remove(int32_t fd) {
    AcceptEntry* entry;
    {
        std::lock_guard<std::mutex> guard(_acceptLock);
        entry = FindEntry(fd);
        if (entry == nullptr) return;
        Unlink(entry);
        _engineCallsInFlight.push_back(fd);
    }
    CancelAndFree(entry);
}

}  // extern "C"
