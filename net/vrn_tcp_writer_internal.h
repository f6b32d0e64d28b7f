// What the two writers share, and the vector writer's request, reachable by tests. Nothing here
// is part of the exported interface.
#pragma once

#include <errno.h>
#include <stdint.h>
#include <sys/uio.h>

#include "epoll/vrn_listen_callback.h"
#include "host/vrn_block_pool.h"
#include "net/vrn_write_completion.h"

namespace vrn_tcp_writer_internal {

// Each writer's wait for writability when the caller gives no usable time-out: the vector
// writer's for a timeout of 1 or less, the file sender's for 0 or less.
constexpr int32_t kVectorWriteDefaultTimeoutSec = 30;
constexpr int32_t kFileSendDefaultTimeoutSec = 10;

// A completion's result for a failed call: its errno, or -1 when the call left errno at 0.
inline int32_t ErrnoResult(int savedErrno) {
    return savedErrno != 0 ? savedErrno : -1;
}

// Delivers a completion through the pump as a Vrn_TcpWriter_EventPump_Task: called on a pump
// worker, as a follow-up of the running task (it runs on that worker once the task returns, with
// no second trip through the shared queue); elsewhere through the shared queue. A null
// completion has nobody to tell: no task is queued.
void QueueWriteCompletion(int32_t fd, WriteCompletion completion, int32_t result, void* userData);

// Calls a completion on this thread, dropping whatever it throws. A null completion is skipped.
void CallWriteCompletion(int32_t fd, WriteCompletion completion, int32_t result, void* userData);

// How both writers end a call: direct (on the pump worker that resumed the request after a
// wait), the completion is called here; otherwise (on the caller's thread) it is queued.
void DeliverWriteCompletion(int32_t fd, WriteCompletion completion, int32_t result, void* userData,
                            bool direct);

// The completion's result for an engine event that ended a wait without writability.
inline int32_t WaitEndResult(int32_t code) {
    return code == kVrnEventTimedOut ? ETIMEDOUT : ECONNRESET;
}

void ShutdownAndClose(int32_t fd);

// Whether a number the writers are given names a descriptor: any that is not negative, the
// standard streams' numbers included. A process started with one of them closed hands its
// number to the next socket or file it opens, which is then as real as any other.
inline bool IsDescriptor(int32_t fd) {
    return fd >= 0;
}

// The engine's report for a waiting request of either writer, on a pump worker; the request is
// ours again. Request provides completion, Continue(direct), Finish(result, direct) and
// Abandon(), which releases what the request holds besides the socket. A request without a
// completion has nobody to report to: it is given up whatever the code, and the socket with it.
template <class Request>
void OnWriteEvent(int32_t fd, int32_t code, void* userData) {
    auto* request = static_cast<Request*>(userData);
    if (request != nullptr && request->completion != nullptr) {
        if (code == kVrnEventWritable) {
            request->Continue(true);
        } else {
            request->Finish(WaitEndResult(code), true);
        }
        return;
    }
    if (request != nullptr) {
        request->Abandon();
        delete request;
    }
    if (IsDescriptor(fd)) ShutdownAndClose(fd);
}

// One Vrn_Tcp_WriteAsync call that has something to write. Owned by the thread that runs it
// until it waits; then by the engine's write registration, whose user data it is; freed by
// Finish. Invariant: remaining == length1 + length2 - offset.
struct VectorWriteRequest {
    int32_t fd;
    uint64_t remaining;
    const uint8_t* data1;  // the buffer being written
    uint64_t length1;
    const uint8_t* data2;  // the buffer after it, or null
    uint64_t length2;
    void* userData;
    WriteCompletion completion;
    uint64_t offset;  // bytes of data1 already written; may run past length1 until GatherList
    int32_t timeout;

    // Moves the second buffer up once the first is done, then fills entries for the next writev
    // and returns how many to pass (1 or 2).
    int GatherList(iovec entries[2]);
    // Books n bytes that writev took.
    void Advance(uint64_t n) {
        remaining -= n;
        offset += n;
    }
    // Writes until done, failed or the socket is full; direct: running on the engine callback's
    // worker (the completion is called here) rather than on the caller's thread (it is queued).
    void Continue(bool direct);
    // Nothing to release: the buffers are the caller's.
    void Abandon() {}
    // Delivers the completion and frees the request.
    void Finish(int32_t result, bool direct);

    // Made once per event: recycled through a block pool (see host/vrn_block_pool.h).
    static void* operator new(size_t n) { return VrnPoolNew<VectorWriteRequest>(n); }
    static void operator delete(void* p, size_t n) noexcept { VrnPoolDelete<VectorWriteRequest>(p, n); }
};

}  // namespace vrn_tcp_writer_internal
