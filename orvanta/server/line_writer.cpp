#include "orvanta/server/line_writer.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace {

// True when a write to fd would not wait: the descriptor has room now.
bool WritableNow(int fd) {
    pollfd p{fd, POLLOUT, 0};
    int n;
    do n = poll(&p, 1, 0);
    while (n < 0 && errno == EINTR);
    return n == 1 && (p.revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL)) == POLLOUT;
}

// Waits until fd has room (a non-blocking descriptor said EAGAIN).
void WaitWritable(int fd) {
    pollfd p{fd, POLLOUT, 0};
    int n;
    do n = poll(&p, 1, -1);
    while (n < 0 && errno == EINTR);
}

// Writes what fd takes of data now: the count written, or -1 with errno on a failure.
ssize_t WriteSome(int fd, std::string_view data) {
    ssize_t n;
    do n = write(fd, data.data(), data.size());
    while (n < 0 && errno == EINTR);
    return n;
}

}  // namespace

LineWriter::LineWriter(int fd, size_t capacity, DropReport report)
    : fd_(fd), capacity_(capacity), report_(report) {
    // The thread takes no signal: a process that routes its stop signals to a signalfd blocks
    // them in every thread it starts, and this one may start later than the others.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
        thread_ = std::thread(&LineWriter::Run, this);
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

LineWriter::~LineWriter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

bool LineWriter::Append(std::string_view line) {
    bool queued;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queued = AppendLocked(line);
    }
    if (queued) wake_.notify_one();
    return queued;
}

void LineWriter::AppendNotice(std::string_view line) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.append(line);
    }
    wake_.notify_one();
}

bool LineWriter::AppendLocked(std::string_view line) {
    if (pending_.size() + line.size() > capacity_) {
        ++dropped_;
        return false;
    }
    pending_.append(line);
    return true;
}

bool LineWriter::WriteOrAppend(std::string_view line) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!pending_.empty() || writing_ || line.size() > PIPE_BUF || !WritableNow(fd_)) {
            if (!AppendLocked(line)) return false;
            wake_.notify_one();
            return true;
        }
        // With room reported and at most PIPE_BUF bytes, the write does not wait; holding the
        // lock across it keeps the lines of all threads whole and in order.
        ssize_t n = WriteSome(fd_, line);
        if (n < 0) {
            ++dropped_;
            return false;
        }
        if (size_t(n) == line.size()) return true;
        // A socket took part of it: the rest is queued whatever the bound, so the line stays whole.
        pending_.append(line.substr(size_t(n)));
    }
    wake_.notify_one();
    return true;
}

bool LineWriter::Flush(int timeoutMsec) {
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_for(lock, std::chrono::milliseconds(timeoutMsec),
                          [this] { return pending_.empty() && !writing_; });
}

uint64_t LineWriter::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

// Takes the whole queue at once, so a slow destination gets fewer, larger writes.
void LineWriter::Run() {
    std::string batch;
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return !pending_.empty() || stopping_; });
        if (pending_.empty()) return;
        batch.swap(pending_);
        writing_ = true;
        lock.unlock();
        std::string_view unwritten = WriteAll(batch);
        lock.lock();
        writing_ = false;
        bool written = unwritten.empty();
        dropped_ += uint64_t(std::count(unwritten.begin(), unwritten.end(), '\n'));
        batch.clear();
        uint64_t unreported = written ? dropped_ - reported_ : 0;
        reported_ += unreported;
        if (pending_.empty()) idle_.notify_all();
        if (unreported != 0 && report_ != nullptr) {
            // The destination moves again: say what it missed, without the lock.
            lock.unlock();
            report_(unreported);
            lock.lock();
        }
    }
}

// What could not be written because the descriptor failed (empty when all was written).
std::string_view LineWriter::WriteAll(std::string_view data) {
    while (!data.empty()) {
        ssize_t n = WriteSome(fd_, data);
        int err = errno;
        if (n > 0) {
            data.remove_prefix(size_t(n));
        } else if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
            WaitWritable(fd_);
        } else {
            break;
        }
    }
    return data;
}
