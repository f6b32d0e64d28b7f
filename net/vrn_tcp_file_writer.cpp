// Asynchronous file sender: a header from memory with send, then a file region with sendfile,
// the socket corked with TCP_CORK for the whole transfer so that the header and the first file
// bytes share full segments; the uncork at the end flushes the tail.
//
// Threads and ownership as for the vector writer: the request is used by the caller's thread
// until VrnEpoll_Listen succeeds, then only by the pump worker that runs the engine's callback.
// The file's bytes never pass through user memory, and sendfile is given the request's own offset,
// so the file's position never moves. The caller keeps the file descriptor: it is closed only
// when a waiting request turns out to have no completion. No lock is taken here.

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include "epoll/vrn_epoll.h"
#include "host/vrn_block_pool.h"
#include "net/vrn_tcp_writer.h"
#include "net/vrn_tcp_writer_internal.h"

using vrn_tcp_writer_internal::DeliverWriteCompletion;
using vrn_tcp_writer_internal::ErrnoResult;
using vrn_tcp_writer_internal::IsDescriptor;
using vrn_tcp_writer_internal::kFileSendDefaultTimeoutSec;
using vrn_tcp_writer_internal::OnWriteEvent;
using vrn_tcp_writer_internal::QueueWriteCompletion;

namespace {

static_assert(sizeof(off_t) == 8, "file offsets are 64-bit");

int SetCork(int32_t fd, int on) {
    return setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
}

// Outcome of one phase of a send step.
enum class Phase { kSent, kWouldBlock, kFailed };

// One Vrn_Tcp_WriteFileAsync call that has something to send; freed by Finish.
struct FileSendRequest {
    int32_t fd;
    const uint8_t* header;  // next header byte to send
    uint64_t headerLength;  // header bytes still to send
    int32_t fileFd;         // negative: no file part
    off_t fileOffset;       // next file byte to send; sendfile advances it
    uint64_t fileRemaining;
    void* userData;
    WriteCompletion completion;
    int32_t timeout;
    bool corked;

    // Sends until done, failed or the socket is full, the header before any file byte;
    // direct as for the vector writer.
    void Continue(bool direct) {
        int32_t result = 0;
        Phase phase = SendHeader(&result);
        if (phase == Phase::kSent) phase = SendFile(&result);
        if (phase == Phase::kSent) {
            Finish(0, direct);
        } else if (phase == Phase::kFailed) {
            Finish(result, direct);
        } else if (VrnEpoll_Listen(fd, kVrnEventWritable, this, OnWriteEvent<FileSendRequest>, timeout) !=
                   -1) {
            return;  // the engine's registration owns the request now: not touched again here
        } else {
            Finish(ErrnoResult(errno), direct);
        }
    }

    // Given up without a completion: the file is closed, since nobody is left to do it; the
    // socket is not uncorked (it is closed next).
    void Abandon() {
        if (IsDescriptor(fileFd)) close(fileFd);
    }

    // Uncorks (flushing a held-back partial segment before the completion hears of the end),
    // delivers the completion and frees the request.
    void Finish(int32_t result, bool direct) {
        if (corked) SetCork(fd, 0);
        DeliverWriteCompletion(fd, completion, result, userData, direct);
        delete this;
    }

    Phase SendHeader(int32_t* result) {
        while (headerLength != 0 && header != nullptr) {
            ssize_t n;
            do n = send(fd, header, headerLength, MSG_NOSIGNAL);
            while (n < 0 && errno == EINTR);
            if (n > 0) {
                header += n;
                headerLength -= uint64_t(n);
                continue;
            }
            if (n == 0) return Fail(ECONNRESET, result);
            if (errno == EAGAIN) return Phase::kWouldBlock;
            return Fail(ErrnoResult(errno), result);
        }
        return Phase::kSent;
    }

    Phase SendFile(int32_t* result) {
        while (IsDescriptor(fileFd) && fileRemaining != 0) {
            ssize_t n;
            do n = sendfile(fd, fileFd, &fileOffset, fileRemaining);
            while (n == -1 && errno == EINTR);
            if (n > 0) {
                fileRemaining -= uint64_t(n);
                continue;
            }
            if (n == 0) return Fail(ECONNRESET, result);  // the file ended before the region did
            if (n != -1) return Fail(-1, result);
            if (errno == EAGAIN) return Phase::kWouldBlock;
            return Fail(ErrnoResult(errno), result);
        }
        return Phase::kSent;
    }

    static Phase Fail(int32_t code, int32_t* result) {
        *result = code;
        return Phase::kFailed;
    }

    // Made once per event: recycled through a block pool (see host/vrn_block_pool.h).
    static void* operator new(size_t n) { return VrnPoolNew<FileSendRequest>(n); }
    static void operator delete(void* p, size_t n) noexcept { VrnPoolDelete<FileSendRequest>(p, n); }
};

}  // namespace

extern "C" void Vrn_Tcp_WriteFileAsync(int32_t fd, const uint8_t* header, uint64_t headerLength,
                                       int32_t fileFd, int64_t fileOffset, uint64_t fileLength,
                                       void* userData, WriteCompletion completion, int32_t timeout) {
    bool hasHeader = header != nullptr && headerLength != 0;
    bool hasFile = IsDescriptor(fileFd) && fileLength != 0;
    if (!hasHeader && !hasFile) {
        QueueWriteCompletion(fd, completion, 0, userData);
        return;
    }
    auto* request =
        new FileSendRequest{fd,       header,     headerLength,
                            fileFd,   fileOffset, fileLength,
                            userData, completion, timeout > 0 ? timeout : kFileSendDefaultTimeoutSec,
                            false};
    // A socket that cannot be corked is sent to uncorked, and then not uncorked at the end.
    request->corked = SetCork(fd, 1) == 0;
    request->Continue(false);
}
