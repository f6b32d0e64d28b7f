// Asynchronous vector writer, and the completion delivery that both writers share.
//
// Vrn_Tcp_WriteAsync writes up to two caller-owned buffers with writev on the caller's thread
// as far as the socket takes them. When the socket is full, the request parks as one-shot write
// interest in the engine, with itself as user data, and writing resumes on the pump worker that
// runs the engine's callback (OnWriteEvent, shared with the file sender). A request is used by
// one thread at a time: the caller's thread until VrnEpoll_Listen succeeds, then only that
// worker, which may start before VrnEpoll_Listen has returned on the caller's thread. Every call ends in one
// completion: queued to the pump when the call finishes without waiting, called on the worker after a wait.
// No lock is taken here.

#include "net/vrn_tcp_writer.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <exception>

#include "epoll/vrn_epoll.h"
#include "host/vrn_host_lib.h"
#include "net/vrn_tcp_writer_internal.h"

using vrn_tcp_writer_internal::ErrnoResult;
using vrn_tcp_writer_internal::VectorWriteRequest;

// Defined out of line so that this file emits the class's type information and vtable.
Vrn_TcpWriter_EventPump_Task::~Vrn_TcpWriter_EventPump_Task() {}

void Vrn_TcpWriter_EventPump_Task::DoEvent() {
    if (completion == nullptr) return;
    try {
        completion(fd, result, userData);
    } catch (const std::exception& e) {
        OutDebug("Vrn_TcpWrite_EventPump_Task.DoEvent() Error: \n");
        OutDebug("%s\n", e.what());
    } catch (...) {
        // Anything else is dropped: nothing may reach the pump.
    }
}

namespace vrn_tcp_writer_internal {

void QueueWriteCompletion(int32_t fd, WriteCompletion completion, int32_t result, void* userData) {
    if (completion == nullptr) return;
    VrnEventPump_AddFollowUp(new Vrn_TcpWriter_EventPump_Task(fd, completion, result, userData));
}

void CallWriteCompletion(int32_t fd, WriteCompletion completion, int32_t result, void* userData) {
    if (completion == nullptr) return;
    try {
        completion(fd, result, userData);
    } catch (...) {
        // Called on the spot, a throwing completion is dropped without a message.
    }
}

void DeliverWriteCompletion(int32_t fd, WriteCompletion completion, int32_t result, void* userData,
                            bool direct) {
    if (direct) {
        CallWriteCompletion(fd, completion, result, userData);
    } else {
        QueueWriteCompletion(fd, completion, result, userData);
    }
}

void ShutdownAndClose(int32_t fd) {
    shutdown(fd, SHUT_RDWR);
    close(fd);  // never retried: the descriptor is gone whatever close reports
}

int VectorWriteRequest::GatherList(iovec entries[2]) {
    if (offset >= length1) {
        offset -= length1;
        data1 = data2;
        length1 = length2;
        data2 = nullptr;
        length2 = 0;
    }
    entries[0].iov_base = const_cast<uint8_t*>(data1) + offset;
    entries[0].iov_len = length1 - offset;
    if (length2 == 0 || data2 == nullptr) return 1;
    entries[1].iov_base = const_cast<uint8_t*>(data2);
    entries[1].iov_len = length2;
    return 2;
}

void VectorWriteRequest::Continue(bool direct) {
    while (remaining != 0) {
        iovec entries[2];
        int count = GatherList(entries);
        ssize_t n;
        do n = writev(fd, entries, count);
        while (n < 0 && errno == EINTR);
        if (n > 0) {
            Advance(uint64_t(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            int savedErrno = errno;
            OutDebug("* vrn_tcp_writer call writev error, errno:%d\n", savedErrno);
            Finish(ErrnoResult(savedErrno), direct);
            return;
        }
        // Full (EAGAIN, or nothing taken): wait for writability.
        if (VrnEpoll_Listen(fd, kVrnEventWritable, this, OnWriteEvent<VectorWriteRequest>, timeout) != -1) {
            return;  // the engine's registration owns the request now: not touched again here
        }
        Finish(ErrnoResult(errno), direct);
        return;
    }
    Finish(0, direct);
}

void VectorWriteRequest::Finish(int32_t result, bool direct) {
    DeliverWriteCompletion(fd, completion, result, userData, direct);
    delete this;
}

}  // namespace vrn_tcp_writer_internal

extern "C" void Vrn_Tcp_WriteAsync(int32_t fd, const uint8_t* data1, uint64_t length1, const uint8_t* data2,
                                   uint64_t length2, void* userData, WriteCompletion completion,
                                   int32_t timeout) {
    if (data1 == nullptr || length1 == 0) {
        data1 = data2;
        length1 = length2;
        data2 = nullptr;
        length2 = 0;
    }
    if (length2 > UINT64_MAX - length1) {
        // No two buffers in one address space add up to more than 2^64 bytes: the lengths are
        // wrong, and writing by them would read past the caller's memory.
        vrn_tcp_writer_internal::QueueWriteCompletion(fd, completion, EINVAL, userData);
        return;
    }
    uint64_t total = length1 + length2;
    if (total == 0) {
        vrn_tcp_writer_internal::QueueWriteCompletion(fd, completion, 0, userData);
        return;
    }
    auto* request = new VectorWriteRequest{
        fd,       total,
        data1,    length1,
        data2,    length2,
        userData, completion,
        0,        timeout > 1 ? timeout : vrn_tcp_writer_internal::kVectorWriteDefaultTimeoutSec};
    request->Continue(false);
}
